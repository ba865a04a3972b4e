// The public SFTP objects of the library: each owns one implementation object, created and
// destroyed with it, and forwards to it. Texts cross as UTF-8; results are flags, counts or null
// objects, and the reason of a failure is in LastErrorText (LastErrorHtml, LastErrorXml).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sshlib/ssh/SftpBatchFile.h"

class ClsSFtp;
class ClsSFtpDir;
class ClsSFtpFile;
class ClsSshKey;
class DataBuffer;
class ProgressEvent;
class XString;

// The base of the public objects: not copyable, destroyed through any of its kinds.
class CkObject {
public:
  CkObject() = default;
  virtual ~CkObject() = default;
  CkObject(const CkObject &) = delete;
  CkObject &operator=(const CkObject &) = delete;
};

// A text of the library.
class CkString : public CkObject {
public:
  CkString();
  ~CkString() override;
  std::string getString() const;
  void setString(const char *utf8);
  int getSizeUtf8() const;
  XString &impl() { return *m_impl; }

private:
  XString *m_impl;
};

// Bytes of the library.
class CkByteData : public CkObject {
public:
  CkByteData();
  ~CkByteData() override;
  int getSize() const;
  const unsigned char *getData() const;
  void append(const void *data, int n);
  void clear();
  DataBuffer &impl() { return *m_impl; }

private:
  DataBuffer *m_impl;
};

// An SSH key read from a key file (PEM, PuTTY, OpenSSH or XML forms).
class CkSshKey : public CkObject {
public:
  CkSshKey();
  ~CkSshKey() override;
  // The pass phrase of an encrypted key; set before loading.
  void put_Password(const char *utf8);
  bool LoadKeyFile(const char *path);
  // Loads the key from its text, whatever its form.
  bool FromText(const char *text);
  bool get_IsPrivateKey() const;
  bool get_IsDsaKey() const;
  std::string lastErrorText() const;
  std::string lastErrorHtml() const;
  std::string lastErrorXml() const;
  // Writes the last operation's log as XML to the file; false for a blank path or a failed write.
  bool SaveLastError(const char *path);
  // While set, each operation's log is also appended to this file as it happens.
  std::string debugLogFilePath() const;
  void put_DebugLogFilePath(const char *path);
  ClsSshKey &impl() { return *m_impl; }

private:
  ClsSshKey *m_impl;
};

// One entry of a listing. It keeps no log of its own (nor LastErrorText), so that a long listing
// stays small.
class CkSFtpFile : public CkObject {
public:
  explicit CkSFtpFile(ClsSFtpFile *impl); // takes ownership
  ~CkSFtpFile() override;
  std::string filename() const;
  long long get_Size64() const;
  int get_Permissions() const;
  std::string owner() const;
  std::string group() const;
  bool get_IsRegular() const;
  bool get_IsDirectory() const;
  bool get_IsSymLink() const;
  // Seconds since 1970 of the last change; 0 when the server gave none.
  long long get_LastModifiedUnix() const;
  // Attribute bits (SFTP versions 5 and 6; false on older servers).
  bool get_IsReadOnly() const;
  bool get_IsSystem() const;
  bool get_IsHidden() const;
  bool get_IsCaseInsensitive() const;
  bool get_IsArchive() const;
  bool get_IsEncrypted() const;
  bool get_IsCompressed() const;
  bool get_IsSparse() const;
  bool get_IsAppendOnly() const;
  bool get_IsImmutable() const;
  bool get_IsSync() const;

private:
  ClsSFtpFile *m_impl;
};

// The entries of one listing.
class CkSFtpDir : public CkObject {
public:
  explicit CkSFtpDir(ClsSFtpDir *impl); // takes ownership
  ~CkSFtpDir() override;
  int get_NumFilesAndDirs() const;
  std::string originalPath() const;
  // A copy of entry i; null out of range. The caller owns it.
  CkSFtpFile *GetFileObject(int i) const;
  // The listing's own log: its last operation, as text, HTML or XML.
  std::string lastErrorText() const;
  std::string lastErrorHtml() const;
  std::string lastErrorXml() const;
  // While set, each operation's log is also appended to this file as it happens.
  std::string debugLogFilePath() const;
  void put_DebugLogFilePath(const char *path);

private:
  ClsSFtpDir *m_impl;
};

// What the application hears of a transfer, called on the transfer's thread: setting abort
// stops it.
class CkSFtpProgress {
public:
  virtual ~CkSFtpProgress() = default;
  virtual void PercentDone(int pct, bool &abort) {
    (void)pct;
    abort = false;
  }
  virtual void AbortCheck(bool &abort) { abort = false; }
};

// An SFTP session over one SSH connection. Every operation blocks the calling thread.
class CkSFtp : public CkObject {
public:
  CkSFtp();
  ~CkSFtp() override;

  bool Connect(const char *host, int port);
  bool AuthenticatePw(const char *login, const char *password);
  bool AuthenticatePk(const char *login, CkSshKey &key);
  // Public-key login that also hands the server the password when it asks for one after the key.
  bool AuthenticatePwPk(const char *login, const char *password, CkSshKey &key);
  bool InitializeSftp();
  void Disconnect();
  bool get_IsConnected() const;
  // The server's host key as the transport reports it ("ssh-rsa 2048 ab:cd:..."); empty when not
  // connected.
  std::string hostKeyFingerprint() const;
  // Empties the session log (kept only when the session log is switched on).
  void ClearSessionLog();
  // The type of the host key remembered for the server (the first word of a fingerprint), asked
  // for first at the next Connect so that the same key is shown.
  void put_PreferredHostKeyType(const char *type);
  void put_FilenameCharset(const char *charset);
  void put_ConnectTimeoutMs(int ms);
  void put_IdleTimeoutMs(int ms);
  // How often a wait asks the progress object whether to abort (0: never).
  void put_HeartbeatMs(int ms);
  // Downloads and uploads carry the file times across.
  void put_PreserveDate(bool preserve);
  // A SOCKS proxy (version 4 or 5; any other version: none) or an HTTP CONNECT proxy.
  void put_SocksVersion(int version);
  void put_SocksHostname(const char *host);
  void put_SocksPort(int port);
  void put_SocksUsername(const char *user);
  void put_SocksPassword(const char *password);
  void put_HttpProxyHostname(const char *host);
  void put_HttpProxyPort(int port);
  void put_HttpProxyUsername(const char *user);
  void put_HttpProxyPassword(const char *password);
  void put_HttpProxyDomain(const char *domain);
  void put_HttpProxyAuthMethod(const char *method);
  // Progress reports of the transfers (UpdatePct) and the place to abort them.
  void put_EventCallbackObject(CkSFtpProgress *progress);

  bool RealPath(const char *path, const char *composePath, CkString &out);
  bool OpenDir(const char *path, CkString &handle);
  // The entries of an open folder; null on failure. The caller owns it.
  CkSFtpDir *ReadDir(const char *handle);
  bool CloseHandle(const char *handle);
  // Opens a remote file ("readOnly", "openExisting"...); its handle in `handle`.
  bool OpenFile(const char *path, const char *access, const char *disposition, CkString &handle);
  // Up to `numBytes` of an open file from `offset` (fewer at its end), appended to `out`.
  bool ReadFileBytes64(const char *handle, long long offset, unsigned int numBytes,
                       std::vector<unsigned char> &out);
  bool DownloadFileByName(const char *remotePath, const char *localPath);
  // The system's error number when the last download's local file could not take its bytes (a
  // full disk, a quota); 0 when its writes did not fail.
  int lastLocalWriteError() const;
  bool UploadFileByName(const char *remotePath, const char *localPath);
  // The same; a remote file that the upload creates is made with these permission bits (a
  // server may ignore them; an existing file keeps its own).
  bool UploadFileByName(const char *remotePath, const char *localPath, int createPermissions);
  // Many whole files with up to `window` of them in flight at once; `done(i)` as file i ends
  // (false from it starts no further file). False when the session broke or the batch was
  // aborted; each file carries its own outcome.
  bool DownloadFiles(std::vector<SftpBatchFile> &files, unsigned int window,
                     const std::function<bool(size_t)> &done);
  bool UploadFiles(std::vector<SftpBatchFile> &files, unsigned int window,
                   const std::function<bool(size_t)> &done);
  bool CreateDir(const char *path);
  bool RemoveDir(const char *path);
  bool RemoveFile(const char *path);
  bool RenameFileOrDir(const char *oldPath, const char *newPath);
  bool SetPermissions(const char *path, int permissions);
  // -1 when the size cannot be read.
  long long GetFileSize64(const char *path, bool followLinks);
  // The file's permission bits (links not followed); -1 when they cannot be read.
  int GetFilePermissions(const char *path);

  std::string lastErrorText() const;
  std::string lastErrorHtml() const;
  std::string lastErrorXml() const;
  bool SaveLastError(const char *path);
  // While set, each operation's log is also appended to this file as it happens.
  std::string debugLogFilePath() const;
  void put_DebugLogFilePath(const char *path);

private:
  ClsSFtp *m_impl;
  // The library's view of the application's progress object.
  std::unique_ptr<ProgressEvent> m_adapter;
  ProgressEvent *m_event = nullptr;
};
