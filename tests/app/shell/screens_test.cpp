// The settings screen, the passcode setup, the help and the log screens, driven through the probe
// on the launched application.
#include "AppFixture.h"
#include "tests/app/sharing/FtpTestClient.h"
#include "tests/support/LabelFit.h"

#include "app/foundation/EditDataViewController.h"
#include "app/ftp/FTPConnection.h"
#include "app/shell/HelpScreens.h"
#include "tests/app/ftp/FtpConnectionThread.h"

#include "platform/device/MailService.h"
#include "tests/support/TimeScale.h"

using namespace platform;
using namespace platform::ui;

namespace {

class ScreensTest : public AppTest {
protected:
  void openSettings(const DeviceProfile &profile = DeviceProfile::iPhone()) {
    boot(profile);
    ASSERT_TRUE(probe->tapTab("Settings")) << probe->lastError();
    settingsView = delegate->settingsView();
  }
  std::string stored(const std::string &key) {
    return UserDefaults::standard().stringForKey(key).value_or("");
  }
  // Scrolls the table as a person does until the row is in view.
  void reveal(const std::shared_ptr<TableView> &table, IndexPath ip) {
    const double y = table->rectForRowAtIndexPath(ip).origin.y;
    ASSERT_TRUE(probe->dispatch(
        {{"event", "scroll"}, {"id", probe->window().idOf(*table)}, {"x", 0.0}, {"y", y}}));
  }
  // The settings row with that label, brought into view.
  IndexPath row(const std::string &label) {
    for (int s = 0; s < 9; ++s) {
      auto rows = settingsView->rowsOfSection(s);
      for (size_t r = 0; r < rows.size(); ++r)
        if (rows[r].label == label) {
          reveal(settingsView->tableView(), {s, int(r)});
          return {s, int(r)};
        }
    }
    ADD_FAILURE() << "no row " << label;
    return {};
  }
  bool flip(const std::string &label, bool on) {
    row(label);
    return probe->setSwitch(label, on);
  }
  // Picks a row of the edit screen's list, or types its text, then goes back.
  void edit(IndexPath ip, const std::string &choice) {
    reveal(settingsView->tableView(), ip);
    ASSERT_TRUE(probe->tapRow(ip)) << probe->lastError();
    auto e = std::dynamic_pointer_cast<EditDataViewController>(probe->topViewController());
    ASSERT_TRUE(e);
    if (e->dataType == EditDataViewController::kDataTypeList) {
      int index = 0;
      while (size_t(index) < e->tableItems.size() && e->tableItems[size_t(index)].name != choice)
        ++index;
      reveal(e->tableData, {0, index});
      ASSERT_TRUE(probe->tapRow(choice)) << probe->lastError();
    } else {
      e->textData->setText(choice);
    }
    if (probe->topViewController() == e) {
      ASSERT_TRUE(probe->tapBack());
    }
  }
  std::shared_ptr<SettingsViewController> settingsView;
};

} // namespace

TEST_F(ScreensTest, EverySwitchWritesItsKey) {
  openSettings();
  const std::pair<const char *, const char *> rows[] = {
      {"Auto-Save All Opened\nFiles to \"Saved Files\"", "AutoSaveAllDownloads"},
      {"Skip Overwrite Prompt\nIf Saved File Exists", "OverwriteSaveFiles"},
      {"Show \"Hidden\" Files", "ShowHiddenFiles"},
      {"Upload To Temporary\n*.upload.* Name", "UploadToTempName"},
      {"Delete *.old.* Files\nAfter Uploads Complete", "DeleteDotOldFiles"},
      {"Spell Check", "SpellChecker"},
      {"Special \"Code\" Keyboard", "WebKeyboard"},
      {"Store Login Passwords", "SavePasswords"},
      {"Bookmarks Auto-Connect\nWhen Selected", "BookmarksAutoOpen"},
      {"\"PASV\" Mode", "UsePASV"},
      {"\"Mode Z\" Compression", "ModeZ"},
      {"Always Use Unicode", "AlwaysUnicode"},
      {"Maximum Compatibility\n(No Advanced Features)", "NoAdvancedFTPFeatures"},
      {"\"Raw FTP Command\"\nOption in FTP Menus", "RawMenuOption"},
      {"Force SFTP Version 3", "SFTPForceV3"},
  };
  for (auto [label, key] : rows) {
    const bool was = globalUserDefaults->integerForKey(key) != 0;
    ASSERT_TRUE(flip(label, !was)) << label << ": " << probe->lastError();
    EXPECT_EQ(stored(key), was ? "0" : "1") << label;
    ASSERT_TRUE(flip(label, was));
    EXPECT_EQ(stored(key), was ? "1" : "0") << label;
  }
}

TEST_F(ScreensTest, ListAndTextRowsStoreTheirChoices) {
  openSettings();
  struct Case {
    IndexPath row;
    std::string choice, key, value, shown;
  };
  for (const Case &c : {
           Case{{0, 0}, "UNIX File Permissions", "ExtraFolderDetails", "2", "Permissions"},
           Case{{0, 1}, "Current Date/", "DefaultDownloadFolder", "4", "Date/"},
           Case{{1, 0}, "Korean (EUC-KR)", "DefaultEncoding", "2368", "EUC-KR"},
           Case{{1, 1}, "CR+LF (Windows Format)", "CarriageControl", "1", "CR+LF"},
           Case{{1, 2}, "Fixed Width", "DefaultFont", "1", "Fixed Width"},
           Case{{1, 3}, "Huge.  Text is this size", "DefaultFontSize", "3", "Huge"},
           Case{{2, 0}, "share", "FileShareUser", "share", "share"},
           Case{{2, 2}, "0", "ActiveServerMinutes", "0", "Forever"},
           Case{{5, 5}, "Cyrillic (KOI8-R)", "FolderTextEncoding", "2562", "KOI8-R"},
           Case{{6, 1}, "Traditional Chinese (Big5)", "SFTPEncoding", "2563", "Big5"},
       }) {
    edit(c.row, c.choice);
    EXPECT_EQ(stored(c.key), c.value) << c.key;
    auto row = settingsView->rowsOfSection(c.row.section)[size_t(c.row.row)];
    EXPECT_EQ(row.value(), c.shown) << c.key;
  }
  EXPECT_EQ(showFolderExtra, 2);
  // The password is stored scrambled and shown as stars; its editor starts descrambled.
  edit({2, 1}, "pw 1");
  EXPECT_EQ(myDecryptString1(stored("FileSharePass")), "pw 1");
  EXPECT_EQ(settingsView->rowsOfSection(2)[1].value(), "******");
  // A code outside the table shows nothing.
  set("DefaultEncoding", "3");
  EXPECT_EQ(settingsView->rowsOfSection(1)[0].value(), "");
  EXPECT_EQ(SettingsViewController::encodingToSelected(3), 0);
}

TEST_F(ScreensTest, SharingSwitchesStartAndStopRealListeners) {
  openSettings();
  EXPECT_EQ(settingsView->rowsOfSection(2).size(), 5u);
  ASSERT_TRUE(flip("Enable Web Server", true));
  auto web = delegate->webServerListener();
  ASSERT_NE(web, nullptr);
  const int webPort = web->port();
  EXPECT_TRUE(testsupport::tcpPortAccepts(webPort));
  auto rows = settingsView->rowsOfSection(2);
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[4].label.rfind("Web Address:\t", 0), 0u);
  EXPECT_EQ(rows[5].label, "Enable FTP Server");
  ASSERT_TRUE(flip("Enable FTP Server", true));
  ASSERT_NE(delegate->ftpServerListener(), nullptr);
  EXPECT_EQ(settingsView->rowsOfSection(2).back().label.rfind("FTP Address:\t", 0), 0u);
  // The Bonjour name shows only when usable.
  delegate->serverDidEnableBonjour(*web, "Kitchen");
  EXPECT_EQ(SettingsViewController::plusBonjourText(2121),
            "\nBy Name:       \tKitchen.local port 2121");
  delegate->serverDidEnableBonjour(*web, "Joe's");
  EXPECT_EQ(SettingsViewController::plusBonjour(8080), "");
  ASSERT_TRUE(flip("Enable Web Server", false));
  ASSERT_TRUE(flip("Enable FTP Server", false));
  EXPECT_EQ(delegate->webServerListener(), nullptr);
  EXPECT_EQ(delegate->ftpServerListener(), nullptr);
  EXPECT_FALSE(testsupport::tcpPortAccepts(webPort));
  EXPECT_EQ(stored(kWebServerKey), "0");
}

TEST_F(ScreensTest, PasscodeIsSetOnlyWhenBothEntriesMatch) {
  openSettings();
  struct Case {
    std::string first, second, stored, shown;
    bool alert;
  };
  for (const Case &c :
       {Case{"abc", "abd", "", "Off", true}, Case{"abc", "abc", "abc", "Enabled", false},
        Case{"", "", "", "Off", false}}) {
    row("Startup Lock");
    ASSERT_TRUE(probe->tapRow("Startup Lock")) << probe->lastError();
    auto setup = std::dynamic_pointer_cast<SetupLockViewer>(probe->topViewController());
    ASSERT_TRUE(setup);
    // Both fields say what goes in them before anything is typed.
    EXPECT_TRUE(probe->find("New Passcode") && probe->find("Repeat the Passcode"));
    EXPECT_FALSE(setup->password1->placeholder().empty() ||
                 setup->password2->placeholder().empty());
    EXPECT_EQ(testsupport::labelsCutIn(*setup->view()), std::vector<std::string>{});
    for (auto [field, name, text] : {std::tuple{setup->password1, "Passcode", c.first},
                                     std::tuple{setup->password2, "Repeat Passcode", c.second}}) {
      const size_t old = field->text().size();
      EXPECT_TRUE(old == 0 || probe->backspace(name, old)) << probe->lastError();
      EXPECT_TRUE(text.empty() || probe->type(name, text)) << probe->lastError();
    }
    ASSERT_TRUE(probe->tapBack());
    EXPECT_EQ(storedPasscode(), c.stored);
    EXPECT_EQ(!probe->pendingAlerts().empty(), c.alert);
    if (c.alert) {
      ASSERT_TRUE(probe->answerAlert("OK"));
    }
    EXPECT_EQ(settingsView->rowsOfSection(3)[1].value(), c.shown);
  }
}

// Every label of the settings screen shows whole, at the font and lines the screen gives it, in a
// row of the grouped table as the phone lays it out: 10 points of margin and of padding each side,
// then the switch or the chevron, and the value text on the right. Both profiles show the screen
// 320 points wide (the iPad in its left pane).
void expectSettingsLabelsWhole(SettingsViewController &settings, const std::string &profile) {
  auto table = settings.tableView();
  const double width = 320;
  for (int s = 0; s < 8; ++s) {
    if (auto header = settings.viewForHeaderInSection(*table, s))
      for (auto &v : header->subviews())
        if (auto label = std::dynamic_pointer_cast<Label>(v)) {
          EXPECT_TRUE(testsupport::fitOfLabel(*label).whole) << label->text() << profile;
          EXPECT_LE(label->frame().origin.x + label->frame().size.width, width);
        }
    const auto rows = settings.rowsOfSection(s);
    for (size_t r = 0; r < rows.size(); ++r) {
      auto cell = settings.cellForRowAtIndexPath(*table, {s, int(r)});
      double room = width - 2 * 10 - 2 * 10;
      if (auto accessory = cell->accessoryView())
        room -= accessory->frame().size.width + 10;
      else if (rows[r].onSelect)
        room -= 20; // the chevron
      const std::string value = cell->detailTextLabel()->text();
      if (!value.empty())
        room -=
            testsupport::fitOfText(value, cell->detailTextLabel()->font(), {1e4, 100}, 1).width +
            10;
      auto text = cell->textLabel();
      const auto fit =
          testsupport::fitOfText(text->text(), text->font(), {room, 44}, text->numberOfLines());
      EXPECT_TRUE(fit.whole) << text->text() << " in " << room << " points" << profile;
    }
  }
}

TEST_F(ScreensTest, SettingsLabelsShowWholeOnThePhone) {
  set(kWebServerKey, "1");
  set(kFTPServerKey, "1");
  openSettings();
  expectSettingsLabelsWhole(*settingsView, " (iPhone)");
}

TEST_F(ScreensTest, SettingsLabelsShowWholeOnTheTablet) {
  set(kWebServerKey, "1");
  set(kFTPServerKey, "1");
  openSettings(DeviceProfile::iPad());
  expectSettingsLabelsWhole(*settingsView, " (iPad)");
}

TEST_F(ScreensTest, SharingHelpShowsItsStepsAndAddressWhole) {
  set(kWebServerKey, "1");
  boot();
  auto help = std::make_shared<SharingHelpView>();
  ASSERT_TRUE(help->view());
  EXPECT_NE(help->urlText->text().find(':'), std::string::npos) << "the address with its port";
  EXPECT_EQ(testsupport::labelsCutIn(*help->view()), std::vector<std::string>{});
}

TEST_F(ScreensTest, HelpAndLogScreens) {
  openSettings();
  ASSERT_TRUE(probe->tap("Help: Text Editor")) << probe->lastError();
  auto help = std::dynamic_pointer_cast<HelpViewController>(probe->topViewController());
  ASSERT_TRUE(help);
  EXPECT_EQ(help->webNews->loads().back().url,
            std::string(kHelpSiteBase) + "help-settings300.php#editor");
  ASSERT_TRUE(probe->tapBack());

  // What a help screen loads: HTML first, then a file, then the address (escaped unless it
  // carries a fragment).
  struct Case {
    std::string html, file, url, loaded;
  };
  for (const Case &c :
       {Case{"<b>x</b>", "", "http://a/b", ""}, Case{"", "/r/e.html", "", "file:///r/e.html"},
        Case{"", "", "/r/f.html", "file:///r/f.html"},
        Case{"", "", "http://a/b c#d e", "http://a/b c#d e"},
        Case{"", "", "http://a/b c", "http://a/b%20c"}}) {
    auto h = HelpViewController::withURL("T", c.url);
    h->htmlText = c.html;
    h->fileUrlIn = c.file;
    h->view();
    EXPECT_EQ(h->webNews->loads().back().html, c.html);
    if (c.html.empty()) {
      EXPECT_EQ(h->webNews->loads().back().url, c.loaded);
    }
  }
  // A failed load falls back once to the backup file, then shows the error in red.
  auto h = HelpViewController::withBackupFile("T", "http://a/", "/r/backup.html");
  h->view();
  h->webNews->failLoad("offline");
  EXPECT_EQ(h->webNews->loads().back().url, "file:///r/backup.html");
  h->webNews->failLoad("gone");
  EXPECT_NE(h->webNews->loads().back().html.find("An error occurred:<br>gone"), std::string::npos);

  // The log screen: an introduction while there are no logs, then the last run's logs.
  ASSERT_TRUE(probe->tap("Log"));
  EXPECT_NE(probe->topViewController()->title().find("Transfer Log"), std::string::npos);
  auto log = std::dynamic_pointer_cast<LogViewController>(probe->topViewController());
  EXPECT_EQ(log->theText->text().rfind("The transfer logs from Ferrowen will be shown here.", 0),
            0u);
  EXPECT_FALSE(probe->rightItem()->enabled);
  testsupport::writeFile(Paths::tmp() + "/Ferrowen.log", ">>> USER earlier-run");
  log->viewWillAppear(false);
  EXPECT_EQ(log->theText->text().rfind("Below are the transfer logs from the last time", 0), 0u);
  EXPECT_TRUE(probe->rightItem()->enabled);
}

// On the phone the settings screen shows the status bar while it is in view; when it goes (the
// log pushed over it, another tab) the bar is as it was before, on every screen.
TEST_F(ScreensTest, TheStatusBarIsTheSettingsScreensOnlyWhileItIsInView) {
  auto &app = Application::shared();
  openSettings();
  for (const bool hiddenBefore : {false, true}) {
    SCOPED_TRACE(hiddenBefore ? "hidden before" : "shown before");
    ASSERT_TRUE(probe->tapTab("FTP"));
    app.setStatusBarHidden(hiddenBefore);
    ASSERT_TRUE(probe->tapTab("Settings"));
    advance(0.2);
    EXPECT_FALSE(app.isStatusBarHidden()) << "on the settings screen";
    ASSERT_TRUE(probe->tap("Log"));
    advance(0.2);
    EXPECT_EQ(app.isStatusBarHidden(), hiddenBefore) << "on the log";
    for (const char *tab : {"FTP", "Saved Files", "Web View", "Transfers"}) {
      ASSERT_TRUE(probe->tapTab(tab));
      advance(0.2);
      EXPECT_EQ(app.isStatusBarHidden(), hiddenBefore) << "on " << tab << ", the log left open";
    }
    ASSERT_TRUE(probe->tapTab("Settings"));
    ASSERT_TRUE(probe->tapBack());
    advance(0.2);
    EXPECT_FALSE(app.isStatusBarHidden()) << "back on the settings screen";
    ASSERT_TRUE(probe->tapTab("Transfers"));
    advance(0.2);
    EXPECT_EQ(app.isStatusBarHidden(), hiddenBefore) << "after the settings screen";
  }
  app.setStatusBarHidden(false);
}

TEST_F(ScreensTest, LogScreenShowsTheBrowsingConnectionsTranscriptAndMailsIt) {
  std::vector<MailMessage> mailed;
  MailService::setRecorder([&](const MailMessage &m) {
    mailed.push_back(m);
    return true;
  });
  openSettings();
  delegate->startFTPServer();
  const int port = delegate->ftpServerListener()->port();
  std::shared_ptr<FTPConnection> conn;
  auto loop = startThread("browsing", [&] {
    auto c = std::make_shared<FTPConnection>();
    RunLoop::main()->perform([&conn, c] { conn = c; });
  });
  ASSERT_TRUE(
      RunLoop::main()->runUntil([&] { return conn != nullptr; }, testsupport::scaled(seconds(10))));
  conn->setMainConnection(true);
  conn->setSkipSSL(true);
  conn->setServerAddress("127.0.0.1:" + std::to_string(port));
  conn->setLoginUser("anyone");
  conn->connect();
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return conn->fIsLoggedIn(); },
                                        testsupport::scaled(seconds(20))));
  delegate->setFtpConnection(conn);
  ASSERT_TRUE(BatchAppServices::shared()->browsingTransfer());

  ASSERT_TRUE(probe->tap("Log"));
  auto log = std::dynamic_pointer_cast<LogViewController>(probe->topViewController());
  ASSERT_TRUE(log);
  EXPECT_NE(log->theText->text().find(">>> USER anyone"), std::string::npos);
  EXPECT_NE(log->theText->text().find("\r\n\r\n------ Transfers ------\r\n\r\n"),
            std::string::npos);
  ASSERT_TRUE(probe->tap("Compose")) << probe->lastError();
  ASSERT_EQ(mailed.size(), 1u);
  EXPECT_EQ(mailed[0].subject, "Log for Ferrowen 3.0");
  EXPECT_EQ(mailed[0].toRecipients, std::vector<std::string>{kHelpDeskAddress});
  EXPECT_NE(mailed[0].body.find(">>> USER anyone"), std::string::npos);
  // A mail program that does not take the message: the person is told so.
  MailService::setRecorder([](const MailMessage &) { return false; });
  ASSERT_TRUE(probe->tap("Compose")) << probe->lastError();
  ASSERT_EQ(probe->pendingAlerts().size(), 1u);
  EXPECT_EQ(probe->pendingAlerts()[0].title, "Mail");
  ASSERT_TRUE(probe->answerAlert("OK"));

  // In the background the browsing connection is closed.
  Application::shared().enterBackground();
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return !conn->isStreamConnected(); },
                                        testsupport::scaled(seconds(10))));
  delegate->setFtpConnection(nullptr);
  MailService::setRecorder(nullptr);
  ftptest::stopConnectionOnItsThread(conn, loop);
}
