#include "app/queue/BatchItem.h"

int BatchItem::twinAction(int action) {
  switch (action) {
  case kUpload:
    return kUploadIntoNewFolder;
  case kUploadIntoNewFolder:
    return kUpload;
  case kSFTPUpload:
    return kSFTPUploadIntoNewFolder;
  case kSFTPUploadIntoNewFolder:
    return kSFTPUpload;
  default:
    return action;
  }
}

bool BatchItem::isUploadAction(int action) {
  return action == kUpload || action == kUploadIntoNewFolder || action == kSFTPUpload ||
         action == kSFTPUploadIntoNewFolder;
}

RemoteOrigin BatchItem::origin() const {
  const bool sftp = action_ >= kSFTPDownload || protocol_ == "sftp";
  return RemoteOrigin::ofNames(sftp                  ? "sftp"
                               : protocol_ == "ftps" ? "ftps"
                                                     : "ftp",
                               server_, port_, user_, remotePath(), remoteFilename());
}
