// A scripted SFTP server over the fake SSH server, for what no real server does on demand: odd
// windows and packet sizes, endless questions or listings, replies out of step.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FakeSshServer.h"

namespace testsupport {

struct FakeSftpOptions {
  unsigned int window = 1 << 20;
  unsigned int maxPacket = 32768;
  // WINDOW_ADJUSTs sent right after the subsystem reply.
  std::vector<unsigned int> adjusts;
  // Keep asking keyboard-interactive questions instead of accepting "none".
  bool endlessQuestions = false;
  // Answers one whole SFTP packet (length, type, id, fields) with raw channel data to send.
  std::function<std::vector<std::string>(const std::string &packet)> reply;
  // Grant back, with a WINDOW_ADJUST, every byte the client sends.
  bool refillWindow = false;
  // When set, every login request is refused with this list of methods that may go on.
  std::string authFailureList = {};
  // The SSH side: identification, algorithm names, signature name.
  FakeSshOptions ssh = {};
};

// A reply piece that cuts the connection instead of answering.
inline const std::string kSftpDrop = std::string("\0drop\0", 6);
// A reply piece that sends nothing now (a hook answers the packet later, with another one's).
inline const std::string kSftpHold = std::string("\0hold\0", 6);
// A reply piece that sends an SSH DISCONNECT with the reason, then cuts the connection.
inline const std::string kSftpDisconnectTag = std::string("\0disconnect\0", 12);
inline std::string sftpDisconnect(const std::string &reason) {
  return kSftpDisconnectTag + reason;
}
// A reply piece that sends an SSH GLOBAL_REQUEST of that name (no reply wanted), then goes on.
inline const std::string kSftpGlobalRequestTag = std::string("\0global\0", 8);
inline std::string sftpGlobalRequest(const std::string &name) {
  return kSftpGlobalRequestTag + name;
}

// An SFTP packet of a type with a request id and fields.
inline std::string sftpPacket(unsigned char type, unsigned int id, const std::string &fields,
                              bool withId = true) {
  std::string body(1, (char)type);
  auto u32 = [](unsigned int v) {
    return std::string{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
  };
  if (withId) body += u32(id);
  body += fields;
  return u32((unsigned int)body.size()) + body;
}

inline std::string sftpU32(unsigned int v) {
  return std::string{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
}
inline std::string sftpStr(const std::string &s) {
  return sftpU32((unsigned)s.size()) + s;
}
inline unsigned int sftpIdOf(const std::string &pkt) {
  return pkt.size() < 9
             ? 0
             : (unsigned)(unsigned char)pkt[5] << 24 | (unsigned)(unsigned char)pkt[6] << 16 |
                   (unsigned)(unsigned char)pkt[7] << 8 | (unsigned char)pkt[8];
}

class FakeSftpServer {
public:
  explicit FakeSftpServer(FakeSftpOptions o)
      : opts(std::move(o)), ssh([this](FakeSshServer &f) { run(f); }, opts.ssh) {}
  int port() const { return ssh.port; }
  // Largest CHANNEL_DATA piece the client sent.
  unsigned int maxPiece = 0;
  int questionsAsked = 0;

private:
  void sendChannel(FakeSshServer &f, unsigned char type, const std::string &rest) {
    DataBuffer m;
    m.appendChar(type);
    SshTransport::pack_uint32(clientChannel_, m);
    m.append(rest.data(), (unsigned)rest.size());
    f.send(m);
  }
  void run(FakeSshServer &f) {
    SshLoginKey key;
    if (!f.handshake(key)) return;
    DataBuffer msg, out;
    std::string in;
    while (f.read(msg)) {
      unsigned int t = SshTransport::msgType(msg);
      out.clear();
      if (t == 5) {
        out.appendChar(6);
        SshTransport::pack_string("ssh-userauth", out);
      } else if (t == 50 && !opts.authFailureList.empty()) {
        out.appendChar(51);
        SshTransport::pack_string(opts.authFailureList.c_str(), out);
        SshTransport::pack_bool(false, out);
      } else if (t == 50 || t == 61) {
        if (!opts.endlessQuestions) {
          out.appendChar(52);
        } else if (t == 50 &&
                   std::string((char *)msg.getData2(), msg.getSize()).find("none") !=
                       std::string::npos &&
                   questionsAsked == 0 &&
                   std::string((char *)msg.getData2(), msg.getSize()).find("keyboard") ==
                       std::string::npos) {
          out.appendChar(51);
          SshTransport::pack_string("keyboard-interactive", out);
          SshTransport::pack_bool(false, out);
        } else {
          ++questionsAsked;
          out.appendChar(60);
          for (const char *s : {"", "", ""})
            SshTransport::pack_string(s, out);
          SshTransport::pack_uint32(1, out);
          SshTransport::pack_string("Password: ", out);
          SshTransport::pack_bool(false, out);
        }
      } else if (t == 90) {
        unsigned int idx = 1;
        StringBuffer type;
        SshTransport::parseString(msg, idx, type);
        SshTransport::parseUint32(msg, idx, clientChannel_);
        sendChannel(f, 91, sftpU32(7) + sftpU32(opts.window) + sftpU32(opts.maxPacket));
        continue;
      } else if (t == 98) {
        sendChannel(f, 99, "");
        for (unsigned int a : opts.adjusts)
          sendChannel(f, 93, sftpU32(a));
        continue;
      } else if (t == 94) {
        unsigned int idx = 5;
        DataBuffer data;
        LogNull log;
        SshTransport::parseBinaryString(msg, idx, data, log);
        if (data.getSize() > maxPiece) maxPiece = data.getSize();
        if (opts.refillWindow && data.getSize()) sendChannel(f, 93, sftpU32(data.getSize()));
        in.append((const char *)data.getData2(), data.getSize());
        while (in.size() >= 4) {
          unsigned int len = sftpIdOf("xxxxx" + in.substr(0, 4));
          if (in.size() < 4 + len) break;
          std::string pkt = in.substr(0, 4 + len);
          in.erase(0, 4 + len);
          for (auto &piece : opts.reply(pkt)) {
            if (piece == kSftpHold) continue;
            if (piece.rfind(kSftpDisconnectTag, 0) == 0) {
              DataBuffer d;
              d.appendChar(1);
              SshTransport::pack_uint32(11, d);
              SshTransport::pack_string(piece.substr(kSftpDisconnectTag.size()).c_str(), d);
              SshTransport::pack_string("", d);
              f.send(d);
              f.s.socket.CloseSocket(0, f.log);
              return;
            }
            if (piece.rfind(kSftpGlobalRequestTag, 0) == 0) {
              DataBuffer g;
              g.appendChar(80);
              const std::string name = piece.substr(kSftpGlobalRequestTag.size());
              SshTransport::pack_binString((const unsigned char *)name.data(),
                                           (unsigned)name.size(), g);
              SshTransport::pack_bool(false, g);
              f.send(g);
              continue;
            }
            if (piece == kSftpDrop) {
              // The connection is cut, as a crashing server or a network would cut it.
              f.s.socket.CloseSocket(0, f.log);
              return;
            }
            // Within the client's packet size.
            for (size_t at = 0; at < piece.size() || at == 0; at += 30000)
              sendChannel(f, 94, sftpStr(piece.substr(at, 30000)));
          }
        }
        continue;
      } else {
        continue;
      }
      f.send(out);
    }
  }

  FakeSftpOptions opts;
  unsigned int clientChannel_ = 0;
  FakeSshServer ssh;
};

// The usual answer to INIT: VERSION 3.
inline std::string sftpVersion(unsigned int v) {
  return sftpPacket(2, 0, sftpU32(v), false);
}

// Fields of a request packet, read in order from after the request id.
struct SftpFields {
  explicit SftpFields(const std::string &p) : pkt(p) {}
  unsigned int u32() {
    if (at + 4 > pkt.size()) return 0;
    unsigned int v = sftpIdOf("xxxxx" + pkt.substr(at, 4));
    at += 4;
    return v;
  }
  unsigned long long u64() {
    unsigned long long hi = u32();
    return hi << 32 | u32();
  }
  std::string str() {
    unsigned int n = u32();
    std::string v = at <= pkt.size() ? pkt.substr(at, n) : "";
    at += n;
    return v;
  }
  const std::string &pkt;
  size_t at = 9;
};

inline std::string sftpStatus(unsigned int id, unsigned int code, const std::string &msg = "") {
  return sftpPacket(101, id, sftpU32(code) + sftpStr(msg) + sftpStr(""));
}

// A version-3 SFTP server over a tree the test describes: files with their bytes, and folders
// whose names are asked for when listed (so a tree may be endless). Each request is answered
// the usual way unless `hook` answers it first (a non-empty answer). Counts what it was asked.
// Shared with the server thread: change it only before the client starts or through `mutex`.
struct FakeSftpFs {
  std::map<std::string, std::string> files;
  // Entries of a folder: name and whether it is a folder; empty (or unset) for an empty folder.
  std::function<std::vector<std::pair<std::string, bool>>(const std::string &path)> list;
  std::function<std::vector<std::string>(const std::string &pkt)> hook;
  // Milliseconds each READ answer waits.
  int readDelayMs = 0;
  std::mutex mutex;
  std::map<int, int> asked; // by packet type
  std::vector<std::string> removed;

  int count(int type) {
    std::lock_guard lock(mutex);
    return asked[type];
  }
  std::vector<std::string> reply(const std::string &pkt) {
    unsigned char type = (unsigned char)pkt[4];
    {
      std::lock_guard lock(mutex);
      ++asked[type];
    }
    if (hook) {
      auto answer = hook(pkt);
      if (!answer.empty()) return answer;
    }
    unsigned int id = sftpIdOf(pkt);
    SftpFields in(pkt);
    auto fileAttrs = [&](const std::string &path) {
      auto it = files.find(path);
      size_t size = it == files.end() ? 0 : it->second.size();
      return sftpU32(0x5) + sftpU32(0) + sftpU32((unsigned)size) + sftpU32(0100644);
    };
    const std::string dirAttrs = sftpU32(0x4) + sftpU32(040755);
    auto attrsOf = [&](const std::string &path) {
      return files.count(path) ? fileAttrs(path) : dirAttrs;
    };
    switch (type) {
    case 1:
      return {sftpVersion(3)};
    case 16: { // REALPATH
      std::string p = in.str();
      if (p == "." || p.empty()) p = "/";
      return {sftpPacket(104, id, sftpU32(1) + sftpStr(p) + sftpStr(p) + sftpU32(0))};
    }
    case 7:
    case 17: { // LSTAT, STAT
      std::string p = in.str();
      std::lock_guard lock(mutex);
      bool file = files.count(p) != 0;
      if (!file && !list) return {sftpStatus(id, 2, "No such file")};
      return {sftpPacket(105, id, attrsOf(p))};
    }
    case 8: { // FSTAT
      std::string h = in.str();
      std::lock_guard lock(mutex);
      return {sftpPacket(105, id, attrsOf(pathOf(h)))};
    }
    case 3: { // OPEN
      std::string p = in.str();
      unsigned int flags = in.u32();
      std::lock_guard lock(mutex);
      if (flags & 0x8) files[p];
      if (flags & 0x10) files[p].clear();
      if (!files.count(p)) return {sftpStatus(id, 2, "No such file")};
      return {sftpPacket(102, id, sftpStr(handleFor("f:", p)))};
    }
    case 11: // OPENDIR
      return {sftpPacket(102, id, sftpStr(handleFor("d:", in.str())))};
    case 12: { // READDIR: everything at once, then end of folder
      std::string h = in.str();
      std::lock_guard lock(mutex);
      if (listed_.count(h)) return {sftpStatus(id, 1, "EOF")};
      listed_.insert(h);
      auto entries = list ? list(pathOf(h)) : std::vector<std::pair<std::string, bool>>{};
      std::string body = sftpU32((unsigned)entries.size());
      for (auto &[name, dir] : entries) {
        std::string full = pathOf(h) + "/" + name;
        body += sftpStr(name) + sftpStr(name) + (dir ? dirAttrs : fileAttrs(full));
      }
      return {sftpPacket(104, id, body)};
    }
    case 4: { // CLOSE
      std::string h = in.str();
      std::lock_guard lock(mutex);
      listed_.erase(h);
      return {sftpStatus(id, 0)};
    }
    case 5: { // READ
      std::string h = in.str();
      unsigned long long off = in.u64();
      unsigned int len = in.u32();
      if (readDelayMs) std::this_thread::sleep_for(std::chrono::milliseconds(readDelayMs));
      std::lock_guard lock(mutex);
      const std::string &data = files[pathOf(h)];
      if (off >= data.size()) return {sftpStatus(id, 1, "EOF")};
      return {sftpPacket(103, id, sftpStr(data.substr(off, len)))};
    }
    case 6: { // WRITE
      std::string h = in.str();
      unsigned long long off = in.u64();
      std::string data = in.str();
      std::lock_guard lock(mutex);
      std::string &f = files[pathOf(h)];
      if (f.size() < off + data.size()) f.resize(off + data.size());
      f.replace(off, data.size(), data);
      return {sftpStatus(id, 0)};
    }
    case 13: { // REMOVE
      std::string p = in.str();
      std::lock_guard lock(mutex);
      if (!files.erase(p)) return {sftpStatus(id, 2, "No such file")};
      removed.push_back(p);
      return {sftpStatus(id, 0)};
    }
    default:
      return {sftpStatus(id, 0)};
    }
  }

private:
  // A handle names its kind ("f:" or "d:") and its path; a path too long for the 256 bytes a
  // handle may have gets a numbered handle instead.
  std::string handleFor(const std::string &kind, const std::string &path) {
    if (kind.size() + path.size() <= 256) return kind + path;
    std::lock_guard lock(longMutex_);
    longPaths_.push_back(path);
    return "L:" + std::to_string(longPaths_.size() - 1);
  }
  std::string pathOf(const std::string &handle) {
    if (handle.rfind("L:", 0) != 0) return handle.substr(2);
    std::lock_guard lock(longMutex_);
    size_t i = std::stoul(handle.substr(2));
    return i < longPaths_.size() ? longPaths_[i] : "";
  }
  std::set<std::string> listed_;
  std::mutex longMutex_;
  std::vector<std::string> longPaths_;
};

// A fake SFTP server answering from a shared tree.
inline FakeSftpOptions fsOptions(const std::shared_ptr<FakeSftpFs> &fs) {
  FakeSftpOptions o;
  o.refillWindow = true;
  o.reply = [fs](const std::string &pkt) { return fs->reply(pkt); };
  return o;
}

} // namespace testsupport
