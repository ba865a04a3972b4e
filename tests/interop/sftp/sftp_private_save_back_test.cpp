// A private file (mode 600) saved back over SFTP goes up under a temporary name renamed over it:
// the new content is never readable by others on its way where the server makes the file with
// the mode the open asks for (OpenSSH's sshd, asyncssh), and the file keeps its mode after a
// rename that replaces it on a server that makes every file with its own default mode.
#include "app/foundation/SettingsKeys.h"
#include "app/sftp/SFTPService.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/ModeWatch.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/SshPeers.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

using namespace testsupport;
using namespace platform;

namespace {

struct PeerCase {
  const char *name;
  bool sshd;               // OpenSSH's sshd as installed; else the suite's asyncssh server
  SftpPeerOptions options; // for the asyncssh server
  bool modeAtOpen;         // the server makes a file with the mode the open asks for
};

void PrintTo(const PeerCase &c, std::ostream *os) {
  *os << c.name;
}

class SftpPrivateSaveBack : public ::testing::TestWithParam<PeerCase> {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir_.path().c_str(), 0777);
    RunLoop::makeMainThread();
    Paths::setHome(home_.path());
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
    UserDefaults::standard().setObject("1", "UploadToTempName");
  }
  void TearDown() override {
    Paths::setHome("");
    UserDefaults::resetStandard();
  }
  // The save back as the editor sends it: the working copy to the file's path, on a thread of
  // its own, with the main thread running.
  void saveBack(SFTPService &sftp, const std::string &local, const std::string &remote) {
    std::atomic<bool> finished{false};
    std::thread t([&] {
      sftp.setupToUploadThisFile(local, remote);
      sftp.uploadFile();
      finished = true;
    });
    RunLoop::main()->runUntil([&] { return finished.load(); }, scaled(seconds(60)));
    t.join();
    RunLoop::main()->runPending();
  }
  TempDir dir_{"ferrowen-private"}, home_{"ferrowen-private-home"}, logs_{"ferrowen-private-log"};
};

TEST_P(SftpPrivateSaveBack, TheNewContentIsNeverReadableByOthersAndTheFileKeepsItsMode) {
  const PeerCase &c = GetParam();
  std::shared_ptr<SshPeer> sshd;
  Process asyncPeer;
  int port = 0;
  std::string remoteFolder;
  if (c.sshd) {
    sshd = SshPeer::sshd({});
    ASSERT_TRUE(sshd->started()) << sshd->why();
    port = sshd->port();
    remoteFolder = dir_.path();
  } else {
    port = freeTcpPort();
    asyncPeer = startAsyncSftp(port, dir_.path(), c.options, logs_.path());
    remoteFolder = "/";
  }
  const std::string file = dir_.file("secret.txt");
  ASSERT_TRUE(writeFile(file, "the old secret\n"));
  ::chmod(file.c_str(), 0600);
  runCommand("chown " + std::string(kSftpUser) + " '" + file + "'");
  // Large enough to be written in many pieces, each of which the watch looks at.
  const std::string local = home_.file("secret.txt");
  makeDataFile(local, 6 << 20);
  const std::string sent = readFile(local);

  auto sftp = std::make_shared<SFTPService>();
  sftp->setServer("127.0.0.1:" + std::to_string(port));
  sftp->setUsername(kSftpUser);
  sftp->setPassword(kSftpPass);
  sftp->setMainConnection(true);
  {
    ModeWatch watch(dir_.path(), ".upload.");
    ASSERT_TRUE(watch.watching());
    saveBack(*sftp, local, SFTPWrapper::remotePathIn(remoteFolder, "secret.txt"));
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !sftp->isActive(); }, scaled(seconds(60))));
    if (c.modeAtOpen) {
      EXPECT_FALSE(watch.modes().empty());
      EXPECT_FALSE(watch.everReadableByOthers()) << *watch.modes().rbegin();
    }
  }
  EXPECT_TRUE(readFile(file) == sent);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  std::vector<std::string> names;
  for (auto &entry : std::filesystem::directory_iterator(dir_.path()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"secret.txt"});
}

SftpPeerOptions replacing() {
  SftpPeerOptions o;
  o.replacingRename = true;
  o.openDefaultMode = true;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, SftpPrivateSaveBack,
    ::testing::Values(PeerCase{"sshd", true, {}, true}, PeerCase{"asyncssh", false, {}, true},
                      // A rename that replaces the file, onto a file made with the server's
                      // default mode: only the mode given back after the rename keeps it private.
                      PeerCase{"asyncssh_replacing_rename", false, replacing(), false}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
