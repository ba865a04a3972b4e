// Downloads: "CWD", "PWD", "TYPE I", "SIZE", a data connection, an optional "REST" and "RETR",
// into a file of the temporary folder. A broken download resumes from its partial file; a head
// view stops after its first 64 KiB, a tail view fetches the last 64 KiB.
//
// The bytes go to the temporary file's partial file, which takes the temporary file's place only
// once the download is whole: a download that fails never empties or cuts the copy a viewer or
// editor may be showing, and a resume continues the partial file, not a finished file of that
// name. A download is handed on (put into Saved Files, opened) only when both its data stream has
// ended and the server's final reply says it succeeded, and when the file has the size the
// server announced (when it answered "SIZE"), or at least the size the listing or the queue row
// gave (when it did not). Anything less keeps the partial file for a later
// resume and reports the error; a partial file never replaces a saved one, and a saved file is
// replaced by a whole copy in one step. A download only to be saved never becomes the temporary
// file: from its partial file it goes straight into Saved Files.
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPTaskHelpers.h"

#include "app/foundation/Globals.h"
#include "app/foundation/PartialFile.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/device/Application.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <atomic>

using platform::FileManager;
using platform::Log;
using platform::Paths;
using platform::UserDefaults;

namespace {

constexpr int64_t kTailBytes = 65536;

std::atomic<bool> promptShowing{false};

// The answer to the "Saved File Exists" question goes back to its connection.
class SavedFileAlertDelegate : public platform::ui::AlertViewDelegate {
public:
  explicit SavedFileAlertDelegate(std::function<void(int)> answer) : answer_(std::move(answer)) {}
  void clickedButtonAtIndex(platform::ui::AlertView &, int index) override { answer_(index); }

private:
  std::function<void(int)> answer_;
};

// Opens the partial file a download writes into. A resumed download continues the partial file
// of its earlier try, from that file's length; any other starts it afresh.
std::unique_ptr<platform::net::FileOutputStream> openPartialFile(const std::string &partial,
                                                                 bool resuming, int64_t *resumeAt) {
  if (resuming) {
    *resumeAt = int64_t(sizeOfFileAtPath(partial));
    Log::debugf("Resuming At: %lld", (long long)*resumeAt);
  } else {
    FileManager::removeItem(partial);
  }
  auto stream = std::make_unique<platform::net::FileOutputStream>(partial, resuming);
  stream->setCurrentOffset(*resumeAt);
  stream->open();
  return stream;
}

// A fresh, empty partial file: what a restart from 0 writes into.
std::unique_ptr<platform::net::FileOutputStream> restartPartialFile(const std::string &partial) {
  auto stream = std::make_unique<platform::net::FileOutputStream>(partial, false);
  stream->open();
  return stream;
}

bool hasExtensionIn(const std::string &name, const char *list) {
  return platform::containsCaseInsensitive(list, "." + myFileType(name) + ".");
}

} // namespace

RemoteOrigin FTPConnection::downloadOrigin() const {
  return RemoteOrigin::ofNames(fSecureLogin_ ? "ftps" : "ftp", currentServerName(), currentPort_,
                               loginUser(), fromFolderDownload_, fileToDownload_);
}

RemoteOrigin FTPConnection::fileInFolderOrigin() const {
  return RemoteOrigin::ofNames(fSecureLogin_ ? "ftps" : "ftp", currentServerName(), currentPort_,
                               loginUser(), cwdName(), fileToDownloadName());
}

std::string FTPConnection::downloadPartialPath() const {
  return temporaryPartialFilePath(downloadOrigin());
}

bool FTPConnection::placeWorkingCopy(const std::string &partial) {
  // This connection's earlier copy is no longer its own to keep: an editor or viewer that shows
  // it holds it itself.
  workingCopyInUse_.release();
  workingCopy_ = workingCopyPath(downloadOrigin(), myBetterFileName(fileToDownload_.text()));
  workingCopyInUse_.hold(workingCopy_);
  if (auto placed = putPartialFileInPlace(partial, workingCopy_); !placed) {
    downloadFailed(placed.error());
    return false;
  }
  return true;
}

bool FTPConnection::overwritePromptShowing() {
  return promptShowing.load();
}

void FTPConnection::recordDownloadInQueue(const RemoteName &name, const RemoteName &folder,
                                          int64_t size, bool *isNewRow) {
  // The queue's own connection runs rows the queue handed it, with their keys: asking the queue
  // (on the main thread, waiting) would only give the same key back, once per file of a folder.
  if (!mainConnection_ && batchPK_ >= 0) {
    *isNewRow = false;
    localFolderAtStart_.clear(); // the row's own folder was given with it
    return;
  }
  *isNewRow = true;
  int key = -1;
  const std::string server = serverAddress(), user = loginUser();
  std::string pass;
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    pass = loginPass_;
  }
  const int port = currentPort_;
  const std::string protocol = fSecureLogin_ ? "ftps" : "ftp";
  std::string localFolder;
  const bool queued = ftptasks::withQueueStorage([&](FTPQueueStorage &queue) {
    localFolder = currentLocalFolder; // the Saved Files screen's folder (main thread)
    key = queue.alreadyExists(2, name, folder, size, server, port, user, pass);
    if (key >= 0) {
      *isNewRow = false;
      return;
    }
    key = queue.addBatchItemAction(2, name, folder, size, server, port, user, pass, protocol,
                                   localFolder, false, false);
  });
  if (!queued && FTPAppServices::shared())
    platform::RunLoop::main()->performAndWait([&] { localFolder = currentLocalFolder; });
  localFolderAtStart_ = localFolder;
  batchPK_ = key;
}

void FTPConnection::downloadFile(const RemoteName &name, int64_t size, bool forEditing,
                                 bool justDownload, const RemoteName &fromFolder, bool head,
                                 bool tail, int64_t resumeAt) {
  startOrWait([=, this] {
    if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(true);
    if (promptShowing) return;
    setTask(kTaskDownload);
    // The name becomes the temporary file's and the saved file's name: one file name only.
    std::string why;
    if (!isSingleFileName(name.text(), &why)) {
      abandonTask("The name \"" + withControlsEscaped(name.text()) +
                      "\" from the server cannot be a local file name: " + why + ".",
                  false);
      return;
    }
    const RemoteName folder = fromFolder.empty() ? cwdName() : fromFolder;
    bool newRow = true;
    recordDownloadInQueue(name, folder, size, &newRow);

    setShared(fileToDownload_, name);
    fromFolderDownload_ = folder;
    fileDownloadSize_ = size > 0 ? size : 0;
    editTheDownload_ = forEditing;
    justDownload_ = justDownload;
    downloadHead_ = head;
    downloadTail_ = tail;
    resumeDownloadAt_ = resumeAt > 0 ? resumeAt : 0;
    replaceExisting_ = true;
    resetForNextCommand();

    if (!control_.input) {
      setTask(kTaskIdle);
      initialFileToDownload_ = name;
      storeJobFolder(folder);
      reconnect();
      return;
    }

    if (writeStreamFileDownload_) {
      writeStreamFileDownload_->close();
      writeStreamFileDownload_.reset();
    }

    // A file in Saved Files is never replaced unasked, whoever started the download (unless told
    // never to ask).
    auto &defaults = UserDefaults::standard();
    if (defaults.integerForKey(kOverwriteSavedFilesKey) == 0 &&
        FileManager::fileExists(getSavedFilesPath()) &&
        (defaults.integerForKey(kAutoSaveAllDownloadsKey) == 1 || justDownload)) {
      std::vector<std::string> buttons = {"Replace", "Replace & Don't Ask Again"};
      if (!justDownload) buttons.insert(buttons.begin(), "Keep File");
      std::weak_ptr<FTPConnection> weak = weak_from_this();
      savedFileAlertDelegate_ = std::make_shared<SavedFileAlertDelegate>([weak](int index) {
        if (auto self = weak.lock())
          self->onThread([self, index] { self->savedFileExistsAnswered(index); });
      });
      auto alert = std::make_shared<platform::ui::AlertView>(
          "Saved File Exists",
          "A file named \"" + name.text() + "\" already exists in the Saved Files tab.",
          savedFileAlertDelegate_, "Cancel", buttons);
      promptShowing = true;
      // The question holds the connection: nothing else starts on it until it is answered.
      questionOwed_ = oweQueueReport();
      setTask(kTaskIdle);
      showAlert(alert, &errorSavedFileExists_, true);
      return;
    }

    // The partial file: continued only when resuming a full download (after the question, so
    // that "Cancel" leaves the one of an earlier try as it was).
    partialInUse_.hold(downloadPartialPath());
    writeStreamFileDownload_ = openPartialFile(
        downloadPartialPath(), resumeDownloadAt_ > 0 && !head && !tail, &resumeDownloadAt_);
    downloadDataDone_ = false;
    download226Done_ = false;
    downloadHandedOn_ = false;
    downloadSizeKnown_ = false;
    wasAnError_ = false;
    iBytesTotal_ = 0;
    batchProgress_ = 0;
    setStatusMessage("Preparing to Download...");
    setState(13);
    setTask(kTaskDownload);
    sendCommand(folder);
    updateProgressMark(0.05f);
  });
}

void FTPConnection::savedFileExistsAnswered(int index) {
  promptShowing = false;
  savedFileAlertDelegate_.reset();
  auto question = std::move(questionOwed_); // held until the answer has taken effect
  if (index == 0) {                         // "Cancel": the queued item is dropped
    BatchObject object{batchPK_, 0, 0};
    onMainForQueue(
        [object](FTPAppServices &s) {
          if (auto q = s.batchView()) q->doneBatchItemObject(object);
        },
        std::move(question));
    operationDoneUpdateView();
    return;
  }
  if (index == 1) {
    replaceExisting_ = justDownload_; // "Replace", or "Keep File"
  } else {
    replaceExisting_ = true;
    if (index == (justDownload_ ? 2 : 3)) {
      UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
      UserDefaults::standard().synchronize();
    }
  }
  partialInUse_.hold(downloadPartialPath());
  writeStreamFileDownload_ = openPartialFile(
      downloadPartialPath(), resumeDownloadAt_ > 0 && !downloadHead_ && !downloadTail_,
      &resumeDownloadAt_);
  downloadDataDone_ = false;
  download226Done_ = false;
  downloadHandedOn_ = false;
  downloadSizeKnown_ = false;
  wasAnError_ = false;
  iBytesTotal_ = 0;
  batchProgress_ = 0;
  setState(13);
  setTask(kTaskDownload);
  updateProgressMark(0.05f);
  sendCommand(fromFolderDownload_);
}

void FTPConnection::doTaskDownload() {
  int code = replies_.iReplyCode;
  std::string reply = replies_.replyText;
  Log::debugf("doTaskDownload:code:%i", code);
  setStatusMessage("Preparing to Download...");
  const int state = iState_;

  if (code >= 400) {
    if (state == 12) {
      code = 200;
    } else if (state == 40) {
      downloadHead_ = true;
      downloadTail_ = false;
      updateViewWithError("The FTP Server does not allow requesting only the end of the file.  "
                          "View will show the beginning of the file.",
                          false);
      code = 200;
    } else if (state == 53) {
      addToLog("!!! Can't resume, starting at 0...\r\n");
      Log::debug("No Resuming :(");
      resumeDownloadAt_ = 0;
      // Start the file afresh: the old bytes must not outlive a shorter new download.
      if (writeStreamFileDownload_) writeStreamFileDownload_->close();
      writeStreamFileDownload_ = restartPartialFile(downloadPartialPath());
      code = 200;
    } else if (state == 10 && !forcePORT_) {
      addToLog("!!! No PASV allowed? Trying PORT...\r\n");
      forcePORT_ = true;
      setState(43);
      sendCommand();
      return;
    } else if (state == 54) {
      reply = "000000";
      code = 200;
    } else {
      Log::debug("----------FileDownload ERROR----------");
      downloadFailed(reply);
      return;
    }
  }

  if (code == 257 && state != 15) {
    addToLog("!!! Resyncing to PWD Response\r\n");
    setState(15);
  } else if (code == 213 && state != 54) {
    addToLog("!!! Resyncing to SIZE Response\r\n");
    setState(54);
  } else if (code == 226 && state != 18) {
    // A listing's "226" may come after this task began: only "RETR" is answered so.
    if (state == 13) addToLog("!!! Late Reply? Ignore and wait for actual CWD response\r\n");
    return;
  }
  if (code < 100 || code > 399) {
    disconnectFromServer();
    return;
  }

  auto &defaults = UserDefaults::standard();
  switch (iState_.load()) {
  case 13:
    setState(15);
    updateProgressMark(0.05f);
    sendCommand();
    return;
  case 15:
    setCwdFromReply();
    setState(12);
    sendCommand();
    return;
  case 12:
    setState(54);
    sendCommand();
    return;
  case 54: {
    const int64_t remote = ftptasks::sizeFromReply(reply);
    if (fileDownloadSize_ == 0) fileDownloadSize_ = remote;
    const bool keepResume = remote != 0 && remote == fileDownloadSize_ &&
                            (resumeDownloadAt_ < remote || resumeDownloadAt_ == 0);
    if (!keepResume) {
      if (remote >= 1) addToLog("!!! File Size Mismatch! Don't Resume.\r\n");
      if (resumeDownloadAt_ != 0) {
        resumeDownloadAt_ = 0;
        if (writeStreamFileDownload_) writeStreamFileDownload_->close();
        writeStreamFileDownload_ = restartPartialFile(downloadPartialPath());
      }
    }
    // What the server says is what the finished file must hold.
    downloadSizeKnown_ = remote > 0;
    if (remote > 0) {
      fileDownloadSize_ = remote;
      updateBatchFileSize();
    }
    setState(forcePORT_ || defaults.integerForKey(kUsePASVKey) != 1 ? 43 : 10);
    updateProgressMark(0.1f);
    sendCommand();
    return;
  }
  case 10:
  case 43:
    dataReadData_.clear();
    if (iState_ == 10 && !connectToServerData(reply)) {
      if (!forcePORT_) { // a passive reply without an address is a refused "PASV"
        addToLog("!!! No PASV allowed? Trying PORT...\r\n");
        forcePORT_ = true;
        setState(43);
        sendCommand();
        return;
      }
      downloadFailed(reply);
      return;
    }
    updateProgressMark(0.15f);
    // The tail of a file under 64 KiB (or of unknown size) is the whole file.
    if (downloadTail_ && fileDownloadSize_ > kTailBytes)
      setState(40);
    else if (!downloadTail_ && resumeDownloadAt_ >= 1)
      setState(53);
    else
      setState(18);
    sendCommand();
    return;
  case 40:
  case 53:
    setState(18);
    sendCommand();
    return;
  case 18:
    if (code < 200) return;
    if (code < 300) {
      // Any success reply ends the transfer ("250 Transfer complete" as well as "226").
      Log::debug("----------Download Done----------");
      download226Done_ = true;
      onMain([](FTPAppServices &s) { s.finishedTransfer(); });
      downloadFinishedIfComplete();
    }
    return;
  default:
    sendCommand();
    return;
  }
}

void FTPConnection::checkDoneBatchDownload() {
  downloadFinishedIfComplete();
}

void FTPConnection::editDownloadedFile() {
  // A head view that reached its limit is shown at once (the transfer is being aborted).
  if (downloadHead_ && !downloadDataDone_) {
    downloadHandedOn_ = true;
    if (writeStreamFileDownload_) {
      writeStreamFileDownload_->close();
      writeStreamFileDownload_.reset();
    }
    if (!placeWorkingCopy(downloadPartialPath())) return;
    editDownloadedFile(false);
    return;
  }
  downloadFinishedIfComplete();
}

void FTPConnection::downloadFinishedIfComplete() {
  if (downloadHandedOn_ || !downloadDataDone_ || !download226Done_) return;
  if (iTask_ != kTaskDownload) return;
  downloadHandedOn_ = true;
  stopDataTimeoutTimer();
  if (writeStreamFileDownload_) {
    writeStreamFileDownload_->close();
    writeStreamFileDownload_.reset();
  }
  const std::string partial = downloadPartialPath();
  const int64_t have = int64_t(sizeOfFileAtPath(partial));
  // The file must hold the size the server answered to "SIZE"; without that answer, at least the
  // size the listing or the queue row gave. More than a size the server did not confirm is taken
  // as it came (the file may have grown since it was listed); less is a cut transfer either way.
  const bool shortOfGivenSize = fileDownloadSize_ > 0 && have < fileDownloadSize_;
  if (!downloadHead_ && ((downloadSizeKnown_ && have != fileDownloadSize_) || shortOfGivenSize)) {
    const std::string name = withControlsEscaped(fileToDownload_.text());
    if (have > fileDownloadSize_) {
      FileManager::removeItem(partial); // not the file: nothing to resume from
      downloadFailed(Log::format("The server sent more than the %lld bytes it announced for "
                                 "\"%s\": the download was stopped.",
                                 (long long)fileDownloadSize_, name.c_str()));
    } else {
      downloadFailed(Log::format("The download of \"%s\" is incomplete: %lld of %lld bytes.",
                                 name.c_str(), (long long)have, (long long)fileDownloadSize_));
    }
    return;
  }
  // Whole. A download to be opened takes its working copy's place in one step (the editor or
  // viewer opens that file, and an edit record names it). One only to be saved goes from its
  // partial file, its own, straight into Saved Files: it never passes through a working copy,
  // which a file being edited may be.
  if (!justDownload_ && !placeWorkingCopy(partial)) return;
  resumeDownloadAt_ = 0;
  downloadReportOwed_ = oweQueueReport(); // busy until the file is saved and the queue told
  setTask(kTaskIdle);
  setState(0);
  // The queue deletes the row of a finished download once the file is in its place (told with
  // this row's key: a task started meanwhile must not be ended by a late report).
  editDownloadedFile(replaceExisting_, true);
  if (fDisconnectWhenDone_) disconnectFromServer();
}

void FTPConnection::downloadFailed(const std::string &why) {
  // The partial file stays in the temporary folder when it holds something: the queue row
  // resumes it later. One that got nothing is of no use to anyone.
  if (writeStreamFileDownload_) {
    writeStreamFileDownload_->close();
    writeStreamFileDownload_.reset();
  }
  if (!fileToDownload_.empty()) removePartialFileIfEmpty(downloadPartialPath());
  disconnectDataStreamFromServer();
  abortBatchItem();
  setTask(kTaskIdle);
  setState(0);
  setShared(fileToDownload_, RemoteName());
  if (fDisconnectWhenDone_) disconnectFromServer();
  updateViewWithError(why, false);
}

std::string FTPConnection::getSavedFilesPath() {
  const std::string documents = Paths::documents();
  FileManager::createDirectory(documents, true);
  const int choice = UserDefaults::standard().integerForKey(kDefaultDownloadFolderKey);
  std::string folder = documents + "/Files";
  if (choice == 0) {
    if (!saveToLocalFolder_.empty())
      folder = saveToLocalFolder_.front() == '/'
                   ? saveToLocalFolder_
                   : platform::appendPathComponent(documents, saveToLocalFolder_);
    else if (!localFolderAtStart_.empty())
      folder = platform::appendPathComponent(folder, localFolderAtStart_);
    // A folder of the shared folder is named from Saved Files ("../name"): the folder it names.
    folder = platform::standardizePath(folder);
  } else if (choice >= 1 && choice <= 5) {
    const std::string server = currentServerName();
    switch (choice) {
    case 1:
      folder = platform::appendPathComponent(folder, server);
      break;
    case 2:
      folder = platform::appendPathComponent(folder, myFileType(fileToDownload_.text()));
      break;
    case 3:
      folder = platform::appendPathComponent(platform::appendPathComponent(folder, server),
                                             myFileType(fileToDownload_.text()));
      break;
    case 4:
      folder = platform::appendPathComponent(
          folder, platform::DateFormatter("yyyy-MM-dd")
                      .stringFromDate(platform::Clock::current().wallNow()));
      break;
    case 5:
      folder = platform::appendPathComponent(platform::appendPathComponent(folder, server), cwd());
      break;
    }
  }
  // The server's current folder names a folder of its own (choice 5): it must not lead out of
  // the server's folder, nor the saved file out of its folder (through a link, say).
  const std::string confine =
      choice == 5 ? platform::appendPathComponent(documents + "/Files", currentServerName())
                  : folder;
  const std::string path = platform::appendPathComponent(folder, fileToDownload_.text());
  if (!isSingleFileName(fileToDownload_.text()) || !pathLiesInside(folder, confine) ||
      !pathLiesInside(path, folder)) {
    Log::systemf("getSavedFilesPath: refused %s", withControlsEscaped(path).c_str());
    return {};
  }
  FileManager::createDirectory(folder, true);
  Log::systemf("getSavedFilesPath: %s", path.c_str());
  return path;
}

void FTPConnection::editDownloadedFile(bool replace, bool reportDone) {
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  dataReadData_.clear();
  const std::string name = fileToDownload_.text();
  const RemoteName remoteName = fileToDownload_;
  const bool justDownload = justDownload_;
  // A download only to be saved is still in its partial file (see downloadFinishedIfComplete).
  const std::string temp = justDownload ? downloadPartialPath() : workingCopy_;
  const bool preview = downloadHead_ || downloadTail_;
  const bool autoSave = UserDefaults::standard().integerForKey(kAutoSaveAllDownloadsKey) == 1;
  // A preview holds part of a file: it is never saved over anything.
  const bool save = replace && !preview && (autoSave || justDownload);
  const std::string saved = save ? getSavedFilesPath() : std::string();
  const bool readOnly = opensReadOnly(preview, loginUser());
  const RemoteName folder = cwdName();
  const BatchObject done{batchPK_, 0, 0};
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  auto self = shared_from_this();
  // The queue hears of the finished file only once it is saved: until then the connection is not
  // free for its next item (the runner would take this one up again).
  auto owed = std::move(downloadReportOwed_);
  auto post = [&](std::function<void(FTPAppServices &)> fn) {
    if (reportDone)
      onMainForQueue(std::move(fn), std::move(owed));
    else
      onMain(std::move(fn));
  };
  post([=](FTPAppServices &s) {
    Log::system("EditDownloadedFile");
    if (auto top = s.folderScreenOf(*self)) top->showEditSaveButton(3, false);
    bool wasSaved = false;
    std::string problem = saved.empty() ? "its place lies outside Saved Files" : "";
    if (!saved.empty()) {
      // A file in the way is replaced, by a whole copy in one step; a folder never is.
      auto there = FileManager::attributesOfItem(saved);
      if (there && there->type == platform::FileAttributes::Type::Directory) {
        problem = "a folder of that name is in the way";
      } else {
        Log::systemf("CopyFrom: %s", temp.c_str());
        // A download only to be saved is moved there: a copy writes every byte again and makes
        // a second file, and a queue of small files spends most of its time on both.
        auto placed = replaceFileWith(temp, saved, justDownload);
        wasSaved = bool(placed);
        if (!placed) problem = placed.error();
      }
    }
    const bool notSaved = save && !wasSaved;
    if (notSaved) {
      // The download stays in the temporary folder (a download only to be saved, whole in its
      // partial file) and its row stays queued, with the error.
      const std::string why = "The file \"" + withControlsEscaped(name) +
                              "\" could not be saved in Saved Files" +
                              (problem.empty() ? "" : ": " + problem) + ".";
      if (auto c = weak.lock()) c->onThread([c, why] { c->updateViewWithError(why, false); });
    } else if (reportDone) {
      // Only now is the file where the queue looks for it (to unpack it, to show it).
      if (auto q = s.batchView()) q->doneBatchItemObject(done);
    }
    if (justDownload) {
      if (!notSaved && FileManager::fileExists(temp)) FileManager::removeItem(temp);
    } else if (hasExtensionIn(name, ".mpg.mpeg.mp4.m4v.avi.qt.mov.3gp.flc.mp3.wav.aac.")) {
      s.playMediaFile(temp, true);
    } else if (hasExtensionIn(name, ".gif.png.jpg.jpeg.tif.tiff.svg.pdf.doc.xls.ppt.docx.xlsx."
                                    "pptx.rtf.key.pages.numbers.")) {
      s.showDocumentViewer(name, temp);
    } else if (auto editor = s.openTextEditor(temp)) {
      editor->setFReadOnly(readOnly);
      editor->setTheConnection(self);
      editor->setTextFileName(name);
      editor->setDirectoryOfTheFile(folder.text());
      editor->setRemoteFile(remoteName, folder);
      // A save updates the Saved Files copy too; the file itself still goes back to the server.
      if (wasSaved) editor->setEditingSavedFilePath(saved);
    }
    if (auto c = weak.lock()) c->onThread([c] { c->operationDoneUpdateView(); });
  });
}
