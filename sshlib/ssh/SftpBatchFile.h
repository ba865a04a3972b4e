// One file of a pipelined batch of the SFTP client (DownloadFiles, UploadFiles): the remote path
// (UTF-8), the local path, for a download the size a listing gave (-1: not known), and the
// outcome with its reason. An upload with `renameTo` set is renamed to it once written and
// closed; `renameRefused` tells that the file is whole under `remote` but the server refused
// that rename.
#pragma once

#include <string>
#include <utility>

struct SftpBatchFile {
  SftpBatchFile() = default;
  SftpBatchFile(std::string remotePath, std::string localPath, long long knownSize = -1)
      : remote(std::move(remotePath)), local(std::move(localPath)), size(knownSize) {}
  std::string remote, local;
  long long size = -1;
  bool ok = false;
  std::string error;
  // The system's error number when the local file could not be written (a full disk, a quota),
  // else 0.
  int localErrno = 0;
  std::string renameTo;
  bool renameRefused = false;
};
