#include "sshlib/ssh/CkSFtp.h"

#include "sshlib/core/ProgressEvent.h"

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"
#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/ssh/ClsSFtp.h"

namespace {
// An argument as a library string.
struct Arg {
  explicit Arg(const char *s) { v.setFromUtf8(s ? s : ""); }
  XString v;
};

enum class LogForm { Text, Html, Xml };
std::string logOf(ClsBase &impl, LogForm form) {
  XString v;
  if (form == LogForm::Text) impl.GetTextLogX(v, false);
  if (form == LogForm::Html) impl.GetHtmlLogX(v, false);
  if (form == LogForm::Xml) impl.GetXmlLogX(v, false);
  return v.getUtf8();
}

std::string debugPathOf(ClsBase &impl) {
  XString v;
  impl.get_DebugLogFilePath(v);
  return v.getUtf8();
}
void putDebugPath(ClsBase &impl, const char *path) {
  XString v;
  v.setFromUtf8(path ? path : "");
  impl.put_DebugLogFilePath(v);
}
} // namespace

// --- CkString, CkByteData

CkString::CkString() : m_impl(new XString) {}
CkString::~CkString() {
  delete m_impl;
}
std::string CkString::getString() const {
  return m_impl->getUtf8();
}
void CkString::setString(const char *utf8) {
  m_impl->setFromUtf8(utf8 ? utf8 : "");
}
int CkString::getSizeUtf8() const {
  return (int)m_impl->getUtf8Sb().getSize();
}

CkByteData::CkByteData() : m_impl(new DataBuffer) {}
CkByteData::~CkByteData() {
  delete m_impl;
}
int CkByteData::getSize() const {
  return (int)m_impl->getSize();
}
const unsigned char *CkByteData::getData() const {
  return m_impl->getData2();
}
void CkByteData::append(const void *data, int n) {
  if (data && n > 0) m_impl->append(data, (unsigned int)n);
}
void CkByteData::clear() {
  m_impl->clear();
}

// --- CkSshKey

CkSshKey::CkSshKey() : m_impl(new ClsSshKey) {}
CkSshKey::~CkSshKey() {
  delete m_impl;
}
void CkSshKey::put_Password(const char *utf8) {
  m_impl->put_Password(utf8 ? utf8 : "");
}
bool CkSshKey::LoadKeyFile(const char *path) {
  m_impl->enterContextBase("LoadKeyFile");
  bool ok = path && m_impl->loadKeyFile(path, m_impl->m_log);
  m_impl->logSuccessFailure(ok);
  m_impl->m_log.LeaveContext();
  return ok;
}
bool CkSshKey::FromText(const char *text) {
  m_impl->enterContextBase("FromText");
  StringBuffer sb;
  sb.setString(text ? text : "");
  bool ok = m_impl->loadAnyFormat(sb, m_impl->m_log);
  m_impl->logSuccessFailure(ok);
  m_impl->m_log.LeaveContext();
  return ok;
}
bool CkSshKey::get_IsPrivateKey() const {
  return m_impl->get_IsPrivateKey();
}
bool CkSshKey::get_IsDsaKey() const {
  return m_impl->get_IsDsaKey();
}
std::string CkSshKey::lastErrorText() const {
  return logOf(*m_impl, LogForm::Text);
}
std::string CkSshKey::lastErrorHtml() const {
  return logOf(*m_impl, LogForm::Html);
}
std::string CkSshKey::lastErrorXml() const {
  return logOf(*m_impl, LogForm::Xml);
}
bool CkSshKey::SaveLastError(const char *path) {
  return m_impl->SaveXmlLog(path);
}
std::string CkSshKey::debugLogFilePath() const {
  return debugPathOf(*m_impl);
}
void CkSshKey::put_DebugLogFilePath(const char *path) {
  putDebugPath(*m_impl, path);
}

// --- CkSFtpFile, CkSFtpDir

CkSFtpFile::CkSFtpFile(ClsSFtpFile *impl) : m_impl(impl) {}
CkSFtpFile::~CkSFtpFile() {
  delete m_impl;
}
std::string CkSFtpFile::filename() const {
  return m_impl->filenameUtf8();
}
long long CkSFtpFile::get_Size64() const {
  return m_impl->get_Size64();
}
int CkSFtpFile::get_Permissions() const {
  return m_impl->get_Permissions();
}
std::string CkSFtpFile::owner() const {
  return m_impl->attrs().owner.getString();
}
std::string CkSFtpFile::group() const {
  return m_impl->attrs().group.getString();
}
bool CkSFtpFile::get_IsRegular() const {
  return m_impl->get_IsRegular();
}
bool CkSFtpFile::get_IsDirectory() const {
  return m_impl->get_IsDirectory();
}
bool CkSFtpFile::get_IsSymLink() const {
  return m_impl->get_IsSymLink();
}
long long CkSFtpFile::get_LastModifiedUnix() const {
  const SFtpFileAttr &a = m_impl->attrs();
  return a.lastModifiedTime64 ? a.lastModifiedTime64 : (long long)a.lastModifiedTime32;
}

bool CkSFtpFile::get_IsReadOnly() const {
  return m_impl->get_IsReadOnly();
}
bool CkSFtpFile::get_IsSystem() const {
  return m_impl->get_IsSystem();
}
bool CkSFtpFile::get_IsHidden() const {
  return m_impl->get_IsHidden();
}
bool CkSFtpFile::get_IsCaseInsensitive() const {
  return m_impl->get_IsCaseInsensitive();
}
bool CkSFtpFile::get_IsArchive() const {
  return m_impl->get_IsArchive();
}
bool CkSFtpFile::get_IsEncrypted() const {
  return m_impl->get_IsEncrypted();
}
bool CkSFtpFile::get_IsCompressed() const {
  return m_impl->get_IsCompressed();
}
bool CkSFtpFile::get_IsSparse() const {
  return m_impl->get_IsSparse();
}
bool CkSFtpFile::get_IsAppendOnly() const {
  return m_impl->get_IsAppendOnly();
}
bool CkSFtpFile::get_IsImmutable() const {
  return m_impl->get_IsImmutable();
}
bool CkSFtpFile::get_IsSync() const {
  return m_impl->get_IsSync();
}

CkSFtpDir::CkSFtpDir(ClsSFtpDir *impl) : m_impl(impl) {}
CkSFtpDir::~CkSFtpDir() {
  delete m_impl;
}
int CkSFtpDir::get_NumFilesAndDirs() const {
  return m_impl->get_NumFilesAndDirs();
}
std::string CkSFtpDir::originalPath() const {
  return m_impl->OriginalPath;
}
CkSFtpFile *CkSFtpDir::GetFileObject(int i) const {
  ClsSFtpFile *copy = m_impl->GetFileObject(i);
  return copy ? new CkSFtpFile(copy) : nullptr;
}
std::string CkSFtpDir::lastErrorText() const {
  return logOf(*m_impl, LogForm::Text);
}
std::string CkSFtpDir::lastErrorHtml() const {
  return logOf(*m_impl, LogForm::Html);
}
std::string CkSFtpDir::lastErrorXml() const {
  return logOf(*m_impl, LogForm::Xml);
}
std::string CkSFtpDir::debugLogFilePath() const {
  return debugPathOf(*m_impl);
}
void CkSFtpDir::put_DebugLogFilePath(const char *path) {
  putDebugPath(*m_impl, path);
}

// --- CkSFtp

namespace {
// Passes the library's progress questions on to the application's object.
class ProgressAdapter : public ProgressEvent {
public:
  explicit ProgressAdapter(CkSFtpProgress &p) : p_(p) {}
  void UpdatePct(int pct, bool &abort) override { p_.PercentDone(pct, abort); }
  void AbortCheck(bool &abort) override { p_.AbortCheck(abort); }
  void Heartbeat(int, bool &abort) override { p_.AbortCheck(abort); }

private:
  CkSFtpProgress &p_;
};
} // namespace

CkSFtp::CkSFtp() : m_impl(new ClsSFtp) {}

void CkSFtp::put_EventCallbackObject(CkSFtpProgress *progress) {
  m_adapter = progress ? std::make_unique<ProgressAdapter>(*progress) : nullptr;
  m_event = m_adapter.get();
}
CkSFtp::~CkSFtp() {
  delete m_impl;
}

bool CkSFtp::Connect(const char *host, int port) {
  Arg h(host);
  return m_impl->Connect(h.v, port, m_event);
}
bool CkSFtp::AuthenticatePw(const char *login, const char *password) {
  Arg l(login), p(password);
  return m_impl->AuthenticatePw(l.v, p.v, m_event);
}
bool CkSFtp::AuthenticatePk(const char *login, CkSshKey &key) {
  Arg l(login);
  return m_impl->AuthenticatePk(l.v, &key.impl(), m_event);
}
bool CkSFtp::AuthenticatePwPk(const char *login, const char *password, CkSshKey &key) {
  Arg l(login), p(password);
  return m_impl->AuthenticatePwPk(l.v, p.v, &key.impl(), m_event);
}
bool CkSFtp::InitializeSftp() {
  return m_impl->InitializeSftp(m_event);
}
void CkSFtp::Disconnect() {
  m_impl->Disconnect();
}
bool CkSFtp::get_IsConnected() const {
  return m_impl->get_IsConnected();
}
void CkSFtp::ClearSessionLog() {
  m_impl->ClearSessionLog();
}
std::string CkSFtp::hostKeyFingerprint() const {
  StringBuffer sb;
  m_impl->get_HostKeyFingerprint(sb);
  return sb.getString();
}
void CkSFtp::put_PreferredHostKeyType(const char *type) {
  m_impl->put_PreferredHostKeyType(type);
}
void CkSFtp::put_FilenameCharset(const char *charset) {
  m_impl->FilenameCharset.setString(charset ? charset : "");
}
void CkSFtp::put_ConnectTimeoutMs(int ms) {
  m_impl->ConnectTimeoutMs = ms > 0 ? (unsigned int)ms : 0;
}
void CkSFtp::put_IdleTimeoutMs(int ms) {
  m_impl->IdleTimeoutMs = ms > 0 ? (unsigned int)ms : 0;
}
void CkSFtp::put_HeartbeatMs(int ms) {
  m_impl->put_HeartbeatMs(ms);
}
void CkSFtp::put_PreserveDate(bool preserve) {
  m_impl->put_PreserveDate(preserve);
}
void CkSFtp::put_SocksVersion(int version) {
  m_impl->put_SocksVersion(version);
}
void CkSFtp::put_SocksHostname(const char *host) {
  Arg a(host);
  m_impl->put_SocksHostname(a.v);
}
void CkSFtp::put_SocksPort(int port) {
  m_impl->put_SocksPort(port);
}
void CkSFtp::put_SocksUsername(const char *user) {
  Arg a(user);
  m_impl->put_SocksUsername(a.v);
}
void CkSFtp::put_SocksPassword(const char *password) {
  Arg a(password);
  m_impl->put_SocksPassword(a.v);
}
void CkSFtp::put_HttpProxyHostname(const char *host) {
  Arg a(host);
  m_impl->put_HttpProxyHostname(a.v);
}
void CkSFtp::put_HttpProxyPort(int port) {
  m_impl->put_HttpProxyPort(port);
}
void CkSFtp::put_HttpProxyUsername(const char *user) {
  Arg a(user);
  m_impl->put_HttpProxyUsername(a.v);
}
void CkSFtp::put_HttpProxyPassword(const char *password) {
  Arg a(password);
  m_impl->put_HttpProxyPassword(a.v);
}
void CkSFtp::put_HttpProxyDomain(const char *domain) {
  Arg a(domain);
  m_impl->put_HttpProxyDomain(a.v);
}
void CkSFtp::put_HttpProxyAuthMethod(const char *method) {
  Arg a(method);
  m_impl->put_HttpProxyAuthMethod(a.v);
}

bool CkSFtp::RealPath(const char *path, const char *composePath, CkString &out) {
  Arg p(path), c(composePath);
  return m_impl->RealPath(p.v, c.v, out.impl(), m_event);
}
bool CkSFtp::OpenDir(const char *path, CkString &handle) {
  Arg p(path);
  return m_impl->OpenDir(p.v, handle.impl(), m_event);
}
CkSFtpDir *CkSFtp::ReadDir(const char *handle) {
  Arg h(handle);
  ClsSFtpDir *dir = m_impl->ReadDir(h.v, m_event);
  return dir ? new CkSFtpDir(dir) : nullptr;
}
bool CkSFtp::CloseHandle(const char *handle) {
  Arg h(handle);
  return m_impl->CloseHandle(h.v, m_event);
}
bool CkSFtp::OpenFile(const char *path, const char *access, const char *disposition,
                      CkString &handle) {
  Arg p(path);
  return m_impl->OpenFile(p.v, access, disposition, handle.impl(), m_event);
}
bool CkSFtp::ReadFileBytes64(const char *handle, long long offset, unsigned int numBytes,
                             std::vector<unsigned char> &out) {
  Arg h(handle);
  DataBuffer bytes;
  if (!m_impl->ReadFileBytes64(h.v, offset, numBytes, bytes, m_event)) return false;
  const unsigned char *data = bytes.getData2();
  out.insert(out.end(), data, data + bytes.getSize());
  return true;
}
bool CkSFtp::DownloadFileByName(const char *remotePath, const char *localPath) {
  Arg r(remotePath), l(localPath);
  return m_impl->DownloadFileByName(r.v, l.v, m_event);
}
int CkSFtp::lastLocalWriteError() const {
  return m_impl->get_LastLocalWriteError();
}
bool CkSFtp::UploadFileByName(const char *remotePath, const char *localPath) {
  Arg r(remotePath), l(localPath);
  return m_impl->UploadFileByName(r.v, l.v, m_event);
}
bool CkSFtp::UploadFileByName(const char *remotePath, const char *localPath,
                              int createPermissions) {
  Arg r(remotePath), l(localPath);
  m_impl->CreatePermissions = createPermissions;
  const bool ok = m_impl->UploadFileByName(r.v, l.v, m_event);
  m_impl->CreatePermissions = -1;
  return ok;
}
bool CkSFtp::DownloadFiles(std::vector<SftpBatchFile> &files, unsigned int window,
                           const std::function<bool(size_t)> &done) {
  return m_impl->DownloadFiles(files, window, done, m_event);
}
bool CkSFtp::UploadFiles(std::vector<SftpBatchFile> &files, unsigned int window,
                         const std::function<bool(size_t)> &done) {
  return m_impl->UploadFiles(files, window, done, m_event);
}
bool CkSFtp::CreateDir(const char *path) {
  Arg p(path);
  return m_impl->CreateDir(p.v, m_event);
}
bool CkSFtp::RemoveDir(const char *path) {
  Arg p(path);
  return m_impl->RemoveDir(p.v, m_event);
}
bool CkSFtp::RemoveFile(const char *path) {
  Arg p(path);
  return m_impl->RemoveFile(p.v, m_event);
}
bool CkSFtp::RenameFileOrDir(const char *oldPath, const char *newPath) {
  Arg o(oldPath), n(newPath);
  return m_impl->RenameFileOrDir(o.v, n.v, m_event);
}
bool CkSFtp::SetPermissions(const char *path, int permissions) {
  Arg p(path);
  return m_impl->SetPermissions(p.v, false, (unsigned int)permissions, m_event);
}
long long CkSFtp::GetFileSize64(const char *path, bool followLinks) {
  Arg p(path);
  return m_impl->GetFileSize(p.v, followLinks, false, m_event);
}
int CkSFtp::GetFilePermissions(const char *path) {
  Arg p(path);
  int permissions = 0;
  return m_impl->GetFilePermissions(p.v, false, false, permissions, m_event) ? permissions : -1;
}

std::string CkSFtp::lastErrorText() const {
  return logOf(*m_impl, LogForm::Text);
}
std::string CkSFtp::lastErrorHtml() const {
  return logOf(*m_impl, LogForm::Html);
}
std::string CkSFtp::lastErrorXml() const {
  return logOf(*m_impl, LogForm::Xml);
}
bool CkSFtp::SaveLastError(const char *path) {
  return m_impl->SaveXmlLog(path);
}
std::string CkSFtp::debugLogFilePath() const {
  return debugPathOf(*m_impl);
}
void CkSFtp::put_DebugLogFilePath(const char *path) {
  putDebugPath(*m_impl, path);
}
