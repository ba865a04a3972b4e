#include "app/sftp/SFTPWrapper.h"

#include "app/foundation/PartialFile.h"
#include "app/ftp/FTPReplyAssembler.h"

#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <algorithm>

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

namespace {
// The setting "Folder Text Encoding" of SFTP servers (0: Auto-Detect).
uint32_t folderTextEncoding() {
  return uint32_t(platform::UserDefaults::standard().integerForKey("SFTPEncoding"));
}
bool isControlByte(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}
} // namespace

std::string SFTPWrapper::textOfName(const std::string &bytes) {
  if (bytes.empty()) return bytes;
  std::string text = FTPReplyAssembler::decodeLine(reinterpret_cast<const uint8_t *>(bytes.data()),
                                                   bytes.size(), true, folderTextEncoding());
  // A control character (a line feed, say) cannot be shown, nor stand in a local file's name: it
  // reads as the screens read any byte they cannot, U+FFFD. The bytes stay the name's own.
  if (std::none_of(text.begin(), text.end(), isControlByte)) return text;
  std::string shown;
  for (char c : text)
    if (isControlByte(c))
      shown += "\xEF\xBF\xBD";
    else
      shown += c;
  return shown;
}

RemoteName SFTPWrapper::namedByServer(const std::string &bytes) {
  return RemoteName::named(textOfName(bytes), bytes);
}

std::string SFTPWrapper::wireOf(const RemoteName &name) {
  if (name.bytes()) return *name.bytes();
  if (auto encoding = platform::encodingFromNumber(folderTextEncoding()))
    if (auto b = platform::encodeText(name.text(), *encoding))
      // Only bytes that read back as the whole name: a changed character names another file.
      if (auto back = platform::decodeText(*b, *encoding); back && *back == name.text())
        return std::string(b->begin(), b->end());
  // A character the encoding has no place for goes in UTF-8, the way most servers store such
  // names: nothing of the name is lost or changed.
  return name.text();
}

RemoteName SFTPWrapper::pathIn(const RemoteName &folder, const RemoteName &name) {
  return RemoteName::named(remotePathIn(folder.text(), name.text()),
                           remotePathIn(wireOf(folder), wireOf(name)));
}

std::string SFTPWrapper::openedRemote() const {
  std::lock_guard lock(mutex_);
  return openedRemote_;
}
void SFTPWrapper::setOpenedRemote(std::string path) {
  std::lock_guard lock(mutex_);
  openedRemote_ = std::move(path);
}

void SFTPWrapper::uploadThisFile(const std::string &localPath, const std::string &remoteFolder) {
  setupToUploadThisFile(localPath,
                        remotePathIn(remoteFolder, platform::lastPathComponent(localPath)));
  uploadFile();
}
