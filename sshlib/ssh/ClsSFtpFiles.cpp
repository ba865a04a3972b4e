// File handles, downloads with READs kept in flight, uploads with WRITEs sent ahead.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <unordered_map>

#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/ssh/ClsSFtp.h"
#include "sshlib/ssh/ClsSFtpOp.h"
#include "sshlib/ssh/SFtpReadRecords.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

namespace {

constexpr unsigned int kReadSize = 65536;
// CLOSE requests sent without waiting for their answers, at most.
constexpr size_t kMaxUnansweredCloses = 32;
constexpr unsigned int kWriteSize = 32000;
// DATA replies in a row with no bytes before a download gives up on the server.
constexpr unsigned int kMaxEmptyReads = 64;

bool hasWord(const char *text, const char *word) {
  return text && strcasestr(text, word) != nullptr;
}

// "appendData" as a whole word, not as the start of "appendDataAtomic".
bool hasWholeWord(const char *text, const char *word) {
  size_t n = strlen(word);
  for (const char *p = text; p && (p = strcasestr(p, word)); p += n) {
    bool before = p == text || !isalnum((unsigned char)p[-1]);
    bool after = !isalnum((unsigned char)p[n]);
    if (before && after) return true;
  }
  return false;
}

struct OpenFlags {
  unsigned int v3 = 0, access = 0, v5 = 0;
};

OpenFlags openFlags(const char *access, const char *disposition) {
  OpenFlags f;
  if (hasWord(access, "readOnly")) {
    f.v3 = 0x1;
    f.access = 0x81;
  } else if (hasWord(access, "writeOnly")) {
    f.v3 = 0x2;
    f.access = 0x102;
  } else {
    f.v3 = 0x3;
    f.access = 0x183;
  }
  static const struct {
    const char *word;
    unsigned int v3, v5;
  } dispositions[] = {{"createNew", 0x28, 0},
                      {"createTruncate", 0x18, 1},
                      {"openExisting", 0, 2},
                      {"openOrCreate", 0x8, 3},
                      {"truncateExisting", 0x10, 4}};
  for (auto &d : dispositions)
    if (hasWord(disposition, d.word)) {
      f.v3 |= d.v3;
      f.v5 = d.v5;
      break;
    }
  static const struct {
    const char *word;
    unsigned int bit;
  } extra[] = {
      {"appendDataAtomic", 0x10}, {"textMode", 0x20},       {"blockRead", 0x40},
      {"blockWrite", 0x80},       {"blockDelete", 0x100},   {"blockAdvisory", 0x200},
      {"noFollow", 0x400},        {"deleteOnClose", 0x800}, {"accessAuditAlarmInfo", 0x1000},
      {"accessBackup", 0x2000},   {"backupStream", 0x4000}, {"overrideOwner", 0x8000}};
  if (hasWholeWord(disposition, "appendData")) {
    f.v5 |= 0x8;
    f.v3 |= 0x6;
  }
  for (auto &e : extra)
    if (hasWord(disposition, e.word)) f.v5 |= e.bit;
  return f;
}

bool statusCode(const DataBuffer &pkt, unsigned int &code) {
  unsigned int idx = 9;
  return SshTransport::parseUint32(pkt, idx, code);
}

bool notFound(const DataBuffer &pkt) {
  unsigned int idx = 9, code = 0;
  StringBuffer msg;
  SshTransport::parseUint32(pkt, idx, code);
  SshTransport::parseString(pkt, idx, msg);
  return code == 2 || msg.containsSubstringNoCase("not found") ||
         msg.containsSubstringNoCase("No such file");
}

void setLocalTimes(int fd, const SFtpFileAttr &a, LogBase &log) {
  long long m = a.lastModifiedTime64 ? a.lastModifiedTime64 : a.lastModifiedTime32;
  long long at = a.lastAccessTime64 ? a.lastAccessTime64 : a.lastAccessTime32;
  long long c = a.createTime64 ? a.createTime64 : a.createTime32;
  log.LogDataLong("hasLastModifiedDate", m ? 1 : 0);
  log.LogDataLong("hasCreateDate", c ? 1 : 0);
  log.LogDataLong("hasLastAccessDate", at ? 1 : 0);
  const struct {
    const char *tag;
    long long seconds;
    unsigned int ns;
  } dates[] = {{"lastModified", m, a.lastModifiedTimeNs},
               {"createDate", c, a.createTimeNs},
               {"lastAccess", at, a.lastAccessTimeNs}};
  for (const auto &d : dates) {
    if (!d.seconds) continue;
    RazudodSysTime st;
    SFtpFileAttr::getSysTimeUTC(d.seconds, d.ns, st);
    log.LogSystemTime(d.tag, st);
  }
  // The file system keeps no creation time: the modification and access times are set.
  if (!m && !at) return;
  if (!at) at = m;
  if (!m) m = at;
  struct timespec ts[2] = {{(time_t)at, (long)a.lastAccessTimeNs},
                           {(time_t)m, (long)a.lastModifiedTimeNs}};
  futimens(fd, ts);
}

} // namespace

std::string ClsSFtp::serverPath(const std::string &path) const {
  if (transport && (transport->isWeOnlyDo() || transport->isBitvise()) && path.size() >= 3 &&
      isalpha((unsigned char)path[0]) && path[1] == ':' && (path[2] == '/' || path[2] == '\\')) {
    std::string out(1, '/');
    out += path[0];
    out += '/';
    out.append(path, 3, std::string::npos);
    return out;
  }
  return path;
}

bool ClsSFtp::packOpenRequest(const std::string &path, const char *access, const char *disposition,
                              DataBuffer &payload, bool &mayRetry) {
  OpenFlags f = openFlags(access, disposition);
  XString name;
  name.setFromUtf8(path.c_str());
  mayRetry = false;
  if (!packFilename(name, payload)) return false;
  if (ProtocolVersion < 5) {
    SshTransport::pack_uint32(f.v3, payload);
  } else {
    SshTransport::pack_uint32(f.access, payload);
    SshTransport::pack_uint32(f.v5, payload);
  }
  SFtpFileAttr none;
  none.fileType = 1;
  // Only a create carries permissions: an open of an existing file leaves its mode alone.
  const bool creates = (f.v3 & 0x8) != 0;
  if (creates && CreatePermissions >= 0) {
    none.validFlags = SFtpFileAttr::kPermissions;
    none.permissions = (unsigned int)CreatePermissions & 07777;
  }
  none.packFileAttr((unsigned)ProtocolVersion, payload, m_log, VerboseLogging);
  // Only a plain read may be tried again under another name: a create or truncate must not
  // touch a second file.
  mayRetry = f.v3 == 0x1;
  return true;
}

bool ClsSFtp::isNotFoundStatus(const DataBuffer &pkt) {
  return notFound(pkt);
}

bool ClsSFtp::openFile(XString &pathIn, const char *access, const char *disposition,
                       XString &handle, ProgressMonitor *pm) {
  handle.clear();
  if (transport) {
    transport->sshLog.clear();
    transport->sshLog.append("\r\n");
    transport->keepSshLog = true;
  }
  droppedSshLog.clear();
  const bool ok = openFileAttempts(serverPath(pathIn.getUtf8()), access, disposition, handle, pm);
  // Whatever the outcome, the trace goes to the log and the transport stops keeping it. Peer texts
  // in it were escaped as they were written.
  if (transport) {
    m_log.LogData("SshLog", transport->sshLog.getString());
    transport->keepSshLog = false;
    transport->sshLog.clear();
  } else if (droppedSshLog.getSize()) {
    m_log.LogData("SshLog", droppedSshLog.getString());
    droppedSshLog.clear();
  }
  return ok;
}

bool ClsSFtp::openFileAttempts(const std::string &firstPath, const char *access,
                               const char *disposition, XString &handle, ProgressMonitor *pm) {
  std::string path = firstPath;
  bool mayRetry = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    DataBuffer payload;
    if (!packOpenRequest(path, access, disposition, payload, mayRetry)) return false;
    DataBuffer pkt;
    unsigned char type = exchange(3, payload, pkt, "Failed to receive response to FXP_OPEN", pm);
    if (type == 0) return false;
    if (type == 102) return takeHandle(pkt, handle, "");
    if (type != 101) {
      m_log.LogError("Unexpected response to FXP_OPEN");
      m_log.LogDataLong("packetType", type);
      return false;
    }
    logStatusResponse("FXP_OPEN", pkt);
    if (attempt > 0 || !mayRetry || !notFound(pkt) || !sameFileInLoginFolder(path, path))
      return false;
  }
  return false;
}

bool ClsSFtp::sameFileInLoginFolder(const std::string &path, std::string &out) {
  // An absolute name (a drive letter's too) names one file only: under "./" it would name
  // another, below the login folder, and a missing file would be answered with that one.
  const bool absolute = path.empty() || path[0] == '/' || path[0] == '\\' ||
                        (path.size() >= 2 && isalpha((unsigned char)path[0]) && path[1] == ':');
  if (absolute || path.rfind("./", 0) == 0) return false;
  out = "./" + path;
  return true;
}

bool ClsSFtp::closeHandle(XString &handle, ProgressMonitor *pm, bool statusMatters) {
  DataBuffer payload;
  packHandleOrFilename(handle, true, payload);
  dropHandle(handle.getUtf8());
  DataBuffer pkt;
  unsigned char type = exchange(4, payload, pkt, "Failed to receive response to FXP_CLOSE", pm);
  if (type == 0) return false;
  if (type != 101) {
    m_log.LogError("Unexpected response to FXP_CLOSE");
    return false;
  }
  unsigned int code = 0;
  if (statusCode(pkt, code) && code == 0) return true;
  logStatusResponse("FXP_CLOSE", pkt);
  return !statusMatters;
}

bool ClsSFtp::closeHandleLater(XString &handle, ProgressMonitor *pm) {
  // A server that never answers CLOSE must not make the list grow without end.
  if (unansweredCloses.size() >= kMaxUnansweredCloses) return closeHandle(handle, pm);
  DataBuffer payload;
  packHandleOrFilename(handle, true, payload);
  dropHandle(handle.getUtf8());
  unsigned int id = 0;
  if (!sendPacket(4, payload, id, pm)) return false;
  unansweredCloses.push_back(id);
  return true;
}

bool ClsSFtp::OpenFile(XString &path, const char *access, const char *disposition, XString &handle,
                       ProgressEvent *ev) {
  SftpOp op(*this, "OpenFile", ev);
  if (!op.ready()) return op.done(false);
  downloadPerf.resetPerformanceMon();
  uploadPerf.resetPerformanceMon();
  return op.done(openFile(path, access, disposition, handle, op.pm()));
}

bool ClsSFtp::CloseHandle(XString &handle, ProgressEvent *ev) {
  SftpOp op(*this, "CloseHandle", ev);
  // Without a session nothing was closed, and a CLOSE the server refused did not close the
  // handle either: neither is a success.
  if (!op.ready()) return op.done(false);
  m_log.LogData("handle", handle.getUtf8());
  return op.done(closeHandle(handle, op.pm(), true));
}

ClsSFtp::NoDelayScope::NoDelayScope(ClsSFtp &sftp) : s(sftp) {
  if (s.transport) s.transport->setNoDelay(true);
}

ClsSFtp::NoDelayScope::~NoDelayScope() {
  if (s.transport) s.transport->setNoDelay(s.TcpNoDelay);
}

namespace {

// READs unanswered at once, at most, whatever their size.
constexpr size_t kMaxReadsInFlight = 256;
// The smallest READ asked, however little a server gives at once.
constexpr unsigned int kMinReadSize = 512;

// One download from a handle. READs are kept in flight up to the read-ahead (counted in bytes, so
// that a server that answers less than 64 KiB at once is asked more, smaller READs); their
// replies reach the output in file order: a reply that comes before its turn is held as an
// `SFtpReadReceived` until the older ones have been consumed. A short answer has the rest asked
// at once, in the same flight, without waiting for its turn.
class HandleDownload {
public:
  HandleDownload(ClsSFtp &s, XString &handle, long long offset, long long length, bool toEof,
                 const ClsSFtp::Sink &sink, ProgressMonitor *pm, long long sizeHint)
      : s(s), sink(sink), pm(pm), toEof(toEof), rec(s.findHandle(handle)), next(offset),
        end(toEof ? -1 : offset + length), written(offset), sizeHint(sizeHint),
        budget((unsigned long long)s.readAheadCount * kReadSize) {
    s.packHandleOrFilename(handle, true, rawHandle);
  }

  bool run() {
    DataBuffer pkt;
    for (;;) {
      // Everything up to the known size (and one read past it) is answered and no end of file
      // came: the file grew, and is read on with the full read-ahead.
      if (sizeHint >= 0 && next > sizeHint && requests.empty()) sizeHint = -1;
      if (!sendReads()) return false;
      // Once failed, the replies still owed are read off, so that the session stays in step.
      if (requests.empty()) break;
      auto held = early.find(requests.front().requestId);
      if (held != early.end()) {
        std::unique_ptr<SFtpReadReceived> r = std::move(held->second);
        early.erase(held);
        heldBytes -= r->data.getSize();
        consumeFront(*r);
        continue;
      }
      if (!takeReply(pkt)) return false;
    }
    return !failed;
  }

private:
  using List = std::list<SFtpReadRequest>;

  // Logs `why` (unless null) for the first failure only.
  void fail(const char *why) {
    if (!failed && why) s.m_log.LogError(why);
    failed = true;
    // Nothing more reaches the output: held replies are dropped, only the unanswered requests
    // are still waited for.
    for (auto it = requests.begin(); it != requests.end();) {
      if (early.count(it->requestId)) {
        byId.erase(it->requestId);
        it = requests.erase(it);
      } else {
        ++it;
      }
    }
    early.clear();
    heldBytes = 0;
  }

  unsigned int readSize() const {
    unsigned int cap = s.serverReadSize;
    return cap && cap < kReadSize ? std::max(cap, kMinReadSize) : kReadSize;
  }

  bool send(long long off, unsigned int len, List::iterator before, unsigned int restOf = 0) {
    DataBuffer p;
    p.append(rawHandle);
    SshTransport::pack_int64(off, p);
    SshTransport::pack_uint32(len, p);
    unsigned int id = 0;
    if (!s.sendPacket(5, p, id, pm)) return false;
    auto it = requests.emplace(before, id, off, len);
    it->restOf = restOf;
    byId[id] = it;
    ++unanswered;
    unansweredBytes += len;
    return true;
  }

  // READs up to the read-ahead, the end asked for and the known size.
  bool sendReads() {
    while (!eofSeen && !failed && unanswered < kMaxReadsInFlight &&
           requests.size() < 2 * kMaxReadsInFlight && unansweredBytes < budget &&
           heldBytes < budget && (toEof || next < end) && !(sizeHint >= 0 && next > sizeHint)) {
      unsigned int len = readSize();
      if (!toEof && end - next < len) len = (unsigned int)(end - next);
      // A read ends at the known size, so that the next one asks at the end itself: a small
      // file is then read and its end seen in one round trip, not two.
      if (sizeHint > next && sizeHint - next < len) len = (unsigned int)(sizeHint - next);
      if (!send(next, len, requests.end())) return false;
      next += len;
    }
    return true;
  }

  // Reads one reply and consumes it when its turn has come, else holds it.
  bool takeReply(DataBuffer &pkt) {
    unsigned int rid = 0;
    unsigned char type = 0;
    if (!s.readPacket2(pkt, type, rid, pm)) {
      s.m_log.LogError(s.transport ? "Server closed the channel." : "Disconnected.");
      return false;
    }
    auto found = byId.find(rid);
    if (found == byId.end() || early.count(rid)) {
      // A reply to nothing we asked: the stream is out of step.
      s.m_log.LogError("Received a read reply with an unknown request id.");
      s.m_log.LogDataLong("requestId", (int)rid);
      s.dropOutOfStep();
      return false;
    }
    List::iterator req = found->second;
    --unanswered;
    unansweredBytes -= req->length;
    if (failed) {
      byId.erase(found);
      requests.erase(req);
      return true;
    }
    auto r = std::make_unique<SFtpReadReceived>();
    r->packetType = type;
    r->requestId = rid;
    if (type == 103 && !takeData(req, pkt, *r)) {
      // Unreadable data fails the download (the session goes on); a rest that could not be
      // asked means the session broke.
      if (!failed) return false;
      byId.erase(rid);
      requests.erase(req);
      return true;
    } else if (type == 101) {
      unsigned int idx = 9;
      SshTransport::parseUint32(pkt, idx, r->statusCode);
      ClsSFtp::parseStatusMessage(pkt, r->statusMessage);
    }
    if (req == requests.begin()) {
      consumeFront(*r);
      return true;
    }
    heldBytes += r->data.getSize();
    early[rid] = std::move(r);
    return true;
  }

  // The bytes of a DATA reply into the record. A short answer has its rest asked at once, and an
  // answer to such a rest shows what the server gives at once: later READs ask that much.
  bool takeData(List::iterator req, const DataBuffer &pkt, SFtpReadReceived &r) {
    unsigned int idx = 9, n = 0;
    if (!SshTransport::parseUint32(pkt, idx, n) || n > pkt.getSize() - idx || n > req->length) {
      fail("Failed to parse FXP_DATA.");
      return false;
    }
    r.data.append(pkt.getData2() + idx, n);
    r.eof = pkt.getSize() > idx + n && pkt.getData2()[idx + n] != 0;
    if (n == 0 && !r.eof && ++emptyRun > kMaxEmptyReads) {
      fail("The server answers reads with no data.");
      return false;
    }
    if (n) emptyRun = 0;
    if (n && req->restOf && (!s.serverReadSize || req->restOf < s.serverReadSize))
      s.serverReadSize = req->restOf;
    if (n < req->length && !r.eof) {
      const unsigned int rest = req->length - n;
      req->length = n;
      if (!send(req->offset + n, rest, std::next(req), n)) return false;
    }
    return true;
  }

  // The reply to the oldest request: its data goes to the output.
  void consumeFront(const SFtpReadReceived &r) {
    const SFtpReadRequest req = requests.front();
    byId.erase(req.requestId);
    requests.pop_front();
    if (r.packetType == 103)
      takeBytes(req, r);
    else if (r.packetType == 101)
      takeStatus(r);
    else
      unexpected(r.packetType);
    if (!failed && s.abortRequested(pm)) fail("Aborted by the application.");
  }

  void unexpected(unsigned char packetType) {
    if (!failed) {
      s.m_log.LogError("Unexpected response.");
      s.m_log.LogDataLong("packetType", packetType);
    }
    fail(nullptr);
  }

  void takeBytes(const SFtpReadRequest &req, const SFtpReadReceived &r) {
    const unsigned int n = r.data.getSize();
    if (eofSeen) {
      // Data for a request beyond a reported end of file: the server contradicts itself, and
      // those bytes would land where the file's own bytes belong.
      if (n) fail("Received data past the end of the file.");
      return;
    }
    if (req.offset != written) {
      fail("Received data for the wrong place in the file.");
      return;
    }
    if (n && !sink(r.data.getData2(), n)) {
      fail("Failed to write downloaded data.");
      return;
    }
    written += n;
    s.downloadPerf.updatePerformance32(n, pm);
    if (rec) {
      rec->readOffset = req.offset + n;
      rec->lastReadNumBytes = n;
    }
    if (pm && n) {
      bool abort = false;
      pm->consume2_64(n, abort);
      if (abort || pm->get_Aborted() || s.askAbortWhenNoPercentLeft(pm))
        fail("Aborted by the application.");
    }
    if (r.eof) {
      eofSeen = true;
      if (rec) rec->eof = true;
    }
  }

  void takeStatus(const SFtpReadReceived &r) {
    if (r.statusCode == 1) {
      if (!eofSeen && !failed && rec) {
        rec->eof = true;
        rec->lastReadNumBytes = 0;
      }
      eofSeen = true;
      return;
    }
    if (!failed) {
      s.m_log.LogError("Unexpected status response.");
      s.logStatusResponse("FXP_READ", r.statusCode, r.statusMessage);
    }
    fail(nullptr);
  }

  ClsSFtp &s;
  const ClsSFtp::Sink &sink;
  ProgressMonitor *const pm;
  const bool toEof;
  SftpLastRead *const rec;
  DataBuffer rawHandle;
  // Outstanding requests in file order (a rest follows the request it completes), and by id.
  List requests;
  std::unordered_map<unsigned int, List::iterator> byId;
  std::unordered_map<unsigned int, std::unique_ptr<SFtpReadReceived>> early;
  size_t unanswered = 0;
  unsigned long long unansweredBytes = 0, heldBytes = 0;
  long long next, end;
  // Where the next byte of the output belongs: every DATA reply must start exactly there.
  long long written;
  long long sizeHint;
  const unsigned long long budget;
  bool eofSeen = false, failed = false;
  // DATA replies in a row that brought nothing.
  unsigned int emptyRun = 0;
};

} // namespace

bool ClsSFtp::downloadLoop(XString &handle, long long offset, long long length, bool toEof,
                           const Sink &sink, ProgressMonitor *pm, long long sizeHint) {
  if (!transport || !sftpChannel) {
    m_log.LogError("Disconnected.");
    return false;
  }
  NoDelayScope noDelay(*this);
  return HandleDownload(*this, handle, offset, length, toEof, sink, pm, sizeHint).run();
}

bool ClsSFtp::askAbortWhenNoPercentLeft(ProgressMonitor *pm) {
  // Percents ask about abort as they rise. With no total (the server gave no size) or a total
  // already reached (the file grew) none rises again, so the question is asked here instead.
  if (!pm || pm->m_amountConsumed < pm->m_totalAmount) return false;
  bool abort = false;
  pm->getProgEvent_CAREFUL()->AbortCheck(abort);
  if (abort) pm->m_aborted = true;
  return abort;
}

bool ClsSFtp::abortRequested(ProgressMonitor *pm) {
  if (!pm) return false;
  if (pm->get_Aborted()) return true;
  return HeartbeatMs && pm->heartbeatCheck(HeartbeatMs < 50 ? 50 : HeartbeatMs, 0);
}

namespace {
// A failed write leaves the system's reason in `failure` (ENOSPC for one that took nothing).
ClsSFtp::Sink fdSink(int fd, int &failure) {
  return [fd, &failure](const unsigned char *p, unsigned int n) {
    while (n) {
      ssize_t w = write(fd, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        failure = w < 0 ? errno : ENOSPC;
        return false;
      }
      p += w;
      n -= (unsigned int)w;
    }
    return true;
  };
}
} // namespace

bool ClsSFtp::DownloadFile(XString &handle, XString &localPath, ProgressEvent *ev) {
  SftpOp op(*this, "DownloadFile", ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("handle", handle.getUtf8());
  m_log.LogData("toFilename", localPath.getUtf8());
  m_log.LogDataLong("tcpNoDelay", TcpNoDelay ? 1 : 0);
  handle.trim2();
  if (handle.getSizeUtf8() == 0) {
    m_log.LogError("Handle argument is a zero-length string.");
    return op.done(false);
  }
  bool owned = false;
  m_log.EnterContext("FetchRemoteFileAttributes", true);
  std::unique_ptr<SFtpFileAttr> attr(
      fetchAttributes2(handle, false, true, !PreserveDate, owned, op.pm()));
  if (!attr)
    m_log.LogInfo("Unable to get file size information from open handle.  Proceeding without the "
                  "ability to monitor progress.");
  if (!attr || !attr->hasSize)
    m_log.LogError("SFTP server did not provide remote file size.");
  else
    m_log.LogDataInt64("remoteFileSize", attr->size);
  m_log.LeaveContext();
  int fd = open(localPath.getUtf8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    m_log.LogError("Failed to create output file on local filesystem.");
    return op.done(false);
  }
  m_localWriteErrno = 0;
  bool sized = attr && attr->hasSize;
  if (sized) {
    if (op.pm()) op.pm()->progressReset_64(attr->size);
  } else {
    m_log.LogInfo("Reading until end of file...");
  }
  bool ok = downloadLoop(handle, 0, sized ? attr->size : 0, !sized, fdSink(fd, m_localWriteErrno),
                         op.pm());
  if (m_localWriteErrno) m_log.LogData("localError", std::strerror(m_localWriteErrno));
  if (ok && attr && PreserveDate) setLocalTimes(fd, *attr, m_log);
  close(fd);
  if (ok && op.pm()) op.pm()->consumeRemaining(0);
  return op.done(ok);
}

bool ClsSFtp::downloadFileByName_new(XString &remotePath, XString &localPath, bool resume,
                                     ProgressMonitor *pm) {
  XString handle;
  m_localWriteErrno = 0;
  if (!openFile(remotePath, "readOnly", "openExisting", handle, pm)) return false;
  bool owned = false;
  std::unique_ptr<SFtpFileAttr> attr(fetchAttributes2(handle, false, true, false, owned, pm));
  long long start = 0;
  int fd = -1;
  if (resume) {
    fd = open(localPath.getUtf8(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) start = st.st_size;
  } else {
    fd = open(localPath.getUtf8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  if (fd < 0) {
    m_log.LogError("Failed to create output file on local filesystem.");
    closeHandle(handle, pm);
    return false;
  }
  bool ok = true;
  if (resume && attr && attr->hasSize && start >= attr->size) {
    m_log.LogInfo("Local file size is already equal or greater than remote file size");
  } else {
    // The bar runs over what is still to come.
    if (pm && attr && attr->hasSize) pm->progressReset_64(attr->size - start);
    ok = downloadLoop(handle, start, 0, true, fdSink(fd, m_localWriteErrno), pm,
                      attr && attr->hasSize ? attr->size : -1);
    if (m_localWriteErrno) m_log.LogData("localError", std::strerror(m_localWriteErrno));
  }
  if (ok && attr && PreserveDate) setLocalTimes(fd, *attr, m_log);
  close(fd);
  // What was read is in the local file: the server's answer to the CLOSE changes nothing.
  if (transport && sftpChannel) closeHandleLater(handle, pm);
  if (ok && pm) pm->consumeRemaining(0);
  return ok;
}

bool ClsSFtp::DownloadFileByName(XString &remotePath, XString &localPath, ProgressEvent *ev) {
  SftpOp op(*this, "DownloadFileByName", ev);
  if (!op.ready()) return op.done(false);
  downloadPerf.resetPerformanceMon();
  return op.done(downloadFileByName_new(remotePath, localPath, false, op.pm()));
}

bool ClsSFtp::ResumeDownloadFileByName(XString &remotePath, XString &localPath, ProgressEvent *ev) {
  SftpOp op(*this, "ResumeDownloadFileByName", ev);
  if (!op.ready()) return op.done(false);
  downloadPerf.resetPerformanceMon();
  return op.done(downloadFileByName_new(remotePath, localPath, true, op.pm()));
}

bool ClsSFtp::readFileBytesToDb(XString &handle, unsigned int numBytes, DataBuffer &out,
                                ProgressMonitor *pm, bool recordRead) {
  SftpLastRead *rec = findHandle(handle);
  if (!rec) {
    m_log.LogError("Invalid handle.");
    return false;
  }
  if (rec->eof) {
    m_log.LogInfo("Already at end-of-file.");
    if (!recordRead) return false;
    rec->lastReadNumBytes = 0;
    rec->lastReadFailed = false;
    return true;
  }
  m_log.LogDataLong("numBytes", (int)numBytes);
  m_log.LogDataInt64("nextReadIdx", rec->readOffset);
  unsigned int received = 0;
  bool ok = downloadLoop(
      handle, rec->readOffset, numBytes, false,
      [&](const unsigned char *p, unsigned int n) {
        received += n;
        return out.append(p, n);
      },
      pm);
  if ((rec = findHandle(handle))) {
    if (recordRead) rec->lastReadFailed = !ok;
    m_log.LogDataInt64("newNextReadIdx", rec->readOffset);
  }
  m_log.LogDataLong("numBytesReceived", (int)received);
  return ok;
}

bool ClsSFtp::ReadFileBytes(XString &handle, unsigned int numBytes, DataBuffer &out,
                            ProgressEvent *ev) {
  SftpOp op(*this, "ReadFileBytes", ev);
  out.clear();
  return op.done(op.ready() && readFileBytesToDb(handle, numBytes, out, op.pm()));
}

int ClsSFtp::AccumulateBytes(XString &handle, int numBytes, ProgressEvent *ev) {
  SftpOp op(*this, "AccumulateBytes", ev);
  unsigned int before = AccumulateBuffer.getSize();
  if (numBytes < 0 || !op.done(op.ready() && readFileBytesToDb(handle, (unsigned int)numBytes,
                                                               AccumulateBuffer, op.pm())))
    return -1;
  return (int)(AccumulateBuffer.getSize() - before);
}

namespace {
void decodeText(DataBuffer &bytes, const char *charset, XString &out) {
  bytes.appendCharN(0, 2);
  out.appendFromEncoding((const char *)bytes.getData2(), charset);
}
} // namespace

bool ClsSFtp::ReadFileText(XString &handle, unsigned int numBytes, const char *charset,
                           XString &out, ProgressEvent *ev) {
  SftpOp op(*this, "ReadFileText", ev);
  out.clear();
  // The handle and its end of file come before the session guards here.
  SftpLastRead *rec = findHandle(handle);
  if (!rec) {
    m_log.LogError("Invalid handle.");
    return op.done(false);
  }
  if (rec->eof) {
    m_log.LogInfo("Already at end-of-file.");
    return op.done(false);
  }
  DataBuffer bytes;
  if (!op.ready() || !readFileBytesToDb(handle, numBytes, bytes, op.pm(), false))
    return op.done(false);
  decodeText(bytes, charset, out);
  return op.done(true);
}

bool ClsSFtp::ReadFileText64(XString &handle, long long offset, unsigned int numBytes,
                             const char *charset, XString &out, ProgressEvent *ev) {
  SftpOp op(*this, "ReadFileText64", ev);
  out.clear();
  if (!op.ready()) return op.done(false);
  DataBuffer bytes;
  if (!readAt(handle, offset, numBytes, charset, bytes, op.pm())) return op.done(false);
  decodeText(bytes, charset, out);
  return op.done(true);
}

bool ClsSFtp::ReadFileBytes64(XString &handle, long long offset, unsigned int numBytes,
                              DataBuffer &out, ProgressEvent *ev) {
  SftpOp op(*this, "ReadFileBytes64", ev);
  out.clear();
  if (!op.ready()) return op.done(false);
  return op.done(readAt(handle, offset, numBytes, nullptr, out, op.pm()));
}

bool ClsSFtp::readAt(XString &handle, long long offset, unsigned int numBytes, const char *charset,
                     DataBuffer &out, ProgressMonitor *pm) {
  m_log.LogData("handle", handle.getUtf8());
  m_log.LogDataInt64("offset64", offset);
  m_log.LogDataLong("numBytes", (int)numBytes);
  if (charset) m_log.LogData("charset", charset);
  if (offset < 0) {
    m_log.LogError("Invalid offset");
    return false;
  }
  return downloadLoop(
      handle, offset, numBytes, false,
      [&](const unsigned char *p, unsigned int n) { return out.append(p, n); }, pm);
}

bool ClsSFtp::writeDataSource(XString &handle, long long offset, const Source &src,
                              ProgressMonitor *pm) {
  // The connection may have gone during the size query just before.
  if (!transport || !sftpChannel) {
    m_log.LogError("Disconnected.");
    return false;
  }
  NoDelayScope noDelay(*this);
  DataBuffer rawHandle;
  packHandleOrFilename(handle, true, rawHandle);
  std::deque<unsigned int> pending;
  bool failed = false;
  // False when no reply could be read or the reply does not belong to an outstanding WRITE; the
  // session is closed then (an unknown reply means the stream is out of step).
  auto collectOne = [&]() {
    DataBuffer pkt;
    unsigned char type = 0;
    unsigned int rid = 0;
    if (!readPacket2(pkt, type, rid, pm)) return false;
    auto it = std::find(pending.begin(), pending.end(), rid);
    if (type != 101 || it == pending.end()) {
      m_log.LogError("Unexpected reply to FXP_WRITE.");
      m_log.LogDataLong("packetType", type);
      m_log.LogDataLong("requestId", (int)rid);
      closeSession("The SFTP session is closed: the server's replies are out of step.");
      return false;
    }
    pending.erase(it);
    unsigned int code = 1;
    if (!statusCode(pkt, code) || code != 0) {
      if (!failed) logStatusResponse("FXP_WRITE", pkt);
      failed = true;
    }
    return true;
  };
  // Servers that grant a small window get small pieces, so that each fits in what is left.
  unsigned int savedMax = MaxPacketSize;
  if (sftpChannel->m_curServerWinSize < 200000 &&
      !transport->serverIdent.containsSubstring("GlobalSCAPE")) {
    m_log.LogInfo("Using specialized upload for small server window size...");
    MaxPacketSize = 2048;
  }
  // A server that takes less in one WRITE (its limits@openssh.com answer) gets that much.
  const unsigned int writeSize =
      serverWriteSize && serverWriteSize < kWriteSize ? serverWriteSize : kWriteSize;
  std::vector<unsigned char> buf(writeSize);
  bool ok = true;
  for (;;) {
    int n = src(buf.data(), writeSize);
    if (n < 0) {
      m_log.LogError("Failed to read the local data.");
      failed = true;
      break;
    }
    if (n == 0) break;
    DataBuffer p;
    p.append(rawHandle);
    SshTransport::pack_int64(offset, p);
    SshTransport::pack_binString(buf.data(), (unsigned int)n, p);
    unsigned int id = 0;
    if (!sendPacket(6, p, id, pm)) {
      m_log.LogError("Failed to send packet in SFTP file upload.");
      ok = false;
      break;
    }
    pending.push_back(id);
    offset += n;
    uploadPerf.updatePerformance32((unsigned int)n, pm);
    if (pm) {
      bool abort = false;
      pm->consume2_64(n, abort);
      if (abort || pm->get_Aborted()) {
        m_log.LogError("Aborted by the application.");
        failed = true;
        break;
      }
    }
    if (abortRequested(pm)) {
      m_log.LogError("Aborted by the application.");
      failed = true;
      break;
    }
    while (ok && pending.size() >= sendAheadMaxCount)
      ok = collectOne();
    while (ok && !pending.empty() && sftpChannel && sftpChannel->m_curServerWinSize <= 33023)
      ok = collectOne();
    if (!ok || failed) break;
  }
  // Every reply still owed is read, also after a failure, so that none is left for the next
  // operation to take as its own.
  while (ok && !pending.empty())
    ok = collectOne();
  if (!ok) m_log.LogError("Failed to get write status replies..");
  MaxPacketSize = savedMax;
  if (SftpLastRead *rec = findHandle(handle)) rec->writeOffset = offset;
  return ok && !failed;
}

bool ClsSFtp::uploadFile(XString &handle, XString &localPath, bool resume, long long start,
                         ProgressMonitor *pm) {
  if (!findHandle(handle)) {
    m_log.LogError("Invalid handle.");
    return false;
  }
  if (!resume) start = 0;
  if (resume && start < 0) {
    start = getFileSize(handle, false, true, pm);
    if (start < 0) start = 0;
  }
  int fd = open(localPath.getUtf8(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    m_log.LogError("Failed to open local file.");
    m_log.LogData("localPath", localPath.getUtf8());
    return false;
  }
  if (resume && st.st_size <= start) {
    m_log.LogInfo("Local file size already equal or larger than remote file size.");
    close(fd);
    return true;
  }
  long long pos = start;
  if (pm) pm->progressReset_64(st.st_size - start);
  bool ok = writeDataSource(
      handle, start,
      [&](unsigned char *p, unsigned int n) {
        ssize_t r = pread(fd, p, n, pos);
        if (r > 0) pos += r;
        return (int)r;
      },
      pm);
  close(fd);
  if (ok && pm) pm->consumeRemaining(0);
  return ok;
}

bool ClsSFtp::preserveDateOnUpload(XString &handle, XString &localPath, ProgressMonitor *pm) {
  if (!PreserveDate || !transport || !sftpChannel) return true;
  DataBuffer payload;
  packHandleOrFilename(handle, true, payload);
  if (!packAttrs(localPath, payload)) return false;
  unsigned int id = 0;
  return sendPacket(10, payload, id, pm) && readStatusResponse("copyFileAttr", pm);
}

bool ClsSFtp::UploadFile(XString &handle, XString &localPath, ProgressEvent *ev) {
  SftpOp op(*this, "UploadFile", ev);
  m_log.LogData("handle", handle.getUtf8());
  m_log.LogData("filename", localPath.getUtf8());
  if (!op.ready()) return op.done(false);
  bool ok = uploadFile(handle, localPath, false, 0, op.pm());
  if (ok) ok = preserveDateOnUpload(handle, localPath, op.pm());
  clearCache();
  return op.done(ok);
}

bool ClsSFtp::UploadFileByName(XString &remotePath, XString &localPath, ProgressEvent *ev) {
  SftpOp op(*this, "UploadFileByName", ev);
  const unsigned int start = Psdk::getTickCount();
  logObjectId();
  m_log.LogData("remoteFilename", remotePath.getUtf8());
  m_log.LogData("localFilename", localPath.getUtf8());
  if (!op.ready()) {
    m_log.LogData("ResumeInfo", "Can resume");
    m_log.LogData("ResumeInfo", "Need reconnect");
    return op.done(false);
  }
  if (VerboseLogging)
    m_log.LogDataInt64("ServerInitialWindowSize", sftpChannel->serverInitialWindowSize);
  uploadPerf.resetPerformanceMon();
  XString handle;
  unsigned int t = Psdk::getTickCount();
  const bool opened = openFile(remotePath, "writeOnly", "createTruncate", handle, op.pm());
  m_log.LogDataInt64("timeToOpenMs", Psdk::getTickCount() - t);
  if (!opened) {
    m_log.LogError("Failed to open file.");
    m_log.LogData("ResumeInfo", "Cannot resume");
    return op.done(false);
  }
  bool ok = uploadFile(handle, localPath, false, 0, op.pm());
  if (ok) ok = preserveDateOnUpload(handle, localPath, op.pm());
  if (!ok) m_log.LogError("Failed to upload file.");
  // A server may report a write it could not complete only at the CLOSE: then the file is not
  // uploaded, whatever the writes were told.
  t = Psdk::getTickCount();
  if (transport && sftpChannel && !closeHandle(handle, op.pm(), true) && ok) {
    m_log.LogError("The server refused to close the uploaded file.");
    ok = false;
  }
  m_log.LogDataInt64("timeToCloseMs", Psdk::getTickCount() - t);
  if (!ok) {
    // What the server acknowledged stays; whether the session must be built again first.
    m_log.LogData("ResumeInfo", "Can resume");
    m_log.LogData("ResumeInfo",
                  transport && sftpChannel ? "No reconnect necessary" : "Need reconnect");
  }
  clearCache();
  m_log.LogDataInt64("totalTimeMs", Psdk::getTickCount() - start);
  return op.done(ok);
}

bool ClsSFtp::ResumeUploadFileByName(XString &remotePath, XString &localPath, ProgressEvent *ev) {
  SftpOp op(*this, "ResumUploadFileByName", ev);
  m_log.LogData("remoteFilename", remotePath.getUtf8());
  m_log.LogData("localFilename", localPath.getUtf8());
  m_log.LogDataInt64("IdleTimeoutMs", IdleTimeoutMs);
  m_log.LogDataInt64("HeartbeatMs", HeartbeatMs);
  if (!op.ready()) return op.done(false);
  long long size = getFileSize(remotePath, true, false, op.pm());
  uploadPerf.resetPerformanceMon();
  XString handle;
  if (!openFile(remotePath, "readWrite", "openOrCreate", handle, op.pm())) return op.done(false);
  bool ok = uploadFile(handle, localPath, true, size, op.pm());
  if (ok) ok = preserveDateOnUpload(handle, localPath, op.pm());
  if (transport && sftpChannel && !closeHandle(handle, op.pm(), true) && ok) {
    m_log.LogError("The server refused to close the uploaded file.");
    ok = false;
  }
  dropCached(remotePath);
  return op.done(ok);
}

namespace {
ClsSFtp::Source memorySource(const DataBuffer &data) {
  unsigned int pos = 0;
  return [&data, pos](unsigned char *p, unsigned int n) mutable {
    unsigned int left = data.getSize() - pos;
    if (n > left) n = left;
    memcpy(p, data.getData2() + pos, n);
    pos += n;
    return (int)n;
  };
}
} // namespace

bool ClsSFtp::writeFile(XString &handle, long long offset, const DataBuffer &data,
                        ProgressMonitor *pm) {
  return writeDataSource(handle, offset, memorySource(data), pm);
}

bool ClsSFtp::writeAtEnd(XString &handle, const DataBuffer &data, ProgressMonitor *pm) {
  SftpLastRead *rec = findHandle(handle);
  long long offset = rec ? rec->writeOffset : 0;
  if (offset == 0) {
    // The first write through a handle goes to the end of the file. Without its size the end
    // is unknown, and writing at 0 would overwrite the start of an existing file.
    offset = getFileSize(handle, false, true, pm);
    if (offset < 0) {
      m_log.LogError(transport && sftpChannel
                         ? "The size of the remote file is unknown: nothing was written."
                         : "Disconnected.");
      clearCache();
      return false;
    }
  }
  m_log.LogDataInt64("offset", offset);
  bool ok = writeFile(handle, offset, data, pm);
  clearCache();
  return ok;
}

bool ClsSFtp::writeAt(XString &handle, long long offset, const DataBuffer &data,
                      ProgressMonitor *pm) {
  m_log.LogDataInt64("offset64", offset);
  if (offset < 0) {
    m_log.LogError("Invalid offset");
    return false;
  }
  bool ok = writeFile(handle, offset, data, pm);
  clearCache();
  return ok;
}

namespace {
// The text in the charset; false when a character of it has no place there (the file would get
// the text without it).
bool encodeText(XString &text, const char *charset, DataBuffer &bytes, LogBase &log) {
  _ckCharset cs;
  cs.setByName(charset);
  if (EncodingConvert::fromUtf8Whole(cs.getCodePage(),
                                     reinterpret_cast<const unsigned char *>(text.getUtf8()),
                                     text.getSizeUtf8(), bytes))
    return true;
  log.LogError("The text holds a character that the charset cannot carry.");
  return false;
}
} // namespace

bool ClsSFtp::WriteFileBytes(XString &handle, const DataBuffer &data, ProgressEvent *ev) {
  SftpOp op(*this, "WriteFileBytes", ev);
  // The handle is looked up first; the guards run (and log) whatever it found.
  const bool known = findHandle(handle) != nullptr;
  if (!known) m_log.LogError("Invalid handle.");
  if (!op.ready() || !known) return op.done(false);
  m_log.LogData("handle", handle.getUtf8());
  m_log.LogDataLong("numBytes", (int)data.getSize());
  return op.done(writeAtEnd(handle, data, op.pm()));
}

bool ClsSFtp::WriteFileBytes64(XString &handle, long long offset, const DataBuffer &data,
                               ProgressEvent *ev) {
  SftpOp op(*this, "WriteFileBytes64", ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("handle", handle.getUtf8());
  return op.done(writeAt(handle, offset, data, op.pm()));
}

bool ClsSFtp::WriteFileText(XString &handle, const char *charset, XString &text,
                            ProgressEvent *ev) {
  SftpOp op(*this, "WriteFileText", ev);
  // The handle is looked up first; the guards run (and log) whatever it found.
  const bool known = findHandle(handle) != nullptr;
  if (!known) m_log.LogError("Invalid handle.");
  if (!op.ready() || !known) return op.done(false);
  m_log.LogData("handle", handle.getUtf8());
  m_log.LogData("charset", charset ? charset : "");
  DataBuffer bytes;
  if (!encodeText(text, charset, bytes, m_log)) return op.done(false);
  return op.done(writeAtEnd(handle, bytes, op.pm()));
}

bool ClsSFtp::WriteFileText64(XString &handle, long long offset, const char *charset, XString &text,
                              ProgressEvent *ev) {
  SftpOp op(*this, "WriteFileText64", ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("handle", handle.getUtf8());
  m_log.LogData("charset", charset ? charset : "");
  DataBuffer bytes;
  if (!encodeText(text, charset, bytes, m_log)) return op.done(false);
  return op.done(writeAt(handle, offset, bytes, op.pm()));
}
