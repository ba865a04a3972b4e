#include "app/shell/ShellServices.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditState.h"
#include "app/editor/WebDocumentViewController.h"
#include "app/files/LocalFilesServices.h"
#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Reachability.h"
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPServices.h"
#include "app/photos/PhotoGalleryView.h"
#include "app/queue/BatchListView.h"
#include "app/queue/BatchServices.h"
#include "app/remote/DirViewer.h"
#include "app/sftp/SFTPWrapper.h"
#include "app/shell/FerrowenAppDelegate.h"
#include "app/shell/HelpScreens.h"
#include "app/web/WebServices.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"

using namespace platform::ui;

namespace {

// Calls fn with the delegate when it is still there; else answers `fallback`.
template <class R, class Fn>
R withDelegate(const std::weak_ptr<FerrowenAppDelegate> &weak, R fallback, Fn fn) {
  if (auto d = weak.lock()) return fn(*d);
  return fallback;
}

template <class T> std::shared_ptr<T> topOf(const std::shared_ptr<NavigationController> &nav) {
  return nav ? std::dynamic_pointer_cast<T>(nav->topViewController()) : nullptr;
}

class AppServices : public AppDelegateServices {
public:
  explicit AppServices(std::weak_ptr<FerrowenAppDelegate> d) : d_(std::move(d)) {}
  bool allowLandscapeView() const override {
    return withDelegate(d_, false, [](FerrowenAppDelegate &d) { return d.allowLandscapeView(); });
  }
  void viewUsesMyScroller(bool uses) override {
    if (auto d = d_.lock()) d->viewUsesMyScroller(uses);
  }
  void didRotateFromInterfaceOrientation(int from) override {
    if (auto d = d_.lock()) d->didRotateFromInterfaceOrientation(from);
  }
  std::shared_ptr<ViewController> makeHelpViewController(const std::string &,
                                                         const std::string &title,
                                                         const std::string &url) override {
    return HelpViewController::withURL(title, url);
  }
  void setHelpPopoverParent(const std::shared_ptr<ViewController> &help,
                            const std::shared_ptr<PopoverController> &popover) override {
    if (auto h = std::dynamic_pointer_cast<HelpViewController>(help)) h->standInPopover(popover);
  }

private:
  std::weak_ptr<FerrowenAppDelegate> d_;
};

// The phone's Web View stack when a browser pushed over it shows the folders of this connection
// (an ftp address it opened) and the FTP tab does not; none otherwise (the tablet's browser shows
// them in the FTP tab's own stack).
std::shared_ptr<NavigationController> browserStackOf(FerrowenAppDelegate &d,
                                                     const FTPConnection &c) {
  auto web = d.navigationControllerWeb();
  if (!web || web == d.navigationController()) return nullptr;
  if (auto top = topOf<DirViewerScreen>(d.navigationController()); top && top->showsConnection(c))
    return nullptr;
  for (const auto &screen : web->viewControllers())
    if (auto s = std::dynamic_pointer_cast<DirViewer>(screen); s && s->showsConnection(c))
      return web;
  return nullptr;
}

class FTPServices : public FTPAppServices {
public:
  explicit FTPServices(std::weak_ptr<FerrowenAppDelegate> d) : d_(std::move(d)) {}
  std::shared_ptr<BatchQueueReceiver> batchView() override {
    return withDelegate(d_, std::shared_ptr<BatchQueueReceiver>(),
                        [](FerrowenAppDelegate &d) -> std::shared_ptr<BatchQueueReceiver> {
                          return d.batchView();
                        });
  }
  std::shared_ptr<DirViewerScreen> topDirViewer() override {
    return withDelegate(d_, std::shared_ptr<DirViewerScreen>(), [](FerrowenAppDelegate &d) {
      return topOf<DirViewerScreen>(d.navigationController());
    });
  }
  // The FTP tab's stack, or the Web View tab's on the phone, where a browser pushed over it shows
  // the folders of its own ftp address.
  std::shared_ptr<DirViewerScreen> folderScreenOf(const FTPConnection &c) override {
    auto d = d_.lock();
    if (!d) return nullptr;
    for (const auto &nav : {d->navigationController(), d->navigationControllerWeb()})
      if (auto top = topOf<DirViewerScreen>(nav); top && top->showsConnection(c)) return top;
    return nullptr;
  }
  bool connectScreenOnTop() override {
    return withDelegate(d_, false, [](FerrowenAppDelegate &d) {
      auto nav = d.navigationController();
      return nav && d.connectView() && nav->topViewController() == d.connectView();
    });
  }
  void setProtocol(const std::string &p) override {
    if (auto d = d_.lock()) d->setProtocol(p);
  }
  void activeTransfer() override {
    if (auto d = d_.lock()) d->activeTransfer();
  }
  void finishedTransfer() override {
    if (auto d = d_.lock()) d->finishedTransfer();
  }
  void showErrorForTopFtpTab(const std::string &text) override {
    if (auto d = d_.lock()) d->showErrorForTopFtpTab(text);
  }
  bool holdsBackAlertsOf(const FTPConnection &c) override {
    auto d = d_.lock();
    return d && !browserStackOf(*d, c) && connectScreenOnTop();
  }
  void showErrorForConnection(const FTPConnection &c, const std::string &page) override {
    auto d = d_.lock();
    auto stack = d ? browserStackOf(*d, c) : nullptr;
    if (!stack) return showErrorForTopFtpTab(page);
    if (auto top = topOf<DirViewerScreen>(stack); top && top->showsConnection(c))
      d->showErrorInBrowserStack(page);
  }
  void popConnectionScreens(const FTPConnection &c, bool toRoot, bool animated) override {
    auto d = d_.lock();
    auto stack = d ? browserStackOf(*d, c) : nullptr;
    if (!stack) return FTPAppServices::popConnectionScreens(c, toRoot, animated);
    if (!toRoot) {
      if (stack->viewControllers().size() > 1) stack->popViewControllerAnimated(animated);
      return;
    }
    // Back to the browser that opened the address: the screen below the connection's first.
    const auto screens = stack->viewControllers();
    for (size_t i = 1; i < screens.size(); ++i)
      if (auto s = std::dynamic_pointer_cast<DirViewer>(screens[i]); s && s->showsConnection(c)) {
        stack->popToViewController(*screens[i - 1], animated);
        return;
      }
  }
  void popFtpTab(bool animated) override {
    auto d = d_.lock();
    auto nav = d ? d->navigationController() : nullptr;
    if (!nav) return;
    const size_t count = nav->viewControllers().size();
    if (count > 1) d->editorsKeepTheirEdits(nav, count - 1);
    nav->popViewControllerAnimated(animated);
  }
  void popFtpTabToRoot(bool animated) override {
    auto d = d_.lock();
    auto nav = d ? d->navigationController() : nullptr;
    if (!nav) return;
    d->editorsKeepTheirEdits(nav, 1);
    nav->popToRootViewControllerAnimated(animated);
  }
  void pushHelpScreen(const std::string &title, const std::string &pathAndQuery,
                      bool showLogButton) override {
    if (auto d = d_.lock()) d->pushHelpScreen(title, pathAndQuery, showLogButton);
  }
  void playMediaFile(const std::string &path, bool cleanupWhenDone) override {
    if (auto d = d_.lock()) d->playMediaFile(path, cleanupWhenDone);
  }
  void showDocumentViewer(const std::string &fileName, const std::string &path) override {
    auto d = d_.lock();
    if (!d) return;
    if (!d->makers.documentViewer) {
      platform::Log::system("No document viewer for " + path);
      return;
    }
    if (auto viewer = d->makers.documentViewer(fileName, path))
      d->showFtpFileTab(viewer, fileName, true);
  }
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    auto d = d_.lock();
    if (!d || !d->makers.textEditor) return nullptr;
    auto editor = d->makers.textEditor(path);
    if (!editor) return nullptr;
    // A file the SFTP tab downloaded goes back over that connection, to the file it came from:
    // its folder and name as the server named them.
    if (auto sftp = d->sftpConnection(); sftp && sftp->isConnected())
      if (auto text = std::dynamic_pointer_cast<EditFileView>(editor)) {
        text->setSftpConnection(sftp);
        const std::string remote = sftp->openedRemote();
        const RemoteName name = SFTPWrapper::namedByServer(platform::lastPathComponent(remote));
        if (!remote.empty() && name.text() == platform::lastPathComponent(path))
          text->setRemoteFile(
              name, SFTPWrapper::namedByServer(platform::deleteLastPathComponent(remote)));
        else
          text->setDirectoryOfTheFile(sftp->lastOperationDir());
      }
    d->setEditFileView(editor);
    d->showFtpFileTab(editor, platform::lastPathComponent(path), true);
    return std::dynamic_pointer_cast<EditFileViewScreen>(editor);
  }
  int internetConnectionStatus() override {
    return Reachability::sharedReachability().internetConnectionStatus();
  }

private:
  std::weak_ptr<FerrowenAppDelegate> d_;
};

class BatchServices : public BatchAppServices {
public:
  explicit BatchServices(std::weak_ptr<FerrowenAppDelegate> d) : d_(std::move(d)) {}
  std::optional<BrowsingTransfer> browsingTransfer() override {
    auto d = d_.lock();
    auto c = d ? d->ftpConnection() : nullptr;
    if (!c) return std::nullopt;
    return BrowsingTransfer{c->isFileTransferInProgress(), c->fileInFolderOrigin()};
  }
  void stopBrowsingTransfer() override {
    auto d = d_.lock();
    if (auto c = d ? d->ftpConnection() : nullptr) c->disconnectFromServer();
  }
  void sentBack(const std::string &localFile) override {
    // A save that waited in Transfers has arrived: its edit is delivered, unless the editor open
    // now keeps its text in that file (the edit reopened from its record), which the server has
    // not got.
    auto d = d_.lock();
    auto editor = d ? std::dynamic_pointer_cast<EditFileView>(d->editFileView()) : nullptr;
    if (editor && editor->fCurrentlyActive &&
        platform::standardizePath(editor->editingFileAtPath) ==
            platform::standardizePath(localFile))
      return;
    EditState::forgetSentBack(localFile);
  }
  SendBackChecker sendBackCheck(const std::string &localFile) override {
    // An edit's save back goes over its server's file only while that holds what the edit began
    // from (an edit whose base is not known goes unchecked).
    auto base = EditState::sendBackBase(localFile);
    if (!base) return {};
    return [base = *base, earlier = EditState::sendBackEarlier(localFile),
            localFile](const LookAtServerFile &look) {
      return EditState::checkServerFile(base, localFile, look, earlier);
    };
  }
  void askServerFileChanged(const std::string &localFile, const std::string &name,
                            const std::string &found, std::function<void(bool)> answered) override {
    EditFileView::askServerFileChanged(localFile, name, found, std::move(answered));
  }
  void badgeValtry(const std::string &text) override {
    if (auto d = d_.lock()) d->badgeValtry(text);
  }
  std::shared_ptr<LocalFolderScreen> topLocalFolderScreen() override {
    return withDelegate(d_, std::shared_ptr<LocalFolderScreen>(), [](FerrowenAppDelegate &d) {
      return topOf<LocalFolderScreen>(d.navigationControllerFiles());
    });
  }
  std::shared_ptr<RemoteFolderScreen> topRemoteFolderScreen() override {
    return withDelegate(d_, std::shared_ptr<RemoteFolderScreen>(), [](FerrowenAppDelegate &d) {
      return topOf<RemoteFolderScreen>(d.navigationController());
    });
  }
  void getSelectedAsset(const std::string &url, const std::string &name,
                        std::function<void(const AssetConvertReply &)> reply) override {
    PhotoGalleryView::getSelectedAsset(url, name, reply);
  }

private:
  std::weak_ptr<FerrowenAppDelegate> d_;
};

class ShellWebServices : public WebServices {
public:
  explicit ShellWebServices(std::weak_ptr<FerrowenAppDelegate> d) : d_(std::move(d)) {}
  std::shared_ptr<BatchListView> batchView() override {
    return withDelegate(d_, std::shared_ptr<BatchListView>(),
                        [](FerrowenAppDelegate &d) { return d.batchView(); });
  }
  void newValtryTab(const std::string &url) override {
    if (auto d = d_.lock()) d->newValtryTab(url);
  }
  void cancelFileViewTab(const std::shared_ptr<ViewController> &screen) override {
    if (auto d = d_.lock()) d->cancelFileViewTab(screen);
  }
  std::shared_ptr<ViewController> shellScreen(int which) override {
    return withDelegate(d_, std::shared_ptr<ViewController>(),
                        [which](FerrowenAppDelegate &d) -> std::shared_ptr<ViewController> {
                          if (which == 0) return d.navigationControllerFiles();
                          if (which == 1) return d.navigationControllerBatch();
                          return d.navigationControllerSettings();
                        });
  }
  void setFtpConnection(std::shared_ptr<FTPConnection> c) override {
    if (auto d = d_.lock()) d->setFtpConnection(std::move(c));
  }
  std::shared_ptr<ViewController> makeRemoteFolderScreen(std::shared_ptr<FTPConnection> c,
                                                         const std::string &title) override {
    auto d = d_.lock();
    if (!d) return nullptr;
    if (d->makers.remoteFolder)
      if (auto screen = d->makers.remoteFolder(std::move(c), title)) return screen;
    return placeholderScreen("DirViewer", title);
  }
  std::shared_ptr<NavigationController> ftpNavigationController() override {
    return withDelegate(d_, std::shared_ptr<NavigationController>(),
                        [](FerrowenAppDelegate &d) { return d.navigationController(); });
  }
  void willAnimateRotationToInterfaceOrientation(int to, double) override {
    if (auto d = d_.lock()) d->willAnimateRotationToInterfaceOrientation(to);
  }
  void didRotateFromInterfaceOrientation(int from) override {
    if (auto d = d_.lock()) d->didRotateFromInterfaceOrientation(from);
  }
  std::string resizeImage() override {
    auto d = d_.lock();
    return d && d->mySplitVC() ? d->mySplitVC()->getResizeImage() : WebServices::resizeImage();
  }
  void clickedResize() override {
    if (auto d = d_.lock(); d && d->mySplitVC()) d->mySplitVC()->clickedResize();
  }
  void setRightTabBarFrame(std::optional<Rect> frame) override {
    auto d = d_.lock();
    auto split = d ? d->mySplitVC() : nullptr;
    if (!split) return;
    if (!frame) return split->layoutViewsForInterfaceOrientation(split->lastOrientation());
    Rect moved = *frame;
    moved.origin.y += MySplitView::kTop;
    split->setRightViewFrame(moved);
  }

private:
  std::weak_ptr<FerrowenAppDelegate> d_;
};

} // namespace

std::shared_ptr<AppDelegateServices>
makeShellAppDelegateServices(std::weak_ptr<FerrowenAppDelegate> delegate) {
  return std::make_shared<AppServices>(std::move(delegate));
}

std::shared_ptr<FTPAppServices> makeShellFTPServices(std::weak_ptr<FerrowenAppDelegate> delegate) {
  return std::make_shared<FTPServices>(std::move(delegate));
}

std::shared_ptr<BatchAppServices>
makeShellBatchServices(std::weak_ptr<FerrowenAppDelegate> delegate) {
  return std::make_shared<BatchServices>(std::move(delegate));
}

namespace {
// A remote folder the Saved Files screens name by its text: the folder the FTP tab shows (or one
// below it, for a folder's upload) goes to the server in the bytes the server named it with.
RemoteName namedRemoteFolder(FerrowenAppDelegate &d, const std::shared_ptr<FTPConnection> &ftp,
                             const std::string &path) {
  if (auto sftp = d.sftpConnection()) {
    // The service names its folder in the server's bytes; the folder screen shows its text.
    std::vector<RemoteName> named{SFTPWrapper::namedByServer(sftp->dir())};
    if (auto top = topOf<DirViewerScreen>(d.navigationController()))
      named.insert(named.begin(), top->currentRemoteFolder());
    for (const auto &folder : named) {
      const std::string &text = folder.text();
      if (!folder.bytes() || text.empty()) continue;
      if (path == text || path == *folder.bytes()) return folder;
      const std::string inside = text.back() == '/' ? text : text + "/";
      if (path.starts_with(inside))
        return SFTPWrapper::pathIn(folder, RemoteName(path.substr(inside.size())));
    }
    return path;
  }
  if (!ftp) return path;
  std::vector<RemoteName> named{ftp->cwdName()};
  if (auto top = topOf<DirViewerScreen>(d.navigationController());
      top && top->showsConnection(*ftp))
    named.insert(named.begin(), top->currentRemoteFolder());
  for (const auto &folder : named) {
    const std::string &text = folder.text();
    if (!folder.bytes() || text.empty()) continue;
    if (path == text) return folder;
    const std::string inside = text.back() == '/' ? text : text + "/";
    if (path.starts_with(inside))
      return RemoteName::named(path,
                               *folder.bytes() + (text.back() == '/' ? "" : "/") +
                                   commandEncoding(path.substr(inside.size()), ftp->utf8Safe()));
  }
  return path;
}

// The Saved Files screens' view of the browsing connection and the queue.
class LocalFilesShellServices : public LocalFilesServices {
public:
  explicit LocalFilesShellServices(std::weak_ptr<FerrowenAppDelegate> d) : d_(std::move(d)) {}
  bool browsingConnected() override {
    return withDelegate(d_, false, [](FerrowenAppDelegate &d) {
      return (d.ftpConnection() && d.ftpConnection()->fIsConnected()) ||
             (d.sftpConnection() && d.sftpConnection()->isConnected());
    });
  }
  bool ftpConnected() override {
    return withDelegate(d_, false, [](FerrowenAppDelegate &d) {
      return d.ftpConnection() && d.ftpConnection()->fIsConnected();
    });
  }
  std::string browsingFolder() override {
    return withDelegate(d_, std::string(), [](FerrowenAppDelegate &d) {
      if (d.sftpConnection()) return d.sftpConnection()->dir();
      return d.ftpConnection() ? d.ftpConnection()->cwd() : std::string();
    });
  }
  bool remoteBrowserFolder(std::string *folder) override {
    auto top = withDelegate(d_, std::shared_ptr<DirViewerScreen>(), [](FerrowenAppDelegate &d) {
      return topOf<DirViewerScreen>(d.navigationController());
    });
    if (top) *folder = top->currentWorkingDirectory();
    return top != nullptr;
  }
  bool remoteBrowserNames(std::vector<std::string> *names) override {
    auto top = withDelegate(d_, std::shared_ptr<DirViewer>(), [](FerrowenAppDelegate &d) {
      return topOf<DirViewer>(d.navigationController());
    });
    if (!top) return false;
    for (const auto &entry : top->currentDirectoryEverything)
      names->push_back(entry->name());
    return true;
  }
  bool showSavedFileTab(const std::shared_ptr<ViewController> &screen,
                        const std::string &name) override {
    return withDelegate(d_, false, [&](FerrowenAppDelegate &d) {
      if (!d.mySplitVC()) return false;
      d.showNoAnimationSavedFileTab(screen, name);
      return true;
    });
  }
  void showDocumentViewer(const DocumentViewRequest &r) override {
    auto d = d_.lock();
    if (!d || !d->makers.documentViewer) return;
    auto screen = d->makers.documentViewer(r.name, r.path);
    if (auto viewer = std::dynamic_pointer_cast<WebDocumentViewController>(screen)) {
      viewer->cleanupWhenDone = r.cleanupWhenDone;
      viewer->hideSaveButton = r.hideSaveButton;
      viewer->localFileArray = r.localFileArray;
      viewer->localFileArrayIndex = r.localFileArrayIndex;
      viewer->dataIndexArray = r.dataIndexArray;
      if (r.source) viewer->setNextDataSource(r.source);
    }
    if (screen) d->showSavedFileTab(screen, r.name);
  }
  void showErrorForTopSavedFilesTab(const std::string &page) override {
    if (auto d = d_.lock()) d->showErrorForTopSavedFilesTab(page);
  }
  bool cancelFileViewTab(const std::shared_ptr<ViewController> &screen) override {
    return withDelegate(d_, false, [&](FerrowenAppDelegate &d) {
      if (!d.mySplitVC()) return false;
      d.cancelFileViewTab(screen);
      return true;
    });
  }
  std::string resizeImage() override {
    auto d = d_.lock();
    return d && d->mySplitVC() ? d->mySplitVC()->getResizeImage() : std::string();
  }
  void clickedResize() override {
    if (auto d = d_.lock(); d && d->mySplitVC()) d->mySplitVC()->clickedResize();
  }
  int addBatchItem(int action, const std::string &name, const std::string &path, int64_t size,
                   const std::string &localPath, bool kickstart) override {
    return withDelegate(d_, -1, [&](FerrowenAppDelegate &d) {
      return queue(d, d.ftpConnection(), action, name, path, size, localPath, kickstart);
    });
  }
  // The FTP tab's folder screen keeps the connection it lists; the browsing connection may have
  // become another server's since (an ftp address the phone's browser opened), and that server
  // has no say in where a file named for this folder goes.
  int addBatchItemInShownFolder(int action, const std::string &name, const std::string &path,
                                int64_t size, const std::string &localPath,
                                bool kickstart) override {
    return withDelegate(d_, -1, [&](FerrowenAppDelegate &d) {
      auto ftp = d.ftpConnection();
      if (auto top = topOf<DirViewer>(d.navigationController()); top && top->theConnection)
        ftp = top->theConnection;
      return queue(d, ftp, action, name, path, size, localPath, kickstart);
    });
  }
  void startQueue() override {
    if (auto d = d_.lock(); d && d->batchView()) d->batchView()->startAlwaysIfNoneInProgress();
  }
  bool isInProgress(const std::string &path) override {
    return withDelegate(d_, false, [&](FerrowenAppDelegate &d) {
      return d.batchView() && d.batchView()->isInProgress(path);
    });
  }

private:
  // On the SFTP connection when there is one, else on `ftp`.
  static int queue(FerrowenAppDelegate &d, const std::shared_ptr<FTPConnection> &ftp, int action,
                   const std::string &name, const std::string &path, int64_t size,
                   const std::string &localPath, bool kickstart) {
    if (!d.batchView()) return -1;
    auto sftp = d.sftpConnection();
    return d.batchView()->addBatchItemAction(action, name, namedRemoteFolder(d, ftp, path), size,
                                             sftp ? nullptr : ftp, sftp, localPath, false,
                                             kickstart);
  }

  std::weak_ptr<FerrowenAppDelegate> d_;
};
} // namespace

std::shared_ptr<LocalFilesServices>
makeShellLocalFilesServices(std::weak_ptr<FerrowenAppDelegate> delegate) {
  return std::make_shared<LocalFilesShellServices>(std::move(delegate));
}

std::shared_ptr<WebServices> makeShellWebServices(std::weak_ptr<FerrowenAppDelegate> delegate) {
  return std::make_shared<ShellWebServices>(std::move(delegate));
}
