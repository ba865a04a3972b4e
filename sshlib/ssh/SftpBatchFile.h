// One file of a pipelined batch of the SFTP client (DownloadFiles, UploadFiles): the remote path
// (UTF-8), the local path, for a download the size a listing gave (-1: not known), and the
// outcome with its reason.
#pragma once

#include <string>

struct SftpBatchFile {
  std::string remote, local;
  long long size = -1;
  bool ok = false;
  std::string error;
};
