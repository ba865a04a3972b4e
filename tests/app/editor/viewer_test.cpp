// The document viewer driven through the probe: what it loads for a PDF, a picture, an HTML page
// (no scripts of its own), plain and rich text; the one-time tips; "ViewingFile" and the
// deletion of temporary files; paging a folder of pictures and an album; links that may leave
// for the system and those that may not; copying a picture into the photo library.
#include "tests/app/editor/EditorFixture.h"

#include "tests/support/ImageFixtures.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/Spawn.h"

using namespace platform;
using namespace platform::ui;

namespace {

class ViewerTest : public EditorTest {
protected:
  void TearDown() override {
    Application::shared().setURLOpener(nullptr);
    EditorTest::TearDown();
  }
  std::shared_ptr<WebDocumentViewController> view(const std::string &path, bool local = true,
                                                  std::vector<std::string> names = {},
                                                  int index = 0) {
    auto viewer = WebDocumentViewController::initWithNibName("WebDocumentView",
                                                             lastPathComponent(path), path);
    viewer->editingSavedFile = local;
    viewer->localFileArray = std::move(names);
    viewer->localFileArrayIndex = index;
    nav->pushViewController(viewer, false);
    RunLoop::main()->runPending();
    return viewer;
  }
  std::string picture(const std::string &name, int w = 4, int h = 3) {
    auto png = testsupport::coordinatePicture(w, h)->pngRepresentation();
    return write(name, std::string(png.begin(), png.end()));
  }
  static const WebLoad &lastLoad(const std::shared_ptr<WebDocumentViewController> &v) {
    return v->webView->loads().back();
  }
};

} // namespace

TEST_F(ViewerTest, EachKindOfDocumentLoadsAsTheWebViewCanShowIt) {
  struct Case {
    const char *name;
    std::string bytes;
    WebLoad::Kind kind;
    bool sliderHidden;
  };
  const Case cases[] = {
      {"manual.pdf", "%PDF-1.4\n%%EOF\n", WebLoad::Kind::Request, true},
      {"notes.txt", "plain <text>", WebLoad::Kind::Request, false},
      {"page.html", "<p onclick='x()'>hi</p><script>alert(1)</script>", WebLoad::Kind::HTMLString,
       false},
      {"letter.rtf", "{\\rtf1 Hello <b>}", WebLoad::Kind::HTMLString, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto viewer = view(write(c.name, c.bytes));
    EXPECT_EQ(lastLoad(viewer).kind, c.kind);
    EXPECT_EQ(lastLoad(viewer).url.rfind("file://", 0), 0u);
    EXPECT_EQ(viewer->slider->isHidden(), c.sliderHidden);
    if (c.kind == WebLoad::Kind::HTMLString) {
      // The page's own scripts are kept from running by a policy that comes first.
      EXPECT_EQ(lastLoad(viewer).html.rfind("<meta http-equiv=\"Content-Security-Policy\"", 0), 0u);
    }
    nav->popViewControllerAnimated(false);
  }
  // Rich text: converted to HTML by unrtf when it is installed, else its source with a note.
  write("letter.rtf", "{\\rtf1\\ansi Hello \\b bold\\b0  <script>x()</script>\\par}");
  auto rtf = view(files + "/letter.rtf");
  const std::string &html = lastLoad(rtf).html;
  EXPECT_EQ(html.find("<script"), std::string::npos);
  if (!findOnPath("unrtf").empty()) {
    EXPECT_NE(html.find("<b>bold</b>"), std::string::npos) << html;
    EXPECT_NE(html.find("&lt;script&gt;"), std::string::npos) << html;
  } else {
    EXPECT_NE(html.find("shown as its plain source text"), std::string::npos);
  }
  // A picture: a request, and the one-time tip about saving it.
  auto image = view(picture("p.png"));
  EXPECT_EQ(lastLoad(image).kind, WebLoad::Kind::Request);
  EXPECT_EQ(probe->pendingAlerts().back().title, "Saving to Photo Library");
}

TEST_F(ViewerTest, TipsShowOnceBySize) {
  const std::string big = write("big.png", std::string(5000000, 'x'));
  view(big);
  ASSERT_EQ(probe->pendingAlerts().size(), 1u);
  EXPECT_EQ(probe->pendingAlerts()[0].title, "Really Big File");
  answer("OK");
  nav->popViewControllerAnimated(false);
  view(big);
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_EQ(get("ShownBigFileMessage"), "1");
  EXPECT_EQ(get("ShownSaveMessage"), "");
  const std::string limit = write("limit.jpg", std::string(4194304, 'x'));
  view(limit);
  EXPECT_EQ(probe->pendingAlerts().back().title, "Saving to Photo Library");
}

// The one-time tips belong to opening the viewer: a file reached by paging, or a file changed
// elsewhere while shown, brings none, whatever its size or kind.
TEST_F(ViewerTest, TipsShowWhenTheViewerOpensOnly) {
  struct Case {
    const char *how;
    bool paging;
    std::string bytes; // of the file met after opening
  };
  const std::string big(5000000, 'x');
  const Case cases[] = {{"paging to a picture", true, ""},
                        {"paging to a big file", true, big},
                        {"a big file changed elsewhere", false, big}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.how);
    set("ShownSaveMessage", "");
    set("ShownBigFileMessage", "");
    const std::string first = write("first.txt", "small");
    std::shared_ptr<WebDocumentViewController> viewer;
    if (c.paging) {
      if (c.bytes.empty())
        picture("second.png");
      else
        write("second.png", c.bytes);
      viewer = view(first, true, {"first.txt", "second.png"});
      viewer->webView->finishLoad();
      ASSERT_TRUE(probe->pendingAlerts().empty());
      ASSERT_TRUE(probe->tap("Next Image")) << probe->lastError();
      EXPECT_EQ(viewer->docLocalFile, files + "/second.png");
    } else {
      // A file of the cloud container, which the viewer follows.
      services->cloudFolder = Paths::home() + "/Cloud";
      FileManager::createDirectory(services->cloudFolder, true);
      const std::string shared = services->cloudFolder + "/shared.txt";
      testsupport::writeFile(shared, "small");
      viewer = view(shared);
      ASSERT_TRUE(probe->pendingAlerts().empty());
      const size_t loads = viewer->webView->loads().size();
      testsupport::writeFile(shared, c.bytes);
      viewer->presentedItemDidChange();
      RunLoop::main()->runPending();
      EXPECT_GT(viewer->webView->loads().size(), loads); // shown again
      services->cloudFolder.clear();
    }
    EXPECT_TRUE(probe->pendingAlerts().empty()) << probe->pendingAlerts().front().title;
    EXPECT_EQ(get("ShownSaveMessage"), "");
    EXPECT_EQ(get("ShownBigFileMessage"), "");
    nav->popViewControllerAnimated(false);
  }
}

// The tablet's bar: with one file the title stands between two flexible spaces; with two or
// more the activity indicator follows the title at once, then the paging controls and Save.
TEST_F(ViewerTest, TabletBarForOneFileAndForSeveral) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  picture("a.png");
  picture("b.png");
  struct Case {
    std::vector<std::string> names;
    std::vector<std::string> bar;
  };
  const Case cases[] = {
      {{},
       {"fixed 7", "Resize Screen", "Close File", "flexible", "a.png", "flexible", "spinner",
        "Save"}},
      {{"a.png", "b.png"},
       {"fixed 7", "Resize Screen", "Close File", "flexible", "a.png", "spinner", "Previous Image",
        "caption 1 / 2", "Next Image", "fixed 2", "Save"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.names.size());
    auto viewer = view(files + "/a.png", true, c.names);
    if (!probe->pendingAlerts().empty()) answer("OK");
    std::vector<std::string> bar;
    for (auto &item : viewer->toolbar->items()) {
      if (item->systemItemKind() == BarButtonSystemItem::FlexibleSpace)
        bar.push_back("flexible");
      else if (item->systemItemKind() == BarButtonSystemItem::FixedSpace)
        bar.push_back("fixed " + std::to_string(static_cast<int>(item->width())));
      else if (item == viewer->spinnerItem)
        bar.push_back("spinner");
      else if (item == viewer->captionItem)
        bar.push_back("caption " + viewer->captionLabel->text());
      else
        bar.push_back(item->probeName());
    }
    EXPECT_EQ(bar, c.bar);
    nav->popViewControllerAnimated(false);
  }
}

TEST_F(ViewerTest, TemporaryDownloadIsRecordedAndDeletedOnClose) {
  const std::string temp = Paths::tmp() + "/download.txt";
  testsupport::writeFile(temp, "downloaded");
  auto viewer = view(temp, false);
  EXPECT_EQ(get(kWasViewingFile), temp);
  ASSERT_TRUE(probe->tap("Cancel"));
  EXPECT_FALSE(FileManager::fileExists(temp));
  EXPECT_EQ(get(kWasViewingFile), "");
  // A Saved Files file stays, and is never recorded.
  const std::string kept = write("kept.txt", "kept");
  view(kept, true);
  EXPECT_EQ(get(kWasViewingFile), "");
  ASSERT_TRUE(probe->tap("Cancel"));
  EXPECT_TRUE(FileManager::fileExists(kept));
}

TEST_F(ViewerTest, PagingAFolderOfPictures) {
  for (auto name : {"a.png", "b.png", "c.png"})
    picture(name);
  auto viewer = view(files + "/a.png", true, {"a.png", "b.png", "c.png"});
  answer("OK");
  EXPECT_EQ(viewer->captionLabel->text(), "1 / 3");
  EXPECT_FALSE(viewer->previousButton->isEnabled());
  viewer->webView->finishLoad();
  ASSERT_TRUE(probe->tap("Next Image")) << probe->lastError();
  EXPECT_EQ(viewer->docLocalFile, files + "/b.png");
  EXPECT_EQ(viewer->captionLabel->text(), "2 / 3");
  EXPECT_EQ(viewer->tabBarItem()->title(), "b.png");
  viewer->webView->finishLoad();
  ASSERT_TRUE(probe->tap("Next Image"));
  viewer->webView->finishLoad();
  EXPECT_FALSE(viewer->nextButton->isEnabled());
  // Past the end: the same file again, still there even for a temporary viewer.
  viewer->cleanupWhenDone = true;
  const size_t loads = viewer->webView->loads().size();
  viewer->clickNext();
  EXPECT_EQ(viewer->webView->loads().size(), loads + 1);
  EXPECT_EQ(viewer->docLocalFile, files + "/c.png");
  EXPECT_TRUE(FileManager::fileExists(files + "/c.png"));
  // Moving on from a temporary file deletes it.
  viewer->clickPrevious();
  EXPECT_FALSE(FileManager::fileExists(files + "/c.png"));
}

TEST_F(ViewerTest, PagingNeverLeavesTheFolder) {
  picture("a.png");
  auto viewer = view(files + "/a.png", true, {"a.png", "../../escape.png"});
  viewer->clickNext();
  EXPECT_EQ(viewer->docLocalFile, files + "/a.png");
}

TEST_F(ViewerTest, PagingAnAlbumAsksTheSource) {
  const std::string first = picture("row0.png");
  picture("row1.png");
  auto viewer = view(first, true, {"x", "y"});
  answer("OK");
  viewer->dataIndexArray = {"0", "1"};
  std::vector<std::string> asked;
  viewer->setNextDataSource([&](const std::string &row) {
    asked.push_back(row);
    return files + "/row" + row + ".png";
  });
  viewer->clickNext();
  EXPECT_EQ(asked, std::vector<std::string>{"1"});
  EXPECT_EQ(viewer->docLocalFile, files + "/row1.png");
}

TEST_F(ViewerTest, OnlyWebAndMailLinksLeaveAndNothingElseIsFollowed) {
  std::vector<std::string> opened;
  Application::shared().setURLOpener([&](const std::string &url) {
    opened.push_back(url);
    return true;
  });
  auto viewer = view(write("links.html", "<a href='x'>x</a>"));
  const size_t loads = viewer->webView->loads().size();
  std::string why;
  for (auto url : {"https://example.org/a", "mailto:a@example.org", "javascript:alert(1)",
                   "file:///etc/passwd", "sms:123", "HTTP://EXAMPLE.ORG"})
    viewer->webView->userFollowLink(url, why);
  EXPECT_EQ(opened, (std::vector<std::string>{"https://example.org/a", "mailto:a@example.org",
                                              "HTTP://EXAMPLE.ORG"}));
  EXPECT_EQ(viewer->webView->loads().size(), loads); // none loaded in the viewer
  // A mail link the desktop does not take is said; a web link is only logged.
  Application::shared().setURLOpener([](const std::string &) { return false; });
  for (auto url : {"https://example.org/b", "mailto:b@example.org"})
    viewer->webView->userFollowLink(url, why);
  ASSERT_EQ(probe->pendingAlerts().size(), 1u);
  EXPECT_EQ(probe->pendingAlerts()[0].title, "Mail");
  Application::shared().setURLOpener(nullptr);
}

TEST_F(ViewerTest, FailedLoadShowsTheErrorPage) {
  auto viewer = view(write("odd.xyz", "?"));
  viewer->webView->failLoad("unsupported");
  EXPECT_NE(lastLoad(viewer).html.find("can not display this type of file"), std::string::npos);
  EXPECT_FALSE(viewer->spinner->isAnimating());
}

TEST_F(ViewerTest, CopyingAPictureToThePhotoLibrary) {
  auto viewer = view(picture("wide.png", 900, 500));
  answer("OK");
  viewer->webView->finishLoad();
  EXPECT_EQ(probe->rightItem()->name, "Save");
  ASSERT_TRUE(probe->tap("Save"));
  ASSERT_EQ(services->savedPictures.size(), 1u);
  // Not a fast device, yet 900 / 640 and 500 / 640 give a divisor of 1: full size.
  EXPECT_EQ(services->savedPictures[0]->pixelWidth(), 900);
  EXPECT_EQ(services->savedPictures[0]->pixelHeight(), 500);
  // An SVG gets no iPhone Save button.
  auto svg = view(write("v.svg", "<svg xmlns='http://www.w3.org/2000/svg'/>"));
  svg->webView->finishLoad();
  EXPECT_FALSE(probe->rightItem());
}
