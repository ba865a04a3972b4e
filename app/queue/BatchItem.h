// One queued transfer: the stored columns of its row in `batchlist` plus what the Transfers
// screen and the runner keep for it while the program runs. Owned by the queue screen and used on
// the main thread; the runner copies the fields it needs before it hands the item to a
// connection. Offsets and sizes are 64-bit.
#pragma once

#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/WorkingCopy.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform::ui {
class ProgressView;
class Label;
class TableViewCell;
} // namespace platform::ui

class BatchItem {
public:
  // Action codes.
  enum Action : int {
    kFolderDownload = 1,
    kDownload = 2,
    kUpload = 3,
    kMakeFolder = 6,
    kUploadIntoNewFolder = 10,
    kWebDownload = 20,
    kSFTPDownload = 30,
    kSFTPUpload = 31,
    kSFTPUploadIntoNewFolder = 32,
    kSFTPFolderDownload = 33,
    kSFTPMakeFolder = 34,
  };

  // The action that counts as the same transfer (3 and 10, 31 and 32; others are their own).
  static int twinAction(int action);
  static bool isUploadAction(int action);

  // The remote file (or folder) of a row that is not a web download: its server, port, user and
  // kind, and its path there. Rows are compared, and their partial files named, by it.
  RemoteOrigin origin() const;

  int primaryKey() const { return primaryKey_; }
  void setPrimaryKey(int v) { primaryKey_ = v; }
  int action() const { return action_; }
  void setAction(int v) { action_ = v; }
  const std::string &filename() const { return filename_; }
  // A name set as text has no bytes of a server's (see RemoteName).
  void setFilename(std::string v) {
    filename_ = std::move(v);
    filenameBytes_.reset();
  }
  const std::string &path() const { return path_; }
  void setPath(std::string v) {
    path_ = std::move(v);
    pathBytes_.reset();
  }
  // The name and the remote folder with the bytes the server named them with (none for a name
  // the person typed, and for rows stored before the bytes were kept).
  RemoteName remoteFilename() const { return RemoteName::of(filename_, filenameBytes_); }
  void setRemoteFilename(const RemoteName &v) {
    filename_ = v.text();
    filenameBytes_ = v.bytes();
  }
  RemoteName remotePath() const { return RemoteName::of(path_, pathBytes_); }
  void setRemotePath(const RemoteName &v) {
    path_ = v.text();
    pathBytes_ = v.bytes();
  }
  const std::string &server() const { return server_; }
  void setServer(std::string v) { server_ = std::move(v); }
  const std::string &user() const { return user_; }
  void setUser(std::string v) { user_ = std::move(v); }
  const std::string &password() const { return password_; }
  void setPassword(std::string v) { password_ = std::move(v); }
  const std::string &localpath() const { return localpath_; }
  void setLocalpath(std::string v) {
    localpath_ = std::move(v);
    localpathChanges_.fetch_add(1, std::memory_order_relaxed);
    // A file named by its whole path (an edited file, a picture to upload, in the temporary
    // folder) is in use while its row is queued.
    if (!localpath_.empty() && localpath_[0] == '/')
      localpathInUse_.hold(localpath_);
    else
      localpathInUse_.release();
  }
  // Moves whenever any item's local path is set: the queue's index of local paths is made again
  // once it has moved.
  static uint64_t localpathChanges() { return localpathChanges_.load(std::memory_order_relaxed); }
  const std::string &protocol() const { return protocol_; }
  void setProtocol(std::string v) { protocol_ = std::move(v); }
  int port() const { return port_; }
  void setPort(int v) { port_ = v; }
  bool cleanFileWhenDone() const { return cleanFileWhenDone_; }
  void setCleanFileWhenDone(bool v) { cleanFileWhenDone_ = v; }
  int64_t start() const { return start_; }
  void setStart(int64_t v) { start_ = v; }
  // The temporary name (its bytes) an SFTP upload row writes under: the same at every start, so
  // that a start after a kill writes over what the one before left instead of leaving it.
  const std::string &uploadTempName() const { return uploadTempName_; }
  void setUploadTempName(std::string v) { uploadTempName_ = std::move(v); }
  int64_t filesize() const { return filesize_; }
  void setFilesize(int64_t v) { filesize_ = v; }
  float progress() const { return progress_; }
  void setProgress(float v) { progress_ = v; }
  const std::shared_ptr<platform::ui::ProgressView> &progressBar() const { return progressBar_; }
  void setProgressBar(std::shared_ptr<platform::ui::ProgressView> v) {
    progressBar_ = std::move(v);
  }
  const std::shared_ptr<platform::ui::Label> &label() const { return label_; }
  void setLabel(std::shared_ptr<platform::ui::Label> v) { label_ = std::move(v); }
  const std::shared_ptr<platform::ui::TableViewCell> &cell() const { return cell_; }
  void setCell(std::shared_ptr<platform::ui::TableViewCell> v) { cell_ = std::move(v); }
  const std::string &errorMsg() const { return errorMsg_; }
  void setErrorMsg(std::string v) { errorMsg_ = std::move(v); }
  const std::string &statusMsg() const { return statusMsg_; }
  void setStatusMsg(std::string v) { statusMsg_ = std::move(v); }
  int64_t lastBytes() const { return lastBytes_; }
  void setLastBytes(int64_t v) { lastBytes_ = v; }
  double lastTime() const { return lastTime_; }
  void setLastTime(double v) { lastTime_ = v; }
  bool working() const { return working_; }
  void setWorking(bool v) { working_ = v; }

private:
  static inline std::atomic<uint64_t> localpathChanges_{0};
  int primaryKey_ = 0;
  int action_ = 0;
  std::string filename_, path_, server_, user_, password_, localpath_, protocol_;
  std::optional<std::string> filenameBytes_, pathBytes_;
  FileInUse localpathInUse_;
  int port_ = 0;
  bool cleanFileWhenDone_ = false;
  int64_t start_ = 0;
  int64_t filesize_ = 0;
  float progress_ = 0;
  std::shared_ptr<platform::ui::ProgressView> progressBar_;
  std::shared_ptr<platform::ui::Label> label_;
  std::shared_ptr<platform::ui::TableViewCell> cell_;
  std::string errorMsg_, statusMsg_;
  std::string uploadTempName_;
  int64_t lastBytes_ = 0;
  double lastTime_ = 0;
  bool working_ = false;
};
