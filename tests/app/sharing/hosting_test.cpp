// Hosting of the sharing servers by the application delegate: listeners, the idle stop measured on
// the injected clock, the bad-login limit, Bonjour results and the lifecycle.
#include "FtpTestClient.h"
#include "WebServerFixture.h"

#include "tests/support/FewDescriptors.h"

#include "platform/foundation/Log.h"
#include "tests/support/TimeScale.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace platform;
using namespace std::chrono_literals;

class HostingTest : public ShellTest {
protected:
  void useManualClock() {
    clock = std::make_shared<ManualClock>();
    Clock::install(clock);
  }
  void advance(Duration d) {
    clock->advance(d);
    RunLoop::main()->runPending();
    RunLoop::main()->runPending();
  }
  size_t alertsTitled(const std::string &title) {
    size_t n = 0;
    for (auto &a : ui::Window::keyWindow()->alerts())
      if (a->title() == title) ++n;
    return n;
  }
  // Lets this process hold enough descriptors for every place of both servers and the clients
  // that fill them (a usual soft limit of 1024 is too few); `descriptorLimit` is the limit then.
  void raiseDescriptorLimit() {
    descriptorLimit = testsupport::raiseDescriptorLimit(8192);
    ASSERT_GT(descriptorLimit, 0u);
  }
  std::shared_ptr<ManualClock> clock;
  rlim_t descriptorLimit = 0;
};

TEST_F(HostingTest, IdleServersStopAfterTheSetMinutesOfSilenceOnly) {
  useManualClock();
  set(kActiveServerMinutesKey, "10");
  delegate->startFTPServer();
  delegate->startWebServer();
  ASSERT_NE(delegate->ftpServerListener(), nullptr);
  ASSERT_NE(delegate->webServerListener(), nullptr);

  // Nobody used them yet: no timer, they run on.
  advance(std::chrono::hours(2));
  EXPECT_NE(delegate->ftpServerListener(), nullptr);
  EXPECT_FALSE(Application::shared().isIdleTimerDisabled());

  delegate->serverIsActive();
  EXPECT_TRUE(delegate->isActiveServerTimerArmed());
  EXPECT_TRUE(Application::shared().isIdleTimerDisabled());
  advance(9min + 59s);
  EXPECT_NE(delegate->ftpServerListener(), nullptr);
  // Activity postpones the stop by a full period.
  delegate->serverIsActive();
  advance(9min);
  EXPECT_NE(delegate->webServerListener(), nullptr);
  advance(1min + 1s);
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
  EXPECT_EQ(delegate->webServerListener(), nullptr);
  EXPECT_FALSE(Application::shared().isIdleTimerDisabled());
  EXPECT_FALSE(delegate->isActiveServerTimerArmed());
}

// Only a whole command (FTP) or a whole request head (web) is progress: a client that sends a byte
// now and then and never ends a line is closed at the bound like a silent one (FTP: the login
// bound, as it never logs in; web: the bound on the head), while one that logged in and sends
// whole commands stays as long as it does.
TEST_F(HostingTest, BytesTrickledWithoutAWholeCommandDoNotHoldAConnection) {
  useManualClock();
  set(kActiveServerMinutesKey, "0");
  delegate->startFTPServer();
  delegate->startWebServer();
  const int ftpPort = delegate->ftpServerListener()->port();
  const Duration step = 5s;
  struct Case {
    const char *what;
    int port;
    size_t (*live)();
    Duration limit;
    std::string trickle, farewell;
  };
  const Case cases[] = {
      {"ftp", ftpPort, &FTPServer::liveCount, FTPServer::kLoginLimit, "USER anonymous NOOP NOOP",
       "220 Ferrowen v3.0 ready...\r\n421 Login timeout.\r\n"},
      {"web", delegate->webServerListener()->port(), &WebServer::liveCount, WebServer::kHeadLimit,
       "GET /hello.txt HTTP/1.0\r\nUser-Agent: a b c d e f g h i j k l m n o p q", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ftptest::Client client(c.port);
    ASSERT_TRUE(client.connected());
    // Each byte leaves at once (Nagle's algorithm would gather them while the clock is moved).
    int one = 1;
    ::setsockopt(client.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return c.live() == 1; }, testsupport::scaled(20s)));
    Duration open = Duration::zero();
    for (size_t i = 0; c.live() == 1 && open < 2 * c.limit; ++i) {
      client.send(c.trickle.substr(i % c.trickle.size(), 1));
      RunLoop::main()->runPending();
      advance(step);
      open += step;
    }
    EXPECT_GE(open, c.limit);
    EXPECT_LE(open, c.limit + step);
    RunLoop::main()->runUntil([&] { return c.live() == 0; }, testsupport::scaled(20s));
    EXPECT_EQ(ftptest::readAll(client.fd()), c.farewell);
  }

  ftptest::Client working(ftpPort);
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return FTPServer::liveCount() == 1; },
                                        testsupport::scaled(20s)));
  working.send("USER anonymous\r\n");
  RunLoop::main()->runPending();
  for (int i = 0; i < 5; ++i) {
    advance(FTPServer::kIdleLimit - 10s);
    working.send("NOOP\r\n");
    RunLoop::main()->runPending();
  }
  EXPECT_EQ(FTPServer::liveCount(), 1u) << "whole commands keep a session";
  advance(FTPServer::kIdleLimit);
  RunLoop::main()->runUntil([&] { return FTPServer::liveCount() == 0; }, testsupport::scaled(20s));
  EXPECT_EQ(FTPServer::liveCount(), 0u);
}

TEST_F(HostingTest, ZeroMinutesNeverStopsButStillKeepsTheDeviceAwake) {
  useManualClock();
  set(kActiveServerMinutesKey, "0");
  delegate->startFTPServer();
  delegate->serverIsActive();
  EXPECT_FALSE(delegate->isActiveServerTimerArmed());
  EXPECT_TRUE(Application::shared().isIdleTimerDisabled());
  advance(std::chrono::hours(24));
  EXPECT_NE(delegate->ftpServerListener(), nullptr);
  // A timer that fires after the setting became 0 leaves the servers on but lets the device sleep.
  set(kActiveServerMinutesKey, "1");
  delegate->serverIsActive();
  set(kActiveServerMinutesKey, "0");
  advance(2min);
  EXPECT_NE(delegate->ftpServerListener(), nullptr);
  EXPECT_FALSE(Application::shared().isIdleTimerDisabled());
  delegate->serverIsActive();
  delegate->stopActiveServerTimer();
  EXPECT_FALSE(delegate->isActiveServerTimerArmed());
}

TEST_F(HostingTest, EleventhBadLoginStopsSharingAndEveryLaterOneWarnsAgain) {
  delegate->startFTPServer();
  delegate->startWebServer();
  for (int i = 0; i < 10; ++i)
    delegate->incrementBadLogins();
  EXPECT_NE(delegate->ftpServerListener(), nullptr);
  EXPECT_NE(delegate->webServerListener(), nullptr);
  EXPECT_EQ(alertsTitled("Too Many Bad Logins"), 0u);

  delegate->incrementBadLogins();
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
  EXPECT_EQ(delegate->webServerListener(), nullptr);
  ASSERT_EQ(alertsTitled("Too Many Bad Logins"), 1u);
  auto alert = ui::Window::keyWindow()->alerts().back();
  EXPECT_EQ(alert->message(), "There have been too many bad login attempts to the Web/FTP "
                              "service.  Turning off the sharing of your \"Saved Files\".");
  EXPECT_EQ(alert->buttonTitles(), std::vector<std::string>{"OK"});

  // The settings stay as they were; started again, the next bad login stops them again.
  delegate->startFTPServer();
  delegate->incrementBadLogins();
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
  EXPECT_EQ(alertsTitled("Too Many Bad Logins"), 2u);
  EXPECT_EQ(delegate->badLoginCount(), 12);
}

TEST_F(HostingTest, WrongFTPPasswordsCountTowardsTheLimitOverTheNetwork) {
  setSharing("u", "right");
  delegate->startFTPServer();
  int port = delegate->ftpServerListener()->port();
  for (int i = 0; i < 11; ++i) {
    std::string answer = ftptest::whileServing([port] {
      ftptest::Client c(port);
      std::string all = c.reply();
      all += c.cmd("USER u");
      all += c.cmd("PASS wrong");
      all += ftptest::readAll(c.fd()); // the server closes the connection
      return all;
    });
    EXPECT_EQ(answer, "220 Ferrowen v3.0 ready...\r\n331 Please specify the password.\r\n530 "
                      "Login incorrect.\r\n")
        << i;
  }
  EXPECT_EQ(delegate->badLoginCount(), 11);
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
  RunLoop::main()->runUntil([] { return FTPServer::liveCount() == 0; }, testsupport::scaled(10s));
  EXPECT_EQ(FTPServer::liveCount(), 0u);
}

TEST_F(HostingTest, ListenersStartOnceStopCleanlyAndHandOverConnections) {
  delegate->startFTPServer();
  TCPServer *first = delegate->ftpServerListener();
  ASSERT_NE(first, nullptr);
  delegate->startFTPServer();
  EXPECT_EQ(delegate->ftpServerListener(), first);
  EXPECT_EQ(first->useAssignedPort(), 2121); // asked for the fixed port; the test moved it
  int port = first->port();
  ASSERT_GT(port, 0);

  std::string greeting = ftptest::whileServing([port] {
    ftptest::Client c(port);
    return c.reply();
  });
  EXPECT_EQ(greeting, "220 Ferrowen v3.0 ready...\r\n");
  // Accepting counts as activity.
  EXPECT_TRUE(delegate->isActiveServerTimerArmed());
  EXPECT_TRUE(Application::shared().isIdleTimerDisabled());
  RunLoop::main()->runUntil([] { return FTPServer::liveCount() == 0; }, testsupport::scaled(10s));
  EXPECT_EQ(FTPServer::liveCount(), 0u) << "a handler outlived its client";

  delegate->stopFTPServer();
  delegate->stopFTPServer();
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
  EXPECT_LT(ftptest::connectLoopback(port), 0);

  // The web listener hands its connections to the web handler.
  delegate->startWebServer();
  ASSERT_NE(delegate->webServerListener(), nullptr);
  int webPort = delegate->webServerListener()->port();
  bool connected = ftptest::whileServing([webPort] {
    int fd = ftptest::connectLoopback(webPort);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  });
  EXPECT_TRUE(connected);
}

TEST_F(HostingTest, BusyPortIsOnlyLoggedAndTheServerCountsAsOn) {
  TCPServer blocker;
  blocker.setUseAssignedPort(0);
  ASSERT_TRUE(blocker.start());
  TCPServer::setPortOverride(FerrowenAppDelegate::kFTPServerPort, blocker.port());
  LogCapture log(Log::Sink::System);
  delegate->startFTPServer();
  EXPECT_TRUE(log.contains("Failed creating server: ")) << "nothing logged";
  EXPECT_NE(delegate->ftpServerListener(), nullptr);
  EXPECT_FALSE(delegate->ftpServerListener()->isListening());
  EXPECT_EQ(ui::Window::keyWindow()->alerts().size(), 0u);
  delegate->stopFTPServer();
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
}

TEST_F(HostingTest, BonjourWithoutADaemonLeavesTheNameAndTheServerServes) {
  std::string before = globalUserDefaults->stringForKey(kiPhoneNameKey).value_or("");
  int reloads = 0;
  delegate->settingsReloadHook = [&] { ++reloads; };
  LogCapture debug(Log::Sink::Debug);
  delegate->startFTPServer();
  ASSERT_NE(delegate->ftpServerListener(), nullptr);
  // The platform reports that nothing was published (or, where a daemon runs, the name).
  RunLoop::main()->runUntil(
      [&] {
        return debug.contains("Bonjour did not publish") || !delegate->bonjourPhoneName().empty();
      },
      testsupport::scaled(20s));
  if (!delegate->bonjourPhoneName().empty()) GTEST_SKIP() << "a Bonjour daemon published it";
  EXPECT_TRUE(debug.contains("Bonjour did not publish"));
  EXPECT_EQ(delegate->bonjourPhoneName(), "");
  EXPECT_EQ(globalUserDefaults->stringForKey(kiPhoneNameKey).value_or(""), before);
  EXPECT_EQ(reloads, 0);
  int port = delegate->ftpServerListener()->port();
  std::string greeting = ftptest::whileServing([port] {
    ftptest::Client c(port);
    return c.reply();
  });
  EXPECT_EQ(greeting, "220 Ferrowen v3.0 ready...\r\n");
}

TEST_F(HostingTest, PublishedNameIsKeptOnlyWhenItIsASCII) {
  int reloads = 0;
  delegate->settingsReloadHook = [&] { ++reloads; };
  TCPServer listener;
  delegate->serverDidEnableBonjour(listener, "Kitchen iPhone");
  EXPECT_EQ(delegate->bonjourPhoneName(), "Kitchen iPhone");
  EXPECT_EQ(globalUserDefaults->stringForKey(kiPhoneNameKey), "Kitchen iPhone");
  delegate->serverDidEnableBonjour(listener, "J\xC3\xB6rg's iPhone");
  EXPECT_EQ(delegate->bonjourPhoneName(), "Kitchen iPhone");
  EXPECT_EQ(globalUserDefaults->stringForKey(kiPhoneNameKey), "Kitchen iPhone");
  EXPECT_EQ(reloads, 2);
  // Stored on disk too.
  UserDefaults::resetStandard();
  EXPECT_EQ(UserDefaults::standard().stringForKey(kiPhoneNameKey), "Kitchen iPhone");
}

TEST_F(HostingTest, LifecycleStopsAndRestartsTheServersTheSettingsAskFor) {
  set(kWebServerKey, "1");
  auto &app = Application::shared();
  app.launch();
  EXPECT_NE(delegate->webServerListener(), nullptr);
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
  delegate->serverIsActive();
  app.resignActive();
  EXPECT_EQ(delegate->webServerListener(), nullptr);
  EXPECT_FALSE(delegate->isActiveServerTimerArmed());
  EXPECT_FALSE(delegate->applicationActive());
  set(kFTPServerKey, "1");
  app.becomeActive();
  EXPECT_NE(delegate->webServerListener(), nullptr);
  EXPECT_NE(delegate->ftpServerListener(), nullptr);
  app.enterBackground();
  EXPECT_EQ(delegate->webServerListener(), nullptr);
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
  app.enterForeground();
  EXPECT_NE(delegate->ftpServerListener(), nullptr);
}

// Clients that connect and then stall are closed once the bound passes: the web server's when its
// request head has not come in time (without a word, as nginx), the FTP server's when it has not
// logged in in time ("421"). Each server serves a bounded number of clients at
// once: while stalled clients fill all but one place, others are still served; once they fill
// all, a newcomer is told so in the server's protocol and closed, and served again once the
// stalled clients are gone.
TEST_F(HostingTest, StalledClientsAreClosedInTimeAndNewcomersOverTheLimitAreRefusedCleanly) {
  ASSERT_NO_FATAL_FAILURE(raiseDescriptorLimit());
  ASSERT_GE(descriptorLimit, 3 * ftptest::kServedAtOnce)
      << "the descriptor limit is too low for this test";
  useManualClock();
  set(kActiveServerMinutesKey, "0");
  makeFile("hello.txt", "hello");
  delegate->startFTPServer();
  delegate->startWebServer();
  struct Case {
    int port;
    size_t (*live)();
    size_t places;
    Duration limit;
    std::string stall, farewell, refusal;
    std::string (*served)(int port);
  };
  const std::string busy = "Too many connections. Please try again later.";
  const Case cases[] = {
      {delegate->webServerListener()->port(), &WebServer::liveCount, ftptest::kServedAtOnce,
       WebServer::kHeadLimit, "GET /hello.txt HTTP/1.0\r\n", "",
       "HTTP/1.0 503 Service Unavailable\r\n",
       [](int port) {
         return webExchangeBlocking(port, {"GET /hello.txt HTTP/1.0\r\n\r\n"}).body;
       }},
      {delegate->ftpServerListener()->port(), &FTPServer::liveCount, ftptest::kServedAtOnce,
       FTPServer::kLoginLimit, "", "220 Ferrowen v3.0 ready...\r\n421 Login timeout.\r\n",
       "421 Too many connections. Please try again later.\r\n",
       [](int port) {
         return std::string(ftptest::Client(port).reply().substr(0, 4) == "220 " ? "hello" : "");
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.port);
    std::vector<std::unique_ptr<ftptest::Client>> stalled;
    auto stall = [&] {
      stalled.push_back(std::make_unique<ftptest::Client>(c.port));
      ASSERT_TRUE(stalled.back()->connected()) << stalled.size();
      stalled.back()->send(c.stall);
      if (stalled.size() % 64 == 0) RunLoop::main()->runPending();
    };
    while (stalled.size() < c.places - 1)
      stall();
    RunLoop::main()->runUntil([&] { return c.live() == c.places - 1; }, testsupport::scaled(60s));
    EXPECT_EQ(c.live(), c.places - 1);
    EXPECT_EQ(ftptest::whileServing([&] { return c.served(c.port); }), "hello");
    RunLoop::main()->runUntil([&] { return c.live() == c.places - 1; }, testsupport::scaled(60s));
    stall();
    RunLoop::main()->runUntil([&] { return c.live() == c.places; }, testsupport::scaled(60s));
    EXPECT_EQ(c.live(), c.places);

    // One more: the refusal whole, then the end of the connection (not a reset, not a wait).
    const std::string refused = ftptest::whileServing([&] {
      ftptest::Client newcomer(c.port);
      newcomer.send(c.stall.empty() ? std::string("USER anonymous\r\n") : c.stall + "\r\n");
      return ftptest::readAll(newcomer.fd());
    });
    EXPECT_TRUE(refused.starts_with(c.refusal)) << refused;
    if (c.refusal.starts_with("HTTP")) {
      const WebReply reply = parseWebReply(refused, true);
      EXPECT_EQ(reply.body, busy);
      EXPECT_EQ(reply.header("content-length"), std::to_string(busy.size()));
      EXPECT_EQ(reply.header("connection"), "close");
    } else {
      EXPECT_EQ(refused, c.refusal);
    }
    EXPECT_EQ(c.live(), c.places) << "a refused client takes no place";

    advance(c.limit - 1s);
    EXPECT_GE(c.live(), c.places);
    advance(2s);
    RunLoop::main()->runUntil([&] { return c.live() == 0; }, testsupport::scaled(60s));
    EXPECT_EQ(c.live(), 0u);
    for (size_t i : {size_t(0), c.places - 1})
      EXPECT_EQ(ftptest::readAll(stalled[i]->fd()), c.farewell);
    EXPECT_EQ(ftptest::whileServing([&] { return c.served(c.port); }), "hello");
  }
}

// One address that holds every place (connections that never log in, request heads that never
// end) does not keep a client of another address out: the newcomer is served, and a connection
// of the address that holds the most gives its place up (FTP: told so). A newcomer of that same
// address is still refused, so it cannot take places from itself in turn.
TEST_F(HostingTest, OneAddressHoldingEveryPlaceDoesNotKeepAnotherAddressOut) {
  useManualClock(); // no bound cuts the holders meanwhile
  ASSERT_NO_FATAL_FAILURE(raiseDescriptorLimit());
  set(kActiveServerMinutesKey, "0");
  makeFile("hello.txt", "hello");
  delegate->startFTPServer();
  delegate->startWebServer();
  struct Case {
    int port;
    size_t (*live)();
    size_t places;
    std::string hold, refusal, madeRoom;
    std::string (*served)(int port);
  };
  const Case cases[] = {
      {delegate->ftpServerListener()->port(), &FTPServer::liveCount, ftptest::kServedAtOnce, "",
       "421 Too many connections. Please try again later.\r\n",
       "220 Ferrowen v3.0 ready...\r\n421 Too many connections from your address.\r\n",
       [](int port) {
         ftptest::Client c(port, "127.0.0.3");
         const std::string greeting = c.reply().substr(0, 4);
         return greeting + c.cmd("USER anonymous");
       }},
      {delegate->webServerListener()->port(), &WebServer::liveCount, ftptest::kServedAtOnce,
       "GET /hello.txt HTTP/1.0\r\nUser-Agent: slow", "HTTP/1.0 503 Service Unavailable\r\n", "",
       [](int port) {
         const int fd = ftptest::connectLoopback(port, "127.0.0.3");
         ftptest::sendAll(fd, "GET /hello.txt HTTP/1.0\r\n\r\n");
         std::string raw = ftptest::readAll(fd);
         ::close(fd);
         return raw.substr(0, raw.find("\r\n") + 2) + raw.substr(raw.find("\r\n\r\n") + 4);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.port);
    std::vector<std::unique_ptr<ftptest::Client>> holding;
    while (holding.size() < c.places) {
      holding.push_back(std::make_unique<ftptest::Client>(c.port, "127.0.0.2"));
      ASSERT_TRUE(holding.back()->connected()) << holding.size();
      holding.back()->send(c.hold);
      if (holding.size() % 64 == 0) RunLoop::main()->runPending();
    }
    RunLoop::main()->runUntil([&] { return c.live() == c.places; }, testsupport::scaled(60s));
    ASSERT_EQ(c.live(), c.places);

    const std::string refused = ftptest::whileServing([&] {
      ftptest::Client again(c.port, "127.0.0.2");
      return ftptest::readAll(again.fd());
    });
    EXPECT_TRUE(refused.starts_with(c.refusal)) << refused;

    const std::string served = ftptest::whileServing([&] { return c.served(c.port); });
    EXPECT_EQ(served, c.port == cases[0].port ? "220 230 Login successful.\r\n"
                                              : "HTTP/1.0 200 OK\r\nhello");
    // The place the newcomer took was given up by one holder: its connection is closed.
    std::vector<std::string> heard(holding.size());
    std::vector<bool> ended(holding.size());
    auto closedHolders = [&] {
      size_t closed = 0;
      for (size_t i = 0; i < holding.size(); ++i) {
        char buf[4096];
        ssize_t n;
        while (!ended[i] && (n = ::recv(holding[i]->fd(), buf, sizeof buf, MSG_DONTWAIT)) >= 0) {
          heard[i].append(buf, size_t(n));
          ended[i] = n == 0;
        }
        closed += ended[i];
      }
      return closed;
    };
    RunLoop::main()->runUntil([&] { return closedHolders() >= 1; }, testsupport::scaled(20s));
    ASSERT_EQ(closedHolders(), 1u);
    for (size_t i = 0; i < holding.size(); ++i)
      if (ended[i]) {
        EXPECT_EQ(heard[i], c.madeRoom);
      }
    holding.clear();
    RunLoop::main()->runUntil([&] { return c.live() == 0; }, testsupport::scaled(60s));
  }
}

// A session that does not log in is closed at the login bound, whatever it sends meanwhile (whole
// commands keep a session from the idle bound only); one that gives its login up starts the bound
// again; one that is logged in is not bound by it.
TEST_F(HostingTest, SessionThatDoesNotLogInIsClosedAtTheLoginBound) {
  useManualClock();
  set(kActiveServerMinutesKey, "0");
  delegate->startFTPServer();
  const int port = delegate->ftpServerListener()->port();
  struct Case {
    const char *what;
    std::string first, each;
    bool closed;
  };
  const Case cases[] = {
      {"commands without a login", "", "SYST\r\n", true},
      {"a wrong user name again and again", "", "USER\r\n", true},
      {"a login given up", "USER anonymous\r\nREIN\r\n", "FEAT\r\n", true},
      {"logged in", "USER anonymous\r\n", "NOOP\r\n", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    set(kFileShareUserKey, c.first.empty() ? "owner" : "");
    ftptest::Client client(port);
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return FTPServer::liveCount() == 1; },
                                          testsupport::scaled(20s)));
    client.send(c.first);
    RunLoop::main()->runPending();
    for (Duration open = 0s; open < FTPServer::kLoginLimit - 1s; open += 10s) {
      client.send(c.each);
      RunLoop::main()->runPending();
      advance(std::min<Duration>(10s, FTPServer::kLoginLimit - 1s - open));
    }
    EXPECT_EQ(FTPServer::liveCount(), 1u);
    advance(2s);
    RunLoop::main()->runUntil([&] { return FTPServer::liveCount() == 0; }, testsupport::scaled(2s));
    EXPECT_EQ(FTPServer::liveCount(), c.closed ? 0u : 1u);
    if (c.closed) {
      const std::string said = ftptest::readAll(client.fd());
      EXPECT_TRUE(said.ends_with("\r\n421 Login timeout.\r\n")) << said;
    }
    FTPServer::disconnectAll();
    RunLoop::main()->runUntil([&] { return FTPServer::liveCount() == 0; },
                              testsupport::scaled(20s));
  }
}

// A request that arrives slower than the minimum rate is cut however often a byte comes: a head
// after its first bound (or its longest, when it keeps the rate but never ends), a body after its
// first bound; a partly received upload leaves nothing. A body that keeps the rate goes on to its
// answer.
TEST_F(HostingTest, RequestsTrickledBelowTheMinimumRateAreCut) {
  useManualClock();
  set(kActiveServerMinutesKey, "0");
  delegate->startWebServer();
  const int port = delegate->webServerListener()->port();
  const std::string head = "GET / HTTP/1.0\r\n";
  const std::string line = "X-Filler: " + std::string(586, 'a') + "\r\n"; // 598 bytes
  const std::string preamble = "--B\r\nContent-Disposition: form-data; name=\"file1\"; "
                               "filename=\"slow.bin\"\r\n\r\n";
  const std::string tail = "\r\n--B--\r\n";
  const size_t steadyBytes = 60 * 600;
  struct Case {
    const char *what;
    std::string start;
    std::string (*piece)(size_t i, const std::string &line);
    Duration step;
    Duration cutFrom, cutBy; // none: answered
  };
  const std::string postBody =
      "POST / HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: ";
  const Case cases[] = {
      {"head, a byte at a time", head, [](size_t, const std::string &) { return std::string("a"); },
       5s, WebServer::kHeadLimit, WebServer::kHeadLimit + 5s},
      {"head at the rate, never ending", head, [](size_t, const std::string &l) { return l; }, 1s,
       WebServer::kHeadLimitMost, WebServer::kHeadLimitMost + 1s},
      {"body, a byte at a time", postBody + "100000\r\n\r\n" + preamble,
       [](size_t, const std::string &) { return std::string("b"); }, 5s, WebServer::kBodyLimit,
       WebServer::kBodyLimit + 5s},
      {"body at the rate",
       postBody + std::to_string(preamble.size() + steadyBytes + tail.size()) + "\r\n\r\n" +
           preamble,
       [](size_t i, const std::string &) {
         return i < 60 ? std::string(600, 'c') : std::string("\r\n--B--\r\n");
       },
       1s, 0s, 0s},
  };
  const auto before = FileManager::contentsOfDirectory(file(""));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ftptest::Client client(port);
    int one = 1;
    ::setsockopt(client.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    client.send(c.start);
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return WebServer::liveCount() == 1; },
                                          testsupport::scaled(20s)));
    Duration open = 0s;
    for (size_t i = 0; WebServer::liveCount() == 1 && open < 2min && i <= 60; ++i) {
      client.send(c.piece(i, line));
      RunLoop::main()->runPending();
      RunLoop::main()->runPending();
      if (WebServer::liveCount() == 0) break;
      advance(c.step);
      open += c.step;
    }
    RunLoop::main()->runUntil([&] { return WebServer::liveCount() == 0; },
                              testsupport::scaled(20s));
    const std::string answer = ftptest::readAll(client.fd());
    if (c.cutBy > 0s) {
      EXPECT_GE(open, c.cutFrom);
      EXPECT_LE(open, c.cutBy);
      EXPECT_EQ(answer, "");
    } else {
      EXPECT_TRUE(answer.starts_with("HTTP/1.0 200 OK\r\n")) << answer.substr(0, 200);
      EXPECT_EQ(testsupport::readFile(file("slow.bin")), std::string(steadyBytes, 'c'));
      ::unlink(file("slow.bin").c_str());
    }
    EXPECT_EQ(FileManager::contentsOfDirectory(file("")), before) << "nothing left behind";
  }
}
