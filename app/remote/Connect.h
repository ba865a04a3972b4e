// The connect screen, root of the FTP tab: server, user and password fields and the protocol
// segment; it checks and normalises what was typed, stores it, and starts (or reuses) the browsing
// connection whose folder screens the tab shows. It also offers the bookmarks, adds the typed
// server as one, clears the fields on a shake, and at start offers to continue with the files that
// were open when the program last closed.
#pragma once

#include "app/remote/Bookmarks.h"

#include "platform/foundation/RunLoop.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Services.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <memory>
#include <string>

class FTPConnection;
class SFTPWrapper;

// The server text with its scheme marker taken off, and the segment (0 FTP, 1 FTPS, 2 SFTP) the
// marker and the port call for.
struct ConnectTarget {
  std::string server;
  int segment = 0;
};
ConnectTarget normaliseServerText(const std::string &text, int segment);

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
    // remote folder), and renumbers the file tabs afterwards.
    std::function<void(const std::string &path, const std::string &name, const std::string &folder)>
        openEditorTab;
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
  void storeFields(bool connecting);
  void connectFTP();
  void connectSFTP();
  void pushFolderScreen();
  void
  showPopover(std::shared_ptr<platform::ui::ViewController> content, platform::ui::Size size,
              const std::shared_ptr<platform::ui::BarButtonItem> &from,
              const std::function<void(const std::shared_ptr<platform::ui::PopoverController> &)>
                  &beforeShown = {});
  bool anyFieldEditing() const;
  // Pushes a help page (a resource page or one of the online help) with a "Back" way back.
  void pushHelp(const std::string &title, const std::string &page);
  std::shared_ptr<platform::RunLoop> connectionThread_;
  std::shared_ptr<platform::ui::BarButtonItem> infoBtn_;
  double filtered_[3] = {0, 0, 0};
  double lastTime_ = -1;
};
