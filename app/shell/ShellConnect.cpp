#include "app/shell/ShellConnect.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditorScreens.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/ftp/FTPConnection.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"
#include "app/sftp/SFTPWrapper.h"
#include "app/shell/FerrowenAppDelegate.h"
#include "app/shell/PasscodeLock.h"
#include "app/shell/ShellScreens.h"
#include "app/web/WebPreviewViewController.h"

#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform::ui;

namespace {

class ShellConnect : public Connect, public ShellConnectScreen {
public:
  explicit ShellConnect(std::weak_ptr<FerrowenAppDelegate> delegate) : d_(std::move(delegate)) {
    hooks.setFtpConnection = [d = d_](std::shared_ptr<FTPConnection> c) {
      if (auto app = d.lock()) app->setFtpConnection(std::move(c));
    };
    // iPhone: the file that was being edited opens over the folder screen of its own connection.
    hooks.reopenEditedFile = [d = d_](std::shared_ptr<FTPConnection> ftp,
                                      std::shared_ptr<SFTPWrapper> sftp) {
      auto app = d.lock();
      if (!app) return;
      auto editor = sftp ? editPreviouslySavedFile(sftp)
                         : editPreviouslySavedFile(ftp, ftp ? ftp->loginUser() : std::string());
      if (!editor) return;
      app->setEditFileView(editor);
      if (auto nav = app->navigationController()) nav->pushViewController(editor, true);
    };
    // A file of the device kept with the text typed in it: a file tab in its slot's place on
    // iPad; on iPhone over the Saved Files folder, in that tab.
    hooks.reopenKeptDeviceFile = [this](std::optional<int> slot) {
      auto app = d_.lock();
      if (!app) return;
      auto editor = editKeptDeviceFile(slot);
      if (!editor) {
        if (slot) platform::UserDefaults::standard().setObject("0", keyIndexIsUsed(*slot));
        return;
      }
      app->setEditFileView(editor);
      if (slot) return app->showFtpFileTab(editor, editor->textFileName, false, restoredTabs_++);
      if (auto tabs = app->tabBarController()) tabs->setSelectedIndex(1);
      if (auto nav = app->navigationControllerFiles()) nav->pushViewController(editor, true);
    };
    hooks.setSftpConnection = [d = d_](std::shared_ptr<SFTPWrapper> c) {
      if (auto app = d.lock()) app->setSftpConnection(std::move(c));
    };
    hooks.openWebViewURL = [d = d_](const std::string &url) {
      auto app = d.lock();
      if (auto web =
              app ? std::dynamic_pointer_cast<WebPreviewViewController>(app->webView()) : nullptr)
        web->openURL(url);
    };
    hooks.webViewURL = [d = d_]() -> std::string {
      auto app = d.lock();
      auto web =
          app ? std::dynamic_pointer_cast<WebPreviewViewController>(app->webView()) : nullptr;
      return web ? web->getURL() : std::string();
    };
    hooks.openEditorTab = [this](const std::string &path, const std::string &name,
                                 const std::string &folder, const EditOrigin &origin,
                                 bool changed) {
      auto app = d_.lock();
      if (!app || !app->makers.textEditor) return;
      if (EditFileView::tooBigToEdit(path)) return EditFileView::tellTooBigToEdit(name);
      auto editor = app->makers.textEditor(path);
      if (!editor) return;
      if (auto e = std::dynamic_pointer_cast<EditFileViewScreen>(editor)) {
        e->setTextFileName(name);
        e->setDirectoryOfTheFile(folder);
        e->setEditingSavedFile(false);
      }
      if (auto e = std::dynamic_pointer_cast<EditFileView>(editor)) {
        e->serverPort = origin.port;
        e->serverProtocol = origin.protocol;
        e->restoredChanged = changed;
      }
      // Each after the ones before it: the tabs stand in slot order, and keep their slots.
      app->showFtpFileTab(editor, name, false, restoredTabs_++);
    };
    // The restore renumbers the tabs once it has opened them all; the slots it did not reopen go,
    // with their working files.
    hooks.fixTabIndexes = [this] {
      restoredTabs_ = 0;
      if (auto app = d_.lock()) {
        app->dropUnusedSlotRecords();
        app->fixTabIndexes();
      }
    };
    // Also where the records are turned down (or there is nothing to continue): the tablet's slots
    // that are no longer in use go, with their working files.
    hooks.cleanupDownloadedFiles = [d = d_] {
      if (auto app = d.lock()) {
        app->dropUnusedSlotRecords();
        app->cleanupTempFiles();
      }
    };
    hooks.openViewer = [d = d_](const std::string &name, const std::string &path) {
      auto app = d.lock();
      if (!app || !app->makers.documentViewer) return;
      if (auto viewer = app->makers.documentViewer(name, path))
        if (auto nav = app->navigationController()) nav->pushViewController(viewer, true);
    };
    hooks.presentStartupLock = [this](Connect &) {
      lock_ = std::make_shared<LockViewer>("LockView");
      lock_->connectView = std::weak_ptr<ShellConnectScreen>(sharedAs<ShellConnect>());
      auto app = d_.lock();
      std::shared_ptr<ViewController> over =
          app && app->mySplitVC() ? std::static_pointer_cast<ViewController>(app->mySplitVC())
                                  : sharedAs<ViewController>();
      over->presentModalViewController(lock_, false);
    };
  }
  bool startupLockShown() const override { return lock_ && lock_->viewLocked(); }
  // "Edit File(s)": on iPad every used tab slot opens again as a file tab; on iPhone the connect
  // screen connects with the stored fields and the file opens once that connection is there.
  void clickedButtonAtIndex(AlertView &alert, int index) override {
    if (&alert == confirmEditFile.get() && index == 1 && Hardware::isiPad()) {
      confirmEditFile.reset();
      auto app = d_.lock();
      if (!app) return;
      // Each tab after the ones before it: the tabs stand in slot order, and keep their slots.
      size_t at = 0;
      auto notOpened = ::restoreEditFiles(
          [app, &at](std::shared_ptr<EditFileView> editor, const std::string &name) {
            app->setEditFileView(editor);
            app->showFtpFileTab(editor, name, false, at++);
          });
      app->dropUnusedSlotRecords(); // the slots not reopened, with their working files
      app->fixTabIndexes();
      notReopened(notOpened);
      return;
    }
    Connect::clickedButtonAtIndex(alert, index);
  }
  void restoreEditState() override { Connect::restoreEditState(); }
  void checkForReviewPrompt() override { Connect::checkForReviewPrompt(); }

private:
  std::weak_ptr<FerrowenAppDelegate> d_;
  std::shared_ptr<LockViewer> lock_;
  // The file tabs the restore through the hooks has opened so far.
  size_t restoredTabs_ = 0;
};

} // namespace

void attachConnectScreen(const std::shared_ptr<FerrowenAppDelegate> &delegate) {
  // The web tab hands its ftp connection over: the folder it opened on is the top of the
  // screens that follow, so no "Up a Folder" leads above it.
  if (!delegate->makers.remoteFolder)
    delegate->makers.remoteFolder =
        [](std::shared_ptr<FTPConnection> c,
           const std::string &title) -> std::shared_ptr<ViewController> {
      if (!c) return nullptr;
      auto screen = DirViewer::initWithExistingConnection(std::move(c), "DirViewer");
      screen->currentTitle = title;
      screen->rootFolder = true;
      return screen;
    };
  if (delegate->makers.connect) return;
  std::weak_ptr<FerrowenAppDelegate> weak = delegate;
  delegate->makers.connect = [weak]() -> std::shared_ptr<ViewController> {
    return std::make_shared<ShellConnect>(weak);
  };
}
