// The application's key login with keys as ssh-keygen writes them by default (OpenSSH's own
// format), against OpenSSH's sshd: a key locked with the login password opens on the second try,
// and a key that cannot be read (wrong pass phrase, damaged file) is named in the SFTP log with
// the reason, before the password is tried.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/sftp/SFTPService.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/TimeScale.h"

using namespace testsupport;
using platform::RunLoop;

namespace {

struct Outcome : SFTPWrapperDelegate {
  std::string text;
  void loginError(SFTPWrapper &, const std::string &t) override { text += "loginError:" + t + ";"; }
  void connectError(SFTPWrapper &, const std::string &t) override {
    text += "connectError:" + t + ";";
  }
  void gotDirectory(SFTPWrapper &, const std::vector<std::shared_ptr<DirItemInfo>> &) override {
    text += "list;";
  }
};

class SftpServiceUserKeys : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir.path().c_str(), 0777);
    RunLoop::makeMainThread();
    platform::Paths::setHome(home.path());
    platform::UserDefaults::resetStandard();
  }
  void TearDown() override { platform::Paths::setHome(""); }

  // Lists the folder through a new service whose password is `password`; what it reported.
  std::string listWith(int port, const std::string &password, std::string &log) {
    auto outcome = std::make_shared<Outcome>();
    auto s = std::make_shared<SFTPService>();
    s->setServer("127.0.0.1:" + std::to_string(port) + dir.path());
    s->setUsername(kSftpUser);
    s->setPassword(password);
    s->setDelegate(outcome);
    std::atomic<bool> finished{false};
    std::thread t([&] {
      s->getDirectory();
      finished = true;
    });
    RunLoop::main()->runUntil([&] { return finished.load(); },
                              testsupport::scaled(platform::seconds(60)));
    t.join();
    RunLoop::main()->runPending();
    log = readFile(s->logPath());
    platform::FileManager::removeItem(s->logPath());
    return outcome->text;
  }

  TempDir dir{"ferrowen-svckeys"}, home{"ferrowen-svckeys-home"};
};

TEST_F(SftpServiceUserKeys, KeysFromSshKeygenLogInOrSayWhyNot) {
  REQUIRE_PEER(program("ssh-keygen", "openssh-client"));
  const std::string loginPass = "key-login-pass";
  const struct {
    const char *what, *type, *phrase;
    bool damage;
    const char *expect; // "list;" or the log text that names the reason
  } cases[] = {
      {"ed25519 locked with the login password", "ed25519", "key-login-pass", false, "list;"},
      {"rsa without a pass phrase", "rsa", "", false, "list;"},
      {"ed25519 with another pass phrase", "ed25519", "another phrase", false, "wrong password"},
      {"ed25519 file cut short", "ed25519", "", true, "damaged"},
  };
  std::string authorized;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string f = dir.file("key" + std::to_string(i));
    int rc = -1;
    runCommand(std::string("ssh-keygen -q -t ") + cases[i].type + " -N '" + cases[i].phrase +
                   "' -f '" + f + "' </dev/null >/dev/null 2>&1",
               &rc);
    ASSERT_EQ(rc, 0);
    authorized += readFile(f + ".pub");
  }
  ASSERT_TRUE(writeFile(dir.file("authorized_keys"), authorized));
  SshPeerOptions o;
  o.authorizedKeys = dir.file("authorized_keys");
  auto peer = SshPeer::sshd(o);
  ASSERT_TRUE(peer->started()) << peer->why();

  const std::string folder = platform::Paths::documents() + "/Files/PrivateKeys";
  platform::FileManager::createDirectory(folder, true);
  const std::string name = std::string(kSftpUser) + "@127.0.0.1.pem";
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto &c = cases[i];
    std::string text = readFile(dir.file("key" + std::to_string(i)));
    if (c.damage) {
      // Drop the body's second line.
      text.erase(text.find('\n', text.find('\n') + 1), 71);
    }
    ASSERT_TRUE(writeFile(folder + "/" + name, text));
    std::string log;
    // The password is not the account's: only the key can log in.
    const std::string got = listWith(peer->port(), loginPass, log);
    if (std::string(c.expect) == "list;") {
      EXPECT_EQ(got, "list;") << c.what << log;
      EXPECT_NE(log.find("Logged in with key " + name), std::string::npos) << c.what << log;
    } else {
      EXPECT_EQ(got, "loginError:Unable to log in to the SFTP server.;") << c.what;
      EXPECT_NE(log.find("Key file not read: " + name), std::string::npos) << c.what << log;
      EXPECT_NE(log.find(c.expect), std::string::npos) << c.what << log;
    }
  }
}

} // namespace
