// Implicit FTPS against the scripted server: a session whose TLS keeps failing it (a listing
// refused, "PBSZ" unanswered, a protected data connection that never opens) connects again at
// most once, since its port speaks TLS whatever the connection tries, then reports the failure;
// with the Security Warning, the user's "Yes, Connect" is that one reconnect, and the answer
// stays given. The connection takes the server's free port for the implicit one, as the
// application takes port 990.
#include "tests/interop/ftp/TaskPeers.h"

using namespace taskpeers;

namespace {

class ImplicitAt : public FTPConnection {
public:
  explicit ImplicitAt(int port) : port_(port) {}

protected:
  bool isImplicitTlsPort(int port) const override { return port == port_; }

private:
  int port_;
};

class ImplicitTlsTest : public TaskPeerTest {
protected:
  // Sessions the server saw: each asks for protected data connections once ("CONNECTED" also
  // counts the test's own look at whether the server is up).
  size_t sessions(const Server &s) {
    const std::string out = s.process.output();
    size_t n = 0;
    for (size_t at = out.find("\nPBSZ 0\n"); at != std::string::npos;
         at = out.find("\nPBSZ 0\n", at + 1))
      ++n;
    return n;
  }
  size_t sentCount(const std::string &command) {
    size_t n = 0;
    for (auto &c : commandsSent())
      n += c == command;
    return n;
  }
};

class ImplicitTlsPeersTest : public ImplicitTlsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ImplicitTlsPeersTest, ARefusedListingConnectsAgainOnceAtMost) {
  const bool warn = GetParam();
  ASSERT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
  Server s = startScripted(R"({"implicit": true, "list": "refuse"})");
  makeConnection = [port = s.port] { return std::make_shared<ImplicitAt>(port); };
  // A folder to start in: it is entered, and listing it fails.
  startConnection(address(s) + "/pub", true, "joe", "secret");
  conn->setSkipSSL(false);
  conn->setWarnIfNoSSL(warn);
  if (warn) conn->setDelegate(std::weak_ptr<FTPConnectionDelegate>()); // the alerts are shown
  conn->connect();

  if (warn) {
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); })) << conn->transferLog();
    EXPECT_EQ(probe->pendingAlerts().back().title, "Security Warning");
    EXPECT_EQ(sessions(s), 1u);
    ASSERT_TRUE(probe->answerAlert("Yes, Connect"));
    ASSERT_TRUE(waitFor([&] {
      auto alerts = probe->pendingAlerts();
      return !alerts.empty() && alerts.back().title == "Error from FTP Server";
    })) << conn->transferLog();
    EXPECT_NE(probe->pendingAlerts().back().message.find("522 Data connections must be encrypted"),
              std::string::npos);
    // The user accepted plain FTP for the server: the reconnected session, under TLS all the
    // same, does not take that back when it enters its folder.
    EXPECT_EQ(UserDefaults::standard().stringForKey(keySSLNo("127.0.0.1")).value_or(""), "1");
  } else {
    ASSERT_TRUE(waitFor([&] { return !delegate->taken().empty() && idle(); }))
        << conn->transferLog();
    EXPECT_NE(delegate->taken().back().find("522 Data connections must be encrypted"),
              std::string::npos)
        << delegate->taken().back();
    // No listing worked over TLS: nothing says the server does FTPS.
    EXPECT_NE(UserDefaults::standard().stringForKey(keySSLNo("127.0.0.1")).value_or(""), "0");
  }
  // Nothing more follows.
  waitFor([] { return false; }, 1.5);
  EXPECT_EQ(sessions(s), 2u) << s.process.output();
  EXPECT_EQ(sentCount("LIST"), 2u) << conn->transferLog();
  EXPECT_EQ(sentCount("CWD pub"), 2u) << conn->transferLog();
  if (warn) {
    size_t warnings = 0;
    for (auto &a : probe->pendingAlerts())
      warnings += a.title == "Security Warning";
    EXPECT_EQ(warnings, 0u) << "asked once, answered once";
  } else {
    EXPECT_EQ(delegate->taken().size(), 1u);
  }
  // Each session asked for protected data connections before logging in.
  EXPECT_EQ(commandsSent().front(), "PBSZ 0");
  EXPECT_EQ(sentCount("PBSZ 0"), 2u);
  EXPECT_TRUE(conn->implicitSSL());
}

INSTANTIATE_TEST_SUITE_P(Implicit, ImplicitTlsPeersTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Warned" : "NotWarned"; });

// A server that protects an implicit session's data by itself and knows neither "PBSZ" nor
// "PROT": the login goes on, once, with its data connections still protected.
TEST_F(ImplicitTlsTest, RefusedProtectionCommandsLeadToTheLogin) {
  ASSERT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
  Server s = startScripted(R"({"implicit": true, "pbsz": "refuse"})");
  makeConnection = [port = s.port] { return std::make_shared<ImplicitAt>(port); };
  startConnection(address(s), false, "joe", "secret");
  conn->setSkipSSL(false);
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
  auto cmds = commandsSent();
  ASSERT_GE(cmds.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + 3),
            (std::vector<std::string>{"PBSZ 0", "USER joe", "PASS [hidden]"}));
  EXPECT_EQ(sentCount("PBSZ 0"), 1u);
  EXPECT_TRUE(conn->fSecureData());
  EXPECT_EQ(sessions(s), 1u);
  EXPECT_TRUE(delegate->taken().empty()) << delegate->taken().front();
}

// A TLS step that never completes on an implicit session ("PBSZ" unanswered, a protected data
// connection that never opens): one reconnect, then the time-out's help page, and no more
// sessions however long the connection stays.
struct StalledCase {
  const char *label, *script, *marker, *page;
};

void PrintTo(const StalledCase &c, std::ostream *out) {
  *out << c.label;
}

class ImplicitTlsStalledTest : public ImplicitTlsTest,
                               public ::testing::WithParamInterface<StalledCase> {};

TEST_P(ImplicitTlsStalledTest, ConnectsAgainOnceAtMost) {
  const StalledCase &c = GetParam();
  ASSERT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
  Server s = startScripted(c.script);
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  makeConnection = [port = s.port] { return std::make_shared<ImplicitAt>(port); };
  startConnection(address(s), true, "joe", "secret");
  conn->setSkipSSL(false);
  conn->connect();
  auto markers = [&] {
    const std::string log = conn->transferLog();
    size_t n = 0;
    for (size_t at = log.find(c.marker); at != std::string::npos; at = log.find(c.marker, at + 1))
      ++n;
    return n;
  };
  for (size_t session = 1; session <= 2; ++session) {
    ASSERT_TRUE(waitFor([&] { return markers() == session; })) << conn->transferLog();
    waitFor([] { return false; }, 0.2);
    clock->advance(seconds(21));
  }
  // The help page: shown in the tab, or handed to the delegate that takes the errors.
  ASSERT_TRUE(waitFor([&] {
    auto calls = services->calls();
    auto taken = delegate->taken();
    return std::find(calls.begin(), calls.end(), std::string("page:") + c.page) != calls.end() ||
           std::find(taken.begin(), taken.end(), c.page) != taken.end();
  })) << conn->transferLog();
  for (int i = 0; i < 3; ++i) {
    clock->advance(seconds(21));
    waitFor([] { return false; }, 0.2);
  }
  EXPECT_EQ(markers(), 2u) << conn->transferLog();
  EXPECT_EQ(sessions(s), 2u) << s.process.output();
  Clock::install(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Implicit, ImplicitTlsStalledTest,
    ::testing::Values(StalledCase{"PbszUnanswered", R"({"implicit": true, "pbsz": "silent"})",
                                  ">>> PBSZ 0", "error-timeout.html"},
                      StalledCase{"DataNeverOpens", R"({"implicit": true, "pasv": "dead"})",
                                  "227 Entering Passive Mode", "error-timeout-data-ssl.html"}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
