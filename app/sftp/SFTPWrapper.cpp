#include "app/sftp/SFTPWrapper.h"

#include "app/foundation/PartialFile.h"

#include "platform/foundation/Text.h"

namespace {
std::mutex makerMutex;
std::function<std::shared_ptr<SFTPWrapper>()> &maker() {
  static std::function<std::shared_ptr<SFTPWrapper>()> m;
  return m;
}
} // namespace

std::shared_ptr<SFTPWrapper> SFTPWrapper::make() {
  std::lock_guard lock(makerMutex);
  return maker() ? maker()() : nullptr;
}

void SFTPWrapper::setMaker(std::function<std::shared_ptr<SFTPWrapper>()> m) {
  std::lock_guard lock(makerMutex);
  maker() = std::move(m);
}

std::string SFTPWrapper::server() const {
  std::lock_guard lock(mutex_);
  return server_;
}
void SFTPWrapper::setServer(std::string v) {
  std::lock_guard lock(mutex_);
  server_ = std::move(v);
}
std::string SFTPWrapper::username() const {
  std::lock_guard lock(mutex_);
  return username_;
}
void SFTPWrapper::setUsername(std::string v) {
  std::lock_guard lock(mutex_);
  username_ = std::move(v);
}
std::string SFTPWrapper::password() const {
  std::lock_guard lock(mutex_);
  return password_;
}
void SFTPWrapper::setPassword(std::string v) {
  std::lock_guard lock(mutex_);
  password_ = std::move(v);
}
int SFTPWrapper::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}
void SFTPWrapper::setPort(int v) {
  std::lock_guard lock(mutex_);
  port_ = v;
}
bool SFTPWrapper::mainConnection() const {
  std::lock_guard lock(mutex_);
  return mainConnection_;
}
void SFTPWrapper::setMainConnection(bool v) {
  std::lock_guard lock(mutex_);
  mainConnection_ = v;
}
int SFTPWrapper::batchPK() const {
  std::lock_guard lock(mutex_);
  return batchPK_;
}
void SFTPWrapper::setBatchPK(int v) {
  std::lock_guard lock(mutex_);
  batchPK_ = v;
}
std::shared_ptr<SFTPWrapperDelegate> SFTPWrapper::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}
void SFTPWrapper::setDelegate(std::weak_ptr<SFTPWrapperDelegate> d) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(d);
}

std::string SFTPWrapper::downloadPartialPath(const std::string &server, int port,
                                             const std::string &user, const std::string &remote,
                                             const std::string &local) {
  return partialFilePath(local, sftpDownloadSource(server, port, user, remote));
}

std::string SFTPWrapper::remotePathIn(const std::string &folder, const std::string &name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

void SFTPWrapper::uploadThisFile(const std::string &localPath, const std::string &remoteFolder) {
  setupToUploadThisFile(localPath,
                        remotePathIn(remoteFolder, platform::lastPathComponent(localPath)));
  uploadFile();
}
