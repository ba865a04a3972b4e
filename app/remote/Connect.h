// The connect screen, root of the FTP tab: server, user and password fields and the protocol
// segment; it checks and normalises what was typed, stores it, and starts (or reuses) the browsing
// connection whose folder screens the tab shows. It also offers the bookmarks, adds the typed
// server as one, clears the fields on a shake, and at start offers to continue with the files that
// were open when the program last closed.
#pragma once

#include "app/foundation/EditOrigin.h"
#include "app/remote/Bookmarks.h"

#include "platform/foundation/RunLoop.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Services.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class DirViewer;
class FTPConnection;
class FTPConnectionDelegate;
class SFTPWrapper;

// The server text with its scheme marker taken off, and the segment (0 FTP, 1 FTPS, 2 SFTP) the
// marker and the port call for.
struct ConnectTarget {
  std::string server;
  int segment = 0;
};
ConnectTarget normaliseServerText(const std::string &text, int segment);

// The folders whose screens a reopen shows, top of the stack last: the folder kept with the edit
// state and the folders above it, from `start` (where a connect starts: "." or the path typed
// after the server; empty when not known) when it lies below that, else from "/" for a full path.
// Just the folder when it is the start or neither applies. At most kMaxReopenLevels: the
// folders nearest the file's are kept.
inline constexpr size_t kMaxReopenLevels = 32;
std::vector<std::string> reopenFolders(const std::string &folder, const std::string &start);
// A folder above `folder` on the way to it (`above`, a first part of its path): with the bytes its
// server named it with, when `folder` has them.
RemoteName folderAbove(const RemoteName &folder, const std::string &above);

// The navigation of what the connect screen presents (its bookmark list): portrait only.
class ConnectNavViewController : public platform::ui::NavigationController {
public:
  using NavigationController::NavigationController;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override {
    return o == platform::ui::InterfaceOrientation::Portrait;
  }
};

class Connect : public platform::ui::ViewController,
                public platform::ui::TextFieldDelegate,
                public platform::ui::AlertViewDelegate,
                public platform::ui::AccelerometerDelegate,
                public BookmarkConnectTarget {
public:
  explicit Connect(const std::string &nibName = "Connect");
  ~Connect() override;

  // What the application supplies (the shell sets these; tests may too).
  struct Hooks {
    // Whether the internet or a local Wi-Fi network is reachable.
    std::function<bool()> reachable;
    // Shows the passcode screen, which restores the edit state once the passcode is right.
    std::function<void(Connect &)> presentStartupLock;
    std::function<void(std::shared_ptr<FTPConnection>)> setFtpConnection;
    std::function<void(std::shared_ptr<SFTPWrapper>)> setSftpConnection;
    // The web tab: opens an address; the address it shows.
    std::function<void(const std::string &url)> openWebViewURL;
    std::function<std::string()> webViewURL;
    // iPad: opens the editor on a file kept from the last run as a file tab (path, remote name,
    // remote folder, the connection it came from, and whether the file holds edits the server has
    // not got), and renumbers the file tabs afterwards.
    std::function<void(const std::string &path, const std::string &name, const std::string &folder,
                       const EditOrigin &origin, bool changed)>
        openEditorTab;
    // iPhone: opens the editor on the file kept from the last run over the connection it came
    // from (one of the two), once that connection has listed its folder.
    std::function<void(std::shared_ptr<FTPConnection>, std::shared_ptr<SFTPWrapper>)>
        reopenEditedFile;
    // A file of the device kept from the last run with the text typed in it (its record names it
    // under "EditingSavedFile"; no connection is needed): iPad: as a file tab of the slot given;
    // iPhone (no slot): on the Saved Files tab.
    std::function<void(std::optional<int> slot)> reopenKeptDeviceFile;
    std::function<void()> fixTabIndexes;
    std::function<void()> cleanupDownloadedFiles;
    std::function<void(const std::string &path)> openTextEditor;
    std::function<void(const std::string &name, const std::string &path)> openViewer;
  } hooks;

  // Actions.
  void clickConnect();
  void clickAddBookmark();
  void doAddBookmark(const std::string &name);
  void clickBookmarks();
  void changeProtocolType();
  void showAbout();
  void clickKeys();
  // The local files screen, in its own navigation controller, modally.
  void clickTest();
  void checkForReviewPrompt();
  void checkInBookmarks();
  // BookmarkConnectTarget.
  void selectedBookmark() override;
  void fillServerFromDefaults() override;
  void doConnectFromBookmarks() override;

  // Edit state of the last run.
  void restoreEditState();
  // iPad: reopens every file tab that was in use.
  void restoreEditFiles();
  void clearFileEditSettings();
  // Tells the person that the files named were not reopened: their edit state does not say which
  // connection they came from.
  void notReopened(const std::vector<std::string> &names);
  // iPhone: the file kept from the last run waits for the connection "Edit File" started.
  bool reopenAfterConnect() const { return reopenAfterConnect_.has_value(); }
  // iPhone: connects with the server, user and password of the edit record, and opens its file
  // over that connection once it has listed the file's folder ("Edit File").
  void continueRecordedEdit();
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  bool textFieldShouldReturn(platform::ui::TextField &field) override;
  void didAccelerate(platform::ui::Accelerometer &, const platform::ui::Acceleration &a) override;

  std::shared_ptr<platform::ui::TextField> serverName, loginUser, loginPass;
  std::shared_ptr<platform::ui::SegmentedControl> protocolType;
  std::shared_ptr<platform::ui::Label> connectMessage, connectHelpMessage, shakeMessage;
  std::shared_ptr<platform::ui::BarButtonItem> addBookmarkBtn, viewBookmarksBtn, keysBtn;
  std::shared_ptr<platform::ui::Toolbar> bottomToolbar;
  // Opens the local files screen (clickTest).
  std::shared_ptr<platform::ui::Button> localFilesBtn;
  std::shared_ptr<FTPConnection> theConnection;
  // The browsing SFTP connection; a new one for each connect after the screen reappears.
  std::shared_ptr<SFTPWrapper> sftpConnection;
  // The iPad popover shown now (help, add bookmark, bookmarks).
  std::shared_ptr<platform::ui::PopoverController> popover;
  std::shared_ptr<platform::ui::AlertView> confirmOpenFile, confirmEditFile, startupHelp;
  // The restore runs once per process.
  static bool restoreDone;

private:
  // The file that "Edit File" reopens, and the folder screen of the connection it waits for.
  struct PendingReopen {
    EditOrigin origin;
    std::weak_ptr<DirViewer> screen;
    std::string folder, start; // the folder that screen shows, and where a connect starts
  };
  void storeFields(bool connecting);
  void connectFTP(std::optional<EditOrigin> reopen);
  void connectSFTP(std::optional<EditOrigin> reopen);
  // The bodies of the browsing connections' threads. FTP: the connection is made on its own
  // thread (its streams live on that thread's run loop), then set up by `configure` on the main
  // thread. SFTP: a new session (or the one the service has, reopened) lists `folder`.
  using ConfigureFTP = std::function<void(const std::shared_ptr<FTPConnection> &)>;
  static void startConnectionThread(std::weak_ptr<Connect> weak, ConfigureFTP configure);
  static void startSFTPConnectionThread(SFTPWrapper &service, bool first,
                                        const std::string &folder);
  // Pushes a screen, animated, on the FTP tab's stack.
  void mainThreadPushView(const std::shared_ptr<platform::ui::ViewController> &screen);
  std::shared_ptr<DirViewer> pushFolderScreen(const std::string &folder, const std::string &start);
  // A connection's first screen shows `folder`: one that is not where a connect starts
  // (`start`) is titled with its name, as when it is opened from its parent's list.
  static void titleFirstFolderScreen(DirViewer &screen, const std::string &folder,
                                     const std::string &start);
  // Once that screen has listed, the screens of the folders above it go beneath it, as after
  // going down by hand, so that Back leads up; each lists its folder when it is first shown.
  void addFoldersAbove(const std::shared_ptr<DirViewer> &screen, const std::string &folder,
                       const std::string &start);
  void armReopen(const EditOrigin &origin, const std::shared_ptr<DirViewer> &screen,
                 const std::string &folder, const std::string &start);
  void connectionCameOut(const std::shared_ptr<DirViewer> &screen, bool listed);
  void browsingConnectionFailed(const std::shared_ptr<FTPConnection> &connection);
  void
  showPopover(std::shared_ptr<platform::ui::ViewController> content, platform::ui::Size size,
              const std::shared_ptr<platform::ui::BarButtonItem> &from,
              const std::function<void(const std::shared_ptr<platform::ui::PopoverController> &)>
                  &beforeShown = {});
  bool anyFieldEditing() const;
  // Pushes a help page (a resource page or one of the online help) with a "Back" way back.
  void pushHelp(const std::string &title, const std::string &page);
  std::shared_ptr<platform::RunLoop> connectionThread_;
  // The browsing FTP connection is being made on its thread: its folder screen is not pushed yet.
  bool connecting_ = false;
  // Set by "Edit File" for the connect it starts; armed once that connect has its folder screen.
  std::optional<EditOrigin> reopenWanted_;
  std::optional<PendingReopen> reopenAfterConnect_;
  // Hears the browsing FTP connection's error reports (the alerts still show).
  std::shared_ptr<FTPConnectionDelegate> failureWatch_;
  std::shared_ptr<platform::ui::BarButtonItem> infoBtn_;
  double filtered_[3] = {0, 0, 0};
  double lastTime_ = -1;
};
