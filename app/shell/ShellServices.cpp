#include "app/shell/ShellServices.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Reachability.h"
#include "app/ftp/BatchListView.h"
#include "app/ftp/BatchServices.h"
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPServices.h"
#include "app/shell/FerrowenAppDelegate.h"
#include "app/shell/HelpScreens.h"

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
  std::shared_ptr<ViewController> makeHelpViewController(const std::string &,
                                                         const std::string &title,
                                                         const std::string &url) override {
    return HelpViewController::withURL(title, url);
  }

private:
  std::weak_ptr<FerrowenAppDelegate> d_;
};

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
  void popFtpTab(bool animated) override {
    if (auto d = d_.lock(); d && d->navigationController())
      d->navigationController()->popViewControllerAnimated(animated);
  }
  void popFtpTabToRoot(bool animated) override {
    if (auto d = d_.lock(); d && d->navigationController())
      d->navigationController()->popToRootViewControllerAnimated(animated);
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
    return BrowsingTransfer{c->isFileTransferInProgress(), c->currentServerName(), c->cwd(),
                            c->fileToDownload()};
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
