// The photo library inside the running application, driven through the probe: a fresh account's
// pictures folder, importing a picture into Saved Files, adding files to the library, paging and
// saving in the viewer, and the help pages of a library that cannot be read.
#include "AppFixture.h"

#include "tests/support/ImageFixtures.h"
#include "tests/support/PhotoFixtures.h"

#include "app/editor/WebDocumentViewController.h"
#include "app/files/LocalFolderViewController.h"
#include "app/photos/PhotoGalleryView.h"
#include "app/shell/HelpScreens.h"

#include "platform/media/Image.h"
#include "platform/ui/Probe.h"

#include <filesystem>
#include <thread>

using namespace platform;
using namespace platform::ui;
using platform::media::Image;
namespace fs = std::filesystem;

namespace {

class PhotoLibraryAppTest : public AppTest {
protected:
  // Runs the main loop until the condition holds; workers run on their own threads meanwhile.
  bool pumpUntil(const std::function<bool()> &done) {
    for (int i = 0; i < 2000; ++i) {
      advance(0.02);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  std::vector<std::string> rows() {
    std::vector<std::string> names;
    for (auto &r : probe->visibleRows())
      names.push_back(r.label);
    return names;
  }
  bool hasRow(const std::string &name) {
    auto names = rows();
    return std::find(names.begin(), names.end(), name) != names.end();
  }
  std::vector<std::string> picturesFiles() {
    std::vector<std::string> names;
    for (auto &e : fs::directory_iterator(pictures))
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::shared_ptr<WebDocumentViewController> viewer() {
    return std::dynamic_pointer_cast<WebDocumentViewController>(probe->topViewController());
  }
  void openSavedFiles() {
    boot();
    ASSERT_TRUE(probe->tapTab("Saved Files")) << probe->lastError();
  }
};

TEST_F(PhotoLibraryAppTest, AFreshAccountGetsItsPicturesFolderAndTheLibraryRow) {
  ASSERT_FALSE(fs::exists(pictures));
  ASSERT_NO_FATAL_FAILURE(openSavedFiles());
  EXPECT_TRUE(fs::is_directory(pictures));
  EXPECT_TRUE(hasRow("Photo Library"));
  ASSERT_TRUE(probe->tapRow("Photo Library")) << probe->lastError();
  auto gallery = std::dynamic_pointer_cast<PhotoGalleryView>(probe->topViewController());
  ASSERT_TRUE(gallery);
  ASSERT_TRUE(pumpUntil([&] { return gallery->loaded(); }));
  EXPECT_EQ(rows(), std::vector<std::string>{"About-Photo-Library.rtf"}); // empty, no error
  EXPECT_EQ(probe->navigationTitle(), "Photo Library");
}

TEST_F(PhotoLibraryAppTest, ImportPictureAndVideoFromTheLibraryIntoSavedFiles) {
  testsupport::makePicturesFolder(pictures);
  ASSERT_NO_FATAL_FAILURE(openSavedFiles());
  // A picture taken on its side arrives upright, under the name typed, as JPEG.
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("beach.jpg")) << probe->lastError();
  advance(0.05);
  EXPECT_EQ(probe->navigationTitle(), "Import Picture");
  ASSERT_TRUE(probe->selectSegment("File Type", 0)) << probe->lastError();
  ASSERT_TRUE(probe->clear("File Name:"));
  ASSERT_TRUE(probe->type("File Name:", "shore"));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  advance(0.5);
  ASSERT_TRUE(fs::exists(file("shore.jpg")));
  auto stored = Image::imageWithContentsOfFile(file("shore.jpg"));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->pixelWidth(), 4); // stored 6 x 4 with orientation 6: upright 4 x 6
  EXPECT_EQ(stored->pixelHeight(), 6);
  EXPECT_TRUE(hasRow("shore.jpg"));

  // PNG keeps a name that already says so; a video gets ".mov" and its own bytes.
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
  ASSERT_TRUE(probe->tapRow("Saved Photos")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("top.png")) << probe->lastError();
  advance(0.05);
  ASSERT_TRUE(probe->selectSegment("File Type", 1)) << probe->lastError();
  ASSERT_TRUE(probe->clear("File Name:"));
  ASSERT_TRUE(probe->type("File Name:", "Top.PNG"));
  ASSERT_TRUE(probe->tap("Done"));
  advance(0.5);
  EXPECT_TRUE(fs::exists(file("Top.PNG")));

  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
  ASSERT_TRUE(probe->tapRow("Holidays"));
  ASSERT_TRUE(probe->tapRow("clip.mov"));
  advance(0.05);
  EXPECT_EQ(probe->navigationTitle(), "Video File Name");
  ASSERT_TRUE(probe->clear("Video File Name:"));
  ASSERT_TRUE(probe->type("Video File Name:", "holiday"));
  ASSERT_TRUE(probe->tap("Done"));
  advance(0.5);
  EXPECT_EQ(testsupport::readFile(file("holiday.mov")), std::string(3000, 'm'));
}

TEST_F(PhotoLibraryAppTest, WithoutALibraryImportSaysSo) {
  ASSERT_NO_FATAL_FAILURE(openSavedFiles());
  fs::remove_all(pictures);
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video")) << probe->lastError();
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "Photo Error");
  EXPECT_EQ(alerts[0].message, "No camera or photo library was found!");
  probe->answerAlert("OK");
}

TEST_F(PhotoLibraryAppTest, AddToPhotoLibraryAndMoveThereKeepTheFile) {
  auto picture = testsupport::coordinatePicture(8, 5);
  const auto png = picture->pngRepresentation();
  makeFile("pic.png", std::string(png.begin(), png.end()));
  makeFile("clip.mp4", std::string(2000, 'v'));
  makeFile("notes.txt", "text");
  ASSERT_NO_FATAL_FAILURE(openSavedFiles());
  auto sheetButtons = [&](const std::string &row) {
    EXPECT_TRUE(probe->tapAccessory(row)) << probe->lastError();
    auto sheets = probe->pendingSheets();
    std::vector<std::string> buttons =
        sheets.empty() ? std::vector<std::string>{} : sheets.back().buttons;
    return buttons;
  };
  auto offers = [](const std::vector<std::string> &b) {
    return std::find(b.begin(), b.end(), "Add to Photo Library") != b.end();
  };
  EXPECT_FALSE(offers(sheetButtons("notes.txt")));
  ASSERT_TRUE(probe->answerSheet("Cancel"));
  EXPECT_TRUE(offers(sheetButtons("pic.png")));
  ASSERT_TRUE(probe->answerSheet("Add to Photo Library"));
  EXPECT_EQ(picturesFiles(), std::vector<std::string>{"IMG_0001.png"});
  EXPECT_EQ(testsupport::readFile(pictures + "/IMG_0001.png"), std::string(png.begin(), png.end()));
  EXPECT_TRUE(fs::exists(file("pic.png")));

  // "Photo Library" is a move target for a video (and a picture), never for a text file.
  ASSERT_TRUE(probe->tapAccessory("notes.txt"));
  ASSERT_TRUE(probe->answerSheet("Move File"));
  EXPECT_FALSE(hasRow("Photo Library"));
  ASSERT_TRUE(probe->tapRow("Cancel, Don't Move"));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  advance(0.5);
  ASSERT_TRUE(probe->tapAccessory("clip.mp4"));
  ASSERT_TRUE(probe->answerSheet("Move File"));
  ASSERT_TRUE(probe->tapRow("Photo Library")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  advance(0.5);
  EXPECT_EQ(picturesFiles(), (std::vector<std::string>{"IMG_0001.png", "MOV_0001.mp4"}));
  EXPECT_EQ(testsupport::readFile(pictures + "/MOV_0001.mp4"), std::string(2000, 'v'));
  EXPECT_TRUE(fs::exists(file("clip.mp4")));
}

TEST_F(PhotoLibraryAppTest, TheViewerPagesThroughTheFoldersPicturesAndSavesToTheLibrary) {
  for (const char *name : {"a.png", "b.png", "c.png"}) {
    const auto png = testsupport::coordinatePicture(6, 4)->pngRepresentation();
    makeFile(name, std::string(png.begin(), png.end()));
  }
  makeFile("readme.txt", "not a picture");
  ASSERT_NO_FATAL_FAILURE(openSavedFiles());
  ASSERT_TRUE(probe->tapRow("b.png")) << probe->lastError();
  ASSERT_TRUE(probe->tap("View")) << probe->lastError();
  advance(0.5);
  auto v = viewer();
  ASSERT_TRUE(v);
  EXPECT_EQ(v->localFileArray, (std::vector<std::string>{"a.png", "b.png", "c.png"}));
  EXPECT_EQ(v->localFileArrayIndex, 1);
  EXPECT_FALSE(v->cleanupWhenDone);
  // The one-time tip about Save comes first.
  ASSERT_TRUE(probe->answerAlert("OK")) << probe->lastError();
  v->webViewDidFinishLoad(*v->webView);
  ASSERT_TRUE(probe->tap("Next Image")) << probe->lastError();
  EXPECT_EQ(v->docLocalFile, file("c.png"));
  EXPECT_EQ(v->captionLabel->text(), "3 / 3");

  // Save puts the picture into the pictures folder's own album.
  v->webViewDidFinishLoad(*v->webView);
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  EXPECT_EQ(picturesFiles(), std::vector<std::string>{"IMG_0001.jpg"});
  auto saved = Image::imageWithContentsOfFile(pictures + "/IMG_0001.jpg");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->pixelWidth(), 6);
  EXPECT_TRUE(fs::exists(file("c.png")));
}

TEST_F(PhotoLibraryAppTest, TheLibraryPagesItsAlbumAndCleansUpItsCopies) {
  testsupport::makePicturesFolder(pictures);
  const auto png = testsupport::coordinatePicture(3, 3)->pngRepresentation();
  testsupport::writeBytes(pictures + "/Holidays/zz.png", png);
  ASSERT_NO_FATAL_FAILURE(openSavedFiles());
  ASSERT_TRUE(probe->tapRow("Photo Library"));
  auto top = [&] {
    return std::dynamic_pointer_cast<PhotoGalleryView>(probe->topViewController());
  };
  ASSERT_TRUE(pumpUntil([&] { return top() && top()->loaded(); }));
  ASSERT_TRUE(probe->tapRow("Holidays"));
  ASSERT_TRUE(pumpUntil([&] { return top() && top()->loaded() && top()->title() == "Holidays"; }));
  auto names = rows();
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 3u); // beach.jpg, clip.mov, zz.png
  std::vector<std::string> pictureRows;
  for (auto &n : rows())
    if (n.rfind("img_", 0) == 0) pictureRows.push_back(n);
  ASSERT_EQ(pictureRows.size(), 2u);
  ASSERT_TRUE(probe->tapRow(pictureRows[0]));
  ASSERT_TRUE(probe->tap("View"));
  ASSERT_TRUE(pumpUntil([&] { return viewer() != nullptr; }));
  auto v = viewer();
  EXPECT_TRUE(v->cleanupWhenDone);
  EXPECT_TRUE(v->hideSaveButton);
  EXPECT_EQ(v->dataIndexArray, pictureRows);
  EXPECT_EQ(v->localFileArrayIndex, 0);
  const std::string first = v->docLocalFile;
  ASSERT_TRUE(fs::exists(first));
  EXPECT_TRUE(probe->pendingAlerts().empty()); // no Save, so no tip about it
  v->webViewDidFinishLoad(*v->webView);
  ASSERT_TRUE(probe->tap("Next Image")) << probe->lastError();
  // The copy shown before is gone; the next one holds the next asset's bytes.
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(fs::path(v->docLocalFile).filename(), pictureRows[1]);
  const std::string second = testsupport::readFile(v->docLocalFile);
  const bool isZz = second == std::string(png.begin(), png.end());
  const bool isBeach = second == testsupport::readFile(pictures + "/Holidays/beach.jpg");
  EXPECT_TRUE(isZz || isBeach);
  // Closing deletes the copy too.
  const std::string shown = v->docLocalFile;
  v->clickOK();
  EXPECT_FALSE(fs::exists(shown));
}

TEST_F(PhotoLibraryAppTest, ALibraryThatCannotBeReadShowsItsHelpPage) {
  ASSERT_NO_FATAL_FAILURE(openSavedFiles());
  ASSERT_TRUE(hasRow("Photo Library"));
  // The folder turned into a file after Saved Files listed it.
  fs::remove_all(pictures);
  testsupport::writeFile(pictures, "not a folder");
  ASSERT_TRUE(probe->tapRow("Photo Library"));
  ASSERT_TRUE(pumpUntil([&] {
    return std::dynamic_pointer_cast<HelpViewController>(probe->topViewController()) != nullptr;
  }));
  auto help = std::dynamic_pointer_cast<HelpViewController>(probe->topViewController());
  EXPECT_EQ(help->title(), "Ferrowen Help");
  EXPECT_EQ(fs::path(help->fileUrlIn).filename(), "error-photo-library.html");
  EXPECT_TRUE(fs::exists(help->fileUrlIn)) << help->fileUrlIn;
  EXPECT_TRUE(
      fs::exists(std::string(FERROWEN_SOURCE_DIR) + "/resources/error-photo-library-global.html"));
}

TEST_F(PhotoLibraryAppTest, CloudFilesPagesThroughItsPicturesByTheirOwnPaths) {
  const std::string cloud = home_ + "/Cloud";
  const auto png = testsupport::coordinatePicture(4, 4)->pngRepresentation();
  testsupport::writeBytes(cloud + "/x.png", png);
  testsupport::writeBytes(cloud + "/trip/y.png", png);
  testsupport::writeFile(cloud + "/notes.txt", "text");
  ASSERT_NO_FATAL_FAILURE(openSavedFiles());
  ASSERT_TRUE(probe->tapRow("Cloud Files")) << probe->lastError();
  ASSERT_TRUE(pumpUntil([&] { return hasRow("y.png") && hasRow("x.png"); }));
  ASSERT_TRUE(probe->tapRow("x.png")) << probe->lastError();
  ASSERT_TRUE(probe->tap("View")) << probe->lastError();
  ASSERT_TRUE(pumpUntil([&] { return viewer() != nullptr; }));
  auto v = viewer();
  ASSERT_EQ(v->dataIndexArray.size(), 2u); // the pictures only, from every sub-folder
  EXPECT_EQ(v->localFileArray.size(), 2u);
  const auto at = std::find(v->dataIndexArray.begin(), v->dataIndexArray.end(), v->docLocalFile);
  ASSERT_NE(at, v->dataIndexArray.end());
  EXPECT_EQ(v->localFileArrayIndex, at - v->dataIndexArray.begin());
  const std::string other = v->dataIndexArray[v->localFileArrayIndex == 0 ? 1 : 0];
  if (!probe->pendingAlerts().empty()) probe->answerAlert("OK");
  v->webViewDidFinishLoad(*v->webView);
  ASSERT_TRUE(probe->tap(v->localFileArrayIndex == 0 ? "Next Image" : "Previous Image"))
      << probe->lastError();
  EXPECT_EQ(v->docLocalFile, other);
  EXPECT_TRUE(fs::exists(cloud + "/x.png")); // the cloud's own files are never cleaned up
  EXPECT_TRUE(fs::exists(cloud + "/trip/y.png"));
}

// The image editor's Save to "Saved Files" lists the new picture in Saved Files at once: on the
// phone the list comes back into view when the editor closes, on the tablet it stands beside the
// editor's file tab all along.
class EditorSaveListedTest : public PhotoLibraryAppTest,
                             public ::testing::WithParamInterface<bool /* tablet */> {};

TEST_P(EditorSaveListedTest, APictureSavedFromTheEditorIsListedAtOnce) {
  const bool tablet = GetParam();
  fs::create_directories(root);
  testsupport::writeBytes(file("picture.png"),
                          testsupport::coordinatePicture(6, 4)->pngRepresentation());
  boot(tablet ? DeviceProfile::iPad() : DeviceProfile::iPhone());
  ASSERT_TRUE(probe->tapTab("Saved Files")) << probe->lastError();
  auto files = std::dynamic_pointer_cast<LocalFolderViewController>(
      delegate->navigationControllerFiles()->topViewController());
  ASSERT_TRUE(files);
  // The rows the Saved Files list shows, wherever the editor stands.
  auto listed = [&](const std::string &name) {
    std::shared_ptr<TableView> table;
    for (auto &v : files->view()->subviews())
      if (auto t = std::dynamic_pointer_cast<TableView>(v)) table = t;
    for (auto &r : probe->visibleRows(table))
      if (r.label == name) return true;
    return false;
  };
  ASSERT_TRUE(listed("picture.png"));
  ASSERT_TRUE(probe->tapAccessory("picture.png")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Edit Image")) << probe->lastError();
  advance(0.5);
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  advance(0.5);
  ASSERT_TRUE(probe->tap("Save to \"Saved Files\"")) << probe->lastError();
  advance(0.5);
  ASSERT_TRUE(fs::exists(file("picture.jpg")));
  EXPECT_TRUE(listed("picture.jpg"));
  EXPECT_EQ(delegate->navigationControllerFiles()->topViewController(), files);
}

INSTANTIATE_TEST_SUITE_P(PhoneAndTablet, EditorSaveListedTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Tablet" : "Phone"; });

} // namespace
