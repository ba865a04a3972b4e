// The application delegate: the start-up of the whole application (the five root screens in
// their tabs, the iPad split container, the splash, the settings defaults, the sharing servers),
// the addresses and files handed to the application, the lifecycle (servers, the browsing
// connection, the queue in the background, the passcode lock after 60 s or more away), the file
// tabs and the rotation policy, the services every screen reaches (help pages for errors, media
// playback, browser tabs), and the hosting of the two Wi-Fi sharing servers of Saved Files: the
// web server on port 8080 and the FTP server on port 2121, each a listener that is published with
// Bonjour and turns every accepted connection into a client handler (WebServer, FTPServer); the
// inactivity timer that switches both off after "ActiveServerMinutes" idle minutes; the count of
// failed logins that switches sharing off after too many; and keeping the device awake while a
// server is in use.
//
// Main thread only: the screens, the listeners, the client handlers' streams and the timers live
// on the main run loop.
#pragma once

#include "app/foundation/TCPServer.h"
#include "app/sharing/SharingHost.h"
#include "app/shell/ShellScreens.h"

#include "platform/device/Application.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Window.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class BatchListView;
class FTPConnection;
class SFTPWrapper;
class LockViewer;
class SettingsViewController;
class AppDelegateServices;
class FTPAppServices;
class BatchAppServices;
class WebServices;
class EditorServices;

class MyMoviePlayer;

class FerrowenAppDelegate : public platform::ApplicationDelegate,
                            public TCPServerDelegate,
                            public SharingHost,
                            public platform::ui::TabBarControllerDelegate,
                            public std::enable_shared_from_this<FerrowenAppDelegate> {
public:
  static constexpr uint16_t kWebServerPort = 8080;
  static constexpr uint16_t kFTPServerPort = 2121;
  static constexpr const char *kWebServerIdentifier = "Ferrowen-WebServer";
  static constexpr const char *kFTPServerIdentifier = "Ferrowen-FTPServer";
  // From this many failed logins on, sharing is switched off.
  static constexpr int kBadLoginLimit = 11;

  FerrowenAppDelegate();
  ~FerrowenAppDelegate() override;

  // The application's delegate when it is one of these (null otherwise: the servers then report
  // their activity and failed logins to nobody).
  static std::shared_ptr<FerrowenAppDelegate> sharedDelegate();

  // Seconds away after which the passcode is asked again.
  static constexpr double kLockAfterSeconds = 60.0;

  // --- Launch.
  bool didFinishLaunchingWithOptions(platform::Application &app,
                                     const platform::LaunchOptions &options) override;
  bool handleOpenURL(platform::Application &app, const std::string &url) override;
  // The start-up sequence: passcode reset on a fresh install, globals, defaults, the root screens
  // and their tabs, the servers, the splash; startupDone follows 0.15 s later.
  void startupStuff();
  void startupDone();
  void startupAnimationDone();
  // An ftp/ftps address fills the connect fields (answer false); a file URL (or a plain path) is
  // copied into Saved Files, a key file into Files/PrivateKeys (answer true).
  bool importURL(const std::string &url);
  // Why a handed address is not taken (empty when it is): an ftp/ftps address without a host,
  // or whose port is out of range, which would reach another port.
  static constexpr const char *kNoServerMessage = "The address names no server.";
  static std::string refusedAddress(const std::string &url);
  // The screens that later folders bring; set before launch.
  ScreenMakers makers;

  // --- Lifecycle.
  void applicationWillResignActive(platform::Application &app) override;
  void applicationDidBecomeActive(platform::Application &app) override;
  void applicationDidEnterBackground(platform::Application &app) override;
  void applicationWillEnterForeground(platform::Application &app) override;
  void applicationWillTerminate(platform::Application &app) override;
  void cleanupTempFiles();
  // The page that draws the application went out of the person's sight (hidden behind another
  // tab or window, unfocused, closed): what the person typed is kept as on resigning active, the
  // open editors saving their state. The sharing servers and the browsing connection stay: on a
  // desktop the person reaches them from another window while the page is out of sight.
  void pageWentAway() { editorsTerminating(); }
  // The program's last step, after the application terminated and its screens went: its
  // background work ends (platform::stopWorkerThreads, within `limit`), and only then are the
  // temporary files removed once more, so that one a late worker registered goes too. Whether
  // all work ended; when not, the program ends without destroying its static objects.
  bool endBackgroundWork(std::chrono::milliseconds limit);
  void activeTransfer();
  void finishedTransfer();
  // startWebServer / startFTPServer for each server whose setting ("WebServer", "FTPServer") is 1,
  // unless the passcode is still to be typed: Saved Files are not shared behind a locked screen.
  void startServersFromSettings();
  // A lock screen took the passcode: the sharing servers the settings ask for start now.
  void passcodeAccepted();
  // True from the start (or a return from the background) that asks for the passcode until it is
  // typed.
  bool passcodeOwed() const { return passcodeOwed_; }

  // --- Tabs, file tabs and rotation.
  void setupTabs();
  // The new tab stands at `at` among the right-hand tabs (0: in front of all): the restore at
  // start puts the tabs of the slots it reopens one after another, in slot order.
  void showFtpFileTab(std::shared_ptr<platform::ui::ViewController> screen,
                      const std::string &filename, bool animated, size_t at = 0);
  void showSavedFileTab(std::shared_ptr<platform::ui::ViewController> screen,
                        const std::string &filename);
  void showNoAnimationSavedFileTab(std::shared_ptr<platform::ui::ViewController> screen,
                                   const std::string &filename);
  void cancelFileViewTab(const std::shared_ptr<platform::ui::ViewController> &screen);
  // TabBarControllerDelegate: the tab already shown, tapped again, goes back to its root screen;
  // a text editor on the way closes as its Cancel closes it, asking first when it holds changes
  // (the tap then waits for the answer: "Yes, Discard" goes on to the root, "No" stays).
  bool shouldSelectViewController(platform::ui::TabBarController &tabs,
                                  platform::ui::ViewController &vc) override;
  // The screens of `nav` from `keep` on go without asking the person (an error answered sends
  // the FTP tab back): a text editor among them keeps what was typed as its edit state keeps it,
  // for the next start (or, on the phone, the next file opened for editing) to offer it again.
  void editorsKeepTheirEdits(const std::shared_ptr<platform::ui::NavigationController> &nav,
                             size_t keep);
  void fixTabIndexes();
  // The record of every file-tab slot below "TabIndexMax" that is not in use ("%i-IndexIsUsed" not
  // "1": turned down at start, not reopened, an earlier version's) is blanked, and its working
  // file in the temporary folder goes with it, unless an open editor, a slot still in use, the
  // phone's record or a queued transfer still uses that file.
  void dropUnusedSlotRecords();
  void fixEditViewers();
  std::shared_ptr<platform::ui::ViewController> getCurTabViewController();
  bool allowLandscapeView();
  bool shouldAutorotateToInterfaceOrientation(int orientation);
  void willAnimateRotationToInterfaceOrientation(int orientation);
  void didRotateFromInterfaceOrientation(int orientation);
  // Moves the current tab's screen into or out of the landscape container (iPhone).
  void rotisary();

  // --- Services.
  void setProtocol(const std::string &protocol);
  void showErrorForTopFtpTab(const std::string &text);
  void showErrorForTopFtpTab2(const std::string &text);
  // The help page for an ftp address's error, over its folder screen in the phone's browser.
  void showErrorInBrowserStack(const std::string &text);
  void showErrorForTopSavedFilesTab(const std::string &text);
  void showErrorForTopSavedFilesTab2(const std::string &text);
  void playMediaFile(const std::string &path, bool cleanupWhenDone);
  void playMediaFileNoCleanup(const std::string &path) { playMediaFile(path, false); }
  void myMovieFinishedCallback();
  void newValtryTab(const std::string &url);
  void badgeValtry(const std::string &text);
  void viewUsesMyScroller(bool) {}
  // Pushes the help screen on the FTP tab: a page among the resources when one has that name,
  // else that page of the online help.
  void pushHelpScreen(const std::string &title, const std::string &url, bool showLogButton);

  // --- Hosting.
  void startWebServer();
  void startFTPServer();
  void stopWebServer();
  void stopFTPServer();
  // A client handler read or wrote something.
  void serverIsActive() override;
  void stopActiveServerTimer();
  void noActiveServers();
  // A client handler refused a login.
  void incrementBadLogins() override;

  // TCPServerDelegate.
  void
  didAcceptConnectionForServer(TCPServer &server,
                               std::shared_ptr<platform::net::SocketInputStream> in,
                               std::shared_ptr<platform::net::SocketOutputStream> out) override;
  void serverDidEnableBonjour(TCPServer &server, const std::string &name) override;
  void didNotEnableBonjour(TCPServer &server,
                           const std::map<std::string, long> &errorDict) override;

  // The Saved Files screen reloads when it is on top of its tab; the settings screen reloads its
  // table (where the server address is shown). The screens come with the shell and the local
  // files; until then these call the hooks below when set.
  void reloadSavedFilesScreen() override;
  void reloadSettingsTableView();
  std::function<void()> savedFilesChangedHook;
  std::function<void()> settingsReloadHook;

  // --- State.
  std::shared_ptr<platform::ui::Window> window() const { return window_; }
  std::shared_ptr<platform::ui::ViewController> connectView() const { return connectView_; }
  std::shared_ptr<platform::ui::ViewController> webView() const { return webView_; }
  std::shared_ptr<BatchListView> batchView() const { return batchView_; }
  std::shared_ptr<SettingsViewController> settingsView() const { return settingsView_; }
  std::shared_ptr<platform::ui::NavigationController> navigationController() const {
    return navigationController_;
  }
  std::shared_ptr<platform::ui::NavigationController> navigationControllerFiles() const {
    return navigationControllerFiles_;
  }
  std::shared_ptr<platform::ui::NavigationController> navigationControllerWeb() const {
    return navigationControllerWeb_;
  }
  std::shared_ptr<platform::ui::NavigationController> navigationControllerBatch() const {
    return navigationControllerBatch_;
  }
  std::shared_ptr<platform::ui::NavigationController> navigationControllerSettings() const {
    return navigationControllerSettings_;
  }
  std::shared_ptr<platform::ui::TabBarController> tabBarController() const {
    return tabBarController_;
  }
  std::shared_ptr<platform::ui::TabBarController> tabBarControllerRight() const {
    return tabBarControllerRight_;
  }
  std::shared_ptr<MySplitView> mySplitVC() const { return mySplitVC_; }
  std::shared_ptr<LandscapeViewController> landscapeView() const { return landscapeView_; }
  const std::vector<std::shared_ptr<platform::ui::ViewController>> &splitRightControllers() const {
    return splitRightControllers_;
  }
  std::shared_ptr<platform::ui::ImageView> splashView() const { return splashView_; }
  std::shared_ptr<LockViewer> startupLock() const { return startupLock_; }
  std::shared_ptr<MyMoviePlayer> moviePlayer() const { return theMoviePlayerView_; }
  std::shared_ptr<FTPConnection> ftpConnection() const { return ftpConnection_; }
  void setFtpConnection(std::shared_ptr<FTPConnection> c) { ftpConnection_ = std::move(c); }
  std::shared_ptr<SFTPWrapper> sftpConnection() const { return sftpConnection_; }
  void setSftpConnection(std::shared_ptr<SFTPWrapper> c) { sftpConnection_ = std::move(c); }
  std::shared_ptr<platform::ui::ViewController> editFileView() const {
    return editFileView_.lock();
  }
  void setEditFileView(std::weak_ptr<platform::ui::ViewController> v) {
    editFileView_ = std::move(v);
  }
  bool startupStuffDone() const { return startupStuffDone_; }
  bool didImportFileOnStartup() const { return didImportFileOnStartup_; }
  int currentOrientation() const { return currentOrientation_; }
  int lastInterfaceOrientation() const { return lastInterfaceOrientation_; }
  // Seconds of the clock at which the application last entered the background.
  double lockedTime() const {
    return std::chrono::duration<double>(lockedTime_.time_since_epoch()).count();
  }
  TCPServer *webServerListener() const { return webServerListener_.get(); }
  TCPServer *ftpServerListener() const { return ftpServerListener_.get(); }
  bool isActiveServerTimerArmed() const {
    return activeServerTimer_ && activeServerTimer_->isValid();
  }
  platform::TimerRef activeServerTimer() const { return activeServerTimer_; }
  int badLoginCount() const { return badLoginCount_; }
  const std::string &bonjourPhoneName() const { return bonjourPhoneName_; }
  bool applicationActive() const { return applicationActive_; }

  // The screen a maker makes, or a placeholder of that name and title when there is no maker.
  std::shared_ptr<platform::ui::ViewController>
  makeScreen(const std::function<std::shared_ptr<platform::ui::ViewController>()> &maker,
             const std::string &nibName, const std::string &title);

private:
  void installServices();
  void uninstallServices();
  // Every open text editor saves its edit state: those on top of the FTP and Saved Files tabs
  // and those of the file tabs (iPad).
  void editorsTerminating();
  // The ends of a file tab's zoom in (its screen takes its tab) and of a closed tab's slide out.
  void appearAnimationDone(const std::shared_ptr<platform::ui::View> &zoom,
                           const std::shared_ptr<platform::ui::ViewController> &screen,
                           const std::string &filename, size_t at);
  void disappearAnimationDone(const std::shared_ptr<platform::ui::View> &view);
  void insertRightTab(std::shared_ptr<platform::ui::ViewController> screen, size_t at,
                      const std::string &title, const std::string &image, int tag);
  void showHelpIn(const std::shared_ptr<platform::ui::NavigationController> &nav,
                  const std::string &text);
  // The help page for an error, 0.3 s later (after the alert or the pop that came with it).
  void showHelpLater(const std::shared_ptr<platform::ui::NavigationController> &nav,
                     const std::string &text);
  void startServer(std::unique_ptr<TCPServer> &listener, uint16_t port, const char *identifier,
                   platform::net::ListeningSocket::TurnAwayReply turnAwayReply = nullptr);
  void stopServer(std::unique_ptr<TCPServer> &listener);

  std::unique_ptr<TCPServer> webServerListener_;
  std::unique_ptr<TCPServer> ftpServerListener_;
  platform::TimerRef activeServerTimer_;
  int badLoginCount_ = 0;
  std::string bonjourPhoneName_;
  bool applicationActive_ = true;
  bool passcodeOwed_ = false;

  std::shared_ptr<platform::ui::Window> window_;
  std::shared_ptr<platform::ui::ViewController> connectView_, webView_, filesView_;
  std::shared_ptr<BatchListView> batchView_;
  std::shared_ptr<SettingsViewController> settingsView_;
  std::shared_ptr<platform::ui::NavigationController> navigationController_,
      navigationControllerFiles_, navigationControllerWeb_, navigationControllerBatch_,
      navigationControllerSettings_;
  std::shared_ptr<platform::ui::TabBarController> tabBarController_, tabBarControllerRight_;
  std::vector<std::shared_ptr<platform::ui::ViewController>> splitRightControllers_;
  std::shared_ptr<MySplitView> mySplitVC_;
  std::shared_ptr<LandscapeViewController> landscapeView_;
  std::shared_ptr<platform::ui::ImageView> splashView_;
  std::shared_ptr<LockViewer> startupLock_;
  std::shared_ptr<FTPConnection> ftpConnection_;
  std::shared_ptr<SFTPWrapper> sftpConnection_;
  std::weak_ptr<platform::ui::ViewController> editFileView_;
  std::shared_ptr<MyMoviePlayer> theMoviePlayerView_;
  std::string moviePath_;
  bool cleanupMovieWhenDone_ = false;
  // Where a screen moved into the landscape container came from (iPhone).
  std::weak_ptr<platform::ui::NavigationController> oldSuperviewController_;
  platform::ui::Rect oldFrame_;
  bool screenMoved_ = false;
  bool startupStuffDone_ = false, didImportFileOnStartup_ = false;
  int currentOrientation_ = 1, lastInterfaceOrientation_ = 1;
  // Kept in the clock's own ticks: the time away is their exact difference (readings turned
  // into seconds first are rounded, and a minute could come out a hair short).
  platform::TimePoint lockedTime_{};
  std::shared_ptr<AppDelegateServices> appServices_;
  std::shared_ptr<FTPAppServices> ftpServices_;
  std::shared_ptr<BatchAppServices> batchServices_;
  std::shared_ptr<WebServices> webServices_;
  std::shared_ptr<EditorServices> editorServices_;
};
