// The FTP and FTPS client: one object per server session, bound to the thread that created it.
// It owns the control connection, at most one data connection, the transfer log, the timers of
// the session and the state of the one task that runs.
//
// Threads. Everything the connection does happens on its own thread (the one that constructed
// it, which runs its run loop for good): stream events, replies, task steps, timers. Task
// starters, connect, disconnect and the configuration setters may be called from any thread;
// called elsewhere they are posted to the connection's thread (without waiting) and run there in
// the order they were posted. The queries (isAnythingInProgress, iTask, cwd, transferLog, ...)
// may be called from any thread. Screen updates go to the main thread through FTPAppServices.
//
// Tasks. `iTask` names the running task and `iState` the command whose reply is awaited. A task
// starter sets its fields, iTask and iState, then calls sendCommand(); each complete reply goes
// to the task's handler (doTaskLogin, doTaskDir, ...), which sets the next iState and calls
// sendCommand() again, or ends the task (iTask -1, iState 0). The command line of each state is in
// the command table (sendCommand). A starter called without a control connection stores its job
// and connects; the login's end runs the stored job after "PWD".
#pragma once

#include "app/foundation/RemoteName.h"
#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/ServerFileLook.h"
#include "app/foundation/WorkingCopy.h"
#include "app/ftp/FTPListParser.h"
#include "app/ftp/FTPReplyAssembler.h"
#include "app/ftp/FTPServices.h"
#include "app/ftp/zLibHelper.h"

#include "platform/foundation/RunLoop.h"
#include "platform/net/FileStream.h"
#include "platform/net/ListeningSocket.h"
#include "platform/net/SocketStream.h"
#include "platform/ui/Presentation.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

class DirItemInfo;

// Optional callbacks of a connection's owner. Called on the connection's thread.
class FTPConnectionDelegate {
public:
  virtual ~FTPConnectionDelegate() = default;
  virtual void progressPercent(FTPConnection &, float) {}
  virtual void progressComplete(FTPConnection &, bool) {}
  // Takes the connection's error reports instead of the alerts: return true when handled (an
  // owner that does not override it leaves the alerts on).
  virtual bool handleError(FTPConnection &, const std::string &) { return false; }
  // The server could not be reached (the connection was refused, did not answer in time, could
  // not be opened): `reason` says why in a few words, `message` is the error that would be
  // reported. Return true when the owner tries again later itself; no error is reported then.
  // Called before the failed session is closed: the connection never looks free to its owner
  // with the failure untold.
  virtual bool connectFailed(FTPConnection &, const std::string & /*reason*/,
                             const std::string & /*message*/) {
    return false;
  }
};

// Carries one stream event from a stream callback to the connection's thread.
struct HandleXEvent {
  explicit HandleXEvent(unsigned event) : eventType(event) {}
  unsigned eventType;
};

class FTPConnection : public std::enable_shared_from_this<FTPConnection>,
                      public platform::ui::AlertViewDelegate {
public:
  using Bytes = std::vector<uint8_t>;

  // Task numbers.
  enum Task : int {
    kTaskIdle = -1,
    kTaskLogin = 0,
    kTaskDir = 1,
    kTaskDownload = 2,
    kTaskUpload = 3,
    kTaskRename = 4,
    kTaskDelete = 5,
    kTaskMkDir = 6,
    kTaskLoginSecure = 7,
    kTaskChmod = 8,
    kTaskRaw = 9,
    kTaskUploadAfterMkDir = 10,
    kTaskLook = 11,
  };

  // Made on (and bound to) the calling thread, which must run its run loop.
  FTPConnection();
  ~FTPConnection() override;
  FTPConnection(const FTPConnection &) = delete;
  FTPConnection &operator=(const FTPConnection &) = delete;

  // --- Session --------------------------------------------------------------------------------
  void reinit();
  // Opens a new session. A job a starter stored for the login of an earlier session is dropped:
  // it was meant for that session's server.
  void connect();
  void connectToServer(const std::string &host, int port);
  // A server port out of range: the session does not start, and the reason is shown.
  void refuseServerPort();
  // Opens the passive data connection named by a "227" reply. False (and nothing opened) when
  // the reply has no "(" or does not hold six numbers 0 to 255: a failed "PASV".
  bool connectToServerData(const std::string &replyText);
  void disconnectFromServer();
  void disconnectDataStreamFromServer();
  void cleanupFileDownload();

  bool isFileTransferInProgress() const;
  // Also true while a login ends: the session is idle for a moment before the job stored for it
  // (or its first listing) sets its task, and nobody may start work in that moment.
  bool isAnythingInProgress() const;
  bool isStreamConnected() const { return controlOpen_.load(); }
  bool isBusy() const { return iTask_.load() != kTaskIdle; }
  void iPhoneIsLocking();
  void didReceiveMemoryWarning();

  // --- Configuration (any thread; posted to the connection's thread) ---------------------------
  void setDelegate(std::weak_ptr<FTPConnectionDelegate> delegate);
  void setMainConnection(bool main);
  void setServerAddress(const std::string &address);
  void setLoginUser(const std::string &user);
  void setLoginPass(const std::string &pass);
  void setSkipSSL(bool skip);
  void setWarnIfNoSSL(bool warn);
  void setInitialCurrentDirectory(const RemoteName &folder);
  void setFDisconnectWhenDone(bool flag);
  void setBatchPK(int pk);
  // The folder a download is saved in, under Documents (or absolute); empty: the Saved Files
  // screen's folder. The queue sets it for each of its downloads.
  void setSaveToLocalFolder(const std::string &folder);

  // For tests: run on the connection's thread when a login ends, after the session turned idle
  // and before the job stored for it starts. Empty in the program. Set it while no session runs.
  static std::function<void(FTPConnection &)> loginFinishingHook;

  // --- Queries (any thread) --------------------------------------------------------------------
  std::shared_ptr<platform::RunLoop> myThread() const { return myThread_; }
  bool mainConnection() const { return mainConnection_.load(); }
  int iTask() const { return iTask_.load(); }
  int iState() const { return iState_.load(); }
  int iReplyCode() const { return replyCode_.load(); }
  bool fIsConnected() const { return fIsConnected_.load(); }
  void setFIsConnected(bool connected) { fIsConnected_ = connected; }
  bool fIsLoggedIn() const { return fIsLoggedIn_.load(); }
  bool fSecureLogin() const { return fSecureLogin_.load(); }
  bool fSecureData() const { return fSecureData_.load(); }
  bool implicitSSL() const { return implicitSSL_.load(); }
  bool skipSSL() const { return skipSSL_.load(); }
  bool wasAnError() const { return wasAnError_.load(); }
  bool modeZ() const { return modeZ_.load(); }
  bool useModeZ() const { return useModeZ_.load(); }
  bool canDoUTF8() const { return canDoUTF8_.load(); }
  bool utf8Safe() const { return utf8Safe_.load(); }
  // The bytes of a command line: UTF-8 for a server that reads it, else the first of ASCII,
  // ISO Latin-1 and Windows-1252 in which every character arrives, and UTF-8 when none does.
  static Bytes commandBytes(const std::string &line, bool utf8);
  // A command as it is logged (its text) and as it is sent (its bytes: a name the server gave
  // goes back in the bytes it came in, typed text in the command encoding).
  struct CommandLine {
    std::string text;
    std::string bytes;
    bool empty() const { return text.empty(); }
  };
  int iServerType() const { return iServerType_.load(); }
  int currentPort() const { return currentPort_.load(); }
  int batchPK() const { return batchPK_.load(); }
  bool canDoChmod() const { return canDoChmod_.load(); }
  std::string transferLog() const;
  std::string cwd() const;
  // The folder with the bytes the server named it with ("PWD").
  RemoteName cwdName() const;
  std::string currentServerName() const;
  std::string serverAddress() const;
  std::string loginUser() const;
  std::string loginPass() const;
  std::string fileToDownload() const;
  RemoteName fileToDownloadName() const;
  // The file named `fileToDownload` in the folder the connection is in, on its server, port and
  // user.
  RemoteOrigin fileInFolderOrigin() const;
  std::string saveToLocalFolder() const;
  std::string ftpStatusMessage() const;
  std::string initialCurrentDirectory() const;
  // The peer certificates of the control connection, leaf first (empty without TLS).
  std::vector<platform::net::PeerCertificate> peerCertificates() const;
  // Stream events handled and commands written on another thread than the connection's (always
  // 0; checked by tests).
  unsigned long offThreadEvents() const { return offThreadEvents_.load(); }

  // --- Transfer log ----------------------------------------------------------------------------
  void addToLog(const std::string &text);
  void addToLogFile(const std::string &text);

  // --- Task starters (any thread) --------------------------------------------------------------
  // Names and folders are remote names: one the server gave goes back in its own bytes, text
  // the person typed in the command encoding.
  void changeDirectory(const RemoteName &folder);
  void downloadFile(const RemoteName &name, int64_t size, bool forEditing, bool justDownload,
                    const RemoteName &fromFolder, bool head, bool tail, int64_t resumeAt);
  void uploadFile(const RemoteName &name, const Bytes &data, bool skipRenaming);
  void uploadFile(const RemoteName &name, const Bytes &data, const RemoteName &toFolder,
                  bool skipRenaming);
  void uploadFile(const RemoteName &name, const std::string &dataFile, const RemoteName &toFolder,
                  bool skipRenaming, int64_t resumeAt);
  // A look at the file `name` in `inFolder` before an upload writes over it: whether it is there,
  // its size ("SIZE") and, when bytesToRead asks for any, at most that many of its first bytes
  // ("RETR", read into memory and cut off there). Nothing is written anywhere. `done` runs on the
  // connection's thread once the look is over (looked false: the session failed or refused it,
  // or there is no session). bytesToRead runs on the connection's thread too.
  void lookAtFile(const RemoteName &name, const RemoteName &inFolder, BytesToRead bytesToRead,
                  std::function<void(const LookedFile &)> done);
  // The same for a worker thread, which waits for the look (never the connection's own thread,
  // nor the main thread). The worker does not keep the connection: one that goes away meanwhile
  // ends the wait (not looked).
  static LookedFile lookAtFileAndWait(const std::weak_ptr<FTPConnection> &connection,
                                      const RemoteName &name, const RemoteName &inFolder,
                                      const BytesToRead &bytesToRead);
  // `reloadWhenDone`: the folder is listed again once the rename is done (a move to another
  // folder, whose row the screen cannot just rename).
  void renameFile(const RemoteName &from, const RemoteName &to, const RemoteName &inFolder,
                  bool reloadWhenDone = false);
  void makeDirectory(const RemoteName &name, const RemoteName &inFolder);
  void deleteFile(const RemoteName &name, const RemoteName &inFolder, bool isFolder);
  // Ends the session of an upload whose queue row was deleted. What the upload wrote under its
  // temporary name in `inFolder` is removed by a session of its own, which ends with it; nothing
  // of that shows on the screens.
  void cancelUpload(const RemoteName &inFolder);
  void deleteFileBatch(const std::vector<RemoteName> &names, const RemoteName &inFolder,
                       bool isFolder);
  void chmodFile(const RemoteName &name, const RemoteName &inFolder,
                 const std::string &permissions);
  void doRawFTPCommand(const std::string &command, const RemoteName &inFolder);
  // The rename running now lists its folder again when it is done. A rename that has to wait for
  // the connection takes its own choice when it starts: pass it to renameFile.
  void setReloadDirWhenDone(bool reload);

  // --- Alerts (main thread) --------------------------------------------------------------------
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

protected:
  // Runs fn on the connection's thread: at once when called there, else posted without waiting.
  void onThread(std::function<void()> fn);
  // A task starter's job: on the connection's thread, at once or after the task running now.
  void startOrWait(std::function<void()> job,
                   std::optional<std::string> folderChange = std::nullopt);
  bool onOwnThread() const { return myThread_->isCurrent(); }
  // Runs fn on the main thread without waiting (the services live there).
  void onMain(std::function<void(FTPAppServices &)> fn);
  // Runs fn on the main thread with the folder screen that shows this connection's folders,
  // when one is on top of its stack (another connection's screen never hears of this one).
  void onFolderScreen(std::function<void(DirViewerScreen &)> fn);
  // The same for the end of a queue item (done or aborted): until fn has run, the connection
  // counts as busy, so the queue does not take up again an item whose end is still on its way.
  // `owed`, when given, is the report owed since before the task was set idle.
  class QueueReport;
  void onMainForQueue(std::function<void(FTPAppServices &)> fn,
                      std::shared_ptr<QueueReport> owed = nullptr);
  // Counts the connection busy from now until the report is dropped (or posted and run).
  std::shared_ptr<QueueReport> oweQueueReport();

  // --- Command table and replies ---------------------------------------------------------------
  void doTasks();
  void doTaskItems();
  void sendCommand(const RemoteName &argument = RemoteName());
  void sendCommandToStream(const CommandLine &line);
  // A line of typed text only (no name of the server's in it).
  void sendCommandToStream(const std::string &line);
  // The command line of the current iState (empty when the state has none). May change iState.
  CommandLine commandForState(const RemoteName &argument);
  // A command line of these parts: each in its own bytes, or typed text in the command encoding.
  CommandLine commandLine(std::initializer_list<RemoteName> parts) const;
  void resetForNextCommand();
  void allCommandsDone();
  // Forgets the stored job (and the files and data of an upload, and the folder stored with it):
  // nothing of it may run on a later session.
  void dropStoredJob();
  // Stores the folder the job waiting for the login runs in.
  void storeJobFolder(const RemoteName &folder);
  // Opens the session again for the job at hand (a retry without TLS, say): a stored job stays.
  void reconnect();

  // --- Login ------------------------------------------------------------------------------------
  void doTaskLogin();
  void doTaskLoginSecure();
  // A refusal or a reply the login does not wait for: true when the login goes on (with code
  // changed to what it goes on with).
  bool loginGoesOnAfterReplyCode(int &code);
  void loginNextStep(int code, const std::string &reply);
  void startTlsOnControl();
  // What the "FEAT" reply offers that the connection uses.
  void takeFeatures(const std::string &reply);
  void loginFailure();
  void loginFinished();
  void endLoginFinishing();
  bool runStoredJob();
  void kickSSL();
  void stopSslHelperTimer();
  void pbszConnectTimeout();
  void stopPBSZTimeoutTimer();
  void debugCertificateInfo();
  void retryWithoutAuth();

  // --- Tasks of the folder, transfer and file operations. The starters store their job and
  // start; these handle one complete reply each.
  virtual void doTaskDir();
  virtual void doTaskDownload();
  virtual void doTaskUpload();
  virtual void doTaskRename();
  int renameFirstState() const;
  // An upload renamed over a file gives it the mode its folder's listing showed ("SITE CHMOD").
  bool giveModeBack();
  // The mode a private file's temporary file is made with (the listed mode, writable by its
  // owner); nothing when the listing showed none or the file is readable by all.
  std::optional<std::string> privateTempMode();
  void afterTempMode(bool taken);
  // The server, port and user whose listings' modes are kept (see FTPListedModes.h).
  std::string listedModesKey() const;
  void renameTargetTaken();
  virtual void doTaskDelete();
  virtual void doTaskMkDir();
  virtual void doTaskChmod();
  virtual void doTaskRaw();
  // The common road of the operations: "CWD", "PWD", then the command of operationState (0: the
  // task's own commands), ending on the final reply.
  void doTaskOperation(int operationState);
  // Listing bytes in dataReadData (called as they arrive and at the data stream's end).
  virtual void parseDirectoryListing();
  // A download's data stream ended (the queue is told when the "226" is in too).
  virtual void checkDoneBatchDownload();
  virtual void editDownloadedFile();
  // The folder batch of the queue's connection moves on.
  virtual void nextBatchDirectory();
  // A listing arrived whole (its data connection ended, its final reply in).
  void listingArrived();
  // The data connection did not open in time (plain login).
  virtual void dataConnectTimeout();
  virtual void kickSSLData();
  void stopDataTimeoutTimer();
  void stopSslDataHelperTimer();
  // Marks the start of a task: status text, iTask, iState, clear wasAnError, progress 0.05.
  void startTask(int task, int state, const std::string &statusText, const RemoteName &arg);
  // Common start of every starter: with no control connection, stores the folder and connects
  // (true: the job waits for the login).
  bool storeJobAndConnectIfNeeded(const RemoteName &folder);

  // --- Steps of the upload task.
  // A refusal: true when the upload goes on (code and reply changed to what it goes on with).
  bool uploadGoesOnAfterRefusal(int &code, std::string &reply);
  void uploadNextStep(int code, const std::string &reply, int64_t localSize, bool renameMode);
  // The queue's upload after a folder was made skips a file of the same size already there.
  bool skipUploadOfSameSize(int64_t remote);
  bool chooseUploadResume(int64_t remote, int64_t localSize, bool renameMode);
  // The part an upload leaves on its server is tied to the local file it was read from (settings
  // key, and the file's mark: path, size, inode and time): a later try resumes it only from that
  // very file, never from one written anew since, nor over a part another left.
  std::string uploadPartKey() const;
  std::string uploadSourceMark() const;
  void notePartSource();
  void forgetPartSource();
  bool openUploadData(const std::string &reply, int64_t localSize);
  bool openUploadDataAfterRest();
  void failUpload(const std::string &text);
  // The session ended while a failed upload saw to the temporary file it left: its failure is
  // reported now.
  void failedUploadCutShort();

  // --- Steps of the look at a file (see lookAtFile).
  void doTaskLook();
  void startLookData();
  void lookDataIn();
  void lookDataEnded(bool failed);
  void lookFinishedIfComplete();
  void lookFailed(const std::string &why);
  // The look is over: the task ends and `done` hears of it.
  void endLook(LookedFile found);
  void restartLookTimer();

  // --- Stream events ----------------------------------------------------------------------------
  void readCallback(unsigned event);
  void writeCallback(unsigned event);
  void dataReadCallback(unsigned event);
  void dataWriteCallback(unsigned event);
  void handleReadEvent(std::unique_ptr<HandleXEvent> event);
  void handleWriteEvent(std::unique_ptr<HandleXEvent> event);
  void handleDataReadEvent(std::unique_ptr<HandleXEvent> event);
  void handleDataWriteEvent(std::unique_ptr<HandleXEvent> event);
  void doHandleDataWriteEvent();
  void dataConnectionIsOpen();
  void logError();
  void controlStreamFailed();
  void flushControlOutput();
  void noteEventThread();
  void readDataBytes(size_t maxBytes, bool untilEmpty);
  // False when the file failed to take the bytes: the transfer was then stopped.
  bool writeDownloadBuffer();
  void downloadWriteFailed(const platform::net::StreamError &error);
  void taskEndsAfterDataStream();
  // The final reply of a transfer is in while its data connection is still open: it must deliver
  // or close within a bounded time (each delivery restarts the wait).
  void armDataStallTimer();
  void dataStalled();

  // --- Data connections -------------------------------------------------------------------------
  platform::net::TlsSettings tlsSettings() const;
  // Whether a control connection to this port speaks TLS from its first byte (implicit FTPS).
  virtual bool isImplicitTlsPort(int port) const { return port == 990; }
  // Hooks a data connection's streams to this connection's thread; on failure the connection is
  // closed and failureText reported.
  bool attachDataStreams(platform::net::SocketStreamPair pair, const char *failureText);
  bool startPortListener(std::string &portCommand);
  void didAcceptConnectionForServer(platform::net::ListeningSocket *server, int nativeSocket);
  std::string localIPv4Address() const;

  // --- Screens and errors -----------------------------------------------------------------------
  void updateProgressMark(float fraction);
  void updateProgressText(const std::string &text);
  void updateViewWithFatalError(const std::string &text);
  void updateViewWithError(const std::string &text, bool popView);
  void updateViewWithReply(const std::string &text);
  void updateViewWithFileError(const std::string &page);
  // Ends the running task with an error the user sees (in the transfer log too): its file and
  // data connection are closed, a queue row it runs is handed back, and with closeSession the
  // control connection is closed as well.
  void abandonTask(const std::string &why, bool closeSession);
  void warnNoSSLAvailable();
  // True when the FTP tab's top screen is the connect screen (no alerts then). Main thread: the
  // reports ask it there, when their alert is about to be shown.
  bool skipErrorAlerts();
  void updateViewWithDirectory();
  void reloadDirectoryViewIfNeeded();
  void operationDoneUpdateView();
  void restartInactiveTimer();
  void inactiveConnection();
  void didntConnect();
  // The server could not be reached: the owner is asked first (see connectFailed); true when it
  // takes it.
  bool ownerRetriesConnect(const std::string &reason, const std::string &message);
  void showAlert(std::shared_ptr<platform::ui::AlertView> alert,
                 std::shared_ptr<platform::ui::AlertView> *keepIn, bool evenOverConnectScreen);

  // --- Queue reports ----------------------------------------------------------------------------
  void doneBatchItem();
  void abortBatchItem();
  // Ends the queue row of a head view that got all it wanted (the queue drops it): the rest of
  // the file was never wanted.
  void endViewRow();
  void updateBatchProgressMark(float progress, int64_t bytes);
  void updateBatchFileSize();

  // Shared texts: written on the connection's thread under sharedMutex_, read anywhere.
  void setShared(std::string &field, std::string value);
  void setShared(RemoteName &field, RemoteName value);
  // The folder a "PWD" reply names, as text and as the bytes it came in.
  void setCwdFromReply();
  void setStatusMessage(const std::string &text) { setShared(ftpStatusMessage_, text); }
  // Every start of a transfer task counts: a late report meant for an earlier transfer checks
  // that none has started since.
  void setTask(int task) {
    if (task == kTaskDownload || task == kTaskUpload || task == kTaskUploadAfterMkDir)
      ++transferGeneration_;
    const int was = iTask_.exchange(task);
    if (task != kTaskIdle) return;
    wakeWaitingTask();
    // A folder screen that appeared while the task ran chose its toolbar by that task: it
    // chooses again now the task is over.
    if (was != kTaskIdle && mainConnection_)
      onFolderScreen([](DirViewerScreen &top) { top.showAppropriateToolbar(); });
  }

  // One task at a time on the browsing connection: a starter that finds a task running, a
  // reload of the folder screen on its way back from the main thread, or a listing whose final
  // reply is still due, parks its job; the job runs once the connection is free again.
  // `folderChange`: the job lists that folder (a screen waits for it).
  bool taskMustWait(std::function<void()> job, const std::optional<std::string> &folderChange);
  void wakeWaitingTask();
  void runWaitingTask();
  void reloadHandedBack(bool reloading, const RemoteName &folder);
  // A listing is shown (or walked) once both its data has ended and its final reply is in; a
  // final reply that is not a success ends it with that reply instead.
  void listingFinishedIfComplete();
  void stopListingFinalWait();
  void listingFailed(const std::string &reply);
  // "ABOR" was sent for a transfer that is still running: its final replies (the cut transfer's
  // own, then the abort's) are owed, and a command sent before they are in would take them as
  // its own. Until they are (or a while has passed: some servers answer only once, or not at
  // all) the connection counts as busy and starters wait.
  void expectAbortReplies(int count);
  void abortRepliesIn();
  void dropWaitingTasks();
  // The server cut the session, or it failed: the session is closed, and a folder change that
  // waited for its turn (its screen waits for the listing) is reported as not listed.
  void sessionCut();
  void startDirectory(const RemoteName &folder);
  void setState(int state) { iState_ = state; }

  // ---------------------------------------------------------------------------------------------
  std::shared_ptr<platform::RunLoop> myThread_;
  std::weak_ptr<FTPConnectionDelegate> delegate_;

  mutable std::mutex sharedMutex_;
  std::string transferLog_, currentServerName_, serverAddress_, loginUser_, loginPass_,
      ftpStatusMessage_;
  RemoteName cwd_, initialCurrentDirectory_;
  std::atomic<bool> mainConnection_{false}, controlOpen_{false};
  std::atomic<int> iTask_{kTaskIdle}, iState_{0}, replyCode_{0}, currentPort_{21}, iServerType_{0},
      batchPK_{-1};
  std::atomic<bool> fIsConnected_{false}, fIsLoggedIn_{false}, fSecureLogin_{false},
      fSecureData_{false}, implicitSSL_{false}, skipSSL_{false}, wasAnError_{false}, modeZ_{false},
      useModeZ_{false}, canDoUTF8_{false}, utf8Safe_{false}, fDisconnectWhenDone_{false};
  std::atomic<unsigned long> offThreadEvents_{0};
  // Ends of queue items posted to the main thread and not yet run there (shared with the posts,
  // which may outlive the connection).
  std::shared_ptr<std::atomic<int>> queueReportsOwed_ = std::make_shared<std::atomic<int>>(0);
  // The finished download's report, owed from its last reply until its file is saved; and the
  // item held while the "Saved File Exists" question waits for its answer.
  std::shared_ptr<QueueReport> downloadReportOwed_, questionOwed_;

  // Replies.
  FTPReplyAssembler replies_;
  uint64_t logFileBytes_ = 0; // written to this session's log file
  Bytes pendingControlOut_;   // command bytes the control stream has not taken yet
  int controlWriteRetries_ = 0;

  // Security and features.
  std::atomic<bool> canDoChmod_{false}; // the listings carry permissions
  bool warnIfNoSSL_ = false, sslProblems_ = false, canDoAPPE_ = false, usePRET_ = false,
       forcePORT_ = false, maximumCompatability_ = false;
  // A session opened by connect() connects again without TLS once at most after TLS failed it (a
  // refused listing, a data connection that never opened, an unanswered "PBSZ"), the reconnect
  // the user allows from the Security Warning included; after that the failure is reported. An
  // implicit session keeps TLS however often it connects again: a second reconnect would only
  // meet the same failure.
  bool reconnectedWithoutTls_ = false;
  int pasvIPPrefix_ = 0;
  std::unique_ptr<zLibHelper> zlibHelp_;
  int64_t bytesSaved_ = 0;
  std::shared_ptr<platform::net::TlsSessionCache> tlsSessions_;

  // Streams.
  platform::net::SocketStreamPair control_;
  platform::net::SocketStreamPair data_;
  std::unique_ptr<platform::net::ListeningSocket> portServer_;
  std::unique_ptr<platform::net::FileOutputStream> writeStreamFileDownload_;
  // The download's partial file and the working copy it became are in use while this connection
  // works on them: nothing that clears the temporary folder takes them meanwhile.
  FileInUse partialInUse_, workingCopyInUse_;
  std::string workingCopy_; // where the last download to be opened was put
  std::unique_ptr<platform::net::FileInputStream> readStreamFileToUpload_;
  std::unique_ptr<platform::net::FileOutputStream> writeStreamLog_;
  Bytes dataReadData_;     // data-connection bytes (inflated under MODE Z)
  Bytes dataToWrite_;      // an upload from memory
  Bytes dataToWriteCopy_;  // kept for a retry
  Bytes dataFileToUpload_; // bytes read from the upload file (deflated under MODE Z)
  bool dataConnectionOpen_ = false, sendCommandWhenDataOpen_ = false, readReady_ = false,
       writeReady_ = false, welcomeLogged_ = false;
  // A protected data connection waits for the transfer command's preliminary reply before its
  // TLS handshake starts, as some servers wrap it only then.
  bool dataTlsPending_ = false;
  // In active mode the preliminary reply can be read before the server's data connection is
  // accepted: the accepted connection then starts its handshake at once.
  bool dataPreliminaryEarly_ = false;
  // An upload's bytes wait for the preliminary reply to "STOR" (set then, cleared by each "PASV"
  // and "PORT"): a server may drop data that arrives before it has taken the command.
  bool uploadPreliminaryIn_ = false;
  // Generation of the control connection: events of a connection already closed are dropped.
  unsigned long controlGeneration_ = 0, dataGeneration_ = 0;
  unsigned long transferGeneration_ = 0; // see setTask
  struct WaitingTask {
    std::function<void()> job;
    std::optional<std::string> folderChange;
  };
  std::deque<WaitingTask> waitingTasks_; // see taskMustWait
  int reloadsPending_ = 0;
  // The listing under way: its data connection has ended; its final reply is in.
  bool listingDataEnded_ = false, listingFinalIn_ = false, inWaitingJob_ = false;
  // The folder to start in was stored with a job (not given by the owner): it goes with the job.
  bool jobFolderStored_ = false;
  platform::TimerRef listingFinalTimer_;
  int abortRepliesOwed_ = 0; // see expectAbortReplies
  std::atomic<bool> abortRepliesDue_{false};
  std::atomic<bool> loginFinishing_{false}; // see isAnythingInProgress
  platform::TimerRef abortRepliesTimer_;

  // Task fields. fileToDownload_ and saveToLocalFolder_ are read from other threads as well:
  // written under sharedMutex_ (setShared).
  RemoteName initialFileToDownload_, fileToDownload_, fromFolderDownload_;
  std::string saveToLocalFolder_;
  RemoteName fileToUpload_;
  std::string filePathToUpload_;
  std::string modeToGiveBack_;
  // A private file's upload: the mode its temporary file is given ("SITE CHMOD") before the
  // content goes into it, and whether the empty file is being made for that.
  std::string tempMode_;
  bool precreatingTemp_ = false;
  RemoteName renameFrom_, renameTo_, deleteFilename_, makeDirectoryName_, chmodFilename_,
      directoryToGetList_;
  std::string chmodTo_, rawCommand_;
  std::vector<RemoteName> fileBatch_;
  bool toDeleteIsFolder_ = false, useRenames_ = true, skipRenames_ = false,
       editTheDownload_ = false, justDownload_ = false, downloadHead_ = false,
       downloadTail_ = false, replaceExisting_ = false, downloadDataDone_ = false,
       download226Done_ = false, retryDirectory_ = false, directoryBatchActive_ = false,
       reloadDirWhenDone_ = false;
  // The delete under way removes what a cancelled upload left: no screen hears of it, and the
  // session ends with it.
  bool quietDelete_ = false;
  int64_t fileDownloadSize_ = 0, resumeDownloadAt_ = 0, resumeUploadAt_ = 0, fileUploadSize_ = 0;
  std::vector<std::shared_ptr<DirItemInfo>> currentDirectory_;

  // The look at a file under way (see lookAtFile): its name, how many bytes it reads, what it
  // found so far, and whether the size was told, the data has ended and the final reply is in.
  RemoteName lookName_;
  BytesToRead lookBytesToRead_;
  std::function<void(const LookedFile &)> lookDone_;
  LookedFile lookFound_;
  uint64_t lookWant_ = 0;
  bool lookSized_ = false, lookDataEnded_ = false, lookDataFailed_ = false, lookFinalIn_ = false;
  int lookFinalCode_ = 0;
  platform::TimerRef lookTimer_;

  // Progress.
  int64_t iBytesProcessed_ = 0, iBytesTotal_ = 0;
  float batchProgress_ = 0;

  // Timers (connection's thread).
  platform::TimerRef connectTimer_, inactiveTimer_, dataConnectTimer_, pbszConnectTimer_,
      sslHelperTimer_, sslDataHelperTimer_, pumpTimer_, dataStallTimer_;

  // Alerts on screen (main thread).
  std::shared_ptr<platform::ui::AlertView> errorFatal_, errorServer_, replyServer_, errorNoSSL_,
      errorSavedFileExists_;
  std::mutex alertMutex_;

  // ---- Listing, transfer and file-operation tasks: declarations of their own files ----------
public:
  // Starts a folder download for the queue: the listings that follow are walked into queue rows.
  void batchDirectoryDownload(const std::string &localRoot);
  // Where the current download is kept in Saved Files (folders made on the way).
  std::string getSavedFilesPath();
  // YES while the "Saved File Exists" question is on screen (no download starts meanwhile).
  static bool overwritePromptShowing();

protected:
  void parseDirectoryLine(const std::string &line);
  // `raw`: the line's bytes as they came, `encoding` the one it was read in: an entry's name
  // keeps its own bytes.
  void parseDirectoryLine(const std::string &line, FTPListParser &parser, std::string_view raw = {},
                          platform::Encoding encoding = platform::Encoding::UTF8);
  FTPListParser listParser() const;
  // A listing of a folder download: sub-folders join the batch, files not yet queued (nor saved
  // whole already) become queue rows; then the batch moves on (once its "226" is in as well).
  void walkBatchDirectoryListing();
  // Hands the download on (on the main thread); with reportDone its queue row is reported done
  // once the file is saved.
  void editDownloadedFile(bool replace, bool reportDone = false);
  // The hand-on of a download once its data has ended and its reply is in (both, in any order).
  void downloadFinishedIfComplete();
  void downloadFailed(const std::string &why);
  // The partial file of the download under way: its own for this server, port, user and remote
  // file, so that a resume continues only its own bytes.
  std::string downloadPartialPath() const;
  // The origin of the file being downloaded: this server, port and user, and its remote path.
  RemoteOrigin downloadOrigin() const;
  // Puts a whole download to be opened in its working copy (of its origin, one no editor or
  // record still uses): false, with the error shown, when it cannot.
  bool placeWorkingCopy(const std::string &partial);
  void savedFileExistsAnswered(int index);
  void recordDownloadInQueue(const RemoteName &name, const RemoteName &folder, int64_t size,
                             bool *isNewRow);
  void finishUpload();
  void restoreUploadSource();
  // The upload's file name with `infix` before its extension (photo.jpg: photo.upload.jpg).
  RemoteName uploadNameWith(const char *infix) const;
  void finishFileOperation();
  void fileOperationFailed(const char *debugNote);

  // A folder of the folder download waiting to be listed: its local root, its remote path and
  // its level below the folder asked for.
  struct BatchDirectory {
    std::string root;
    RemoteName dir;
    size_t depth = 0;
  };
  std::deque<BatchDirectory> directoryBatch_;
  std::string directoryBatchCurRoot_, currentLocalFolderBatch_;
  // The folder download's level now, the folders it found and the entries listed so far, and the
  // folders walked (as the server names them once entered, bytes and all): none is listed twice.
  size_t directoryBatchCurDepth_ = 0, batchFoldersFound_ = 0, batchEntriesListed_ = 0;
  std::unordered_set<std::string> batchFoldersWalked_;
  // The folder just entered was walked before: the next one follows without listing it.
  bool batchFolderWalkedBefore();
  std::string localFolderAtStart_;    // the Saved Files folder shown when the download started
  std::string passiveReplyAfterRest_; // a resumed upload opens its data connection after "REST"
  std::string storFailureReply_;      // shown once what a failed "STOR" left has been seen to
  // Entries of the folder download that were not queued (their names cannot be local names);
  // false batchRootUsable_: the folder's own name cannot be one, so nothing is queued.
  int batchSkipped_ = 0;
  bool batchRootUsable_ = true;
  bool directory226Done_ = false, directoryProcessed_ = false, renamedUploadOK_ = false,
       downloadHandedOn_ = false, uploadResumeAsked_ = false,
       downloadSizeKnown_ = false; // the server told the size ("SIZE")
  int iDirectoryLines_ = 0;
  std::shared_ptr<platform::ui::AlertViewDelegate> savedFileAlertDelegate_;
  // ---- end of the task declarations --------------------------------------------------------
};
