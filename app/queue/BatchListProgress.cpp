// Progress, completion, abort and errors of the running item, from the FTP connections'
// messages, the SFTP service's callbacks and the queue's own web download.
#include "app/files/ArchiveServices.h"
#include "app/queue/BatchListView.h"
#include "app/queue/BatchServices.h"

#include "app/foundation/Database.h"
#include "app/foundation/PartialFile.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>

using platform::Log;
using platform::RunLoop;

namespace {

bool hasTarSuffix(const std::string &name) {
  for (const char *suffix :
       {".tar", ".tgz", ".tbz", ".tb2", ".taz", ".tar.gz", ".tar.bz2", ".tar.z"})
    if (myEndsWith(name, suffix)) return true;
  return false;
}

std::string withoutTrailingSlashes(std::string text) {
  while (!text.empty() && text.back() == '/')
    text.pop_back();
  return text;
}

} // namespace

double BatchListView::now() const {
  return std::chrono::duration<double>(platform::Clock::current().wallNow().time_since_epoch())
      .count();
}

// --- Messages of the FTP connections ---------------------------------------------------------

void BatchListView::updateBatchItemObject(const BatchObject &object) {
  updateBatchItemPK(object.primaryKey, object.progress, object.bytes);
}

void BatchListView::updateFileSizeBatchItemObject(const BatchObject &object) {
  if (auto item = itemForPK(object.primaryKey)) setItemFilesize(*item, object.bytes);
}

void BatchListView::doneBatchItemObject(const BatchObject &object) {
  doneBatchItemPK(object.primaryKey);
}

void BatchListView::abortBatchItemObject(const BatchObject &object) {
  abortBatchItemPK(object.primaryKey);
}

// --- Progress --------------------------------------------------------------------------------

void BatchListView::updateBatchItemPK(int pk, float progress, int64_t bytes) {
  inProgressPK_ = pk;
  if (fPaused_) return;
  auto item = itemForPK(pk);
  if (!item) return;
  if (progress == -1.0f) {
    // The transfer stopped (paused, waiting for its server, deleted): the row keeps showing how
    // much of it is done, as the row draws an item with progress; a restart goes on from there.
    if (item->progressBar()) item->progressBar()->setHidden(!(item->progress() > 0));
    lastTimeUpdateStart_ = 0;
  } else {
    item->setProgress(progress);
    // The transfer moves: its server is back.
    endFTPRetry(pk);
    // The bar replaces the session's status line.
    if (!item->statusMsg().empty() && !item->working()) item->setStatusMsg("");
    if (item->progressBar()) {
      if (item->label()) item->label()->setHidden(true);
      item->progressBar()->setHidden(false);
      item->progressBar()->setProgress(progress);
    }
  }
  const double t = now();
  // The offset a restart resumes from: saved at the first report and then at most every 10 s.
  if (bytes > 0 && (t - lastTimeUpdateStart_ > 10.0 || item->start() == 0)) {
    holdStart(pk, bytes);
    item->setStart(bytes);
    lastTimeUpdateStart_ = t;
  }
  if (item->lastTime() > 0 && item->lastBytes() < bytes && t > item->lastTime() + 1.0) {
    const double speed =
        static_cast<double>(bytes - item->lastBytes()) / (t - item->lastTime()) / 1024.0;
    titleSpeed_ = Log::format("%0.1f KB/Sec", speed);
    double remaining = 0;
    for (auto &each : batchItemList_)
      if (each->errorMsg().empty()) remaining += static_cast<double>(each->filesize());
    titleSize_ = Log::format("%0.1f MB", remaining / 1048576.0);
    if (titleDetails_)
      titleDetails_->setText(
          titleSize_ + (!titleSize_.empty() && !titleSpeed_.empty() ? " @ " : "") + titleSpeed_);
    navigationItem().setTitleView(myTitleView_);
    item->setLastTime(t);
    item->setLastBytes(bytes);
  } else if (item->lastTime() == 0) {
    item->setLastTime(t);
    item->setLastBytes(bytes);
  }
}

// --- Completion --------------------------------------------------------------------------------

void BatchListView::doneBatchItemPK(int pk) {
  titleSize_.clear();
  titleSpeed_.clear();
  updateSizeDisplay();
  inProgressPK_ = pk;
  lastTimeUpdateStart_ = 0;
  // The FTP item awaited has reported its end: the next item need not wait for it.
  if (pk == ftpAwaitedPK_) ftpAwaitedPK_ = -1;
  if (pk == sftpPK_) sftpPK_ = -1;
  int index = batchIndexForPK(pk);
  if (index < 0) return;
  auto item = batchItemList_[static_cast<size_t>(index)];
  if (againPKs_.erase(pk) && BatchItem::isUploadAction(item->action())) {
    // What arrived is what the file held when the transfer read it: the row goes again, from its
    // beginning, with the newer text the file holds now (its file stays, and so does the edit).
    item->setProgress(0);
    item->setStart(0);
    holdStart(pk, 0);
    stopBatchItemPK(pk, false);
    inProgressPK_ = -1;
    reloadTable();
    doStartIfNoneInProgress();
    return;
  }
  // An upload's local file is on its server now (an edit's working file saved back, say).
  const std::string sent = BatchItem::isUploadAction(item->action()) ? localFileOfItem(*item) : "";

  completionCleanup(*item);

  stopBatchItemPK(pk, false);
  removeFinishedRow(pk);
  index = batchIndexForPK(pk);
  if (index >= 0) removeItemAtIndex(static_cast<size_t>(index));
  assetFolders_.erase(pk);
  inProgressPK_ = -1; // nothing runs until the runner starts the next item
  reloadTable();
  badge();

  const int action = item->action();
  if (action == BatchItem::kDownload || action == BatchItem::kSFTPDownload ||
      action == BatchItem::kWebDownload)
    refreshSavedFilesFor(*item);
  // An SFTP upload's folder is listed again when the service reports the change (below).
  if (BatchItem::isUploadAction(action) && !isSFTPItem(*item))
    listRemoteFolderAgain(placeOf(*item));
  // The edit the file held, if any, has reached its server.
  if (!sent.empty())
    if (auto services = BatchAppServices::shared()) services->sentBack(sent);
  doStartIfNoneInProgress();
}

void BatchListView::completionCleanup(const BatchItem &item) {
  if (!item.cleanFileWhenDone()) return;
  // A finished download is reported once its file is in place.
  const std::string file = localFileOfItem(item);
  if (!platform::FileManager::fileExists(file)) return;
  switch (item.action()) {
  case BatchItem::kDownload:
  case BatchItem::kSFTPDownload:
    // A download queued for unpacking: the archive stays beside what it held.
    unpackDownload(file);
    break;
  case BatchItem::kUpload:
  case BatchItem::kUploadIntoNewFolder:
  case BatchItem::kSFTPUpload:
  case BatchItem::kSFTPUploadIntoNewFolder: {
    // The temporary copy that was uploaded goes, and its folder only when it was made for it.
    auto folder = assetFolders_.find(item.primaryKey());
    if (folder != assetFolders_.end() && !folder->second.empty() && folder->second != "/")
      platform::FileManager::removeItem(folder->second);
    else
      platform::FileManager::removeItem(file);
    break;
  }
  default:
    break;
  }
}

void BatchListView::unpackDownload(const std::string &file) {
  const std::string name = platform::lastPathComponent(file);
  const bool zip = myEndsWith(name, ".zip");
  if (!zip && !hasTarSuffix(name)) return;
  // "...zip" would unpack into the folder above: the folder's name must be a name.
  const std::string folder = !zip ? TARWrapper::unTARFolder(file)
                             : isSingleFileName(name.substr(0, name.size() - 4))
                                 ? file.substr(0, file.size() - 4)
                                 : std::string();
  if (folder.empty()) {
    Log::systemf("%s refused: %s", zip ? "Unzip" : "Untar", withControlsEscaped(file).c_str());
    return;
  }
  auto staged = StagedUnpack::unpack(folder, [&](const std::string &into) {
    if (!zip) return TARWrapper::unTARFileTo(file, into);
    auto archive = ZipArchive::make();
    if (!archive || !archive->UnzipOpenFile(file)) return false;
    const bool ok = archive->UnzipFileTo(into, true);
    archive->UnzipCloseFile();
    return ok;
  });
  // No one can be asked here: a file the person changed since the archive was last unpacked is
  // kept, and they are told so.
  if (!staged || !staged->putInPlace(false) || !staged->unpackedWhole())
    Log::systemf("%s failed: %s", zip ? "Unzip" : "Untar", withControlsEscaped(file).c_str());
  const size_t kept = staged ? staged->differing().size() : 0;
  if (kept == 0) return;
  const std::string what = "\"" + platform::lastPathComponent(folder) + "\"";
  const std::string message =
      (kept == 1 ? "1 file in " + what + " differs from its copy in \"" + name + "\" and was kept."
                 : std::to_string(kept) + " files in " + what + " differ from their copies in \"" +
                       name + "\" and were kept.") +
      "\n\n" + (zip ? "UnZip" : "UnTar") + " \"" + name + "\" in Saved Files to replace " +
      (kept == 1 ? "it." : "them.");
  Log::system("Changed files kept: " + withControlsEscaped(message));
  std::make_shared<platform::ui::AlertView>(kept == 1 ? "Changed File Kept" : "Changed Files Kept",
                                            message,
                                            std::weak_ptr<platform::ui::AlertViewDelegate>(), "OK")
      ->showOnMainThread();
}

bool RemoteFolderPlace::sameAs(const RemoteFolderPlace &other) const {
  // The host and port as a queued item stores them: a server text "host:port..." names the port
  // after its first ":".
  auto hostOf = [](const RemoteFolderPlace &p) {
    const std::string host = p.server.substr(0, p.server.find_first_of(":/"));
    return platform::lowercase(host);
  };
  auto portOf = [](const RemoteFolderPlace &p) {
    int port = p.port;
    if (const size_t colon = p.server.find(':'); colon != std::string::npos)
      port = std::atoi(p.server.c_str() + colon + 1);
    return port != 0 ? port : p.sftp ? 22 : 21;
  };
  auto folderOf = [](const RemoteFolderPlace &p) {
    std::string f = p.folder;
    while (f.size() > 1 && f.back() == '/')
      f.pop_back();
    return f;
  };
  return !hostOf(*this).empty() && sftp == other.sftp && hostOf(*this) == hostOf(other) &&
         portOf(*this) == portOf(other) && user == other.user && folderOf(*this) == folderOf(other);
}

bool BatchListView::isSFTPItem(const BatchItem &item) {
  return item.action() >= 30 || item.protocol() == "sftp";
}

RemoteFolderPlace BatchListView::placeOf(const BatchItem &item) {
  // An SFTP folder as the service names it: in its bytes.
  const bool sftp = isSFTPItem(item);
  return RemoteFolderPlace{item.server(), item.port(), item.user(), sftp,
                           sftp ? SFTPWrapper::wireOf(item.remotePath()) : item.path()};
}

void BatchListView::listRemoteFolderAgain(const RemoteFolderPlace &changed) {
  auto services = BatchAppServices::shared();
  auto screen = services ? services->topRemoteFolderScreen() : nullptr;
  if (!screen || !screen->remoteFolderPlace().sameAs(changed)) return;
  // Uploads into one folder list it once, when the last of them has finished.
  for (const auto &other : batchItemList_)
    if (BatchItem::isUploadAction(other->action()) && other->errorMsg().empty() &&
        placeOf(*other).sameAs(changed))
      return;
  screen->listFolderAgain();
}

void BatchListView::refreshSavedFilesFor(const BatchItem &item) {
  auto services = BatchAppServices::shared();
  if (!services) return;
  auto screen = services->topLocalFolderScreen();
  if (!screen) return;
  const std::string current = withoutTrailingSlashes(screen->currentFolder());
  const std::string local = withoutTrailingSlashes(item.localpath());
  std::string parent = local;
  size_t slash = parent.rfind('/');
  parent = slash == std::string::npos ? std::string() : parent.substr(0, slash);
  if (current.empty() || myEndsWith(current, parent) || myEndsWith(current, local) ||
      current == local)
    reloadSavedFilesScreen();
}

void BatchListView::reloadSavedFilesScreen() {
  if (savedFilesReloadOwed_) return; // the reload at the end of this time shows this change too
  const auto every = platform::seconds(kSavedFilesReloadEvery);
  const auto now = platform::Clock::current().now();
  const auto next = savedFilesReloadedAt_ + every;
  auto reload = [this] {
    savedFilesReloadOwed_ = false;
    savedFilesReloadedOnce_ = true;
    savedFilesReloadedAt_ = platform::Clock::current().now();
    auto services = BatchAppServices::shared();
    if (auto screen = services ? services->topLocalFolderScreen() : nullptr)
      screen->loadFolderData();
  };
  if (!savedFilesReloadedOnce_ || now >= next) {
    reload();
    return;
  }
  savedFilesReloadOwed_ = true;
  auto weak = weakSelf();
  RunLoop::main()->performAfter(next - now, [weak, reload] {
    if (auto self = weak.lock()) reload();
  });
}

// --- Abort, error, stop --------------------------------------------------------------------------

void BatchListView::abortBatchItemPK(int pk) {
  titleSize_.clear();
  titleSpeed_.clear();
  inProgressPK_ = -1;
  if (pk == ftpAwaitedPK_) ftpAwaitedPK_ = -1;
  if (itemForPK(pk)) {
    reloadTable();
    performStartAfter(1.0);
  }
}

void BatchListView::errorBatchItemPK(int pk, const std::string &error) {
  endFTPRetry(pk);
  if (pk == sftpPK_) sftpPK_ = -1;
  auto item = itemForPK(pk);
  if (!item) return;
  item->setErrorMsg(error);
  // What the session was doing ("Downloading...") is over: the row says how it ended.
  if (!item->working()) item->setStatusMsg("");
  if (pk == inProgressPK_) inProgressPK_ = -1;
  reloadTable();
  performStartAfter(1.0);
}

void BatchListView::stopBatchItemPK(int pk, bool disconnectFTP) {
  endFTPRetry(pk);
  titleSize_.clear();
  titleSpeed_.clear();
  const int running = inProgressPK_;
  const bool isRunning = running != -1 && pk == running;
  if (isRunning) {
    if (pk == httpDownloadPK_ && writeStreamFileDownload_) {
      if (httpConnection_) {
        httpConnection_->cancel();
        // Let go outside of any call the connection may be making.
        RunLoop::main()->perform([connection = std::move(httpConnection_)] {});
      }
      closeFile();
      platform::Application::shared().setNetworkActivityIndicatorVisible(false);
    } else if (disconnectFTP && ftp_) {
      ftp_->disconnectFromServer();
    }
  }
  updateBatchItemPK(pk, -1.0f, -1);
  inProgressPK_ = isRunning ? -1 : running;
}

void BatchListView::closeFile() {
  if (writeStreamFileDownload_) writeStreamFileDownload_->close();
  writeStreamFileDownload_.reset();
}

// --- The SFTP service
// ------------------------------------------------------------------------------

void BatchListView::downloadedFile(SFTPWrapper &, const std::string &) {
  doneBatchItemPK(std::exchange(sftpPK_, -1));
}
void BatchListView::uploadedFile(SFTPWrapper &, const std::string &) {
  doneBatchItemPK(std::exchange(sftpPK_, -1));
}
void BatchListView::progressDic(SFTPWrapper &, const SFTPProgressDic &dic) {
  if (sftpPK_ >= 0) updateBatchItemPK(sftpPK_, dic.percent, dic.bytes);
}
void BatchListView::connectStatus(SFTPWrapper &, const std::string &text) {
  // The first transfer of a session waits for the connection, key exchange and login: its row
  // says so until its bar appears.
  auto item = itemForPK(sftpPK_);
  if (!item || fPaused_ || item->progress() > 0 || !item->errorMsg().empty() || item->working())
    return;
  item->setStatusMsg(text);
  if (item->cell()) configureCell(*item->cell(), *item);
}
void BatchListView::serverAway(SFTPWrapper &, const std::string &reason) {
  sftpServerAway_ = reason;
}
void BatchListView::sftpFailed(const std::string &text) {
  sftpRowFailed(std::exchange(sftpPK_, -1), text);
}
void BatchListView::sftpRowFailed(int pk, const std::string &text) {
  // The server went away under the row (it was cut, or it refused or did not answer): the row
  // keeps no error and waits for it, as an FTP row does, rather than pausing the queue.
  if (sftpServerAway_ && itemForPK(pk)) {
    if (pk == sftpPK_) sftpPK_ = -1;
    ftpConnectFailed(pk, *sftpServerAway_, text);
    return;
  }
  errorBatchItemPK(pk, text);
}
void BatchListView::downloadError(SFTPWrapper &, const std::string &text) {
  sftpFailed(text);
}
void BatchListView::uploadError(SFTPWrapper &, const std::string &text) {
  sftpFailed(text);
}
void BatchListView::connectError(SFTPWrapper &, const std::string &text) {
  sftpFailed(text);
}
void BatchListView::loginError(SFTPWrapper &, const std::string &text) {
  sftpFailed(text);
}
void BatchListView::sftpError(SFTPWrapper &, const std::string &text) {
  sftpFailed(text);
}
void BatchListView::dirError(SFTPWrapper &, const std::string &text) {
  sftpFailed(text);
}
void BatchListView::errorStatus(SFTPWrapper &, const std::string &text) {
  sftpFailed(text);
}

void BatchListView::sftpConnectionShouldRefreshDirectory(SFTPWrapper &sftp) {
  // The folder the service changed, over the service's own session.
  listRemoteFolderAgain(RemoteFolderPlace{sftp.server(), sftp.port(), sftp.username(), true,
                                          sftp.lastOperationDir()});
}

// --- The web download
// ------------------------------------------------------------------------------

void BatchListView::didReceiveResponse(platform::net::URLConnection &,
                                       const platform::net::URLResponse &response) {
  auto &app = platform::Application::shared();
  app.setNetworkActivityIndicatorVisible(true);
  auto item = itemForPK(httpDownloadPK_);
  const long status = response.statusCode;
  Log::systemf("HTTP status %li", status);
  if (status == 200 || status == 0) {
    // The whole file comes: whatever was there before goes.
    resumeAtLocation_ = 0;
    contentDownloaded_ = 0;
    if (writeStreamFileDownload_) {
      std::error_code ignored;
      std::filesystem::resize_file(writeStreamFileDownload_->path(), 0, ignored);
      writeStreamFileDownload_->setCurrentOffset(0);
    }
  } else if (status == 206) {
    contentDownloaded_ = resumeAtLocation_;
    if (writeStreamFileDownload_) writeStreamFileDownload_->setCurrentOffset(resumeAtLocation_);
  } else {
    const bool complete =
        status == 416 && item && item->filesize() > 0 && resumeAtLocation_ >= item->filesize();
    if (httpConnection_) {
      httpConnection_->cancel();
      RunLoop::main()->perform([connection = std::move(httpConnection_)] {});
    }
    const std::string partial = writeStreamFileDownload_ ? writeStreamFileDownload_->path() : "";
    closeFile();
    app.setNetworkActivityIndicatorVisible(false);
    if (complete) {
      // The partial file holds all of it already.
      putWebDownloadInPlace(partial);
    } else {
      // The partial file stays for a later attempt (when it holds anything).
      if (!partial.empty()) removePartialFileIfEmpty(partial);
      errorBatchItemPK(httpDownloadPK_, Log::format("HTTP status %li", status));
    }
    return;
  }
  const int64_t expected = response.expectedContentLength;
  const int64_t total =
      expected > 0 ? (status == 206 ? resumeAtLocation_ + expected : expected) : 0;
  contentLength_ = total;
  if (item) {
    if (item->filesize() == 0 && total > 0) {
      setItemFilesize(*item, total);
      SQLExecute(database_, Log::format("UPDATE batchlist SET size='%lli' WHERE pk='%i'",
                                        static_cast<long long>(total), item->primaryKey()));
      reloadTable();
    } else {
      contentLength_ = item->filesize();
    }
  }
}

void BatchListView::didReceiveData(platform::net::URLConnection &,
                                   const std::vector<uint8_t> &data) {
  if (!writeStreamFileDownload_) return;
  if (!data.empty() && writeStreamFileDownload_->write(data.data(), data.size()) < 0) {
    if (httpConnection_) {
      httpConnection_->cancel();
      RunLoop::main()->perform([connection = std::move(httpConnection_)] {});
    }
    const std::string partial = writeStreamFileDownload_->path();
    closeFile();
    removePartialFileIfEmpty(partial);
    platform::Application::shared().setNetworkActivityIndicatorVisible(false);
    errorBatchItemPK(httpDownloadPK_, "The file could not be written.");
    return;
  }
  contentDownloaded_ += static_cast<int64_t>(data.size());
  if (contentLength_ > 0)
    updateBatchItemPK(httpDownloadPK_,
                      static_cast<float>(static_cast<double>(contentDownloaded_) /
                                         static_cast<double>(contentLength_)),
                      contentDownloaded_);
}

void BatchListView::didFinishLoading(platform::net::URLConnection &) {
  const std::string partial = writeStreamFileDownload_ ? writeStreamFileDownload_->path() : "";
  closeFile();
  RunLoop::main()->perform([connection = std::move(httpConnection_)] {});
  platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  putWebDownloadInPlace(partial);
}

void BatchListView::putWebDownloadInPlace(const std::string &partial) {
  auto item = itemForPK(httpDownloadPK_);
  if (!item || partial.empty()) {
    doneBatchItemPK(httpDownloadPK_);
    return;
  }
  // Whole: the partial file takes the place of the file it was written for (see
  // startWebDownload) in one step. A file of the person's under that name (another address may
  // give the same name) is kept, and the download takes the next free name, unless the person
  // chose to have Saved Files replaced without a question; a folder is never replaced.
  const std::string file =
      platform::appendPathComponent(platform::Paths::documents(), item->localpath());
  const auto there = platform::FileManager::attributesOfItem(file);
  const bool replace =
      platform::UserDefaults::standard().integerForKey(kOverwriteSavedFilesKey) == 1 &&
      !(there && there->type == platform::FileAttributes::Type::Directory);
  std::string placedAt = file;
  auto placed = replace ? putPartialFileInPlace(partial, file)
                        : putPartialFileUnderFreeName(partial, file, &placedAt);
  if (!placed) {
    Log::system(placed.error());
    errorBatchItemPK(httpDownloadPK_, "The file could not be written.");
    return;
  }
  if (placedAt != file)
    Log::system("Saved as \"" + withControlsEscaped(platform::lastPathComponent(placedAt)) +
                "\": \"" + withControlsEscaped(platform::lastPathComponent(file)) +
                "\" was there already and was kept");
  doneBatchItemPK(httpDownloadPK_);
}

void BatchListView::didFailWithError(platform::net::URLConnection &,
                                     const platform::net::URLError &error) {
  // What came stays for a resume; a partial file that got nothing goes (the file it was for
  // is untouched either way).
  const std::string partial = writeStreamFileDownload_ ? writeStreamFileDownload_->path() : "";
  closeFile();
  if (!partial.empty()) removePartialFileIfEmpty(partial);
  RunLoop::main()->perform([connection = std::move(httpConnection_)] {});
  if (auto item = itemForPK(httpDownloadPK_)) item->setErrorMsg(error.message);
  if (inProgressPK_ == httpDownloadPK_) inProgressPK_ = -1;
  reloadTable();
  platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  doNextBatchItem();
}
