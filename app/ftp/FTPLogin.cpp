// The login: from the welcome to a logged-in session, with the TLS upgrade of the live control
// connection and the fall-backs when the server will not do TLS.
#include "app/ftp/FTPConnection.h"

#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

using platform::Log;
using platform::UserDefaults;

namespace {
bool replyHas(const std::string &reply, const char *text) {
  return myContains(reply, text);
}
} // namespace

void FTPConnection::doTaskLogin() {
  int code = replies_.iReplyCode;
  const std::string &reply = replies_.replyText;
  Log::debugf("doTaskLogin:code:%i", code);
  setStatusMessage("Logging In...");
  if (connectTimer_) {
    connectTimer_->invalidate();
    connectTimer_.reset();
    fIsConnected_ = true; // the server answered
  }
  if (!loginGoesOnAfterReplyCode(code)) return;

  if (code == 215 && iState_ != 11) {
    addToLog("!!! Resyncing to SYST Response\r\n");
    setState(11);
  }
  if (code == 257 && iState_ != 15) {
    addToLog("!!! Resyncing to PWD Response\r\n");
    setState(15);
  }
  if (code < 100 || code > 399) {
    disconnectFromServer();
    return;
  }
  loginNextStep(code, reply);
}

bool FTPConnection::loginGoesOnAfterReplyCode(int &code) {
  int state = iState_;
  // Refusals of optional steps do not matter.
  if (code >= 400 &&
      (state == 11 || state == 15 || state == 30 || state == 60 || state == 4 || state == 5)) {
    if (state == 11) iServerType_ = 0;
    code = 200;
  }
  if (state == 52) {
    if (code < 400) {
      modeZ_ = true;
    } else {
      useModeZ_ = false;
      modeZ_ = false;
      code = 200;
    }
  }
  if (state == 35) stopPBSZTimeoutTimer();
  if (code < 300) return true;

  if (implicitSSL_ && (state == 35 || state == 36)) {
    // A server that protects an implicit session's data connections by itself need not know
    // these commands: they stay protected, and the login goes on with "USER".
    setState(36);
    code = 200;
    return true;
  }

  if (state == 32) {
    updateProgressMark(0.05f);
    setState(33);
    code = 200;
  } else if (state == 36) {
    Log::debug("Using clear data connection");
    fSecureData_ = false;
    code = 200;
  } else if (state == 34 || state == 35) {
    // Without "PBSZ" there is no "PROT P": the data connections stay in the clear.
    fSecureData_ = false;
    if (warnIfNoSSL_) {
      disconnectFromServer();
      warnNoSSLAvailable();
      return false;
    }
    updateProgressMark(0.1f);
    setState(1);
    code = 200;
  } else if (code == 530 && (state == 2 || state == 3)) {
    loginFailure();
    return false;
  } else if (code >= 400) {
    if (!skipSSL_) {
      Log::debug("----------Retrying Without AUTH----------");
      if (warnIfNoSSL_) {
        disconnectFromServer();
        warnNoSSLAvailable();
        return false;
      }
      skipSSL_ = true;
      disconnectFromServer();
      reconnect();
      return false;
    }
    loginFailure();
    return false;
  }
  return true;
}

void FTPConnection::loginNextStep(int code, const std::string &reply) {
  auto &defaults = UserDefaults::standard();
  switch (iState_.load()) {
  case 0:
    break; // "AUTH TLS", or "USER" when TLS is not tried
  case 1:
    // An implicit session protects its data connections as an explicit one does: "PBSZ 0" and
    // "PROT P" come before "USER" (and lead to it, refused or not). After a refused "AUTH SSL"
    // this is "USER" at once.
    if (implicitSSL_) {
      updateProgressText("Logging in with SSL...");
      setState(35);
    }
    break;
  case 32:
  case 34:
    startTlsOnControl();
    return;
  case 35:
    stopPBSZTimeoutTimer();
    stopSslHelperTimer();
    updateProgressText("Making SSL Connection...");
    setState(36);
    break;
  case 36:
    if (!implicitSSL_) debugCertificateInfo(); // an implicit session logs it after "USER"
    setState(2);
    break;
  case 2:
    stopSslHelperTimer();
    stopPBSZTimeoutTimer();
    updateProgressText("Logging in...");
    Log::debugf("*** My IP Address %s\r\n", localIPv4Address().c_str());
    if (implicitSSL_) debugCertificateInfo();
    setState(code >= 200 && code <= 299 ? 11 : 3);
    updateProgressMark(0.15f);
    break;
  case 3:
    setState(11);
    updateProgressMark(0.2f);
    break;
  case 11:
    iServerType_ = 0;
    if (replyHas(reply, "VMS")) iServerType_ = 2;
    if (replyHas(reply, "Netware")) iServerType_ = 3;
    setState(defaults.integerForKey("NoAdvancedFTPFeatures") == 1 || maximumCompatability_ ? 15
                                                                                           : 30);
    updateProgressMark(0.35f);
    break;
  case 30:
    takeFeatures(reply);
    setState(60);
    break;
  case 60:
    setState(canDoUTF8_ ? 4 : useModeZ_ ? 52 : 15);
    break;
  case 4:
    setState(5);
    break;
  case 5:
    setState(useModeZ_ ? 52 : 15);
    break;
  case 52:
    setState(15);
    break;
  case 15:
    loginFinished();
    return;
  default:
    break; // send the state's command again
  }
  sendCommand();
}

void FTPConnection::startTlsOnControl() {
  Log::debug("Trying SSL Connection");
  if (control_.input) control_.input->setTlsSettings(tlsSettings());
  // An empty write asks for a can-accept-bytes event, which comes once the handshake is done:
  // the login goes on then (the timer below only nudges a stream that never says so).
  if (control_.output) {
    const uint8_t none = 0;
    control_.output->write(&none, 0);
  }
  fSecureLogin_ = true;
  fSecureData_ = true;
  stopSslHelperTimer();
  {
    std::weak_ptr<FTPConnection> weak = weak_from_this();
    sslHelperTimer_ = myThread_->addTimer(platform::seconds(3), true, [weak](platform::Timer &) {
      if (auto self = weak.lock()) self->kickSSL();
    });
  }
  setState(2);
  setTask(kTaskLoginSecure); // last: the nudge is running once the task says so
  updateProgressMark(0.1f);
}

void FTPConnection::takeFeatures(const std::string &reply) {
  if (replyHas(reply, "MODE Z") && UserDefaults::standard().integerForKey(kModeZKey) != 0) {
    useModeZ_ = true;
    zlibHelp_ = std::make_unique<zLibHelper>();
  }
  if (replyHas(reply, "UTF8")) {
    canDoUTF8_ = true;
    utf8Safe_ = true;
  }
  if (replyHas(reply, "PRET")) usePRET_ = true;
  if (replyHas(reply, "APPE")) canDoAPPE_ = true;
}

void FTPConnection::loginFailure() {
  Log::debug("----------Login ERROR----------");
  setTask(kTaskIdle);
  setState(0);
  disconnectFromServer();
  std::string user = loginUser();
  if (!user.empty()) replies_.replyText += Log::format("\r\n(User Name: %s)", user.c_str());
  updateViewWithError(replies_.replyText, true);
}

void FTPConnection::loginFinished() {
  // Set before the session reads as logged in, cleared once the next task is set, whichever way
  // this ends (see isAnythingInProgress).
  loginFinishing_ = true;
  struct Finishing {
    FTPConnection &connection;
    ~Finishing() { connection.endLoginFinishing(); }
  } finishing{*this};
  setCwdFromReply();
  fIsLoggedIn_ = true;
  // The stored job goes before the tasks asked for during the login.
  setTask(kTaskIdle);
  if (loginFinishingHook) loginFinishingHook(*this);
  inWaitingJob_ = true;
  const bool ran = runStoredJob();
  inWaitingJob_ = false;
  if (ran) return;
  // Only the browsing connection lists its login folder: a queue session lists nothing it was
  // not asked for.
  if (!mainConnection_) {
    setTask(kTaskIdle);
    setState(0);
    return;
  }
  bool port = forcePORT_ || UserDefaults::standard().integerForKey(kUsePASVKey) != 1;
  setState(port ? 43 : 10);
  directoryToGetList_.clear(); // the login folder, where the session starts
  setTask(kTaskDir);
  updateProgressMark(0.3f);
  sendCommand();
}

void FTPConnection::endLoginFinishing() {
  loginFinishing_ = false;
  // A folder screen that chose its toolbar while the login was ending took the session for busy:
  // it chooses again when nothing follows the login.
  if (iTask_ == kTaskIdle && mainConnection_)
    onFolderScreen([](DirViewerScreen &top) { top.showAppropriateToolbar(); });
}

std::function<void(FTPConnection &)> FTPConnection::loginFinishingHook;

bool FTPConnection::runStoredJob() {
  // The folder goes with the job it was stored for: a later session must not list it.
  RemoteName folder;
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    folder = std::exchange(initialCurrentDirectory_, RemoteName());
  }
  jobFolderStored_ = false;
  if (!initialFileToDownload_.empty()) {
    RemoteName file = initialFileToDownload_;
    initialFileToDownload_.clear();
    downloadFile(file, fileDownloadSize_, editTheDownload_, justDownload_, folder, downloadHead_,
                 downloadTail_, resumeDownloadAt_);
    return true;
  }
  if (!fileToUpload_.empty()) {
    // A file upload names its file; an upload from memory may be empty (zero bytes) all the same.
    if (!filePathToUpload_.empty())
      uploadFile(fileToUpload_, std::string(filePathToUpload_), folder, skipRenames_,
                 resumeUploadAt_);
    else
      uploadFile(fileToUpload_, Bytes(dataToWrite_), folder, skipRenames_);
    return true;
  }
  if (!renameFrom_.empty()) {
    renameFile(renameFrom_, renameTo_, folder, reloadDirWhenDone_);
    return true;
  }
  if (!deleteFilename_.empty()) {
    deleteFile(deleteFilename_, folder, toDeleteIsFolder_);
    return true;
  }
  if (!makeDirectoryName_.empty()) {
    makeDirectory(makeDirectoryName_, folder);
    return true;
  }
  if (!chmodFilename_.empty()) {
    chmodFile(chmodFilename_, folder, chmodTo_);
    return true;
  }
  if (!rawCommand_.empty()) {
    doRawFTPCommand(rawCommand_, folder);
    return true;
  }
  if (!myTrimWS(folder.text()).empty()) {
    changeDirectory(folder);
    setShared(initialCurrentDirectory_, RemoteName());
    return true;
  }
  return false;
}

void FTPConnection::doTaskLoginSecure() {
  Log::debug("Successful SSL Connection");
  updateProgressText("Logging in with SSL...");
  setTask(kTaskLogin);
  setState(35);
  sendCommand();
}

void FTPConnection::kickSSL() {
  Log::debug("KickSSL");
  stopSslHelperTimer();
  int task = iTask_, state = iState_;
  if (task == kTaskLoginSecure && (state == 2 || state == 35)) {
    doTaskLoginSecure();
  } else if ((task == kTaskLogin || task == kTaskLoginSecure) && state == 11) {
    sendCommand();
  }
}

void FTPConnection::stopSslHelperTimer() {
  if (sslHelperTimer_) sslHelperTimer_->invalidate();
  sslHelperTimer_.reset();
}

void FTPConnection::pbszConnectTimeout() {
  stopPBSZTimeoutTimer();
  if (reconnectedWithoutTls_) {
    // Connecting again made no difference before (an implicit session stays under TLS).
    disconnectFromServer();
    updateViewWithFileError(myStartsWith(serverAddress(), "192.") ? "error-timeout-192.html"
                                                                  : "error-timeout.html");
    return;
  }
  if (warnIfNoSSL_) {
    disconnectFromServer();
    warnNoSSLAvailable();
    return;
  }
  skipSSL_ = true;
  reconnectedWithoutTls_ = true;
  disconnectFromServer();
  reconnect();
}

void FTPConnection::stopPBSZTimeoutTimer() {
  if (pbszConnectTimer_) pbszConnectTimer_->invalidate();
  pbszConnectTimer_.reset();
}

void FTPConnection::debugCertificateInfo() {
  auto certs = control_.input ? control_.input->peerCertificates()
                              : std::vector<platform::net::PeerCertificate>{};
  if (certs.empty()) return;
  addToLog(Log::format("!!! Cert:%s Bits:%u\r\n", certs.front().subjectSummary.c_str(),
                       unsigned(certs.front().publicKeyBits)));
}
