// The FTP tab's screens without a server: the connect screen's checks, normalisation and bookmark
// auto-connect, the edit-state restore at start, the permissions editor and the folder screen's
// button for an entry.
#include "app/remote/ChmodViewController.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"

#include "tests/app/foundation/ScreenFixture.h"

#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;
using namespace platform::ui;

namespace {

class FtpTabTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    RegisterDefaultSettings();
    set("TutorialPrompt", "1");
    Connect::restoreDone = false;
  }
  void set(const std::string &key, const std::string &value) {
    UserDefaults::standard().setObject(value, key);
  }
  std::string get(const std::string &key) {
    return UserDefaults::standard().stringForKey(key).value_or("");
  }
  // The connect screen as the FTP tab's root; offline, so a connect that passes the first checks
  // ends at "No Internet?".
  std::shared_ptr<Connect> showConnect() {
    connect = std::make_shared<Connect>();
    connect->hooks.reachable = [] { return false; };
    connect->hooks.cleanupDownloadedFiles = [this] { ++cleanups; };
    window->setRootViewController(std::make_shared<NavigationController>(connect));
    RunLoop::main()->runPending();
    return connect;
  }
  std::vector<std::string> alertTitles() {
    std::vector<std::string> out;
    for (auto &a : probe->pendingAlerts())
      out.push_back(a.title);
    return out;
  }
  std::shared_ptr<Connect> connect;
  int cleanups = 0;
};

TEST_F(FtpTabTest, ServerTextNormalisation) {
  struct Case {
    const char *typed;
    int segment;
    const char *server;
    int expected;
  } cases[] = {
      {"ftps://host.example:990/pub", 0, "host.example:990/pub", 1},
      {"SFTP://host.example", 0, "host.example", 2},
      {"http://host.example", 1, "host.example", 1},
      {"ftp://host.example", 0, "host.example", 0},
      {"host.example:21", 2, "host.example:21", 1},
      {"host.example:990", 2, "host.example:990", 1},
      {"host.example:22", 0, "host.example:22", 2},
      {"host.example/path", 1, "host.example/path", 1},
  };
  for (auto &c : cases) {
    auto t = normaliseServerText(c.typed, c.segment);
    EXPECT_EQ(t.server, c.server) << c.typed;
    EXPECT_EQ(t.segment, c.expected) << c.typed;
  }
}

TEST_F(FtpTabTest, ConnectChecksStopBeforeAnythingIsStored) {
  showConnect();
  struct Case {
    const char *server, *alert;
  } cases[] = {{"", "No Server Entered"},
               {"joe@host.example", "Server Format Error"},
               {"ftp://host.example", "No Internet?"}};
  for (auto &c : cases) {
    set(kServerNameKey, "before");
    connect->serverName->setText(c.server);
    ASSERT_TRUE(probe->tap("Connect"));
    ASSERT_EQ(alertTitles(), std::vector<std::string>{c.alert}) << c.server;
    EXPECT_EQ(get(kServerNameKey), "before");
    ASSERT_TRUE(probe->answerAlert("OK"));
  }
  EXPECT_EQ(connect->serverName->text(), "ftp://host.example");
}

TEST_F(FtpTabTest, APickedBookmarkConnectsOnceAndNotOnLaterAppearances) {
  set(kServerNameKey, "host.example");
  set(kUserNameKey, "joe");
  set(kUserPassKey, myEncryptString1("pw"));
  set(kBookmarksAutoOpenKey, "1");
  showConnect();
  EXPECT_TRUE(alertTitles().empty()); // no bookmark picked: no connect
  set(kOpenBookmarkNowKey, "1");
  for (int appearance = 0; appearance < 2; ++appearance) {
    connect->viewWillAppear(false);
    EXPECT_EQ(alertTitles().size(), 1u) << appearance;
  }
  EXPECT_EQ(get(kOpenBookmarkNowKey), "0");
}

TEST_F(FtpTabTest, RestoreAtStartAsksOnceAndClearsOnlyTemporaryCopies) {
  const std::string temp = Paths::tmp() + "/edited.txt", saved = Paths::documents() + "/mine.txt";
  testsupport::writeFile(temp, "x");
  testsupport::writeFile(saved, "y");
  set(kEditingFTPFile, Paths::tmp() + "/gone.txt");
  set(kWasViewingFile, saved);
  set("ImgEdit-EditingNow", "1");
  set("ImgEdit-EditingSize", std::to_string(50 * 1048576));
  showConnect();
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_NE(alerts[0].message.find("the image was 50.0 MB!"), std::string::npos);
  EXPECT_EQ(alerts[1].title, "Continue Viewing File?");
  EXPECT_EQ(alerts[1].message, "\"mine.txt\" was being viewed when Ferrowen was closed.");
  // Cancel forgets the record; the viewed document in Saved Files stays.
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  EXPECT_TRUE(FileManager::fileExists(saved));
  EXPECT_EQ(get(kWasViewingFile), "");
  EXPECT_EQ(get("ImgEdit-EditingNow"), "0");
  EXPECT_EQ(cleanups, 1);
  connect->restoreEditState(); // once per process
  EXPECT_EQ(probe->pendingAlerts().size(), 1u);

  // A temporary copy being edited is offered, and removed on Cancel.
  Connect::restoreDone = false;
  set(kEditingFTPFile, temp);
  set(kWasEditingFileName, "edited.txt");
  connect->restoreEditState();
  EXPECT_EQ(probe->pendingAlerts().back().title, "Continue Editing File?");
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  EXPECT_FALSE(FileManager::fileExists(temp));
  EXPECT_EQ(get(kEditingFTPFile), "");
}

TEST_F(FtpTabTest, PermissionsEditorReadsTheListingAndHandsBackOnSaveOnly) {
  struct Case {
    const char *attrib, *attributes;
    int value;
  } cases[] = {{"drwxr-x---", "750", 488},
               {"-rwsr-xr-t", "755", 493},
               {"-rwSr-Sr-T", "644", 420},
               {"", "000", 0}};
  for (auto &c : cases) {
    auto editor = std::make_shared<ChmodViewController>();
    editor->name = "item";
    editor->attribIn = c.attrib;
    int saved = -1;
    editor->setDoneTarget([&](ChmodViewController &e) { saved = e.attribInt; });
    nav->pushViewController(editor, false);
    EXPECT_EQ(editor->attributes, c.attributes) << c.attrib;
    EXPECT_EQ(editor->ispermLabel->text(), std::string("= ") + c.attributes);
    ASSERT_TRUE(probe->tap("World Write"));
    ASSERT_TRUE(probe->tap("Cancel"));
    EXPECT_EQ(saved, -1);
    nav->pushViewController(editor, false);
    ASSERT_TRUE(probe->tap("Save"));
    EXPECT_EQ(saved, c.value + 2) << c.attrib;
  }
}

TEST_F(FtpTabTest, RightButtonForTheCheckedEntry) {
  auto entry = [](const char *name, int64_t size, bool folder = false) {
    auto e = std::make_shared<DirItemInfo>();
    e->setName(name);
    e->size = std::to_string(size);
    e->isDirectory = folder;
    return e;
  };
  struct Case {
    std::shared_ptr<DirItemInfo> e;
    bool anonymous;
    DirViewer::EditButton button;
  } cases[] = {{entry("a.txt", 261121), false, DirViewer::kView},
               {entry("a.txt", 261120), false, DirViewer::kEdit},
               {entry("a.txt", 10), true, DirViewer::kView},
               {entry("a.zip", 261120), false, DirViewer::kUnZip},
               {entry("a.tgz", 10), false, DirViewer::kUnTar},
               {entry("a.zip", 261121), false, DirViewer::kView},
               {entry("a.jpg", 5 << 20), false, DirViewer::kView},
               {entry("a.mp3", 10), false, DirViewer::kPlay},
               {entry("sub", 0, true), false, DirViewer::kNoButton}};
  for (auto &c : cases)
    EXPECT_EQ(DirViewer::buttonFor(c.e.get(), c.anonymous), c.button) << c.e->name();
  EXPECT_EQ(DirViewer::buttonFor(nullptr, false), DirViewer::kNoButton);
}

} // namespace
