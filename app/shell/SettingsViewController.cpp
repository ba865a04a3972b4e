#include "app/shell/SettingsViewController.h"

#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/shell/FerrowenAppDelegate.h"
#include "app/shell/HelpScreens.h"
#include "app/shell/PasscodeLock.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/MailService.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/media/BitmapContext.h"
#include "platform/ui/Services.h"

#include <algorithm>

using namespace platform;
using namespace platform::ui;

namespace {

struct EncodingEntry {
  const char *item;
  int code;
  const char *shown;
};

const EncodingEntry kEncodings[] = {
    {"Auto-Detect From File Contents", 0, "Automatic"},
    {"ASCII", 7, "ASCII"},
    {"Unicode (UTF-8)", 4, "UTF-8"},
    {"Unicode (UTF-16)", 10, "UTF-16"},
    {"Latin 1 (ISO-8859-1)", 5, "ISO-8859-1"},
    {"Latin 2 (ISO-8859-2)", 9, "ISO-8859-2"},
    {"Japanese (Shift JIS)", 8, "ShiftJIS"},
    {"Cyrillic (Win-1251)", 11, "Win-1251"},
    {"Cyrillic (KOI8-R)", 2562, "KOI8-R"},
    {"WinLatin 1 (Win-1252)", 12, "Win-1252"},
    {"Greek (Win-1253)", 13, "Win-1253"},
    {"Turkish (Win-1254)", 14, "Win-1254"},
    {"Hebrew (Win-1255)", 1285, "Win-1255"},
    {"Arabic (Win-1256)", 1286, "Win-1256"},
    {"Korean (EUC-KR)", 2368, "EUC-KR"},
    {"Traditional Chinese (Big5)", 2563, "Big5"},
};

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

std::string storedText(const std::string &key) {
  return settings().stringForKey(key).value_or("");
}

// The shown text of the stored choice; empty for a choice outside the list.
std::string shownChoice(const std::string &key, const std::vector<std::string> &shown) {
  const int i = settings().integerForKey(key);
  return i >= 0 && size_t(i) < shown.size() ? shown[size_t(i)] : "";
}

const char *const kHeaders[] = {"Files and Folders",
                                "Text Editor",
                                "Sharing \"Saved Files\"",
                                "Security",
                                "Miscellaneous",
                                "Advanced FTP Settings",
                                "Advanced SFTP Settings",
                                "About",
                                ""};

void (SettingsViewController::*const kHelpActions[])() = {
    &SettingsViewController::clickFtpSettingsHelp, &SettingsViewController::clickEditorHelp,
    &SettingsViewController::clickSharingHelp,     &SettingsViewController::clickSecurityHelp,
    &SettingsViewController::clickProgramHelp,     &SettingsViewController::clickFTPProtocolHelp,
    &SettingsViewController::clickSFTPProtocolHelp};

// A label beside a switch has what is left of a phone's grouped row: 320 points less the margins
// and paddings (40) and the switch with its gap (104).
constexpr double kSwitchRowTextRoom = 176;

// The label's font: the row's own size, or a point smaller when a line of it would not fit beside
// a switch (the row shows two lines at most and never shrinks them).
Font labelFont(const std::string &label, double size, bool besideSwitch) {
  if (!besideSwitch) return Font::system(size);
  double widest = 0;
  for (size_t at = 0; at <= label.size();) {
    size_t end = label.find('\n', at);
    if (end == std::string::npos) end = label.size();
    widest = std::max(
        widest,
        media::measureText(label.substr(at, end - at), toFontSpec(Font::system(size))).width);
    at = end + 1;
  }
  return Font::system(widest > kSwitchRowTextRoom ? size - 1 : size);
}

const char *const kFolderEncodingLabel =
    "Text Encoding for Folders\n\nYou should not change this unless you are seeing incorrect "
    "text in place of Chinese, Russian, Korean, Japanese, or similar characters.\n";

} // namespace

SettingsViewController::SettingsViewController(const std::string &nibName)
    : ViewController(nibName) {
  setContentSizeForViewInPopover({320, 480});
}

// --- Encodings ---------------------------------------------------------------------------------

const std::vector<std::string> &SettingsViewController::encodingDataItems() {
  static const std::vector<std::string> items = [] {
    std::vector<std::string> v;
    for (auto &e : kEncodings)
      v.push_back(e.item);
    return v;
  }();
  return items;
}

int SettingsViewController::encodingToSelected(int code) {
  for (size_t i = 0; i < std::size(kEncodings); ++i)
    if (kEncodings[i].code == code) return int(i);
  return 0;
}

int SettingsViewController::selectedToEncodingCode(int index) {
  return index >= 0 && size_t(index) < std::size(kEncodings) ? kEncodings[index].code : 0;
}

std::string SettingsViewController::selectedToDisplayEncoding(int code) {
  for (auto &e : kEncodings)
    if (e.code == code) return e.shown;
  return "";
}

std::string SettingsViewController::plusBonjour(int port) {
  return bonjourLine(" : ", port);
}

std::string SettingsViewController::plusBonjourText(int port) {
  return bonjourLine(" port ", port);
}

// --- Screen --------------------------------------------------------------------------------------

void SettingsViewController::loadView() {
  tableView_ = std::make_shared<TableView>(TableViewStyle::Grouped, Rect(0, 0, 320, 416));
  tableView_->setSectionHeaderHeight(46);
  tableView_->setSectionFooterHeight(6);
  setView(tableView_);
}

void SettingsViewController::viewDidLoad() {
  setTitle("Settings");
  auto self = sharedAs<SettingsViewController>();
  tableView_->setDataSource(std::static_pointer_cast<TableViewDataSource>(self));
  tableView_->setDelegate(std::static_pointer_cast<TableViewDelegate>(self));
  std::weak_ptr<SettingsViewController> weak = self;
  navigationItem().setLeftBarButtonItem(
      BarButtonItem::titled("Log", BarButtonItemStyle::Bordered, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickedLog();
      }));
  canEmailFiles_ = MailService::canSendMail();
  // No camera here records movies, so the import quality has nothing to choose for.
  showVideoQuality_ = false;
}

void SettingsViewController::viewWillAppear(bool) {
  tableView_->reloadData();
  if (auto d = FerrowenAppDelegate::sharedDelegate()) d->viewUsesMyScroller(false);
}

// The status bar is this screen's while it is in view: it is shown then, and left as it was
// before when the screen goes (a screen pushed over it, another tab), not hidden for every screen.
void SettingsViewController::viewDidAppear(bool) {
  if (DeviceProfile::current().isiPad()) return;
  inView_ = true;
  std::weak_ptr<SettingsViewController> weak = sharedAs<SettingsViewController>();
  RunLoop::main()->performAfter(seconds(0.01), [weak] {
    auto s = weak.lock();
    auto nav = s ? s->navigationController() : nullptr;
    if (!nav || !s->inView_) return;
    auto &app = Application::shared();
    if (!s->showsStatusBar_) s->statusBarWasHidden_ = app.isStatusBarHidden();
    s->showsStatusBar_ = true;
    app.setStatusBarHidden(false);
    animate(0.12, [nav] {
      auto f = nav->view()->frame();
      nav->view()->setFrame(Rect(f.origin.x, 20, f.size.width, f.size.height));
    });
  });
}

void SettingsViewController::viewWillDisappear(bool) {
  if (DeviceProfile::current().isiPad()) return;
  inView_ = false;
  auto nav = navigationController();
  if (!nav || !showsStatusBar_) return;
  showsStatusBar_ = false;
  Application::shared().setStatusBarHidden(statusBarWasHidden_);
  animate(0.12, [nav] {
    auto f = nav->view()->frame();
    nav->view()->setFrame(Rect(f.origin.x, 0, f.size.width, f.size.height));
  });
}

bool SettingsViewController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  auto d = FerrowenAppDelegate::sharedDelegate();
  return d ? d->shouldAutorotateToInterfaceOrientation(int(o))
           : o == InterfaceOrientation::Portrait;
}

void SettingsViewController::reloadTableView() {
  if (tableView_) tableView_->reloadData();
}

void SettingsViewController::push(std::shared_ptr<ViewController> screen) {
  if (auto nav = navigationController()) nav->pushViewController(std::move(screen), true);
}

void SettingsViewController::clickedLog() {
  push(std::make_shared<LogViewController>());
}

void SettingsViewController::showHelp(const std::string &anchor) {
  push(HelpViewController::withURL("Ferrowen Help",
                                   std::string(kHelpSiteBase) + "help-settings300.php#" + anchor));
}

// --- Rows -------------------------------------------------------------------------------------

SettingsViewController::Row
SettingsViewController::switchRow(std::string label, const char *key,
                                  void (SettingsViewController::*handler)(bool)) {
  std::weak_ptr<SettingsViewController> weak = sharedAs<SettingsViewController>();
  Row row{std::move(label), key, {}, {}, {}, false};
  row.onSwitch = [weak, handler](bool on) {
    if (auto s = weak.lock()) (s.get()->*handler)(on);
  };
  return row;
}

SettingsViewController::Row
SettingsViewController::listRow(std::string label, const char *key, std::vector<std::string> shown,
                                std::string title, std::vector<std::string> items,
                                std::string editLabel,
                                void (SettingsViewController::*handler)(EditDataViewController &),
                                std::function<void(EditDataViewController &)> setup) {
  std::weak_ptr<SettingsViewController> weak = sharedAs<SettingsViewController>();
  Row row{std::move(label), key, {}, {}, {}, false};
  row.value = [key, shown] { return shownChoice(key, shown); };
  row.onSelect = [weak, key, title, items, editLabel, handler, setup] {
    auto s = weak.lock();
    if (!s) return;
    std::vector<EditDataItem> list(items.begin(), items.end());
    auto edit = EditDataViewController::initWithTitle(title, list, settings().integerForKey(key),
                                                      editLabel, "EditDataView",
                                                      [weak, handler](EditDataViewController &e) {
                                                        if (auto s = weak.lock())
                                                          (s.get()->*handler)(e);
                                                      });
    edit->tableItemsAreStrings = true;
    if (setup) setup(*edit);
    s->push(edit);
  };
  return row;
}

SettingsViewController::Row SettingsViewController::encodingRow(
    std::string label, const char *key, std::string title, std::string editLabel,
    void (SettingsViewController::*handler)(EditDataViewController &), std::string note) {
  auto row = listRow(std::move(label), key, {}, std::move(title), encodingDataItems(),
                     std::move(editLabel), handler, [key, note](EditDataViewController &e) {
                       // The list starts on the stored code's row.
                       e.rowSelected = encodingToSelected(intValue(storedText(key)));
                       e.extraMessage = note;
                     });
  row.value = [key] { return selectedToDisplayEncoding(settings().integerForKey(key)); };
  return row;
}

SettingsViewController::Row SettingsViewController::textRow(
    std::string label, const char *key, std::function<std::string()> value, std::string title,
    std::string editLabel, void (SettingsViewController::*handler)(EditDataViewController &),
    std::function<void(EditDataViewController &)> setup) {
  std::weak_ptr<SettingsViewController> weak = sharedAs<SettingsViewController>();
  Row row{std::move(label), key, std::move(value), {}, {}, false};
  row.onSelect = [weak, key, title, editLabel, handler, setup] {
    auto s = weak.lock();
    if (!s) return;
    auto edit =
        EditDataViewController::initWithTitle(title, storedText(key), editLabel, "EditDataView",
                                              [weak, handler](EditDataViewController &e) {
                                                if (auto s = weak.lock()) (s.get()->*handler)(e);
                                              });
    if (setup) setup(*edit);
    s->push(edit);
  };
  return row;
}

SettingsViewController::Row
SettingsViewController::actionRow(std::string label, std::function<std::string()> value,
                                  std::function<std::shared_ptr<ViewController>()> make) {
  std::weak_ptr<SettingsViewController> weak = sharedAs<SettingsViewController>();
  Row row{std::move(label), "", std::move(value), {}, {}, false};
  row.onSelect = [weak, make] {
    if (auto s = weak.lock()) s->push(make());
  };
  return row;
}

std::vector<SettingsViewController::Row> SettingsViewController::rowsOfSection(int section) {
  const auto profile = DeviceProfile::current();
  switch (section) {
  case 0:
    return filesRows();
  case 1:
    return editorRows(profile);
  case 2:
    return sharingRows(profile);
  case 3:
    return securityRows();
  case 4:
    return miscellaneousRows(profile);
  case 5:
    return ftpRows();
  case 6:
    return sftpRows();
  case 7:
    return aboutRows();
  default:
    return {};
  }
}

std::vector<SettingsViewController::Row> SettingsViewController::filesRows() {
  using S = SettingsViewController;
  std::vector<Row> rows = {
      listRow("Folder Extra Info", kExtraFolderDetailsKey, {"Nothing", "Date", "Permissions"},
              "Folder Extra Info", {"Nothing", "File Modification Date", "UNIX File Permissions"},
              "Extra Details (small text) in Folder Listings", &S::changedFolderExtra),
      listRow("Download Files\nInto Folder", kDefaultDownloadFolderKey,
              {"Open Folder", "ServerName/", "FileType/", "Server/Type/", "Date/", "Server/Path/"},
              "Save To Folder",
              {"Currently Open Folder", "Server Name/", "File Type/", "Server Name/File Type/",
               "Current Date/", "ServerName/Path/"},
              "Folder in \"Saved Files\" for File Downloads", &S::changedDefaultFolder),
      switchRow("Auto-Save All Opened\nFiles to \"Saved Files\"", kAutoSaveAllDownloadsKey,
                &S::changedAutoSaveAllFiles),
      switchRow("Skip Overwrite Prompt\nIf Saved File Exists", kOverwriteSavedFilesKey,
                &S::changedOverwriteSaved),
      switchRow("Show \"Hidden\" Files", kShowHiddenFilesKey, &S::changedShowHiddenFiles),
      switchRow("Upload To Temporary\n*.upload.* Name", "UploadToTempName",
                &S::changedUploadToTempName),
      switchRow("Delete *.old.* Files\nAfter Uploads Complete", kDeleteDotOldKey,
                &S::changedDeleteDotOldFiles)};
  return rows;
}

std::vector<SettingsViewController::Row>
SettingsViewController::editorRows(const DeviceProfile &profile) {
  using S = SettingsViewController;
  std::vector<Row> rows = {
      encodingRow("Default Text Encoding", kDefaultEncodingKey, "Text Encoding",
                  "Default Text Encoding for Editing Files", &S::changedDefaultEncoding,
                  "Note: The text editor can show totally blank if the wrong encoding is "
                  "used.  You can also change encodings later from the editor."),
      listRow("\"Return\" Characters", "CarriageControl", {"Automatic", "CR+LF", "LF"},
              "\"Returns\"",
              {"Auto-Detect From File Contents", "CR+LF (Windows Format)",
               "LF (Mac/Linux/Unix Format)"},
              "Force \"Return\" Characters", &S::changedCarriageControl),
      listRow("Editor Font", kDefaultFontKey, {"Normal", "Fixed Width"}, "Editor Font",
              {"Normal", "Fixed Width"}, "Editor Font Style", &S::changedDefaultFont,
              [](EditDataViewController &e) { e.fontStyles = true; }),
      listRow("Editor Font Size", kDefaultFontSizeKey, {"Small", "Normal", "Big", "Huge"},
              "Editor Font Size",
              {"Small.  Text is this size", "Normal.  Text is this size", "Big.  Text is this size",
               "Huge.  Text is this size"},
              "Editor Font Size", &S::changedDefaultFontSize,
              [](EditDataViewController &e) { e.fontSizes = true; }),
      switchRow("Spell Check", "SpellChecker", &S::changedSpellChecker)};
  if (profile.osVersionIsAtLeast(3.2))
    rows.push_back(switchRow("Special \"Code\" Keyboard", "WebKeyboard", &S::changedWebKeyboard));
  return rows;
}

std::vector<SettingsViewController::Row>
SettingsViewController::sharingRows(const DeviceProfile &profile) {
  using S = SettingsViewController;
  const std::string model = profile.model;
  std::vector<Row> rows = {
      textRow(
          "User Name", kFileShareUserKey, [] { return storedText(kFileShareUserKey); },
          "Login User Name", "User Name for File Sharing", &S::changedUsername),
      textRow(
          "Password", kFileSharePassKey,
          [] { return storedText(kFileSharePassKey).empty() ? "" : "******"; }, "Login Password",
          "Password for File Sharing", &S::changedPassword,
          [](EditDataViewController &e) {
            e.hideText = true;
            e.originalText = myDecryptString1(storedText(kFileSharePassKey));
          }),
      textRow(
          "Keep " + model + " Unlocked\nAfter Sharing Files", kActiveServerMinutesKey,
          [] {
            const std::string m = storedText(kActiveServerMinutesKey);
            return intValue(m) == 0 ? std::string("Forever") : m + " Minutes";
          },
          "Unlocked Sharing Files", "Keep " + model + " Unlocked After Sharing Files",
          &S::changedActiveServerMinutes, [](EditDataViewController &e) { e.numericOnly = true; }),
      switchRow("Enable Web Server", kWebServerKey, &S::changedWebServerEnabled)};
  auto delegate = FerrowenAppDelegate::sharedDelegate();
  if (settings().stringForKey(kWebServerKey).value_or("") == "1") {
    auto web = delegate ? delegate->webServerListener() : nullptr;
    Row address{"Web Address:\t" + (web ? web->getListeningAddress() + plusBonjour(web->port())
                                        : std::string("unknown")),
                "",
                {},
                {},
                {},
                true};
    // Tapped, the address tells how to reach Saved Files with it.
    std::weak_ptr<SettingsViewController> weak = sharedAs<SettingsViewController>();
    address.onSelect = [weak] {
      if (auto s = weak.lock()) s->push(std::make_shared<SharingHelpView>());
    };
    rows.push_back(address);
  }
  rows.push_back(switchRow("Enable FTP Server", kFTPServerKey, &S::changedFTPServerEnabled));
  if (settings().stringForKey(kFTPServerKey).value_or("") == "1") {
    auto ftp = delegate ? delegate->ftpServerListener() : nullptr;
    Row address{"FTP Address:\t" +
                    (ftp ? ftp->getListeningAddressText() + plusBonjourText(ftp->port())
                         : std::string("unknown")),
                "",
                {},
                {},
                {},
                true};
    rows.push_back(address);
  }
  return rows;
}

std::vector<SettingsViewController::Row> SettingsViewController::securityRows() {
  using S = SettingsViewController;
  std::vector<Row> rows = {
      switchRow("Store Login Passwords", kSavePasswordsKey, &S::changedSavePasswords),
      actionRow(
          "Startup Lock", [] { return storedPasscode().empty() ? "Off" : "Enabled"; },
          [] { return std::make_shared<SetupLockViewer>(); })};
  return rows;
}

std::vector<SettingsViewController::Row>
SettingsViewController::miscellaneousRows(const DeviceProfile &profile) {
  using S = SettingsViewController;
  std::vector<Row> rows = {switchRow("Bookmarks Auto-Connect\nWhen Selected", kBookmarksAutoOpenKey,
                                     &S::changedBookmarksAutoOpen)};
  if (canEmailFiles_)
    rows.push_back(switchRow("\"Ferrowen\" Link\nIn File Emails", "IncludeEmailLinks",
                             &S::changedIncludeEmailMsg));
  if (canEmailFiles_ && showVideoQuality_) {
    const bool four = profile.osVersionIsAtLeast(4.0);
    const std::string label = four ? "Video Import Quality" : "Video Import Size";
    rows.push_back(listRow(
        label, "VideoQuality",
        four ? std::vector<std::string>{"High", "Medium", "Low"}
             : std::vector<std::string>{"Large (640x480)", "Med (480x360)", "Small (192x144)"},
        label,
        four ? std::vector<std::string>{"High", "Medium", "Low"}
             : std::vector<std::string>{"Large (640x480)", "Medium (480x360)", "Small (192x144)"},
        label, &S::changedVideoQuality));
  }
  return rows;
}

std::vector<SettingsViewController::Row> SettingsViewController::ftpRows() {
  using S = SettingsViewController;
  std::vector<Row> rows = {
      switchRow("\"PASV\" Mode", kUsePASVKey, &S::changedUsePASV),
      switchRow("\"Mode Z\" Compression", kModeZKey, &S::changedModeZ),
      switchRow("Always Use Unicode", "AlwaysUnicode", &S::changedForceUnicode),
      switchRow("Maximum Compatibility\n(No Advanced Features)", "NoAdvancedFTPFeatures",
                &S::changedNoFEATures),
      switchRow("\"Raw FTP Command\"\nOption in FTP Menus", kRawMenuOptionKey,
                &S::changedRawMenuOption),
      encodingRow("Folder Text Encoding", "FolderTextEncoding", "Folder Encoding",
                  kFolderEncodingLabel, &S::changedFolderEncoding)};
  return rows;
}

std::vector<SettingsViewController::Row> SettingsViewController::sftpRows() {
  using S = SettingsViewController;
  std::vector<Row> rows = {switchRow("Force SFTP Version 3", "SFTPForceV3", &S::changedUseSFTPV3),
                           encodingRow("Folder Text Encoding", "SFTPEncoding", "Folder Encoding",
                                       kFolderEncodingLabel, &S::changedSFTPFolderEncoding)};
  return rows;
}

std::vector<SettingsViewController::Row> SettingsViewController::aboutRows() {
  std::vector<Row> rows = {
      Row{"Version", "", [] { return std::string("Version ") + kAppVersion; }, {}, {}, false},
      actionRow(
          "All Our Apps", [] { return std::string(); },
          [] { return std::make_shared<AboutView>(); }),
      actionRow(
          "Credits", [] { return std::string(); },
          [] { return HelpViewController::withURL("Credits", kCreditsPageAddress); })};
  return rows;
}

// --- Table ------------------------------------------------------------------------------------

int SettingsViewController::numberOfRowsInSection(TableView &, int section) {
  return int(rowsOfSection(section).size());
}

std::shared_ptr<TableViewCell> SettingsViewController::cellForRowAtIndexPath(TableView &table,
                                                                             IndexPath ip) {
  auto rows = rowsOfSection(ip.section);
  const Row &row = rows[size_t(ip.row)];
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) cell = std::make_shared<TableViewCell>(TableViewCellStyle::Value1, kCellIdentifier);
  cell->textLabel()->setText(row.label);
  // A switch row is found by its switch.
  cell->setAccessibilityLabel(row.onSwitch ? std::string() : row.label);
  cell->textLabel()->setNumberOfLines(2);
  cell->textLabel()->setFont(labelFont(
      row.label, (row.display || (ip.section == 2 && ip.row == 2)) ? 13 : 14, bool(row.onSwitch)));
  cell->textLabel()->setTextColor(row.display ? Color::blueColor() : Color::blackColor());
  cell->detailTextLabel()->setText(row.value ? row.value() : "");
  cell->setAccessoryView(nullptr);
  if (row.onSwitch) {
    auto &sw = switches_[row.key];
    if (!sw) {
      sw = std::make_shared<Switch>(Rect(0, 0, 94, 27));
      sw->setAccessibilityLabel(row.label);
      auto onSwitch = row.onSwitch;
      sw->addTarget(ValueChanged,
                    [onSwitch](Control &c) { onSwitch(static_cast<Switch &>(c).isOn()); });
    }
    sw->setOn(settings().integerForKey(row.key) != 0);
    cell->setAccessoryView(sw);
  }
  cell->setSelectionStyle(row.onSelect ? TableViewCellSelectionStyle::Blue
                                       : TableViewCellSelectionStyle::None);
  return cell;
}

std::shared_ptr<View> SettingsViewController::viewForHeaderInSection(TableView &, int section) {
  if (section < 0 || section > 7) return nullptr;
  auto header = std::make_shared<View>(Rect(0, 0, 320, 46));
  auto label = std::make_shared<Label>(Rect(20, 14, 220, 24));
  label->setText(kHeaders[section]);
  label->setBackgroundColor(Color::clearColor());
  label->setShadowColor(Color::whiteColor());
  header->addSubview(label);
  if (section <= 6) {
    auto help = std::make_shared<Button>(ButtonType::Custom, Rect(250, 12, 54, 28));
    help->setBackgroundImage(DeviceProfile::current().isiPad() ? "help300-ipad.png"
                                                               : "help300.png");
    help->setTitle("Help");
    help->setTitleFont(Font::boldSystem(12));
    help->setTitleColor(Color::whiteColor());
    help->setAccessibilityLabel(std::string("Help: ") + kHeaders[section]);
    std::weak_ptr<SettingsViewController> weak = sharedAs<SettingsViewController>();
    auto action = kHelpActions[section];
    help->addTarget(TouchUpInside, [weak, action](Control &) {
      if (auto s = weak.lock()) (s.get()->*action)();
    });
    header->addSubview(help);
  }
  return header;
}

std::optional<TableViewCellAccessoryType>
SettingsViewController::accessoryTypeForRowWithIndexPath(TableView &, IndexPath ip) {
  auto rows = rowsOfSection(ip.section);
  return rows[size_t(ip.row)].onSelect ? TableViewCellAccessoryType::DisclosureIndicator
                                       : TableViewCellAccessoryType::None;
}

std::optional<IndexPath> SettingsViewController::willSelectRowAtIndexPath(TableView &,
                                                                          IndexPath ip) {
  auto rows = rowsOfSection(ip.section);
  if (!rows[size_t(ip.row)].onSelect) return std::nullopt;
  return ip;
}

void SettingsViewController::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  auto rows = rowsOfSection(ip.section);
  table.deselectRowAtIndexPath(ip, true);
  if (auto select = rows[size_t(ip.row)].onSelect) select();
  table.reloadData();
}

// --- Handlers
// -------------------------------------------------------------------------------------

void SettingsViewController::store(const std::string &key, const std::string &value, bool reload) {
  settings().setObject(value, key);
  settings().synchronize();
  if (reload) reloadTableView();
}

void SettingsViewController::storeIndex(const char *key, EditDataViewController &e) {
  store(key, std::to_string(e.rowSelected));
}

void SettingsViewController::changedAutoSaveAllFiles(bool on) {
  storeSwitch(kAutoSaveAllDownloadsKey, on);
}
void SettingsViewController::changedOverwriteSaved(bool on) {
  storeSwitch(kOverwriteSavedFilesKey, on);
}
void SettingsViewController::changedShowHiddenFiles(bool on) {
  storeSwitch(kShowHiddenFilesKey, on);
}
void SettingsViewController::changedUploadToTempName(bool on) {
  storeSwitch("UploadToTempName", on);
}
void SettingsViewController::changedDeleteDotOldFiles(bool on) {
  storeSwitch(kDeleteDotOldKey, on);
}
void SettingsViewController::changedSpellChecker(bool on) {
  storeSwitch("SpellChecker", on);
  if (auto d = FerrowenAppDelegate::sharedDelegate(); d && DeviceProfile::current().isiPad())
    d->fixEditViewers();
}
void SettingsViewController::changedWebKeyboard(bool on) {
  storeSwitch("WebKeyboard", on);
  if (auto d = FerrowenAppDelegate::sharedDelegate(); d && DeviceProfile::current().isiPad())
    d->fixEditViewers();
}
void SettingsViewController::changedWebServerEnabled(bool on) {
  storeSwitch(kWebServerKey, on);
  if (auto d = FerrowenAppDelegate::sharedDelegate()) on ? d->startWebServer() : d->stopWebServer();
  reloadTableView();
}
void SettingsViewController::changedFTPServerEnabled(bool on) {
  storeSwitch(kFTPServerKey, on);
  if (auto d = FerrowenAppDelegate::sharedDelegate()) on ? d->startFTPServer() : d->stopFTPServer();
  reloadTableView();
}
void SettingsViewController::changedSavePasswords(bool on) {
  storeSwitch(kSavePasswordsKey, on);
}
void SettingsViewController::changedBookmarksAutoOpen(bool on) {
  storeSwitch(kBookmarksAutoOpenKey, on);
}
void SettingsViewController::changedIncludeEmailMsg(bool on) {
  storeSwitch("IncludeEmailLinks", on);
}
void SettingsViewController::changedUsePASV(bool on) {
  storeSwitch(kUsePASVKey, on);
}
void SettingsViewController::changedModeZ(bool on) {
  storeSwitch(kModeZKey, on);
}
void SettingsViewController::changedForceUnicode(bool on) {
  storeSwitch("AlwaysUnicode", on);
}
void SettingsViewController::changedNoFEATures(bool on) {
  storeSwitch("NoAdvancedFTPFeatures", on);
}
void SettingsViewController::changedRawMenuOption(bool on) {
  storeSwitch(kRawMenuOptionKey, on);
}
void SettingsViewController::changedUseSFTPV3(bool on) {
  storeSwitch("SFTPForceV3", on);
}

void SettingsViewController::changedFolderExtra(EditDataViewController &e) {
  storeIndex(kExtraFolderDetailsKey, e);
  showFolderExtra = e.rowSelected;
}
void SettingsViewController::changedDefaultFolder(EditDataViewController &e) {
  storeIndex(kDefaultDownloadFolderKey, e);
}
void SettingsViewController::changedDefaultEncoding(EditDataViewController &e) {
  store(kDefaultEncodingKey, std::to_string(selectedToEncodingCode(e.rowSelected)));
}
void SettingsViewController::changedCarriageControl(EditDataViewController &e) {
  storeIndex("CarriageControl", e);
}
void SettingsViewController::changedDefaultFont(EditDataViewController &e) {
  storeIndex(kDefaultFontKey, e);
  if (auto d = FerrowenAppDelegate::sharedDelegate(); d && DeviceProfile::current().isiPad())
    d->fixEditViewers();
}
void SettingsViewController::changedDefaultFontSize(EditDataViewController &e) {
  storeIndex(kDefaultFontSizeKey, e);
  if (auto d = FerrowenAppDelegate::sharedDelegate(); d && DeviceProfile::current().isiPad())
    d->fixEditViewers();
}
void SettingsViewController::changedUsername(EditDataViewController &e) {
  store(kFileShareUserKey, e.textData->text());
}
void SettingsViewController::changedPassword(EditDataViewController &e) {
  store(kFileSharePassKey, myEncryptString1(e.textData->text()));
}
void SettingsViewController::changedActiveServerMinutes(EditDataViewController &e) {
  store(kActiveServerMinutesKey, e.textData->text());
}
void SettingsViewController::changedVideoQuality(EditDataViewController &e) {
  storeIndex("VideoQuality", e);
}
void SettingsViewController::changedFolderEncoding(EditDataViewController &e) {
  store("FolderTextEncoding", std::to_string(selectedToEncodingCode(e.rowSelected)));
}
void SettingsViewController::changedSFTPFolderEncoding(EditDataViewController &e) {
  store("SFTPEncoding", std::to_string(selectedToEncodingCode(e.rowSelected)));
}
