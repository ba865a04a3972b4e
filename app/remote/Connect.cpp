#include "app/remote/Connect.h"

#include "app/files/LocalFolderViewController.h"
#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Database.h"
#include "app/foundation/Globals.h"
#include "app/foundation/KeychainWrapper.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/Reachability.h"
#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/SmallClasses.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"
#include "app/foundation/WorkingCopy.h"
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPServices.h"
#include "app/remote/DirViewer.h"
#include "app/sftp/SFTPWrapper.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

using namespace platform::ui;
using platform::Log;
using platform::UserDefaults;

bool Connect::restoreDone = false;

namespace {
UserDefaults &settings() {
  return UserDefaults::standard();
}
std::string setting(const std::string &key) {
  return settings().stringForKey(key).value_or("");
}

void alert(const std::string &title, const std::string &message,
           std::weak_ptr<AlertViewDelegate> delegate = {}, std::vector<std::string> others = {},
           std::shared_ptr<AlertView> *keep = nullptr, const std::string &cancel = "OK") {
  auto a =
      std::make_shared<AlertView>(title, message, std::move(delegate), cancel, std::move(others));
  if (keep) *keep = a;
  showOnMainThread(a);
}

const char *const kMessages[3] = {"Connect to FTP Server", "Connect to FTP Server (with SSL)",
                                  "Connect to SFTP Server"};
const char *const kProtocolWords[3] = {"FTP", "FTPS", "SFTP"};
// The program's own web site: its pages are never a bookmark's web address.
const char kOwnSiteHost[] = "ferrowen.example";
const char kTutorialURL[] =
    "http://www.ferrowen.example/help/help-tutorial300.php?app=ferrowen&ver=300";
// The public web host the shared reachability object watches: always there when the internet is.
const char kReachabilityHost[] = "www.ferrowen.example";
// The review prompt: the program's store identifier, the version that restarts the count, and
// the launch on which it asks.
constexpr int kStoreIdentifier = 0;
constexpr int kReviewVersion = 300;
constexpr int kReviewAfterLaunches = 6;

bool belongsToOwnSite(const std::string &url) {
  const std::string lower = platform::lowercase(url);
  auto scheme = lower.find("://");
  std::string host = lower.substr(scheme == std::string::npos ? 0 : scheme + 3);
  host = host.substr(0, host.find_first_of("/:?#"));
  return host == kOwnSiteHost || myEndsWith(host, std::string(".") + kOwnSiteHost);
}

// The text a connection's delegate gets for the "Security Warning" question: the person may still
// go on without TLS, so the connect has not failed.
const char kNoTLSQuestion[] = "FTPS Not supported by the server";

// Tells the connect screen, on the main thread, of each error the browsing FTP connection reports
// (from its own thread); the connection shows its alerts and help pages as ever.
class FailureWatch : public FTPConnectionDelegate {
public:
  explicit FailureWatch(std::function<void(std::shared_ptr<FTPConnection>)> failed)
      : failed_(std::move(failed)) {}
  bool handleError(FTPConnection &c, const std::string &text) override {
    if (text == kNoTLSQuestion) return false;
    std::weak_ptr<FTPConnection> weak = c.weak_from_this();
    platform::RunLoop::main()->perform([failed = failed_, weak] { failed(weak.lock()); });
    return false;
  }

private:
  std::function<void(std::shared_ptr<FTPConnection>)> failed_;
};

// Where a connection that has listed its folder is: host, port, user and kind.
EditOrigin originOf(const DirViewer &screen) {
  if (auto s = screen.sftpConnection) {
    EditOrigin origin = editOriginOf(s->server(), s->username(), editProtocolWord(true, false));
    if (s->port() > 0) origin.port = s->port();
    return origin;
  }
  auto &c = *screen.theConnection;
  return EditOrigin{c.currentServerName(),
                    c.currentPort(),
                    c.loginUser(),
                    editProtocolWord(false, c.fSecureLogin()),
                    {}};
}

// A downloaded copy lives in the temporary folder; anything else (a document in Saved Files) is
// the user's and stays.
bool insideTemporaryFolder(const std::string &path) {
  std::error_code ec;
  auto tmp = std::filesystem::weakly_canonical(platform::Paths::tmp(), ec);
  auto file = std::filesystem::weakly_canonical(path, ec);
  if (ec) return false;
  auto rel = file.lexically_relative(tmp);
  return !rel.empty() && *rel.begin() != ".." && rel != ".";
}
} // namespace

RemoteName folderAbove(const RemoteName &folder, const std::string &above) {
  const std::string &text = folder.text();
  if (above == text) return folder;
  const bool atBoundary = !above.empty() && text.size() > above.size() &&
                          text.compare(0, above.size(), above) == 0 &&
                          (above.back() == '/' || text[above.size()] == '/');
  if (!folder.bytes() || !atBoundary) return above;
  // Each "/" of the text stands where the bytes have theirs: the folder above ends at the slash
  // that ends its text (or just before the one that follows it).
  const bool slashEnded = above.back() == '/';
  const size_t want = size_t(std::count(above.begin(), above.end(), '/')) + (slashEnded ? 0 : 1);
  const std::string &bytes = *folder.bytes();
  size_t seen = 0, at = 0;
  for (; at < bytes.size(); ++at)
    if (bytes[at] == '/' && ++seen == want) break;
  return RemoteName::named(above, bytes.substr(0, slashEnded ? at + 1 : at));
}

std::vector<std::string> reopenFolders(const std::string &folder, const std::string &start) {
  std::string base, rest;
  if (!start.empty() && folder.size() > start.size() + 1 &&
      folder.compare(0, start.size() + 1, start + "/") == 0) {
    base = start;
    rest = folder.substr(start.size() + 1);
  } else if (!folder.empty() && folder[0] == '/' && folder != "/") {
    base = "/";
    rest = folder.substr(1);
  } else {
    return {folder};
  }
  std::vector<std::string> chain{base};
  std::string path = base;
  for (size_t at = 0; at <= rest.size();) {
    size_t slash = rest.find('/', at);
    if (slash == std::string::npos) slash = rest.size();
    const std::string name = rest.substr(at, slash - at);
    at = slash + 1;
    if (name.empty() || name == ".") continue;
    path = path == "/" ? "/" + name : path + "/" + name;
    chain.push_back(path);
  }
  // The stored folder itself, as the connection is given it, is the top.
  chain.back() = folder;
  if (chain.size() > kMaxReopenLevels)
    chain.erase(chain.begin(), chain.end() - long(kMaxReopenLevels));
  return chain;
}

ConnectTarget normaliseServerText(const std::string &text, int segment) {
  ConnectTarget out{text, segment};
  const struct {
    const char *marker;
    int segment;
  } kMarkers[] = {{"sftp://", 2}, {"ftps://", 1}, {"ftp://", -1}, {"http://", -1}};
  for (auto &m : kMarkers) {
    auto at = platform::lowercase(out.server).find(m.marker);
    if (at == std::string::npos) continue;
    out.server = out.server.substr(at + std::string(m.marker).size());
    if (m.segment >= 0) out.segment = m.segment;
  }
  const std::string lower = platform::lowercase(out.server);
  if ((myEndsWith(lower, ":21") || myEndsWith(lower, ":990")) && out.segment == 2)
    out.segment = 1;
  else if (myEndsWith(lower, ":22"))
    out.segment = 2;
  return out;
}

Connect::Connect(const std::string &nibName) : ViewController(nibName) {
  hooks.reachable = [] {
    auto &r = Reachability::sharedReachability();
    return r.internetConnectionStatus() != NotReachable ||
           r.localWiFiConnectionStatus() != NotReachable;
  };
}

Connect::~Connect() {
  if (theConnection && connectionThread_) {
    auto loop = connectionThread_;
    loop->perform([c = std::move(theConnection), loop]() mutable {
      c->disconnectFromServer();
      c.reset();
      loop->stop();
    });
  }
}

void Connect::loadView() {
  ViewController::loadView();
  auto field = [this](const char *placeholder, double y) {
    auto f = std::make_shared<TextField>(Rect{20, y, 280, 31});
    f->setPlaceholder(placeholder);
    f->setAccessibilityLabel(placeholder);
    f->setFont(myTextInputFont);
    f->setClearButtonMode(TextFieldViewMode::WhileEditing);
    f->traits().autocapitalizationType = TextAutocapitalizationType::None;
    f->traits().autocorrectionType = TextAutocorrectionType::No;
    f->setDelegate(std::weak_ptr<TextFieldDelegate>(sharedAs<Connect>()));
    view()->addSubview(f);
    return f;
  };
  connectMessage = std::make_shared<Label>(Rect{20, 10, 280, 21});
  view()->addSubview(connectMessage);
  serverName = field("Server", 40);
  loginUser = field("User Name", 80);
  loginPass = field("Password", 120);
  loginPass->setSecureTextEntry(true);
  protocolType =
      std::make_shared<SegmentedControl>(std::vector<std::string>{"FTP", "FTPS", "SFTP"});
  protocolType->setAccessibilityLabel("Protocol");
  protocolType->addTarget(ControlEvent::ValueChanged, [this](Control &) { changeProtocolType(); });
  view()->addSubview(protocolType);
  // The example address is long: the hint takes two lines rather than lose its end.
  connectHelpMessage = std::make_shared<Label>(Rect{20, 184, 280, 38});
  connectHelpMessage->setFont(Font::system(14));
  connectHelpMessage->setNumberOfLines(2);
  view()->addSubview(connectHelpMessage);
  shakeMessage = std::make_shared<Label>(Rect{20, 230, 280, 21});
  shakeMessage->setText("Shake to clear the fields");
  view()->addSubview(shakeMessage);
  // The files kept on this device, opened over this screen without leaving the FTP tab.
  localFilesBtn = std::make_shared<Button>(ButtonType::RoundedRect, Rect{20, 266, 280, 37});
  localFilesBtn->setTitle("Local Files");
  localFilesBtn->setAccessibilityLabel("Local Files");
  std::weak_ptr<Connect> weak = sharedAs<Connect>();
  localFilesBtn->addTarget(ControlEvent::TouchUpInside, [weak](Control &) {
    if (auto self = weak.lock()) self->clickTest();
  });
  view()->addSubview(localFilesBtn);
  bottomToolbar = std::make_shared<Toolbar>(Rect{0, 372, 320, 44});
  view()->addSubview(bottomToolbar);
}

void Connect::viewDidLoad() {
  settings().setObject("-1", kLastBookmarkPKKey);
  settings().synchronize();
  auto weak = std::weak_ptr<Connect>(sharedAs<Connect>());
  auto act = [weak](void (Connect::*fn)()) {
    return [weak, fn](BarButtonItem &) {
      if (auto self = weak.lock()) ((*self).*fn)();
    };
  };
  viewBookmarksBtn =
      BarButtonItem::systemItem(BarButtonSystemItem::Bookmarks, act(&Connect::clickBookmarks));
  viewBookmarksBtn->setAccessibilityLabel("Bookmarks");
  addBookmarkBtn = BarButtonItem::withImage("add-bookmark.png", BarButtonItemStyle::Plain,
                                            act(&Connect::clickAddBookmark));
  addBookmarkBtn->setAccessibilityLabel("Add Bookmark");
  keysBtn =
      BarButtonItem::withImage("keys.png", BarButtonItemStyle::Plain, act(&Connect::clickKeys));
  keysBtn->setAccessibilityLabel("Keys Help");
  // The web tab's address kept for this start is opened by fillServerFromDefaults.
  fillServerFromDefaults();
  checkInBookmarks();
  if (!Hardware::osVersionIsAtLeast(4.0)) {
    // From 4.0 on the application asks on every return to the foreground.
    platform::RunLoop::main()->performAfter(platform::seconds(1.0), [weak] {
      if (auto self = weak.lock()) self->checkForReviewPrompt();
    });
  }
  setTitle("FTP");
  navigationItem().setTitle("Ferrowen");
  view()->setBackgroundColor(myBackgroundColor());
  infoBtn_ = BarButtonItem::withImage("info-light.png", BarButtonItemStyle::Plain,
                                      act(&Connect::showAbout));
  infoBtn_->setAccessibilityLabel("Info");
  navigationItem().setLeftBarButtonItem(infoBtn_);
  navigationItem().setRightBarButtonItem(
      BarButtonItem::titled("Connect", BarButtonItemStyle::Done, act(&Connect::clickConnect)));
  Reachability::sharedReachability().setHostName(kReachabilityHost);
  const auto passcode = KeychainWrapper().objectForKey(kSecValueData).value_or("");
  if (!passcode.empty() && hooks.presentStartupLock)
    hooks.presentStartupLock(*this);
  else
    restoreEditState();
  Accelerometer::sharedAccelerometer().setUpdateInterval(0.04);
  Accelerometer::sharedAccelerometer().setDelegate(
      std::weak_ptr<AccelerometerDelegate>(sharedAs<Connect>()));
  if (settings().integerForKey("TutorialPrompt") == 0) {
    settings().setObject("1", "TutorialPrompt");
    settings().synchronize();
    alert("Welcome",
          "Would you like to see a tutorial about using Ferrowen?\n\nYou can view later by "
          "touching the (i) in the upper left.",
          std::weak_ptr<AlertViewDelegate>(sharedAs<Connect>()), {"Tutorial"}, &startupHelp,
          "Skip");
  }
  if (Hardware::isiPad()) shakeMessage->setHidden(true);
}

void Connect::viewWillAppear(bool) {
  // Back here, the connection a reopen waited for is over.
  reopenAfterConnect_.reset();
  fillServerFromDefaults();
  Accelerometer::sharedAccelerometer().setUpdateInterval(0.04);
  Accelerometer::sharedAccelerometer().setDelegate(
      std::weak_ptr<AccelerometerDelegate>(sharedAs<Connect>()));
  if (theConnection) theConnection->disconnectFromServer();
  doConnectFromBookmarks();
}

void Connect::viewDidAppear(bool) {
  if (theConnection) theConnection->setFIsConnected(false);
  // Back on this screen the SFTP session ends; the next connect makes a new one.
  if (auto old = std::exchange(sftpConnection, nullptr)) {
    platform::startThread(
        "sftp close", [old] { old->reinit(); }, false);
    if (hooks.setSftpConnection) hooks.setSftpConnection(nullptr);
  }
}

bool Connect::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return appDelegateServices().allowLandscapeView() || o == InterfaceOrientation::Portrait;
}

void Connect::viewWillDisappear(bool) {
  if (Accelerometer::sharedAccelerometer().delegate().get() == this)
    Accelerometer::sharedAccelerometer().setDelegate({});
  storeFields(false);
}

void Connect::storeFields(bool) {
  settings().setObject(serverName->text(), kServerNameKey);
  settings().setObject(loginUser->text(), kUserNameKey);
  settings().setObject(settings().integerForKey(kSavePasswordsKey) == 1
                           ? myEncryptString1(loginPass->text())
                           : std::string(),
                       kUserPassKey);
  settings().synchronize();
}

void Connect::fillServerFromDefaults() {
  if (!serverName) return;
  serverName->setText(setting(kServerNameKey));
  loginUser->setText(setting(kUserNameKey));
  if (auto pass = setting(kUserPassKey); !pass.empty()) loginPass->setText(myDecryptString1(pass));
  if (settings().integerForKey("WebPreviewTab") == 1) {
    // A picked bookmark's web address, once.
    if (const std::string url = setting("OpenInWebView"); !url.empty() && hooks.openWebViewURL)
      hooks.openWebViewURL(url);
    settings().setObject("", "OpenInWebView");
  }
  const std::string word = platform::lowercase(setting("ProtocolTypeText"));
  int segment = word.empty()     ? int(settings().integerForKey("ProtocolType"))
                : word == "ftps" ? 1
                : word == "sftp" ? 2
                                 : 0;
  protocolType->setSelectedSegmentIndex(std::clamp(segment, 0, 2));
  changeProtocolType();
  settings().setObject("", "ProtocolTypeText");
  settings().synchronize();
  checkInBookmarks();
}

void Connect::changeProtocolType() {
  const int i = std::clamp(protocolType->selectedSegmentIndex(), 0, 2);
  connectMessage->setText(kMessages[i]);
  connectHelpMessage->setText(std::string("Include optional Port and Path:  ftp.example.com") +
                              (i == 2 ? ":22/path/" : ":21/path/"));
  std::vector<std::shared_ptr<BarButtonItem>> items{viewBookmarksBtn, BarButtonItem::fixedSpace(20),
                                                    addBookmarkBtn, BarButtonItem::flexibleSpace()};
  if (i == 2) items.push_back(keysBtn);
  if (viewBookmarksBtn) bottomToolbar->setItems(items, false);
  if (auto s = FTPAppServices::shared()) s->setProtocol(kProtocolWords[i]);
  settings().setObject(std::to_string(i), "ProtocolType");
  settings().synchronize();
}

void Connect::checkInBookmarks() {
  sqlite3 *db = OpenDatabase();
  if (!db) return;
  const bool known =
      SQLGetCountNotZero(db, "SELECT pk FROM bookmark WHERE server='" + mySQL(serverName->text()) +
                                 "' AND user='" + mySQL(loginUser->text()) + "'") != 0;
  if (addBookmarkBtn) addBookmarkBtn->setEnabled(!known);
  sqlite3_close(db);
}

void Connect::selectedBookmark() {
  serverName->setText("");
  loginUser->setText("");
  loginPass->setText("");
  checkInBookmarks();
}

void Connect::doConnectFromBookmarks() {
  // Only right after a bookmark was picked: every other appearance leaves the fields alone.
  if (settings().integerForKey(kOpenBookmarkNowKey) != 1) return;
  settings().setObject("0", kOpenBookmarkNowKey);
  settings().synchronize();
  if (settings().integerForKey(kBookmarksAutoOpenKey) == 1 && !loginPass->text().empty() &&
      !serverName->text().empty())
    clickConnect();
}

void Connect::clickConnect() {
  // The file kept from the last run waits for the connect "Edit File" asked for, and no other.
  const auto reopen = std::exchange(reopenWanted_, std::nullopt);
  // Pressed again before the connection it started has its folder screen (or once that screen
  // is on top): one connection, one screen.
  if (auto nav = navigationController();
      connecting_ || (nav && nav->topViewController().get() != this))
    return;
  reopenAfterConnect_.reset();
  const std::string server = serverName->text();
  if (server.empty()) return alert("No Server Entered", "Please enter an FTP server name.");
  if (server.find('@') != std::string::npos)
    return alert("Server Format Error", "The FTP server should not have an @ character.\n\nUse "
                                        "the User Name and Password fields for the login details.");
  auto target = normaliseServerText(server, protocolType->selectedSegmentIndex());
  // A port out of range would reach another port (or none): nothing is stored or connected.
  if (ServerText::parse(target.server).portRefused)
    return alert("Server Format Error", kPortRangeMessage);
  if (hooks.reachable && !hooks.reachable())
    return alert("No Internet?",
                 "You must be connected to the Internet to log into an FTP server.");
  // SFTP needs system 4.0. An address that asks for it ("sftp://", ":22") would reach it past
  // the segment too, so the protocol it ends on counts as well.
  if ((protocolType->selectedSegmentIndex() == 2 || target.segment == 2) &&
      !Hardware::osVersionIsAtLeast(4.0)) {
    const auto device = platform::DeviceProfile::current();
    return alert("Higher iOS Version Needed",
                 "The SFTP connection type requires iOS 4.0 or higher.\n(You have version " +
                     device.systemVersion + ").\n\nPlease update the iOS version on your " +
                     device.model + ".");
  }
  navigationItem().setBackBarButtonItem(
      BarButtonItem::titled("Disconnect", BarButtonItemStyle::Plain));
  serverName->setText(target.server);
  checkInBookmarks();
  storeFields(true);
  for (auto &f : {serverName, loginUser, loginPass})
    if (f->isFirstResponder()) f->resignFirstResponder();
  if (target.segment != protocolType->selectedSegmentIndex()) {
    protocolType->setSelectedSegmentIndex(target.segment);
    changeProtocolType();
  }
  if (target.segment == 2) return connectSFTP(reopen);
  const char *flag = target.segment == 1 ? "1" : "0";
  settings().setObject(flag, kSecurityWarningKey);
  settings().setObject(flag, kAlwaysTrySSLKey);
  settings().synchronize();
  connectFTP(reopen);
}

void Connect::connectFTP(std::optional<EditOrigin> reopen) {
  auto weak = std::weak_ptr<Connect>(sharedAs<Connect>());
  auto configure = [weak, reopen](const std::shared_ptr<FTPConnection> &c) {
    auto self = weak.lock();
    if (!self) return;
    Log::system("Creating connection");
    c->setServerAddress(self->serverName->text());
    c->setLoginUser(self->loginUser->text());
    c->setLoginPass(self->loginPass->text());
    c->setMainConnection(true);
    c->setWarnIfNoSSL(settings().integerForKey(kSecurityWarningKey) != 0);
    c->setSkipSSL(settings().integerForKey(kAlwaysTrySSLKey) == 0);
    // The folder kept with the edit state is the reopened file's, on its own server only.
    const std::string folder = reopen ? setting(kWasEditingInFolder) : std::string();
    if (!folder.empty())
      c->setInitialCurrentDirectory(editRecordName(folder, setting(kWasEditingInFolderBytesKey)));
    c->connect();
    // Where a connect starts has no path before the login tells it, unless one was typed.
    const std::string server = self->serverName->text();
    const auto slash = server.find('/');
    const std::string start = slash == std::string::npos ? "" : server.substr(slash + 1);
    auto screen = self->pushFolderScreen(folder.empty() ? start : folder, start);
    if (reopen) self->armReopen(*reopen, screen, folder.empty() ? start : folder, start);
    if (self->hooks.setFtpConnection) self->hooks.setFtpConnection(c);
  };
  if (theConnection) {
    theConnection->reinit();
    configure(theConnection);
    return;
  }
  // The browsing connection lives on a thread of its own for the rest of the process.
  connecting_ = true;
  connectionThread_ = platform::startThread(
      "ftp-browsing", [weak, configure] { startConnectionThread(weak, configure); });
}

void Connect::startConnectionThread(std::weak_ptr<Connect> weak, ConfigureFTP configure) {
  auto c = std::make_shared<FTPConnection>();
  platform::RunLoop::main()->perform([weak, configure, c] {
    if (auto self = weak.lock()) {
      self->connecting_ = false;
      self->theConnection = c;
      configure(c);
    }
  });
}

void Connect::startSFTPConnectionThread(SFTPWrapper &service, bool first,
                                        const std::string &folder) {
  // A later connect starts a new session with the fields as they are now.
  if (!first) service.reinit();
  service.getThisDirectory(folder);
}

void Connect::mainThreadPushView(const std::shared_ptr<ViewController> &screen) {
  if (auto nav = navigationController()) nav->pushViewController(screen, true);
}

void Connect::connectSFTP(std::optional<EditOrigin> reopen) {
  const bool first = !sftpConnection;
  if (first) sftpConnection = SFTPWrapper::make();
  if (!sftpConnection)
    return alert("SFTP Not Available", "SFTP connections are not available in this version.");
  Log::system("Creating connection");
  auto service = sftpConnection;
  const std::string server = serverName->text();
  service->setServer(server);
  service->setUsername(loginUser->text());
  service->setPassword(loginPass->text());
  service->setMainConnection(true);
  // The folder the screens start in: the one being edited last time (first connect only), else
  // the path typed after the server, else the server's starting folder.
  auto slash = server.find('/');
  const std::string start = slash == std::string::npos ? "." : server.substr(slash);
  std::string folder = start;
  // A reopened file's folder goes to the server in the bytes the server named it with.
  RemoteName named = start;
  if (reopen && !setting(kWasEditingInFolder).empty()) {
    folder = setting(kWasEditingInFolder);
    named = editRecordName(folder, setting(kWasEditingInFolderBytesKey));
  }
  const std::string wire = SFTPWrapper::wireOf(named);
  if (folder != ".") service->setDir(wire);
  auto screen = DirViewer::initWithExistingSFTPConnection(service, "DirViewer");
  screen->currentTitle = slash == std::string::npos ? "" : server.substr(slash + 1);
  screen->setCurrentRemoteFolder(named);
  screen->rootFolder = true;
  titleFirstFolderScreen(*screen, folder, start);
  mainThreadPushView(screen);
  if (reopen) armReopen(*reopen, screen, folder, start);
  if (hooks.setSftpConnection) hooks.setSftpConnection(service);
  screen->showWorkingTextToolbar();
  screen->updateProgressText("Connecting to Server...");
  screen->runOnService(
      "connect", [first, wire](SFTPWrapper &s) { startSFTPConnectionThread(s, first, wire); });
}

std::shared_ptr<DirViewer> Connect::pushFolderScreen(const std::string &folder,
                                                     const std::string &start) {
  auto screen = DirViewer::initWithExistingConnection(theConnection, "DirViewer");
  screen->currentTitle = start;
  screen->rootFolder = true;
  titleFirstFolderScreen(*screen, folder, start);
  mainThreadPushView(screen);
  screen->showWorkingTextToolbar();
  screen->updateProgressText("Connecting to Server...");
  return screen;
}

void Connect::titleFirstFolderScreen(DirViewer &screen, const std::string &folder,
                                     const std::string &start) {
  if (folder == start) return;
  const std::string name = platform::lastPathComponent(folder);
  screen.currentTitle = name == "/" || name == "." ? std::string() : name;
}

void Connect::addFoldersAbove(const std::shared_ptr<DirViewer> &screen, const std::string &folder,
                              const std::string &start) {
  auto nav = navigationController();
  if (!nav || folder == start) return;
  const auto folders = reopenFolders(folder, start);
  auto stack = nav->viewControllers();
  auto at = std::find(stack.begin(), stack.end(), screen);
  // Only right under the screen of the first listing (the person may have gone on already).
  if (folders.size() < 2 || at == stack.end() || at == stack.begin() ||
      std::dynamic_pointer_cast<DirViewer>(*(at - 1)))
    return;
  // The record's folder as its server named it: the folders above it are its first names.
  const RemoteName recordFolder =
      editRecordName(setting(kWasEditingInFolder), setting(kWasEditingInFolderBytesKey));
  std::vector<std::shared_ptr<ViewController>> above;
  for (size_t i = 0; i + 1 < folders.size(); ++i) {
    auto parent = screen->sftpConnection
                      ? DirViewer::initWithExistingSFTPConnection(screen->sftpConnection)
                      : DirViewer::initWithExistingConnection(screen->theConnection);
    // The start folder keeps the title a connect gives it; "/" and "." show as "/".
    const std::string name = platform::lastPathComponent(folders[i]);
    parent->currentTitle = folders[i] == start          ? start.substr(start[0] == '/' ? 1 : 0)
                           : name == "/" || name == "." ? std::string()
                                                        : name;
    parent->setCurrentRemoteFolder(folderAbove(recordFolder, folders[i]));
    parent->rootFolder = i == 0;
    parent->listWhenShown = true;
    parent->view(); // its title and back button stand before it is first shown
    above.push_back(parent);
  }
  screen->rootFolder = false;
  stack.insert(at, above.begin(), above.end());
  nav->setViewControllers(stack, false);
}

// --- The file kept from the last run, reopened on its own connection
// ------------------------------

void Connect::armReopen(const EditOrigin &origin, const std::shared_ptr<DirViewer> &screen,
                        const std::string &folder, const std::string &start) {
  reopenAfterConnect_ = PendingReopen{origin, screen, folder, start};
  std::weak_ptr<Connect> weak = sharedAs<Connect>();
  std::weak_ptr<DirViewer> weakScreen = screen;
  screen->whenConnected = [weak, weakScreen](bool listed) {
    if (auto self = weak.lock()) self->connectionCameOut(weakScreen.lock(), listed);
  };
  if (!screen->theConnection) return;
  if (!failureWatch_)
    failureWatch_ = std::make_shared<FailureWatch>([weak](std::shared_ptr<FTPConnection> c) {
      if (auto self = weak.lock()) self->browsingConnectionFailed(c);
    });
  screen->theConnection->setDelegate(failureWatch_);
}

void Connect::connectionCameOut(const std::shared_ptr<DirViewer> &screen, bool listed) {
  if (!screen || !reopenAfterConnect_ || reopenAfterConnect_->screen.lock() != screen) return;
  const PendingReopen pending = *reopenAfterConnect_;
  const EditOrigin &wanted = pending.origin;
  // One way or the other, the reopen ends here: a failure is shown by the connection's screen.
  reopenAfterConnect_.reset();
  if (!listed) return;
  addFoldersAbove(screen, pending.folder, pending.start);
  if (!originOf(*screen).sameConnectionAs(wanted)) {
    Log::system("The file being edited came from another connection: not reopened here");
    return;
  }
  if (hooks.reopenEditedFile) hooks.reopenEditedFile(screen->theConnection, screen->sftpConnection);
}

void Connect::browsingConnectionFailed(const std::shared_ptr<FTPConnection> &connection) {
  if (!connection || !reopenAfterConnect_) return;
  auto screen = reopenAfterConnect_->screen.lock();
  if (!screen || screen->theConnection == connection) reopenAfterConnect_.reset();
}

void Connect::notReopened(const std::vector<std::string> &names) {
  if (names.empty()) return;
  std::string quoted;
  for (const auto &name : names)
    quoted += (quoted.empty() ? "\"" : ", \"") + name + "\"";
  alert("Cannot Reopen",
        quoted + (names.size() == 1 ? " cannot be reopened: which server it came from was "
                                      "not kept with it."
                                    : " cannot be reopened: which servers they came from was "
                                      "not kept with them."));
}

void Connect::clickAddBookmark() {
  if (serverName->text().empty())
    return alert("No Server Entered", "Please enter an FTP server name.");
  if (ServerText::parse(normaliseServerText(serverName->text(), 0).server).portRefused)
    return alert("Server Format Error", kPortRangeMessage);
  auto weak = std::weak_ptr<Connect>(sharedAs<Connect>());
  auto prompt = TextPromptViewer::initWithTitle(
      "Add Bookmark", serverName->text(), "New Bookmark Name:", "TextPromptView",
      [weak](TextPromptViewer &p) {
        if (auto self = weak.lock()) self->doAddBookmark(p.filename ? p.filename->text() : "");
      });
  if (Hardware::isiPad()) {
    // In a navigation bar of its own, so that its Done and Cancel stand above the field.
    showPopover(std::make_shared<NavigationController>(prompt), Size{320, 224}, addBookmarkBtn);
    prompt->popoverParent = popover;
    return;
  }
  if (auto nav = navigationController()) nav->pushViewController(prompt, true);
}

void Connect::showPopover(
    std::shared_ptr<ViewController> content, Size size, const std::shared_ptr<BarButtonItem> &from,
    const std::function<void(const std::shared_ptr<PopoverController> &)> &beforeShown) {
  if (popover && popover->isPopoverVisible()) popover->dismissPopoverAnimated(false);
  popover = std::make_shared<PopoverController>(std::move(content));
  popover->setPopoverContentSize(size);
  if (beforeShown) beforeShown(popover);
  popover->presentPopoverFromBarButtonItem(from, ArrowAny, true);
}

void Connect::doAddBookmark(const std::string &name) {
  const int segment = protocolType->selectedSegmentIndex();
  // With "Store Login Passwords" off no password is kept, neither in the bookmark nor in the
  // settings.
  const std::string scrambled = settings().integerForKey(kSavePasswordsKey) == 1
                                    ? myEncryptString1(loginPass->text())
                                    : std::string();
  std::string web = hooks.webViewURL ? hooks.webViewURL() : std::string();
  if (belongsToOwnSite(web)) web.clear();
  if (sqlite3 *db = OpenDatabase()) {
    UpdateDatabaseStructure(db);
    SQLExecute(db, "INSERT INTO bookmark (name,server,user,password,weburl,protocol) VALUES ('" +
                       mySQL(name) + "', '" + mySQL(serverName->text()) + "', '" +
                       mySQL(loginUser->text()) + "', '" + mySQL(scrambled) + "', '" + mySQL(web) +
                       "', '" +
                       (segment == 1   ? "ftps"
                        : segment == 2 ? "sftp"
                                       : "ftp") +
                       "')");
    sqlite3_close(db);
  }
  settings().setObject(serverName->text(), kServerNameKey);
  settings().setObject(loginUser->text(), kUserNameKey);
  settings().setObject(scrambled, kUserPassKey);
  settings().synchronize();
  checkInBookmarks();
}

void Connect::clickBookmarks() {
  auto list = BookmarkViewController::initWithNibName(
      "BookmarkView", "Bookmarks", 0, std::weak_ptr<BookmarkConnectTarget>(sharedAs<Connect>()));
  auto nav = std::make_shared<ConnectNavViewController>(list);
  if (Hardware::isiPad()) {
    // The list knows its popover before it loads: it then shows no Done of its own.
    showPopover(nav, Size{320, 480}, viewBookmarksBtn,
                [list](const std::shared_ptr<PopoverController> &p) { list->popoverParent = p; });
    return;
  }
  presentModalViewController(nav, true);
}

void Connect::showAbout() {
  for (auto &f : {serverName, loginUser, loginPass})
    if (f->isFirstResponder()) f->resignFirstResponder();
  if (Hardware::isiPad()) {
    if (auto help = appDelegateServices().makeHelpViewController("HelpView", "Ferrowen Help",
                                                                 kTutorialURL)) {
      // It knows its popover before its page starts loading, so that the spinner shows.
      showPopover(help, Size{320, 480}, infoBtn_,
                  [help](const std::shared_ptr<PopoverController> &p) {
                    appDelegateServices().setHelpPopoverParent(help, p);
                  });
      return;
    }
  }
  pushHelp("Ferrowen Help", "help-tutorial300.php?app=ferrowen&ver=300");
}

void Connect::pushHelp(const std::string &title, const std::string &page) {
  // A connect sets "Disconnect"; from here a help page is only left.
  navigationItem().setBackBarButtonItem(BarButtonItem::titled("Back", BarButtonItemStyle::Plain));
  if (auto s = FTPAppServices::shared()) s->pushHelpScreen(title, page, false);
}

void Connect::clickTest() {
  auto files = LocalFolderViewController::make("");
  // Over this screen the files screen needs its own way back.
  std::weak_ptr<Connect> weak = sharedAs<Connect>();
  files->navigationItem().setLeftBarButtonItem(
      BarButtonItem::systemItem(BarButtonSystemItem::Done, [weak](BarButtonItem &) {
        if (auto self = weak.lock()) self->dismissModalViewControllerAnimated(true);
      }));
  presentModalViewController(std::make_shared<NavigationController>(files), true);
}

void Connect::checkForReviewPrompt() {
  auto prompt = MyReviewPrompt::create();
  prompt->resetRunCount(0, kReviewVersion);
  prompt->maybeShowReviewPrompt("Ferrowen", kStoreIdentifier, kReviewAfterLaunches);
}

void Connect::clickKeys() {
  pushHelp("SFTP Private Keys", "error-sftp-keys.html");
}

bool Connect::textFieldShouldReturn(TextField &field) {
  if (&field == serverName.get()) return loginUser->becomeFirstResponder(), false;
  if (&field == loginUser.get()) return loginPass->becomeFirstResponder(), false;
  field.resignFirstResponder();
  checkInBookmarks();
  return true;
}

bool Connect::anyFieldEditing() const {
  return serverName->isFirstResponder() || loginUser->isFirstResponder() ||
         loginPass->isFirstResponder();
}

void Connect::didAccelerate(Accelerometer &, const Acceleration &a) {
  if (Hardware::isiPad()) return;
  const double sample[3] = {a.x, a.y, a.z};
  double sum = 0;
  for (int i = 0; i < 3; ++i) {
    filtered_[i] = sample[i] * 0.1 + filtered_[i] * 0.9;
    sum += (sample[i] - filtered_[i]) * (sample[i] - filtered_[i]);
  }
  if (std::sqrt(sum) < 2.5 || (lastTime_ >= 0 && a.timestamp - lastTime_ <= 0.5)) return;
  if (!anyFieldEditing()) {
    for (auto &f : {serverName, loginUser, loginPass})
      f->setText("");
    settings().setObject("-1", kLastBookmarkPKKey);
    settings().synchronize();
  }
  lastTime_ = a.timestamp;
}

// --- Edit state of the last run ------------------------------------------------------------------

void Connect::restoreEditState() {
  if (restoreDone) return;
  restoreDone = true;
  const bool pad = Hardware::isiPad();
  int used = 0;
  if (pad)
    for (long i = 0; i < settings().integerForKey("TabIndexMax"); ++i)
      used += settings().integerForKey(keyIndexIsUsed(int(i))) == 1;
  auto self = std::weak_ptr<AlertViewDelegate>(sharedAs<Connect>());
  if (settings().integerForKey("ImgEdit-EditingNow") == 1) {
    settings().setObject("0", "ImgEdit-EditingNow");
    settings().synchronize();
    const double size = std::strtod(setting("ImgEdit-EditingSize").c_str(), nullptr);
    alert("Crashed Editing Image",
          size < 1 ? Log::format("This is caused by running out of memory opening a very large "
                                 "image.\r\n\r\nThis image may be too large to edit on this %s.",
                                 platform::DeviceProfile::current().model.c_str())
                   : Log::format("This is caused by running out of memory processing a very "
                                 "large image.  Uncompressed, the image was %0.1f MB!\r\n\r\nTry "
                                 "resizing the image to be smaller before adding Captions or "
                                 "Cropping.",
                                 size / 1048576));
  }
  const std::string editing = setting(kEditingFTPFile);
  if ((pad && used > 0) || (!editing.empty() && platform::FileManager::fileExists(editing))) {
    if (pad)
      alert("Continue Editing?",
            Log::format("%i File(s) were being edited when Ferrowen was closed.", used), self,
            {"Edit File(s)"}, &confirmEditFile, "Cancel");
    else
      alert("Continue Editing File?",
            Log::format("\"%s\" was being edited when Ferrowen was closed.",
                        setting(kWasEditingFileName).c_str()),
            self, {"Edit File"}, &confirmEditFile, "Cancel");
    return;
  }
  for (auto key :
       {kWasEditingServerNameKey, kWasEditingUserNameKey, kWasEditingUserPassKey,
        kWasEditingInFolder, kWasEditingFileName, kWasEditingServerPortKey, kWasEditingProtocolKey})
    settings().setObject("", key);
  settings().synchronize();
  const std::string viewing = setting(kWasViewingFile);
  if (!pad && !viewing.empty() && platform::FileManager::fileExists(viewing)) {
    alert("Continue Viewing File?",
          Log::format("\"%s\" was being viewed when Ferrowen was closed.",
                      platform::lastPathComponent(viewing).c_str()),
          self, {"View File"}, &confirmOpenFile, "Cancel");
    return;
  }
  if (hooks.cleanupDownloadedFiles) hooks.cleanupDownloadedFiles();
}

void Connect::restoreEditFiles() {
  const std::string server = setting(kServerNameKey), user = setting(kUserNameKey),
                    pass = setting(kUserPassKey);
  std::vector<std::string> notOpened;
  for (long i = 0; i < settings().integerForKey("TabIndexMax"); ++i) {
    if (settings().integerForKey(keyIndexIsUsed(int(i))) != 1) continue;
    auto slot = [i](const char *key) { return setting(keyForTab(int(i), key)); };
    // A file of the device needs no connection: it opens with the text typed in it.
    if (!slot(kEditingSavedFile).empty()) {
      if (hooks.reopenKeptDeviceFile) hooks.reopenKeptDeviceFile(int(i));
      continue;
    }
    // A slot of an earlier version does not say where its file came from: it opens nowhere, and
    // is no longer in use (its record and working file go).
    auto origin = storedEditOrigin(slot);
    if (!origin) {
      notOpened.push_back(slot(kWasEditingFileName));
      settings().setObject("0", keyIndexIsUsed(int(i)));
      continue;
    }
    // The editor takes the server it saves back to from these three as it is made.
    settings().setObject(slot("EditingServerAddress"), kServerNameKey);
    settings().setObject(slot("EditingUserName"), kUserNameKey);
    settings().setObject(slot("EditingUserPass"), kUserPassKey);
    // A record that does not say whether its file holds edits counts as changed.
    if (hooks.openEditorTab)
      hooks.openEditorTab(slot("EditingFTPFile"), slot("EditingFileName"), slot("EditingInFolder"),
                          *origin, slot(kWasEditingChangedKey) != "0");
  }
  if (hooks.fixTabIndexes) hooks.fixTabIndexes();
  settings().setObject(server, kServerNameKey);
  settings().setObject(user, kUserNameKey);
  settings().setObject(pass, kUserPassKey);
  settings().synchronize();
  notReopened(notOpened);
}

void Connect::clearFileEditSettings() {
  if (Hardware::isiPad()) {
    // The slots' records and working files go with the hook below, which knows what is in use.
    for (long i = 0; i < settings().integerForKey("TabIndexMax"); ++i)
      settings().setObject("0", keyIndexIsUsed(int(i)));
  } else {
    for (const std::string &key : {std::string(kEditingFTPFile), std::string(kWasViewingFile),
                                   keyForTab(0, kEditingFTPFile)})
      if (auto path = setting(key); !path.empty() && insideTemporaryFolder(path))
        removeWorkingCopy(path);
    // The phone's editor writes its record twice, plainly and as the first tab's: both go, with
    // the scrambled password they hold.
    settings().setObject("0", keyIndexIsUsed(0));
    for (const char *key : kEditRecordKeys)
      settings().setObject("", keyForTab(0, key));
  }
  for (const char *key : kEditRecordKeys)
    settings().setObject("", key);
  settings().setObject("", kWasViewingFile);
  settings().synchronize();
  if (hooks.cleanupDownloadedFiles) hooks.cleanupDownloadedFiles();
}

void Connect::continueRecordedEdit() {
  // A file of the device needs no connection: it opens on its own tab with the text typed in it.
  if (!setting(kEditingSavedFile).empty()) {
    if (hooks.reopenKeptDeviceFile) hooks.reopenKeptDeviceFile(std::nullopt);
    return;
  }
  // Only the connection the file came from reopens it, once it has listed its folder. A record
  // that does not say which that was opens nowhere (and is forgotten, as with Cancel).
  auto origin = storedEditOrigin([](const char *key) { return setting(key); });
  if (!origin) {
    notReopened({setting(kWasEditingFileName)});
    return clearFileEditSettings();
  }
  view();
  serverName->setText(setting(kWasEditingServerNameKey));
  loginUser->setText(setting(kWasEditingUserNameKey));
  loginPass->setText(myDecryptString1(setting(kWasEditingUserPassKey)));
  const int segment = origin->protocol == "sftp" ? 2 : origin->protocol == "ftps" ? 1 : 0;
  if (protocolType->selectedSegmentIndex() != segment) {
    protocolType->setSelectedSegmentIndex(segment);
    changeProtocolType();
  }
  reopenWanted_ = *origin;
  clickConnect();
}

void Connect::clickedButtonAtIndex(AlertView &a, int index) {
  if (&a == confirmEditFile.get()) {
    confirmEditFile.reset();
    if (index != 1) return clearFileEditSettings();
    if (Hardware::isiPad()) return restoreEditFiles();
    continueRecordedEdit();
  } else if (&a == confirmOpenFile.get()) {
    confirmOpenFile.reset();
    if (index != 1) return clearFileEditSettings();
    if (Hardware::isiPad()) return restoreEditFiles();
    const std::string path = setting(kWasViewingFile);
    if (hooks.openViewer) hooks.openViewer(platform::lastPathComponent(path), path);
  } else if (&a == startupHelp.get()) {
    startupHelp.reset();
    if (index == 1) showAbout();
  }
}
