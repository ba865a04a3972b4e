// The transfer queue and its screen, the "Transfers" tab. It keeps every pending transfer in the
// table `batchlist` and in `batchItemList`, runs the items one at a time on its own FTP
// connection, its own SFTP service or a web download, keeps going for a while in the background,
// and shows the queue as a table with a progress bar per row and a two-line title with the size
// left and the speed.
//
// Threads. Everything here runs on the main thread: the timers, the buttons, adding, the
// connections' reports (the FTP connection posts `BatchObject`s, the SFTP service calls its
// delegate on the main queue, the web download runs on the main run loop). The queue's FTP
// connection lives on a thread of its own; the runner only calls its thread-safe starters and
// queries.
#pragma once

#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPQueueStorage.h"
#include "app/queue/BatchItem.h"
#include "app/queue/BatchObject.h"
#include "app/queue/BatchServices.h"
#include "app/queue/LocalPathIndex.h"
#include "app/sftp/SFTPWrapper.h"

#include "platform/device/Application.h"
#include "platform/foundation/Lock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/FileStream.h"
#include "platform/net/URLConnection.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/ViewController.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;

class BatchListView : public platform::ui::ViewController,
                      public platform::ui::TableViewDataSource,
                      public platform::ui::TableViewDelegate,
                      public platform::ui::AlertViewDelegate,
                      public BatchQueueReceiver,
                      public FTPQueueStorage,
                      public FTPConnectionDelegate,
                      public SFTPWrapperDelegate,
                      public platform::net::URLConnectionDelegate {
public:
  // Makes the screen and runs its initialiser: loads the queue and starts its timers (the first
  // look after 1 s, the kicker after 15 s and then every 10 s).
  static std::shared_ptr<BatchListView> create();
  ~BatchListView() override;

  // --- Storage -----------------------------------------------------------------------------------
  void loadDatabaseData();
  // By connection (an FTPConnection or the SFTP service; pass exactly one). Returns the key or -1.
  int addBatchItemAction(int action, const RemoteName &filename, const RemoteName &path,
                         int64_t size, const std::shared_ptr<FTPConnection> &ftpConnection,
                         const std::shared_ptr<SFTPWrapper> &sftpConnection,
                         const std::string &localpath, bool cleanWhenDone, bool kickstart);
  // Full form. Returns the key: a row the table cannot take is kept in memory for this run.
  int addBatchItemAction(int action, RemoteName filename, RemoteName path, int64_t size,
                         std::string server, int port, const std::string &user,
                         const std::string &password, const std::string &protocol,
                         std::string localpath, bool cleanWhenDone, bool kickstart) override;
  int alreadyExists(int action, const RemoteName &filename, RemoteName path, int64_t size,
                    std::string server, int port, const std::string &user,
                    const std::string &password) override;
  int batchIndexForPK(int pk) const;
  int actionForBatchItemPK(int pk) const override;
  void batchUpdates(const std::function<void()> &fn) override;
  bool isInProgress(const std::string &path) const;
  // The upload row's local file was written anew while its transfer runs (a newer save of an
  // edit that joined it): once that transfer ends, the row goes again with what the file holds
  // then, rather than being done with what the transfer had read.
  void sendAgainOnceDone(int pk);
  // Writes the finished rows and resume offsets still held back to the disk now (the application
  // calls it when it leaves or ends; every read of the table does it first).
  void writeHeldChanges();

  // --- Runner ------------------------------------------------------------------------------------
  void kicker();
  void doStartIfNoneInProgress();
  void startIfNoneInProgress();
  void startAlwaysIfNoneInProgress();
  void doNextBatchItem();
  void clickedPause();
  void clickedResume();
  void resetErrorMsgs();
  void getAssetConvertReply(const AssetConvertReply &reply);
  void cleanupDownloadedFiles();

  // --- Progress and completion -------------------------------------------------------------------
  void updateBatchItemPK(int pk, float progress, int64_t bytes);
  void doneBatchItemPK(int pk);
  void abortBatchItemPK(int pk);
  void errorBatchItemPK(int pk, const std::string &error);
  void stopBatchItemPK(int pk, bool disconnectFTP);
  void closeFile();
  // The web download's whole partial file takes its file's place; the row is done, or fails
  // when that cannot be.
  void putWebDownloadInPlace(const std::string &partial);

  // --- Background --------------------------------------------------------------------------------
  void enterBackground();
  void resumeFromBackground();
  void doneInBackground();
  double backgroundTimeLeft() const;
  void stopBackgrounder();

  // --- Screen ------------------------------------------------------------------------------------
  void badge();
  void updateSizeDisplay();
  void clickEdit();
  void clickDeleteAll();
  void setEditing(bool editing, bool animated) override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

  // --- State (main thread) -----------------------------------------------------------------------
  const std::deque<std::shared_ptr<BatchItem>> &batchItemList() const { return batchItemList_; }
  bool fPaused() const { return fPaused_; }
  int inProgressPK() const { return inProgressPK_; }
  // Failed tries in a row to reach the server of an FTP item that waits for it: the item with
  // that key, or (-1) the waiting item with the lowest key (0: none waits).
  int ftpRetries(int pk = -1) const {
    auto at = pk < 0 ? ftpRetries_.begin() : ftpRetries_.find(pk);
    return at == ftpRetries_.end() ? 0 : at->second.attempts;
  }
  // Whether the FTP item waits for its server: its next try is not due yet.
  bool waitsToRetry(const BatchItem &item) const;
  int httpDownloadPK() const { return httpDownloadPK_; }
  bool runningInTheBackground() const { return runningInTheBackground_; }
  platform::BackgroundTaskIdentifier bgTask() const { return bgTask_; }
  const std::string &titleSize() const { return titleSize_; }
  const std::string &titleSpeed() const { return titleSpeed_; }
  std::shared_ptr<platform::ui::Label> titleDetails() const { return titleDetails_; }
  std::shared_ptr<platform::ui::TableView> tableView() const { return tableView_; }
  std::shared_ptr<FTPConnection> ftp() const { return ftp_; }
  std::shared_ptr<SFTPWrapper> sftp() const { return sftp_; }
  bool webDownloadOpen() const { return writeStreamFileDownload_ != nullptr; }
  // The local file of an item: the download's target or the upload's source.
  std::string localFileOfItem(const BatchItem &item) const;
  // The partial file the queue's SFTP service writes for a download row.
  std::string sftpPartialFileOfItem(const BatchItem &item) const;

  // --- Table -------------------------------------------------------------------------------------
  int numberOfRowsInSection(platform::ui::TableView &, int section) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  bool canEditRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath) override {
    return true;
  }
  bool canMoveRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath) override {
    return true;
  }
  void commitEditingStyle(platform::ui::TableView &, platform::ui::TableViewCellEditingStyle style,
                          platform::ui::IndexPath ip) override;
  void moveRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath from,
                          platform::ui::IndexPath to) override;
  std::optional<platform::ui::IndexPath>
  willSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

  // --- Reports of the FTP connections (main thread) ---------------------------------------------
  void doneBatchItemObject(const BatchObject &object) override;
  void abortBatchItemObject(const BatchObject &object) override;
  void updateBatchItemObject(const BatchObject &object) override;
  void updateFileSizeBatchItemObject(const BatchObject &object) override;
  void doneBatchItemLocalPath(const std::string &) {}

  // --- The queue's FTP connection (its thread) ---------------------------------------------------
  void progressPercent(FTPConnection &, float) override {}
  void progressComplete(FTPConnection &, bool) override;
  bool handleError(FTPConnection &connection, const std::string &error) override;
  // The item's server could not be reached: the item waits and is tried again (see FTPRetry).
  bool connectFailed(FTPConnection &connection, const std::string &reason,
                     const std::string &message) override;

  // --- The SFTP service (main thread) ------------------------------------------------------------
  void downloadedFile(SFTPWrapper &, const std::string &) override;
  void uploadedFile(SFTPWrapper &, const std::string &) override;
  void progressDic(SFTPWrapper &, const SFTPProgressDic &dic) override;
  // What the session is doing before the running row has a bar (connecting, logging in).
  void connectStatus(SFTPWrapper &, const std::string &text) override;
  void downloadError(SFTPWrapper &, const std::string &text) override;
  void uploadError(SFTPWrapper &, const std::string &text) override;
  void connectError(SFTPWrapper &, const std::string &text) override;
  void loginError(SFTPWrapper &, const std::string &text) override;
  void sftpError(SFTPWrapper &, const std::string &text) override;
  void dirError(SFTPWrapper &, const std::string &text) override;
  void errorStatus(SFTPWrapper &, const std::string &text) override;
  void sftpConnectionShouldRefreshDirectory(SFTPWrapper &sftp) override;
  // The row's server could not be reached or its session was lost: the failure that follows is
  // no failure of the row, which waits for its server as an FTP row does.
  void serverAway(SFTPWrapper &, const std::string &reason) override;
  // The SFTP row's transfer failed with that text.
  void sftpFailed(const std::string &text);

  // --- The web download (main run loop) ----------------------------------------------------------
  void didReceiveResponse(platform::net::URLConnection &,
                          const platform::net::URLResponse &response) override;
  void didReceiveData(platform::net::URLConnection &, const std::vector<uint8_t> &data) override;
  void didFinishLoading(platform::net::URLConnection &) override;
  void didFailWithError(platform::net::URLConnection &,
                        const platform::net::URLError &error) override;

  // Threads of queue connections still alive (they end shortly after their queue goes).
  static int liveConnectionThreads();

private:
  BatchListView();
  void initWithNibName();
  std::shared_ptr<BatchListView> self() { return sharedAs<BatchListView>(); }
  // Safe on any thread, also while the screen is going away (then empty).
  std::weak_ptr<BatchListView> weakSelf() {
    return std::static_pointer_cast<BatchListView>(weak_from_this().lock());
  }
  std::shared_ptr<BatchItem> itemForPK(int pk) const;
  void removeItemAtIndex(size_t index);
  void reloadTable();
  double now() const; // seconds of the platform's absolute time
  bool allItemsFailed() const;

  // Runner helpers.
  void startConnectionThread();
  void startSFTPConnectionThread();
  // The item the queue starts now, or null when it waits (or has nothing to start).
  std::shared_ptr<BatchItem> itemToStartNow();
  void convertFromPhotoLibrary(BatchItem &item);
  void startFTPItem(const BatchItem &item);
  // An edit's save back over FTP: the server's file is looked at first, on the queue's session
  // (the look waits on a worker of its own, never here); the upload starts once it may.
  void lookBeforeFTPUpload(const BatchItem &item, BatchAppServices::SendBackChecker check);
  void ftpLookDone(int pk, const SendBackCheck &found);
  void startFTPUpload(const BatchItem &item);
  void startSFTPItem(const BatchItem &item);
  // The service's work for an item (set up on the service already), or none for an action it
  // has no form of.
  std::function<void()> sftpWorkFor(const BatchItem &item, int action);
  void startWebDownload(const std::shared_ptr<BatchItem> &item);
  // False when the connection must settle before the item starts.
  bool configureFTPFor(const BatchItem &item);
  // An FTP or SFTP item whose server could not be reached waits before it is tried again, a second
  // at first and longer while the server stays away; its row says why. It fails for good once its
  // server has stayed away for kFTPRetryGiveUpAfter. Meanwhile it keeps its place, and the items
  // of other servers run (those of its server wait with it). By key.
  struct FTPRetry {
    int attempts = 0;
    platform::TimePoint firstFailure{}, notBefore{};
  };
  std::map<int, FTPRetry> ftpRetries_;
  static constexpr double kFTPRetryFirst = 1.0, kFTPRetryLongest = 60.0,
                          kFTPRetryGiveUpAfter = 600.0;
  void ftpConnectFailed(int pk, const std::string &reason, const std::string &message);
  // Failures told by the connection's thread and not yet taken on the main thread: no item
  // starts meanwhile (the connection looks free before the queue has heard why).
  std::atomic<int> ftpConnectFailuresOnTheirWay_{0};
  // The item tried again has reached its server (or ended, or was stopped): its next failure
  // starts a new series of waits.
  void endFTPRetry(int pk);
  // Whether the item's server is one an item waits for (the item itself included).
  bool serverIsAway(const BatchItem &item) const;
  // Holds the queue's FTP items for a second: the connection reports an abort for whatever
  // transfer runs half a second after it closed a session. After a connect (UntilLoggedIn) the
  // hold ends as soon as the login has ended; after a cancelled upload (UntilSessionEnd) once the
  // session that removes its temporary file has ended.
  enum class Settle { Second, UntilLoggedIn, UntilSessionEnd };
  void settleFTP(Settle until = Settle::Second);
  // Whether the FTP item started last has yet to report its end.
  bool awaitingFTPItem();
  void configureSFTPFor(const BatchItem &item);
  void showPauseButton();
  void showPlayButton();
  void performStartAfter(double seconds);
  // Unpacks a finished download or removes an upload's temporary source.
  void completionCleanup(const BatchItem &item);
  // Unpacks a finished zip or tar download into the folder named after it, keeping any file
  // there that differs from the archive's copy.
  void unpackDownload(const std::string &file);
  void refreshSavedFilesFor(const BatchItem &item);
  static bool isSFTPItem(const BatchItem &item);
  static RemoteFolderPlace placeOf(const BatchItem &item);
  // The FTP tab's folder on screen lists again when it is the one changed, once no queued upload
  // into it is left.
  void listRemoteFolderAgain(const RemoteFolderPlace &changed);
  std::vector<SFTPUploadJob> sftpUploadBatch(const BatchItem &item, size_t limit);
  // The temporary name the row's upload of `remote` writes under: the one it kept, else a new
  // one, stored with the row.
  std::string keptUploadTempName(BatchItem &row, const std::string &remote);

  // Screen helpers.
  void buildTitleView();
  void configureCell(platform::ui::TableViewCell &cell, BatchItem &item);
  // What a deleted row leaves: an upload's temporary source, a download's partial data (kept
  // while another row that stays would resume from it).
  void deleteItemLocalFile(const BatchItem &item, bool othersStay = true);
  // A deleted row's transfer is stopped wherever it runs: on the queue's SFTP service (which
  // then removes its partial file), on the queue's FTP connection (an upload, whose temporary
  // file on the server goes too; true: the connection ends its session itself), or on the FTP
  // tab's connection.
  bool stopDeletedRow(const BatchItem &item);
  void stopSFTPTransfer();

  // Storage.
  sqlite3 *database_ = nullptr;
  // A deque: the queue works from its front, and a finished row leaves without moving the rest.
  std::deque<std::shared_ptr<BatchItem>> batchItemList_;
  // The queued items by name and folder, so that a new item finds its twin without reading the
  // whole queue.
  std::unordered_multimap<std::string, const BatchItem *> itemsByName_;
  // The items' local paths, for `isInProgress`; made again when items come or go or a local
  // path changes (the listing of Saved Files asks for every file it shows).
  mutable LocalPathIndex localPaths_;
  mutable bool localPathsStale_ = true;
  mutable uint64_t localPathsMadeAt_ = 0;
  // The sizes of the items in the list, added up as they come and go (the title shows it).
  int64_t totalFilesize_ = 0;
  // A running row's resume offset is held back and written at most kHeldChangesEvery later: a
  // commit waits for the disk. Lost in a crash it costs a part of a file transferred again.
  static constexpr double kHeldChangesEvery = 0.5;
  std::map<int, int64_t> heldStarts_;
  bool heldWriteOwed_ = false;
  // A finished row leaves the table at once.
  void removeFinishedRow(int pk);
  void holdStart(int pk, int64_t bytes);
  void owedHeldWrite();
  // The highest key given to a row in this run, and a new row's key made one never given before
  // (-1 when the row could not keep a key of its own in the table: it was taken out again).
  int highestKeyGiven_ = 0;
  int keyNotGivenBefore(int key);
  // Tells the person, once a run, that transfers are kept only in memory.
  void sayQueueNotSaved();
  bool saidQueueNotSaved_ = false;
  static std::string nameKey(const std::string &filename, const std::string &path);
  void indexItem(const BatchItem &item);
  void unindexItem(const BatchItem &item);
  void setItemFilesize(BatchItem &item, int64_t size);
  // The key of a queued item of the same transfer as `wanted` (the action or its twin, the same
  // remote file of the same server, port and user, the same password), or -1.
  int queuedKey(const BatchItem &wanted, int twin) const;

  // Runner.
  platform::RecursiveLock lock_;
  bool fPaused_ = false;
  int inProgressPK_ = -1;
  int httpDownloadPK_ = -1;
  int64_t resumeAtLocation_ = 0, contentLength_ = 0, contentDownloaded_ = 0;
  std::shared_ptr<platform::net::URLConnection> httpConnection_;
  std::unique_ptr<platform::net::FileOutputStream> writeStreamFileDownload_;
  std::shared_ptr<FTPConnection> ftp_;
  std::shared_ptr<platform::RunLoop> ftpThread_;
  bool ftpStarting_ = false, ftpDispatchPending_ = false, ftpSettling_ = false;
  // A look at a save back's server file runs on the FTP session: nothing else starts on it.
  bool ftpLookPending_ = false;
  // The FTP item started last whose end (done, error, abort or stop) has not been reported yet:
  // the connection turns idle a moment before it reports, and no item starts in between.
  int ftpAwaitedPK_ = -1, ftpAwaitedAtLastKick_ = -1;
  std::shared_ptr<SFTPWrapper> sftp_;
  std::shared_ptr<platform::RunLoop> sftpThread_;
  bool sftpStarting_ = false, sftpDispatchPending_ = false;
  // The SFTP service is being stopped (a deleted row's transfer): nothing starts until it has.
  bool sftpStopping_ = false;
  // The row the SFTP service works on: its reports concern that row, whatever else reports
  // progress meanwhile (the FTP tab's own downloads have rows of their own).
  int sftpPK_ = -1;
  // Why the server of the service's work went away, when it did: the failures of that work wait
  // for the server (until the next item starts).
  std::optional<std::string> sftpServerAway_;
  // An SFTP row's failure: its error, or its wait for a server that went away.
  void sftpRowFailed(int pk, const std::string &text);
  // An edit's save back whose server's file another changed since the edit began: the row waits
  // (neither failed nor paused) until the person answers, by key. Kept in memory only: after a
  // kill the row looks at the server again and the person is asked again.
  std::set<int> askedPKs_;
  // Upload rows whose local file was written while they ran (see sendAgainOnceDone), by key.
  std::set<int> againPKs_;
  // The check a row must pass before its upload writes over its server's file (empty: none).
  BatchAppServices::SendBackChecker sendBackCheckOf(const BatchItem &item) const;
  // Row `key`'s starters were posted to the FTP connection's thread: the queue waits for them to
  // have run before it looks again.
  void awaitFTPStarters(int key);
  // The check found the row's server file changed: the row waits and the person is asked.
  void serverFileChanged(int pk, const std::string &found);
  // The person chose the server's file: the row goes without a transfer.
  void dropAskedRow(int pk);
  // What the queue's connections were last set up for: reused only for the very same session.
  struct Session {
    std::string host, user, password, protocol;
    int port = 0;
    bool tls = false, valid = false;
  } ftpSession_, sftpSession_;
  // Folders the photo library made for one item's converted asset (key -> folder).
  std::map<int, std::string> assetFolders_;
  platform::TimerRef kickerTimer_;

  // Background.
  bool runningInTheBackground_ = false;
  platform::BackgroundTaskIdentifier bgTask_ = platform::kBackgroundTaskInvalid;
  platform::TimerRef backgrounderTimer_;

  // Progress.
  std::string titleSize_, titleSpeed_;
  // Finished downloads reload the Saved Files screen on top at most once per
  // kSavedFilesReloadEvery: the first at once, those that come meanwhile as one reload at the end
  // of that time (so the last change always shows).
  static constexpr double kSavedFilesReloadEvery = 0.25;
  bool savedFilesReloadedOnce_ = false;
  platform::TimePoint savedFilesReloadedAt_{};
  bool savedFilesReloadOwed_ = false;
  void reloadSavedFilesScreen();
  double lastTimeUpdateStart_ = 0;

  // Screen.
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::shared_ptr<platform::ui::View> myTitleView_;
  std::shared_ptr<platform::ui::Label> titleDetails_;
  bool fEditMode_ = false;
  std::shared_ptr<platform::ui::AlertView> deleteAll_;
};
