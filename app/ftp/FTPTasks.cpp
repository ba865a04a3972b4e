// Task starters and the reply handlers of the folder, transfer and file-operation tasks. The
// starters store their job (run by the login's end when no connection stands) and start the
// task; the handlers here cover the folder listing's road to its data connection and end every
// other task on its final reply.
#include "app/ftp/FTPConnection.h"

#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/device/Application.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

using platform::Log;
using platform::UserDefaults;

namespace {
// How long the replies to "ABOR" are waited for at most (a server may send fewer than owed).
constexpr double kAbortRepliesSeconds = 5;
// How long a listing whose data has ended waits for the server's final reply at most.
constexpr double kListingFinalWaitSeconds = 5;
} // namespace

bool FTPConnection::storeJobAndConnectIfNeeded(const RemoteName &folder) {
  if (control_.input) return false;
  storeJobFolder(folder.empty() ? cwdName() : folder);
  reconnect();
  return true;
}

void FTPConnection::startTask(int task, int state, const std::string &statusText,
                              const RemoteName &arg) {
  updateProgressText(statusText);
  setStatusMessage(statusText);
  setState(state);
  setTask(task);
  wasAnError_ = false;
  updateProgressMark(0.05f);
  sendCommand(arg);
}

// ------------------------------------------------------------------------------------------------
// Waiting tasks. The queue's connection is driven one item at a time by its runner (and lists
// the folders of a batch from inside its own folder task), so only the browsing connection
// parks jobs. Without a session the starter's own path stores the job and connects.

bool FTPConnection::taskMustWait(std::function<void()> job,
                                 const std::optional<std::string> &folderChange) {
  if (control_.input && abortRepliesOwed_ > 0) {
    waitingTasks_.push_back({std::move(job), folderChange});
    return true;
  }
  if (!mainConnection_ || !control_.input) return false;
  if (iTask_ == kTaskIdle && reloadsPending_ == 0 && (inWaitingJob_ || waitingTasks_.empty()))
    return false;
  waitingTasks_.push_back({std::move(job), folderChange});
  return true;
}

void FTPConnection::wakeWaitingTask() {
  // Posted, not run: the handler that ended the task is still on the stack.
  if (!onOwnThread() || waitingTasks_.empty()) return;
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  myThread_->perform([weak] {
    if (auto self = weak.lock()) self->runWaitingTask();
  });
}

void FTPConnection::runWaitingTask() {
  if (waitingTasks_.empty()) return;
  if (control_.input && (iTask_ != kTaskIdle || reloadsPending_ > 0 || abortRepliesOwed_ > 0))
    return;
  auto job = std::move(waitingTasks_.front().job);
  waitingTasks_.pop_front();
  inWaitingJob_ = true;
  job();
  inWaitingJob_ = false;
  wakeWaitingTask();
}

void FTPConnection::startOrWait(std::function<void()> job,
                                std::optional<std::string> folderChange) {
  onThread([this, job = std::move(job), folderChange = std::move(folderChange)] {
    if (!taskMustWait(job, folderChange)) job();
  });
}

void FTPConnection::dropWaitingTasks() {
  waitingTasks_.clear();
  reloadsPending_ = 0;
  stopListingFinalWait();
  abortRepliesOwed_ = 0;
  abortRepliesDue_ = false;
  if (abortRepliesTimer_) abortRepliesTimer_->invalidate();
  abortRepliesTimer_.reset();
}

void FTPConnection::sessionCut() {
  // The folder screen on top waits for the last folder change asked for: the one under way, or
  // one that waited for its turn.
  std::optional<std::string> folder;
  const bool listing = iTask_ == kTaskDir && mainConnection_;
  if (listing) folder = directoryToGetList_.text();
  for (const auto &waiting : waitingTasks_)
    if (waiting.folderChange) folder = waiting.folderChange;
  disconnectFromServer();
  if (listing) {
    currentDirectory_.clear();
    setTask(kTaskIdle);
    setState(0);
  }
  if (!folder || !mainConnection_) return;
  const std::string why = "The connection to the server was closed before \"" +
                          withControlsEscaped(folder->empty() ? cwd() : *folder) + "\" was listed.";
  addToLog("!!! " + why + "\r\n");
  updateViewWithError(why, true);
}

void FTPConnection::reloadHandedBack(bool reloading, const RemoteName &folder) {
  reloadsPending_ = std::max(0, reloadsPending_ - 1);
  if (!reloading) {
    runWaitingTask();
    return;
  }
  // The reload goes before the jobs that waited for it.
  waitingTasks_.push_front({[this, folder] { startDirectory(folder); }, folder.text()});
  runWaitingTask();
}

void FTPConnection::expectAbortReplies(int count) {
  abortRepliesOwed_ = count;
  abortRepliesDue_ = true;
  if (abortRepliesTimer_) abortRepliesTimer_->invalidate();
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  abortRepliesTimer_ = myThread_->performAfter(platform::seconds(kAbortRepliesSeconds), [weak] {
    if (auto self = weak.lock()) self->abortRepliesIn();
  });
}

void FTPConnection::abortRepliesIn() {
  abortRepliesOwed_ = 0;
  abortRepliesDue_ = false;
  if (abortRepliesTimer_) abortRepliesTimer_->invalidate();
  abortRepliesTimer_.reset();
  wakeWaitingTask();
}

void FTPConnection::changeDirectory(const RemoteName &folder) {
  startOrWait([this, folder] { startDirectory(folder); }, folder.text());
}

void FTPConnection::startDirectory(const RemoteName &folder) {
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
  currentDirectory_.clear();
  resetForNextCommand();
  if (!utf8Safe_ && UserDefaults::standard().integerForKey(kAlwaysUseUnicode) == 1)
    utf8Safe_ = true;
  if (!control_.input) {
    storeJobFolder(folder.empty() ? cwdName() : folder);
    reconnect();
    return;
  }
  updateProgressText("Loading Directory...");
  setState(13);
  setTask(kTaskDir);
  wasAnError_ = false;
  retryDirectory_ = false;
  directory226Done_ = false;
  directoryProcessed_ = false;
  directoryToGetList_ = folder;
  updateProgressMark(0.3f);
  sendCommand(folder);
}

// ------------------------------------------------------------------------------------------------
// The folder task: "CWD", "PWD", a data connection ("PASV" or "PORT") and "LIST".

void FTPConnection::doTaskDir() {
  int code = replies_.iReplyCode;
  const std::string reply = replies_.replyText;
  Log::debugf("doTaskDir:code:%i", code);
  int state = iState_;
  // The "226" of an earlier listing (its data ended first and the next listing began) must not
  // be taken for the answer to this listing's "CWD", "PWD" or data-connection command.
  if (code == 226 && state != 16) {
    addToLog("!!! Late Reply? Ignore and wait for actual response\r\n");
    return;
  }
  // The folder a "PWD" names, when it was answered: a folder download lists none twice.
  const bool folderNamed = code >= 200 && code < 400;
  if (code >= 400) {
    if (state == 15) {
      code = 200;
    } else if (state == 10 && !forcePORT_) {
      addToLog("!!! No PASV allowed? Trying PORT...\r\n");
      forcePORT_ = true;
      setState(43);
      sendCommand();
      return;
    } else if (state == 16 && fSecureLogin_ && !reconnectedWithoutTls_) {
      // Once only: a session that lists no better after that gets the server's reply.
      addToLog("!!! Can't Connect Data, security problem?\r\n");
      if (!warnIfNoSSL_) {
        reconnectedWithoutTls_ = true;
        skipSSL_ = true;
        disconnectFromServer();
        reconnect();
      } else {
        disconnectFromServer();
        warnNoSSLAvailable();
      }
      return;
    } else if (state == 13 && directoryToGetList_.empty()) {
      code = 200;
    }
  }
  if (code == 257 && iState_ != 15) {
    addToLog("!!! Resyncing to PWD Response\r\n");
    setState(15);
  } else if (code == 250 && iState_ != 13 && myContains(reply, "CWD")) {
    addToLog("!!! Resyncing to CWD Response\r\n");
    setState(13);
  }
  if (code >= 400) {
    listingFailed(reply);
    return;
  }
  if (code < 100) {
    // The queue's connection in a folder download moves on to its next folder instead.
    if (!mainConnection_ && directoryBatchActive_) {
      directory226Done_ = true;
      directoryProcessed_ = true;
      nextBatchDirectory();
      return;
    }
    disconnectFromServer();
    return;
  }
  auto &defaults = UserDefaults::standard();
  switch (iState_.load()) {
  case 13:
  case 17:
    updateProgressText("Getting Directory...");
    setState(15);
    updateProgressMark(0.35f);
    sendCommand();
    return;
  case 15: {
    setCwdFromReply();
    if (!mainConnection_ && directoryBatchActive_ && folderNamed && !cwd().empty() &&
        batchFolderWalkedBefore())
      return;
    setState(forcePORT_ || defaults.integerForKey(kUsePASVKey) != 1 ? 43 : 10);
    updateProgressMark(0.4f);
    sendCommand();
    return;
  }
  case 10:
  case 43: {
    dataReadData_.clear();
    if (iState_ == 10 && !connectToServerData(reply)) {
      // A passive reply without a usable address is a refused "PASV".
      if (!forcePORT_) {
        addToLog("!!! No PASV allowed? Trying PORT...\r\n");
        forcePORT_ = true;
        setState(43);
        sendCommand();
        return;
      }
      listingFailed(reply);
      return;
    }
    setState(16);
    listingDataEnded_ = false;
    listingFinalIn_ = false;
    updateProgressMark(0.45f);
    std::weak_ptr<FTPConnection> weak = weak_from_this();
    stopDataTimeoutTimer();
    stopSslDataHelperTimer();
    if (fSecureLogin_)
      sslDataHelperTimer_ =
          myThread_->addTimer(platform::seconds(20), true, [weak](platform::Timer &) {
            if (auto self = weak.lock()) self->kickSSLData();
          });
    else
      dataConnectTimer_ =
          myThread_->addTimer(platform::seconds(20), false, [weak](platform::Timer &) {
            if (auto self = weak.lock()) self->dataConnectTimeout();
          });
    replies_.iReplyCode = 0;
    replyCode_ = 0;
    sendCommand();
    return;
  }
  case 16:
    if (code < 200) return;
    Log::debug(directoryBatchActive_ ? "----------Batch Directory Done----------"
                                     : "----------Directory Done----------");
    if (retryDirectory_ && !directoryBatchActive_) {
      retryDirectory_ = false;
      setState(10);
      addToLog("*** Got an error, data connection not SSL?  Try again...\r\n");
      disconnectDataStreamFromServer();
      sendCommand();
      return;
    }
    listingFinalIn_ = true;
    listingFinishedIfComplete();
    return;
  default:
    sendCommand();
    return;
  }
}

// A listing is whole once both its data connection has ended and the server's final reply says
// it was sent: a server that cuts the listing ends the data connection all the same, and only its
// reply ("426") tells. The next folder of a folder download is listed only then too.
void FTPConnection::listingFinishedIfComplete() {
  if (iTask_ != kTaskDir || !listingDataEnded_) return;
  if (!listingFinalIn_) {
    // A server that never sends the reply holds the listing up for a while only: what came is
    // taken then.
    if (listingFinalTimer_) return;
    std::weak_ptr<FTPConnection> weak = weak_from_this();
    listingFinalTimer_ =
        myThread_->performAfter(platform::seconds(kListingFinalWaitSeconds), [weak] {
          if (auto self = weak.lock()) {
            self->listingFinalTimer_.reset();
            self->listingFinalIn_ = true;
            self->listingFinishedIfComplete();
          }
        });
    return;
  }
  stopListingFinalWait();
  listingArrived();
  if (directoryBatchActive_) {
    // Walked into queue rows; the next folder of the batch follows.
    directory226Done_ = true;
    updateViewWithDirectory();
    return;
  }
  updateViewWithDirectory();
  if (iTask_ == kTaskDir) {
    setTask(kTaskIdle);
    setState(0);
  }
  if (fDisconnectWhenDone_) disconnectFromServer();
}

void FTPConnection::stopListingFinalWait() {
  if (listingFinalTimer_) listingFinalTimer_->invalidate();
  listingFinalTimer_.reset();
}

void FTPConnection::listingFailed(const std::string &reply) {
  Log::debug("----------Directory ERROR----------");
  // What came of a refused or cut listing is not the folder: none of it is shown or queued, and a
  // folder download cannot go on without it.
  stopListingFinalWait();
  disconnectDataStreamFromServer();
  currentDirectory_.clear();
  dataReadData_.clear();
  directoryBatchActive_ = false;
  directoryBatch_.clear();
  directory226Done_ = false;
  directoryProcessed_ = false;
  setTask(kTaskIdle);
  setState(0);
  if (fDisconnectWhenDone_) disconnectFromServer();
  updateViewWithError(reply, true);
}

void FTPConnection::listingArrived() {
  // A listing over TLS worked: the server does FTPS. Learnt only from a whole listing: an
  // entered folder proves nothing of the data connections, and a refused listing would otherwise
  // overwrite the user's "Yes, Connect" (an implicit session is under TLS whatever the answer).
  const int code = replies_.iReplyCode;
  if (!fSecureLogin_ || code < 100 || code >= 300) return;
  auto &defaults = UserDefaults::standard();
  defaults.setObject("0", keySSLNo(currentServerName()));
  defaults.synchronize();
}

void FTPConnection::dataConnectTimeout() {
  stopDataTimeoutTimer();
  bool privateNet =
      pasvIPPrefix_ == 10 || pasvIPPrefix_ == 169 || pasvIPPrefix_ == 172 || pasvIPPrefix_ == 192;
  bool ssl = fSecureData_ || fSecureLogin_;
  std::string page = privateNet
                         ? (ssl ? "error-timeout-data192-ssl.html" : "error-timeout-data192.html")
                         : (ssl ? "error-timeout-data-ssl.html" : "error-timeout-data.html");
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  onMain([weak, page](FTPAppServices &s) {
    if (auto self = weak.lock()) s.showErrorForConnection(*self, page);
  });
}

void FTPConnection::kickSSLData() {
  if (!data_.input) stopSslDataHelperTimer();
  if (iTask_ == kTaskLoginSecure && iState_ == 11) {
    sendCommand();
    return;
  }
  int task = iTask_;
  if (replies_.iReplyCode != 0 ||
      !(task == kTaskDir || task == kTaskDownload || task == kTaskUpload ||
        task == kTaskUploadAfterMkDir) ||
      dataConnectionOpen_)
    return;
  addToLog("!!! Data Connection Won't Open\r\n");
  stopSslDataHelperTimer();
  if (reconnectedWithoutTls_) {
    // Connecting again made no difference before: the time-out is reported instead.
    dataConnectTimeout();
    return;
  }
  if (warnIfNoSSL_) {
    disconnectFromServer();
    warnNoSSLAvailable();
    return;
  }
  auto &defaults = UserDefaults::standard();
  defaults.setObject("1", keySSLNo(currentServerName()));
  defaults.synchronize();
  sslProblems_ = true;
  reconnectedWithoutTls_ = true;
  disconnectFromServer();
  reconnect();
}

void FTPConnection::stopDataTimeoutTimer() {
  if (dataConnectTimer_) dataConnectTimer_->invalidate();
  dataConnectTimer_.reset();
}

void FTPConnection::stopSslDataHelperTimer() {
  if (sslDataHelperTimer_) sslDataHelperTimer_->invalidate();
  sslDataHelperTimer_.reset();
}

// ------------------------------------------------------------------------------------------------
// The file operations share one road: "CWD" and "PWD" when the folder is not the current one,
// then the operation's command; a final reply ends the task. Transfers end on their final reply.

namespace {
const char *taskName(int task) {
  switch (task) {
  case FTPConnection::kTaskDownload:
    return "doTaskDownload";
  case FTPConnection::kTaskUpload:
  case FTPConnection::kTaskUploadAfterMkDir:
    return "doTaskUpload";
  case FTPConnection::kTaskRename:
    return "doTaskRename";
  case FTPConnection::kTaskDelete:
    return "doTaskDelete";
  case FTPConnection::kTaskMkDir:
    return "doTaskMkDir";
  case FTPConnection::kTaskChmod:
    return "doTaskChmod";
  default:
    return "doTaskRaw";
  }
}
} // namespace

void FTPConnection::doTaskOperation(int operationState) {
  int code = replies_.iReplyCode;
  Log::debugf("%s:code:%i", taskName(iTask_), code);
  if (code < 100) {
    disconnectFromServer();
    return;
  }
  if (code < 400 && operationState != 0 && iState_ == 13) {
    setState(15);
    updateProgressMark(0.05f);
    sendCommand();
    return;
  }
  if (code < 400 && operationState != 0 && iState_ == 15) {
    setCwdFromReply();
    setState(operationState);
    sendCommand();
    return;
  }
  if (code < 200) return; // a preliminary reply
  bool raw = iTask_ == kTaskRaw;
  setTask(kTaskIdle);
  setState(0);
  if (raw)
    updateViewWithReply(replies_.replyText);
  else if (code >= 400)
    updateViewWithError(replies_.replyText, false);
  allCommandsDone();
  if (fDisconnectWhenDone_) disconnectFromServer();
}
