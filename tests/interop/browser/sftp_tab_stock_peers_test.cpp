// The FTP tab over SFTP against the servers people run, as they come: OpenSSH's sshd with
// Debian's defaults (RSA, ECDSA and Ed25519 host keys) and Dropbear with its defaults, each
// logged in to with the account's password and with an Ed25519 key as ssh-keygen writes it by
// default. Through the screens: connect, list, download through the queue, upload a video from
// the photo library through the queue and a new file from the folder's menu, checked on the
// server.
#include "tests/support/FtpTabScreens.h"
#include "tests/support/Peers.h"
#include "tests/support/PhotoFixtures.h"
#include "tests/support/SftpPeers.h"

#include "app/photos/PhotoPickerView.h"
#include "app/sftp/SFTPService.h"

#include "platform/media/PhotoLibrary.h"

#include <sys/stat.h>

using namespace tabtest;
using namespace testsupport;

namespace {

class SftpTabStockPeers : public TabFixture {
protected:
  void SetUp() override {
    TabFixture::SetUp();
    SFTPService::install();
    ::chmod(dir.path().c_str(), 0777);
    pictures = home.path() + "/Pictures";
    makePicturesFolder(pictures);
    platform::media::PhotoLibrary::setPicturesFolder(pictures);
    installPhotoLibraryMediaSource();
  }
  void TearDown() override {
    TabFixture::TearDown();
    CloudMediaSource::setShared(nullptr);
    platform::media::PhotoLibrary::setPicturesFolder(std::nullopt);
  }
  // The top screen shows a listing holding `name`, with nothing of its own still running.
  bool shows(const std::string &name) {
    return waitFor(
        [&] {
          auto s = top();
          return s && s->currentToolbar == 2 && !s->sftpOperationsRunning() && listed(name);
        },
        60);
  }
  std::string statusText() {
    auto s = top();
    return s && s->progressText ? s->progressText->text() : std::string();
  }

  TempDir dir{"ferrowen-sftpstock"};
  std::string pictures;
};

TEST_F(SftpTabStockPeers, ConnectListDownloadAndUploadWithPasswordAndEd25519Key) {
  REQUIRE_PEER(program("/usr/sbin/dropbear", "dropbear-bin"));
  REQUIRE_PEER(program("ssh-keygen", "openssh-client"));
  TemporaryAccount account;
  ASSERT_TRUE(account.made());
  // ssh-keygen's defaults but for the pass phrase, which would be asked for at a terminal.
  const std::string keyFile = dir.file("id_ed25519");
  int rc = -1;
  runCommand("ssh-keygen -q -t ed25519 -N '' -f '" + keyFile + "' </dev/null >/dev/null 2>&1", &rc);
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(account.authorize(readFile(keyFile + ".pub")));
  const std::string keys = Paths::documents() + "/Files/PrivateKeys";
  const std::string keyName = account.name() + "@127.0.0.1.pem";

  const std::string content = "stock peer\n" + std::string(70000, 's') + "\n";
  writeFile(dir.file("served.txt"), content);
  // The library's video, bigger than one SFTP write.
  std::string video;
  for (int i = 0; video.size() < 150000; ++i)
    video += std::to_string(i) + "\n";
  writeFile(pictures + "/Holidays/clip.mov", video);
  const struct {
    const char *server;
    bool key;
  } cases[] = {{"sshd", false}, {"sshd", true}, {"dropbear", false}, {"dropbear", true}};
  for (const auto &c : cases) {
    const std::string what = std::string(c.server) + (c.key ? " ed25519 key" : " password");
    SCOPED_TRACE(what);
    std::unique_ptr<SshPeer> peer;
    if (std::string(c.server) == "sshd") {
      SshPeerOptions o; // a stock server holds a key of each type
      o.moreHostKeys = {"ecdsa", "ed25519"};
      peer = SshPeer::sshd(o);
    } else {
      peer = SshPeer::dropbear("ed25519");
    }
    ASSERT_TRUE(peer->started()) << peer->why();
    FileManager::removeItem(keys);
    if (c.key) {
      FileManager::createDirectory(keys, true);
      ASSERT_TRUE(FileManager::copyItem(keyFile, keys + "/" + keyName));
    }
    // With the key, the password typed is not the account's: only the key can log in.
    const std::string server = "sftp://127.0.0.1:" + std::to_string(peer->port()) + dir.path();
    for (auto field : {"Server", "User Name", "Password"}) {
      auto f = probe->find<TextField>(field);
      ASSERT_TRUE(f && (f->text().empty() || probe->backspace(field, f->text().size())));
    }
    ASSERT_TRUE(connectTo(server, account.name(), c.key ? "not-the-password" : account.password()))
        << probe->lastError();
    ASSERT_TRUE(shows("served.txt")) << statusText() << peer->log();

    // Download through the queue.
    FileManager::removeItem(Paths::documents() + "/Files/served.txt");
    ASSERT_TRUE(probe->tapRow("served.txt"));
    ASSERT_TRUE(probe->tap("Download"));
    ASSERT_TRUE(waitFor([&] { return savedFile("served.txt") == content; }, 60)) << peer->log();

    // Upload through the queue: a video of the photo library, under the name typed.
    const std::string movie = std::string("movie-") + c.server + (c.key ? "-key" : "-pw");
    ASSERT_TRUE(waitFor([&] { return probe->tap("Menu"); })) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet("Upload Picture/Video")) << probe->lastError();
    RunLoop::main()->runPending();
    ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
    ASSERT_TRUE(probe->tapRow("clip.mov")) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return probe->navigationTitle() == "Upload Video"; }));
    ASSERT_TRUE(probe->clear("Video File Name:"));
    ASSERT_TRUE(probe->type("Video File Name:", movie));
    ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return readFile(dir.file(movie + ".mov")) == video; }, 60))
        << peer->log();
    ASSERT_TRUE(shows("served.txt"));

    // Upload: a new file made from the folder's menu.
    const std::string made = std::string("made-") + c.server + (c.key ? "-key" : "-pw") + ".txt";
    ASSERT_TRUE(waitFor([&] { return probe->tap("Menu"); }));
    ASSERT_TRUE(probe->answerSheet("Create File"));
    ASSERT_TRUE(answerPrompt("New File Name:", made)) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return readFile(dir.file(made)) == " "; }, 60));
    ASSERT_TRUE(shows(made)) << statusText();
    struct stat st {};
    ASSERT_EQ(::stat(dir.file(made).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::getpwnam(account.name().c_str())->pw_uid);

    // The log says how the account logged in; then the session ends before the next server.
    if (c.key)
      EXPECT_NE(peer->log().find(std::string(c.server) == "sshd" ? "Accepted publickey"
                                                                 : "Pubkey auth succeeded"),
                std::string::npos)
          << peer->log();
    else
      EXPECT_NE(peer->log().find(std::string(c.server) == "sshd" ? "Accepted password"
                                                                 : "Password auth succeeded"),
                std::string::npos)
          << peer->log();
    ASSERT_TRUE(probe->tapBack()); // "Disconnect"
    ASSERT_TRUE(waitFor([&] { return !top(); }));
  }
}

} // namespace
