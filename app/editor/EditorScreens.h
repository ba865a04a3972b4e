// How the shell meets the editor's screens: the text editor as the shell numbers its tab, the
// makers of the text editor and the document viewer on a file, and the two ways the next start
// reopens files that were being edited (every used file-tab slot on iPad; on iPhone the one file
// of the plain record, on the browsing connection).
#pragma once

#include "app/web/ShellFileScreen.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::ui {
class ViewController;
}
class EditFileView;
class FTPConnection;
class SFTPWrapper;

// The text editor as the shell numbers its tab and asks it to keep its edit state.
class ShellTextEditor : public ShellFileScreen {
public:
  virtual void setTabIndex(int) {}
  virtual void saveEditState() {}
  // The application resigns or terminates while the editor is on top of its tab.
  virtual void applicationTerminating() {}
  // The person leaves the editor by another way than its own Cancel (its tab tapped again): as
  // Cancel does, it asks first when what it holds would be thrown away. True when it closed at
  // once (nothing to ask); false when it asked, and `closed` runs once "Yes, Discard" has closed
  // it ("No" keeps it open, and `closed` never runs).
  virtual bool closeOrAsk(std::function<void()> closed) {
    (void)closed;
    return true;
  }
  // The editor settings changed: take them again.
  virtual void reapplyEditorSettings() {}
  // The local file the editor works on (none: it works on no file).
  virtual std::string workingFile() const { return {}; }
};

// "EditHideStatus": the text editor and the document viewer hide the status bar while they are in
// view, and leave it as it was before once no such screen is. Main thread.
class StatusBarHiding {
public:
  StatusBarHiding() = default;
  StatusBarHiding(const StatusBarHiding &) = delete;
  StatusBarHiding &operator=(const StatusBarHiding &) = delete;
  ~StatusBarHiding() { disappearing(); }
  // The screen comes into view: the status bar is hidden when the setting is on.
  void appearing();
  // The screen goes (or is freed): the bar is as before once no screen hides it.
  void disappearing();

private:
  bool hiding_ = false;
};

// The text editor on the file at `path`, named after the file; none for a file too big to edit
// (the person is told).
std::shared_ptr<platform::ui::ViewController> makeTextEditorScreen(const std::string &path);
// The document viewer on the file at `path` shown as `name`; it deletes only a download of the
// temporary folder when it closes.
std::shared_ptr<platform::ui::ViewController> makeDocumentViewerScreen(const std::string &name,
                                                                       const std::string &path);

// iPad: for every slot below "TabIndexMax" whose "%i-IndexIsUsed" is "1", in order, an editor on
// the slot's working file with the slot's server, user and password (given to it through the
// settings "ServerAddress", "UserName" and "UserPass", which are put back afterwards) and the
// slot's port and protocol, handed to `show` with its file name. A slot that does not say which
// connection its file came from (written by an earlier version) opens nowhere: its file name is
// returned instead, and the slot is no longer in use ("%i-IndexIsUsed" "0"), so that its record
// and working file can go; so is a slot whose file is too big to edit (the person is told). A slot
// whose record is of a file of the device (Saved Files, the cloud container) opens that file with
// the text typed in it (the file itself still holds what it held). The caller renumbers the tabs
// afterwards.
std::vector<std::string> restoreEditFiles(
    const std::function<void(std::shared_ptr<EditFileView>, const std::string &name)> &show);

// The editor on the file of the device whose typed text a record keeps (a file tab's slot on
// iPad, the plain record on iPhone); none when the record is of a server's file, or its working
// copy is gone, or the file is too big to edit (the person is told).
std::shared_ptr<EditFileView> editKeptDeviceFile(std::optional<int> slot = std::nullopt);

// iPhone: the editor on the file of the plain record ("EditingFTPFile"), on the connection,
// read-only when there is none or it logs in with no user (`loginUser`: what the caller just gave
// the connection, which takes it on its own thread later); none when the file is gone or too big
// to edit.
std::shared_ptr<EditFileView> editPreviouslySavedFile(std::shared_ptr<FTPConnection> connection,
                                                      const std::string &loginUser);
// The same on an SFTP connection.
std::shared_ptr<EditFileView> editPreviouslySavedFile(std::shared_ptr<SFTPWrapper> connection);
