// What an FTP connection needs of the screens and of the application delegate, as small
// interfaces: the connection keeps no pointer to its screens and reaches them through the
// application's services. The screens and the delegate implement these; tests use doubles.
#pragma once

#include "app/foundation/RemoteName.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class FTPConnection;
class DirItemInfo;

// A message from a connection's thread to the transfer queue: which row, how far.
struct BatchObject {
  int primaryKey = -1;
  int64_t bytes = 0;
  float progress = 0;
};

// The transfer queue screen (`BatchListView`) as the connections report to it. Main thread.
class BatchQueueReceiver {
public:
  virtual ~BatchQueueReceiver() = default;
  virtual void doneBatchItemObject(const BatchObject &) {}
  virtual void abortBatchItemObject(const BatchObject &) {}
  virtual void updateBatchItemObject(const BatchObject &) {}
  virtual void updateFileSizeBatchItemObject(const BatchObject &) {}
};

// The remote folder screen (`DirViewer`) on top of its stack, as its connection updates it.
// Main thread, except updateProgress, which the connection calls from its own thread (a screen
// that draws it must hop to the main thread itself).
class DirViewerScreen {
public:
  virtual ~DirViewerScreen() = default;
  virtual void updateProgress(float) {}
  virtual void updateProgressText(const std::string &) {}
  virtual std::string currentWorkingDirectory() const { return {}; }
  virtual void setCurrentWorkingDirectory(const std::string &) {}
  // The folder with the bytes its server named it with (a screen that keeps no bytes: its text).
  virtual RemoteName currentRemoteFolder() const { return currentWorkingDirectory(); }
  virtual void setCurrentRemoteFolder(const RemoteName &folder) {
    setCurrentWorkingDirectory(folder.text());
  }
  // A screen opened for a folder and not yet listed: the folder it asked the connection for
  // (empty: the first listing that comes, as the login folder's screen takes it).
  virtual RemoteName awaitedRemoteFolder() const { return {}; }
  // The screen's full list and its shown list are replaced whole, then sorted and reloaded.
  virtual void replaceDirectory(const std::vector<std::shared_ptr<DirItemInfo>> &) {}
  virtual void setLoadedDirectory(bool) {}
  virtual void showDirToolbar() {}
  virtual void showWorkingToolbar() {}
  virtual void showWorkingTextToolbar() {}
  // Chooses the toolbar by the connection's state (after a task has ended).
  virtual void showAppropriateToolbar() {}
  virtual void doButtonStates() {}
  virtual void showEditSaveButton(int, bool) {}
  // Whether the screen shows the folders of this connection. A screen of another connection (or
  // of SFTP) takes none of its listings or progress; a screen that never says takes them all.
  virtual bool showsConnection(const FTPConnection &) const { return true; }
};

// The text editor (`EditFileView`) as the connection hands it a downloaded file.
class EditFileViewScreen {
public:
  virtual ~EditFileViewScreen() = default;
  virtual void setFReadOnly(bool) {}
  virtual void setTheConnection(std::shared_ptr<FTPConnection>) {}
  virtual void setTextFileName(const std::string &) {}
  virtual void setDirectoryOfTheFile(const std::string &) {}
  // The file's name and folder as the server named them: what its save goes back to.
  virtual void setRemoteFile(const RemoteName & /*name*/, const RemoteName & /*folder*/) {}
  virtual void setEditingSavedFilePath(const std::string &) {}
  virtual void setEditingSavedFile(bool) {}
};

// Whether a downloaded file opens in the editor without a way to save it back: a head or tail view
// holds only part of the file (saved, that part would take the whole file's place on the server),
// and an anonymous login has no say over the server's files. FTP and SFTP views both ask this.
inline bool opensReadOnly(bool partOfTheFile, const std::string &loginUser) {
  return partOfTheFile || loginUser.empty();
}

// The application delegate's services that the connections use. Every call is made on the main
// thread.
class FTPAppServices {
public:
  virtual ~FTPAppServices() = default;

  // The process's services (none until the application, or a test, installs them).
  static std::shared_ptr<FTPAppServices> shared();
  static void setShared(std::shared_ptr<FTPAppServices> services);

  // The queue screen (`batchView`), or none.
  virtual std::shared_ptr<BatchQueueReceiver> batchView() { return nullptr; }
  // The top screen of the FTP tab's navigation stack when it is a remote folder screen.
  virtual std::shared_ptr<DirViewerScreen> topDirViewer() { return nullptr; }
  // The folder screen on top of the stack that shows `connection`'s folders: the FTP tab's, or
  // the stack a browser opened an ftp address in on a connection of its own. None while no
  // stack has one of its screens on top. A connection's listings and progress go here only.
  virtual std::shared_ptr<DirViewerScreen> folderScreenOf(const FTPConnection &connection) {
    auto top = topDirViewer();
    return top && top->showsConnection(connection) ? top : nullptr;
  }
  // True when the top screen of the FTP tab is the connect screen (`Connect`).
  virtual bool connectScreenOnTop() { return false; }
  // Whether the connection's error alerts wait unshown: those of the FTP tab's connection while
  // its connect screen is on top (it tells of a failed connect itself); a connection whose screens
  // stand elsewhere (a browser's ftp address, on the phone) always shows its own.
  virtual bool holdsBackAlertsOf(const FTPConnection &) { return connectScreenOnTop(); }

  virtual void setProtocol(const std::string &) {}
  virtual void activeTransfer() {}
  virtual void finishedTransfer() {}
  // Shows a help page (an HTML resource) in the FTP tab.
  virtual void showErrorForTopFtpTab(const std::string &) {}
  // Navigation of the FTP tab.
  virtual void popFtpTab(bool /*animated*/) {}
  virtual void popFtpTabToRoot(bool /*animated*/) {}
  // The same for a connection's own screens: a connection whose folder screens stand on a stack
  // of their own (an ftp address a browser opened, on the phone) shows its error pages and leaves
  // its screens there, and the FTP tab's screens of another connection stay as they are.
  virtual void showErrorForConnection(const FTPConnection &, const std::string &page) {
    showErrorForTopFtpTab(page);
  }
  virtual void popConnectionScreens(const FTPConnection &, bool toRoot, bool animated) {
    if (toRoot)
      popFtpTabToRoot(animated);
    else
      popFtpTab(animated);
  }
  // Pushes the help screen (`HelpViewController`, interface file "HelpView") with its title, the
  // name of a page among the resources or else the online help page's path and query, and its
  // log button shown or not.
  virtual void pushHelpScreen(const std::string & /*title*/, const std::string & /*pathAndQuery*/,
                              bool /*showLogButton*/) {}
  // Hands a downloaded file on: the player, the document viewer, the text editor.
  virtual void playMediaFile(const std::string & /*path*/, bool /*cleanupWhenDone*/) {}
  virtual void showDocumentViewer(const std::string & /*fileName*/, const std::string & /*path*/) {}
  virtual std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string & /*path*/) {
    return nullptr;
  }
  // The network kind for the log's header: 1 cellular, 2 Wi-Fi, anything else unknown.
  virtual int internetConnectionStatus() { return 0; }
};
