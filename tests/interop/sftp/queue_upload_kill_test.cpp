// An upload row killed with the program mid-way (SIGKILL, nothing ended cleanly) and run again by
// a new start from the same queue: the server's folder then holds only the final file, with the
// local file's bytes, and nothing of the killed start under a temporary name. Over SFTP (OpenSSH's
// sshd, slowed by a relay) and over FTP (pyftpdlib, throttled). The programs are this test
// program itself, running the child case below.
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/sftp/SFTPService.h"
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/DelayRelay.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/SshPeers.h"
#include "tests/support/TimeScale.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

using namespace queuetest;

namespace {

std::string selfPath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::vector<std::string> namesIn(const std::string &folder) {
  std::vector<std::string> names;
  for (auto &entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The size of the first file of the folder whose name holds `part` (0: none).
uint64_t sizeOfFileWith(const std::string &folder, const std::string &part) {
  for (auto &name : namesIn(folder))
    if (name.find(part) != std::string::npos) return sizeOfFileAtPath(folder + "/" + name);
  return 0;
}

} // namespace

// The program's side: the queue on the data root given in the environment, run with the real
// clock until it is empty.
TEST(QueueUploadKillChild, DISABLED_RunsTheQueue) {
  const char *home = std::getenv("KILL_QUEUE_HOME");
  if (!home) GTEST_SKIP();
  RunLoop::makeMainThread();
  Paths::setHome(home);
  Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
  UserDefaults::resetStandard();
  RegisterDefaultSettings(); // uploads go under a temporary name, as a new user's do
  SFTPService::install();
  auto services = std::make_shared<AppServicesDouble>();
  BatchAppServices::setShared(services);
  FTPAppServices::setShared(services);
  auto queue = BatchListView::create();
  services->queue = queue;
  std::printf("queue loaded: %zu\n", queue->batchItemList().size());
  std::fflush(stdout);
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return queue->batchItemList().empty(); },
                                        testsupport::scaled(seconds(120))));
  queue.reset();
  RunLoop::main()->runUntil([] { return BatchListView::liveConnectionThreads() == 0; },
                            testsupport::scaled(seconds(10)));
  BatchAppServices::setShared(nullptr);
  FTPAppServices::setShared(nullptr);
  EXPECT_TRUE(stopWorkerThreads(std::chrono::seconds(10)));
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(::testing::Test::HasFailure() ? 1 : 0);
}

class QueueUploadKill : public QueueTest {
protected:
  // Runs the queue holding one upload row of `local` into `folder` (on the server's disk):
  // killed once the temporary file there (its name holding `tempPart`) has `killAt` bytes, then
  // started again until the queue is empty.
  void killThenRunAgain(const std::string &folder, const std::string &tempPart, uint64_t killAt) {
    const std::string home = Paths::home();
    const std::map<std::string, std::string> env{{"KILL_QUEUE_HOME", home}};
    const std::vector<std::string> argv{
        selfPath(), "--gtest_also_run_disabled_tests",
        "--gtest_filter=QueueUploadKillChild.DISABLED_RunsTheQueue"};
    {
      testsupport::Process first(argv, tmp_->path(), env);
      ASSERT_TRUE(first.started());
      const auto until =
          std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(60));
      while (sizeOfFileWith(folder, tempPart) < killAt && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ASSERT_GE(sizeOfFileWith(folder, tempPart), killAt) << first.output() << first.errors();
      ::kill(first.pid(), SIGKILL);
      first.wait(std::chrono::seconds(10));
    }
    // Killed mid-way: the part stays under its temporary name, the row stays queued.
    ASSERT_GT(sizeOfFileWith(folder, tempPart), 0u);
    ASSERT_EQ(storedRows().size(), 1u);
    testsupport::Process second(argv, tmp_->path(), env);
    auto status = second.wait(testsupport::scaled(std::chrono::seconds(150)));
    ASSERT_TRUE(status.has_value()) << second.output() << second.errors();
    EXPECT_EQ(*status, 0) << second.output() << second.errors();
    EXPECT_TRUE(storedRows().empty());
  }
};

TEST_F(QueueUploadKill, SftpTheNewStartWritesOverThePartTheKilledOneLeft) {
  // The relay writes on towards the killed program's side of the link.
  ::signal(SIGPIPE, SIG_IGN);
  ASSERT_TRUE(testsupport::ensureSftpUser());
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  // Across a link of 200 ms: the upload takes a while, and is killed part-way.
  testsupport::DelayRelay relay(peer->port(), std::chrono::milliseconds(200));
  testsupport::TempDir remote("ferrowen-kill-sftp");
  ::chmod(remote.path().c_str(), 0777);
  const std::string local = Paths::documents() + "/Files/gros2.txt";
  testsupport::makeDataFile(local, 24 << 20);
  seedRow("'31','gros2.txt','" + remote.path() + "','127.0.0.1'," + std::to_string(relay.port()) +
          ",'" + testsupport::kSftpUser + "','" + testsupport::kSftpPass +
          "','/Files/gros2.txt',0,0,'sftp',9999,0");
  killThenRunAgain(remote.path(), "gros2.txt.upload.", 1 << 20);
  EXPECT_EQ(namesIn(remote.path()), std::vector<std::string>{"gros2.txt"});
  EXPECT_TRUE(testsupport::readFile(remote.path() + "/gros2.txt") == testsupport::readFile(local));
}

TEST_F(QueueUploadKill, FtpTheNewStartResumesThePartTheKilledOneLeft) {
  QueuePeer peer(256 * 1024); // bytes per second
  ASSERT_TRUE(peer.ready());
  const std::string local = Paths::documents() + "/Files/gros2.txt";
  const std::string data = pattern(1500000, 7);
  ASSERT_TRUE(testsupport::writeFile(local, data));
  seedRow("'3','gros2.txt','/','127.0.0.1'," + std::to_string(peer.port()) +
          ",'joe','secret','/Files/gros2.txt',0,0,'ftp',9999,0");
  killThenRunAgain(peer.root(), "gros2.upload.txt", 400000);
  EXPECT_EQ(namesIn(peer.root()), std::vector<std::string>{"gros2.txt"});
  EXPECT_TRUE(testsupport::readFile(peer.root() + "/gros2.txt") == data);
}
