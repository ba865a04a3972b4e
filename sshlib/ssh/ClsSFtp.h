// The SFTP client: one SSH connection, one "sftp" session channel, and the file, directory and
// attribute operations of SFTP versions 3 to 6 over it. Every operation blocks on the caller's
// thread and writes its outcome into the object's log.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sshlib/core/ClsBase.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/HashMap.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/RazudodCritSec.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"
#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/SFtpFileAttr.h"
#include "sshlib/ssh/SftpBatchFile.h"
#include "sshlib/ssh/SocketReadFailInfo.h"
#include "sshlib/ssh/SshIdent.h"

class ClsSshKey;
class ProgressEvent;
class ProgressMonitor;
class RazudodSysTime;
class SshChannel;
class SshTransport;

// One open handle: where sequential reads and writes stand, and the directory path of a
// directory handle.
struct SftpLastRead : public RazudodObject {
  bool eof = false;
  unsigned int lastReadNumBytes = 0;
  long long readOffset = 0;
  long long writeOffset = 0;
  bool lastReadFailed = false;
  std::string dirPath;
};

// One entry of a directory listing: its name (UTF-8) and the attributes the server sent. An
// entry read from a listing keeps the attribute bytes as they came and decodes them when first
// asked, and its call log is made only when something is logged into it, so that a listing of
// many entries stays near its size on the wire. Every getter answers from the attributes alone;
// without attributes the numbers read 0, the flags false, the texts empty and the times now.
class ClsSFtpFile : public ClsBase, public RazudodCritSec {
public:
  ClsSFtpFile() = default;
  // The name's bytes as the server sent them, the charset they are in (null, empty or one that
  // names no code page: taken as they are) and the attributes, which the entry then owns.
  ClsSFtpFile(const char *name, const char *charset, SFtpFileAttr *attr);
  // A listing entry: the name already in UTF-8, and the attribute bytes of the version.
  ClsSFtpFile(const std::string &utf8Name, unsigned int version, const unsigned char *wire,
              unsigned int wireLen);
  ~ClsSFtpFile() override;
  // Empties the name and drops the attributes.
  void clear();

  void get_Filename(XString &out) const;
  std::string filenameUtf8() const { return nameAndWire.substr(0, nameLen); }
  long long get_Size64() const { return attrs().size; }
  int get_Permissions() const { return (int)attrs().permissions; }
  int get_Uid() const { return (int)attrs().uid; }
  int get_Gid() const { return (int)attrs().gid; }
  void get_Owner(XString &out) const;
  void get_Group(XString &out) const;
  bool get_IsRegular() const { return attrs().fileType == 1; }
  bool get_IsDirectory() const { return attrs().fileType == 2; }
  bool get_IsSymLink() const { return attrs().fileType == 3; }
  // "regular", "directory", "symLink", ... by the SFTP file type; empty without attributes.
  void get_FileType(XString &out) const;
  // Attribute bits of versions 5 and 6 (read-only 0x1, system 0x2, hidden 0x4, ...).
  bool attribBit(unsigned int bit) const { return (attrs().attribBits & bit) != 0; }
  bool get_IsReadOnly() const { return attribBit(0x1); }
  bool get_IsSystem() const { return attribBit(0x2); }
  bool get_IsHidden() const { return attribBit(0x4); }
  bool get_IsCaseInsensitive() const { return attribBit(0x8); }
  bool get_IsArchive() const { return attribBit(0x10); }
  bool get_IsEncrypted() const { return attribBit(0x20); }
  bool get_IsCompressed() const { return attribBit(0x40); }
  bool get_IsSparse() const { return attribBit(0x80); }
  bool get_IsAppendOnly() const { return attribBit(0x100); }
  bool get_IsImmutable() const { return attribBit(0x200); }
  bool get_IsSync() const { return attribBit(0x400); }
  // UTC times; the current time when the entry has none. Each getter's log (the entry's own,
  // emptied first) holds a context of its name ("LastModifiedTime", "CreateTime",
  // "LastAccessTime") telling what it found.
  void get_LastModifiedTime(RazudodSysTime &out);
  void get_CreateTime(RazudodSysTime &out);
  void get_LastAccessTime(RazudodSysTime &out);
  // Text form: Base64 of the name, ",", the attributes' text form. Each way logs in a context of
  // its own ("serialize", "unserialize"); `verbose` adds the name (as "filename") and, on the way
  // back, the attributes' fields.
  void serialize(XString &out, LogBase &log, bool verbose = false) const;
  bool unserialize(XString &in, LogBase &log, bool verbose = false);
  bool hasAttrs() const { return attributes || hasWire(); }
  const SFtpFileAttr &attrs() const;
  // A copy with its attributes decoded, leaving this entry as compact as it is.
  std::unique_ptr<ClsSFtpFile> decodedCopy() const;

private:
  void timeGetter(const char *name, int which, RazudodSysTime &out);
  void setName(const char *p, size_t n);
  bool hasWire() const { return nameAndWire.size() > nameLen; }
  std::unique_ptr<SFtpFileAttr> decodeWire() const;
  // The name (UTF-8), then, for a listing entry not yet decoded, the ATTRS bytes of the version
  // in wireVersion: one block for both keeps a long listing small.
  std::string nameAndWire;
  unsigned int nameLen = 0;
  unsigned char wireVersion = 0;
  mutable std::unique_ptr<SFtpFileAttr> attributes;
};

// One listing. It has a log of its own, into which the copies it hands out are logged.
class ClsSFtpDir : public ClsBase, public RazudodCritSec {
public:
  ~ClsSFtpDir() override;
  int get_NumFilesAndDirs() const { return (int)entries.size(); }
  const ClsSFtpFile *entry(int i) const {
    return i >= 0 && i < (int)entries.size() ? entries[(size_t)i].get() : nullptr;
  }
  ClsSFtpFile *entry(int i) {
    return i >= 0 && i < (int)entries.size() ? entries[(size_t)i].get() : nullptr;
  }
  bool GetFilename(int i, XString &out) const;
  // The directory as OpenDir was given it (after its trailing slashes went).
  void get_OriginalPath(XString &out) const { out.setFromUtf8(OriginalPath.c_str()); }
  // An independent copy of an entry (owned by the caller), or null out of range, made through
  // the entry's text form.
  ClsSFtpFile *GetFileObject(int i, LogBase &log) const;
  // The same in the listing's own log, decoded straight from the entry (an application copies
  // every entry of a listing it shows).
  ClsSFtpFile *GetFileObject(int i);
  // Appends the entries of one SSH_FXP_NAME packet ("." and ".." left out). Names are converted
  // from the charset (empty or "utf-8": taken as they are) to UTF-8; a name that would not come
  // back to the same bytes when sent is left out with a log line, since any operation on it
  // would reach another file.
  bool loadSshFxpName(int version, const StringBuffer &charset, bool verbose,
                      const DataBuffer &packet, LogBase &log);
  std::string OriginalPath;
  std::vector<std::unique_ptr<ClsSFtpFile>> entries;
  // Bytes of names and attributes taken in, for the listing's bound.
  unsigned long long bytesTaken = 0;
};

// A remote name as the server sent it, in UTF-8: false when the bytes do not convert to UTF-8
// and back to themselves under the charset.
bool sftpNameToUtf8(const std::string &raw, const StringBuffer &charset, std::string &utf8);

class ClsSFtp : public ClsBase,
                public ClsSocksClient,
                public ClsHttpProxyClient,
                public RazudodCritSec {
public:
  ClsSFtp();
  ~ClsSFtp() override;

  // ---- Session.
  bool Connect(XString &host, int port, ProgressEvent *ev);
  bool AuthenticatePw(XString &login, XString &password, ProgressEvent *ev);
  bool AuthenticatePk(XString &login, ClsSshKey *key, ProgressEvent *ev);
  bool AuthenticatePwPk(XString &login, XString &password, ClsSshKey *key, ProgressEvent *ev);
  bool InitializeSftp(ProgressEvent *ev);
  void Disconnect();
  // Whether a connection is held (the socket is not probed: a connection the peer closed counts
  // until an operation notices).
  bool get_IsConnected() const { return transport != nullptr; }
  void get_HostKeyFingerprint(StringBuffer &out) const;

  // ---- Files and handles.
  bool OpenFile(XString &path, const char *access, const char *disposition, XString &handle,
                ProgressEvent *ev);
  bool CloseHandle(XString &handle, ProgressEvent *ev);
  bool DownloadFile(XString &handle, XString &localPath, ProgressEvent *ev);
  bool DownloadFileByName(XString &remotePath, XString &localPath, ProgressEvent *ev);
  bool ResumeDownloadFileByName(XString &remotePath, XString &localPath, ProgressEvent *ev);
  // The system's error number of the last download into a local file that could not take its
  // bytes (a full disk, a quota), 0 when its writes did not fail.
  int get_LastLocalWriteError() const { return m_localWriteErrno; }
  bool ReadFileBytes(XString &handle, unsigned int numBytes, DataBuffer &out, ProgressEvent *ev);
  bool ReadFileBytes64(XString &handle, long long offset, unsigned int numBytes, DataBuffer &out,
                       ProgressEvent *ev);
  int AccumulateBytes(XString &handle, int numBytes, ProgressEvent *ev);
  bool ReadFileText(XString &handle, unsigned int numBytes, const char *charset, XString &out,
                    ProgressEvent *ev);
  bool ReadFileText64(XString &handle, long long offset, unsigned int numBytes, const char *charset,
                      XString &out, ProgressEvent *ev);
  bool WriteFileText(XString &handle, const char *charset, XString &text, ProgressEvent *ev);
  bool WriteFileText64(XString &handle, long long offset, const char *charset, XString &text,
                       ProgressEvent *ev);
  bool UploadFile(XString &handle, XString &localPath, ProgressEvent *ev);
  bool UploadFileByName(XString &remotePath, XString &localPath, ProgressEvent *ev);
  bool ResumeUploadFileByName(XString &remotePath, XString &localPath, ProgressEvent *ev);
  bool WriteFileBytes(XString &handle, const DataBuffer &data, ProgressEvent *ev);
  bool WriteFileBytes64(XString &handle, long long offset, const DataBuffer &data,
                        ProgressEvent *ev);
  bool Eof(XString &handle) const;
  unsigned int LastReadNumBytes(XString &handle) const;
  bool LastReadFailed(XString &handle) const;

  // ---- Many files at once. Each file of the list is transferred whole, with up to `window`
  // files in flight: the OPEN of the next files goes out while earlier ones are still read,
  // written or closed, so that a folder of small files does not wait a round trip per request.
  // `done(i)` is called as file i ends, with its ok flag and error set; returning false starts
  // no further file (those already in flight end first). A download goes into its local path,
  // which is removed again when the file fails. False when the session broke or the batch was
  // aborted: every file that did not end carries an error then.
  using BatchDone = std::function<bool(size_t)>;
  bool DownloadFiles(std::vector<SftpBatchFile> &files, unsigned int window, const BatchDone &done,
                     ProgressEvent *ev);
  bool UploadFiles(std::vector<SftpBatchFile> &files, unsigned int window, const BatchDone &done,
                   ProgressEvent *ev);

  // ---- Directories.
  bool OpenDir(XString &path, XString &handle, ProgressEvent *ev);
  ClsSFtpDir *ReadDir(XString &handle, ProgressEvent *ev);

  // ---- Paths and attributes.
  bool RealPath(XString &path, XString &composePath, XString &out, ProgressEvent *ev);
  bool RenameFileOrDir(XString &oldPath, XString &newPath, ProgressEvent *ev);
  bool CreateDir(XString &path, ProgressEvent *ev);
  bool RemoveDir(XString &path, ProgressEvent *ev);
  bool RemoveFile(XString &path, ProgressEvent *ev);
  bool SetLastAccessTime(XString &target, bool isHandle, RazudodSysTime &t, ProgressEvent *ev);
  bool SetLastModifiedTime(XString &target, bool isHandle, RazudodSysTime &t, ProgressEvent *ev);
  bool SetCreateTime(XString &target, bool isHandle, RazudodSysTime &t, ProgressEvent *ev);
  bool SetPermissions(XString &target, bool isHandle, unsigned int perms, ProgressEvent *ev);
  bool SetOwnerAndGroup(XString &target, bool isHandle, XString &owner, XString &group,
                        ProgressEvent *ev);
  long long GetFileSize(XString &target, bool followLinks, bool isHandle, ProgressEvent *ev);
  bool GetFilePermissions(XString &target, bool followLinks, bool isHandle, int &out,
                          ProgressEvent *ev);
  bool GetFileOwner(XString &target, bool followLinks, bool isHandle, XString &out,
                    ProgressEvent *ev);
  bool GetFileGroup(XString &target, bool followLinks, bool isHandle, XString &out,
                    ProgressEvent *ev);
  bool GetFileLastAccess(XString &target, bool followLinks, bool isHandle, RazudodSysTime &out,
                         ProgressEvent *ev);
  bool GetFileLastModified(XString &target, bool followLinks, bool isHandle, RazudodSysTime &out,
                           ProgressEvent *ev);
  bool GetFileCreateTime(XString &target, bool followLinks, bool isHandle, RazudodSysTime &out,
                         ProgressEvent *ev);
  bool CopyFileAttr(XString &localPath, XString &target, bool isHandle, ProgressEvent *ev);

  // ---- Properties as accessor pairs. Those that a live connection uses reach it at once.
  bool get_ForceV3() const { return ForceV3; }
  void put_ForceV3(bool v) { ForceV3 = v; }
  bool get_UtcMode() const { return UtcMode; }
  // Times stay in UTC: the setter keeps the value as it is.
  void put_UtcMode(bool) {}
  bool get_TcpNoDelay() const { return TcpNoDelay; }
  void put_TcpNoDelay(bool v);
  bool get_PasswordChangeRequested() const { return PasswordChangeRequested; }
  bool get_VerboseLogging() const { return VerboseLogging; }
  void put_VerboseLogging(bool v) { VerboseLogging = v; }
  bool get_PreserveDate() const { return PreserveDate; }
  void put_PreserveDate(bool v) { PreserveDate = v; }
  bool get_EnableCache() const { return EnableCache; }
  void put_EnableCache(bool v) { EnableCache = v; }
  bool get_KeepSessionLog() const { return KeepSessionLog; }
  void put_KeepSessionLog(bool v);
  // The session log of the live connection, else the one kept from the connection dropped last.
  void get_SessionLog(XString &out) const;
  // Empties the session log, the live connection's and the one kept from a dropped connection.
  void ClearSessionLog();
  void get_ClientIpAddress(XString &out) const { out.setFromUtf8(ClientIpAddress.c_str()); }
  void put_ClientIpAddress(XString &v);
  void get_ClientIdentifier(XString &out) const { out.setFromUtf8(ClientIdentifier.c_str()); }
  void put_ClientIdentifier(XString &v) { ClientIdentifier = v.getUtf8(); }
  void put_PreferredHostKeyType(const char *type) { PreferredHostKeyType = type ? type : ""; }
  int get_ProtocolVersion() const { return ProtocolVersion; }
  void get_FilenameCharset(XString &out) const { out.setFromUtf8(FilenameCharset.getString()); }
  void put_FilenameCharset(XString &v) { FilenameCharset.setString(v.getUtf8()); }
  int get_IdleTimeoutMs() const { return (int)IdleTimeoutMs; }
  void put_IdleTimeoutMs(int v) { IdleTimeoutMs = v < 0 ? 0 : (unsigned int)v; }
  int get_ConnectTimeoutMs() const { return (int)ConnectTimeoutMs; }
  void put_ConnectTimeoutMs(int v) { ConnectTimeoutMs = v < 0 ? 0 : (unsigned int)v; }
  int get_HeartbeatMs() const { return (int)HeartbeatMs; }
  void put_HeartbeatMs(int v);
  int get_MaxPacketSize() const { return (int)MaxPacketSize; }
  // Below 256 the packet could not hold an SFTP header and any data: 256 is kept then.
  void put_MaxPacketSize(int v) { MaxPacketSize = v < 256 ? 256u : (unsigned int)v; }
  int get_InitializeFailCode() const { return (int)InitializeFailCode; }
  void get_InitializeFailReason(XString &out) const {
    out.setFromUtf8(InitializeFailReason.getString());
  }
  int get_DisconnectCode() const { return (int)DisconnectCode; }
  void get_DisconnectReason(XString &out) const { out.setFromUtf8(DisconnectReason.getString()); }
  DataBuffer &get_AccumulateBuffer() { return AccumulateBuffer; }
  // Opens a public method's log context with the server's identification and the SFTP version.
  void enterContext(const char *name);
  // The object's id, as the log of a connect, a login, an initialisation or an upload names it.
  void logObjectId();

  // ---- Fields (as the constructor sets them).
  bool ForceV3 = false;
  bool UtcMode = true;
  bool TcpNoDelay = false;
  bool PasswordChangeRequested = false;
  bool VerboseLogging = false;
  bool PreserveDate = false;
  bool EnableCache = false;
  bool KeepSessionLog = false;
  // WRITE requests outstanding before status replies are collected: across a link the replies
  // take a round trip, and the WRITEs in flight must fill it up to the server's window (2 MiB
  // from OpenSSH's sshd and Go's x/crypto servers). 64 x 32000 bytes stay just below that, so
  // the count, not the window, would pause the upload; 96 leave the window the only limit.
  unsigned int sendAheadMaxCount = 96;
  DataBuffer AccumulateBuffer;
  std::string ClientIpAddress;
  std::string ClientIdentifier = kSshDefaultClientIdent;
  // The type of the host key remembered for the server (the first word of its fingerprint), asked
  // for first; empty for none.
  std::string PreferredHostKeyType;
  int ProtocolVersion = 0;
  // The permission bits a file made by an open is created with; -1: the server's default. A
  // private file's new content, written under a temporary name, is private from its first byte.
  int CreatePermissions = -1;
  StringBuffer SessionLog;
  // The trace of a file open whose connection was dropped before the open ended.
  StringBuffer droppedSshLog;
  StringBuffer FilenameCharset;
  unsigned int IdleTimeoutMs = 30000;
  unsigned int ConnectTimeoutMs = 30000;
  unsigned int HeartbeatMs = 0;
  // The session channel's window: 4 MiB, so that a server sending a download never waits for
  // our window adjust (the benchmark shows it beside OpenSSH's sftp).
  unsigned int channelInitialWindow = 4194304;
  unsigned int MaxPacketSize = 32768;
  unsigned int InitializeFailCode = 0;
  StringBuffer InitializeFailReason;
  unsigned int DisconnectCode = 0;
  StringBuffer DisconnectReason;
  std::vector<std::string> extensionNames, extensionData;
  // Transfer-rate meters: reads add to the download meter, writes to the upload meter.
  PerformanceMon downloadPerf, uploadPerf;
  int m_localWriteErrno = 0;
  // READs of 64 KiB kept in flight by a download: as much as the window holds. A server that
  // gives less at once is asked more, smaller READs, for the same bytes in flight.
  unsigned int readAheadCount = 64;
  // What the server gives for one READ and takes in one WRITE at most, once known (from its
  // limits@openssh.com answer, or, for reads, from its short answers); 0 while unknown.
  unsigned int serverReadSize = 0, serverWriteSize = 0;
  // The limits@openssh.com request whose answer has not been read yet (0: none).
  unsigned int limitsRequestId = 0;

  // Bounds on what a server may make us hold.
  static constexpr unsigned int kMaxSftpPacket = 512 * 1024;
  int maxDirEntries = 1000000;
  unsigned long long maxDirBytes = 512ull * 1024 * 1024;

  // ---- Internal operations (the packet layer and the loops under the public methods).
  using Sink = std::function<bool(const unsigned char *, unsigned int)>;
  using Source = std::function<int(unsigned char *, unsigned int)>; // bytes read, -1 error
  bool sendPacket(unsigned char type, const DataBuffer &payload, unsigned int &requestId,
                  ProgressMonitor *pm);
  // The first packet after INIT, the server's VERSION (the word after its type is the version).
  bool readPacket1(DataBuffer &packet, unsigned char &type, unsigned int &version,
                   ProgressMonitor *pm);
  // The next whole SFTP packet: length, type, request id and fields. Packets that came in one
  // channel message after the one taken wait in pendingPackets.
  bool readPacket2(DataBuffer &packet, unsigned char &type, unsigned int &requestId,
                   ProgressMonitor *pm);
  std::deque<DataBuffer> pendingPackets;
  // Reads the STATUS reply to the request sent last.
  bool readStatusResponse(const char *requestName, ProgressMonitor *pm);
  // Reads the reply to request `id`. A reply that answers any other request means the server's
  // stream is out of step with ours: the session is closed and false returned.
  bool readReply(unsigned int id, DataBuffer &reply, unsigned char &type, ProgressMonitor *pm);
  // Sends one request and reads its reply; 0 (with noReplyText logged when a reply could not
  // be read) when either fails.
  unsigned char exchange(unsigned char type, const DataBuffer &payload, DataBuffer &reply,
                         const char *noReplyText, ProgressMonitor *pm);
  // The handle bytes of a HANDLE reply; false (logged) when unreadable or too long.
  static bool parseHandle(const DataBuffer &reply, DataBuffer &raw, LogBase &log);
  static constexpr unsigned int kMaxHandleBytes = 256;
  // The handle of a HANDLE reply as hexadecimal text, recorded in the handle table.
  bool takeHandle(const DataBuffer &reply, XString &handle, const std::string &dirPath);
  void logStatusResponse(const char *requestName, const DataBuffer &packet);
  void logStatusResponse(const char *requestName, unsigned int code, const StringBuffer &message);
  // The message of a STATUS packet, cut to a bound (a server may send any length).
  static void parseStatusMessage(const DataBuffer &packet, StringBuffer &message);
  // Takes the answer to the limits@openssh.com request.
  void takeLimits(unsigned char type, const DataBuffer &packet);
  // False (logged) for a name that FilenameCharset cannot carry whole; a handle always packs.
  bool packHandleOrFilename(XString &nameOrHandle, bool isHandle, DataBuffer &out);
  bool packFilename(XString &name, DataBuffer &out);
  // Sends SSH_FXP_OPEN (once more under a "./" name after "not found", for a plain read of a
  // name relative to the login folder, which names the same file). The
  // transport traces the open's messages, and the trace is logged under "SshLog" when it ends.
  bool openFile(XString &path, const char *access, const char *disposition, XString &handle,
                ProgressMonitor *pm);
  bool openFileAttempts(const std::string &firstPath, const char *access, const char *disposition,
                        XString &handle, ProgressMonitor *pm);
  // The path as the server takes it (a drive letter rewritten for the servers that want it).
  std::string serverPath(const std::string &path) const;
  // The fields of an SSH_FXP_OPEN request; false when the path cannot be packed. `mayRetry`:
  // the open may be tried again under a "./" name after a "not found" status (a plain read only).
  bool packOpenRequest(const std::string &path, const char *access, const char *disposition,
                       DataBuffer &payload, bool &mayRetry);
  static bool isNotFoundStatus(const DataBuffer &pkt);
  // The "./" form of a name relative to the login folder into `out`; false for an absolute name
  // (or one already in that form), which no other name may stand for.
  static bool sameFileInLoginFolder(const std::string &path, std::string &out);
  bool transferBatch(std::vector<SftpBatchFile> &files, bool upload, unsigned int window,
                     const BatchDone &done, ProgressMonitor *pm);
  // statusMatters: a CLOSE the server refuses is a failure (a written file); else it is logged.
  bool closeHandle(XString &handle, ProgressMonitor *pm, bool statusMatters = false);
  // Sends the CLOSE of a handle whose answer changes nothing for the caller (a file read to its
  // end) without waiting for it: the status is taken off when the next reply is read, so the
  // next request goes out at once. Waits as closeHandle does when many are unanswered.
  bool closeHandleLater(XString &handle, ProgressMonitor *pm);
  // sizeHint: the file's size when known (-1 else). Reads are sent up to it and one past it (for
  // the end of file) until those are answered; a file that grew meanwhile is read on.
  bool downloadLoop(XString &handle, long long offset, long long length, bool toEof,
                    const Sink &out, ProgressMonitor *pm, long long sizeHint = -1);
  bool downloadFileByName_new(XString &remotePath, XString &localPath, bool resume,
                              ProgressMonitor *pm);
  bool uploadFile(XString &handle, XString &localPath, bool resume, long long startOffset,
                  ProgressMonitor *pm);
  bool writeDataSource(XString &handle, long long offset, const Source &src, ProgressMonitor *pm);
  // Whether the caller asked to stop: an abort already answered, or one asked at a heartbeat.
  bool abortRequested(ProgressMonitor *pm);
  // Asks the caller about abort when the progress has no percent left to report (no known
  // total, or the total reached); true when the caller asked to stop.
  bool askAbortWhenNoPercentLeft(ProgressMonitor *pm);
  // Under PreserveDate, gives the remote file behind the handle the local file's times.
  bool preserveDateOnUpload(XString &handle, XString &localPath, ProgressMonitor *pm);
  SFtpFileAttr *fetchAttributes2(XString &target, bool followLinks, bool isHandle, bool sizeOnly,
                                 bool &owned, ProgressMonitor *pm);
  long long getFileSize(XString &target, bool followLinks, bool isHandle, ProgressMonitor *pm);
  SFtpFileAttr *findAttrInCache(bool flag, XString &name);
  bool addToAttrCache2(SFtpFileAttr *rec);
  void clearCache();
  // Drops what the cache holds for a name that was changed.
  void dropCached(XString &name);
  bool packAttrs(XString &localPath, DataBuffer &out);
  bool removeFile1(XString &path, ProgressMonitor *pm);
  // SSH_FXP_REMOVE of the path, its status read under "FXP_REMOVE".
  bool removeFile2(XString &path, ProgressMonitor *pm);
  void handleReadFailure(SocketReadFailInfo &fi, bool disconnectReceived);
  // A server whose SFTP stream is out of step: the connection is closed and dropped.
  void dropOutOfStep();
  // Closes and drops the connection at once with a reason: what the server still owes us can no
  // longer be told apart from the replies to later requests.
  void closeSession(const char *why);
  // The guards of the public methods: false, with the reason logged, without a connection (and,
  // for checkChannel, without the SFTP channel); these two then close the caller's log context.
  // checkInitialized only logs its reason.
  bool checkConnected();
  bool checkChannel();
  bool checkInitialized();
  void refuseInGuard(const char *why);
  // Set by a guard that closed the running operation's log context; its frame then adds nothing.
  bool guardLeftContext = false;
  SftpLastRead *findHandle(XString &handle);
  const SftpLastRead *findHandle(XString &handle) const;

  // Open handles (their hexadecimal text) to their SftpLastRead records.
  std::unique_ptr<HashMap> handleTable = std::make_unique<HashMap>(400);
  // A new record for a handle just opened (one already under that text is replaced).
  void addHandle(const std::string &handleText, const std::string &dirPath = std::string());
  void dropHandle(const std::string &handleText) { handleTable->hashDelete2(handleText.c_str()); }
  SFtpFileAttr *attrCache[20] = {};
  int attrCacheNext = 0;
  SshTransport *transport = nullptr;
  SshChannel *sftpChannel = nullptr;
  bool isAuthenticated = false;
  bool sftpInitialized = false;
  unsigned int nextChannelNum = 0;
  unsigned int nextRequestId = 1;
  // The request id of the packet sent last.
  unsigned int lastRequestId = 0;
  // CLOSE requests sent by closeHandleLater whose status has not come yet.
  std::vector<unsigned int> unansweredCloses;

private:
  bool connect2(XString &host, int port, ProgressMonitor *pm);
  // The frame the three logins share: the guards, then a password login, or a key login (the
  // password, when given, handed on with the key).
  bool authenticate(XString &login, XString *password, bool withKey, ClsSshKey *key,
                    ProgressMonitor *pm);
  void dropTransport();
  bool setStat(const char *ctx, XString &target, bool isHandle, SFtpFileAttr &attr,
               ProgressMonitor *pm);
  bool setTime(const char *ctx, XString &target, bool isHandle, RazudodSysTime &t, int which,
               ProgressEvent *ev);
  template <class F>
  bool getAttr(const char *ctx, XString &target, bool followLinks, bool isHandle, ProgressEvent *ev,
               F take);
  // A time of the attribute record as a calendar time: the 32-bit seconds on version 3, the 64-bit
  // ones with their nanoseconds after it. With `logged`, the access and modification getters'
  // conversion to local time (when UtcMode is off) and their "dateTime" line.
  void toCalendar(long long t64, unsigned int ns, unsigned int t32, bool logged,
                  RazudodSysTime &out);
  bool simpleRequest(const char *ctx, unsigned char type, const char *reqName, XString &path,
                     XString *path2, ProgressEvent *ev);
  bool fillInBuf(ProgressMonitor *pm);
  // The sequential read of a handle from where the last one ended. `recordRead`: the read is a
  // byte read, whose result the handle keeps (lastReadFailed, and lastReadNumBytes at its end);
  // without it the end of the file fails the read.
  bool readFileBytesToDb(XString &handle, unsigned int numBytes, DataBuffer &out,
                         ProgressMonitor *pm, bool recordRead = true);
  // A read at a given offset (charset: named in the log for a text read, else null).
  bool readAt(XString &handle, long long offset, unsigned int numBytes, const char *charset,
              DataBuffer &out, ProgressMonitor *pm);
  // A write at the handle's write offset (the end of the remote file for its first write), and
  // at a given offset.
  // The bytes written through the handle at the offset (writeDataSource over them).
  bool writeFile(XString &handle, long long offset, const DataBuffer &data, ProgressMonitor *pm);
  bool writeAtEnd(XString &handle, const DataBuffer &data, ProgressMonitor *pm);
  bool writeAt(XString &handle, long long offset, const DataBuffer &data, ProgressMonitor *pm);
  // Pipelined transfers send many small requests and window adjusts; with Nagle's algorithm
  // each waits for the ACK of the one before, which the server delays. No-delay is on while a
  // transfer loop runs (as OpenSSH always has it) and back to TcpNoDelay afterwards.
  struct NoDelayScope {
    explicit NoDelayScope(ClsSFtp &s);
    ~NoDelayScope();
    ClsSFtp &s;
  };

  // Channel bytes received and not yet taken as whole SFTP packets.
  DataBuffer inBuf;
  unsigned int inPos = 0;
  // Cuts every whole packet of inBuf into pendingPackets; false (the session dropped) for a
  // length out of bounds.
  bool splitPendingPackets();
  void clearReceived();
};
