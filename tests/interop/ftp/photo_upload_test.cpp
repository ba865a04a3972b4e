// Pictures and videos of the photo library uploaded through the transfer queue to pyftpdlib: the
// browser queues their library addresses, the queue has each written to a file just before it
// sends it, and the server receives the library's bytes under the rows' names.
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/PhotoFixtures.h"

#include "app/files/LocalFilesServices.h"
#include "app/foundation/Globals.h"
#include "app/photos/PhotoGalleryView.h"

#include <filesystem>

using namespace queuetest;
using platform::media::PhotoLibrary;
namespace fs = std::filesystem;

namespace {

// The application's side, with the photo library's conversion as the shell installs it.
class LibraryServices : public AppServicesDouble {
public:
  void getSelectedAsset(const std::string &url, const std::string &name,
                        std::function<void(const AssetConvertReply &)> reply) override {
    PhotoGalleryView::getSelectedAsset(url, name, reply);
  }
};

// The FTP tab browsing the server's root, queueing on the real queue.
class Browsing : public LocalFilesServices {
public:
  Browsing(std::shared_ptr<BatchListView> queue, QueuePeer &peer) : queue_(queue), peer_(peer) {}
  bool browsingConnected() override { return true; }
  std::string browsingFolder() override { return "/"; }
  bool remoteBrowserNames(std::vector<std::string> *names) override {
    for (auto &entry : fs::directory_iterator(peer_.root()))
      names->push_back(entry.path().filename().string());
    return true;
  }
  int addBatchItem(int action, const std::string &name, const std::string &path, int64_t size,
                   const std::string &local, bool kick) override {
    return queue_->addBatchItemAction(action, name, path, size, "127.0.0.1", peer_.port(), "joe",
                                      "secret", "ftp", local, true, kick);
  }
  void startQueue() override { queue_->startAlwaysIfNoneInProgress(); }

private:
  std::shared_ptr<BatchListView> queue_;
  QueuePeer &peer_;
};

class PhotoUploadTest : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    Clock::install(nullptr);
    InitGlobals();
    services_ = std::make_shared<LibraryServices>();
    BatchAppServices::setShared(services_);
    FTPAppServices::setShared(services_);
    pictures = tmp_->path() + "/Pictures";
    testsupport::makePicturesFolder(pictures);
    // A picture larger than one piece of the copy.
    testsupport::writeFile(pictures + "/Holidays/big.png", pattern(1300000, 11));
    PhotoLibrary::setPicturesFolder(pictures);
  }
  void TearDown() override {
    LocalFilesServices::setShared(nullptr);
    PhotoLibrary::setPicturesFolder(std::nullopt);
    QueueTest::TearDown();
  }
  // The album's browser as a second tab beside the queue, shown.
  std::shared_ptr<PhotoGalleryView> showAlbum(const std::string &name) {
    for (auto &album : PhotoLibrary::albums())
      if (album.name == name) {
        auto gallery = PhotoGalleryView::make(album);
        tabs_->setViewControllers({nav_, std::make_shared<ui::NavigationController>(gallery)});
        probe_->tapTab(1);
        waitFor([&] { return gallery->loaded(); });
        return gallery;
      }
    return nullptr;
  }
  std::string fileOf(const std::string &row) {
    for (auto &album : PhotoLibrary::albums())
      for (auto &asset : PhotoLibrary::assets(album))
        if (PhotoGalleryView::assetRowName(asset.url) == row) return asset.path;
    return "";
  }
  bool runUntilEmpty() {
    return waitFor([&] { return queue_->batchItemList().empty(); }, 60);
  }
  std::string pictures;
};

TEST_F(PhotoUploadTest, OneThenTheMissingThenAll) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  makeQueue();
  LocalFilesServices::setShared(std::make_shared<Browsing>(queue_, peer));
  auto gallery = showAlbum("Holidays");
  ASSERT_TRUE(gallery && gallery->loaded());
  std::vector<std::string> names;
  for (auto &row : gallery->folderItems())
    names.push_back(row->name());
  ASSERT_EQ(names.size(), 3u);

  // One: the selected row.
  ASSERT_TRUE(probe_->tapRow(names[0])) << probe_->lastError();
  ASSERT_TRUE(probe_->tap("Upload"));
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(peer.log());
  ASSERT_TRUE(waitFor([&] { return fs::exists(peer.root() + "/" + names[0]); }));
  EXPECT_EQ(testsupport::readFile(peer.root() + "/" + names[0]),
            testsupport::readFile(fileOf(names[0])));

  // The missing ones: every row but the one uploaded.
  ASSERT_TRUE(probe_->tap("Menu"));
  ASSERT_TRUE(probe_->answerSheet("Upload New Files")) << probe_->lastError();
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(peer.log());
  for (auto &name : names)
    EXPECT_EQ(testsupport::readFile(peer.root() + "/" + name), testsupport::readFile(fileOf(name)))
        << name;
  EXPECT_EQ(peer.count("STOR"), 3u) << testsupport::readFile(peer.log());

  // All: each once more.
  ASSERT_TRUE(probe_->tap("Menu"));
  ASSERT_TRUE(probe_->answerSheet("Upload All Files")) << probe_->lastError();
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(peer.log());
  EXPECT_EQ(peer.count("STOR"), 6u) << testsupport::readFile(peer.log());
  // The queue's copies are gone once sent.
  for (auto &entry : fs::directory_iterator(Paths::tmp()))
    EXPECT_NE(entry.path().filename().string().rfind("asset-", 0), 0u) << entry.path();
}

TEST_F(PhotoUploadTest, AnAssetGoneBeforeItsTurnFailsItsRow) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  makeQueue();
  LocalFilesServices::setShared(std::make_shared<Browsing>(queue_, peer));
  auto gallery = showAlbum("Holidays");
  ASSERT_TRUE(gallery && gallery->loaded());
  const std::string name = gallery->folderItems()[0]->name();
  fs::remove(fileOf(name));
  ASSERT_TRUE(probe_->tapRow(name));
  ASSERT_TRUE(probe_->tap("Upload"));
  ASSERT_TRUE(waitFor([&] {
    return !queue_->batchItemList().empty() && !queue_->batchItemList()[0]->errorMsg().empty();
  }));
  EXPECT_EQ(peer.count("STOR"), 0u);
  EXPECT_FALSE(fs::exists(peer.root() + "/" + name));
}

} // namespace
