// The application's SFTP connection object as the transfer queue (and the folder screens) use
// it. One object per connection; it performs one operation at a time, each called on a thread of
// the caller's own, and reports through its delegate on the main thread. The service itself
// derives from this class; until one is installed the queue cannot run SFTP items.
#pragma once

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
};

// One upload of a batch: the queue row's key, the local file and the remote path. A row that
// was let go (its `row` expired) before the batch starts it is not uploaded.
struct SFTPUploadJob {
  int key = -1;
  std::string local, remote;
  std::weak_ptr<void> row;
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
  std::string server_, username_, password_;
  int port_ = 0, batchPK_ = -1;
  bool mainConnection_ = false;
  std::weak_ptr<SFTPWrapperDelegate> delegate_;
};
