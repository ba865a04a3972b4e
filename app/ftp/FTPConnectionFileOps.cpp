// Operations on remote names: rename or move, make a folder, delete one name or a list of names,
// change permissions, and a raw command typed by the user. Each enters its folder first ("CWD",
// "PWD") unless the folder is the current one, sends its command and refreshes the folder screen.
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPTaskHelpers.h"

#include "platform/device/Application.h"
#include "platform/foundation/Log.h"

#include <utility>

using platform::Log;

namespace {
// The first state of an operation: its own command when the folder is the current one (the same
// bytes to the server).
int firstState(const RemoteName &folder, const RemoteName &cwd, int command, bool utf8) {
  return folder.empty() || folder.wire(utf8) == cwd.wire(utf8) ? command : 13;
}
} // namespace

// --- Starters --------------------------------------------------------------------------------

void FTPConnection::setReloadDirWhenDone(bool reload) {
  onThread([this, reload] { reloadDirWhenDone_ = reload; });
}

void FTPConnection::renameFile(const RemoteName &from, const RemoteName &to,
                               const RemoteName &inFolder, bool reloadWhenDone) {
  startOrWait([=, this] {
    if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    onFolderScreen([](DirViewerScreen &top) { top.showWorkingToolbar(); });
    renameFrom_ = from;
    renameTo_ = to;
    // Set with the job, not beside it: a job that waited for a listing runs after any setting
    // posted meanwhile.
    reloadDirWhenDone_ = reloadWhenDone;
    currentDirectory_.clear();
    resetForNextCommand();
    if (storeJobAndConnectIfNeeded(inFolder)) return;
    startTask(kTaskRename, firstState(inFolder, cwdName(), renameFirstState(), utf8Safe_),
              "Renaming File...", inFolder);
  });
}

void FTPConnection::makeDirectory(const RemoteName &name, const RemoteName &inFolder) {
  startOrWait([=, this] {
    if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    onFolderScreen([](DirViewerScreen &top) { top.showWorkingToolbar(); });
    makeDirectoryName_ = name;
    currentDirectory_.clear();
    resetForNextCommand();
    if (storeJobAndConnectIfNeeded(inFolder)) return;
    startTask(kTaskMkDir, firstState(inFolder, cwdName(), 39, utf8Safe_), "Creating Directory...",
              inFolder);
  });
}

void FTPConnection::deleteFile(const RemoteName &name, const RemoteName &inFolder, bool isFolder) {
  startOrWait([=, this] {
    if (quietDelete_) {
      fDisconnectWhenDone_ = true;
    } else {
      if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
      onFolderScreen([](DirViewerScreen &top) { top.showWorkingToolbar(); });
    }
    deleteFilename_ = name;
    toDeleteIsFolder_ = isFolder;
    currentDirectory_.clear();
    resetForNextCommand();
    if (storeJobAndConnectIfNeeded(inFolder)) return;
    startTask(kTaskDelete, 13, "Deleting...", inFolder.empty() ? cwdName() : inFolder);
  });
}

void FTPConnection::deleteFileBatch(const std::vector<RemoteName> &names,
                                    const RemoteName &inFolder, bool isFolder) {
  startOrWait([=, this] {
    if (names.empty()) return;
    fileBatch_.assign(names.begin() + 1, names.end());
    deleteFile(names.front(), inFolder, isFolder);
  });
}

void FTPConnection::chmodFile(const RemoteName &name, const RemoteName &inFolder,
                              const std::string &permissions) {
  startOrWait([=, this] {
    if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    onFolderScreen([](DirViewerScreen &top) { top.showWorkingToolbar(); });
    chmodFilename_ = name;
    chmodTo_ = permissions;
    currentDirectory_.clear();
    resetForNextCommand();
    if (storeJobAndConnectIfNeeded(inFolder)) return;
    startTask(kTaskChmod, firstState(inFolder, cwdName(), 50, utf8Safe_), "Changing Permissions...",
              inFolder);
  });
}

void FTPConnection::doRawFTPCommand(const std::string &command, const RemoteName &inFolder) {
  startOrWait([=, this] {
    if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    onFolderScreen([](DirViewerScreen &top) { top.showWorkingToolbar(); });
    rawCommand_ = command;
    currentDirectory_.clear();
    resetForNextCommand();
    if (storeJobAndConnectIfNeeded(inFolder)) return;
    startTask(kTaskRaw, firstState(inFolder, cwdName(), 51, utf8Safe_),
              "Sending " + command + "...", inFolder);
  });
}

// --- Replies ---------------------------------------------------------------------------------

// The steps every operation shares: the folder change, a lost session, a refusal.
#define FTP_FILE_OP_COMMON(debugNote, commandState)                                                \
  const int code = replies_.iReplyCode;                                                            \
  const std::string reply = replies_.replyText;                                                    \
  Log::debugf(debugNote, code);                                                                    \
  /* A listing's "226" may come after the next task began: none of these commands is answered */   \
  /* so (a raw command may be). */                                                                 \
  if (code == 226 && iState_ != 51) {                                                              \
    if (iState_ == 13) addToLog("!!! Late Reply? Ignore and wait for actual CWD response\r\n");    \
    return;                                                                                        \
  }                                                                                                \
  if (code >= 100 && code <= 399) {                                                                \
    if (iState_ == 13) {                                                                           \
      setState(15);                                                                                \
      updateProgressMark(0.05f);                                                                   \
      sendCommand();                                                                               \
      return;                                                                                      \
    }                                                                                              \
    if (iState_ == 15) {                                                                           \
      setCwdFromReply();                                                                           \
      setState(commandState);                                                                      \
      sendCommand();                                                                               \
      return;                                                                                      \
    }                                                                                              \
  }

void FTPConnection::fileOperationFailed(const char *debugNote) {
  Log::debug(debugNote);
  setTask(kTaskIdle);
  setState(0);
  if (fDisconnectWhenDone_) disconnectFromServer();
}

void FTPConnection::finishFileOperation() {
  setTask(kTaskIdle);
  setState(0);
  allCommandsDone();
}

int FTPConnection::renameFirstState() const {
  // A name into another folder (a move) is looked for there first: the server would replace a
  // file of that name without a word. Within the folder the listing already answered.
  return renameTo_.text().find('/') != std::string::npos ? 65 : 38;
}

void FTPConnection::renameTargetTaken() {
  addToLog("!!! The name is taken in the other folder: nothing moved\r\n");
  renameFrom_.clear();
  renameTo_.clear();
  reloadDirWhenDone_ = false;
  finishFileOperation();
  operationDoneUpdateView();
  if (mainConnection_)
    std::make_shared<platform::ui::AlertView>(
        "File Name Error", "A file with that name already exists in the folder.",
        std::weak_ptr<platform::ui::AlertViewDelegate>(), "OK")
        ->showOnMainThread();
  if (fDisconnectWhenDone_) disconnectFromServer();
}

void FTPConnection::doTaskRename() {
  FTP_FILE_OP_COMMON("doTaskRename:code:%i", renameFirstState())
  if (code < 100) {
    disconnectFromServer();
    return;
  }
  switch (iState_.load()) {
  case 65: // "TYPE I": a server may size files in binary mode only (pyftpdlib)
    setState(61);
    sendCommand();
    return;
  case 61: // "SIZE" of the target: a file there has a size
    if (code == 213) return renameTargetTaken();
    setState(62);
    sendCommand();
    return;
  case 62: // "CWD" into the target: a folder there is entered, and left again
    setState(code >= 200 && code < 300 ? 63 : 38);
    sendCommand();
    return;
  case 63: // back in the folder the move runs in
    if (code >= 400) {
      // Still in the target: the next command enters its folder again.
      std::lock_guard<std::mutex> lock(sharedMutex_);
      cwd_.clear();
    }
    return renameTargetTaken();
  default:
    break;
  }
  if (code >= 400) {
    fileOperationFailed("----------FileRename ERROR----------");
    renameFrom_.clear();
    renameTo_.clear();
    updateViewWithError(reply, false);
    reloadDirectoryViewIfNeeded();
    return;
  }
  switch (iState_.load()) {
  case 38:
    setState(37);
    sendCommand();
    return;
  case 37: {
    finishFileOperation();
    if (reloadDirWhenDone_) {
      reloadDirWhenDone_ = false;
      changeDirectory(cwdName());
      onFolderScreen([](DirViewerScreen &top) { top.showWorkingTextToolbar(); });
    } else {
      operationDoneUpdateView();
    }
    if (fDisconnectWhenDone_) disconnectFromServer();
    return;
  }
  default:
    sendCommand();
    return;
  }
}

void FTPConnection::doTaskMkDir() {
  FTP_FILE_OP_COMMON("doTaskMkDir:code:%i", 39)
  const bool queueConnection = !mainConnection_;
  if (code < 100) {
    if (queueConnection) {
      doneBatchItem();
      return;
    }
    disconnectFromServer();
    return;
  }
  // On the queue's connection a refused "MKD" counts as made: the folder may be there already.
  if (code >= 400 && !(queueConnection && iState_ == 39)) {
    fileOperationFailed("----------doTaskMkDir ERROR----------");
    makeDirectoryName_.clear();
    updateViewWithError(reply, false);
    reloadDirectoryViewIfNeeded();
    return;
  }
  if (iState_ != 39) {
    sendCommand();
    return;
  }
  finishFileOperation();
  if (queueConnection)
    doneBatchItem();
  else
    reloadDirectoryViewIfNeeded();
  if (fDisconnectWhenDone_) disconnectFromServer();
}

void FTPConnection::doTaskDelete() {
  const int codeIn = replies_.iReplyCode;
  // Emptying a folder first ("DELE folder/*") may be refused: "RMD" decides.
  if (iState_ == 27 && codeIn >= 400) replies_.iReplyCode = 200;
  FTP_FILE_OP_COMMON("doTaskDelete:code:%i", toDeleteIsFolder_ ? 27 : 20)
  if (code < 100) {
    disconnectFromServer();
    return;
  }
  if (quietDelete_ && code >= 400) {
    // Nothing was left there (the upload had not begun), or it stays: the log says which.
    quietDelete_ = false;
    deleteFilename_.clear();
    addToLog("!!! The temporary file of the cancelled upload was not removed.\r\n");
    fileOperationFailed("----------doTaskDelete ERROR----------");
    return;
  }
  if (code >= 400) {
    fileOperationFailed("----------doTaskDelete ERROR----------");
    std::string text = reply;
    if (toDeleteIsFolder_)
      text += "\n(You may need to delete files in this folder before deleting the folder.)";
    deleteFilename_.clear();
    fileBatch_.clear();
    updateViewWithError(text, false);
    reloadDirectoryViewIfNeeded();
    return;
  }
  switch (iState_.load()) {
  case 27:
    setState(20);
    sendCommand();
    return;
  case 20:
    if (!fileBatch_.empty()) {
      updateProgressText(Log::format("Deleting (%i)...", int(fileBatch_.size())));
      deleteFilename_ = fileBatch_.front();
      fileBatch_.erase(fileBatch_.begin());
      sendCommand();
      return;
    }
    finishFileOperation();
    if (!std::exchange(quietDelete_, false)) reloadDirectoryViewIfNeeded();
    if (fDisconnectWhenDone_) disconnectFromServer();
    return;
  default:
    sendCommand();
    return;
  }
}

void FTPConnection::doTaskChmod() {
  FTP_FILE_OP_COMMON("doTaskChmod:code:%i", 50)
  if (code < 100) {
    disconnectFromServer();
    return;
  }
  if (code >= 400) {
    fileOperationFailed("----------doTaskChmod ERROR----------");
    chmodFilename_.clear();
    updateViewWithError(reply, false);
    reloadDirectoryViewIfNeeded();
    return;
  }
  if (iState_ != 50) {
    sendCommand();
    return;
  }
  finishFileOperation();
  reloadDirectoryViewIfNeeded();
  if (fDisconnectWhenDone_) disconnectFromServer();
}

void FTPConnection::doTaskRaw() {
  FTP_FILE_OP_COMMON("doTaskRaw:code:%i", 51)
  if (code < 100) {
    disconnectFromServer();
    return;
  }
  if (code >= 400) {
    // The server's answer to a typed command is shown as it is, not as a failure.
    fileOperationFailed("----------doTaskRaw ERROR----------");
    rawCommand_.clear();
    updateViewWithReply(reply);
    reloadDirectoryViewIfNeeded();
    return;
  }
  if (iState_ != 51) {
    sendCommand();
    return;
  }
  finishFileOperation();
  updateViewWithReply(reply);
  reloadDirectoryViewIfNeeded();
  if (fDisconnectWhenDone_) disconnectFromServer();
}

#undef FTP_FILE_OP_COMMON
