// An SFTP service double that does nothing: connected and idle (or, with `connected` false, not
// connected). Doubles that record or report some operations derive from it and override those.
#pragma once

#include "app/sftp/SFTPWrapper.h"

#include <string>

namespace testsupport {

class IdleSftp : public SFTPWrapper {
public:
  bool connected = true;
  void reinit() override {}
  bool isConnected() override { return connected; }
  bool isActive() override { return false; }
  bool isAnythingPending() override { return false; }
  void paused() override {}
  std::string userRootDir() override { return "/home/u"; }
  std::string lastOperationDir() override { return ""; }
  std::string dir() override { return ""; }
  void setDir(const std::string &) override {}
  void getThisDirectory(const std::string &) override {}
  void getDirectory() override {}
  void setupToDownloadThisFile(const std::string &, const std::string &, bool) override {}
  void downloadFile() override {}
  void setupToUploadThisFile(const std::string &, const std::string &) override {}
  void uploadFile() override {}
  void createDirectory(const std::string &) override {}
  void deleteFile(const std::string &) override {}
  void deleteDirectory(const std::string &) override {}
  void renameFile(const std::string &, const std::string &) override {}
  void changePermissions(const std::string &, int) override {}
  void batchDirectoryDownload(const std::string &) override {}
  void nextBatchDirectory() override {}
  void doneBatchItem() override {}
};

} // namespace testsupport
