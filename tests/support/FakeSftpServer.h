// A scripted SFTP server over the fake SSH server, for what no real server does on demand: odd
// windows and packet sizes, endless questions or listings, replies out of step.
#pragma once

#include <functional>
#include <string>
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
};

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
      : opts(std::move(o)), ssh([this](FakeSshServer &f) { run(f); }) {}
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
        in.append((const char *)data.getData2(), data.getSize());
        while (in.size() >= 4) {
          unsigned int len = sftpIdOf("xxxxx" + in.substr(0, 4));
          if (in.size() < 4 + len) break;
          std::string pkt = in.substr(0, 4 + len);
          in.erase(0, 4 + len);
          for (auto &piece : opts.reply(pkt))
            sendChannel(f, 94, sftpStr(piece));
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

} // namespace testsupport
