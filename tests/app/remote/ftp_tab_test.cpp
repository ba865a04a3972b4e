// The FTP tab's screens without a server: the connect screen's checks, normalisation and bookmark
// auto-connect, the web addresses it hands over and keeps, the edit-state restore at start (iPad
// file tabs too), the permissions editor, and the folder screen's button for an entry, its rows
// and title, where its sheets open on iPad, and how an SFTP error stays and goes.
#include "app/cloud/iCloudFolderView.h"
#include "app/remote/ChmodViewController.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"

#include "tests/app/foundation/ScreenFixture.h"
#include "tests/support/EditRecords.h"
#include "tests/support/FolderChecks.h"
#include "tests/support/IdleSftp.h"
#include "tests/support/LabelFit.h"

#include "app/foundation/Database.h"
#include "app/foundation/DirTableCell.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/Reachability.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPConnection.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/BitmapContext.h"
#include "tests/support/TimeScale.h"

#include <sqlite3.h>

#include <cmath>
#include <cstdio>

using namespace platform;
using namespace platform::ui;

using testsupport::IdleSftp;

namespace {

std::shared_ptr<DirItemInfo> entry(const char *name, int64_t size, bool folder = false) {
  auto e = std::make_shared<DirItemInfo>();
  e->setName(name);
  e->size = std::to_string(size);
  e->isDirectory = folder;
  return e;
}

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

// Each protocol's hint (a long example address) shows whole on the connect screen, at a smaller
// size where it must.
TEST_F(FtpTabTest, ConnectScreenLabelsShowWholeForEveryProtocol) {
  showConnect();
  for (int segment = 0; segment < 3; ++segment) {
    connect->protocolType->setSelectedSegmentIndex(segment);
    connect->changeProtocolType();
    EXPECT_EQ(testsupport::labelsCutIn(*connect->view()), std::vector<std::string>{}) << segment;
  }
}

// The three fields are typed in the shared input font (whatever it is: the text fields' own
// default happens to look the same), and their hints still show whole in it.
TEST_F(FtpTabTest, ConnectFieldsUseTheInputFont) {
  myTextInputFont = Font::system(Font::systemFontSize() + 5);
  showConnect();
  for (auto &field : {connect->serverName, connect->loginUser, connect->loginPass}) {
    SCOPED_TRACE(field->placeholder());
    EXPECT_EQ(field->font(), myTextInputFont);
    EXPECT_TRUE(
        testsupport::fitOfText(field->placeholder(), field->font(), field->frame().size, 1).whole);
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

// A port out of range is refused with its reason before anything is stored or connected, over
// each protocol and for a new bookmark; ports 1 and 65535 pass on (to the next check: offline).
TEST_F(FtpTabTest, APortOutOfRangeIsRefusedBeforeAnythingIsStored) {
  showConnect();
  struct Case {
    const char *server;
    bool refused;
  } cases[] = {{"host.example:0", true},          {"host.example:65536", true},
               {"host.example:70000/pub", true},  {"host.example:99999999999", true},
               {"sftp://host.example:-22", true}, {"ftps://host.example:21a", true},
               {"host.example:1", false},         {"sftp://host.example:65535/home", false}};
  for (auto &c : cases) {
    for (int segment : {0, 2}) {
      set(kServerNameKey, "before");
      connect->protocolType->setSelectedSegmentIndex(segment);
      connect->serverName->setText(c.server);
      ASSERT_TRUE(probe->tap("Connect"));
      const auto alerts = probe->pendingAlerts();
      ASSERT_EQ(alerts.size(), 1u) << c.server;
      EXPECT_EQ(alerts[0].title, c.refused ? "Server Format Error" : "No Internet?") << c.server;
      if (c.refused) {
        EXPECT_EQ(alerts[0].message, "The port must be a number from 1 to 65535.");
      }
      EXPECT_EQ(get(kServerNameKey), "before") << c.server;
      ASSERT_TRUE(probe->answerAlert("OK"));
    }
    ASSERT_TRUE(probe->tap("Add Bookmark"));
    if (c.refused) {
      ASSERT_EQ(alertTitles(), std::vector<std::string>{"Server Format Error"}) << c.server;
      ASSERT_TRUE(probe->answerAlert("OK"));
    } else {
      EXPECT_TRUE(alertTitles().empty()) << c.server;
      connect->navigationController()->popToRootViewControllerAnimated(false);
    }
  }
}

// SFTP needs system 4.0: below it the connect is refused with the device's version and model,
// whether the segment or the typed address asks for SFTP, before anything is stored or made.
TEST_F(FtpTabTest, SftpBelowSystemFourIsRefusedBeforeAnythingIsMade) {
  int made = 0;
  SFTPWrapper::setMaker([&made]() -> std::shared_ptr<SFTPWrapper> {
    ++made;
    return std::make_shared<IdleSftp>();
  });
  struct Case {
    const char *version, *model;
    int segment;
    const char *server;
    bool refused;
  } cases[] = {
      {"3.1.3", "iPhone", 2, "host.example", true},
      {"3.2", "iPod touch", 0, "sftp://host.example", true},
      {"3.0", "iPhone", 0, "host.example:22", true},
      {"3.2", "iPhone", 2, "host.example:21", true}, // the segment asked for SFTP
      {"4.0", "iPhone", 2, "host.example", false},
      {"5.1.1", "iPad", 0, "SFTP://host.example", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.version) + " " + c.server);
    auto device = DeviceProfile::iPhone();
    device.systemVersion = c.version;
    device.model = c.model;
    DeviceProfile::setCurrent(device);
    showConnect();
    connect->hooks.reachable = [] { return true; };
    set(kServerNameKey, "before");
    connect->protocolType->setSelectedSegmentIndex(c.segment);
    connect->changeProtocolType();
    connect->serverName->setText(c.server);
    made = 0;
    ASSERT_TRUE(probe->tap("Connect"));
    if (!c.refused) {
      EXPECT_TRUE(alertTitles().empty());
      EXPECT_EQ(made, 1);
      auto screen = std::dynamic_pointer_cast<DirViewer>(probe->topViewController());
      ASSERT_TRUE(screen);
      EXPECT_EQ(get(kServerNameKey), "host.example");
      RunLoop::main()->runUntil([&] { return screen->sftpOperationsRunning() == 0; },
                                testsupport::scaled(seconds(10)));
      continue;
    }
    auto alerts = probe->pendingAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "Higher iOS Version Needed");
    EXPECT_EQ(alerts[0].message, std::string("The SFTP connection type requires iOS 4.0 or "
                                             "higher.\n(You have version ") +
                                     c.version + ").\n\nPlease update the iOS version on your " +
                                     c.model + ".");
    EXPECT_EQ(alerts[0].buttons, std::vector<std::string>{"OK"});
    ASSERT_TRUE(probe->answerAlert("OK"));
    // Nothing made, pushed or stored; the fields and the segment as they were.
    EXPECT_EQ(made, 0);
    EXPECT_EQ(probe->topViewController(), connect);
    EXPECT_FALSE(connect->sftpConnection);
    EXPECT_EQ(get(kServerNameKey), "before");
    EXPECT_EQ(connect->serverName->text(), c.server);
    EXPECT_EQ(connect->protocolType->selectedSegmentIndex(), c.segment);
  }
  SFTPWrapper::setMaker(nullptr);
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

// The connect screen points the shared reachability object at a public web host: asked about the
// remote host, it answers for that host rather than for none.
TEST_F(FtpTabTest, TheSharedReachabilityWatchesAPublicHost) {
  auto &shared = Reachability::sharedReachability();
  shared.reset();
  std::vector<std::string> asked;
  shared.setFlagsSourceForTesting([&](const std::string &text, uint32_t &flags) {
    asked.push_back(text);
    flags = platform::net::ReachabilityReachable;
    return true;
  });
  EXPECT_EQ(shared.remoteHostStatus(), NotReachable) << "no host yet";
  showConnect();
  const std::string host = shared.hostName();
  EXPECT_FALSE(host.empty());
  EXPECT_EQ(host.find_first_of("/: "), std::string::npos) << host << " is a host name";
  EXPECT_NE(host, "localhost");
  EXPECT_FALSE(Reachability::addressFromString(host, nullptr)) << "a name, not an address";
  EXPECT_EQ(shared.remoteHostStatus(), ReachableViaWiFiNetwork);
  EXPECT_EQ(asked, std::vector<std::string>{host});
  shared.reset();
}

// The device's shake, as the page's Shake control and the probe send it, clears the connect fields
// on the phone when none is being edited (twice within half a second clears once); the tablet
// takes no shakes there.
TEST_F(FtpTabTest, AShakeClearsTheConnectFieldsOnThePhone) {
  struct Case {
    bool pad, editing, cleared;
  } cases[] = {{false, false, true}, {false, true, false}, {true, false, false}};
  for (auto &c : cases) {
    DeviceProfile::setCurrent(c.pad ? DeviceProfile::iPad() : DeviceProfile::iPhone());
    showConnect();
    connect->serverName->setText("host.example");
    connect->loginUser->setText("joe");
    connect->loginPass->setText("pw");
    if (c.editing) {
      ASSERT_TRUE(probe->tap(connect->loginUser)) << probe->lastError();
    }
    advance(seconds(1));
    ASSERT_TRUE(probe->shake()) << probe->lastError();
    const std::vector<std::string> typed{"host.example", "joe", "pw"};
    std::vector<std::string> left{connect->serverName->text(), connect->loginUser->text(),
                                  connect->loginPass->text()};
    EXPECT_EQ(left, c.cleared ? std::vector<std::string>(3) : typed)
        << (c.pad ? "tablet" : "phone") << (c.editing ? ", editing" : "");
    if (!c.cleared) continue;
    // A second shake at once clears nothing the person typed since.
    connect->serverName->setText("other.example");
    advance(seconds(0.2));
    ASSERT_TRUE(probe->shake());
    EXPECT_EQ(connect->serverName->text(), "other.example");
  }
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
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
  const std::string saved = Paths::documents() + "/mine.txt";
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

  // A temporary copy being edited is offered, and removed on Cancel. The phone's editor keeps
  // its record twice (plainly and as the first tab's): Cancel forgets both, password and all.
  Connect::restoreDone = false;
  const testsupport::EditRecord record{"host.example", "joe",        "secret", 21, "ftp",
                                       "/docs",        "edited.txt", "typed",  "1"};
  const std::string working = testsupport::leaveEditRecord(record),
                    slotWorking = testsupport::leaveEditRecord(record, 0);
  connect->restoreEditState();
  EXPECT_EQ(probe->pendingAlerts().back().title, "Continue Editing File?");
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  EXPECT_FALSE(FileManager::fileExists(working));
  EXPECT_FALSE(FileManager::fileExists(slotWorking));
  EXPECT_EQ(testsupport::editRecordNow(), "");
  EXPECT_EQ(testsupport::editRecordNow(0), "");
}

TEST_F(FtpTabTest, PermissionsEditorReadsTheListingAndHandsBackOnSaveOnly) {
  // Three digits are handed back; the set-id and sticky bits have no toggles, so what the listing
  // shows of them is kept as a leading fourth digit.
  struct Case {
    const char *attrib, *label, *attributes;
    int value;
  } cases[] = {{"drwxr-x---", "750", "750", 0750},
               {"-rwsr-xr-t", "5755", "5755", 05755},
               {"-rwSr-Sr-T", "7644", "7644", 07644},
               {"drwxrws---", "2770", "2770", 02770},
               {"-rwxr-xr-x+", "000", "000", 0}, // another length: nothing known
               {"", "000", "000", 0}};
  for (auto &c : cases) {
    auto editor = std::make_shared<ChmodViewController>();
    editor->name = "item";
    editor->attribIn = c.attrib;
    int saved = -1;
    std::string sent;
    editor->setDoneTarget([&](ChmodViewController &e) {
      saved = e.attribInt;
      sent = e.attributes;
    });
    nav->pushViewController(editor, false);
    EXPECT_EQ(editor->attributes, c.attributes) << c.attrib;
    EXPECT_EQ(editor->ispermLabel->text(), std::string("= ") + c.label);
    ASSERT_TRUE(probe->tap("Others Write"));
    ASSERT_TRUE(probe->tap("Cancel"));
    EXPECT_EQ(saved, -1);
    nav->pushViewController(editor, false);
    ASSERT_TRUE(probe->tap("Save"));
    EXPECT_EQ(saved, c.value + 2) << c.attrib;
    char octal[8];
    std::snprintf(octal, sizeof octal, "%03o", unsigned(c.value + 2));
    EXPECT_EQ(sent, octal) << c.attrib;
  }
}

TEST_F(FtpTabTest, RightButtonForTheCheckedEntry) {
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

TEST_F(FtpTabTest, WebAddressesOfBookmarks) {
  // A picked bookmark's address opens in the web tab once.
  set("WebPreviewTab", "1");
  set("OpenInWebView", "http://picked.example/");
  std::vector<std::string> opened;
  connect = std::make_shared<Connect>();
  connect->hooks.openWebViewURL = [&](const std::string &url) { opened.push_back(url); };
  window->setRootViewController(std::make_shared<NavigationController>(connect));
  connect->viewWillAppear(false);
  EXPECT_EQ(opened, std::vector<std::string>{"http://picked.example/"});
  EXPECT_EQ(get("OpenInWebView"), "");

  // A new bookmark keeps the web tab's address, unless it is one of the program's own pages.
  struct Case {
    const char *shown, *kept;
  } cases[] = {{"http://docs.example.org/a?b=1", "http://docs.example.org/a?b=1"},
               {"http://www.ferrowen.example/welcome/3/", ""},
               {"https://FERROWEN.example:8443/x", ""},
               {"http://ferrowen.example.evil.test/", "http://ferrowen.example.evil.test/"},
               {"", ""}};
  int n = 0;
  for (auto &c : cases) {
    connect->hooks.webViewURL = [&] { return std::string(c.shown); };
    connect->serverName->setText("host" + std::to_string(++n) + ".example");
    connect->doAddBookmark("b");
    sqlite3 *db = OpenDatabase();
    ASSERT_TRUE(db);
    EXPECT_NE(SQLGetCountNotZero(db, "SELECT pk FROM bookmark WHERE server='" +
                                         connect->serverName->text() + "' AND weburl='" + c.kept +
                                         "'"),
              0)
        << c.shown;
    sqlite3_close(db);
  }
}

TEST_F(FtpTabTest, AddedBookmarkKeepsThePasswordOnlyWhenPasswordsAreStored) {
  showConnect();
  connect->loginUser->setText("joe");
  connect->loginPass->setText("secret");
  for (bool store : {true, false}) {
    set(kSavePasswordsKey, store ? "1" : "0");
    set(kUserPassKey, "stale");
    const std::string server = store ? "kept.example" : "unkept.example";
    connect->serverName->setText(server);
    connect->doAddBookmark(server);
    sqlite3 *db = OpenDatabase();
    ASSERT_TRUE(db);
    const std::string kept = store ? myEncryptString1("secret") : "";
    EXPECT_EQ(SQLGetCountNotZero(db, "SELECT pk FROM bookmark WHERE server='" + server +
                                         "' AND user='joe' AND password='" + kept + "'"),
              1)
        << server;
    sqlite3_close(db);
    EXPECT_EQ(get(kUserPassKey), kept) << server;
  }
}

TEST_F(FtpTabTest, IPadReopensTheUsedFileTabsInOrder) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  set("TabIndexMax", "4");
  // Slot 3 was left by an earlier version, which kept no port or protocol: it opens nowhere.
  for (int slot : {0, 2, 3}) {
    set(keyIndexIsUsed(slot), "1");
    set(keyForTab(slot, "EditingServerAddress"), "server" + std::to_string(slot));
    set(keyForTab(slot, "EditingFTPFile"), "/tmp/file" + std::to_string(slot));
    set(keyForTab(slot, "EditingFileName"), "file" + std::to_string(slot));
    if (slot == 3) continue;
    set(keyForTab(slot, kWasEditingServerPortKey), slot == 0 ? "21" : "2222");
    set(keyForTab(slot, kWasEditingProtocolKey), slot == 0 ? "ftp" : "sftp");
  }
  // Slot 0's file holds no edits; slot 2's record does not say (it counts as changed).
  set(keyForTab(0, kWasEditingChangedKey), "0");
  set(keyIndexIsUsed(1), "0");
  set(kServerNameKey, "mine.example");
  connect = std::make_shared<Connect>();
  connect->hooks.reachable = [] { return false; };
  std::vector<std::string> opened;
  int renumbered = 0;
  connect->hooks.openEditorTab = [&](const std::string &path, const std::string &name,
                                     const std::string &, const EditOrigin &origin, bool changed) {
    // The editor takes its server from the settings as it is made.
    opened.push_back(path + "|" + name + "|" + get(kServerNameKey) + "|" + origin.protocol + ":" +
                     std::to_string(origin.port) + (changed ? "|changed" : "|as it came"));
  };
  connect->hooks.fixTabIndexes = [&] { ++renumbered; };
  window->setRootViewController(std::make_shared<NavigationController>(connect));
  RunLoop::main()->runPending();
  ASSERT_EQ(alertTitles(), std::vector<std::string>{"Continue Editing?"});
  EXPECT_EQ(probe->pendingAlerts()[0].message,
            "3 File(s) were being edited when Ferrowen was closed.");
  ASSERT_TRUE(probe->answerAlert("Edit File(s)"));
  EXPECT_EQ(opened, (std::vector<std::string>{"/tmp/file0|file0|server0|ftp:21|as it came",
                                              "/tmp/file2|file2|server2|sftp:2222|changed"}));
  EXPECT_EQ(renumbered, 1);
  EXPECT_EQ(get(kServerNameKey), "mine.example");
  ASSERT_EQ(alertTitles(), std::vector<std::string>{"Cannot Reopen"});
  EXPECT_EQ(probe->pendingAlerts()[0].message,
            "\"file3\" cannot be reopened: which server it came from was not kept with it.");
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

TEST_F(FtpTabTest, FolderScreenRowsTitleAndSheets) {
  for (bool pad : {false, true}) {
    DeviceProfile::setCurrent(pad ? DeviceProfile::iPad() : DeviceProfile::iPhone());
    auto sftp = std::make_shared<IdleSftp>();
    sftp->setServer("host.example");
    auto screen = DirViewer::initWithExistingSFTPConnection(sftp);
    nav->pushViewController(screen, false);
    screen->gotDirectory(*sftp, {entry("sub", 0, true), entry("a.txt", 5)});
    EXPECT_EQ(screen->currentToolbar, 2);
    EXPECT_EQ(screen->originalRootDir, "/home/u");
    // Two lines: the server, and "/" for the starting folder.
    auto title = screen->navigationItem().titleView();
    ASSERT_TRUE(title);
    ASSERT_EQ(title->subviews().size(), 2u);
    EXPECT_EQ(std::dynamic_pointer_cast<Label>(title->subviews()[0])->text(), "host.example");
    EXPECT_EQ(std::dynamic_pointer_cast<Label>(title->subviews()[1])->text(), "/");
    // Each row's menu button names its row; folders and files have their own images.
    const std::string device = pad ? "ipad" : "iphone";
    for (auto [row, name, image] :
         {std::tuple{0, "sub", device + "-button-dir.png"}, {1, "a.txt", device + "-button.png"}}) {
      auto cell = screen->tableView->cellForRowAtIndexPath(IndexPath{0, row});
      ASSERT_TRUE(cell);
      auto button = std::dynamic_pointer_cast<TableCellButton>(cell->accessoryView());
      ASSERT_TRUE(button) << name;
      EXPECT_EQ(button->accessibilityLabel(), std::string(name) + " Menu");
      EXPECT_EQ(button->imageForState(ControlState::Normal), image);
    }
    EXPECT_EQ(screen->getFolderContentsDictionary(),
              (std::map<std::string, std::string>{{"a.txt", "1"}, {"sub", "1"}}));
    // iPad: sheets open from the button or the row that asked for them; iPhone: the tab bar or
    // the view.
    ASSERT_TRUE(probe->tap("a.txt Menu")) << probe->lastError();
    auto sheets = window->actionSheets();
    ASSERT_FALSE(sheets.empty());
    EXPECT_EQ(sheets.back()->anchor().kind == Anchor::Kind::Rect, pad);
    ASSERT_TRUE(probe->answerSheet("Cancel"));
    ASSERT_TRUE(probe->tap("Sort"));
    EXPECT_EQ(window->actionSheets().back()->anchor().kind == Anchor::Kind::BarButtonItem, pad);
    ASSERT_TRUE(probe->answerSheet("Cancel"));
    nav->popToRootViewControllerAnimated(false);
  }
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

// The row menus of both kinds of folder screen: a move is a rename into another folder and is
// offered over FTP only; raw commands over FTP with the setting on; permissions always over SFTP
// (an FTP screen offers them once a listing showed it can).
TEST_F(FtpTabTest, RowMenusOfFtpAndSftpScreens) {
  const struct {
    bool sftp;
    const char *rawOption, *row;
    std::vector<std::string> menu;
  } cases[] = {
      {false,
       "1",
       "a.txt",
       {"Delete File", "Rename File", "Move File", "Raw FTP Command", "Cancel"}},
      {false,
       "1",
       "sub",
       {"Delete Folder", "Download Folder", "Rename Folder", "Move Folder", "Raw FTP Command",
        "Cancel"}},
      {false, "0", "a.txt", {"Delete File", "Rename File", "Move File", "Cancel"}},
      {true, "1", "a.txt", {"Delete File", "Rename File", "Permissions (CHMOD)", "Cancel"}},
      {true,
       "1",
       "sub",
       {"Delete Folder", "Download Folder", "Rename Folder", "Permissions (CHMOD)", "Cancel"}},
      {true, "0", "a.txt", {"Delete File", "Rename File", "Permissions (CHMOD)", "Cancel"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.sftp ? "SFTP " : "FTP ") + c.row + " raw " + c.rawOption);
    set(kRawMenuOptionKey, c.rawOption);
    auto sftp = std::make_shared<IdleSftp>();
    auto screen = c.sftp ? DirViewer::initWithExistingSFTPConnection(sftp)
                         : DirViewer::initWithExistingConnection(std::make_shared<FTPConnection>());
    nav->pushViewController(screen, false);
    const DirItemList listing{entry("sub", 0, true), entry("a.txt", 5)};
    if (c.sftp)
      screen->gotDirectory(*sftp, listing);
    else
      screen->replaceDirectory(listing);
    ASSERT_TRUE(probe->tap(std::string(c.row) + " Menu")) << probe->lastError();
    auto sheets = window->actionSheets();
    ASSERT_FALSE(sheets.empty());
    EXPECT_EQ(sheets.back()->title(), c.row);
    EXPECT_EQ(sheets.back()->buttonTitles(), c.menu);
    ASSERT_TRUE(probe->answerSheet("Cancel"));
    nav->popToRootViewControllerAnimated(false);
  }
}

// A row's menu button makes its row the checked one, on FTP and SFTP screens alike, whatever was
// checked before; a rename from the menu then clears the check.
TEST_F(FtpTabTest, ARowsMenuButtonMakesItsRowTheCheckedOneAndARenameClearsIt) {
  auto show = [&](bool sftpScreen) {
    auto sftp = std::make_shared<IdleSftp>();
    auto screen = sftpScreen
                      ? DirViewer::initWithExistingSFTPConnection(sftp)
                      : DirViewer::initWithExistingConnection(std::make_shared<FTPConnection>());
    nav->pushViewController(screen, false);
    const DirItemList listing{entry("sub", 0, true), entry("a.txt", 5), entry("b.txt", 5)};
    if (sftpScreen) {
      screen->gotDirectory(*sftp, listing);
    } else {
      screen->replaceDirectory(listing);
      screen->setLoadedDirectory(true);
      screen->showDirToolbar();
    }
    return screen;
  };
  const struct {
    bool sftp;
    const char *checkedBefore; // none: nothing checked
    const char *row;
  } cases[] = {{true, nullptr, "a.txt"},  {false, nullptr, "a.txt"}, {true, "b.txt", "a.txt"},
               {false, "b.txt", "a.txt"}, {true, "a.txt", "a.txt"},  {true, "b.txt", "sub"},
               {false, "a.txt", "sub"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.sftp ? "SFTP" : "FTP") + ", " + c.row +
                 ", checked before: " + (c.checkedBefore ? c.checkedBefore : "none"));
    auto screen = show(c.sftp);
    if (c.checkedBefore) {
      ASSERT_TRUE(probe->tapRow(c.checkedBefore)) << probe->lastError();
    }
    // A text file opens for editing, or for viewing only over an anonymous FTP login; a folder
    // has no such button, and Download fetches either.
    const bool file = std::string(c.row) != "sub";
    const std::string open = !file ? "" : c.sftp ? "Edit" : "View";
    EXPECT_TRUE(testsupport::menuButtonChecksRow(
        *probe, *screen->tableView, [&] { return probe->tap(std::string(c.row) + " Menu"); }, c.row,
        file, "Download", true, open));
    nav->popToRootViewControllerAnimated(false);
  }
  for (const bool sftp : {true, false}) {
    SCOPED_TRACE(sftp ? "a rename over SFTP" : "a rename over FTP");
    auto screen = show(sftp);
    ASSERT_TRUE(probe->tap("a.txt Menu")) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet("Rename File")) << probe->lastError();
    probe->clear("Rename File To:");
    ASSERT_TRUE(probe->type("Rename File To:", "c.txt")) << probe->lastError();
    ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
    RunLoop::main()->runPending();
    EXPECT_TRUE(screen->filenameExists("c.txt"));
    screen->showDirToolbar(); // as when the server's answer comes
    EXPECT_TRUE(testsupport::checkedShown(*probe, *screen->tableView, "", false, "Download"));
    EXPECT_FALSE(probe->rightItem());
    nav->popToRootViewControllerAnimated(false);
  }
}

// A folder row's menu checks the row without marking it (only files are drawn marked): whatever
// the menu did, and after the folder was listed again, the first tap on that folder opens it. A
// file row checked by its menu keeps its old way: the next tap takes its mark away.
TEST_F(FtpTabTest, AFolderLeftByItsMenuOpensAtTheFirstTap) {
  const struct {
    bool sftp;
    const char *row; // the folder (Latin-1 or ASCII) or the file whose menu was used
    const char *answer;
  } cases[] = {{true, "caf\xc3\xa9", "Permissions (CHMOD)"},
               {true, "pics", "Permissions (CHMOD)"},
               {true, "pics", "Cancel"},
               {false, "caf\xc3\xa9", "Cancel"}, // (an FTP listing without permissions)
               {false, "pics", "Cancel"},
               {true, "a.txt", "Permissions (CHMOD)"},
               {false, "a.txt", "Cancel"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.sftp ? "SFTP " : "FTP ") + c.row + ", " + c.answer);
    auto sftp = std::make_shared<IdleSftp>();
    auto screen = c.sftp ? DirViewer::initWithExistingSFTPConnection(sftp)
                         : DirViewer::initWithExistingConnection(std::make_shared<FTPConnection>());
    nav->pushViewController(screen, false);
    // The Latin-1 folder as the server names it, shown as read.
    auto latin1 = entry("caf\xc3\xa9", 0, true);
    latin1->setNameBytes("caf\xe9");
    const DirItemList listing{latin1, entry("pics", 0, true), entry("a.txt", 5)};
    auto list = [&] {
      if (c.sftp) {
        screen->gotDirectory(*sftp, listing);
      } else {
        screen->replaceDirectory(listing);
        screen->setLoadedDirectory(true);
        screen->showDirToolbar();
      }
    };
    list();
    ASSERT_TRUE(probe->tap(std::string(c.row) + " Menu")) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet(c.answer)) << probe->lastError();
    if (std::string(c.answer) != "Cancel") {
      ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
    }
    RunLoop::main()->runPending();
    ASSERT_EQ(nav->topViewController(), screen);
    list(); // the server's answer, or the person's Refresh
    ASSERT_TRUE(probe->tapRow(c.row)) << probe->lastError();
    RunLoop::main()->runPending();
    const bool folder = std::string(c.row) != "a.txt";
    auto opened = std::dynamic_pointer_cast<DirViewer>(nav->topViewController());
    if (folder) {
      ASSERT_TRUE(opened && opened != screen) << "the first tap left the folder closed";
      EXPECT_EQ(opened->currentTitle, c.row);
      EXPECT_FALSE(screen->saveIndexPath);
    } else {
      EXPECT_EQ(opened, screen);
      EXPECT_TRUE(testsupport::checkedShown(*probe, *screen->tableView, "", false, "Download"));
    }
    // (The unconnected FTP connection's word on the folder it was asked to list.)
    for (auto alerts = probe->pendingAlerts(); !alerts.empty(); alerts = probe->pendingAlerts())
      probe->answerAlert(alerts.back().buttons.front());
    nav->popToRootViewControllerAnimated(false);
  }
}

TEST_F(FtpTabTest, ANameHiddenBySearchIsStillInUseOnTheServer) {
  auto sftp = std::make_shared<IdleSftp>();
  sftp->setServer("host.example");
  auto screen = DirViewer::initWithExistingSFTPConnection(sftp);
  nav->pushViewController(screen, false);
  screen->gotDirectory(*sftp, {entry("sub", 0, true), entry("a.txt", 5), entry("b.rtf", 1)});
  ASSERT_TRUE(probe->type("Search Folder", ".rtf")) << probe->lastError();
  ASSERT_EQ(screen->currentDirectory.size(), 1u);
  // The names the search hides are the server's all the same: nothing may be created, renamed
  // or uploaded over them.
  for (const char *name : {"a.txt", "sub", "b.rtf"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(screen->filenameAlreadyInUse(name));
    RunLoop::main()->runPending();
    auto alerts = probe->pendingAlerts();
    ASSERT_FALSE(alerts.empty());
    EXPECT_EQ(alerts.back().message, "A file with that name already exists in the folder.");
    probe->answerAlert("OK");
  }
  EXPECT_FALSE(screen->filenameAlreadyInUse("c.txt"));
}

TEST_F(FtpTabTest, TheCheckedFileStaysCheckedWhenTheListChanges) {
  auto sftp = std::make_shared<IdleSftp>();
  sftp->setServer("host.example");
  auto screen = DirViewer::initWithExistingSFTPConnection(sftp);
  nav->pushViewController(screen, false);
  screen->gotDirectory(*sftp, {entry("sub", 0, true), entry("b.txt", 5), entry("c.txt", 5)});
  ASSERT_TRUE(probe->tapRow("c.txt")) << probe->lastError();
  auto rowOf = [&](const std::string &name) -> std::optional<int> {
    for (size_t i = 0; i < screen->currentDirectory.size(); ++i)
      if (screen->currentDirectory[i]->name() == name) return int(i);
    return std::nullopt;
  };
  auto expectChecked = [&](const char *name) {
    EXPECT_TRUE(testsupport::checkedShown(*probe, *screen->tableView, name ? name : "",
                                          name != nullptr, "Download"));
    EXPECT_EQ(screen->saveIndexPath, name ? rowOf(name) : std::nullopt);
    EXPECT_EQ(probe->rightItem() ? probe->rightItem()->name : "", name ? "Edit" : "");
  };
  expectChecked("c.txt");
  // The server's listing changes under the checked file: it keeps its mark on its new row.
  struct Change {
    const char *what;
    DirItemList listing;
  } changes[] = {
      {"a new file sorted before it",
       {entry("sub", 0, true), entry("a.txt", 1), entry("b.txt", 5), entry("c.txt", 5)}},
      {"a new folder",
       {entry("new", 0, true), entry("sub", 0, true), entry("a.txt", 1), entry("b.txt", 5),
        entry("c.txt", 5)}},
      {"another file renamed after it",
       {entry("new", 0, true), entry("sub", 0, true), entry("b.txt", 5), entry("c.txt", 5),
        entry("d.txt", 1)}},
  };
  for (const Change &c : changes) {
    SCOPED_TRACE(c.what);
    const auto before = screen->saveIndexPath;
    screen->gotDirectory(*sftp, c.listing);
    EXPECT_NE(screen->saveIndexPath, before);
    expectChecked("c.txt");
  }
  // The search moves it too; hidden by the search nothing is checked for Download, and it is
  // checked again when the search is cleared.
  ASSERT_TRUE(probe->type("Search Folder", "c")) << probe->lastError();
  EXPECT_EQ(screen->saveIndexPath, 0);
  expectChecked("c.txt");
  ASSERT_TRUE(probe->type("c", "x")) << probe->lastError();
  expectChecked(nullptr);
  ASSERT_TRUE(probe->backspace("cx", 2)) << probe->lastError();
  expectChecked("c.txt");
  // Gone from the folder: nothing is checked, and Download says so.
  screen->gotDirectory(*sftp, {entry("sub", 0, true), entry("b.txt", 5)});
  expectChecked(nullptr);
  screen->gotDirectory(*sftp, {entry("sub", 0, true), entry("b.txt", 5), entry("c.txt", 5)});
  expectChecked(nullptr);
}

TEST_F(FtpTabTest, SftpErrorStaysItsWhileThenTheFolderToolbarReturns) {
  auto sftp = std::make_shared<IdleSftp>();
  auto screen = DirViewer::initWithExistingSFTPConnection(sftp);
  nav->pushViewController(screen, false);
  screen->gotDirectory(*sftp, {entry("a.txt", 5)});
  ASSERT_EQ(screen->currentToolbar, 2);
  // An error, left alone: shown for six seconds, through the end of its operation.
  screen->errorStatus(*sftp, "Error Deleting File!");
  screen->sftpConnectionDone(*sftp);
  EXPECT_EQ(screen->currentToolbar, 3);
  EXPECT_EQ(screen->progressText->text(), "Error Deleting File!");
  advance(seconds(5.5));
  EXPECT_EQ(screen->currentToolbar, 3);
  advance(seconds(1));
  EXPECT_EQ(screen->currentToolbar, 2);
  // An error followed by new work: the work's status stays.
  screen->errorStatus(*sftp, "Error Renaming File!");
  advance(seconds(2));
  screen->connectStatus(*sftp, "Loading Directory...");
  advance(seconds(10));
  EXPECT_EQ(screen->currentToolbar, 3);
  EXPECT_EQ(screen->progressText->text(), "Loading Directory...");
  // A screen that is not connected waits in the status toolbar, whatever it had listed.
  sftp->connected = false;
  screen->showAppropriateToolbar();
  screen->viewWillAppear(false);
  EXPECT_EQ(screen->currentToolbar, 3);
}

// "Delete All Files" in a folder with no files: the question counts none, and after "Delete All"
// the folder toolbar (Refresh, Sort, Download, Menu) is back, over FTP as over SFTP.
TEST_F(FtpTabTest, DeleteAllFilesInAFolderWithoutFilesGivesTheFolderToolbarBack) {
  for (bool sftpScreen : {false, true})
    for (const DirItemList &listing : {DirItemList{}, DirItemList{entry("sub", 0, true)}}) {
      SCOPED_TRACE(std::string(sftpScreen ? "SFTP, " : "FTP, ") + std::to_string(listing.size()) +
                   " folders");
      auto sftp = std::make_shared<IdleSftp>();
      auto ftp = std::make_shared<FTPConnection>();
      ftp->setLoginUser("joe"); // not anonymous: the folder commands are offered
      auto screen = sftpScreen ? DirViewer::initWithExistingSFTPConnection(sftp)
                               : DirViewer::initWithExistingConnection(ftp);
      nav->pushViewController(screen, false);
      if (sftpScreen) {
        screen->gotDirectory(*sftp, listing);
      } else { // as the connection hands a finished listing over
        screen->replaceDirectory(listing);
        screen->setCurrentWorkingDirectory("/pub");
        screen->setLoadedDirectory(true);
        screen->showDirToolbar();
      }
      ASSERT_EQ(screen->currentToolbar, 2);
      ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
      ASSERT_TRUE(probe->answerSheet("Delete All Files")) << probe->lastError();
      ASSERT_EQ(probe->pendingAlerts().size(), 1u);
      EXPECT_EQ(probe->pendingAlerts()[0].title, "Confirm Delete All Files");
      EXPECT_EQ(probe->pendingAlerts()[0].message,
                "This will delete 0 files in the folder!  Continue?");
      ASSERT_TRUE(probe->answerAlert("Delete All"));
      EXPECT_TRUE(RunLoop::main()->runUntil([&] { return screen->currentToolbar == 2; },
                                            testsupport::scaled(seconds(10))));
      for (const char *button : {"Refresh", "Sort", "Download", "Menu"})
        EXPECT_TRUE(probe->find(button)) << button;
      nav->popToRootViewControllerAnimated(false);
    }
}

// A folder screen made with an FTP connection of its own, each its own; and the progress
// toolbar's stop button, made with that toolbar but not on it, which gives the folder toolbar back.
TEST_F(FtpTabTest, AScreenOfItsOwnConnectionAndTheProgressToolbarsStopButton) {
  auto screen = DirViewer::initWithNibName("DirViewer");
  auto other = DirViewer::initWithNibName("DirViewer");
  ASSERT_TRUE(screen->theConnection);
  EXPECT_NE(screen->theConnection, other->theConnection);
  EXPECT_FALSE(screen->sftpConnection);
  nav->pushViewController(screen, false);
  screen->showWorkingToolbar();
  ASSERT_EQ(screen->currentToolbar, 1);
  ASSERT_TRUE(screen->cancelBtn);
  for (const auto &item : screen->theToolbar->items())
    EXPECT_NE(item, screen->cancelBtn);
  EXPECT_FALSE(probe->find("Stop"));
  std::string why;
  ASSERT_TRUE(screen->cancelBtn->userTap(why)) << why;
  EXPECT_EQ(screen->currentToolbar, 2);
  for (const char *button : {"Refresh", "Sort", "Download", "Menu"})
    EXPECT_TRUE(probe->find(button)) << button;
}

// The status label is as wide as its text and two points taller, however long the text is.
TEST_F(FtpTabTest, TheStatusLabelFitsItsText) {
  auto sftp = std::make_shared<IdleSftp>();
  auto screen = DirViewer::initWithExistingSFTPConnection(sftp);
  nav->pushViewController(screen, false);
  screen->showWorkingTextToolbar();
  for (const char *text : {"Connecting to Server...", "Error: the server closed the connection "
                                                      "while the folder was being listed"}) {
    SCOPED_TRACE(text);
    screen->updateProgressText(text);
    const auto fit = media::measureText(text, toFontSpec(screen->progressText->font()));
    const Rect frame = screen->progressText->frame();
    EXPECT_GE(frame.size.width, fit.width);
    EXPECT_LT(frame.size.width, fit.width + 1);
    EXPECT_EQ(frame.size.height, std::ceil(fit.height) + 2);
  }
}

// A picture source the test holds open: a camera, and on the tablet a picker in a popover.
struct HeldPictureSource : CloudMediaSource {
  bool hasCamera() override { return true; }
  bool hasLibrary() override { return true; }
  std::shared_ptr<PopoverController>
  pick(bool, int, const std::shared_ptr<BarButtonItem> &from,
       std::function<void(std::optional<PickedMedia>)>) override {
    popover = std::make_shared<PopoverController>(std::make_shared<ViewController>("Picker"));
    popover->presentPopoverFromBarButtonItem(from, ArrowAny, true);
    return popover;
  }
  std::shared_ptr<PopoverController> popover;
};

// While the picture source sheet or the picker is up, neither the sort nor the folder menu opens.
TEST_F(FtpTabTest, FolderMenusWaitForThePictureSourceAndThePicker) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  auto source = std::make_shared<HeldPictureSource>();
  CloudMediaSource::setShared(source);
  auto sftp = std::make_shared<IdleSftp>();
  auto screen = DirViewer::initWithExistingSFTPConnection(sftp);
  nav->pushViewController(screen, false);
  screen->gotDirectory(*sftp, {entry("a.txt", 5)});
  auto sheetTitles = [&] {
    std::vector<std::string> out;
    for (auto &sheet : probe->pendingSheets())
      out.push_back(sheet.title);
    return out;
  };
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(
      probe->answerSheet(screen->hasVideoMedia ? "Upload Picture/Video" : "Upload Picture"));
  const std::vector<std::string> sourceSheet{screen->hasVideoMedia ? "Picture/Video Uploading"
                                                                   : "Import Picture"};
  ASSERT_EQ(sheetTitles(), sourceSheet);
  // The sheet takes the taps; the buttons' own actions are refused.
  screen->clickSort();
  screen->clickMenuBtn();
  EXPECT_EQ(sheetTitles(), sourceSheet);
  ASSERT_TRUE(probe->answerSheet("Select from Library"));
  ASSERT_TRUE(source->popover && source->popover->isPopoverVisible());
  // And while the picker's popover is up.
  screen->clickSort();
  screen->clickMenuBtn();
  EXPECT_TRUE(sheetTitles().empty());
  source->popover->dismissPopoverAnimated(false);
  ASSERT_TRUE(probe->tap("Sort"));
  EXPECT_EQ(sheetTitles(), std::vector<std::string>{"Sort Folder"});
  ASSERT_TRUE(probe->answerSheet("Cancel"));
  CloudMediaSource::setShared(nullptr);
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

} // namespace

namespace {

// Two files whose names read alike ("café.txt" stored in UTF-8 and in ISO Latin-1) are two rows:
// tapping one checks that row only, the other stays as it was, and a new listing keeps the mark
// on the file that was tapped, wherever it now stands.
TEST_F(FtpTabTest, OfTwoNamesThatReadAlikeOnlyTheTappedOneIsChecked) {
  auto screen = DirViewer::initWithExistingConnection(std::make_shared<FTPConnection>());
  nav->pushViewController(screen, false);
  auto named = [](const char *bytes, int64_t size) {
    auto e = entry("caf\xC3\xA9.txt", size);
    e->setNameBytes(bytes);
    return e;
  };
  auto utf8 = named("caf\xC3\xA9.txt", 5), latin1 = named("caf\xE9.txt", 6);
  screen->replaceDirectory({entry("a.txt", 1), utf8, latin1});
  screen->setLoadedDirectory(true);
  screen->showDirToolbar();
  auto drawnChecked = [&] { return testsupport::checkedRows(*screen->tableView).size(); };
  for (const auto &tapped : {utf8, latin1}) {
    SCOPED_TRACE(tapped->nameBytes().value_or(""));
    const auto at =
        std::find(screen->currentDirectory.begin(), screen->currentDirectory.end(), tapped) -
        screen->currentDirectory.begin();
    ASSERT_TRUE(probe->tapRow(IndexPath{0, int(at)})) << probe->lastError();
    EXPECT_EQ(drawnChecked(), 1u);
    EXPECT_EQ(screen->saveIndexPath, std::optional<int>(int(at)));
    // The same two files listed again, the other first: the mark stays with the tapped one.
    auto other = tapped == utf8 ? latin1 : utf8;
    screen->replaceDirectory({entry("a.txt", 1), named(other->nameBytes()->c_str(), 7),
                              named(tapped->nameBytes()->c_str(), 8)});
    EXPECT_EQ(drawnChecked(), 1u);
    ASSERT_TRUE(screen->saveIndexPath);
    EXPECT_EQ(screen->currentDirectory[size_t(*screen->saveIndexPath)]->nameBytes(),
              tapped->nameBytes());
    ASSERT_TRUE(probe->tapRow(IndexPath{0, *screen->saveIndexPath})); // unchecks it
    EXPECT_EQ(drawnChecked(), 0u);
    screen->replaceDirectory({entry("a.txt", 1), utf8, latin1});
  }
}

} // namespace
