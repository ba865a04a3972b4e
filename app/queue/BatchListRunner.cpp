// The queue's runner: the timers, the gate in front of the next item, picking and starting it
// on the queue's FTP connection, SFTP service or web download, pause and play, and the photo
// library's conversions.
#include "app/queue/BatchListView.h"
#include "app/queue/BatchServices.h"

#include "app/foundation/Database.h"
#include "app/foundation/PartialFile.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <atomic>
#include <mutex>

#include <sqlite3.h>

using platform::Log;
using platform::RunLoop;

namespace {

constexpr double kKickerFirst = 15.0, kKickerEvery = 10.0, kFirstLook = 1.0;
// The longest the queue waits for the session that removes a cancelled upload's temporary file.
constexpr double kCancelledUploadWait = 30.0;
std::atomic<int> liveThreads{0};

// An SFTP row's file as the service asks the server for it: the bytes the server named its folder
// and name with (a typed name in the folder text encoding; see SFTPWrapper::wireOf).
std::string sftpRemoteOf(const BatchItem &item) {
  return SFTPWrapper::wireOf(SFTPWrapper::pathIn(item.remotePath(), item.remoteFilename()));
}

std::string parentFolder(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A folder as the connection takes it for saving: relative to Documents when it lies there.
std::string relativeToDocuments(const std::string &folder) {
  const std::string documents = platform::Paths::documents() + "/";
  if (folder.compare(0, documents.size(), documents) == 0) return folder.substr(documents.size());
  return folder;
}

int sftpFormOf(int action) {
  switch (action) {
  case 2:
    return 30;
  case 3:
    return 31;
  case 10:
    return 32;
  case 1:
    return 33;
  case 6:
    return 34;
  default:
    return action;
  }
}

} // namespace

int BatchListView::liveConnectionThreads() {
  return liveThreads.load();
}

std::shared_ptr<BatchListView> BatchListView::create() {
  std::shared_ptr<BatchListView> view(new BatchListView());
  view->initWithNibName();
  return view;
}

BatchListView::BatchListView() : ViewController("BatchListView") {
  setContentSizeForViewInPopover(platform::ui::Size{320, 480});
}

BatchListView::~BatchListView() {
  if (kickerTimer_) kickerTimer_->invalidate();
  if (backgrounderTimer_) backgrounderTimer_->invalidate();
  if (httpConnection_) httpConnection_->cancel();
  if (ftp_ && ftpThread_) {
    // The connection belongs to its thread: it is let go there, then the thread ends.
    auto loop = ftpThread_;
    loop->perform([connection = std::move(ftp_), loop]() mutable {
      connection->disconnectFromServer();
      connection.reset();
      loop->stop();
      --liveThreads;
    });
  }
  if (sftpThread_) sftpThread_->stop();
  writeHeldChanges();
  if (database_) sqlite3_close(database_);
}

void BatchListView::initWithNibName() {
  batchItemList_.clear();
  loadDatabaseData();
  fPaused_ = false;
  inProgressPK_ = -1;
  auto weak = weakSelf();
  RunLoop::main()->performAfter(platform::seconds(kFirstLook), [weak] {
    if (auto self = weak.lock()) self->doStartIfNoneInProgress();
  });
  kickerTimer_ = RunLoop::main()->performAfter(platform::seconds(kKickerFirst), [weak] {
    if (auto self = weak.lock()) self->kicker();
  });
}

void BatchListView::kicker() {
  auto weak = weakSelf();
  auto again = [this, weak] {
    kickerTimer_ = RunLoop::main()->performAfter(platform::seconds(kKickerEvery), [weak] {
      if (auto self = weak.lock()) self->kicker();
    });
  };
  if (!fPaused_ && !batchItemList_.empty() && !writeStreamFileDownload_) {
    if (ftp_ && ftp_->isAnythingInProgress()) {
      again();
      return;
    }
    // An idle connection through a whole kicker period has nothing more to report.
    if (ftpAwaitedPK_ == ftpAwaitedAtLastKick_) ftpAwaitedPK_ = -1;
    ftpAwaitedAtLastKick_ = ftpAwaitedPK_;
    performStartAfter(1.0);
  }
  again();
}

void BatchListView::performStartAfter(double seconds) {
  auto weak = weakSelf();
  RunLoop::main()->performAfter(platform::seconds(seconds), [weak] {
    if (auto self = weak.lock()) self->startIfNoneInProgress();
  });
}

void BatchListView::doStartIfNoneInProgress() {
  auto weak = weakSelf();
  RunLoop::main()->perform([weak] {
    if (auto self = weak.lock()) self->startIfNoneInProgress();
  });
}

// The phone suspends an application in the background once its background time is given back;
// here the process keeps running, so the queue holds itself instead.
static bool heldInTheBackground(bool runningInTheBackground) {
  return !runningInTheBackground && platform::Application::shared().applicationState() ==
                                        platform::ApplicationState::Background;
}

void BatchListView::startIfNoneInProgress() {
  if (batchItemList_.empty()) {
    doneInBackground();
    return;
  }
  if (writeStreamFileDownload_) return;
  if (heldInTheBackground(runningInTheBackground_)) return;
  if (runningInTheBackground_ && backgroundTimeLeft() < 60.0) {
    doneInBackground();
    return;
  }
  doNextBatchItem();
}

void BatchListView::startAlwaysIfNoneInProgress() {
  if (fPaused_) {
    fPaused_ = false;
    showPauseButton();
  }
  startIfNoneInProgress();
}

// This upload row and the upload rows after it over the same session, for one batch of the
// service; empty when the row goes on its own. A row let go before the batch reaches it is not
// uploaded; rows the batch did not start (a pause, a cut connection) stay queued for the next
// look. Only small files: a larger one goes on its own, with its progress.
std::vector<SFTPUploadJob> BatchListView::sftpUploadBatch(const BatchItem &item, size_t limit) {
  if (limit <= 1) return {};
  std::vector<SFTPUploadJob> jobs;
  for (size_t i = (size_t)batchIndexForPK(item.primaryKey()); i < batchItemList_.size(); ++i) {
    const auto &row = batchItemList_[i];
    if (!row->errorMsg().empty()) continue;
    const int form = sftpFormOf(row->action());
    const bool upload =
        (row->action() >= 30 || row->protocol() == "sftp") &&
        (form == BatchItem::kSFTPUpload || form == BatchItem::kSFTPUploadIntoNewFolder);
    if (jobs.size() >= limit || !upload || myStartsWith(row->localpath(), "assets-library://") ||
        askedPKs_.count(row->primaryKey()) || sendBackCheckOf(*row) ||
        sizeOfFileAtPath(localFileOfItem(*row)) > SFTPWrapper::kUploadBatchFileMax ||
        row->server() != item.server() || row->port() != item.port() ||
        row->user() != item.user() || row->password() != item.password())
      break;
    const std::string remote = sftpRemoteOf(*row);
    jobs.push_back(SFTPUploadJob{row->primaryKey(), localFileOfItem(*row), remote,
                                 std::weak_ptr<void>(row), keptUploadTempName(*row, remote)});
  }
  if (jobs.empty() || jobs.front().key != item.primaryKey()) return {};
  return jobs;
}

BatchAppServices::SendBackChecker BatchListView::sendBackCheckOf(const BatchItem &item) const {
  if (!BatchItem::isUploadAction(item.action())) return {};
  auto services = BatchAppServices::shared();
  return services ? services->sendBackCheck(localFileOfItem(item)) : nullptr;
}

void BatchListView::serverFileChanged(int pk, const std::string &found) {
  if (pk == sftpPK_) sftpPK_ = -1;
  if (inProgressPK_ == pk) inProgressPK_ = -1;
  auto item = itemForPK(pk);
  auto services = BatchAppServices::shared();
  if (!item || !services) return;
  endFTPRetry(pk);
  askedPKs_.insert(pk);
  // (What the look's connection said of itself is over.)
  if (!item->working()) item->setStatusMsg("");
  Log::systemf("Queue: the server's file changed since the edit began: %s",
               item->filename().c_str());
  auto weak = weakSelf();
  services->askServerFileChanged(localFileOfItem(*item), item->filename(), found,
                                 [weak, pk](bool keepTyped) {
                                   auto self = weak.lock();
                                   if (!self) return;
                                   self->askedPKs_.erase(pk);
                                   if (!keepTyped) self->dropAskedRow(pk);
                                   self->startIfNoneInProgress();
                                 });
  reloadTable();
}

void BatchListView::dropAskedRow(int pk) {
  const int index = batchIndexForPK(pk);
  if (index < 0) return;
  writeHeldChanges();
  removeFinishedRow(pk);
  removeItemAtIndex(static_cast<size_t>(index));
  assetFolders_.erase(pk);
  reloadTable();
  badge();
  updateSizeDisplay();
}

std::string BatchListView::keptUploadTempName(BatchItem &row, const std::string &remote) {
  if (!row.uploadTempName().empty()) return row.uploadTempName();
  row.setUploadTempName(SFTPWrapper::newUploadTempName(remote));
  // On the disk before the upload starts: a kill from then on leaves the name with the row.
  if (database_)
    SQLExecute(database_, Log::format("UPDATE batchlist SET uploadnamebytes='%s' WHERE pk='%i'",
                                      hexOfBytes(row.uploadTempName()).c_str(), row.primaryKey()));
  return row.uploadTempName();
}

void BatchListView::doNextBatchItem() {
  std::lock_guard guard(lock_);
  std::shared_ptr<BatchItem> item = itemToStartNow();
  if (!item) return;

  if (myStartsWith(item->localpath(), "assets-library://")) {
    if (!item->working()) convertFromPhotoLibrary(*item);
    return;
  }

  if (runningInTheBackground_)
    platform::Application::shared().setApplicationIconBadgeNumber(
        static_cast<int>(batchItemList_.size()));

  if (item->action() == BatchItem::kWebDownload) {
    startWebDownload(item);
    return;
  }

  const bool overSFTP = item->action() >= 30 || item->protocol() == "sftp";
  if (overSFTP)
    startSFTPItem(*item);
  else
    startFTPItem(*item);
}

std::shared_ptr<BatchItem> BatchListView::itemToStartNow() {
  if (fPaused_) {
    doneInBackground();
    return nullptr;
  }
  if (batchItemList_.empty()) {
    cleanupDownloadedFiles();
    doneInBackground();
    return nullptr;
  }
  if (ftp_ && (ftp_->isAnythingInProgress() || ftpDispatchPending_ || ftpSettling_ ||
               ftpLookPending_ || ftpConnectFailuresOnTheirWay_ > 0))
    return nullptr;
  if (awaitingFTPItem()) return nullptr;
  if (sftp_ && (sftp_->isActive() || sftpDispatchPending_ || sftpStopping_)) return nullptr;
  // One item at a time: an open web download holds the queue as well.
  if (writeStreamFileDownload_) return nullptr;
  if (heldInTheBackground(runningInTheBackground_)) return nullptr;
  if (runningInTheBackground_ && backgroundTimeLeft() < 60.0) {
    doneInBackground();
    return nullptr;
  }

  // The first item in list order without an error whose server is not away: an item whose
  // server stayed away waits its time in its place (a look is made when it is over), and so do
  // the items of its server behind it; the items of other servers go on meanwhile.
  std::shared_ptr<BatchItem> item;
  bool anyWithoutError = false;
  for (auto &candidate : batchItemList_) {
    if (!candidate->errorMsg().empty()) continue;
    anyWithoutError = true;
    // A save back about which the person is being asked waits for the answer.
    if (askedPKs_.count(candidate->primaryKey())) continue;
    if (serverIsAway(*candidate)) continue;
    item = candidate;
    break;
  }
  if (!anyWithoutError) {
    if (!batchItemList_.empty()) clickedPause();
    doneInBackground();
    return nullptr;
  }
  if (!item) return nullptr;

  if (auto services = BatchAppServices::shared()) {
    if (auto browsing = services->browsingTransfer()) {
      if (browsing->moves(item->origin())) {
        Log::system("Preventing Double-Dipping");
        return nullptr;
      }
    }
  }
  return item;
}

void BatchListView::convertFromPhotoLibrary(BatchItem &item) {
  item.setStatusMsg("Retrieving from Photo Library...");
  item.setWorking(true);
  auto weak = weakSelf();
  const std::string url = item.localpath(), name = item.filename();
  auto queue = platform::DispatchQueue::create("batchLoadAssetLibQue");
  queue->async([weak, url, name] {
    Log::systemf("Converting from AssetLibrary: %s", url.c_str());
    auto services = BatchAppServices::shared();
    auto reply = [weak](const AssetConvertReply &answer) {
      RunLoop::main()->perform([weak, answer] {
        if (auto self = weak.lock()) self->getAssetConvertReply(answer);
      });
    };
    if (services)
      services->getSelectedAsset(url, name, reply);
    else
      reply(AssetConvertReply{url, {}, std::string("The photo library is not available.")});
  });
  reloadTable();
}

void BatchListView::startFTPItem(const BatchItem &item) {
  const int key = item.primaryKey();
  if (!ftp_) {
    startConnectionThread();
    return;
  }
  if (!configureFTPFor(item)) return;
  if (!ftp_->isStreamConnected()) {
    // Log in first and start the transfer on the open session: a starter that has to connect
    // closes the old session on the way, and the connection reports an abort for whatever
    // transfer runs half a second after such a close. The next look comes after it.
    ftp_->setBatchPK(key);
    ftp_->connect();
    settleFTP(Settle::UntilLoggedIn);
    return;
  }
  Log::systemf("DoingBatchAction:%i", item.action());
  switch (item.action()) {
  case BatchItem::kDownload:
    inProgressPK_ = key;
    ftp_->setBatchPK(key);
    // Into the item's own folder, where completion looks for it; not into whatever Saved
    // Files folder is on screen.
    ftp_->setSaveToLocalFolder(relativeToDocuments(parentFolder(localFileOfItem(item))));
    ftp_->downloadFile(item.remoteFilename(), item.filesize(), false, true, item.remotePath(),
                       false, false, item.start());
    break;
  case BatchItem::kUpload:
  case BatchItem::kUploadIntoNewFolder:
    // An edit's save back looks at the server's file first, on this session.
    if (auto check = sendBackCheckOf(item)) return lookBeforeFTPUpload(item, std::move(check));
    inProgressPK_ = key;
    ftp_->setBatchPK(key);
    ftp_->uploadFile(item.remoteFilename(), localFileOfItem(item), item.remotePath(), false,
                     item.start());
    break;
  case BatchItem::kMakeFolder:
    inProgressPK_ = key;
    ftp_->makeDirectory(item.remoteFilename(), item.remotePath());
    ftp_->setBatchPK(key);
    break;
  case BatchItem::kFolderDownload:
    inProgressPK_ = key;
    ftp_->batchDirectoryDownload(item.filename());
    ftp_->changeDirectory(item.remotePath());
    ftp_->setBatchPK(key);
    break;
  default:
    return;
  }
  awaitFTPStarters(key);
}

void BatchListView::awaitFTPStarters(int key) {
  ftpAwaitedPK_ = key;
  // The starters run on the connection's thread in the order they were posted; until they
  // have, the connection does not look busy, so the queue waits for them to have run.
  ftpDispatchPending_ = true;
  auto weak = weakSelf();
  ftpThread_->perform([weak] {
    RunLoop::main()->perform([weak] {
      if (auto self = weak.lock()) {
        self->ftpDispatchPending_ = false;
        // A look refused meanwhile is made now (the connection is busy or done by now).
        self->startIfNoneInProgress();
      }
    });
  });
}

void BatchListView::lookBeforeFTPUpload(const BatchItem &item,
                                        BatchAppServices::SendBackChecker check) {
  const int key = item.primaryKey();
  inProgressPK_ = key;
  ftp_->setBatchPK(key);
  ftpLookPending_ = true;
  std::weak_ptr<FTPConnection> ftp = ftp_;
  const RemoteName name = item.remoteFilename(), folder = item.remotePath();
  auto weak = weakSelf();
  // The connection runs the look on its own thread; the check waits for it on this worker.
  platform::startThread(
      "queue-ftp-look",
      [ftp, check = std::move(check), name, folder, key, weak] {
        const SendBackCheck found = check([&](const BytesToRead &bytesToRead) {
          return FTPConnection::lookAtFileAndWait(ftp, name, folder, bytesToRead);
        });
        RunLoop::main()->perform([weak, key, found] {
          if (auto self = weak.lock()) self->ftpLookDone(key, found);
        });
      },
      false);
}

void BatchListView::ftpLookDone(int pk, const SendBackCheck &found) {
  ftpLookPending_ = false;
  auto item = itemForPK(pk);
  // The row went, failed or was paused meanwhile: it looks again when it starts again.
  if (!item || !item->errorMsg().empty() || fPaused_ || inProgressPK_ != pk) {
    if (inProgressPK_ == pk) inProgressPK_ = -1;
    startIfNoneInProgress();
    return;
  }
  switch (found.outcome) {
  case SendBackCheck::Outcome::Send:
    // On the session that looked; a session gone meanwhile starts the row (and its look) anew.
    if (ftp_ && ftp_->isStreamConnected()) {
      startFTPUpload(*item);
      return;
    }
    abortBatchItemPK(pk);
    return;
  case SendBackCheck::Outcome::NotLooked:
    // As a failed upload: the row waits for its server and goes again.
    Log::systemf("Queue: the server's file could not be looked at: %s", item->filename().c_str());
    abortBatchItemPK(pk);
    return;
  case SendBackCheck::Outcome::Changed:
    serverFileChanged(pk, found.found);
    startIfNoneInProgress();
    return;
  }
}

void BatchListView::startFTPUpload(const BatchItem &item) {
  const int key = item.primaryKey();
  inProgressPK_ = key;
  ftp_->setBatchPK(key);
  ftp_->uploadFile(item.remoteFilename(), localFileOfItem(item), item.remotePath(), false,
                   item.start());
  awaitFTPStarters(key);
}

void BatchListView::startSFTPItem(const BatchItem &item) {
  if (!sftp_) {
    startSFTPConnectionThread();
    return;
  }
  if (sftp_->isActive() || sftp_->isAnythingPending()) return;
  configureSFTPFor(item);
  const int action = sftpFormOf(item.action());
  Log::systemf("DoingBatchAction:%i", action);
  std::function<void()> work = sftpWorkFor(item, action);
  if (!work) return;
  inProgressPK_ = sftpPK_ = item.primaryKey();
  sftpServerAway_.reset();
  sftpDispatchPending_ = true;
  auto weak = weakSelf();
  // On the queue's SFTP thread, which waits for work otherwise: one operation at a time, off the
  // main thread, and no thread started per item (a folder of small files has thousands).
  sftpThread_->perform([weak, work] {
    work();
    RunLoop::main()->perform([weak] {
      if (auto self = weak.lock()) {
        self->sftpDispatchPending_ = false;
        self->startIfNoneInProgress();
      }
    });
  });
}

std::function<void()> BatchListView::sftpWorkFor(const BatchItem &item, int action) {
  const int key = item.primaryKey();
  auto sftp = sftp_;
  const std::string remote = sftpRemoteOf(item);
  switch (action) {
  case BatchItem::kSFTPDownload:
    sftp->setBatchPK(key);
    sftp->setupToDownloadThisFile(remote, item.localpath(), false);
    return [sftp] { sftp->downloadFile(); };
  case BatchItem::kSFTPUpload:
  case BatchItem::kSFTPUploadIntoNewFolder: {
    // An edit's save back looks at the server's file first, on the service's session.
    auto check = sendBackCheckOf(item);
    std::vector<SFTPUploadJob> jobs;
    if (!check) batchUpdates([&] { jobs = sftpUploadBatch(item, sftp->uploadBatchLimit()); });
    if (!jobs.empty()) {
      // This row and the upload rows after it over the same session go together: the service
      // keeps requests of several files in flight and reports each row as it ends.
      auto weak = weakSelf();
      auto result = [weak](const SFTPUploadJob &job, bool ok, const std::string &text) {
        RunLoop::main()->perform([weak, key = job.key, ok, text] {
          auto self = weak.lock();
          if (!self) return;
          if (ok)
            self->doneBatchItemPK(key);
          else
            self->sftpRowFailed(key, text);
        });
      };
      return [sftp, jobs = std::move(jobs), result] { sftp->uploadFiles(jobs, result); };
    }
    sftp->setupToUploadThisFile(localFileOfItem(item), remote);
    if (auto row = itemForPK(key)) sftp->setUploadTempName(keptUploadTempName(*row, remote));
    if (!check) return [sftp] { sftp->uploadFile(); };
    return [sftp, check, remote, key, weak = weakSelf()] {
      const SendBackCheck found = check(
          [&](const BytesToRead &bytesToRead) { return sftp->lookAtFile(remote, bytesToRead); });
      switch (found.outcome) {
      case SendBackCheck::Outcome::Send:
        sftp->uploadFile();
        break;
      case SendBackCheck::Outcome::NotLooked:
        // The service told the failure as an upload's: the row waits for its server, or fails.
        sftp->takeUploadTempName();
        break;
      case SendBackCheck::Outcome::Changed:
        sftp->takeUploadTempName();
        RunLoop::main()->perform([weak, key, text = found.found] {
          if (auto self = weak.lock()) self->serverFileChanged(key, text);
        });
        break;
      }
    };
  }
  case BatchItem::kSFTPMakeFolder:
    sftp->setBatchPK(key);
    return [sftp, remote] { sftp->createDirectory(remote); };
  case BatchItem::kSFTPFolderDownload:
    sftp->setBatchPK(key);
    // One start of the folder batch suffices: the service lists the folders one after another
    // and reports completion once.
    return [sftp, remote] {
      sftp->batchDirectoryDownload(remote);
      sftp->nextBatchDirectory();
    };
  default:
    return {};
  }
}

bool BatchListView::configureFTPFor(const BatchItem &item) {
  const int port = item.port() == 0 ? 21 : item.port();
  // A secure item never falls back to plain FTP by itself: without TLS it fails (the connection
  // reports it through handleError), unless the user already accepted plain FTP for the server.
  auto accepted = platform::UserDefaults::standard().stringForKey(keySSLNo(item.server()));
  const bool plainAccepted = accepted && *accepted == "1";
  const bool wantTLS = item.protocol() == "ftps" && !plainAccepted;
  // Only the very same session is reused: host, port, user, password and the TLS choice.
  const bool reuse = ftp_->fIsConnected() && ftpSession_.valid &&
                     ftpSession_.host == item.server() && ftpSession_.port == port &&
                     ftpSession_.user == item.user() && ftpSession_.password == item.password() &&
                     ftpSession_.tls == wantTLS;
  if (reuse) return true;
  // A live session is closed first, and the next look waits a second (see settleFTP); a
  // connection without a session only takes the new parameters.
  const bool live = ftp_->isStreamConnected();
  if (live) ftp_->reinit();
  // The port goes after the host, before a folder typed after it ("host:21/pub"): the folder is
  // where the login starts, and holds no port. A text whose port is refused goes as it is, and
  // the connection refuses it.
  const ServerText typed = ServerText::parse(item.server());
  ftp_->setServerAddress(item.port() != 0 && !typed.portRefused ? typed.withPort(item.port())
                                                                : item.server());
  ftp_->setLoginUser(item.user());
  ftp_->setLoginPass(item.password());
  ftp_->setSkipSSL(!wantTLS);
  ftp_->setWarnIfNoSSL(wantTLS);
  ftpSession_ =
      Session{item.server(), item.user(), item.password(), item.protocol(), port, wantTLS, true};
  if (!live) return true;
  settleFTP();
  return false;
}

// After a session was closed the next look waits a second: the connection reports the cut
// transfer half a second after a close. After a connect it goes on as soon as the login has ended
// (a failed login still waits the second); after a cancelled upload, as soon as the session that
// removes its temporary file has ended (a session still going after kCancelledUploadWait is
// closed). The looks begin once the connection's thread has taken what was asked of it, so that
// nothing of the session before is taken for the new one.
void BatchListView::settleFTP(Settle mode) {
  ftpSettling_ = true;
  auto weak = weakSelf();
  const double wait = mode == Settle::UntilSessionEnd ? kCancelledUploadWait : 1.0;
  const auto until = platform::Clock::current().now() + platform::seconds(wait);
  auto look = std::make_shared<std::function<void()>>();
  *look = [weak, mode, until, look] {
    auto self = weak.lock();
    if (!self) {
      *look = nullptr; // lets go of itself
      return;
    }
    const auto &ftp = self->ftp_;
    const bool over = mode == Settle::UntilLoggedIn
                          ? ftp && ftp->fIsLoggedIn() && !ftp->isAnythingInProgress()
                          : mode == Settle::UntilSessionEnd && (!ftp || !ftp->isStreamConnected());
    if (!over && platform::Clock::current().now() < until) {
      RunLoop::main()->performAfter(platform::seconds(mode == Settle::Second ? 1.0 : 0.01), *look);
      return;
    }
    if (!over && mode == Settle::UntilSessionEnd) ftp->disconnectFromServer();
    self->ftpSettling_ = false;
    *look = nullptr;
    self->startIfNoneInProgress();
  };
  if (mode == Settle::Second || !ftpThread_) {
    RunLoop::main()->performAfter(platform::seconds(1.0), *look);
    return;
  }
  ftpThread_->perform([first = *look] { RunLoop::main()->perform(first); });
}

bool BatchListView::awaitingFTPItem() {
  if (ftpAwaitedPK_ < 0) return false;
  auto item = itemForPK(ftpAwaitedPK_);
  // Its row went, it failed, or the session it ran on is gone (the cut is reported by itself).
  if (!item || !item->errorMsg().empty() || !ftp_ || !ftp_->isStreamConnected()) {
    ftpAwaitedPK_ = -1;
    return false;
  }
  return true;
}

void BatchListView::configureSFTPFor(const BatchItem &item) {
  const int port = item.port() == 0 ? 22 : item.port();
  const bool reuse = sftp_->isConnected() && sftpSession_.valid &&
                     sftpSession_.host == item.server() && sftpSession_.port == port &&
                     sftpSession_.user == item.user() && sftpSession_.password == item.password();
  if (reuse) return;
  sftp_->reinit();
  sftp_->setServer(item.server());
  sftp_->setUsername(item.user());
  sftp_->setPassword(item.password());
  // Always set: a row with no port of its own goes to the default port, never to the port the
  // row before it used.
  sftp_->setPort(port);
  sftp_->setMainConnection(false);
  sftpSession_ = Session{item.server(), item.user(), item.password(), "sftp", port, false, true};
}

void BatchListView::startConnectionThread() {
  if (ftpStarting_) return;
  ftpStarting_ = true;
  auto weak = weakSelf();
  ++liveThreads;
  platform::startThread("queue-ftp", [weak] {
    Log::system("Creating FTP connection");
    auto connection = std::make_shared<FTPConnection>();
    connection->setDelegate(std::weak_ptr<FTPConnectionDelegate>(weak));
    connection->setMainConnection(false);
    connection->setWarnIfNoSSL(false);
    connection->setSkipSSL(true);
    auto loop = RunLoop::current();
    RunLoop::main()->perform([weak, connection, loop]() mutable {
      auto self = weak.lock();
      if (!self) {
        loop->perform([connection = std::move(connection), loop]() mutable {
          connection.reset();
          loop->stop();
          --liveThreads;
        });
        return;
      }
      self->ftp_ = connection;
      self->ftpThread_ = loop;
      self->ftpStarting_ = false;
      self->doNextBatchItem();
    });
  });
}

void BatchListView::startSFTPConnectionThread() {
  if (sftpStarting_) return;
  sftpStarting_ = true;
  auto weak = weakSelf();
  platform::startThread("queue-sftp", [weak] {
    Log::system("Creating SFTP connection");
    auto service = SFTPWrapper::make();
    if (service) service->setDelegate(std::weak_ptr<SFTPWrapperDelegate>(weak));
    auto loop = RunLoop::current();
    RunLoop::main()->perform([weak, service, loop] {
      auto self = weak.lock();
      if (!self) {
        loop->stop();
        return;
      }
      self->sftpStarting_ = false;
      self->sftpThread_ = loop;
      if (!service) {
        // No SFTP service in this build: the SFTP items fail with a clear text.
        loop->stop();
        self->sftpThread_.reset();
        for (auto &item : self->batchItemList_)
          if (item->errorMsg().empty() && (item->action() >= 30 || item->protocol() == "sftp"))
            item->setErrorMsg("SFTP is not available.");
        self->reloadTable();
        self->performStartAfter(1.0);
        return;
      }
      self->sftp_ = service;
      self->doNextBatchItem();
    });
  });
}

void BatchListView::stopSFTPTransfer() {
  if (!sftp_ || sftpStopping_) return;
  sftpStopping_ = true;
  sftpSession_.valid = false;
  auto sftp = sftp_;
  auto weak = weakSelf();
  ++liveThreads;
  // The service ends the operation under way at its next progress check and waits for it; the
  // main thread never waits for that.
  platform::startThread(
      "queue-sftp-stop",
      [sftp, weak] {
        sftp->reinit();
        // After the stopped operation's own reports, which are on their way already.
        RunLoop::main()->perform([weak] {
          if (auto self = weak.lock()) {
            self->sftpStopping_ = false;
            self->startIfNoneInProgress();
          }
        });
        --liveThreads;
      },
      false);
}

void BatchListView::startWebDownload(const std::shared_ptr<BatchItem> &item) {
  httpDownloadPK_ = inProgressPK_ = item->primaryKey();
  resumeAtLocation_ = item->start();
  const std::string file =
      platform::appendPathComponent(platform::Paths::documents(), item->localpath());
  platform::FileManager::createDirectory(parentFolder(file));
  // The bytes go to the file's partial file, which replaces the file only once it is whole: a
  // download that fails leaves the file as it was. A resume continues the partial file of the
  // earlier try of this address, never the file itself nor what another address left for it.
  const std::string partial = partialFilePath(file, webDownloadSource(item->server()));
  writeStreamFileDownload_ = std::make_unique<platform::net::FileOutputStream>(partial);
  if (resumeAtLocation_ > 0) {
    auto attributes = platform::FileManager::attributesOfItem(partial);
    resumeAtLocation_ = attributes ? static_cast<int64_t>(attributes->size) : 0;
    writeStreamFileDownload_->setAppend(resumeAtLocation_ > 0);
  }
  if (!writeStreamFileDownload_->open()) {
    writeStreamFileDownload_.reset();
    errorBatchItemPK(item->primaryKey(), "The file could not be written.");
    return;
  }
  Log::systemf("bytes=%lli-", static_cast<long long>(resumeAtLocation_));
  platform::net::URLRequest request;
  request.url = item->server();
  request.headers.push_back(
      {"Range", Log::format("bytes=%lli-", static_cast<long long>(resumeAtLocation_))});
  httpConnection_ = platform::net::URLConnection::start(
      std::move(request), std::static_pointer_cast<platform::net::URLConnectionDelegate>(self()),
      RunLoop::main());
}

void BatchListView::clickedPause() {
  // Rows waiting for their servers wait no more: Play tries them again at once.
  if (!ftpRetries_.empty()) {
    while (!ftpRetries_.empty())
      endFTPRetry(ftpRetries_.begin()->first);
    reloadTable();
  }
  // The running row stops where it is (its bar stays); what its session was doing is over too.
  auto running = itemForPK(inProgressPK_);
  stopBatchItemPK(inProgressPK_, true);
  if (sftp_) sftp_->paused();
  fPaused_ = true;
  if (running && !running->statusMsg().empty()) {
    running->setStatusMsg("");
    reloadTable();
  }
  showPlayButton();
  updateSizeDisplay();
  badge();
}

void BatchListView::clickedResume() {
  fPaused_ = false;
  resetErrorMsgs();
  doNextBatchItem();
  showPauseButton();
  badge();
  updateSizeDisplay();
}

void BatchListView::resetErrorMsgs() {
  for (auto &item : batchItemList_)
    item->setErrorMsg("");
  reloadTable();
}

void BatchListView::showPauseButton() {
  if (fEditMode_) return; // "Delete All" stands there until editing ends
  auto weak = weakSelf();
  navigationItem().setLeftBarButtonItem(platform::ui::BarButtonItem::systemItem(
      platform::ui::BarButtonSystemItem::Pause, [weak](platform::ui::BarButtonItem &) {
        if (auto self = weak.lock()) self->clickedPause();
      }));
}

void BatchListView::showPlayButton() {
  if (fEditMode_) return;
  auto weak = weakSelf();
  auto play = platform::ui::BarButtonItem::systemItem(platform::ui::BarButtonSystemItem::Play,
                                                      [weak](platform::ui::BarButtonItem &) {
                                                        if (auto self = weak.lock())
                                                          self->clickedResume();
                                                      });
  play->setStyle(platform::ui::BarButtonItemStyle::Done);
  navigationItem().setLeftBarButtonItem(play);
}

void BatchListView::getAssetConvertReply(const AssetConvertReply &reply) {
  std::shared_ptr<BatchItem> item;
  for (auto &candidate : batchItemList_)
    if (candidate->localpath() == reply.url) {
      item = candidate;
      break;
    }
  if (!item) return;
  item->setWorking(false);
  item->setStatusMsg("");
  if (reply.error) {
    item->setErrorMsg(*reply.error);
  } else {
    item->setLocalpath(reply.path);
    item->setCleanFileWhenDone(true);
    // The photo library wrote the file into a folder made for it alone.
    assetFolders_[item->primaryKey()] = parentFolder(reply.path);
    Log::systemf("Asset Converted to File: %s", reply.path.c_str());
    if (!fPaused_) doNextBatchItem();
  }
  reloadTable();
}

namespace {
// Removes what `folder` holds but for what `keep` names (standardized paths) and the folders
// that lead to such a file; at the top, the transfer logs stay too.
void removeAllBut(const std::string &folder, const std::set<std::string> &keep, bool top) {
  auto entries = platform::FileManager::contentsOfDirectory(folder);
  if (!entries) return;
  for (auto &name : *entries) {
    if (top && (name == "Ferrowen.log" || name == "Ferrowen-2.log" || name == "Ferrowen-SFTP.log" ||
                name == "Ferrowen-SFTP-2.log"))
      continue;
    const std::string path = platform::standardizePath(platform::appendPathComponent(folder, name));
    if (keep.count(path)) continue;
    auto below = keep.lower_bound(path + "/");
    if (below != keep.end() && below->compare(0, path.size() + 1, path + "/") == 0)
      removeAllBut(path, keep, false);
    else
      platform::FileManager::removeItem(path);
  }
}
} // namespace

void BatchListView::cleanupDownloadedFiles() {
  // What is still in use stays: an open editor's or viewer's file, the working file an edit
  // record names, a download's partial file, and every file a queued row names.
  std::set<std::string> keep = filesInUse();
  for (auto &item : batchItemList_) {
    keep.insert(platform::standardizePath(localFileOfItem(*item)));
    const bool overSFTP = item->action() >= 30 || item->protocol() == "sftp";
    if (item->action() == BatchItem::kDownload && !overSFTP)
      keep.insert(platform::standardizePath(temporaryPartialFilePath(item->origin())));
  }
  removeAllBut(platform::Paths::tmp(), keep, true);
}

void BatchListView::progressComplete(FTPConnection &, bool) {
  auto weak = weakSelf();
  RunLoop::main()->perform([weak] {
    if (auto self = weak.lock()) self->doNextBatchItem();
  });
}

bool BatchListView::connectFailed(FTPConnection &connection, const std::string &reason,
                                  const std::string &message) {
  const int pk = connection.batchPK();
  // Told before the connection closes the failed session: the queue holds from now on, and
  // hears of it once the session is closed (the connection's thread goes on with that first).
  ++ftpConnectFailuresOnTheirWay_;
  auto weak = weakSelf();
  connection.myThread()->perform([weak, pk, reason, message] {
    RunLoop::main()->perform([weak, pk, reason, message] {
      if (auto self = weak.lock()) {
        --self->ftpConnectFailuresOnTheirWay_;
        self->ftpConnectFailed(pk, reason, message);
      }
    });
  });
  return true;
}

void BatchListView::ftpConnectFailed(int pk, const std::string &reason,
                                     const std::string &message) {
  auto item = itemForPK(pk);
  // A row deleted, failed or paused meanwhile waits for nothing.
  if (!item || !item->errorMsg().empty() || fPaused_) {
    endFTPRetry(pk);
    return;
  }
  const auto now = platform::Clock::current().now();
  FTPRetry &retry = ftpRetries_.try_emplace(pk, FTPRetry{0, now, now}).first->second;
  ++retry.attempts;
  titleSize_.clear();
  titleSpeed_.clear();
  updateSizeDisplay();
  if (inProgressPK_ == pk) inProgressPK_ = -1;
  if (now - retry.firstFailure >= platform::seconds(kFTPRetryGiveUpAfter)) {
    Log::systemf("Queue: %s", message.c_str());
    errorBatchItemPK(pk, message);
    return;
  }
  // 1, 2, 4, ... seconds, at most kFTPRetryLongest.
  double wait = kFTPRetryFirst;
  for (int i = 1; i < retry.attempts && wait < kFTPRetryLongest; ++i)
    wait *= 2;
  wait = std::min(wait, kFTPRetryLongest);
  retry.notBefore = now + platform::seconds(wait);
  Log::systemf("Queue: no connection to the server (%s); trying again in %.0f s", reason.c_str(),
               wait);
  item->setStatusMsg("Waiting for the server: " + reason);
  reloadTable();
  performStartAfter(wait);
}

void BatchListView::endFTPRetry(int pk) {
  if (pk < 0 || ftpRetries_.erase(pk) == 0) return;
  if (auto item = itemForPK(pk); item && !item->working()) item->setStatusMsg("");
}

bool BatchListView::waitsToRetry(const BatchItem &item) const {
  auto at = ftpRetries_.find(item.primaryKey());
  return at != ftpRetries_.end() && platform::Clock::current().now() < at->second.notBefore;
}

bool BatchListView::serverIsAway(const BatchItem &item) const {
  if (ftpRetries_.empty() || item.action() == BatchItem::kWebDownload) return false;
  auto portOf = [](const BatchItem &i) {
    return i.port() != 0 ? i.port() : isSFTPItem(i) ? 22 : 21;
  };
  for (const auto &[pk, retry] : ftpRetries_) {
    auto waiting = itemForPK(pk);
    if (!waiting || !waitsToRetry(*waiting)) continue;
    if (isSFTPItem(*waiting) == isSFTPItem(item) && waiting->server() == item.server() &&
        portOf(*waiting) == portOf(item))
      return true;
  }
  return false;
}

bool BatchListView::handleError(FTPConnection &connection, const std::string &error) {
  const int pk = connection.batchPK();
  auto weak = weakSelf();
  RunLoop::main()->perform([weak, pk, error] {
    auto self = weak.lock();
    if (!self) return;
    auto item = self->itemForPK(pk >= 0 ? pk : self->inProgressPK_);
    if (!item) return;
    item->setErrorMsg(error);
    self->reloadTable();
  });
  return true;
}

std::string BatchListView::sftpPartialFileOfItem(const BatchItem &item) const {
  // As the queue's service is set up for the row (see configureSFTPFor and sftpWorkFor).
  return SFTPWrapper::downloadPartialPath(item.server(), item.port(), item.user(),
                                          sftpRemoteOf(item), localFileOfItem(item));
}

std::string BatchListView::localFileOfItem(const BatchItem &item) const {
  const std::string &local = item.localpath();
  const std::string home = platform::Paths::home();
  const bool absolute = myStartsWith(local, "/var/mobile/") ||
                        myStartsWith(local, "/private/var/mobile/") ||
                        (!home.empty() && local.rfind(home + "/", 0) == 0);
  if (item.action() == BatchItem::kWebDownload)
    return absolute ? local : platform::appendPathComponent(platform::Paths::documents(), local);
  if (BatchItem::isUploadAction(item.action()))
    return absolute ? local : platform::appendPathComponent(platform::Paths::documents(), local);
  if (absolute) return local;
  // A folder of the shared folder is named from Saved Files ("../name"): the folder it names.
  const std::string folder = platform::standardizePath(platform::appendPathComponent(
      platform::appendPathComponent(platform::Paths::documents(), "Files"), local));
  return platform::appendPathComponent(folder, item.filename());
}
