// Many whole files over one SFTP session with requests of several files in flight at once: the
// OPEN of the next files goes out while the earlier ones are read or written and closed. Every
// request is matched to its reply by request id, so replies may come in any order; file data is
// written at the offset its request asked for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <tuple>
#include <unordered_map>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/ssh/ClsSFtp.h"
#include "sshlib/ssh/ClsSFtpOp.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

namespace {

constexpr unsigned int kReadSize = 65536;
constexpr unsigned int kWriteSize = 32000;
// Requests of a batch unanswered at once, at most, and files in flight, at most.
constexpr size_t kMaxRequests = 256;
constexpr unsigned int kMaxWindow = 64;
// DATA replies in a row with no bytes before a file is given up.
constexpr unsigned int kMaxEmptyReads = 64;
// Below this much of the server's window the WRITEs wait for replies (and the window adjusts
// that come with them) rather than block in the middle of a packet.
constexpr unsigned int kLowServerWindow = 33023;

enum : unsigned char {
  kOpen = 3,
  kClose = 4,
  kRead = 5,
  kWrite = 6,
  kRename = 18,
  kStatus = 101,
  kHandle = 102,
  kData = 103
};

struct Request {
  size_t file;
  unsigned char type;
  long long off;
  unsigned int len;
};

struct FileState {
  enum Phase { kWaiting, kOpening, kOpen, kClosing, kRenaming, kDone } phase = kWaiting;
  std::string path; // as sent to the server
  bool retried = false;
  DataBuffer rawHandle; // the handle as packed into requests
  std::string handleText;
  int fd = -1;
  bool created = false;
  // Downloads: reads are asked up to `hint` and once at it (to see the end); `next` is where
  // the next read starts, `eofAt` where the server said the file ends, `bytes` how many came
  // and `end` the farthest byte that came.
  long long next = 0, hint = 0, eofAt = -1, bytes = 0, end = 0;
  // Parts of short reads still to be asked.
  std::deque<std::pair<long long, unsigned int>> again;
  unsigned int inFlight = 0, emptyRun = 0;
  bool allSent = false, failed = false;
  std::string error;
  int localErrno = 0;
};

bool statusOk(const DataBuffer &pkt) {
  unsigned int idx = 9, code = 1;
  return SshTransport::parseUint32(pkt, idx, code) && code == 0;
}

unsigned int statusCodeOf(const DataBuffer &pkt) {
  unsigned int idx = 9, code = ~0u;
  SshTransport::parseUint32(pkt, idx, code);
  return code;
}

// False with errno set (ENOSPC for a write that took nothing) when the file takes no more.
bool writeAll(int fd, const unsigned char *p, unsigned int n, long long off) {
  while (n) {
    ssize_t w = pwrite(fd, p, n, off);
    if (w < 0 && errno == EINTR) continue;
    if (w == 0) errno = ENOSPC;
    if (w <= 0) return false;
    p += w;
    off += w;
    n -= (unsigned int)w;
  }
  return true;
}

} // namespace

bool ClsSFtp::DownloadFiles(std::vector<SftpBatchFile> &files, unsigned int window,
                            const BatchDone &done, ProgressEvent *ev) {
  SftpOp op(*this, "DownloadFiles", ev);
  if (!op.ready()) return op.done(false);
  downloadPerf.resetPerformanceMon();
  return op.done(transferBatch(files, false, window, done, op.pm()));
}

bool ClsSFtp::UploadFiles(std::vector<SftpBatchFile> &files, unsigned int window,
                          const BatchDone &done, ProgressEvent *ev) {
  SftpOp op(*this, "UploadFiles", ev);
  if (!op.ready()) return op.done(false);
  uploadPerf.resetPerformanceMon();
  bool ok = transferBatch(files, true, window, done, op.pm());
  clearCache();
  return op.done(ok);
}

namespace {

// One batch under way: the files' states, the requests unanswered and the files in flight.
// Each reply goes to its file; a file that may send more does so at once.
class BatchRun {
public:
  BatchRun(ClsSFtp &s, std::vector<SftpBatchFile> &files, bool upload, unsigned int window,
           const ClsSFtp::BatchDone &done, ProgressMonitor *pm)
      : s(s), files(files), upload(upload), window(window), done(done), pm(pm), st(files.size()),
        buf(kWriteSize) {}

  bool run() {
    DataBuffer pkt;
    while (!broken) {
      if (!aborted && s.abortRequested(pm)) {
        startAbort();
        if (broken) break;
      }
      startWaitingFiles();
      if (broken) break;
      if (pending.empty()) break;
      takeReply(pkt);
    }
    if (broken) s.m_log.LogError(s.transport ? "The batch ended early." : "Disconnected.");
    endUnfinished();
    return !broken && !aborted;
  }

private:
  // What one step of a file did: sent a request, held back (for the bounds, its end or a
  // failure), or found the session broken.
  enum class Sent { One, Held, Broken };

  void fail(size_t i, const char *why) {
    FileState &f = st[i];
    if (f.failed) return;
    f.failed = true;
    f.error = why;
    s.m_log.LogError(why);
    s.m_log.LogData("remotePath", files[i].remote.c_str());
  }

  // File i has ended: its outcome goes to the caller.
  void finish(size_t i) {
    FileState &f = st[i];
    f.phase = FileState::kDone;
    if (f.fd >= 0) close(f.fd);
    f.fd = -1;
    if (!f.handleText.empty()) s.dropHandle(f.handleText);
    if (!upload && f.created && f.failed) unlink(files[i].local.c_str());
    files[i].ok = !f.failed;
    files[i].error = f.failed ? f.error : std::string();
    files[i].localErrno = f.failed ? f.localErrno : 0;
    active.erase(std::find(active.begin(), active.end(), i));
    if (done && !done(i)) starting = false;
  }

  bool send(size_t i, unsigned char type, const DataBuffer &payload, long long off,
            unsigned int len) {
    unsigned int id = 0;
    if (!s.sendPacket(type, payload, id, pm)) {
      broken = true;
      return false;
    }
    pending[id] = {i, type, off, len};
    if (type == kRead || type == kWrite) ++st[i].inFlight;
    return true;
  }

  bool sendOpen(size_t i) {
    DataBuffer payload;
    bool mayRetry = false;
    if (!(upload ? s.packOpenRequest(st[i].path, "writeOnly", "createTruncate", payload, mayRetry)
                 : s.packOpenRequest(st[i].path, "readOnly", "openExisting", payload, mayRetry))) {
      fail(i, "The name holds a character that the filename charset cannot carry.");
      finish(i);
      return true;
    }
    st[i].phase = FileState::kOpening;
    return send(i, kOpen, payload, 0, 0);
  }

  bool sendClose(size_t i) {
    FileState &f = st[i];
    f.phase = FileState::kClosing;
    s.dropHandle(f.handleText);
    f.handleText.clear();
    return send(i, kClose, f.rawHandle, 0, 0);
  }

  // The next WRITE of an upload, when the bounds and the server's window let it go.
  Sent sendNextWrite(size_t i) {
    FileState &f = st[i];
    if (f.allSent) return Sent::Held;
    if (s.sftpChannel && s.sftpChannel->m_curServerWinSize <= kLowServerWindow && !pending.empty())
      return Sent::Held;
    ssize_t n = pread(f.fd, buf.data(), kWriteSize, f.next);
    if (n < 0) {
      fail(i, "Failed to read the local data.");
      return Sent::Held;
    }
    if (n == 0) {
      f.allSent = true;
      return Sent::Held;
    }
    DataBuffer p;
    p.append(f.rawHandle);
    SshTransport::pack_int64(f.next, p);
    SshTransport::pack_binString(buf.data(), (unsigned int)n, p);
    if (!send(i, kWrite, p, f.next, (unsigned int)n)) return Sent::Broken;
    f.next += n;
    s.uploadPerf.updatePerformance32((unsigned int)n, pm);
    return Sent::One;
  }

  // The next READ of a download: a part a short read left first, then on up to the hint.
  Sent sendNextRead(size_t i) {
    FileState &f = st[i];
    long long off;
    unsigned int len;
    if (!f.again.empty()) {
      std::tie(off, len) = f.again.front();
      f.again.pop_front();
    } else if (f.eofAt < 0 && f.next <= f.hint) {
      off = f.next;
      len = f.next < f.hint ? (unsigned int)std::min<long long>(kReadSize, f.hint - f.next)
                            : kReadSize;
      f.next += len;
    } else {
      return Sent::Held;
    }
    DataBuffer p;
    p.append(f.rawHandle);
    SshTransport::pack_int64(off, p);
    SshTransport::pack_uint32(len, p);
    return send(i, kRead, p, off, len) ? Sent::One : Sent::Broken;
  }

  // The CLOSE of file i once nothing of it is outstanding and it has sent (or failed) all.
  bool closeWhenDone(size_t i) {
    FileState &f = st[i];
    if (f.failed) f.again.clear();
    if (f.inFlight > 0 || !f.again.empty()) return true;
    if (!upload && !f.failed && f.eofAt < 0) return true;
    if (!upload && !f.failed && (f.bytes != f.eofAt || f.end > f.eofAt))
      fail(i, "The file's data did not come whole.");
    if (upload && !f.failed && !f.allSent) return true;
    return sendClose(i);
  }

  // Sends what file i may send now: reads or writes within the bounds, and its CLOSE once
  // nothing of it is outstanding.
  bool pump(size_t i) {
    FileState &f = st[i];
    if (f.phase != FileState::kOpen) return true;
    if (aborted) fail(i, "Aborted by the application.");
    while (!f.failed && pending.size() < kMaxRequests) {
      Sent sent = upload ? sendNextWrite(i) : sendNextRead(i);
      if (sent == Sent::Broken) return false;
      if (sent == Sent::Held) break;
    }
    return closeWhenDone(i);
  }

  bool startFile(size_t i) {
    FileState &f = st[i];
    active.push_back(i);
    f.path = s.serverPath(files[i].remote);
    if (upload) {
      f.fd = open(files[i].local.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat sb;
      if (f.fd < 0 || fstat(f.fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        fail(i, "Failed to open local file.");
        s.m_log.LogData("localPath", files[i].local.c_str());
        finish(i);
        return true;
      }
    } else {
      f.hint = files[i].size >= 0 ? files[i].size : 0;
    }
    return sendOpen(i);
  }

  void startAbort() {
    s.m_log.LogError("Aborted by the application.");
    aborted = true;
    starting = false;
    // (pump never ends a file: the list stays as it is)
    for (size_t k = 0; k < active.size() && pump(active[k]); ++k) {
    }
  }

  void startWaitingFiles() {
    while (starting && !broken && active.size() < window && nextFile < files.size() &&
           pending.size() < kMaxRequests)
      startFile(nextFile++);
  }

  // Reads one reply and hands it to the file whose request it answers.
  void takeReply(DataBuffer &pkt) {
    unsigned char type = 0;
    unsigned int rid = 0;
    if (!s.readPacket2(pkt, type, rid, pm)) {
      broken = true;
      return;
    }
    auto it = pending.find(rid);
    if (it == pending.end()) {
      s.m_log.LogError("Received a reply to no request of the batch.");
      s.m_log.LogDataLong("requestId", (int)rid);
      s.dropOutOfStep();
      broken = true;
      return;
    }
    const Request r = it->second;
    pending.erase(it);
    switch (r.type) {
    case kOpen:
      onOpenReply(r.file, type, pkt);
      break;
    case kRead:
      onReadReply(r, type, pkt);
      break;
    case kWrite:
      onWriteReply(r.file, type, pkt);
      break;
    case kClose:
      onCloseReply(r.file, type, pkt);
      break;
    case kRename:
      onRenameReply(r.file, type, pkt);
      break;
    }
    // Requests held back for the bounds (or the server's window) may go now.
    for (size_t k = 0; !broken && k < active.size(); ++k)
      if (active[k] != r.file) pump(active[k]);
  }

  void onOpenReply(size_t i, unsigned char type, const DataBuffer &pkt) {
    FileState &f = st[i];
    if (type == kHandle) {
      DataBuffer raw;
      if (!ClsSFtp::parseHandle(pkt, raw, s.m_log)) {
        // Without the handle the file cannot even be closed: nothing later can be trusted.
        s.dropOutOfStep();
        broken = true;
        return;
      }
      StringBuffer hex;
      raw.toHexString(hex);
      f.handleText = hex.getString();
      s.addHandle(f.handleText);
      f.rawHandle.clear();
      SshTransport::pack_binString(raw.getData2(), raw.getSize(), f.rawHandle);
      f.phase = FileState::kOpen;
      if (!upload) {
        f.fd = open(files[i].local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        f.created = f.fd >= 0;
        if (f.fd < 0) fail(i, "Failed to create output file on local filesystem.");
      }
      if (f.failed) {
        sendClose(i);
        return;
      }
      pump(i);
      return;
    }
    if (type == kStatus && !upload && !f.retried && ClsSFtp::isNotFoundStatus(pkt) &&
        ClsSFtp::sameFileInLoginFolder(f.path, f.path)) {
      f.retried = true;
      sendOpen(i);
      return;
    }
    if (type == kStatus) s.logStatusResponse("FXP_OPEN", pkt);
    fail(i, upload ? "Failed to open file." : "Failed to open the remote file.");
    finish(i);
  }

  void onReadReply(const Request &r, unsigned char type, const DataBuffer &pkt) {
    const size_t i = r.file;
    FileState &f = st[i];
    --f.inFlight;
    if (type == kData)
      takeData(r, pkt);
    else if (type == kStatus && statusCodeOf(pkt) == 1)
      f.eofAt = f.eofAt < 0 ? r.off : std::min(f.eofAt, r.off);
    else {
      if (type == kStatus && !f.failed) s.logStatusResponse("FXP_READ", pkt);
      fail(i, "Unexpected response to FXP_READ.");
    }
    pump(i);
  }

  // The bytes of a DATA reply go to their offset; a short reply asks its rest again and an
  // end-of-file flag marks where the file ends.
  void takeData(const Request &r, const DataBuffer &pkt) {
    const size_t i = r.file;
    FileState &f = st[i];
    unsigned int idx = 9, n = 0;
    if (!SshTransport::parseUint32(pkt, idx, n) || n > pkt.getSize() - idx || n > r.len) {
      fail(i, "Failed to parse FXP_DATA.");
      return;
    }
    if (f.failed) return;
    const unsigned char *data = pkt.getData2() + idx;
    const bool eofByte = pkt.getSize() > idx + n && data[n] != 0;
    if (n && f.eofAt >= 0 && r.off + n > f.eofAt) {
      fail(i, "Received data past the end of the file.");
    } else if (n == 0 && !eofByte && ++f.emptyRun > kMaxEmptyReads) {
      fail(i, "The server answers reads with no data.");
    } else if (n && !writeAll(f.fd, data, n, r.off)) {
      f.localErrno = errno ? errno : ENOSPC;
      fail(i, "Failed to write downloaded data.");
      s.m_log.LogData("localError", std::strerror(f.localErrno));
    } else {
      if (n) {
        f.emptyRun = 0;
        f.bytes += n;
        f.end = std::max(f.end, r.off + n);
        s.downloadPerf.updatePerformance32(n, pm);
      }
      if (eofByte)
        f.eofAt = f.eofAt < 0 ? r.off + n : std::min(f.eofAt, r.off + n);
      else if (n < r.len)
        f.again.emplace_back(r.off + n, r.len - n);
      else if (r.off + r.len == f.next)
        f.hint = f.next; // the last read came back full: the file goes on
    }
  }

  void onWriteReply(size_t i, unsigned char type, const DataBuffer &pkt) {
    FileState &f = st[i];
    --f.inFlight;
    if (type != kStatus) {
      fail(i, "Unexpected reply to FXP_WRITE.");
    } else if (!statusOk(pkt)) {
      if (!f.failed) s.logStatusResponse("FXP_WRITE", pkt);
      fail(i, "The server refused a write.");
    }
    pump(i);
  }

  void onCloseReply(size_t i, unsigned char type, const DataBuffer &pkt) {
    FileState &f = st[i];
    if (type != kStatus || !statusOk(pkt)) {
      if (type == kStatus) s.logStatusResponse("FXP_CLOSE", pkt);
      // A server may report a write it could not complete only at the CLOSE.
      if (upload) fail(i, "The server refused to close the uploaded file.");
    }
    if (upload && !f.failed && !files[i].renameTo.empty()) {
      sendRename(i);
      return;
    }
    finish(i);
  }

  // An upload written under a temporary name takes its own once closed.
  void sendRename(size_t i) {
    FileState &f = st[i];
    DataBuffer payload;
    XString from, to;
    from.setFromUtf8(f.path.c_str());
    to.setFromUtf8(s.serverPath(files[i].renameTo).c_str());
    if (!s.packFilename(from, payload) || !s.packFilename(to, payload)) {
      fail(i, "The name holds a character that the filename charset cannot carry.");
      finish(i);
      return;
    }
    if (s.ProtocolVersion >= 5) SshTransport::pack_uint32(0, payload);
    f.phase = FileState::kRenaming;
    send(i, kRename, payload, 0, 0);
  }

  void onRenameReply(size_t i, unsigned char type, const DataBuffer &pkt) {
    if (type != kStatus || !statusOk(pkt)) {
      if (type == kStatus) s.logStatusResponse("FXP_RENAME", pkt);
      files[i].renameRefused = true;
      fail(i, "The server refused to rename the uploaded file.");
    }
    finish(i);
  }

  // What did not end: the session broke under it (or the batch ended with nothing to wait for).
  void endUnfinished() {
    for (size_t i : std::vector<size_t>(active)) {
      fail(i, s.transport ? "The transfer did not end." : "The connection was lost.");
      finish(i);
    }
  }

  ClsSFtp &s;
  std::vector<SftpBatchFile> &files;
  const bool upload;
  const unsigned int window;
  const ClsSFtp::BatchDone &done;
  ProgressMonitor *const pm;
  std::vector<FileState> st;
  std::unordered_map<unsigned int, Request> pending;
  std::vector<size_t> active;
  size_t nextFile = 0;
  bool starting = true, broken = false, aborted = false;
  std::vector<unsigned char> buf;
};

} // namespace

bool ClsSFtp::transferBatch(std::vector<SftpBatchFile> &files, bool upload, unsigned int window,
                            const BatchDone &done, ProgressMonitor *pm) {
  for (auto &f : files) {
    f.ok = false;
    f.renameRefused = false;
    f.error = "Not transferred.";
  }
  if (!transport || !sftpChannel) {
    m_log.LogError("Disconnected.");
    return false;
  }
  NoDelayScope noDelay(*this);
  return BatchRun(*this, files, upload, std::clamp(window, 1u, kMaxWindow), done, pm).run();
}
