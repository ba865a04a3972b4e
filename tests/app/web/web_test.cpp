// The Web View tab and the in-app browser driven as a person drives them, against a small web
// site on loopback: the address-or-search rule, download mode into the queue, Back, Reload and
// Stop, the history and its search list, web bookmarks, the long-tap menu and ftp addresses.
#include "tests/app/shell/AppFixture.h"
#include "tests/support/WebPeer.h"

#include "app/ftp/FTPConnection.h"
#include "app/remote/DirViewer.h"
#include "app/shell/ShellConnect.h"
#include "app/web/BrowserHistory.h"
#include "app/web/ValtryWebBrowserView.h"
#include "app/web/WebAddress.h"
#include "app/web/WebPageEngine.h"
#include "app/web/WebPreviewViewController.h"

#include "platform/device/MailService.h"
#include "platform/media/Image.h"
#include "platform/ui/Services.h"
#include "tests/support/TimeScale.h"

#include <thread>

using namespace platform;
using namespace platform::ui;

class WebTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    peer = std::make_unique<testsupport::WebPeer>(tmp_->path());
    set("ShownWebHelp", "1");
    set("ShownDownloadMessage", "1");
    set("History", "1");
    set("WebSearchService", peer->url("/search?q="));
    BrowserHistory::shared().forget();
    Application::shared().setURLOpener(
        [this](const std::string &u) { return opened.push_back(u), true; });
    boot(device);
  }
  void TearDown() override {
    Application::shared().setURLOpener(nullptr);
    AppTest::TearDown();
  }
  std::shared_ptr<WebView> web() { return probe->first<WebView>(); }
  std::shared_ptr<TextField> field() { return probe->find<TextField>("Address"); }
  void waitLoaded() {
    RunLoop::main()->runUntil([&] { return !web()->isLoading(); },
                              testsupport::scaled(seconds(15)));
  }
  void go(const std::string &typed) {
    field()->setText("");
    ASSERT_TRUE(probe->type("Address", typed)) << probe->lastError();
    ASSERT_TRUE(probe->pressReturn("Address")) << probe->lastError();
    waitLoaded();
  }
  bool follow(const std::string &url) {
    return probe->dispatch(
        {{"event", "followLink"}, {"id", probe->window().idOf(*web())}, {"url", url}});
  }
  std::string lastLoad() {
    for (auto it = web()->loads().rbegin(); it != web()->loads().rend(); ++it)
      if (it->kind == WebLoad::Kind::Request) return it->url;
    return {};
  }
  std::shared_ptr<ValtryWebBrowserView> openBrowser() {
    if (!device.isiPad()) {
      EXPECT_TRUE(probe->tapTab("Web View"));
    }
    delegate->newValtryTab(peer->url("/page/1"));
    advance(0.3);
    waitLoaded();
    return std::dynamic_pointer_cast<ValtryWebBrowserView>(probe->topViewController());
  }
  bool waitFor(const std::function<bool()> &cond) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(seconds(15)));
  }
  std::vector<std::string> stored(const std::string &key, const char *field) {
    std::vector<std::string> out;
    for (auto &v : globalUserDefaults->arrayForKey(key).value_or(UserDefaults::Value::Array{}))
      out.push_back(*v.dictionary()->at(field).string());
    return out;
  }

  std::unique_ptr<testsupport::WebPeer> peer;
  std::vector<std::string> opened;
  DeviceProfile device = DeviceProfile::iPhone();
};

class WebPadTest : public WebTest {
protected:
  WebPadTest() { device = DeviceProfile::iPad(); }
};

TEST_F(WebTest, AddressOrSearchAndTheFieldShown) {
  ASSERT_TRUE(probe->tapTab("Web View"));
  const std::string hp = peer->hostPort();
  struct Case {
    std::string typed, loaded, shown;
  } cases[] = {
      {hp + "/page/1", "http://" + hp + "/page/1", hp + "/page/1"},
      {"HTTP://" + hp + "/page/2", "HTTP://" + hp + "/page/2", hp + "/page/2"},
      {"ftp://" + hp + "/x", "ftp://" + hp + "/x", "ftp://" + hp + "/x"},
      {"nodot", peer->url("/search?q=nodot"), hp + "/search?q=nodot"},
      {"rock & roll.mp3", peer->url("/search?q=rock%20%26%20roll.mp3"), ""},
      {"caf\xc3\xa9 x", peer->url("/search?q=caf%C3%A9%20x"), ""},
  };
  for (auto &c : cases) {
    go(c.typed);
    EXPECT_EQ(lastLoad().rfind(c.loaded, 0), 0u) << c.typed << " loaded " << lastLoad();
    if (!c.shown.empty()) {
      EXPECT_EQ(field()->text(), c.shown) << c.typed;
    }
    EXPECT_EQ(globalUserDefaults->stringForKey(kWebViewURLKey), c.typed);
  }
  // An address naming "http://" twice shows what follows the second; empty openURL changes nothing.
  auto screen = std::dynamic_pointer_cast<WebPreviewViewController>(probe->topViewController());
  ASSERT_TRUE(follow("http://" + hp + "/redirect?to=http://" + hp + "/page/3"));
  EXPECT_EQ(field()->text(), hp + "/page/3");
  waitLoaded();
  auto before = globalUserDefaults->stringForKey(kWebViewURLKey);
  screen->openURL("");
  EXPECT_EQ(globalUserDefaults->stringForKey(kWebViewURLKey), before);
  // An address is typed as it stands: no capitals, no corrections; its text sits in the middle.
  EXPECT_EQ(field()->traits().autocorrectionType, TextAutocorrectionType::No);
  EXPECT_EQ(field()->traits().autocapitalizationType, TextAutocapitalizationType::None);
  EXPECT_EQ(field()->contentVerticalAlignment(), ControlContentVerticalAlignment::Center);
}

TEST_F(WebTest, BackReloadStopAndEscapedErrorPage) {
  ASSERT_TRUE(probe->tapTab("Web View"));
  // Reload on a page that never loaded loads the typed text.
  field()->setText(peer->hostPort() + "/page/1");
  ASSERT_TRUE(probe->tap("Reload"));
  waitLoaded();
  EXPECT_EQ(lastLoad(), peer->url("/page/1"));
  ASSERT_TRUE(follow(peer->url("/page/2")));
  waitLoaded();
  ASSERT_TRUE(probe->tap("Back")) << probe->lastError();
  waitLoaded();
  EXPECT_EQ(web()->request().url, peer->url("/page/1"));
  ASSERT_TRUE(probe->tap("Reload"));
  waitLoaded();
  EXPECT_EQ(web()->loads().back().navigationType, WebViewNavigationType::Reload);
  ASSERT_TRUE(follow(peer->url("/slow")));
  EXPECT_TRUE(web()->isLoading());
  ASSERT_TRUE(probe->tap("Stop")) << probe->lastError();
  EXPECT_FALSE(web()->isLoading());
  EXPECT_EQ(field()->rightView(), probe->find("Reload"));
  go(peer->hostPort() + "/fail?<b>x</b>");
  // The red page holds the escaped description and nothing else: no address of its own.
  const std::string html = web()->loads().back().html,
                    head = "<html><center><font size=+5 color='red'>An error occurred:<br>",
                    tail = "</font></center></html>";
  ASSERT_GT(html.size(), head.size() + tail.size()) << html;
  EXPECT_EQ(html.substr(0, head.size()), head);
  EXPECT_EQ(html.substr(html.size() - tail.size()), tail) << html;
  EXPECT_EQ(html.find('<', head.size()), html.size() - tail.size()) << html;
  // A description holding markup reaches the page as text.
  EXPECT_EQ(webErrorPage("<b>x</b> & 'y'"), head + "&lt;b&gt;x&lt;/b&gt; &amp; &#39;y&#39;" + tail);
}

TEST_F(WebTest, DownloadModeQueuesFollowedLinksInsideSavedFiles) {
  ASSERT_TRUE(probe->tapTab("Web View"));
  go(peer->hostPort() + "/page/1");
  ASSERT_TRUE(probe->tap("Download"));
  const auto loads = web()->loads().size();
  // The link followed is a download, and the page stays.
  ASSERT_TRUE(follow(peer->url("/files/f1.zip")));
  ASSERT_TRUE(follow(peer->url("/files/%2F..%2F..%2Fescape.zip")));
  ASSERT_TRUE(probe->answerAlert("OK")); // refused, and told why
  ASSERT_TRUE(follow(peer->url("/files/")));
  ASSERT_TRUE(probe->answerAlert("OK"));
  EXPECT_EQ(web()->loads().size(), loads);
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(file("f1.zip")) == "f1.zip"; }))
      << testsupport::readFile(file("f1.zip"));
  EXPECT_FALSE(FileManager::fileExists(platform::Paths::documents() + "/escape.zip"));
  EXPECT_FALSE(FileManager::fileExists(platform::Paths::home() + "/escape.zip"));
  ASSERT_TRUE(probe->tap("Download On"));
  ASSERT_TRUE(follow(peer->url("/page/2")));
  waitLoaded();
  EXPECT_EQ(web()->request().url, peer->url("/page/2"));
}

// In download mode every address the person goes to is queued into Saved Files and not loaded,
// however it was given: typed, handed in, a link, picked from the history, opened from a held
// link, and on both web screens. The page shown stays.
TEST_F(WebTest, DownloadModeQueuesEveryAddressThePersonGoesTo) {
  BrowserHistory::shared().saveHistory({peer->url("/files/picked.zip"), "Picked File"});
  std::shared_ptr<WebPreviewViewController> screen;
  // The history list and the held link's "Open" are the browser's own.
  const struct {
    const char *how, *name;
    bool browserOnly;
    std::function<void(const std::string &url)> go;
  } cases[] = {
      {"typed", "typed.zip", false,
       [&](const std::string &url) {
         field()->setText("");
         ASSERT_TRUE(probe->type("Address", url.substr(7)));
         ASSERT_TRUE(probe->pressReturn("Address"));
       }},
      {"handed in", "handed.zip", false, [&](const std::string &url) { screen->openURL(url); }},
      {"followed", "followed.zip", false,
       [&](const std::string &url) { ASSERT_TRUE(follow(url)); }},
      {"reloaded", "", false, [&](const std::string &) { ASSERT_TRUE(probe->tap("Reload")); }},
      {"picked from the history", "picked.zip", true,
       [&](const std::string &) {
         ASSERT_TRUE(probe->tap("Address"));
         ASSERT_TRUE(probe->clear("Address"));
         ASSERT_TRUE(probe->type("Address", "picked"));
         ASSERT_TRUE(probe->tapRow("Picked File")) << probe->lastError();
       }},
      {"opened from a held link", "held.zip", true,
       [&](const std::string &url) {
         ASSERT_TRUE(follow("longtap://href=" + url));
         ASSERT_TRUE(probe->answerSheet("Open")) << probe->lastError();
       }},
  };
  for (bool browser : {false, true}) {
    if (browser) {
      screen = openBrowser();
    } else {
      ASSERT_TRUE(probe->tapTab("Web View"));
      go(peer->hostPort() + "/page/1");
      screen = std::dynamic_pointer_cast<WebPreviewViewController>(probe->topViewController());
    }
    ASSERT_TRUE(screen);
    const std::string shown = web()->request().url;
    for (const auto &c : cases) {
      if (c.browserOnly && !browser) continue;
      const bool history = std::string(c.how) == "picked from the history";
      SCOPED_TRACE(std::string(browser ? "browser, " : "Web View tab, ") + c.how);
      const std::string name = *c.name ? (browser ? "b-" : "w-") + std::string(c.name) : "";
      ASSERT_TRUE(probe->tap("Download"));
      const auto loads = web()->loads().size();
      c.go(history ? peer->url("/files/picked.zip") : peer->url("/files/" + name));
      // Reloading queues the page shown (named after its address, "1").
      const std::string landed = history ? "picked.zip" : name.empty() ? "1" : name;
      EXPECT_TRUE(waitFor([&] { return FileManager::fileExists(file(landed)); })) << landed;
      EXPECT_EQ(web()->loads().size(), loads);
      EXPECT_EQ(web()->request().url, shown);
      ASSERT_TRUE(probe->tap("Download On"));
      FileManager::removeItem(file(landed));
    }
  }
}

// A link whose name cannot be a file in Saved Files is refused with its reason: no row, no
// file, no folder, and a person learns why instead of seeing nothing happen.
TEST_F(WebTest, DownloadModeTellsWhyALinkIsRefused) {
  ASSERT_TRUE(probe->tapTab("Web View"));
  go(peer->hostPort() + "/page/1");
  ASSERT_TRUE(probe->tap("Download"));
  set(kDefaultDownloadFolderKey, "1"); // a refused link must not make its host's folder either
  const std::string tooLong = "/files/" + std::string(396, 'n') + ".zip";
  struct Case {
    const char *path, *reason;
  } cases[] = {
      {"/files/.", "cannot be a local file name: it is not a file name."},
      {"/files/..", "cannot be a local file name: it is not a file name."},
      {"/files/%2E", "cannot be a local file name: it is not a file name."},
      {"/files/%2e%2E", "cannot be a local file name: it is not a file name."},
      {"/files/%2E%2E%2F%2E%2E%2Fescape.zip", "cannot be a local file name: it holds a \"/\"."},
      {"/files/a%2Fb.zip", "cannot be a local file name: it holds a \"/\"."},
      {"/files/line%0Abreak.txt", "\"line\\x0abreak.txt\" from the address cannot be"},
      {"/files/cr%0D.txt", "it holds a control character."},
      {"/files/tab%09.txt", "it holds a control character."},
      {"/files/nul%00.zip", "\"nul\\x00.zip\" from the address cannot be"},
      {"/files/del%7F.txt", "it holds a control character."},
      {"/files/bell%07", "it holds a control character."},
      {"/files/bad%ZZescape", "is not validly escaped."},
      {"/files/", "names no file to download."},
      // Refused before anything is asked of the server.
      {tooLong.c_str(), "it is 400 bytes long, and the file system takes at most 255."},
  };
  for (auto &c : cases) {
    ASSERT_TRUE(follow(peer->url(c.path))) << c.path;
    auto alerts = probe->pendingAlerts();
    ASSERT_EQ(alerts.size(), 1u) << c.path;
    EXPECT_EQ(alerts[0].title, "Can't Download") << c.path;
    EXPECT_NE(alerts[0].message.find(c.reason), std::string::npos)
        << c.path << ": " << alerts[0].message;
    ASSERT_TRUE(probe->answerAlert("OK"));
  }
  advance(1.1);
  EXPECT_TRUE(delegate->batchView()->batchItemList().empty());
  EXPECT_FALSE(FileManager::fileExists(file("127.0.0.1")));
  for (const auto &asked : peer->requests())
    EXPECT_NE(asked.rfind("/files/", 0), 0u) << asked;
  // A name that can be a file is still queued, with no question.
  ASSERT_TRUE(follow(peer->url("/files/f1.zip")));
  EXPECT_TRUE(probe->pendingAlerts().empty());
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(file("127.0.0.1/f1.zip")) == "f1.zip"; }));
}

// A file no page shows (an archive) is not shown as text, nor does it take the page's place: the
// view stays on the page the person was on (its address, its history) and the person is offered
// the download. Cancel leaves it; Download puts it, whole, in Saved Files through the queue, as
// download mode does, and the page stays. With no page before, the page says why nothing shows.
TEST_F(WebTest, AFileNoPageShowsIsOfferedAsADownloadAndThePageStays) {
  ASSERT_TRUE(probe->tapTab("Web View"));
  go(peer->hostPort() + "/page/1");
  go(peer->hostPort() + "/page/2");
  const std::string page = peer->url("/page/2");
  constexpr size_t kBytes = 300000;
  const std::string zip = peer->url("/files/f2.zip?bytes=" + std::to_string(kBytes));
  for (const char *answer : {"Cancel", "Download"}) {
    SCOPED_TRACE(answer);
    ASSERT_TRUE(follow(zip));
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
    waitLoaded();
    const auto alert = probe->pendingAlerts().back();
    EXPECT_EQ(alert.title, "Can't Show File");
    EXPECT_EQ(alert.message, "\"f2.zip\" cannot be shown here. Download it to Saved Files?");
    // The page it was on, loaded again: no error page, no step in the history.
    EXPECT_EQ(web()->request().url, page);
    EXPECT_EQ(web()->loads().back().kind, WebLoad::Kind::Request);
    EXPECT_EQ(web()->loads().back().url, page);
    EXPECT_EQ(web()->lastLoadError(), WebLoadError::None);
    EXPECT_EQ(field()->text(), peer->hostPort() + "/page/2");
    EXPECT_TRUE(web()->canGoBack());
    EXPECT_FALSE(web()->canGoForward());
    EXPECT_TRUE(delegate->batchView()->batchItemList().empty());
    ASSERT_TRUE(probe->answerAlert(answer));
  }
  std::string expected;
  while (expected.size() < kBytes)
    expected += "f2.zip\n";
  expected.resize(kBytes);
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(file("f2.zip")) == expected; }));
  waitLoaded();
  EXPECT_EQ(web()->request().url, page);
  // Back goes where it went from the page, not to the file.
  ASSERT_TRUE(probe->tap("Back"));
  waitLoaded();
  EXPECT_EQ(web()->request().url, peer->url("/page/1"));
  EXPECT_FALSE(web()->canGoBack());

  // Typed rather than followed, the same.
  go(peer->hostPort() + "/files/f3.zip");
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  waitLoaded();
  EXPECT_EQ(web()->request().url, peer->url("/page/1"));
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  // A view that showed no page before has none to stay on.
  EXPECT_FALSE(std::make_shared<WebView>(Rect(0, 0, 320, 400))->showPageShownBefore());
  // Text is still shown as text.
  go(peer->hostPort() + "/notes.txt");
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_EQ(web()->lastLoadError(), WebLoadError::None);
}

// A followed link in download mode lands in the local folder shown last: a folder of Saved
// Files, or a folder of the shared folder (never a Saved Files folder of that name); the shared
// folder itself, which holds the application's own files, sends it to Saved Files.
struct ShownFolder {
  const char *name;
  std::vector<std::string> taps; // rows tapped from the Saved Files root
  std::string landsIn;           // below Documents
};

void PrintTo(const ShownFolder &shown, std::ostream *out) {
  *out << shown.name;
}

class WebDownloadFolder : public WebTest, public ::testing::WithParamInterface<ShownFolder> {};

TEST_P(WebDownloadFolder, IsTheLocalFolderShownLast) {
  const ShownFolder &shown = GetParam();
  const std::string docs = platform::Paths::documents();
  ASSERT_TRUE(FileManager::createDirectory(docs + "/Files/sub", true));
  ASSERT_TRUE(FileManager::createDirectory(docs + "/X", true));
  ASSERT_TRUE(probe->tapTab("Saved Files"));
  for (const auto &row : shown.taps) {
    ASSERT_TRUE(probe->tapRow(row)) << row << ": " << probe->lastError();
    advance(0.5);
  }
  ASSERT_TRUE(probe->tapTab("Web View"));
  go(peer->hostPort() + "/page/1");
  ASSERT_TRUE(probe->tap("Download"));
  ASSERT_TRUE(follow(peer->url("/files/f7.zip")));
  const std::string landed = docs + "/" + shown.landsIn + "/f7.zip";
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(landed) == "f7.zip"; })) << landed;
  EXPECT_FALSE(FileManager::fileExists(docs + "/Files/X"));
  EXPECT_FALSE(FileManager::fileExists(docs + "/Files/iTunes"));
}

INSTANTIATE_TEST_SUITE_P(
    Web, WebDownloadFolder,
    ::testing::Values(ShownFolder{"SavedFilesFolder", {"sub"}, "Files/sub"},
                      ShownFolder{"SharedFolderFolder", {"Shared with iTunes", "X"}, "X"},
                      ShownFolder{"SharedFolder", {"Shared with iTunes"}, "Files"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(WebTest, SavedFilesPathsStayInside) {
  struct Case {
    int folder;
    std::string url, expected; // relative to Saved Files; empty: nothing saved
  } cases[] = {
      {3, "http://h/a.TXT.old", "h/txt/a.TXT.old"},
      {1, "http://h/d/f.zip?x=1", "h/f.zip"},
      {2, "http://h/f.tar.gz", "gz/f.tar.gz"},
      {9, "http://h/f", "f"},
      {1, "http://../x.zip", "_/x.zip"},
      {1, "http://h/a%2F..%2Fb", ""},
      {0, "http://h/%00a", ""},
      {0, "http://h/..", ""},
      {0, "http://h", ""},
  };
  for (auto &c : cases) {
    set(kDefaultDownloadFolderKey, std::to_string(c.folder));
    auto path = getSavedFilesPath(c.url);
    EXPECT_EQ(path, c.expected.empty() ? "" : file(c.expected)) << c.url;
  }
}

TEST_F(WebTest, HistoryKeptAcrossRestartAndSearched) {
  auto browser = openBrowser();
  ASSERT_TRUE(browser);
  for (auto path : {"/page/2", "/page/1", "/page/3"}) {
    ASSERT_TRUE(follow(peer->url(path)));
    waitLoaded();
  }
  auto urls = [] {
    std::vector<std::string> out;
    for (auto &e : BrowserHistory::shared().entries())
      out.push_back(e.url + "|" + e.name);
    return out;
  };
  const std::vector<std::string> expected{peer->url("/page/3") + "|Page 3",
                                          peer->url("/page/1") + "|Page 1",
                                          peer->url("/page/2") + "|Page 2"};
  ASSERT_TRUE(waitFor([&] { return urls() == expected; })) << testing::PrintToString(urls());
  BrowserHistory::shared().forget();
  BrowserHistory::shared().loadIfNeeded();
  EXPECT_EQ(urls(), expected);
  // The search list: case ignored, a pick opens the entry.
  ASSERT_TRUE(probe->tap("Address"));
  ASSERT_TRUE(browser->searchView());
  EXPECT_EQ(probe->rightItem()->name, "Cancel");
  ASSERT_TRUE(probe->clear("Address"));
  ASSERT_TRUE(probe->type("Address", "PAGE/2")) << probe->lastError();
  ASSERT_EQ(browser->searchView()->searched().size(), 1u);
  ASSERT_TRUE(probe->tapRow("Page 2")) << probe->lastError();
  waitLoaded();
  EXPECT_EQ(web()->request().url, peer->url("/page/2"));
  EXPECT_FALSE(browser->searchView());
  EXPECT_NE(probe->rightItem()->name, "Cancel");
  // Never more than the cap: the oldest goes and is unmarked.
  for (size_t i = 0; i <= BrowserHistory::kMaxEntries; ++i)
    BrowserHistory::shared().saveHistory({"http://h/" + std::to_string(i), "t"});
  EXPECT_EQ(BrowserHistory::shared().entries().size(), BrowserHistory::kMaxEntries);
  EXPECT_FALSE(BrowserHistory::shared().isInHistory(peer->url("/page/2")) &&
               BrowserHistory::shared().isInHistory("http://h/0"));
}

TEST_F(WebTest, BookmarksFoldersAndReorder) {
  auto browser = openBrowser();
  ASSERT_TRUE(probe->tap("Bookmarks"));
  EXPECT_EQ(stored("WwwBookmarks-", "Name"),
            (std::vector<std::string>{"Valtry Help", "More of Our Apps"}));
  ASSERT_TRUE(probe->tap("Edit"));
  ASSERT_TRUE(probe->tap("New Folder"));
  ASSERT_TRUE(probe->type("New Bookmark Folder:", "Mine")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack());
  EXPECT_EQ(stored("WwwBookmarks-", "Name"),
            (std::vector<std::string>{"Mine", "Valtry Help", "More of Our Apps"}));
  EXPECT_EQ(globalUserDefaults->stringForKey("WwwBookmarkKeys"), "1");
  ASSERT_TRUE(probe->moveRow({0, 0}, {0, 2}));
  EXPECT_EQ(stored("WwwBookmarks-", "Name"),
            (std::vector<std::string>{"Valtry Help", "More of Our Apps", "Mine"}));
  ASSERT_TRUE(probe->tap("Done"));
  ASSERT_TRUE(probe->tapRow("Mine"));
  ASSERT_TRUE(probe->tap("Add Current Page"));
  ASSERT_TRUE(probe->tapBack());
  EXPECT_EQ(stored("WwwBookmarks-1", "Name"), std::vector<std::string>{"Page 1"});
  EXPECT_EQ(stored("WwwBookmarks-1", "Server"), std::vector<std::string>{"127.0.0.1"});
  ASSERT_TRUE(probe->tapRow("Page 1"));
  waitLoaded();
  EXPECT_EQ(probe->topViewController(), browser);
  EXPECT_EQ(web()->request().url, peer->url("/page/1"));
}

// On the tablet the list in its popover has a Done of its own until it is edited; its rows show a
// site's icon, name and address, a folder's icon and name alone.
TEST_F(WebPadTest, BookmarksInThePopoverLoseTheirDoneWhileEdited) {
  openBrowser();
  ASSERT_TRUE(probe->tap("Bookmarks")) << probe->lastError();
  ASSERT_TRUE(probe->rightItem());
  EXPECT_EQ(probe->rightItem()->name, "Done");
  ASSERT_TRUE(probe->tap("Edit"));
  EXPECT_FALSE(probe->rightItem());
  ASSERT_TRUE(probe->tap("New Folder"));
  ASSERT_TRUE(probe->type("New Bookmark Folder:", "Mine")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack());
  ASSERT_TRUE(probe->tap("Done")); // the toolbar's: editing ends, the list keeps no Done
  EXPECT_FALSE(probe->rightItem());
  auto table = probe->first<TableView>();
  ASSERT_TRUE(table);
  const struct {
    int row;
    std::vector<std::string> shown; // the texts of the row's views in view
  } rows[] = {{0, {"Mine"}}, {1, {"Valtry Help", "www.ferrowen.example"}}};
  for (const auto &r : rows) {
    auto cell = table->cellForRowAtIndexPath(IndexPath{0, r.row});
    ASSERT_TRUE(cell);
    std::vector<std::string> shown;
    for (auto &v : cell->contentView()->subviews())
      if (auto label = std::dynamic_pointer_cast<Label>(v); label && !label->isHidden())
        shown.push_back(label->text());
    EXPECT_EQ(shown, r.shown) << r.row;
    EXPECT_EQ(cell->accessibilityLabel(), r.shown[0]);
  }
  probe->dismissPopover();
}

TEST_F(WebTest, LongTapMenuCommands) {
  std::vector<MailMessage> mailed;
  MailService::setRecorder([&](const MailMessage &m) {
    mailed.push_back(m);
    return mailed.size() == 1; // the second time there is no mail program to take it
  });
  auto browser = openBrowser();
  ASSERT_TRUE(probe->tap("Download")); // the menu comes first, download mode or not
  const std::string link = peer->url("/files/it's<1>.zip?a=1&b=2");
  struct Case {
    std::string target, button;
    std::function<void()> check;
  } cases[] = {
      {"href=" + link, "Copy This Address",
       [&] { EXPECT_EQ(Pasteboard::generalPasteboard().string(), link); }},
      {"href=" + link, "Email This Address",
       [&] {
         // The composer gets the address as a link, escaped; no mailto address is opened.
         ASSERT_EQ(mailed.size(), 1u);
         EXPECT_TRUE(mailed[0].bodyIsHTML);
         const std::string escaped = htmlEscaped(link);
         EXPECT_EQ(mailed[0].body, "<a href='" + escaped + "'>" + escaped + "</a><br />");
         EXPECT_EQ(escaped.find_first_of("<>'"), std::string::npos);
         EXPECT_TRUE(opened.empty());
         EXPECT_FALSE(Application::shared().isNetworkActivityIndicatorVisible());
       }},
      {"href=" + link, "Email This Address",
       [&] {
         // Without a mail program the address goes to a mailto address as plain text.
         ASSERT_EQ(mailed.size(), 2u);
         ASSERT_EQ(opened.size(), 1u);
         EXPECT_EQ(opened[0].rfind("mailto:?body=", 0), 0u);
         EXPECT_EQ(opened[0].find_first_of("<>'& ", 7), std::string::npos) << opened[0];
         EXPECT_EQ(replacePercentEscapes(opened[0].substr(13)).value_or(""), link);
       }},
      // In download mode the address opened is queued too; the page stays.
      {"href=" + peer->url("/files/opened.zip"), "Open",
       [&] {
         EXPECT_TRUE(waitFor([&] { return FileManager::fileExists(file("opened.zip")); }));
         EXPECT_EQ(web()->request().url, peer->url("/page/1"));
       }},
      {"src=" + peer->url("/img.png"), "Copy Image",
       [&] {
         // The picture itself, as PNG, replaces the address copied before.
         ASSERT_TRUE(
             waitFor([&] { return !Pasteboard::generalPasteboard().data("public.png").empty(); }));
         auto png = Pasteboard::generalPasteboard().data("public.png");
         EXPECT_EQ(std::string(png.begin(), png.begin() + 4), "\x89PNG");
         EXPECT_TRUE(media::Image::imageWithData(png));
         EXPECT_EQ(Pasteboard::generalPasteboard().string(), "");
       }},
      {"src=" + peer->url("/files/pic.png"), "Download",
       [&] { EXPECT_TRUE(waitFor([&] { return FileManager::fileExists(file("pic.png")); })); }},
  };
  for (auto &c : cases) {
    ASSERT_TRUE(follow("longtap://" + c.target));
    auto sheets = probe->pendingSheets();
    ASSERT_EQ(sheets.size(), 1u) << c.target;
    EXPECT_EQ(sheets[0].buttons.back(), "Cancel");
    // On the phone the sheet rises from the main tab bar, as every screen's does.
    EXPECT_EQ(probe->window().actionSheets().back()->anchor().kind, Anchor::Kind::TabBar);
    EXPECT_EQ(std::count(sheets[0].buttons.begin(), sheets[0].buttons.end(), "Copy Image"),
              c.target[0] == 's' ? 1 : 0);
    ASSERT_TRUE(probe->answerSheet(c.button)) << probe->lastError();
    c.check();
  }
  ASSERT_TRUE(follow("longtap://nothing"));
  EXPECT_TRUE(probe->pendingSheets().empty());
  ASSERT_TRUE(probe->tap("Download On"));
  // Titles: at most 13 characters whole.
  go(peer->hostPort() + "/search?q=abcdefghijk");
  EXPECT_EQ(probe->topViewController()->navigationController()->tabBarItem()->title(),
            "q=abcdefghijk");
  MailService::setRecorder(nullptr);
}

TEST_F(WebTest, FtpAddressesReachTheRemoteFolderScreenOnTheirOwnThread) {
  attachConnectScreen(delegate);
  auto browser = openBrowser();
  ASSERT_TRUE(follow("ftp://u:p@127.0.0.1:" + std::to_string(testsupport::freeTcpPort()) + "/d"));
  ASSERT_TRUE(waitFor([&] { return probe->topViewController() != browser; }));
  EXPECT_EQ(probe->navigationTitle(), "127.0.0.1");
  auto c = browser->connection();
  ASSERT_TRUE(c);
  auto folder = std::dynamic_pointer_cast<DirViewer>(probe->topViewController());
  ASSERT_TRUE(folder);
  EXPECT_TRUE(folder->rootFolder);
  EXPECT_EQ(folder->theConnection, c);
  EXPECT_EQ(delegate->ftpConnection(), c);
  EXPECT_FALSE(c->myThread()->isCurrent());
  ASSERT_TRUE(probe->tapBack());
  // A later ftp link reuses the connection; its session restarts on the connection's thread.
  ASSERT_TRUE(follow("ftp://127.0.0.1:" + std::to_string(testsupport::freeTcpPort()) + "/e"));
  ASSERT_TRUE(waitFor([&] { return probe->topViewController() != browser; }));
  EXPECT_EQ(browser->connection(), c);
  EXPECT_EQ(c->offThreadEvents(), 0u);
}

TEST_F(WebTest, SiteIconsAreBoundedAndValidPixels) {
  set("NeedIcon-127.0.0.1", "1");
  std::vector<uint8_t> icon;
  std::string huge = "x", slow = "x";
  std::thread worker([&] {
    icon = getFavIconOnThread("127.0.0.1", "", peer->port());
    huge = fetchBounded(peer->url("/huge"), 1 << 20, 5);
    slow = fetchBounded(peer->url("/slow"), 1 << 20, 1);
  });
  worker.join();
  EXPECT_TRUE(huge.empty());
  EXPECT_TRUE(slow.empty());
  auto image = media::Image::imageWithData(icon);
  ASSERT_TRUE(image);
  bool faded = false;
  for (uint32_t p : image->pixels()) {
    const uint32_t a = p >> 24;
    faded |= a > 0 && a < 255;
    for (int shift : {0, 8, 16})
      EXPECT_LE((p >> shift) & 0xff, a) << std::hex << p;
  }
  EXPECT_TRUE(faded);
  EXPECT_TRUE(globalUserDefaults->dataForKey("icon-127.0.0.1"));
  EXPECT_TRUE(BrowserHistory::shared().favIconColor("127.0.0.1"));
}

TEST_F(WebPadTest, TabsPopoversAndFtpInAPopover) {
  auto browser = openBrowser();
  auto right = delegate->tabBarControllerRight();
  EXPECT_EQ(right->selectedViewController()->tabBarItem()->title(), "Page 1");
  struct Case {
    std::string button;
    std::shared_ptr<ViewController> shown;
  } cases[] = {{"Show Saved Files", delegate->navigationControllerFiles()},
               {"Show Transfers", delegate->navigationControllerBatch()},
               {"Show Settings", delegate->navigationControllerSettings()}};
  for (auto &c : cases) {
    ASSERT_TRUE(probe->tap(c.button)) << probe->lastError();
    ASSERT_FALSE(probe->window().popovers().empty());
    EXPECT_EQ(probe->window().popovers().back()->contentViewController(), c.shown) << c.button;
    EXPECT_TRUE(probe->window().popovers().back()->passthroughViews().empty()) << c.button;
    ASSERT_TRUE(probe->dismissPopover());
  }
  ASSERT_TRUE(follow("longtap://href=" + peer->url("/page/2")));
  auto sheet = probe->pendingSheets().at(0).buttons;
  EXPECT_EQ(sheet, (std::vector<std::string>{"Open", "Open in New Tab", "Download",
                                             "Copy This Address", "Email This Address"}));
  const auto tabs = right->viewControllers().size();
  ASSERT_TRUE(probe->answerSheet("Open in New Tab"));
  EXPECT_EQ(right->viewControllers().size(), tabs + 1);
  right->setSelectedIndex(int(tabs) - 1);
  ASSERT_TRUE(follow("ftp://127.0.0.1:" + std::to_string(testsupport::freeTcpPort()) + "/"));
  ASSERT_TRUE(waitFor([&] { return !probe->window().popovers().empty(); }));
  EXPECT_EQ(probe->window().popovers().back()->contentViewController(),
            delegate->navigationController());
  EXPECT_EQ(delegate->navigationController()->topViewController()->title(), "127.0.0.1");
}

TEST_F(WebPadTest, HistoryListLeavesTheFieldItsButtonsAndThePageInUse) {
  openBrowser();
  auto tab = std::dynamic_pointer_cast<NavigationController>(
      delegate->tabBarControllerRight()->selectedViewController());
  ASSERT_TRUE(tab);
  auto browser = std::dynamic_pointer_cast<ValtryWebBrowserView>(tab->topViewController());
  ASSERT_TRUE(browser);
  // Found while the browser is the front layer (the list's content is, once it is open).
  auto address = field();
  auto page = web();
  ASSERT_TRUE(address && page);
  ASSERT_TRUE(probe->tap(address)) << probe->lastError();
  ASSERT_TRUE(browser->searchView());
  ASSERT_EQ(probe->window().popovers().size(), 1u);
  auto list = probe->window().popovers().back();
  EXPECT_EQ(list->contentViewController(), browser->searchView());
  auto keyboard = address->leftView(), reload = address->rightView();
  ASSERT_TRUE(keyboard && reload);
  EXPECT_EQ(list->passthroughViews(),
            (std::vector<std::shared_ptr<View>>{browser->view(), page, address, reload, keyboard}));
  // The keyboard button acts at once (it focuses the field anew, which opens the list anew); the
  // field keeps the keys; the page takes a link: a list stays open through all of them.
  auto listShown = [&] {
    auto &shown = probe->window().popovers();
    return shown.size() == 1 && shown.back()->isPopoverVisible() &&
           shown.back()->contentViewController() == browser->searchView();
  };
  const auto returnKey = address->returnKeyType();
  ASSERT_TRUE(probe->tap(keyboard)) << probe->lastError();
  EXPECT_NE(address->returnKeyType(), returnKey);
  EXPECT_TRUE(listShown());
  auto act = [&](nlohmann::json event, const std::shared_ptr<View> &on) {
    event["id"] = probe->window().idOf(*on);
    return probe->dispatch(event);
  };
  ASSERT_TRUE(act({{"event", "type"}, {"text", "page"}}, address)) << probe->lastError();
  EXPECT_TRUE(listShown());
  EXPECT_TRUE(address->isFirstResponder());
  ASSERT_TRUE(act({{"event", "followLink"}, {"url", peer->url("/page/2")}}, page))
      << probe->lastError();
  RunLoop::main()->runUntil([&] { return !page->isLoading(); }, testsupport::scaled(seconds(15)));
  EXPECT_EQ(page->request().url, peer->url("/page/2"));
  EXPECT_TRUE(listShown());
  // A touch anywhere else closes it.
  ASSERT_TRUE(probe->dismissPopover()) << probe->lastError();
  EXPECT_TRUE(probe->window().popovers().empty());
}

TEST_F(WebTest, WebViewTabOpensABrowserTabOnAHeldLink) {
  ASSERT_TRUE(probe->tapTab("Web View"));
  go(peer->hostPort() + "/page/1");
  auto tab = probe->topViewController();
  // A picture or nothing under the finger offers no tab; a link does.
  for (auto target :
       {"src=" + peer->url("/img.png"), std::string("nothing"), std::string("href=")}) {
    ASSERT_TRUE(follow("longtap://" + target));
    EXPECT_TRUE(probe->pendingSheets().empty()) << target;
  }
  ASSERT_TRUE(follow("longtap://href=" + peer->url("/page/2")));
  auto sheets = probe->pendingSheets();
  ASSERT_EQ(sheets.size(), 1u);
  EXPECT_EQ(sheets[0].buttons, (std::vector<std::string>{"Open in New Tab", "Cancel"}));
  EXPECT_EQ(probe->window().actionSheets().back()->anchor().kind, Anchor::Kind::TabBar);
  ASSERT_TRUE(probe->answerSheet("Cancel"));
  EXPECT_EQ(probe->topViewController(), tab);
  ASSERT_TRUE(follow("longtap://href=" + peer->url("/page/2")));
  ASSERT_TRUE(probe->answerSheet("Open in New Tab")) << probe->lastError();
  advance(0.3);
  auto browser = std::dynamic_pointer_cast<ValtryWebBrowserView>(probe->topViewController());
  ASSERT_TRUE(browser);
  waitLoaded();
  EXPECT_EQ(browser->webView->request().url, peer->url("/page/2"));
}

TEST_F(WebTest, BrowserOnThePhoneTurnsIntoTheLandscapeContainer) {
  set(kWebPreviewTabKey, "1");
  auto browser = openBrowser();
  ASSERT_TRUE(browser);
  auto turn = [&](Orientation o) {
    DeviceProfile::setOrientation(o);
    ASSERT_TRUE(probe->rotate(InterfaceOrientation(int(o)))) << probe->lastError();
    advance(0.02);
  };
  turn(Orientation::LandscapeLeft);
  EXPECT_EQ(modalCount(), 1u);
  EXPECT_EQ(delegate->getCurTabViewController(), browser);
  EXPECT_EQ(browser->lastInterfaceOrientation, int(Orientation::LandscapeLeft));
  turn(Orientation::Portrait);
  EXPECT_EQ(modalCount(), 0u);
  EXPECT_EQ(delegate->navigationControllerWeb()->topViewController(), browser);
}

// The queue's count reaches the application's browser badge, which does nothing with it: the
// browser's Transfers button shows its plain picture. A badge given to the button itself is drawn
// on the picture.
TEST_F(WebPadTest, TheQueuesBrowserBadgeLeavesTheTransfersButtonPlain) {
  openBrowser();
  // The browser of the tab the right-hand bar shows.
  auto nav = std::dynamic_pointer_cast<NavigationController>(
      delegate->tabBarControllerRight()->selectedViewController());
  ASSERT_TRUE(nav);
  auto browser = std::dynamic_pointer_cast<ValtryWebBrowserView>(nav->topViewController());
  ASSERT_TRUE(browser);
  auto badge = [&] { return probe->find<BarButtonItem>("Show Transfers")->imageName(); };
  delegate->badgeValtry(" 2 ");
  EXPECT_EQ(badge(), "valtry-list.png");
  browser->badgeBatchButton(" 2 ");
  const auto badged = badge();
  EXPECT_NE(badged, "valtry-list.png");
  EXPECT_TRUE(media::ImageRegistry::shared().imageNamed(badged));
  browser->badgeBatchButton("");
  EXPECT_EQ(badge(), "valtry-list.png");
}

TEST_F(WebTest, PlainTextPagesKeepTheirLinesAndShowNoMarkup) {
  ASSERT_TRUE(probe->tapTab("Web View"));
  auto engine = std::make_shared<WebPageEngine>();
  web()->setEngine(engine);
  go(peer->hostPort() + "/notes.txt");
  const auto &page = engine->page();
  EXPECT_NE(page.find("<pre style=\"white-space: pre-wrap\">line one\n  &lt;b&gt;two&lt;/b&gt; "
                      "&amp; three\r\n\nend</pre>"),
            std::string::npos)
      << page;
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  // An HTML page stays as it came.
  go(peer->hostPort() + "/page/1");
  EXPECT_EQ(engine->page().find("<pre"), std::string::npos);
  EXPECT_NE(engine->page().find("<title>Page 1</title>"), std::string::npos);
}

// Full screen moves the whole right-hand tab bar so that its navigation bar lies above the screen
// and its tab bar below it, over the left pane; Regular Screen gives the pane its place back, and
// so does a turn, which takes the restore button away.
TEST_F(WebPadTest, FullScreenMovesTheTabBarOutOfViewAndATurnNeverStrandsIt) {
  openBrowser();
  auto split = delegate->mySplitVC();
  ASSERT_TRUE(split);
  const double top = MySplitView::kTop, bars = 44 + 49;
  struct Case {
    Orientation turn;
    Rect full;
  };
  for (const Case &c : {Case{Orientation::Portrait, {0, top - 44, 768, 1024 + bars}},
                        Case{Orientation::LandscapeLeft, {0, top - 44, 1024, 768 + bars}}}) {
    DeviceProfile::setOrientation(c.turn);
    ASSERT_TRUE(probe->rotate(InterfaceOrientation(int(c.turn)))) << probe->lastError();
    advance(0.6);
    const Rect pane = split->rightViewFrame();
    ASSERT_TRUE(probe->tap("Full Screen")) << probe->lastError();
    advance(0.6);
    EXPECT_EQ(split->rightViewFrame(), c.full) << int(c.turn);
    ASSERT_TRUE(probe->tap("Regular Screen")) << probe->lastError();
    advance(0.6);
    EXPECT_EQ(split->rightViewFrame(), pane) << int(c.turn);
    EXPECT_FALSE(probe->find("Regular Screen"));
  }
  const Rect turned = split->rightViewFrame();
  ASSERT_TRUE(probe->tap("Full Screen"));
  advance(0.6);
  DeviceProfile::setOrientation(Orientation::Portrait);
  ASSERT_TRUE(probe->rotate(InterfaceOrientation::Portrait)) << probe->lastError();
  advance(0.6);
  EXPECT_NE(split->rightViewFrame(), turned);
  EXPECT_EQ(split->rightViewFrame().origin.y, top);
  EXPECT_FALSE(probe->find("Regular Screen"));
}

// The keyboard button beside the address: the browser switches between the URL keyboard with Go
// and the plain one with Search; the Web View tab switches the keyboard only.
TEST_F(WebPadTest, TheKeyboardButtonSwitchesTheKeyboardAndTheBrowsersReturnKey) {
  set("History", "0"); // no list over the field while it is edited
  struct Case {
    const char *screen;
    ReturnKeyType plain;
  };
  for (const Case &c :
       {Case{"Web View", ReturnKeyType::Go}, Case{"browser", ReturnKeyType::Search}}) {
    std::shared_ptr<WebPreviewViewController> screen;
    if (std::string(c.screen) == "browser") openBrowser();
    if (auto tab = std::dynamic_pointer_cast<NavigationController>(
            delegate->tabBarControllerRight()->selectedViewController()))
      screen = std::dynamic_pointer_cast<WebPreviewViewController>(tab->topViewController());
    ASSERT_TRUE(screen) << c.screen;
    auto address = screen->urlField;
    // Editing the address shows the keyboard button at its left end.
    ASSERT_TRUE(probe->tap(address)) << probe->lastError();
    for (int press = 0; press < 2; ++press) {
      ASSERT_TRUE(address->leftView());
      ASSERT_TRUE(probe->tap(address->leftView())) << c.screen << ": " << probe->lastError();
      const bool plain = press == 0;
      EXPECT_EQ(address->keyboardType(), plain ? KeyboardType::Default : KeyboardType::URL)
          << c.screen;
      EXPECT_EQ(address->returnKeyType(), plain ? c.plain : ReturnKeyType::Go) << c.screen;
      EXPECT_TRUE(address->isFirstResponder()) << c.screen;
    }
  }
}

// Under the browser front end the page answers the screen's scripts itself, later or never: the
// answers reach the tab when they come, a bound ends every wait, and an answer meant for an
// earlier page is not taken for the page shown.
// The browser tab shown in the tablet's right-hand pane.
std::shared_ptr<ValtryWebBrowserView> shownBrowser(FerrowenAppDelegate &delegate) {
  auto nav = std::dynamic_pointer_cast<NavigationController>(
      delegate.tabBarControllerRight()->selectedViewController());
  return nav ? std::dynamic_pointer_cast<ValtryWebBrowserView>(nav->topViewController()) : nullptr;
}

TEST_F(WebPadTest, PageAnswersReachTheTabLateOrNeverWithinABound) {
  openBrowser();
  auto browser = shownBrowser(*delegate);
  ASSERT_TRUE(browser);
  auto view = browser->webView;
  view->setEngine(nullptr);
  auto item = browser->navigationController()->tabBarItem();
  auto waitingCall = [&](const std::string &script) -> uint64_t {
    auto &scripts = view->evaluatedScripts();
    for (size_t i = scripts.size(); i-- > 0;)
      if (scripts[i] == script) return view->scriptCalls()[i];
    return 0;
  };
  auto load = [&](const std::string &path) {
    view->loadRequest({peer->url(path)});
    view->finishLoad();
  };
  load("/page/2");
  const uint64_t title = waitingCall("document.title;");
  ASSERT_NE(title, 0u);
  EXPECT_NE(waitingCall("valtryAppleIcon();"), 0u) << "the tablet asks for the page's icon";
  EXPECT_EQ(waitingCall("valtryFindPos"), 0u) << "the page scripts wait for nothing";
  const auto shown = item->title();
  ASSERT_TRUE(view->answerScript(title, "<b>Late</b> title"));
  EXPECT_EQ(item->title(), "<b>Late</b> \u2026");
  EXPECT_FALSE(view->answerScript(title, "again")) << "one answer per call";
  EXPECT_EQ(item->title(), "<b>Late</b> \u2026");
  // An answer that comes after the next page started is not the next page's title.
  load("/page/1");
  const uint64_t first = waitingCall("document.title;");
  view->loadRequest({peer->url("/page/2")});
  EXPECT_TRUE(view->answerScript(first, "Old page"));
  EXPECT_NE(item->title(), "Old page");
  // A page that never answers: the wait ends with "" after the bound, and nothing changes.
  view->finishLoad();
  const uint64_t silent = waitingCall("document.title;");
  const auto before = item->title();
  advance(11);
  EXPECT_FALSE(view->answerScript(silent, "Too late"));
  EXPECT_EQ(item->title(), before);
  // What the page sends back is bounded, and never cut inside a character.
  std::string got;
  int calls = 0;
  view->evaluateJavaScript("document.body.innerText", [&](const std::string &r) {
    got = r;
    ++calls;
  });
  std::string huge;
  for (int i = 0; i < 40000; ++i)
    huge += "\u00e9";
  ASSERT_TRUE(view->answerScript(view->scriptCalls().back(), huge));
  EXPECT_EQ(calls, 1);
  EXPECT_LE(got.size(), WebView::kMaxScriptResult);
  EXPECT_EQ(got.size() % 2, 0u);
  EXPECT_EQ(got, huge.substr(0, got.size()));
  // With an engine (headless) the answer comes before the call returns.
  view->setEngine(std::make_shared<WebPageEngine>());
  calls = 0;
  view->evaluateJavaScript("document.title;", [&](const std::string &) { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(view->scriptCalls().back(), 0u);
}

// The tap window: where a touch on the page starts is where the tablet's long-tap sheet points
// (and the download star starts); a position the page makes up stays inside the view.
TEST_F(WebPadTest, TheTapWindowGivesTheTapPointToTheStarAndTheSheet) {
  openBrowser();
  auto browser = shownBrowser(*delegate);
  ASSERT_TRUE(browser);
  const auto id = probe->window().idOf(*browser->webView);
  auto touch = [&](nlohmann::json x, nlohmann::json y, int taps = 1) {
    return probe->dispatch(
        {{"event", "touch"}, {"id", id}, {"phase", "began"}, {"x", x}, {"y", y}, {"taps", taps}});
  };
  ASSERT_TRUE(touch(40, 60)) << probe->lastError();
  EXPECT_EQ(browser->lastTapPoint, Point(40, 60));
  EXPECT_FALSE(touch("40", 60));
  EXPECT_FALSE(touch(40, nullptr));
  EXPECT_FALSE(touch(5, 5, 2)) << "a double tap is no tap that starts";
  EXPECT_EQ(browser->lastTapPoint, Point(40, 60));
  ASSERT_TRUE(touch(1e12, -30));
  EXPECT_EQ(browser->lastTapPoint, Point(browser->webView->bounds().size.width, 0));
  // A touch elsewhere in the window is none of the page's.
  auto field = probe->find<TextField>("Address");
  ASSERT_TRUE(field);
  ASSERT_TRUE(probe->dispatch({{"event", "touch"},
                               {"id", probe->window().idOf(*field)},
                               {"phase", "began"},
                               {"x", 3},
                               {"y", 4}}));
  EXPECT_EQ(browser->lastTapPoint, Point(browser->webView->bounds().size.width, 0));

  ASSERT_TRUE(touch(120, 200));
  ASSERT_TRUE(follow("longtap://href=" + peer->url("/files/tapped.zip")));
  ASSERT_FALSE(probe->window().actionSheets().empty());
  EXPECT_EQ(probe->window().actionSheets().back()->anchor().rect, Rect(120, 200, 1, 1));
  ASSERT_TRUE(probe->answerSheet("Copy This Address")) << probe->lastError();
}

// On the phone the Web View tab's own page turns into the landscape container and comes back as
// the tab's root, turn after turn.
TEST_F(WebTest, TheWebViewTabsOwnPageTurnsIntoTheLandscapeContainer) {
  set(kWebPreviewTabKey, "1");
  ASSERT_TRUE(probe->tapTab("Web View"));
  auto nav = delegate->navigationControllerWeb();
  ASSERT_EQ(nav->viewControllers().size(), 1u);
  auto root = nav->topViewController();
  auto turn = [&](Orientation o) {
    DeviceProfile::setOrientation(o);
    ASSERT_TRUE(probe->rotate(InterfaceOrientation(int(o)))) << probe->lastError();
    advance(0.02);
  };
  for (int round = 0; round < 2; ++round) {
    turn(Orientation::LandscapeRight);
    ASSERT_EQ(modalCount(), 1u);
    EXPECT_EQ(delegate->getCurTabViewController(), root);
    EXPECT_EQ(root->parentViewController(), delegate->landscapeView());
    EXPECT_EQ(root->view()->frame(), Rect(0, 0, 480, 320));
    turn(Orientation::Portrait);
    EXPECT_EQ(modalCount(), 0u);
    ASSERT_EQ(nav->viewControllers().size(), 1u);
    EXPECT_EQ(nav->topViewController(), root);
  }
}
