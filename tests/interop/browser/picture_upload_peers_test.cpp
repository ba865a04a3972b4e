// "Upload Picture" from the FTP tab against pyftpdlib, driven through the probe: the folder's
// menu opens the photo library, a picture is picked, named, resized or not and saved as JPEG or
// PNG, and the transfer queue puts it into the folder shown; a video goes under a ".mov" name.
// What arrives on the server is decoded again and compared with the library's picture.
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/FtpTabScreens.h"
#include "tests/support/PhotoFixtures.h"
#include "tests/support/SftpPeers.h"

#include "app/photos/PhotoPickerView.h"
#include "app/remote/UploadPictureView.h"
#include "app/sftp/SFTPService.h"

#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"
#include "platform/media/PhotoLibrary.h"

#include <sys/stat.h>

using namespace tabtest;
using platform::media::Image;
using platform::media::PhotoLibrary;

namespace {

// The FTP tab with a photo library of sample pictures.
class PhotoTabFixture : public TabFixture {
protected:
  void SetUp() override {
    TabFixture::SetUp();
    pictures = home.path() + "/Pictures";
    testsupport::makePicturesFolder(pictures);
    PhotoLibrary::setPicturesFolder(pictures);
    installPhotoLibraryMediaSource();
  }
  void TearDown() override {
    TabFixture::TearDown();
    CloudMediaSource::setShared(nullptr);
    PhotoLibrary::setPicturesFolder(std::nullopt);
  }
  std::string pictures;
};

class PictureUploadPeers : public PhotoTabFixture {
protected:
  bool onServer(const std::string &path) {
    return waitFor([&] { return FileManager::fileExists(peer.root() + "/" + path); }, 60);
  }
  // Connects and opens the folder "up" of the server.
  void browse() {
    ASSERT_TRUE(peer.ready());
    ::mkdir((peer.root() + "/up").c_str(), 0755);
    testsupport::writeFile(peer.root() + "/up/taken.jpg", "old");
    ASSERT_TRUE(connectTo("ftp://127.0.0.1:" + std::to_string(peer.port()), "joe", "secret"))
        << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return listed("up"); }));
    ASSERT_TRUE(probe->tapRow("up")) << probe->lastError();
    ASSERT_TRUE(waitFor([&] {
      return top() && top()->currentWorkingDirectory() == "/up" && listed("taken.jpg") &&
             top()->currentToolbar == 2;
    }));
  }
  // Folder menu, "Upload Picture/Video", then the library's album and file.
  void pick(const std::string &file) {
    ASSERT_TRUE(waitFor([&] { return probe->tap("Menu"); })) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet("Upload Picture/Video")) << probe->lastError();
    RunLoop::main()->runPending();
    ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
    ASSERT_TRUE(probe->tapRow(file)) << probe->lastError();
    ASSERT_TRUE(waitFor([&] {
      return probe->navigationTitle() == "Upload Picture" ||
             probe->navigationTitle() == "Upload Video";
    }));
  }
  std::string alertTitle() {
    RunLoop::main()->runPending();
    auto alerts = probe->pendingAlerts();
    if (alerts.empty()) return "";
    probe->answerAlert(alerts.back().buttons.front());
    return alerts.back().title;
  }

  queuetest::QueuePeer peer;
};

TEST_F(PictureUploadPeers, APictureNamedResizedAndAVideoReachTheFolderShown) {
  ASSERT_NO_FATAL_FAILURE(browse());
  // The library's picture is stored turned (EXIF 6): it arrives upright, as PNG, unchanged.
  ASSERT_NO_FATAL_FAILURE(pick("beach.jpg"));
  EXPECT_EQ(probe->find<TextField>("File Name")->text(), "beach.jpg");
  EXPECT_EQ(probe->find<TextField>("Width")->placeholder(), "4 w");
  ASSERT_TRUE(probe->clear("File Name"));
  ASSERT_TRUE(probe->type("File Name", "shore"));
  ASSERT_TRUE(probe->selectSegment("File Type", 1));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  ASSERT_TRUE(onServer("up/shore.png"));
  ASSERT_TRUE(waitFor(
      [&] { return bool(Image::imageWithContentsOfFile(peer.root() + "/up/shore.png")); }, 60));
  auto uploaded = Image::imageWithContentsOfFile(peer.root() + "/up/shore.png");
  auto original = Image::imageWithContentsOfFile(pictures + "/Holidays/beach.jpg");
  ASSERT_TRUE(uploaded && original);
  EXPECT_EQ(uploaded->pixelWidth(), 4);
  EXPECT_EQ(uploaded->pixelHeight(), 6);
  // The library's picture as seen (turned upright), pixel for pixel: PNG loses nothing.
  auto seen = platform::media::BitmapContext::create(4, 6);
  seen->drawImage(*original, platform::media::Rect2{0, 0, 4, 6});
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 4; ++x)
      EXPECT_EQ(uploaded->pixelAt(x, y), seen->pixelAt(x, y)) << x << "," << y;
  EXPECT_EQ(UserDefaults::standard().stringForKey(kUploadImageFileTypeKey), "1");

  // Again as JPEG, 40 wide (the height follows), over a name already in the folder.
  ASSERT_NO_FATAL_FAILURE(pick("beach.jpg"));
  ASSERT_TRUE(probe->clear("File Name"));
  ASSERT_TRUE(probe->type("File Name", "taken"));
  ASSERT_TRUE(probe->selectSegment("File Type", 0));
  ASSERT_TRUE(probe->type("Width", "40"));
  EXPECT_EQ(probe->find<TextField>("Height")->text(), "60");
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  RunLoop::main()->runPending();
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "File Name Error");
  ASSERT_TRUE(probe->answerAlert("Overwrite")) << probe->lastError();
  ASSERT_TRUE(waitFor(
      [&] {
        auto img = Image::imageWithContentsOfFile(peer.root() + "/up/taken.jpg");
        return img && img->pixelWidth() == 40;
      },
      60))
      << testsupport::readFile(peer.root() + "/up/taken.jpg").size();
  auto big = Image::imageWithContentsOfFile(peer.root() + "/up/taken.jpg");
  EXPECT_EQ(big->pixelHeight(), 60);

  // A video: ".mov" is added to the name typed.
  ASSERT_NO_FATAL_FAILURE(pick("clip.mov"));
  ASSERT_TRUE(probe->clear("Video File Name:"));
  ASSERT_TRUE(probe->type("Video File Name:", "movie"));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  ASSERT_TRUE(onServer("up/movie.mov"));
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(peer.root() + "/up/movie.mov") == std::string(3000, 'm');
  }));
}

TEST_F(PictureUploadPeers, NamesAndSizesThatCannotBeUsedAreRefused) {
  ASSERT_NO_FATAL_FAILURE(browse());
  ASSERT_NO_FATAL_FAILURE(pick("beach.jpg"));
  struct Case {
    const char *name, *width, *height, *alert;
  } cases[] = {{"", "", "", "No Name Entered"},
               {"a", "10", "", "Need Width & Height"},
               {"../escape", "", "", "File Name Error"},
               {"a/b", "", "", "File Name Error"}};
  auto aspect = probe->find<Switch>("Keep Aspect");
  ASSERT_TRUE(aspect);
  ASSERT_TRUE(probe->setSwitch("Keep Aspect", false));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (auto field : {"File Name", "Width", "Height"}) {
      auto f = probe->find<TextField>(field);
      ASSERT_TRUE(f->text().empty() || probe->backspace(field, f->text().size()))
          << probe->lastError();
    }
    ASSERT_TRUE(!*c.name || probe->type("File Name", c.name));
    ASSERT_TRUE(!*c.width || probe->type("Width", c.width));
    ASSERT_TRUE(!*c.height || probe->type("Height", c.height));
    ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
    EXPECT_EQ(alertTitle(), c.alert);
    EXPECT_EQ(probe->navigationTitle(), "Upload Picture");
  }
  // Cancel leaves nothing queued.
  ASSERT_TRUE(probe->tap("Cancel"));
  RunLoop::main()->runPending();
  EXPECT_EQ(peer.count("STOR"), 0u);
  EXPECT_FALSE(FileManager::fileExists(home.path() + "/escape.jpg"));
}

TEST_F(PictureUploadPeers, WithoutALibraryThePhotoErrorIsShown) {
  CloudMediaSource::setShared(nullptr);
  ASSERT_NO_FATAL_FAILURE(browse());
  ASSERT_TRUE(waitFor([&] { return probe->tap("Menu"); })) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Upload Picture/Video")) << probe->lastError();
  EXPECT_EQ(alertTitle(), "Photo Error");
}

// The same over SFTP against OpenSSH's sshd: the picture goes to the folder shown through the
// queue's SFTP form of the upload.
class PictureUploadSftp : public PhotoTabFixture {
protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::ensureSftpUser());
    PhotoTabFixture::SetUp();
    SFTPService::install();
    ::chmod(dir.path().c_str(), 0777);
  }
  testsupport::TempDir dir{"ferrowen-sftp-picture"};
};

TEST_F(PictureUploadSftp, APictureReachesTheFolderShown) {
  auto peer = testsupport::SshPeer::sshd(testsupport::SshPeerOptions{});
  ASSERT_TRUE(peer->started()) << peer->why();
  ::mkdir(dir.file("up").c_str(), 0777);
  ::chmod(dir.file("up").c_str(), 0777);
  testsupport::writeFile(dir.file("up/here.txt"), "x");
  ASSERT_TRUE(connectTo("sftp://127.0.0.1:" + std::to_string(peer->port()) + dir.path(),
                        testsupport::kSftpUser, testsupport::kSftpPass))
      << probe->lastError();
  auto idle = [&](const std::string &name) {
    return waitFor(
        [&] {
          auto s = top();
          return s && s->currentToolbar == 2 && !s->sftpOperationsRunning() && listed(name);
        },
        60);
  };
  ASSERT_TRUE(idle("up")) << peer->log();
  ASSERT_TRUE(probe->tapRow("up"));
  ASSERT_TRUE(idle("here.txt"));
  ASSERT_TRUE(waitFor([&] { return probe->tap("Menu"); })) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Upload Picture/Video")) << probe->lastError();
  RunLoop::main()->runPending();
  ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("beach.jpg")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return probe->navigationTitle() == "Upload Picture"; }));
  ASSERT_TRUE(probe->selectSegment("File Type", 1));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  ASSERT_TRUE(waitFor(
      [&] {
        auto img = Image::imageWithContentsOfFile(dir.file("up/beach.jpg.png"));
        return img && img->pixelWidth() == 4 && img->pixelHeight() == 6;
      },
      60))
      << peer->log();
}

} // namespace
