// The application's SFTP connection object as the transfer queue (and the folder screens) use
// it. One object per connection; it performs one operation at a time, each called on a thread of
// the caller's own, and reports through its delegate on the main thread. The service itself
// derives from this class; until one is installed the queue cannot run SFTP items.
#pragma once

#include "app/foundation/RemoteName.h"
#include "app/foundation/ServerFileLook.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class DirItemInfo;
class SFTPWrapper;

// Progress of a transfer: bytes done and the fraction done (0 to 1).
struct SFTPProgressDic {
  int64_t bytes = 0;
  float percent = 0;
};

// Optional callbacks, each on the main thread with the service as first argument.
class SFTPWrapperDelegate {
public:
  virtual ~SFTPWrapperDelegate() = default;
  virtual void connectError(SFTPWrapper &, const std::string &) {}
  virtual void loginError(SFTPWrapper &, const std::string &) {}
  virtual void sftpError(SFTPWrapper &, const std::string &) {}
  virtual void connectStatus(SFTPWrapper &, const std::string &) {}
  virtual void progress(SFTPWrapper &, float) {}
  virtual void progressDic(SFTPWrapper &, const SFTPProgressDic &) {}
  virtual void gotDirectory(SFTPWrapper &, const std::vector<std::shared_ptr<DirItemInfo>> &) {}
  virtual void downloadedFile(SFTPWrapper &, const std::string &) {}
  virtual void downloadError(SFTPWrapper &, const std::string &) {}
  virtual void uploadedFile(SFTPWrapper &, const std::string &) {}
  virtual void uploadError(SFTPWrapper &, const std::string &) {}
  virtual void dirError(SFTPWrapper &, const std::string &) {}
  virtual void errorStatus(SFTPWrapper &, const std::string &) {}
  virtual void sftpConnectionShouldRefreshDirectory(SFTPWrapper &) {}
  virtual void sftpConnectionDone(SFTPWrapper &) {}
  // The server is away: it could not be reached ("Connection refused", "no answer"), or the
  // session to it was lost under an operation ("the connection was lost"). Reported just before
  // the failure of the operation it ended, so that a save or a transfer waits for the server
  // rather than failing for good.
  virtual void serverAway(SFTPWrapper &, const std::string & /*reason*/) {}
};

// One upload of a batch: the queue row's key, the local file and the remote path. A row that
// was let go (its `row` expired) before the batch starts it is not uploaded.
struct SFTPUploadJob {
  int key = -1;
  std::string local, remote;
  std::weak_ptr<void> row;
  // The temporary name to write under when uploads go to temporary names (empty: a new one).
  std::string temp;
};

class SFTPWrapper {
public:
  virtual ~SFTPWrapper() = default;

  // A new, unconnected service from the installed maker; none when no service is installed.
  static std::shared_ptr<SFTPWrapper> make();
  static void setMaker(std::function<std::shared_ptr<SFTPWrapper>()> maker);

  // --- Parameters (set before the first operation; any thread).
  std::string server() const;
  void setServer(std::string v);
  std::string username() const;
  void setUsername(std::string v);
  std::string password() const;
  void setPassword(std::string v);
  int port() const;
  void setPort(int v);
  bool mainConnection() const;
  void setMainConnection(bool v);
  int batchPK() const;
  void setBatchPK(int v);
  std::shared_ptr<SFTPWrapperDelegate> delegate() const;
  void setDelegate(std::weak_ptr<SFTPWrapperDelegate> d);

  // The partial file a download of `remote` into `local` writes over a connection with these
  // parameters (as set above): beside `local`, under a name of that server, port, user and
  // remote file's own, so that no other download into the same name writes into it.
  static std::string downloadPartialPath(const std::string &server, int port,
                                         const std::string &user, const std::string &remote,
                                         const std::string &local);

  // `name` in the remote folder `folder` (empty: the login folder).
  static std::string remotePathIn(const std::string &folder, const std::string &name);

  // --- Names on the server. Every path the operations below take is in the bytes it goes to the
  // server in, and every name a listing gives keeps the bytes the server sent (see RemoteName):
  // two names that read alike are two files, and one listed entry reaches one file on every road,
  // whatever the setting "Folder Text Encoding" says.
  // The text a name (or path) the server sent is shown as: read in the folder text encoding the
  // setting chooses, else as UTF-8, else as ISO Latin-1, as the FTP folder screens read names;
  // a control character reads as U+FFFD.
  static std::string textOfName(const std::string &bytes);
  // A name or path the server sent, with its text and its bytes.
  static RemoteName namedByServer(const std::string &bytes);
  // The bytes a name goes to the server in: its own, else (a typed name) its text in the folder
  // text encoding the setting chooses when that carries every character of it, else UTF-8.
  static std::string wireOf(const RemoteName &name);
  // `name` in the folder `folder`, texts and bytes joined (see remotePathIn).
  static RemoteName pathIn(const RemoteName &folder, const RemoteName &name);
  // The last file opened from a download (its path, as wireOf gives it), for the editor that
  // opens it to send it back to the same file.
  std::string openedRemote() const;
  void setOpenedRemote(std::string path);
  // A new temporary name for an upload of `remote` ("NAME.upload.STAMP").
  static std::string newUploadTempName(const std::string &remote);
  // The temporary name the next uploadFile writes under when uploads go to temporary names, so
  // that a queue row started again writes over what an earlier start left; empty: a new one.
  // uploadFile takes it (the one after gets a new name unless one is set again).
  void setUploadTempName(std::string path);
  std::string takeUploadTempName();

  // --- State.
  virtual void reinit() = 0;
  // Connecting, or connected as far as the library knows: false once the library has dropped a
  // connection the server closed.
  virtual bool isConnected() = 0;
  virtual bool isActive() = 0;
  virtual bool isAnythingPending() = 0;
  // Marks the service as paused by the user (reinit clears the mark).
  virtual void paused() = 0;
  virtual std::string userRootDir() = 0;
  virtual std::string lastOperationDir() = 0;
  // The remote folder the connection is in: the one it lists.
  virtual std::string dir() = 0;

  // --- Operations (each on a thread of the caller's own).
  virtual void setDir(const std::string &dir) = 0;
  virtual void getThisDirectory(const std::string &path) = 0;
  virtual void getDirectory() = 0;
  virtual void setupToDownloadThisFile(const std::string &remotePath, const std::string &toPath,
                                       bool editWhenDone) = 0;
  virtual void downloadFile() = 0;
  virtual void setupToUploadThisFile(const std::string &localPath, const std::string &toPath) = 0;
  virtual void uploadFile() = 0;
  // Uploads a local file under its own name into a remote folder on the calling thread, returning
  // when it has ended (reported to the delegate as uploadFile reports).
  void uploadThisFile(const std::string &localPath, const std::string &remoteFolder);
  // Looks at the file at `remote` before an upload writes over it (connecting first): whether it
  // is there, its size and as many of its first bytes as `bytesToRead` asks for. A failure to
  // look is reported as the upload's failure would be (the server away: the queue waits for it).
  // A service without a look of its own says it cannot look (see LookedFile::cannotLook).
  virtual LookedFile lookAtFile(const std::string & /*remote*/,
                                const BytesToRead & /*bytesToRead*/) {
    LookedFile none;
    none.cannotLook = true;
    return none;
  }
  virtual void createDirectory(const std::string &path) = 0;
  virtual void deleteFile(const std::string &path) = 0;
  virtual void deleteDirectory(const std::string &path) = 0;
  virtual void renameFile(const std::string &oldName, const std::string &newName) = 0;
  virtual void changePermissions(const std::string &name, int permissions) = 0;
  virtual void batchDirectoryDownload(const std::string &remoteFolder) = 0;
  virtual void nextBatchDirectory() = 0;
  virtual void doneBatchItem() = 0;

  // --- Many uploads at once (each still a queue row of its own).
  // How many uploads one uploadFiles call may take; 1 when the service uploads one at a time.
  virtual size_t uploadBatchLimit() { return 1; }
  // Batches are for small files: a larger one goes on its own, with its progress shown.
  static constexpr int64_t kUploadBatchFileMax = 1 << 20;
  // Uploads the files on the caller's thread, with requests of several files in flight; calls
  // `result(job, ok, error text)` on that thread as each ends. A job not started (the batch
  // stopped for a pause, a cut connection or a reinit) gets no result.
  using UploadResult = std::function<void(const SFTPUploadJob &, bool, const std::string &)>;
  virtual void uploadFiles(const std::vector<SFTPUploadJob> &jobs, const UploadResult &result) {
    (void)jobs;
    (void)result;
  }

private:
  mutable std::mutex mutex_;
  std::string server_, username_, password_, openedRemote_, uploadTempName_;
  int port_ = 0, batchPK_ = -1;
  bool mainConnection_ = false;
  std::weak_ptr<SFTPWrapperDelegate> delegate_;
};
