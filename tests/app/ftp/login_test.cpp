// The login against a scripted server: reply assembly on a live connection, every fall-back of the
// TLS negotiation, refused logins and their help pages, the connect timeout, the alerts, the
// stored job and the transfer log.
#include "FtpTestSupport.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"

#include <fstream>

using namespace ftptest;

namespace {

class FakeServerTest : public FtpTest {
protected:
  // Starts the scripted server with the given JSON script.
  void startServer(const std::string &script) {
    std::string path = home.file("script.json");
    ASSERT_TRUE(testsupport::writeFile(path, script));
    port = testsupport::freeTcpPort();
    server = testsupport::Process({"/usr/bin/python3",
                                   sourceDir() + "/tests/interop/ftp/peers/fake_ftp_server.py",
                                   std::to_string(port), path},
                                  home.path());
    ASSERT_TRUE(testsupport::waitForTcpPort(port)) << server.errors();
  }
  // Lines the server received.
  std::vector<std::string> received() {
    std::vector<std::string> out;
    std::string text = server.output();
    size_t pos = 0, end;
    while ((end = text.find('\n', pos)) != std::string::npos) {
      out.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    return out;
  }
  bool serverGot(const std::string &line) {
    for (auto &l : received())
      if (l == line) return true;
    return false;
  }
  void login(const std::string &user, const std::string &pass, bool warnIfNoSSL = false) {
    startConnection();
    conn->setServerAddress("127.0.0.1:" + std::to_string(port));
    conn->setLoginUser(user);
    conn->setLoginPass(pass);
    conn->setWarnIfNoSSL(warnIfNoSSL);
    conn->connect();
  }
  bool waitLoggedIn() {
    return waitFor([&] { return conn->fIsLoggedIn(); });
  }

  int port = 0;
  testsupport::Process server;
};

std::string withoutAuth(std::string extra = "") {
  return "{\"replies\": {\"AUTH\": [\"504 no\\r\\n\"]" + extra + "}}";
}

// ------------------------------------------------------------------------------------------------

TEST_F(FakeServerTest, FullLoginOrderWithFeaturesAndSplitReplies) {
  // A multi-line welcome sent in pieces, a features list with blank continuation lines, bare LF
  // line ends.
  startServer(R"({"split": ["220-Welcome\r\n220-line", " two\r\n22", "0 ready\n"],
    "replies": {"AUTH": ["504 no\r\n"], "SYST": ["215 UNIX Type: L8\n"],
      "FEAT": ["211-Features:\r\n MDTM\r\n UTF8\r\n211 End\r\n"],
      "PWD": ["257 \"/pub\" is cwd\n"], "PASV": ["500 no passive today\r\n"],
      "PORT": ["500 nor active\r\n"]}})");
  login("joe", "secret");
  ASSERT_TRUE(waitLoggedIn()) << conn->transferLog();
  EXPECT_EQ(conn->cwd(), "/pub");
  EXPECT_TRUE(conn->fIsConnected());
  EXPECT_TRUE(conn->canDoUTF8());
  EXPECT_TRUE(conn->utf8Safe());
  EXPECT_FALSE(conn->useModeZ());
  std::vector<std::string> expected{
      "AUTH TLS", "AUTH SSL",          "USER joe", "PASS [hidden]", "SYST",
      "FEAT",     "CLNT Ferrowen-3.0", "UTF8",     "OPTS UTF8 ON",  "PWD"};
  auto sent = commandsSent();
  ASSERT_GE(sent.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + long(expected.size())), expected);
  // The password goes to the server, never into the log.
  EXPECT_TRUE(serverGot("PASS secret"));
  EXPECT_EQ(conn->transferLog().find("secret"), std::string::npos);
  // The welcome is logged line by line as received.
  EXPECT_NE(conn->transferLog().find("220-Welcome\r\n220-line two\r\n220 ready\n"),
            std::string::npos);
  EXPECT_TRUE(logHas("*** Connect To 127.0.0.1:" + std::to_string(port) + "\r\n"));
  std::string log = conn->transferLog();
  size_t connected = log.find("*** Connected to Server\r\n");
  ASSERT_NE(connected, std::string::npos);
  EXPECT_EQ(log.find("*** Connected to Server", connected + 1), std::string::npos); // once
  EXPECT_TRUE(logHas("*** Ferrowen 3.0 (???, "));
  // With no stored job the login folder is listed: passive refused falls back to active mode.
  EXPECT_TRUE(waitForLog("!!! No PASV allowed? Trying PORT...\r\n"));
  EXPECT_TRUE(waitFor([&] {
    for (auto &l : received())
      if (l.rfind("PORT 127,0,0,1,", 0) == 0) return true;
    return false;
  }));
  EXPECT_EQ(conn->offThreadEvents(), 0u);
  EXPECT_EQ(services->offMainCalls(), 0);
}

TEST_F(FakeServerTest, AnonymousAndNoAdvancedFeaturesSkipSteps) {
  startServer(withoutAuth());
  UserDefaults::standard().setObject("1", "NoAdvancedFTPFeatures");
  login("", "");
  ASSERT_TRUE(waitLoggedIn());
  auto sent = commandsSent();
  ASSERT_GE(sent.size(), 4u);
  // No "AUTH" for an anonymous login; no feature steps.
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 4),
            (std::vector<std::string>{"USER anonymous", "PASS [hidden]", "SYST", "PWD"}));
  EXPECT_TRUE(serverGot("PASS guestpilot@"));
}

TEST_F(FakeServerTest, UserAcceptedAtOnceAndRefusedOptionalSteps) {
  // 230 straight after USER: no PASS. FEAT refused: CLNT still goes, UTF8 does not. A VMS
  // server type. A stray 257 in the middle is taken as the PWD reply.
  startServer(R"({"replies": {"AUTH": ["504 no\r\n"], "USER": ["230 welcome, no password\r\n"],
    "SYST": ["215 VMS system\r\n"], "FEAT": ["500 unknown\r\n"],
    "CLNT": ["257 \"/odd\" surprise\r\n"]}})");
  login("joe", "pw");
  ASSERT_TRUE(waitLoggedIn());
  auto sent = commandsSent();
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 5),
            (std::vector<std::string>{"AUTH TLS", "AUTH SSL", "USER joe", "SYST", "FEAT"}));
  EXPECT_EQ(sent[5], "CLNT Ferrowen-3.0");
  EXPECT_FALSE(serverGot("UTF8"));
  EXPECT_FALSE(serverGot("PASS pw"));
  EXPECT_EQ(conn->iServerType(), 2);
  EXPECT_TRUE(logHas("!!! Resyncing to PWD Response\r\n"));
  EXPECT_EQ(conn->cwd(), "/odd");
}

TEST_F(FakeServerTest, BothAuthRefusedWarnsThroughTheSecurityAlert) {
  startServer(R"({"replies": {"AUTH": ["504 no\r\n", "534 not either\r\n"]}})");
  login("joe", "pw", /*warnIfNoSSL=*/true);
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  auto alert = probe->pendingAlerts().back();
  EXPECT_EQ(alert.title, "Security Warning");
  EXPECT_EQ(alert.message, "An FTPS connection could not be established.  Continue and connect "
                           "using a normal FTP connection?");
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Cancel", "Yes, Connect", "Help"}));
  EXPECT_FALSE(serverGot("USER joe"));
  EXPECT_FALSE(conn->isStreamConnected());
  // "Yes, Connect": remembered for the server, a plain login follows.
  ASSERT_TRUE(probe->answerAlert("Yes, Connect"));
  ASSERT_TRUE(waitLoggedIn()) << conn->transferLog();
  EXPECT_TRUE(waitFor([&] { return services->called("protocol:FTP"); }));
  EXPECT_EQ(*UserDefaults::standard().stringForKey("SSL-no-127.0.0.1"), "1");
  EXPECT_TRUE(conn->skipSSL());
  EXPECT_FALSE(conn->fSecureLogin());
}

TEST_F(FakeServerTest, SecurityAlertHelpAndCancel) {
  startServer(R"({"replies": {"AUTH": ["504 no\r\n"]}})");
  login("joe", "pw", true);
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Help"));
  EXPECT_TRUE(waitFor([&] { return services->called("page:error-no-ftps.html"); }));
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  EXPECT_TRUE(waitFor([&] { return services->called("pop:animated"); }));
  EXPECT_FALSE(conn->fIsLoggedIn());
}

TEST_F(FakeServerTest, BothAuthRefusedWithoutWarningLogsInPlain) {
  startServer(R"({"replies": {"AUTH": ["504 no\r\n", "504 no\r\n"]}})");
  auto delegate = std::make_shared<ErrorDelegate>();
  login("joe", "pw");
  conn->setDelegate(delegate);
  ASSERT_TRUE(waitLoggedIn());
  EXPECT_TRUE(delegate->taken().empty());
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_FALSE(conn->fSecureLogin());
}

TEST_F(FakeServerTest, UnexpectedRefusalRetriesOnceWithoutAuthThenFails) {
  // SYST refusals do not matter, but a refused USER (not 530) does: one reconnect without
  // "AUTH", then the login fails with the server's text and the user's name.
  startServer(R"({"replies": {"AUTH": ["504 no\r\n"], "USER": ["421 busy\r\n"]}})");
  auto delegate = std::make_shared<ErrorDelegate>();
  login("joe", "pw");
  conn->setDelegate(delegate);
  ASSERT_TRUE(waitFor([&] { return !delegate->taken().empty(); }));
  EXPECT_EQ(delegate->taken().front(), "421 busy\r\n\r\n(User Name: joe)");
  EXPECT_TRUE(conn->skipSSL());
  int auths = 0;
  for (auto &l : received())
    auths += l.rfind("AUTH", 0) == 0;
  EXPECT_EQ(auths, 2); // AUTH TLS, AUTH SSL in the first session, none in the second
  EXPECT_FALSE(conn->isStreamConnected());
  EXPECT_TRUE(conn->wasAnError());
}

TEST_F(FakeServerTest, APasswordHoldingALineBreakIsNeverSentNorShown) {
  startServer(withoutAuth());
  auto delegate = std::make_shared<ErrorDelegate>();
  login("joe", "se\ncret");
  conn->setDelegate(delegate);
  ASSERT_TRUE(waitFor([&] { return !delegate->taken().empty(); })) << conn->transferLog();
  const std::string why = delegate->taken().front();
  EXPECT_NE(why.find("was not sent"), std::string::npos) << why;
  for (const std::string &text : {why, conn->transferLog(), server.output()})
    EXPECT_EQ(text.find("cret"), std::string::npos) << text;
}

// Before "FEAT" the server has not offered UTF-8: a user name or password goes out in Latin-1
// when that carries it, else in UTF-8, and the login goes on (the password never in the log).
TEST_F(FakeServerTest, LoginNamesOutsideLatin1GoOutAsUtf8) {
  struct Case {
    std::string user, pass, userBytes, passBytes;
  };
  const Case cases[] = {
      {"j\u00F6rg", "p\u00E4ss", "j\xF6rg", "p\xE4ss"},
      {"\u7528\u6237", "\u043F\u0430\u0440\u043E\u043B\u044C", "\u7528\u6237",
       "\u043F\u0430\u0440\u043E\u043B\u044C"},
      {"a\u200Bb", "\U0001F511\u00E9", "a\u200Bb", "\U0001F511\u00E9"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.user);
    startServer(withoutAuth());
    auto delegate = std::make_shared<ErrorDelegate>();
    login(c.user, c.pass);
    conn->setDelegate(delegate);
    ASSERT_TRUE(waitLoggedIn()) << conn->transferLog();
    // The server prints each byte it got as the Latin-1 character of that byte.
    const auto asReceived = [](const std::string &bytes) {
      std::string out;
      for (unsigned char b : bytes)
        platform::appendUTF8(out, b);
      return out;
    };
    EXPECT_TRUE(waitFor([&] { return serverGot("USER " + asReceived(c.userBytes)); }))
        << server.output();
    EXPECT_TRUE(waitFor([&] { return serverGot("PASS " + asReceived(c.passBytes)); }))
        << server.output();
    EXPECT_NE(conn->transferLog().find(">>> USER " + c.user + "\r\n"), std::string::npos)
        << conn->transferLog();
    EXPECT_EQ(conn->transferLog().find(c.pass), std::string::npos) << conn->transferLog();
    EXPECT_TRUE(delegate->taken().empty());
    stopConnection();
    server = testsupport::Process();
  }
}

TEST_F(FakeServerTest, RefusedLoginsShowTheirHelpPagesAndNoAlert) {
  startServer(R"({"replies": {"AUTH": ["504 no\r\n"], "PASS": ["530 Login incorrect.\r\n"]}})");
  login("joe", "wrong");
  ASSERT_TRUE(waitFor([&] { return services->called("page:error-530.html"); }));
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_FALSE(conn->isStreamConnected());
  EXPECT_EQ(conn->iTask(), -1);
  stopConnection();

  // 530 at USER for an anonymous login.
  login("anonymous", "");
  ASSERT_TRUE(waitFor([&] { return services->called("page:error-530-anon.html"); }));
}

TEST_F(FakeServerTest, UserRefusedWith530IsTheAnonPageForAnEmptyUser) {
  startServer(R"({"replies": {"USER": ["530 no anonymous\r\n"]}})");
  login("", "");
  ASSERT_TRUE(waitFor([&] { return services->called("page:error-530-anon.html"); }));
  EXPECT_FALSE(services->called("page:error-530.html"));
}

TEST_F(FakeServerTest, ServerClosingDuringLoginIsAnErrorAlertWithHelp) {
  startServer(R"({"replies": {"AUTH": ["504 no\r\n"], "USER": ["__close__"]}})");
  login("joe", "pw");
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); })) << conn->transferLog();
  auto alert = probe->pendingAlerts().back();
  EXPECT_EQ(alert.title, "Error from FTP Server");
  EXPECT_EQ(alert.message, "Server disconnected while logging in.");
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Help", "OK"}));
  EXPECT_TRUE(logHas("*** Server Disconnected Us\r\n"));
  EXPECT_TRUE(logHas("*** Disconnected\r\n\r\n"));
  ASSERT_TRUE(probe->answerAlert("Help"));
  EXPECT_TRUE(services->called("pop"));
  EXPECT_TRUE(services->called("help:Ferrowen Help:connect-help.php?app=ferrowen&ver=300:log"));
}

TEST_F(FakeServerTest, AlertsStayOffWhileTheConnectScreenIsOnTop) {
  services->connectOnTop = true;
  startServer(R"({"replies": {"AUTH": ["504 no\r\n"], "USER": ["__close__"]}})");
  login("joe", "pw");
  ASSERT_TRUE(waitFor([&] { return conn->wasAnError(); }));
  EXPECT_TRUE(logHas("*** Server Disconnected Us\r\n"));
  // Whatever the connection posted to the main thread has run once it has stopped.
  stopConnection();
  RunLoop::main()->runPending();
  EXPECT_TRUE(probe->pendingAlerts().empty());
}

TEST_F(FakeServerTest, ConnectTimeoutChoosesItsHelpPage) {
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  startServer(R"({"silent": true})");
  startConnection();
  conn->setServerAddress("127.0.0.1:" + std::to_string(port));
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return conn->isStreamConnected(); }));
  // Nothing happens before the limit, whatever real time passes.
  clock->advance(seconds(19));
  RunLoop::main()->runPending();
  EXPECT_FALSE(services->called("page:error-timeout.html"));
  clock->advance(seconds(2));
  ASSERT_TRUE(waitFor([&] { return services->called("page:error-timeout.html"); }));
  EXPECT_FALSE(conn->isStreamConnected());
  EXPECT_FALSE(conn->fIsConnected());

  // A private-network address typed by the user picks the other page (the connection itself goes
  // to the loopback server).
  conn->setServerAddress("192.168.1.20");
  conn->connectToServer("127.0.0.1", port);
  ASSERT_TRUE(waitFor([&] { return conn->isStreamConnected(); }));
  clock->advance(seconds(21));
  ASSERT_TRUE(waitFor([&] { return services->called("page:error-timeout-192.html"); }));

  // "NoAdvancedFTPFeatures" waits 45 s.
  UserDefaults::standard().setObject("1", "NoAdvancedFTPFeatures");
  conn->setServerAddress("127.0.0.1:" + std::to_string(port));
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return conn->isStreamConnected(); }));
  clock->advance(seconds(30));
  RunLoop::main()->runPending();
  EXPECT_TRUE(conn->isStreamConnected());
  clock->advance(seconds(16));
  EXPECT_TRUE(waitFor([&] { return !conn->isStreamConnected(); }));
}

TEST_F(FakeServerTest, AStoredJobRunsAfterPwdAndStartersHopToTheConnectionThread) {
  startServer(withoutAuth(R"(, "SITE": ["200-Help follows\r\n200 done\r\n"],
      "CWD": ["250 ok\r\n"], "PWD": ["257 \"/home/fake\"\r\n", "257 \"/work\"\r\n"])"));
  startConnection();
  conn->setServerAddress("127.0.0.1:" + std::to_string(port));
  conn->setLoginUser("joe");
  conn->setLoginPass("pw");
  // Called on the main thread while no connection stands: stored, connected, run after "PWD".
  conn->doRawFTPCommand("SITE HELP", "/work");
  ASSERT_TRUE(waitFor([&] { return serverGot("SITE HELP"); })) << conn->transferLog();
  auto lines = received();
  auto at = [&](const std::string &l) { return std::find(lines.begin(), lines.end(), l); };
  EXPECT_LT(at("PWD"), at("CWD /work"));
  EXPECT_LT(at("CWD /work"), at("SITE HELP"));
  EXPECT_TRUE(waitFor([&] { return conn->iTask() == -1; }));
  EXPECT_EQ(conn->cwd(), "/work");
  EXPECT_EQ(conn->offThreadEvents(), 0u);
  EXPECT_EQ(services->offMainCalls(), 0);
}

TEST_F(FakeServerTest, MalformedPassiveRepliesFallBackToActiveMode) {
  startServer(withoutAuth(R"(, "PASV": ["227 Entering Passive Mode (127,0,0,1,300,12)\r\n"],
      "PORT": ["500 no\r\n"])"));
  login("joe", "pw");
  ASSERT_TRUE(waitForLog("!!! No PASV allowed? Trying PORT...\r\n")) << conn->transferLog();
  EXPECT_TRUE(waitFor([&] {
    for (auto &l : received())
      if (l.rfind("PORT 127,0,0,1,", 0) == 0) return true;
    return false;
  }));
  EXPECT_FALSE(conn->dataOpen());
}

TEST_F(FakeServerTest, AFailedWriteClosesTheConnectionOnceWithoutResending) {
  startServer(withoutAuth());
  login("joe", "pw");
  ASSERT_TRUE(waitLoggedIn());
  std::atomic<bool> done{false};
  conn->inThread([&](TestConnection &c) {
    c.sendOnBrokenStream("NOOP\r\n");
    done = true;
  });
  ASSERT_TRUE(waitFor([&] { return done.load(); }));
  EXPECT_FALSE(conn->isStreamConnected());
  std::string log = conn->transferLog();
  size_t first = log.find(">>> NOOP");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find(">>> NOOP", first + 1), std::string::npos); // sent once, never again
  EXPECT_NE(log.find("*** Disconnected\r\n\r\n", first), std::string::npos);
}

TEST_F(FakeServerTest, AHandshakeThatNeverEndsFallsBackToPlainAfterThePbszTimeout) {
  // The server accepts "AUTH TLS" but never answers the handshake (nor anything unknown).
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  startServer(R"({"replies": {"AUTH": ["234 go ahead\r\n"], "CLNT": ["500 no\r\n"]},
                 "default": "__none__"})");
  login("joe", "pw");
  ASSERT_TRUE(waitFor([&] { return conn->iTask() == 7; })) << conn->transferLog();
  // The 3 s nudge sends "PBSZ 0" (it waits for the handshake inside the stream).
  clock->advance(seconds(3.1));
  ASSERT_TRUE(waitForLog(">>> PBSZ 0\r\n"));
  clock->advance(seconds(19));
  RunLoop::main()->runPending();
  EXPECT_FALSE(conn->skipSSL());
  // No reply within 20 s: a new session without "AUTH".
  clock->advance(seconds(1.5));
  ASSERT_TRUE(waitLoggedIn()) << conn->transferLog();
  EXPECT_TRUE(conn->skipSSL());
  EXPECT_FALSE(conn->fSecureLogin());
  std::string log = conn->transferLog();
  std::string second = log.substr(log.rfind("*** Connect To"));
  EXPECT_EQ(second.find(">>> AUTH"), std::string::npos);
  EXPECT_NE(second.find(">>> USER joe"), std::string::npos);
}

TEST_F(FakeServerTest, AHandshakeThatNeverEndsWarnsWhenPlainFtpIsNotWanted) {
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  startServer(R"({"replies": {"AUTH": ["234 go ahead\r\n"], "CLNT": ["500 no\r\n"]},
                 "default": "__none__"})");
  login("joe", "pw", /*warnIfNoSSL=*/true);
  ASSERT_TRUE(waitFor([&] { return conn->iTask() == 7; }));
  clock->advance(seconds(3.1));
  ASSERT_TRUE(waitForLog(">>> PBSZ 0\r\n"));
  clock->advance(seconds(20.5));
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(probe->pendingAlerts().back().title, "Security Warning");
  EXPECT_FALSE(conn->isStreamConnected());
}

// Records the progress the owner is given.
class ProgressDelegate : public FTPConnectionDelegate {
public:
  void progressPercent(FTPConnection &c, float f) override {
    std::lock_guard<std::mutex> lock(mutex);
    seen.emplace_back(c.iTask(), f);
  }
  std::vector<std::pair<int, float>> values() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
  }
  std::mutex mutex;
  std::vector<std::pair<int, float>> seen;
};

TEST_F(FakeServerTest, LoginProgressIsTheFirstTenthOfTheBar) {
  startServer(withoutAuth());
  auto delegate = std::make_shared<ProgressDelegate>();
  startConnection();
  conn->setDelegate(delegate);
  conn->setServerAddress("127.0.0.1:" + std::to_string(port));
  conn->setLoginUser("joe");
  conn->connect();
  ASSERT_TRUE(waitLoggedIn());
  auto values = delegate->values();
  ASSERT_GE(values.size(), 4u);
  // 0.05 (AUTH TLS refused), 0.1 (plain USER), 0.15, 0.2, 0.35 of the login: a tenth each.
  EXPECT_FLOAT_EQ(values[0].second, 0.005f);
  for (auto &[task, f] : values) {
    if (task == 0) {
      EXPECT_LE(f, 0.1f);
    }
  }
  // The listing that follows reports in the remaining nine tenths.
  auto listed = [&] {
    for (auto &[task, f] : delegate->values())
      if (task == 1 && std::abs(f - (0.3f * 0.9f + 0.1f)) < 1e-6f) return true;
    return false;
  };
  EXPECT_TRUE(waitFor(listed));
}

TEST_F(FakeServerTest, AnIdleConnectionClosesAfterFiveMinutesOrWhenThePhoneLocks) {
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  startServer(withoutAuth(R"(, "PASV": ["__none__"])"));
  login("joe", "pw");
  ASSERT_TRUE(waitLoggedIn());
  clock->advance(seconds(299));
  RunLoop::main()->runPending();
  EXPECT_TRUE(conn->isStreamConnected());
  clock->advance(seconds(2));
  ASSERT_TRUE(waitFor([&] { return !conn->isStreamConnected(); }));
  // (The connection's thread logs it just after the stream is gone.)
  EXPECT_TRUE(waitFor([&] { return logHas("*** Disconnected\r\n\r\n"); }));

  // A busy connection closes only when its task is done.
  conn->connect();
  auto passives = [&] {
    std::string log = conn->transferLog();
    size_t n = 0;
    for (size_t p = log.find(">>> PASV"); p != std::string::npos; p = log.find(">>> PASV", p + 1))
      ++n;
    return n;
  };
  ASSERT_TRUE(waitFor([&] { return passives() == 2; }));
  conn->iPhoneIsLocking();
  std::atomic<bool> ran{false};
  conn->inThread([&](TestConnection &) { ran = true; });
  ASSERT_TRUE(waitFor([&] { return ran.load(); }));
  EXPECT_TRUE(conn->isStreamConnected());
}

TEST_F(FakeServerTest, ErrorReportsAndTheirAlerts) {
  startConnection();
  auto run = [&](std::function<void(TestConnection &)> fn) {
    std::atomic<bool> done{false};
    conn->inThread([&](TestConnection &c) {
      fn(c);
      done = true;
    });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  };
  run([](TestConnection &c) {
    c.updateViewWithFatalError("Unable to connect to the FTP server.");
  });
  auto alert = probe->pendingAlerts().back();
  EXPECT_EQ(alert.title, "Error Connecting to FTP Server");
  EXPECT_EQ(alert.message, "Unable to connect to the FTP server.");
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Help", "OK"}));
  ASSERT_TRUE(probe->answerAlert("Help"));
  EXPECT_TRUE(services->called("popToRoot"));
  EXPECT_TRUE(services->called("help:Ferrowen Help:connect-help.php?app=ferrowen&ver=300:log"));

  run([](TestConnection &c) { c.updateViewWithError("550 No such file.", false); });
  alert = probe->pendingAlerts().back();
  EXPECT_EQ(alert.title, "Error from FTP Server");
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"OK"}));
  ASSERT_TRUE(probe->answerAlert("OK"));
  EXPECT_FALSE(services->called("pop"));

  // The reply of a raw command is shown even over the connect screen; errors are not.
  services->connectOnTop = true;
  run([](TestConnection &c) {
    c.updateViewWithFileError("error-timeout.html");
    c.updateViewWithError("421 bye", true);
    c.updateViewWithReply("214-Help\r\n214 ok\r\n");
  });
  ASSERT_EQ(probe->pendingAlerts().size(), 1u);
  alert = probe->pendingAlerts().back();
  EXPECT_EQ(alert.title, "Reply from FTP Server");
  EXPECT_EQ(alert.message, "214-Help\r\n214 ok\r\n");
  EXPECT_FALSE(services->called("page:error-timeout.html"));
  ASSERT_TRUE(probe->answerAlert("OK"));

  // An owner that takes the errors gets every text and no alert is shown.
  auto delegate = std::make_shared<ErrorDelegate>();
  conn->setDelegate(delegate);
  services->connectOnTop = false;
  std::atomic<bool> done{false};
  conn->inThread([&](TestConnection &c) {
    c.updateViewWithFatalError("fatal");
    c.updateViewWithFileError("error-timeout.html");
    done = true;
  });
  ASSERT_TRUE(waitFor([&] { return done.load(); }));
  stopConnection();
  RunLoop::main()->runPending();
  EXPECT_EQ(delegate->taken(), (std::vector<std::string>{"fatal", "error-timeout.html"}));
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_FALSE(services->called("page:error-timeout.html"));
}

TEST_F(FakeServerTest, WritesTheServerCannotTakeYetWaitAndGoOutWhole) {
  // The server stops reading for a while: a long command backs up behind the stream's buffer
  // and goes out, whole and once, as room appears.
  startServer(withoutAuth(R"(, "STALL": ["__stall__"])"));
  login("joe", "pw");
  ASSERT_TRUE(waitLoggedIn());
  std::string longLine = "SITE " + std::string(4 << 20, 'x') + "tail-end\r\n";
  std::atomic<bool> written{false};
  std::atomic<size_t> backedUp{0};
  conn->inThread([&](TestConnection &c) {
    c.sendCommandToStream("STALL\r\n");
    c.sendCommandToStream(longLine);
    backedUp = c.pendingControlBytes();
    written = true;
  });
  ASSERT_TRUE(waitFor([&] { return written.load(); }));
  EXPECT_GT(backedUp.load(), 0u);
  EXPECT_TRUE(waitFor([&] {
    for (auto &l : received())
      if (l == "LONG " + std::to_string(longLine.size() - 2) + " tail-end") return true;
    return false;
  }));
  EXPECT_TRUE(conn->isStreamConnected());
  size_t longs = 0;
  for (auto &l : received())
    longs += l.rfind("LONG ", 0) == 0;
  EXPECT_EQ(longs, 1u);
}

TEST_F(FakeServerTest, PassiveReplyParsing) {
  startServer(withoutAuth());
  login("joe", "pw");
  ASSERT_TRUE(waitLoggedIn());
  std::atomic<int> results{0};
  std::vector<bool> got(6);
  conn->inThread([&](TestConnection &c) {
    got[0] = c.connectToServerData("227 Entering Passive Mode (127,0,0,1,19,137).");
    c.disconnectDataStreamFromServer();
    got[1] = c.connectToServerData("227 Entering Passive Mode (1,2,3,4,5)");
    got[2] = c.connectToServerData("227 Entering Passive Mode (1,2,3,4,5,6,7)");
    got[3] = c.connectToServerData("227 (1,2,3,4,256,1)");
    got[4] = c.connectToServerData("227 no numbers at all");
    got[5] = c.connectToServerData("227 (1,2,3,4,-5,1)");
    results = 1;
  });
  ASSERT_TRUE(waitFor([&] { return results.load() == 1; }));
  EXPECT_EQ(got, (std::vector<bool>{true, false, false, false, false, false}));
}

TEST_F(FakeServerTest, TransferLogFilesBelongToTheMainConnection) {
  startServer(withoutAuth());
  platform::LogCapture debugLog(platform::Log::Sink::Debug);
  login("joe", "pw");
  ASSERT_TRUE(waitLoggedIn());
  EXPECT_FALSE(debugLog.contains("PASS pw"));
  std::string mainLog = testsupport::readFile(Paths::tmp() + "/Ferrowen.log");
  EXPECT_NE(mainLog.find(">>> PASS [hidden]\r\n"), std::string::npos);
  EXPECT_NE(mainLog.find("*** Connect To 127.0.0.1:"), std::string::npos);
  EXPECT_EQ(mainLog.find("pw\r\n"), std::string::npos);
  stopConnection();

  // The queue's connection recreates its own file but leaves it empty.
  testsupport::writeFile(Paths::tmp() + "/Ferrowen-2.log", "old session");
  startConnection(/*mainConnection=*/false);
  conn->setServerAddress("127.0.0.1:" + std::to_string(port));
  conn->setLoginUser("joe");
  conn->setLoginPass("pw");
  conn->connect();
  ASSERT_TRUE(waitLoggedIn());
  EXPECT_TRUE(FileManager::fileExists(Paths::tmp() + "/Ferrowen-2.log"));
  EXPECT_EQ(testsupport::readFile(Paths::tmp() + "/Ferrowen-2.log"), "");
  EXPECT_TRUE(logHas(">>> PASS [hidden]\r\n"));
  // reinit empties the memory transcript.
  conn->reinit();
  EXPECT_TRUE(waitFor([&] { return conn->transferLog().empty(); }));
}

// The moment a login ends, the session is idle until the job stored for it (or the browsing
// connection's first listing) sets its task: nobody on another thread may take it for free then,
// or a starter runs on top of that job. The hook holds the test inside that moment.
TEST_F(FakeServerTest, ASessionWhoseLoginIsEndingIsNotFreeForOtherWork) {
  struct Case {
    const char *name;
    std::string folder; // typed after the server
    bool rawJob;        // a command stored before the session stands
    bool browsing;
  };
  const std::vector<Case> cases = {
      {"queue session into a typed folder", "/pub", false, false},
      {"browsing session into a typed folder", "/pub", false, true},
      {"browsing session listing its login folder", "", false, true},
      {"queue session with a stored command", "", true, false},
      {"queue session with nothing to do", "", false, false},
  };
  startServer(withoutAuth(R"(, "CWD": ["250 ok\r\n"], "SITE": ["200 done\r\n"],
      "PASV": ["500 no\r\n"], "PORT": ["500 no\r\n"])"));
  std::atomic<int> looks{0};
  std::atomic<bool> seenFree{false};
  FTPConnection::loginFinishingHook = [&](FTPConnection &c) {
    if (c.fIsLoggedIn() && !c.isAnythingInProgress()) seenFree = true;
    ++looks;
  };
  for (const auto &test : cases) {
    SCOPED_TRACE(test.name);
    looks = 0;
    seenFree = false;
    startConnection(test.browsing);
    conn->setServerAddress("127.0.0.1:" + std::to_string(port) + test.folder);
    conn->setLoginUser("joe");
    conn->setLoginPass("pw");
    if (test.rawJob)
      conn->doRawFTPCommand("SITE HELP", "");
    else
      conn->connect();
    EXPECT_TRUE(waitFor([&] { return looks.load() == 1; })) << conn->transferLog();
    EXPECT_FALSE(seenFree.load());
    // Whatever followed the login, the session is free again once it is over.
    EXPECT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && !conn->isAnythingInProgress(); }))
        << conn->transferLog();
    stopConnection();
  }
  FTPConnection::loginFinishingHook = nullptr;
}

TEST_F(FakeServerTest, AddressWithPortAndFolderEntersTheFolderAfterLogin) {
  startServer(
      withoutAuth(R"(, "CWD": ["250 ok\r\n"], "PWD": ["257 \"/\"\r\n", "257 \"/pub/x\"\r\n"])"));
  startConnection();
  conn->setServerAddress("127.0.0.1:" + std::to_string(port) + "/pub/x");
  conn->setLoginUser("joe");
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return serverGot("CWD pub/x"); })) << conn->transferLog();
  EXPECT_EQ(conn->currentPort(), port);
  EXPECT_EQ(conn->currentServerName(), "127.0.0.1");
}

// A port out of range is refused with its reason: no connection goes to the port it would wrap
// to (the server listens there), whether the port comes in the server text or apart.
TEST_F(FakeServerTest, APortOutOfRangeIsRefusedAndNothingConnectsToTheWrappedPort) {
  startServer(withoutAuth());
  startConnection();
  const std::string wrapped = std::to_string(port + 65536);
  for (const std::string &text : std::vector<std::string>{
           "127.0.0.1:" + wrapped, "127.0.0.1:" + wrapped + "/pub",
           "127.0.0.1:" + std::to_string(port) + "x", "127.0.0.1:0", "127.0.0.1:99999999999",
           "127.0.0.1:-" + std::to_string(65536 - port)}) {
    conn->setServerAddress(text);
    conn->setLoginUser("joe");
    conn->connect();
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); })) << text;
    EXPECT_EQ(probe->pendingAlerts().back().message, "The port must be a number from 1 to 65535.")
        << text;
    ASSERT_TRUE(probe->answerAlert("OK")) << text;
  }
  conn->connectToServer("127.0.0.1", port + 65536);
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(probe->pendingAlerts().back().message, "The port must be a number from 1 to 65535.");
  ASSERT_TRUE(probe->answerAlert("OK"));
  // The server heard nothing; ports 1 to 65535 still connect.
  EXPECT_TRUE(received().empty()) << server.output();
  conn->setServerAddress("127.0.0.1:" + std::to_string(port));
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return serverGot("USER joe"); })) << conn->transferLog();
}

TEST_F(FakeServerTest, ConnectionResetAtUtf8RetriesOnceInCompatibilityMode) {
  startServer(withoutAuth(R"(, "FEAT": ["211-Features:\r\n UTF8\r\n211 End\r\n"],
      "UTF8": ["__reset__"])"));
  login("joe", "pw");
  ASSERT_TRUE(waitLoggedIn()) << conn->transferLog();
  EXPECT_TRUE(logHas("*** Retrying in Compatability mode\r\n"));
  // The second login leaves out the optional steps.
  std::string log = conn->transferLog();
  std::string second = log.substr(log.find("*** Retrying in Compatability mode"));
  EXPECT_EQ(second.find(">>> FEAT"), std::string::npos);
  EXPECT_NE(second.find(">>> SYST"), std::string::npos);
}

} // namespace

// The end of a queue item: from the moment the connection turns idle until the queue's report of
// it has run on the main thread, the connection counts as busy, so nothing that looks for work
// meanwhile takes the same item up again (each file would be fetched again and again).
TEST_F(FakeServerTest, TheConnectionStaysBusyUntilTheQueueHasHeardItsItemEnded) {
  struct QueueDouble : BatchQueueReceiver {
    std::vector<int> done;
    void doneBatchItemObject(const BatchObject &o) override { done.push_back(o.primaryKey); }
  };
  auto queue = std::make_shared<QueueDouble>();
  services->queue = queue;
  // No session is needed for it (and none is busy with a listing of its own meanwhile).
  startConnection();
  ASSERT_FALSE(conn->isAnythingInProgress());
  std::atomic<bool> ended{false}, busyAtOnce{false};
  conn->inThread([&](TestConnection &c) {
    c.setBatchPK(7);
    c.doneBatchItem();
    busyAtOnce = c.isAnythingInProgress();
    ended = true;
  });
  // The main loop does not run meanwhile: the report waits there, as it may behind other work.
  for (int i = 0; i < 30000 && !ended; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(ended);
  EXPECT_TRUE(busyAtOnce);
  EXPECT_EQ(conn->iTask(), -1);
  EXPECT_TRUE(conn->isAnythingInProgress());
  EXPECT_TRUE(queue->done.empty());
  ASSERT_TRUE(waitFor([&] { return !queue->done.empty(); }));
  EXPECT_EQ(queue->done, std::vector<int>{7});
  EXPECT_FALSE(conn->isAnythingInProgress());
  services->queue.reset();
}
