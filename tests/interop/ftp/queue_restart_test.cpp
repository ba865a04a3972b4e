// The queue survives a restart of the process: a download from a slow pyftpdlib is killed with
// its process once its offset is saved; a new process resumes it ("REST") and the file arrives
// byte for byte. The processes are this test program itself, running the child case below.
#include "tests/interop/ftp/QueueFtpPeers.h"

#include "app/foundation/PartialFile.h"
#include "app/foundation/StringUtils.h"
#include "tests/support/TimeScale.h"

#include <sqlite3.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

using namespace queuetest;

namespace {

std::string selfPath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// The resume offset stored for the one row, or -1 without a row.
long long storedStart(const std::string &home) {
  sqlite3 *db = nullptr;
  long long start = -1;
  if (sqlite3_open_v2((home + "/Documents/bookmarks.sql").c_str(), &db, SQLITE_OPEN_READONLY,
                      nullptr) == SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT start FROM batchlist", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
      start = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return start;
}

} // namespace

// The program's side: a queue on the data root given in the environment, run with the real clock
// until it is empty and the file named in the environment is in Saved Files.
TEST(QueueRestartChild, DISABLED_RunsTheQueue) {
  const char *home = std::getenv("Q8_QUEUE_HOME");
  const char *file = std::getenv("Q8_QUEUE_FILE");
  if (!home || !file) GTEST_SKIP();
  RunLoop::makeMainThread();
  Paths::setHome(home);
  Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
  UserDefaults::resetStandard();
  auto services = std::make_shared<AppServicesDouble>();
  BatchAppServices::setShared(services);
  FTPAppServices::setShared(services);
  auto queue = BatchListView::create();
  services->queue = queue;
  std::printf("queue loaded: %zu\n", queue->batchItemList().size());
  std::fflush(stdout);
  const std::string saved = Paths::documents() + "/Files/" + file;
  ASSERT_TRUE(RunLoop::main()->runUntil(
      [&] { return queue->batchItemList().empty() && FileManager::fileExists(saved); },
      testsupport::scaled(seconds(50))));
  // The finished row leaves the disk a moment later, without anything else happening.
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return storedStart(home) == -1; },
                                        testsupport::scaled(seconds(10))));
  std::printf("queue done\n");
  // The queue's connection is let go on its own thread; the process ends after it.
  queue.reset();
  RunLoop::main()->runUntil([] { return BatchListView::liveConnectionThreads() == 0; },
                            testsupport::scaled(seconds(10)));
  BatchAppServices::setShared(nullptr);
  FTPAppServices::setShared(nullptr);
  // Its background work ends as the program's does at its end: the connection thread, through
  // with its loop, is joined (a thread left finished and unjoined is a leak to the sanitizers).
  EXPECT_TRUE(stopWorkerThreads(std::chrono::seconds(10)));
  // A helper process: it ends here, without destroying its static objects.
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(::testing::Test::HasFailure() ? 1 : 0);
}

class QueueRestartTest : public QueueTest {};

TEST_F(QueueRestartTest, KilledMidTransferResumesByteIdentical) {
  QueuePeer peer(160 * 1024); // bytes per second: the download takes a few seconds
  ASSERT_TRUE(peer.ready());
  const std::string data = pattern(900000, 11);
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/big.bin", data));
  seedRow("'2','big.bin','/','127.0.0.1'," + std::to_string(peer.port()) +
          ",'joe','secret','',0,0,'ftp',9999,0");
  const std::string home = Paths::home();
  const std::map<std::string, std::string> env{{"Q8_QUEUE_HOME", home},
                                               {"Q8_QUEUE_FILE", "big.bin"}};
  const std::vector<std::string> argv{selfPath(), "--gtest_also_run_disabled_tests",
                                      "--gtest_filter=QueueRestartChild.DISABLED_RunsTheQueue"};
  {
    testsupport::Process first(argv, tmp_->path(), env);
    ASSERT_TRUE(first.started());
    // The offset is saved at the first progress report; the partial file grows in the temporary
    // folder. Kill the process a third of the way in.
    const std::string partial = ftpPartialOf("big.bin", peer.port(), "joe", "/");
    const auto until =
        std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
    while ((storedStart(home) <= 0 || sizeOfFileAtPath(partial) < 300000) &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GT(storedStart(home), 0) << first.output() << first.errors();
    ASSERT_GE(sizeOfFileAtPath(partial), 300000u) << first.output() << first.errors();
    ::kill(first.pid(), SIGKILL);
    first.wait(std::chrono::seconds(10));
  }
  // Killed mid-transfer: the row and its offset stay, the file is not in Saved Files.
  const long long saved = storedStart(home);
  EXPECT_GT(saved, 0);
  EXPECT_LT(saved, static_cast<long long>(data.size()));
  EXPECT_FALSE(FileManager::fileExists(Paths::documents() + "/Files/big.bin"));

  testsupport::Process second(argv, tmp_->path(), env);
  auto status = second.wait(std::chrono::seconds(60));
  ASSERT_TRUE(status.has_value()) << second.output() << second.errors();
  EXPECT_EQ(*status, 0) << second.output() << second.errors();
  EXPECT_EQ(storedStart(home), -1); // the row is gone
  EXPECT_TRUE(testsupport::readFile(Paths::documents() + "/Files/big.bin") == data);
  // The second process resumed rather than starting over.
  size_t rest = 0;
  for (auto &line : peer.commands())
    if (line.find(" REST ") != std::string::npos && line.find(" REST 0") == std::string::npos)
      ++rest;
  EXPECT_EQ(rest, 1u) << testsupport::readFile(peer.log());
  EXPECT_EQ(peer.count("RETR"), 2u);
}
