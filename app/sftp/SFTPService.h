// The application's SFTP service on the library's SFTP session: one connection, one operation at
// a time, each run on the caller's thread, every report delivered to the delegate on the main
// thread in the order it was made.
//
// Host keys: the library accepts any host key whose signature is valid, so the service keeps
// each server's fingerprint (setting "SSH-hostkey-<server>") from the first connection and
// refuses a server whose key has changed, naming both fingerprints. The user may accept the new
// key, and the next connection goes ahead; turned down, nothing is connected and the browsing
// connection's folder screen gives way to the connect screen.
#pragma once

#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/WorkingCopy.h"
#include "app/sftp/SFTPWrapper.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class CkSFtp;
struct SftpBatchFile;
namespace platform {
class DateFormatter;
}

class SFTPService : public SFTPWrapper, public std::enable_shared_from_this<SFTPService> {
public:
  SFTPService();
  ~SFTPService() override;
  // Makes SFTPWrapper::make() hand out this service.
  static void install();

  void reinit() override;
  bool isConnected() override;
  bool isActive() override;
  bool isAnythingPending() override;
  void paused() override;
  std::string userRootDir() override;
  std::string lastOperationDir() override;
  std::string dir() override;

  void setDir(const std::string &dir) override;
  void getThisDirectory(const std::string &path) override;
  void getDirectory() override;
  void setupToDownloadThisFile(const std::string &remotePath, const std::string &toPath,
                               bool editWhenDone) override;
  void downloadFile() override;
  void setupToUploadThisFile(const std::string &localPath, const std::string &toPath) override;
  void uploadFile() override;
  LookedFile lookAtFile(const std::string &remote, const BytesToRead &bytesToRead) override;
  void createDirectory(const std::string &path) override;
  void deleteFile(const std::string &path) override;
  void deleteDirectory(const std::string &path) override;
  void renameFile(const std::string &oldName, const std::string &newName) override;
  void changePermissions(const std::string &name, int permissions) override;
  void batchDirectoryDownload(const std::string &remoteFolder) override;
  void nextBatchDirectory() override;
  void doneBatchItem() override;
  size_t uploadBatchLimit() override;
  void uploadFiles(const std::vector<SFTPUploadJob> &jobs, const UploadResult &result) override;

  // The settings key under which a server's host-key fingerprint is kept.
  static std::string hostKeySettingKey(const std::string &server);
  // The endings of the key files a login looks for in Files/PrivateKeys, each after the name
  // "<user>@<server>", in the order they are tried.
  static std::vector<std::string> keyFileExtensions();
  // The transfer log of this instance.
  std::string logPath();
  // Answers the changed-host-key question: true keeps the server's new key.
  void answerHostKeyChange(bool accept);

private:
  struct Endpoint {
    std::string host, path;
    int port = 22;
    bool portRefused = false; // a port given that is no number from 1 to 65535
  };
  // A folder of a folder download: found in another (its parent's index in batchFolders_), or
  // asked for (no parent; its name is then its whole remote path). Paths are made from the
  // chain of names when the folder is listed, so each folder waiting costs only its name.
  struct BatchFolder {
    static constexpr size_t kAskedFor = static_cast<size_t>(-1);
    size_t parent = kAskedFor;
    std::string name; // in the bytes the server named it with

    size_t depth = 0; // levels below the folder asked for
  };
  class Progress;
  class Busy;

  Endpoint endpoint();
  // Connects, checks the host key, logs in and opens the SFTP channel when not yet done.
  bool ensureConnected();
  bool checkHostKey(const Endpoint &e);
  bool loginWithKeyFiles(const Endpoint &e);
  void dropConnection();
  // Temporary upload files left on the server by a cut connection.
  std::string leftoverSettingKey();
  void rememberLeftoverUpload(const std::string &remote);
  void removeLeftoverUploads();
  // Runs one simple remote change with its status and error texts. refusedHint: when given, a
  // refusal on the browsing connection is also said in an alert (the error, the server's answer
  // and this hint) and the folder listed again.
  void simpleOperation(const char *status, const char *error, const std::string &path,
                       const std::function<bool(CkSFtp &)> &op, bool reportToQueue = false,
                       const char *refusedHint = nullptr);
  // serverEntries: when given, set to the number of entries the server listed (also those
  // left out).
  bool listFolder(const std::string &folder, std::vector<std::shared_ptr<DirItemInfo>> &items,
                  bool report, size_t *serverEntries = nullptr);
  // The remote path and the path below Saved Files of a folder of the folder download (with
  // stateMutex_ held).
  void batchFolderPaths(size_t index, std::string &remote, std::string &relative);
  // The steps of nextBatchDirectory's walk. Each that returns false has ended the walk (its
  // error set); takeBatchFolder returns false when no folder is left.
  struct BatchWalk;
  struct BatchStep;
  bool takeBatchFolder(BatchStep &step);
  // Checks the folder's local place and lists it.
  bool listBatchFolder(const BatchStep &step, std::vector<std::shared_ptr<DirItemInfo>> &items,
                       BatchWalk &walk);
  // One entry of the folder: a folder joins the walk, a small file joins `small`, any other file
  // is fetched at once.
  bool takeBatchEntry(const BatchStep &step, const DirItemInfo &item,
                      std::vector<SftpBatchFile> &small, BatchWalk &walk);
  bool queueBatchFolder(const BatchStep &step, const std::string &nameBytes,
                        const std::string &remote, BatchWalk &walk);
  void stopBatch(BatchWalk &walk, const std::string &why, const std::string &what);
  // Tells the queue and the delegate how the walk ended.
  void endBatch(BatchWalk &walk);
  // The local folder a folder download of `remoteFolder` goes into, with `openFolder` the Saved
  // Files folder on screen (relative to Saved Files).
  std::string batchRootFor(const std::string &remoteFolder, const std::string &openFolder);
  // knownSize: the file's size when a listing gave it, -1 to ask the server. why: set to what
  // the person is told of a failure beyond "it failed" (empty when there is nothing more).
  bool downloadTo(const std::string &remote, const std::string &localPath, long long knownSize = -1,
                  std::string *why = nullptr);
  // The file `remote` (in its bytes) of this connection.
  RemoteOrigin originOf(const std::string &remote);
  // The partial file of a download of `remote` into `local` over this connection.
  std::string partialPathFor(const std::string &remote, const std::string &local);
  // Why nothing may be put under `local`: a folder stands there (empty: nothing in the way).
  static std::string folderInTheWay(const std::string &local);
  bool uploadTo(const std::string &localPath, const std::string &remotePath,
                const std::string &keptTemp = {});
  // The transfer of uploadTo without its reports (keptTemp: the temporary name to write under).
  bool uploadOne(const std::string &localPath, const std::string &remotePath,
                 const std::string &keptTemp = {});
  // Whether uploads go to a temporary name first (and are renamed into place).
  bool uploadsToTempNames();
  std::string uploadStamp();
  // An upload whole under its temporary name that the server would not rename to its name.
  bool placeRefusedRename(const std::string &local, const std::string &temp,
                          const std::string &remote, const std::string &stamp);
  // Gives `remote` the mode `mode` (-1: nothing to give), after a rename over the file of that
  // mode.
  void keepMode(const std::string &remote, int mode);
  // Removes what a failed upload left under its temporary name (later, when the connection is
  // gone).
  void dropTempUpload(const std::string &temp);
  // Downloads the files of one folder of a folder batch with requests of several files in flight;
  // false when one failed (the batch ends) or the connection went.
  // why: set to what the person is told of a file that could not be put in place.
  // `relative`: the files' folder within the folder download, to name a file that failed.
  bool downloadFolderFiles(std::vector<SftpBatchFile> &files, const std::string &relative,
                           std::string *why = nullptr);
  std::string savedFilesPathFor(const std::string &name);
  bool askSavedFileExists(const std::string &name);
  void openDownloaded(const std::string &path);
  void finishDownload(const std::string &remote, const std::string &local, bool ok,
                      const std::string &why = "");
  // Reports to the delegate on the main thread (nothing when it is gone).
  void report(std::function<void(SFTPWrapperDelegate &, SFTPWrapper &)> call);
  void status(const std::string &text);
  void logLine(const std::string &line);
  void logFailure(const std::string &what);
  void showHelpPage(const char *page);
  // The server is away (see SFTPWrapperDelegate::serverAway); and the session found lost after
  // an operation failed, said once per session. Under opMutex_.
  void serverAway(const std::string &reason);
  void noteSessionLost();
  bool sessionLostNoted_ = false;

  std::unique_ptr<CkSFtp> sftp_;
  std::unique_ptr<Progress> progress_;
  mutable std::mutex stateMutex_;
  std::mutex opMutex_; // held while the library connection is used
  std::atomic<bool> active_{false}, connecting_{false}, connected_{false}, pending_{false},
      paused_{false}, batchRunning_{false}, abort_{false};
  std::string dir_, userRootDir_, lastOperationDir_;
  std::string downloadRemote_, downloadTo_, uploadLocal_, uploadRemote_;
  bool editWhenDone_ = false, replaceExisting_ = false;
  // The working copy of the last download to be opened, in use until the editor or viewer that
  // opens it holds it (operations only, under opMutex_).
  FileInUse workingCopyInUse_;
  // The local folder of the folder download, and whether each file goes into a folder of its
  // file type below it (the setting that chooses where downloads go).
  std::string batchLocalRoot_;
  bool batchByFileType_ = false;
  // Every folder the folder download found so far, and the next one to list.
  std::vector<BatchFolder> batchFolders_;
  size_t batchNext_ = 0;
  std::string pendingHostKey_; // setting key and fingerprint the user may accept
  std::shared_ptr<void> alertDelegate_;
  // The transfer log, open while lines come (under stateMutex_).
  std::FILE *log_ = nullptr;
  std::string logOpenPath_;
  std::unique_ptr<platform::DateFormatter> logDate_;
};
