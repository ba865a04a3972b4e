// Uploads, from memory or from a local file. By default the file is stored under a temporary
// name (photo.upload.jpg), an existing file of the final name is moved aside (photo.old.jpg), the
// temporary file is renamed into place and the aside copy deleted, so that a broken upload never
// replaces a good file. Servers that refuse renaming are remembered and get a plain "STOR".
//
// A partial upload is resumed only when it can only be ours: at least 256 KiB on the server, less
// than the local file, and left by an upload of this very local file as it stands now (a file
// written anew since, an edit saved again say, starts over: its bytes would not continue the
// part); in the direct mode (no temporary name, the server's file may be an older complete one)
// only when the caller asked for a resume.
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPListedModes.h"
#include "app/ftp/FTPTaskHelpers.h"

#include "app/foundation/EditOrigin.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/device/Application.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <cstdlib>
#include <optional>
#include <sys/stat.h>
#include <utility>

using platform::FileManager;
using platform::Log;
using platform::UserDefaults;

namespace {
constexpr int64_t kMinimumResume = 262144;

// Whether the edit record (the phone's plain keys) is of the file an upload just stored: the same
// file on the same server for the same user. A record of an earlier version kept no port and no
// kind of connection: its server text and user must match.
bool recordIsOf(const RemoteOrigin &upload) {
  auto &defaults = UserDefaults::standard();
  auto value = [&defaults](const char *key) { return defaults.stringForKey(key).value_or(""); };
  if (auto origin = storedEditOrigin(value)) return origin->sameFileAs(upload);
  return RemoteOrigin::of(upload.protocol, value(kWasEditingServerNameKey), upload.port,
                          value(kWasEditingUserNameKey), value(kWasEditingInFolder),
                          value(kWasEditingFileName))
      .sameFileAs(upload);
}
} // namespace

void FTPConnection::uploadFile(const RemoteName &name, const Bytes &data, bool skipRenaming) {
  uploadFile(name, data, cwdName(), skipRenaming);
}

void FTPConnection::uploadFile(const RemoteName &name, const Bytes &data,
                               const RemoteName &toFolder, bool skipRenaming) {
  startOrWait([=, this] {
    if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    fileToUpload_ = name;
    dataToWrite_ = data; // an empty upload stays empty
    if (skipRenaming)
      dataToWriteCopy_.clear();
    else
      dataToWriteCopy_ = data;
    if (readStreamFileToUpload_) readStreamFileToUpload_->close();
    readStreamFileToUpload_.reset();
    filePathToUpload_.clear();
    dataFileToUpload_.clear();
    uploadResumeAsked_ = false;
    skipRenames_ = skipRenaming;
    currentDirectory_.clear();
    if (storeJobAndConnectIfNeeded(toFolder)) return;
    renamedUploadOK_ = false;
    passiveReplyAfterRest_.clear();
    storFailureReply_.clear();
    wasAnError_ = false;
    resumeDownloadAt_ = 0;
    resumeUploadAt_ = 0;
    iBytesTotal_ = int64_t(dataToWrite_.size());
    iBytesProcessed_ = 0;
    batchProgress_ = 0;
    setStatusMessage("Preparing to Upload...");
    setState(13);
    setTask(kTaskUpload);
    updateProgressMark(0.05f);
    sendCommand(toFolder.empty() ? cwdName() : toFolder);
  });
}

void FTPConnection::uploadFile(const RemoteName &name, const std::string &dataFile,
                               const RemoteName &toFolder, bool skipRenaming, int64_t resumeAt) {
  startOrWait([=, this] {
    if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    filePathToUpload_ = dataFile;
    fileToUpload_ = name;
    dataToWrite_.clear();
    dataToWriteCopy_.clear();
    dataFileToUpload_.clear();
    if (readStreamFileToUpload_) readStreamFileToUpload_->close();
    readStreamFileToUpload_ = std::make_unique<platform::net::FileInputStream>(dataFile);
    readStreamFileToUpload_->open();
    iBytesTotal_ = int64_t(sizeOfFileAtPath(dataFile));
    Log::debugf("Upload File: %s", dataFile.c_str());
    Log::debugf("Upload File Size: %lld", (long long)iBytesTotal_);
    // An empty file is sent as it is: zero bytes.

    const RemoteName folder = toFolder.empty() ? cwdName() : toFolder;
    const std::string server = serverAddress(), user = loginUser();
    std::string pass;
    {
      std::lock_guard<std::mutex> lock(sharedMutex_);
      pass = loginPass_;
    }
    const int port = currentPort_;
    const int64_t size = iBytesTotal_;
    const std::string protocol = fSecureLogin_ ? "ftps" : "ftp";
    int key = -1, rowAction = -1;
    ftptasks::withQueueStorage([&](FTPQueueStorage &queue) {
      key = queue.addBatchItemAction(3, name, folder, size, server, port, user, pass, protocol,
                                     dataFile, false, false);
      rowAction = queue.actionForBatchItemPK(key);
    });
    batchPK_ = key;

    skipRenames_ = skipRenaming;
    uploadResumeAsked_ = resumeAt > 0;
    currentDirectory_.clear();
    if (storeJobAndConnectIfNeeded(toFolder)) {
      resumeUploadAt_ = resumeAt;
      return;
    }
    renamedUploadOK_ = false;
    passiveReplyAfterRest_.clear();
    storFailureReply_.clear();
    wasAnError_ = false;
    resumeDownloadAt_ = 0;
    resumeUploadAt_ = resumeAt >= kMinimumResume && resumeAt < iBytesTotal_ ? resumeAt : 0;
    readStreamFileToUpload_->setCurrentOffset(resumeUploadAt_);
    iBytesProcessed_ = 0;
    batchProgress_ = 0;
    setStatusMessage("Preparing to Upload...");
    setState(13);
    setTask(!mainConnection_ && (rowAction == 3 || rowAction == 10) ? rowAction : kTaskUpload);
    updateProgressMark(0.05f);
    sendCommand(folder);
  });
}

RemoteName FTPConnection::uploadNameWith(const char *infix) const {
  // photo.jpg gives photo.upload.jpg; a name without a "." gets the infix at its end.
  return fileToUpload_.withInfix(infix);
}

void FTPConnection::cancelUpload(const RemoteName &inFolder) {
  onThread([this, inFolder] {
    const bool uploading = iTask_ == kTaskUpload || iTask_ == kTaskUploadAfterMkDir;
    const RemoteName leftover = uploading && useRenames_ && !skipRenames_ && !fileToUpload_.empty()
                                    ? uploadNameWith(".upload")
                                    : RemoteName();
    disconnectFromServer();
    if (leftover.empty()) return;
    // The stopped upload is over: nothing of it is run again at the next login.
    dropStoredJob();
    setTask(kTaskIdle);
    setState(0);
    deleteFilename_ = leftover;
    toDeleteIsFolder_ = false;
    quietDelete_ = true;
    storeJobFolder(inFolder);
    reconnect();
  });
}

void FTPConnection::restoreUploadSource() {
  if (!filePathToUpload_.empty()) {
    if (readStreamFileToUpload_) readStreamFileToUpload_->close();
    readStreamFileToUpload_ = std::make_unique<platform::net::FileInputStream>(filePathToUpload_);
    readStreamFileToUpload_->open();
    dataFileToUpload_.clear();
  } else {
    dataToWrite_ = dataToWriteCopy_;
  }
  resumeUploadAt_ = 0;
}

void FTPConnection::doTaskUpload() {
  int code = replies_.iReplyCode;
  std::string reply = replies_.replyText;
  Log::debugf("doTaskUpload:code:%i", code);
  setStatusMessage("Preparing to Upload...");
  const bool renameMode = useRenames_ && !skipRenames_;

  // The "226" of a listing that ended with its data connection may come after the next task
  // has begun: only "STOR" is answered so.
  if (code == 226 && iState_ != 19) {
    if (iState_ == 13) addToLog("!!! Late Reply? Ignore and wait for actual CWD response\r\n");
    return;
  }
  if (code >= 400 && !uploadGoesOnAfterRefusal(code, reply)) return;

  if (iState_ == 21 && code >= 100 && code <= 399) renamedUploadOK_ = true;
  if (!renameMode && iState_ == 19 && code >= 200) setState(23);
  // The file renamed over the one it replaces has the server's default mode: it gets the one
  // the listing showed (a private file stays private), then the upload goes on as it would.
  if (iState_ == 23 && renameMode && renamedUploadOK_ && code >= 200 && code <= 399 &&
      giveModeBack())
    return;
  if (iState_ == 64) setState(23);
  if (iState_ == 23 && UserDefaults::standard().integerForKey(kDeleteDotOldKey) == 0) setState(26);
  if (code < 100) {
    disconnectFromServer();
    return;
  }

  const int64_t localSize = readStreamFileToUpload_ || !filePathToUpload_.empty()
                                ? int64_t(sizeOfFileAtPath(filePathToUpload_))
                                : int64_t(dataToWrite_.size());
  uploadNextStep(code, reply, localSize, renameMode);
}

void FTPConnection::failUpload(const std::string &text) {
  Log::debug("----------FileUpload ERROR----------");
  precreatingTemp_ = false;
  abortBatchItem();
  setTask(kTaskIdle);
  setState(0);
  disconnectDataStreamFromServer();
  if (fDisconnectWhenDone_) disconnectFromServer();
  updateViewWithError(text, false);
}

void FTPConnection::failedUploadCutShort() {
  // vsftpd ends the session right after refusing a data connection: the failure that was being
  // seen to is reported all the same (what it left stays; the next try writes over it).
  const int task = iTask_;
  if ((task != kTaskUpload && task != kTaskUploadAfterMkDir) || storFailureReply_.empty() ||
      (iState_ != 56 && iState_ != 57))
    return;
  failUpload(std::exchange(storFailureReply_, {}));
}

bool FTPConnection::uploadGoesOnAfterRefusal(int &code, std::string &reply) {
  // After a refused rename the upload starts again directly, "TYPE I" first.
  auto uploadDirectly = [this] {
    setState(12);
    sendCommand();
  };
  switch (iState_.load()) {
  case 12:
  case 25:
  case 26:
    code = 200;
    return true;
  case 10:
    if (!forcePORT_) {
      addToLog("!!! No PASV allowed? Trying PORT...\r\n");
      forcePORT_ = true;
      setState(43);
      sendCommand();
      return false;
    }
    failUpload(reply);
    return false;
  case 22: // no old file to move aside
    setState(41);
    renamedUploadOK_ = false;
    code = 200;
    return true;
  case 21:
    renamedUploadOK_ = false;
    code = 200;
    return true;
  case 66: // the temporary file keeps the server's mode: given back after the rename
    afterTempMode(false);
    return false;
  case 64: // the mode is not given back: the upload itself is done
    addToLog("!!! The server did not take the mode the file had (" + modeToGiveBack_ +
             "): the file has the server's default mode\r\n");
    Log::systemf("SITE CHMOD %s refused: %s", modeToGiveBack_.c_str(),
                 withControlsEscaped(reply.substr(0, 200)).c_str());
    code = 200;
    return true;
  case 24:
  case 23: {
    addToLog("!!! Error Renaming.  Setting to upload the file directly and retrying...\r\n");
    Log::debug("Error Renaming, retry...");
    restoreUploadSource();
    useRenames_ = false;
    auto &defaults = UserDefaults::standard();
    defaults.setObject("1", keyNoRenaming(currentServerName(), loginUser()));
    defaults.synchronize();
    uploadDirectly();
    return false;
  }
  case 48:
  case 47:
    if (myContains(reply, "Command not implemented")) {
      addToLog("!!! Doesn't support renaming files?  Setting to upload the file directly.\r\n");
      useRenames_ = false;
    }
    // Otherwise the refusal is the expected answer: no temporary file was left over.
    uploadDirectly();
    return false;
  case 19:
    if (useRenames_ && !skipRenames_ && control_.input) {
      // The server may have made the temporary file before the transfer failed (vsftpd does
      // so before a protected data connection is refused): what cannot be resumed goes.
      storFailureReply_ = reply;
      disconnectDataStreamFromServer();
      setState(56);
      sendCommand();
      return false;
    }
    failUpload(reply);
    return false;
  case 56: // no size known: it would not be resumed either
    setState(57);
    sendCommand();
    return false;
  case 57: // the server keeps it
    failUpload(std::exchange(storFailureReply_, {}));
    return false;
  case 55:
    reply = "000000";
    code = 200;
    return true;
  case 53:
  case 54:
    reply = "000000";
    code = 200;
    if (resumeUploadAt_ != 0) {
      resumeUploadAt_ = 0;
      if (readStreamFileToUpload_) readStreamFileToUpload_->setCurrentOffset(0);
    }
    return true;
  default:
    failUpload(reply);
    return false;
  }
}

bool FTPConnection::skipUploadOfSameSize(int64_t remote) {
  if (iTask_ != kTaskUploadAfterMkDir || remote != iBytesTotal_) return false;
  addToLog(Log::format("*** File Size Correct (%lld), Skipping Upload!\r\n", (long long)remote));
  allCommandsDone();
  if (!mainConnection_) {
    std::weak_ptr<FTPConnection> weak = weak_from_this();
    myThread_->performAfter(platform::seconds(1), [weak] {
      if (auto self = weak.lock()) self->doneBatchItem();
    });
  }
  return true;
}

void FTPConnection::uploadNextStep(int code, const std::string &reply, int64_t localSize,
                                   bool renameMode) {
  switch (iState_.load()) {
  case 13:
    updateProgressMark(0.03f);
    setState(15);
    break;
  case 15:
    setCwdFromReply();
    updateProgressMark(0.07f);
    setState(renameMode ? 48 : 12);
    break;
  case 48: // a temporary file is left over from an earlier try
    setState(47);
    break;
  case 47:
    setState(12);
    break;
  case 12:
    setState(mainConnection_ ? 54 : 55);
    break;
  case 55:
    if (skipUploadOfSameSize(ftptasks::sizeFromReply(reply))) return;
    setState(54);
    break;
  case 54:
    if (!chooseUploadResume(ftptasks::sizeFromReply(reply), localSize, renameMode)) return;
    break;
  case 10:
  case 43:
    if (!openUploadData(reply, localSize)) return;
    break;
  case 53:
    if (!openUploadDataAfterRest()) return;
    break;
  case 56:
    if (code < 200) return;
    if (ftptasks::sizeFromReply(reply) >= kMinimumResume) {
      // Large enough to be resumed by the next try: it stays.
      failUpload(std::exchange(storFailureReply_, {}));
      return;
    }
    setState(57);
    break;
  case 57:
    if (code < 200) return;
    failUpload(std::exchange(storFailureReply_, {}));
    return;
  case 19:
    if (code < 200) return;
    if (std::exchange(precreatingTemp_, false)) {
      // The empty temporary file stands: it gets its mode before the content goes into it.
      setState(66);
      break;
    }
    Log::debug("----------Upload Done----------");
    onMain([](FTPAppServices &s) { s.finishedTransfer(); });
    if (modeZ_)
      addToLog(Log::format("*** Compression saved %lld bytes.\r\n", (long long)bytesSaved_));
    setState(25);
    break;
  case 66:
    afterTempMode(true);
    return;
  case 25:
    setState(22);
    break;
  case 22:
    setState(21);
    break;
  case 21:
    setState(24);
    break;
  case 41:
    break; // "RNFR" of the temporary name; the state becomes 24
  case 24:
    setState(23);
    break;
  case 23:
    setState(26);
    break;
  case 26:
    finishUpload();
    return;
  default:
    break;
  }
  sendCommand();
}

bool FTPConnection::chooseUploadResume(int64_t remote, int64_t localSize, bool renameMode) {
  if (skipUploadOfSameSize(remote)) return false;
  auto &defaults = UserDefaults::standard();
  // Only a file upload resumes, and only a partial file that must be ours.
  if (defaults.integerForKey("NoAdvancedFTPFeatures") == 1 || !readStreamFileToUpload_)
    resumeUploadAt_ = 0;
  else if (remote >= kMinimumResume && remote < localSize && (renameMode || uploadResumeAsked_) &&
           !uploadSourceMark().empty() &&
           defaults.stringForKey(uploadPartKey()).value_or("") == uploadSourceMark())
    resumeUploadAt_ = remote;
  else
    resumeUploadAt_ = 0;
  if (readStreamFileToUpload_) readStreamFileToUpload_->setCurrentOffset(resumeUploadAt_);
  setState(forcePORT_ || defaults.integerForKey(kUsePASVKey) != 1 ? 43 : 10);
  // A private file's new content never lies in a temporary file that others may read: the
  // temporary file gets the file's mode first. A part to resume has it set at once; otherwise an
  // empty file is stored first, given the mode, and the content written into it (the server
  // keeps the mode of a file it writes over).
  precreatingTemp_ = false;
  tempMode_.clear();
  if (auto mode = renameMode ? privateTempMode() : std::nullopt) {
    tempMode_ = *mode;
    if (resumeUploadAt_ > 0) {
      setState(66);
    } else {
      precreatingTemp_ = true;
      if (readStreamFileToUpload_)
        readStreamFileToUpload_->setCurrentOffset(localSize);
      else
        dataToWrite_.clear(); // kept in dataToWriteCopy_ for the content's own "STOR"
    }
  }
  return true;
}

std::string FTPConnection::uploadPartKey() const {
  const RemoteName stored =
      useRenames_ && !skipRenames_ ? uploadNameWith(".upload") : fileToUpload_;
  auto side = [](const RemoteName &name) {
    return name.bytes() ? "bytes:" + hexOfBytes(*name.bytes()) : name.text();
  };
  return "UploadPart:" + serverAddress() + ":" + std::to_string(currentPort()) + ":" + loginUser() +
         ":" + side(cwdName()) + "/" + side(stored);
}

std::string FTPConnection::uploadSourceMark() const {
  struct stat st {};
  if (filePathToUpload_.empty() || ::stat(filePathToUpload_.c_str(), &st) != 0) return {};
  return Log::format("%s|%lld|%llu|%lld.%09ld", filePathToUpload_.c_str(), (long long)st.st_size,
                     (unsigned long long)st.st_ino, (long long)st.st_mtim.tv_sec,
                     (long)st.st_mtim.tv_nsec);
}

void FTPConnection::notePartSource() {
  if (!readStreamFileToUpload_ || resumeUploadAt_ > 0 || precreatingTemp_) return;
  auto &defaults = UserDefaults::standard();
  const std::string mark = uploadSourceMark();
  if (mark.empty()) return;
  defaults.setObject(mark, uploadPartKey());
  // A kill may come before any other write of the settings.
  defaults.synchronize();
}

void FTPConnection::forgetPartSource() {
  if (filePathToUpload_.empty()) return;
  auto &defaults = UserDefaults::standard();
  const std::string key = uploadPartKey();
  if (!defaults.stringForKey(key)) return;
  defaults.removeObjectForKey(key);
  defaults.synchronize();
}

std::optional<std::string> FTPConnection::privateTempMode() {
  const auto listed = ftpmodes::listedMode(listedModesKey(), cwdName(), fileToUpload_);
  if (!listed) return std::nullopt;
  const unsigned long mode = std::strtoul(listed->c_str(), nullptr, 8);
  if ((mode & 044) == 044) return std::nullopt;
  // The owner writes it; the whole mode is given back after the rename, as for every file (a
  // server may also write a file anew rather than into the one there).
  return Log::format("%lo", (mode & 0777) | 0200);
}

void FTPConnection::afterTempMode(bool taken) {
  if (!taken)
    addToLog("!!! The server did not take the mode for the temporary file (" + tempMode_ + ")\r\n");
  // The empty file made for the mode now takes the content, from its start.
  if (resumeUploadAt_ == 0) restoreUploadSource();
  setState(forcePORT_ || UserDefaults::standard().integerForKey(kUsePASVKey) != 1 ? 43 : 10);
  sendCommand();
}

bool FTPConnection::openUploadData(const std::string &reply, int64_t localSize) {
  // A resumed upload opens its passive data connection only once "REST" is accepted: the
  // bytes must not start before the "STOR" that takes them.
  if (iState_ == 10 && resumeUploadAt_ >= 1) {
    passiveReplyAfterRest_ = reply;
  } else if (iState_ == 10 && !connectToServerData(reply)) {
    if (!forcePORT_) {
      addToLog("!!! No PASV allowed? Trying PORT...\r\n");
      forcePORT_ = true;
      setState(43);
      return true;
    }
    failUpload(reply);
    return false;
  }
  updateProgressMark(0.15f);
  iBytesTotal_ = localSize;
  iBytesProcessed_ = 0;
  setState(resumeUploadAt_ >= 1 ? 53 : 19);
  return true;
}

bool FTPConnection::openUploadDataAfterRest() {
  updateProgressMark(0.1f);
  if (!passiveReplyAfterRest_.empty()) {
    const std::string passive = passiveReplyAfterRest_;
    passiveReplyAfterRest_.clear();
    if (!connectToServerData(passive)) {
      failUpload(passive);
      return false;
    }
  }
  setState(19);
  return true;
}

bool FTPConnection::giveModeBack() {
  const auto mode = ftpmodes::listedMode(listedModesKey(), cwdName(), fileToUpload_);
  if (!mode) return false;
  modeToGiveBack_ = *mode;
  setState(64);
  sendCommand();
  return true;
}

void FTPConnection::finishUpload() {
  forgetPartSource();
  if (readStreamFileToUpload_) readStreamFileToUpload_->close();
  readStreamFileToUpload_.reset();
  if (!mainConnection_) {
    // Nothing of this upload may be taken for a job stored for the next login.
    allCommandsDone();
    doneBatchItem();
    return;
  }
  const bool queued = batchPK_ >= 0 && !filePathToUpload_.empty();
  auto owed = queued ? oweQueueReport() : nullptr;
  setTask(kTaskIdle);
  setState(0);
  // An edited remote file that is now saved back needs no restoring at the next start. Only that
  // file's upload ends its record: any other upload on this connection leaves it (and its working
  // file, which holds the edits) alone.
  if (recordIsOf(RemoteOrigin::ofNames(editProtocolWord(false, fSecureLogin_), currentServerName(),
                                       currentPort(), loginUser(), cwdName(), fileToUpload_))) {
    auto &defaults = UserDefaults::standard();
    const std::string edited = defaults.stringForKey(kEditingFTPFile).value_or("");
    if (!edited.empty()) removeWorkingCopy(edited);
    for (const char *key : kEditRecordKeys)
      defaults.setObject("", key);
    defaults.synchronize();
  }
  // A file upload recorded a queue row: it is done, so the queue does not send it again.
  if (queued) {
    BatchObject object{batchPK_, 0, 0};
    onMainForQueue(
        [object](FTPAppServices &s) {
          if (auto q = s.batchView()) q->doneBatchItemObject(object);
        },
        std::move(owed));
  }
  allCommandsDone();
  reloadDirectoryViewIfNeeded();
  onMain([](FTPAppServices &s) { s.finishedTransfer(); });
  if (fDisconnectWhenDone_) disconnectFromServer();
}
