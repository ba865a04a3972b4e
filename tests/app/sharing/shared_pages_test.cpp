// Folder pages and FTP listings of a folder too big to be made in one step, asked for by many
// clients at once: made once, byte for byte what a client asking alone gets, in the right order,
// released once sent; commands after a LIST wait for its listing; changes the servers make are
// never hidden behind a text made before them.
#include "FtpTestClient.h"
#include "WebServerFixture.h"

#include "app/foundation/DirItemInfo.h"
#include "app/sharing/SharedListing.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Text.h"
#include "tests/support/TimeScale.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;
using sharing::SharedListing;

namespace {

// Where the clients of allAtOnce() say how far they are.
struct Gate {
  std::atomic<int> ready{0}, sent{0};
  std::atomic<bool> open{false};
};
struct Signals {
  std::shared_ptr<Gate> gate;
  // Waits until every client is ready.
  void ready() const {
    ++gate->ready;
    while (!gate->open)
      std::this_thread::sleep_for(1ms);
  }
  void sent() const { ++gate->sent; }
  // Signals for a client alone: nothing to wait for.
  static Signals alone() {
    Signals s{std::make_shared<Gate>()};
    s.gate->open = true;
    return s;
  }
};

// Runs `work(i, signals)` for i < count on threads of their own; once every one of them has
// called `ready()` (the main loop serving meanwhile when `serveUntilReady`), the main loop stops
// until every one has called `sent()`, so that the server finds all their requests at once; then
// it serves until all are done.
template <class Work>
auto allAtOnce(int count, bool serveUntilReady, Work work)
    -> std::vector<decltype(work(0, Signals{}))> {
  auto gate = std::make_shared<Gate>();
  std::vector<std::future<decltype(work(0, Signals{}))>> runs;
  for (int i = 0; i < count; ++i)
    runs.push_back(std::async(std::launch::async, work, i, Signals{gate}));
  if (serveUntilReady)
    RunLoop::main()->runUntil([&] { return gate->ready == count; }, testsupport::scaled(60s));
  else
    while (gate->ready < count)
      std::this_thread::sleep_for(1ms);
  gate->open = true;
  for (auto end = std::chrono::steady_clock::now() + testsupport::scaled(30s);
       gate->sent < count && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(1ms);
  std::vector<decltype(work(0, Signals{}))> out;
  for (auto &run : runs) {
    RunLoop::main()->runUntil([&] { return run.wait_for(0s) == std::future_status::ready; },
                              testsupport::scaled(90s));
    out.push_back(run.get());
  }
  return out;
}

} // namespace

class SharedPagesTest : public WebServerTest {
protected:
  // A folder of `files` files and a few folders, with names in mixed case that sort apart from
  // the order the file system gives them.
  void makeBigFolder(const std::string &name, int files) {
    for (int i = 0; i < files; ++i) {
      const std::string n = (i % 3 == 0   ? "File "
                             : i % 3 == 1 ? "file-"
                                          : "\xC3\xA9t\xC3\xA9 ") +
                            std::to_string((i * 7919) % files) + (i % 2 ? ".txt" : ".JPG");
      makeFile(name + "/" + n, std::string(size_t(i % 97), 'x'));
    }
    for (const char *folder : {"Zeta", "alpha", "Mid"})
      ASSERT_TRUE(FileManager::createDirectory(file(name + "/" + folder)));
  }
  // The names a folder page links to, in the order it shows them.
  static std::vector<std::string> namesShown(const std::string &page) {
    std::vector<std::string> out;
    for (size_t at = page.find("<td class='desc'>"); at != std::string::npos;
         at = page.find("<td class='desc'>", at + 1)) {
      const size_t open = page.find('>', page.find("<a href=", at)) + 1;
      out.push_back(page.substr(open, page.find("</a>", open) - open));
    }
    return out;
  }
};

TEST_F(SharedPagesTest, ABigFolderPageIsMadeOnceForClientsAskingTogether) {
  constexpr int kFiles = 2500, kClients = 16;
  makeBigFolder("big", kFiles);
  const WebReply alone = get("/big/");
  ASSERT_EQ(alone.status, 200);

  // The rows are in DirItemInfo's name order (folders first), whatever the runs and merges.
  std::vector<DirItemInfo> items;
  const auto names =
      FileManager::contentsOfDirectory(file("big")).value_or(std::vector<std::string>{});
  for (const auto &name : names) {
    DirItemInfo item;
    item.setName(name);
    item.isDirectory = FileManager::isDirectory(file("big/" + name));
    items.push_back(item);
  }
  std::stable_sort(items.begin(), items.end(),
                   [](const auto &a, const auto &b) { return a.compareByName(b) < 0; });
  std::vector<std::string> expected;
  for (const auto &item : items)
    expected.push_back(webHTMLEscape(item.name()));
  EXPECT_EQ(namesShown(alone.body), expected);

  // Clients whose requests all wait in their sockets before the server reads any of them.
  const uint64_t begun = SharedListing::shared().textsBegun();
  const size_t alive = SharedListing::shared().textsAlive();
  const int p = port;
  const auto replies = allAtOnce(kClients, false, [p](int, const Signals &signals) {
    signals.ready();
    const int fd = ftptest::connectLoopback(p);
    ftptest::sendAll(fd, "GET /big/ HTTP/1.0\r\n\r\n");
    signals.sent();
    const std::string raw = ftptest::readAll(fd);
    ::close(fd);
    return parseWebReply(raw, true);
  });
  for (const WebReply &r : replies) {
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-length"), std::to_string(alone.body.size()));
    EXPECT_TRUE(r.body == alone.body) << "a page differs from the one a client alone gets";
  }
  EXPECT_EQ(SharedListing::shared().textsBegun() - begun, 1u) << "made once for all";
  settle();
  EXPECT_EQ(SharedListing::shared().textsAlive(), alive) << "released once sent";
}

// The server's own changes show at once, even where a text made just before could be reused.
TEST_F(SharedPagesTest, ChangesTheServersMakeAreReported) {
  const uint64_t before = SharedListing::shared().changesReported();
  const std::string body = multipartBody({{"up.txt", "uploaded"}});
  const WebReply uploaded = exchange({postHead("/", body.size()) + body});
  EXPECT_EQ(uploaded.status, 200);
  EXPECT_NE(uploaded.body.find("up.txt"), std::string::npos);
  EXPECT_GT(SharedListing::shared().changesReported(), before);
}

class SharedListingsFTPTest : public SharedPagesTest {
protected:
  void SetUp() override {
    SharedPagesTest::SetUp();
    delegate->startFTPServer();
    ASSERT_NE(delegate->ftpServerListener(), nullptr);
    ftpPort = delegate->ftpServerListener()->port();
  }
  int ftpPort = 0;
};

TEST_F(SharedListingsFTPTest, ABigListingIsMadeOnceForSessionsListingTogether) {
  constexpr int kFiles = 2500, kSessions = 12;
  makeBigFolder("big", kFiles);
  const int p = ftpPort;
  struct Listing {
    std::string replies, bytes;
  };
  auto session = [p](const std::string &command, const Signals &signals) {
    Listing out;
    ftptest::Client c(p);
    c.reply();
    c.cmd("USER anonymous");
    const int data = c.pasv();
    signals.ready();
    c.send(command + "\r\n");
    signals.sent();
    out.replies = c.reply();
    out.bytes = ftptest::readAll(data);
    ::close(data);
    out.replies += c.reply();
    return out;
  };
  for (const std::string command : {"LIST big", "LIST -la big", "NLST big"}) {
    SCOPED_TRACE(command);
    const Listing alone = ftptest::whileServing([&] { return session(command, Signals::alone()); });
    const size_t lines = size_t(std::count(alone.bytes.begin(), alone.bytes.end(), '\n'));
    EXPECT_EQ(lines, size_t(kFiles + 3));
    EXPECT_EQ(alone.replies, "150 Opening ASCII mode data connection for LIST (" +
                                 std::to_string(alone.bytes.size()) +
                                 " bytes).\r\n226 Transfer complete. " +
                                 std::to_string(alone.bytes.size()) + " bytes sent.\r\n");
    const uint64_t begun = SharedListing::shared().textsBegun();
    const auto all = allAtOnce(
        kSessions, true, [&](int, const Signals &signals) { return session(command, signals); });
    for (const Listing &l : all) {
      EXPECT_EQ(l.replies, alone.replies);
      EXPECT_TRUE(l.bytes == alone.bytes) << "a listing differs from the one a session alone gets";
    }
    EXPECT_EQ(SharedListing::shared().textsBegun() - begun, 1u) << "made once for all";
  }
}

// Commands sent behind a LIST are answered after it, in order, though its listing takes steps.
TEST_F(SharedListingsFTPTest, CommandsBehindALongListingWaitForIt) {
  makeBigFolder("big", 2000);
  const std::string replies = ftptest::whileServing([&] {
    ftptest::Client c(ftpPort);
    c.reply();
    c.cmd("USER anonymous");
    const int data = c.pasv();
    c.send("LIST big\r\nNOOP\r\nPWD\r\n");
    std::string r = c.reply();
    ftptest::readAll(data);
    ::close(data);
    for (int i = 0; i < 3; ++i)
      r += c.reply();
    return r;
  });
  EXPECT_TRUE(replies.starts_with("150 Opening ASCII mode data connection for LIST (")) << replies;
  const size_t noop = replies.find("200 Command OK.\r\n"), pwd = replies.find("257 \"/\"");
  EXPECT_NE(noop, std::string::npos) << replies;
  EXPECT_NE(pwd, std::string::npos) << replies;
  EXPECT_LT(noop, pwd);
  EXPECT_NE(replies.find("226 Transfer complete."), std::string::npos) << replies;
}

// An upload to a file that is there already changes no folder entry; the next listing shows the
// new size all the same.
TEST_F(SharedListingsFTPTest, UploadsAreReportedSoListingsShowThem) {
  makeFile("same.txt", "short");
  const uint64_t before = SharedListing::shared().changesReported();
  const std::string replies = ftptest::whileServing([&] {
    ftptest::Client c(ftpPort);
    c.reply();
    c.cmd("USER anonymous");
    const int data = c.pasv();
    std::string r = c.cmd("APPE same.txt");
    ftptest::sendAll(data, " and longer");
    ::close(data);
    return r + c.reply();
  });
  EXPECT_NE(replies.find("226 File Received OK, (16 bytes)."), std::string::npos) << replies;
  EXPECT_GT(SharedListing::shared().changesReported(), before);
}
