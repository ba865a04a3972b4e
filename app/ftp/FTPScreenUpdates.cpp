// What the connection shows: folder screen updates, error alerts and help pages, and the
// inactivity timer. Screens live on the main thread; every update is posted there.
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPListedModes.h"

#include "app/foundation/SettingsKeys.h"

#include "platform/device/Application.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using platform::localizedString;
using platform::Log;
using platform::ui::AlertView;

namespace {
constexpr const char *kNoSSLMessage =
    "An FTPS connection could not be established.  Continue and connect using a normal FTP "
    "connection?";
} // namespace

bool FTPConnection::skipErrorAlerts() {
  auto services = FTPAppServices::shared();
  return services && services->holdsBackAlertsOf(*this);
}

void FTPConnection::showAlert(std::shared_ptr<AlertView> alert, std::shared_ptr<AlertView> *keepIn,
                              bool evenOverConnectScreen) {
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  platform::RunLoop::main()->perform([weak, alert, keepIn, evenOverConnectScreen] {
    auto self = weak.lock();
    if (!self) return;
    // A connect screen on top of the FTP tab takes no alerts (but a server's reply is shown).
    if (!evenOverConnectScreen && self->skipErrorAlerts()) return;
    *keepIn = alert; // alert fields belong to the main thread
    alert->show();
  });
}

void FTPConnection::updateViewWithFatalError(const std::string &text) {
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  wasAnError_ = true;
  if (auto d = delegate_.lock())
    if (d->handleError(*this, text)) return;
  auto alert = std::make_shared<AlertView>(
      localizedString("Error Connecting to FTP Server"), text, weak_from_this(), "",
      std::vector<std::string>{localizedString("Help"), localizedString("OK")});
  showAlert(alert, &errorFatal_, false);
}

void FTPConnection::updateViewWithError(const std::string &text, bool popView) {
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  wasAnError_ = true;
  if (auto d = delegate_.lock())
    if (d->handleError(*this, text)) return;
  if (replies_.iReplyCode == 530) {
    // A refused login is explained by a help page, never an alert.
    std::string user = loginUser();
    std::string page =
        user.empty() || user == "anonymous" ? "error-530-anon.html" : "error-530.html";
    std::weak_ptr<FTPConnection> weak = weak_from_this();
    onMain([weak, page](FTPAppServices &s) {
      if (auto self = weak.lock()) s.showErrorForConnection(*self, page);
    });
    return;
  }
  if (popView) {
    auto alert = std::make_shared<AlertView>(
        localizedString("Error from FTP Server"), text, weak_from_this(), "",
        std::vector<std::string>{localizedString("Help"), localizedString("OK")});
    showAlert(alert, &errorServer_, false);
  } else {
    auto alert = std::make_shared<AlertView>(localizedString("Error from FTP Server"), text,
                                             weak_from_this(), "",
                                             std::vector<std::string>{localizedString("OK")});
    showAlert(alert, &replyServer_, false);
    allCommandsDone();
  }
}

void FTPConnection::updateViewWithReply(const std::string &text) {
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  wasAnError_ = true;
  if (auto d = delegate_.lock())
    if (d->handleError(*this, text)) return;
  auto alert = std::make_shared<AlertView>(localizedString("Reply from FTP Server"), text,
                                           weak_from_this(), "", std::vector<std::string>{"OK"});
  showAlert(alert, &replyServer_, true);
  allCommandsDone();
}

void FTPConnection::updateViewWithFileError(const std::string &page) {
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  wasAnError_ = true;
  if (auto d = delegate_.lock())
    if (d->handleError(*this, page)) return;
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  onMain([weak, page](FTPAppServices &s) {
    auto self = weak.lock();
    if (self && !self->skipErrorAlerts()) s.showErrorForConnection(*self, page);
  });
}

void FTPConnection::warnNoSSLAvailable() {
  wasAnError_ = true;
  if (auto d = delegate_.lock())
    if (d->handleError(*this, "FTPS Not supported by the server")) return;
  disconnectFromServer();
  auto alert =
      std::make_shared<AlertView>("Security Warning", kNoSSLMessage, weak_from_this(), "Cancel",
                                  std::vector<std::string>{"Yes, Connect", "Help"});
  showAlert(alert, &errorNoSSL_, true);
}

void FTPConnection::clickedButtonAtIndex(AlertView &alert, int index) {
  auto services = FTPAppServices::shared();
  auto pushHelp = [services] {
    if (services)
      services->pushHelpScreen("Ferrowen Help", "connect-help.php?app=ferrowen&ver=300", true);
  };
  if (errorNoSSL_.get() == &alert) {
    errorNoSSL_.reset();
    if (index == 2) {
      onThread([this] { updateViewWithFileError("error-no-ftps.html"); });
    } else if (index == 1) {
      onThread([this] {
        auto &defaults = platform::UserDefaults::standard();
        defaults.setObject("1", keySSLNo(currentServerName()));
        warnIfNoSSL_ = false;
        sslProblems_ = true;
        reconnectedWithoutTls_ = true; // the user's choice is the session's one reconnect
        reconnect();
      });
      if (services) services->setProtocol("FTP");
    } else if (services) {
      services->popConnectionScreens(*this, false, true);
    }
  } else if (errorServer_.get() == &alert) {
    errorServer_.reset();
    if (services) services->popConnectionScreens(*this, false, false);
    if (index == 0) pushHelp();
  } else if (errorFatal_.get() == &alert) {
    errorFatal_.reset();
    if (services) services->popConnectionScreens(*this, true, false);
    if (index == 0) pushHelp();
  } else if (replyServer_.get() == &alert) {
    replyServer_.reset();
    onThread([this] { operationDoneUpdateView(); });
  }
}

// ------------------------------------------------------------------------------------------------
// Folder screen updates

void FTPConnection::updateViewWithDirectory() {
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  // A listing of the queue's folder download becomes queue rows and sub-folders to list, never
  // a folder screen.
  if (!mainConnection_ && directoryBatchActive_) {
    if (!directoryProcessed_) walkBatchDirectoryListing(); // once per listing
    return;
  }
  addToLog(Log::format("*** Got %i Folder Items\r\n", int(currentDirectory_.size())));
  auto entries = currentDirectory_;
  const RemoteName folder = cwdName();
  if (mainConnection_) ftpmodes::rememberListing(listedModesKey(), folder, entries);
  const RemoteName asked = directoryToGetList_;
  // The folder screens show the browsing connection's listings only, each its own connection's
  // and the listing of its own folder: the one it shows, or, before its first listing, the one it
  // asked for.
  if (mainConnection_)
    onFolderScreen([entries, folder, asked](DirViewerScreen &top) {
      const RemoteName shown = top.currentRemoteFolder(), awaited = top.awaitedRemoteFolder();
      if (shown.empty() ? awaited.empty() || awaited.sameAs(asked) : shown.sameAs(folder)) {
        Log::systemf("FolderMismatch? %s vs %s", shown.text().c_str(), folder.text().c_str());
        top.replaceDirectory(entries);
        top.setCurrentRemoteFolder(folder);
      }
      top.setLoadedDirectory(true);
      top.showDirToolbar();
      top.doButtonStates();
    });
  if (!fileToUpload_.empty()) {
    setState(12);
    setTask(kTaskUpload);
  }
}

void FTPConnection::reloadDirectoryViewIfNeeded() {
  // A queue session's listing would reach no screen: the queue refreshes the screens itself.
  if (!mainConnection_ || !FTPAppServices::shared()) return;
  const RemoteName folder = cwdName();
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  // Tasks asked for meanwhile wait for the answer: the reload, when there is one, goes first.
  ++reloadsPending_;
  onMain([weak, folder](FTPAppServices &s) {
    auto self = weak.lock();
    auto top = self ? s.folderScreenOf(*self) : nullptr;
    const bool reloading = top && top->currentRemoteFolder().sameAs(folder);
    if (self)
      self->onThread([self, reloading, folder] { self->reloadHandedBack(reloading, folder); });
    if (!top) return;
    if (reloading) {
      top->showWorkingTextToolbar();
    } else {
      top->showDirToolbar();
      top->doButtonStates();
    }
  });
}

std::string FTPConnection::listedModesKey() const {
  return platform::lowercase(currentServerName()) + "\n" + std::to_string(currentPort_.load()) +
         "\n" + loginUser();
}

void FTPConnection::operationDoneUpdateView() {
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  const RemoteName folder = cwdName();
  onFolderScreen([folder](DirViewerScreen &top) {
    if (top.currentRemoteFolder().sameAs(folder)) {
      top.showDirToolbar();
      top.doButtonStates();
    }
  });
}

// ------------------------------------------------------------------------------------------------
// Inactivity

void FTPConnection::restartInactiveTimer() {
  if (inactiveTimer_ && inactiveTimer_->isValid()) inactiveTimer_->invalidate();
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  inactiveTimer_ = myThread_->addTimer(platform::seconds(300), false, [weak](platform::Timer &) {
    if (auto self = weak.lock()) self->inactiveConnection();
  });
}

void FTPConnection::inactiveConnection() {
  // A task that waited all this time ends with an error, not silently.
  if (isBusy() && iTask_ != kTaskLogin && iTask_ != kTaskLoginSecure)
    abandonTask("The server sent nothing for 300 seconds: the connection was closed.", true);
  else
    sessionCut();
}

void FTPConnection::abandonTask(const std::string &why, bool closeSession) {
  addToLog("!!! " + why + "\r\n");
  platform::Log::systemf("Task ended: %s", why.c_str());
  if (writeStreamFileDownload_) {
    writeStreamFileDownload_->close();
    writeStreamFileDownload_.reset();
  }
  // The queue row of the transfer or folder download goes back to the queue with the error.
  if ((isFileTransferInProgress() || directoryBatchActive_) && batchPK_ >= 0) {
    BatchObject object{batchPK_, 0, 0};
    onMain([object](FTPAppServices &s) {
      if (auto q = s.batchView()) q->abortBatchItemObject(object);
    });
  }
  directoryBatchActive_ = false;
  disconnectDataStreamFromServer();
  if (lookDone_) endLook(LookedFile{});
  setTask(kTaskIdle);
  setState(0);
  if (closeSession)
    sessionCut();
  else if (fDisconnectWhenDone_)
    disconnectFromServer();
  updateViewWithError(why, false);
}
