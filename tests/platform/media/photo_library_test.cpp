// The photo library over a pictures folder the test makes: where the folder is, albums and
// assets, dates, addresses and their resolution, copies that fail whole, new pictures.
#include "platform/media/PhotoLibrary.h"

#include "tests/support/PhotoFixtures.h"

#include "platform/media/Image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

using namespace platform::media;
namespace fs = std::filesystem;

namespace {

class PhotoLibraryTest : public ::testing::Test {
protected:
  void SetUp() override {
    root = dir.path() + "/Pictures";
    testsupport::makePicturesFolder(root);
    PhotoLibrary::setPicturesFolder(root);
  }
  void TearDown() override { PhotoLibrary::setPicturesFolder(std::nullopt); }
  PhotoAlbum album(const std::string &name) {
    for (auto &a : PhotoLibrary::albums())
      if (a.name == name) return a;
    ADD_FAILURE() << "no album " << name;
    return {};
  }
  testsupport::TempDir dir{"ferrowen-photos"};
  std::string root;
};

TEST(PhotoLibraryFolder, OverrideThenEnvironmentThenUserDirsThenHome) {
  testsupport::TempDir home("ferrowen-photos-home");
  testsupport::EnvGuard env;
  env.set("HOME", home.path().c_str());
  env.set("XDG_CONFIG_HOME", nullptr);
  env.set("XDG_PICTURES_DIR", nullptr);
  EXPECT_EQ(PhotoLibrary::picturesFolder(), home.path() + "/Pictures");
  EXPECT_FALSE(PhotoLibrary::isAvailable());
  fs::create_directories(home.path() + "/.config");
  testsupport::writeFile(home.path() + "/.config/user-dirs.dirs",
                         "# comment\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(PhotoLibrary::picturesFolder(), home.path() + "/Bilder");
  env.set("XDG_PICTURES_DIR", "/elsewhere/pics");
  EXPECT_EQ(PhotoLibrary::picturesFolder(), "/elsewhere/pics");
  PhotoLibrary::setPicturesFolder(home.path());
  EXPECT_EQ(PhotoLibrary::picturesFolder(), home.path());
  EXPECT_TRUE(PhotoLibrary::isAvailable());
  PhotoLibrary::setPicturesFolder(std::nullopt);
}

TEST_F(PhotoLibraryTest, AlbumsAreFoldersAndAssetsTheirPicturesAndVideos) {
  std::vector<std::string> names;
  for (auto &a : PhotoLibrary::albums())
    names.push_back(a.name + ":" + std::to_string(a.assetCount));
  EXPECT_EQ(names, (std::vector<std::string>{"Saved Photos:1", "Empty:0", "Holidays:2"}));

  auto assets = PhotoLibrary::assets(album("Holidays"));
  ASSERT_EQ(assets.size(), 2u); // not the text file, not the hidden picture
  EXPECT_EQ(fs::path(assets[0].path).filename(), "beach.jpg");
  EXPECT_EQ(assets[0].typeIdentifier, "public.jpeg");
  EXPECT_FALSE(assets[0].isVideo);
  EXPECT_EQ(assets[0].size, static_cast<int64_t>(fs::file_size(assets[0].path)));
  EXPECT_EQ(assets[1].typeIdentifier, "com.apple.quicktime-movie");
  EXPECT_TRUE(assets[1].isVideo);
  EXPECT_EQ(PhotoLibrary::urlParameter(assets[1].url, "ext"), "MOV");

  std::string error;
  PhotoLibrary::setPicturesFolder(root + "/missing");
  EXPECT_TRUE(PhotoLibrary::albums(&error).empty());
  EXPECT_FALSE(error.empty());
}

TEST_F(PhotoLibraryTest, DateIsWhenTakenElseTheFileTime) {
  auto assets = PhotoLibrary::assets(album("Holidays"));
  struct tm taken {};
  taken.tm_year = 121, taken.tm_mon = 6, taken.tm_mday = 4, taken.tm_hour = 10, taken.tm_min = 30,
  taken.tm_isdst = -1;
  EXPECT_EQ(assets[0].date, mktime(&taken));
  struct stat st {};
  ASSERT_EQ(::stat(assets[1].path.c_str(), &st), 0);
  EXPECT_EQ(assets[1].date, st.st_mtime);
}

TEST_F(PhotoLibraryTest, AddressesResolveOnlyToFilesOfTheLibrary) {
  for (const auto &asset : PhotoLibrary::assets(album("Holidays"))) {
    auto found = PhotoLibrary::assetForURL(asset.url);
    ASSERT_TRUE(found) << asset.url;
    EXPECT_EQ(found->path, asset.path);
  }
  const std::string forged[] = {"assets-library://asset/asset.JPG?id=../../etc/passwd&ext=JPG",
                                "assets-library://asset/asset.JPG?ext=JPG", "file:///etc/passwd",
                                ""};
  for (const std::string &url : forged)
    EXPECT_FALSE(PhotoLibrary::assetForURL(url)) << url;
  // A moved file is another asset: its old address no longer resolves.
  auto beach = PhotoLibrary::assets(album("Holidays"))[0];
  fs::rename(beach.path, root + "/Empty/beach.jpg");
  EXPECT_FALSE(PhotoLibrary::assetForURL(beach.url));
}

TEST_F(PhotoLibraryTest, CopiesInPiecesAndFailsWholeOnAShortFile) {
  const std::string big = root + "/Holidays/big.png";
  testsupport::writeFile(big, std::string(1200000, 'b'));
  auto assets = PhotoLibrary::assets(album("Holidays"));
  const PhotoAsset *asset = nullptr;
  for (auto &a : assets)
    if (a.path == big) asset = &a;
  ASSERT_TRUE(asset);
  std::vector<double> progress;
  std::string error;
  const std::string out = dir.path() + "/out/big.png";
  ASSERT_TRUE(PhotoLibrary::writeAsset(
      *asset, out, [&](double f) { progress.push_back(f); }, &error))
      << error;
  EXPECT_EQ(testsupport::readFile(out), testsupport::readFile(big));
  ASSERT_GE(progress.size(), 3u); // several pieces, then the final report
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(progress.back(), 1.0);

  // The file shrank after it was listed: the copy fails and nothing is left behind.
  PhotoAsset shrunk = *asset;
  testsupport::writeFile(big, std::string(700000, 'b'));
  EXPECT_FALSE(PhotoLibrary::writeAsset(shrunk, out, {}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(fs::exists(out));

  // An empty picture gives an empty file and a final report.
  PhotoAsset empty = shrunk;
  empty.size = 0;
  progress.clear();
  ASSERT_TRUE(PhotoLibrary::writeAsset(
      empty, out, [&](double f) { progress.push_back(f); }, &error));
  EXPECT_EQ(fs::file_size(out), 0u);
  EXPECT_EQ(progress, std::vector<double>{1.0});

  // A link standing at the target is replaced, never written through.
  const std::string victim = dir.path() + "/victim";
  testsupport::writeFile(victim, "keep");
  fs::remove(out);
  fs::create_symlink(victim, out);
  EXPECT_FALSE(PhotoLibrary::writeAsset(shrunk, out, {}, &error));
  EXPECT_FALSE(fs::is_symlink(out));
  EXPECT_EQ(testsupport::readFile(victim), "keep");
}

TEST_F(PhotoLibraryTest, NewPicturesGoToSavedPhotosUnderFreeNames) {
  auto picture = testsupport::coordinatePicture(3, 2);
  const std::string first = PhotoLibrary::addPicture(picture->pngRepresentation(), "PNG");
  const std::string second = PhotoLibrary::addPicture(picture->pngRepresentation(), "png");
  EXPECT_EQ(first, root + "/IMG_0001.png");
  EXPECT_EQ(second, root + "/IMG_0002.png");
  auto saved = PhotoLibrary::assets(album(PhotoLibrary::kSavedPhotosAlbum));
  EXPECT_EQ(saved.size(), 3u);
  auto decoded = Image::imageWithContentsOfFile(second);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->pixelAt(2, 1), picture->pixelAt(2, 1));
}

TEST_F(PhotoLibraryTest, AddedFilesKeepTheirBytesAndOnlyLibraryKindsGoIn) {
  struct Case {
    const char *what;
    std::function<std::string()> add;
    const char *stored; // empty: refused
  } cases[] = {
      {"picture",
       [] {
         return PhotoLibrary::addPicture({1, 2, 3}, "JPG");
       },
       "IMG_0001.jpg"},
      {"not a picture kind", [] { return PhotoLibrary::addPicture({1}, "txt"); }, ""},
      {"an extension that is a path", [] { return PhotoLibrary::addPicture({1}, "../x"); }, ""},
      {"video", [&] { return PhotoLibrary::addVideo(dir.path() + "/clip.MP4"); }, "MOV_0001.mp4"},
      {"video again", [&] { return PhotoLibrary::addVideo(dir.path() + "/clip.MP4"); },
       "MOV_0002.mp4"},
      {"no video kind", [&] { return PhotoLibrary::addVideo(dir.path() + "/notes.txt"); }, ""},
      {"missing video", [&] { return PhotoLibrary::addVideo(dir.path() + "/gone.mov"); }, ""},
  };
  testsupport::writeFile(dir.path() + "/clip.MP4", std::string(600000, 'v')); // several pieces
  testsupport::writeFile(dir.path() + "/notes.txt", "text");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = c.add();
    EXPECT_EQ(path.empty() ? "" : fs::path(path).filename().string(), c.stored);
    if (!path.empty()) {
      EXPECT_EQ(fs::path(path).parent_path(), fs::path(root));
    }
  }
  EXPECT_EQ(testsupport::readFile(root + "/MOV_0002.mp4"), std::string(600000, 'v'));
  EXPECT_FALSE(fs::exists(dir.path() + "/x.txt"));
}

// Another program listing the library while a video is stored sees it whole or not at all, and
// nothing is left behind under another name.
TEST_F(PhotoLibraryTest, AStoredFileAppearsOnlyWhole) {
  const std::string video(48 << 20, 'v');
  testsupport::writeFile(dir.path() + "/long.mov", video);
  std::atomic<bool> done{false};
  std::vector<std::string> partlySeen;
  std::thread lister([&] {
    while (!done) {
      std::error_code ec;
      for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("MOV_", 0) != 0) continue;
        std::error_code sizeEc;
        const auto size = fs::file_size(it->path(), sizeEc);
        if (!sizeEc && size != video.size()) partlySeen.push_back(name);
      }
    }
  });
  const std::string stored = PhotoLibrary::addVideo(dir.path() + "/long.mov");
  done = true;
  lister.join();
  EXPECT_EQ(fs::path(stored).filename(), "MOV_0001.mov");
  EXPECT_TRUE(partlySeen.empty()) << partlySeen.front();
  std::vector<std::string> hidden;
  for (const auto &e : fs::directory_iterator(root))
    if (e.path().filename().string()[0] == '.') hidden.push_back(e.path().filename().string());
  EXPECT_TRUE(hidden.empty()) << hidden.front();
}

TEST(PhotoLibraryFolderMade, AFreshAccountGetsItsPicturesFolder) {
  testsupport::TempDir home("ferrowen-photos-fresh");
  const std::string pictures = home.path() + "/Pictures";
  PhotoLibrary::setPicturesFolder(pictures);
  EXPECT_FALSE(PhotoLibrary::isAvailable());
  EXPECT_TRUE(PhotoLibrary::makeFolder());
  EXPECT_TRUE(PhotoLibrary::isAvailable());
  EXPECT_TRUE(PhotoLibrary::albums().empty());
  EXPECT_TRUE(PhotoLibrary::makeFolder()); // once there, it is left as it is
  // A file in its place is not replaced: the library stays unavailable and says why.
  fs::remove(pictures);
  testsupport::writeFile(pictures, "a file");
  EXPECT_FALSE(PhotoLibrary::makeFolder());
  EXPECT_EQ(testsupport::readFile(pictures), "a file");
  std::string error;
  bool denied = true;
  EXPECT_TRUE(PhotoLibrary::albums(&error, &denied).empty());
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(denied);
  // A folder this user may not read is refused for every program (root reads every folder).
  fs::remove(pictures);
  fs::create_directories(pictures);
  fs::permissions(pictures, fs::perms::none);
  error.clear();
  denied = false;
  PhotoLibrary::albums(&error, &denied);
  EXPECT_EQ(denied, geteuid() != 0);
  fs::permissions(pictures, fs::perms::owner_all);
  PhotoLibrary::setPicturesFolder(std::nullopt);
}

TEST_F(PhotoLibraryTest, ThumbnailsAreUprightAndVideosHaveNone) {
  auto assets = PhotoLibrary::assets(album("Holidays"));
  auto thumb = PhotoLibrary::thumbnail(assets[0], 30); // 6x4 stored, EXIF 6: seen 4x6
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->pixelHeight(), 30);
  EXPECT_EQ(thumb->pixelWidth(), 20);
  EXPECT_FALSE(PhotoLibrary::thumbnail(assets[1]));
}

} // namespace
