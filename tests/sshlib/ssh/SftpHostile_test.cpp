// The SFTP client against servers that lie, stall, trickle or vanish: every reply matched to its
// request, nothing left unread for a later operation, downloads that never write a byte at the
// wrong place, bounded waits, progress and abort, and names in the folder's charset.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sshlib/core/ProgressEvent.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/FakeSftpSession.h"

using namespace testsupport;

namespace {

// The usual answer of the tree, computed for a packet with another type of answer in mind.
unsigned char typeOf(const std::string &pkt) {
  return (unsigned char)pkt[4];
}

// Answers every progress question with a fixed abort answer and counts the questions.
struct CountingEvent : ProgressEvent {
  explicit CountingEvent(bool abortAll) : abortAll(abortAll) {}
  void UpdatePct(int pct, bool &abort) override {
    pcts.push_back(pct);
    abort = abortAll;
  }
  void AbortCheck(bool &abort) override { abort = abortAll; }
  void Heartbeat(int, bool &abort) override { abort = abortAll; }
  bool abortAll;
  std::vector<int> pcts;
};

TEST(SftpHostile, RepliesAreMatchedToTheirRequests) {
  struct Case {
    const char *name;
    std::function<std::vector<std::string>(const std::string &)> hook;
    std::function<bool(ClsSFtp &)> op; // the operation that must fail
    const char *logText;
  };
  XString a, b;
  Case cases[] = {
      {"a reply to a request that times out arrives late and answers nothing",
       [](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 13) return {};
         std::this_thread::sleep_for(std::chrono::milliseconds(1500));
         return {sftpStatus(sftpIdOf(pkt), 0)};
       },
       [&](ClsSFtp &s) { return s.RemoveFile(xs(a, "/missing"), nullptr); },
       "a request was left unanswered"},
      {"a status for another request id",
       [](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 13) return {};
         return {sftpStatus(sftpIdOf(pkt) + 1, 0)};
       },
       [&](ClsSFtp &s) { return s.RemoveFile(xs(a, "/missing"), nullptr); },
       "Received a reply to another request."},
      {"attributes for another request id",
       [](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 17) return {};
         return {sftpPacket(105, sftpIdOf(pkt) + 3, sftpU32(1) + sftpU32(0) + sftpU32(99))};
       },
       [&](ClsSFtp &s) { return s.GetFileSize(xs(a, "/x"), true, false, nullptr) >= 0; },
       "Received a reply to another request."},
      {"a WRITE answered with another kind of packet",
       [](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 6) return {};
         return {sftpPacket(102, sftpIdOf(pkt), sftpStr("h"))};
       },
       [&](ClsSFtp &s) {
         DataBuffer d;
         d.append(pattern(100000).data(), 100000);
         return s.WriteFileBytes64(xs(a, "663A2F77"), 0, d, nullptr);
       },
       "Unexpected reply to FXP_WRITE."},
  };
  for (auto &c : cases) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->hook = c.hook;
    FakeSession f(fs, 1000);
    ASSERT_TRUE(f.ok) << c.name << logText(f.s);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.op(f.s)) << c.name << logText(f.s);
    std::string log = logText(f.s);
    EXPECT_NE(log.find(c.logText), std::string::npos) << c.name << log;
    // The session is closed at once: no later request can take the stray reply, and no CLOSE
    // waits for a second time-out on the dead session.
    EXPECT_FALSE(f.s.get_IsConnected()) << c.name;
    EXPECT_FALSE(f.s.RemoveFile(xs(b, "/missing"), nullptr)) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20)) << c.name;
  }
}

TEST(SftpHostile, AFailedWriteReadsEveryReplyItIsOwed) {
  auto fs = std::make_shared<FakeSftpFs>();
  std::atomic<int> writes{0};
  fs->hook = [&](const std::string &pkt) -> std::vector<std::string> {
    if (typeOf(pkt) == 6 && ++writes == 2) return {sftpStatus(sftpIdOf(pkt), 4, "Failure")};
    return {};
  };
  FakeSession f(fs);
  ASSERT_TRUE(f.ok) << logText(f.s);
  XString h, p;
  DataBuffer d;
  d.append(pattern(300000).data(), 300000);
  EXPECT_FALSE(f.s.WriteFileBytes64(xs(h, "663A2F77"), 0, d, nullptr));
  // Still in step: the next request gets its own answer, not a WRITE's late OK.
  EXPECT_TRUE(f.s.get_IsConnected());
  EXPECT_FALSE(f.s.RemoveFile(xs(p, "/missing"), nullptr)) << logText(f.s);
  EXPECT_NE(logText(f.s).find("No such file"), std::string::npos) << logText(f.s);
}

TEST(SftpHostile, AConnectionCutDuringAnUploadsFirstWriteFailsCleanly) {
  auto fs = std::make_shared<FakeSftpFs>();
  fs->files["/up"] = "";
  // The size query of the first write through a handle finds the connection gone.
  fs->hook = [](const std::string &pkt) -> std::vector<std::string> {
    if (typeOf(pkt) == 8) return {kSftpDrop};
    return {};
  };
  FakeSession f(fs);
  ASSERT_TRUE(f.ok) << logText(f.s);
  XString path, h;
  ASSERT_TRUE(f.s.OpenFile(xs(path, "/up"), "writeOnly", "openExisting", h, nullptr));
  DataBuffer d;
  d.append("abc", 3);
  EXPECT_FALSE(f.s.WriteFileBytes(h, d, nullptr));
  EXPECT_FALSE(f.s.get_IsConnected());
  EXPECT_NE(logText(f.s).find("Disconnected."), std::string::npos) << logText(f.s);
}

// Attributes that carry no size, as a server may send them.
std::vector<std::string> sizelessAttrs(const std::string &pkt) {
  unsigned char t = typeOf(pkt);
  if (t != 7 && t != 8 && t != 17) return {};
  return {sftpPacket(105, sftpIdOf(pkt), sftpU32(0x4) + sftpU32(0100644))};
}

// The first write through a handle goes to the end of the file; when the server will not tell
// the size, it goes nowhere rather than over the start of the file.
TEST(SftpHostile, AWriteWithoutTheRemoteSizeWritesNothing) {
  for (bool sized : {true, false}) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/f"] = "existing";
    if (!sized) fs->hook = sizelessAttrs;
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << logText(f.s);
    XString path, h;
    ASSERT_TRUE(f.s.OpenFile(xs(path, "/f"), "readWrite", "openExisting", h, nullptr));
    DataBuffer d;
    d.append("XY", 2);
    EXPECT_EQ(f.s.WriteFileBytes(h, d, nullptr), sized) << logText(f.s);
    std::lock_guard lock(fs->mutex);
    EXPECT_EQ(fs->files["/f"], sized ? "existingXY" : "existing");
    if (!sized) {
      EXPECT_EQ(fs->asked[6], 0);
    }
  }
}

// A close succeeds only when the server closed the handle.
TEST(SftpHostile, CloseHandleReportsWhatTheServerDid) {
  XString h;
  ClsSFtp never;
  EXPECT_FALSE(never.CloseHandle(xs(h, "663A2F66"), nullptr));
  for (unsigned int code : {0u, 4u}) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/f"] = "x";
    fs->hook = [code](const std::string &pkt) -> std::vector<std::string> {
      if (typeOf(pkt) != 4) return {};
      return {sftpStatus(sftpIdOf(pkt), code, "Failure")};
    };
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << logText(f.s);
    XString path;
    ASSERT_TRUE(f.s.OpenFile(xs(path, "/f"), "readOnly", "openExisting", h, nullptr));
    EXPECT_EQ(f.s.CloseHandle(h, nullptr), code == 0) << code << logText(f.s);
    f.s.Disconnect();
    EXPECT_FALSE(f.s.CloseHandle(h, nullptr));
  }
}

// A file whose size the server does not give has no percents to ask about abort with: the
// caller is asked all the same, by a download from a path or from a handle.
TEST(SftpHostile, ADownloadOfUnknownSizeStopsOnAbort) {
  const std::string data = pattern(16 << 20);
  for (bool byHandle : {false, true}) {
    for (bool abort : {false, true}) {
      TempDir dir;
      auto fs = std::make_shared<FakeSftpFs>();
      fs->files["/f"] = data;
      fs->hook = sizelessAttrs;
      FakeSession f(fs);
      ASSERT_TRUE(f.ok) << logText(f.s);
      CountingEvent ev(abort);
      XString r, l, h;
      bool ok = false;
      if (byHandle) {
        ASSERT_TRUE(f.s.OpenFile(xs(r, "/f"), "readOnly", "openExisting", h, nullptr));
        ok = f.s.DownloadFile(h, xs(l, dir.file("down")), &ev);
      } else {
        ok = f.s.DownloadFileByName(xs(r, "/f"), xs(l, dir.file("down")), &ev);
      }
      EXPECT_EQ(ok, !abort) << byHandle << logText(f.s);
      if (abort) {
        EXPECT_NE(logText(f.s).find("Aborted by the application."), std::string::npos);
        // Stopped at the first answers: far fewer than the 256 READs the file needs.
        EXPECT_LT(fs->count(5), 128) << byHandle;
      } else {
        EXPECT_EQ(readFile(dir.file("down")), data) << byHandle;
      }
    }
  }
}

// Downloads from servers whose READ answers lie: nothing reaches the local file at a place it
// does not belong, and the download fails.
TEST(SftpHostile, LyingReadRepliesFailTheDownload) {
  const std::string data = pattern(300000);
  struct Case {
    const char *name;
    std::function<std::vector<std::string>(const std::string &)> hook;
    const char *logText;
    size_t keptBytes; // bytes of the file's start that may be in the local file
  };
  Case cases[] = {
      {"end of file at 65536, then data for later requests",
       [&](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 5) return {};
         SftpFields in(pkt);
         in.str();
         unsigned long long off = in.u64();
         unsigned int len = in.u32();
         if (off == 65536 || off >= data.size()) return {sftpStatus(sftpIdOf(pkt), 1, "EOF")};
         return {sftpPacket(103, sftpIdOf(pkt), sftpStr(data.substr(off, len)))};
       },
       "Received data past the end of the file.", 65536},
      {"empty data for ever",
       [&](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 5) return {};
         return {sftpPacket(103, sftpIdOf(pkt), sftpStr(""))};
       },
       "The server answers reads with no data.", 0},
      {"more data than asked for",
       [&](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 5) return {};
         return {sftpPacket(103, sftpIdOf(pkt), sftpStr(std::string(70000, 'x')))};
       },
       "Failed to parse FXP_DATA.", 0},
  };
  for (auto &c : cases) {
    TempDir dir;
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/f"] = data;
    fs->hook = c.hook;
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << c.name << logText(f.s);
    XString r, l;
    EXPECT_FALSE(f.s.DownloadFileByName(xs(r, "/f"), xs(l, dir.file("f")), nullptr)) << c.name;
    EXPECT_NE(logText(f.s).find(c.logText), std::string::npos) << c.name << logText(f.s);
    std::string got = readFile(dir.file("f"));
    EXPECT_LE(got.size(), c.keptBytes) << c.name;
    EXPECT_EQ(got, data.substr(0, got.size())) << c.name;
    // Bounded: the empty answers are not asked for without end.
    EXPECT_LT(fs->count(5), 400) << c.name;
    // The replies owed were read off: the session is still usable.
    XString size;
    EXPECT_EQ(f.s.GetFileSize(xs(size, "/f"), true, false, nullptr), (long long)data.size())
        << c.name << logText(f.s);
  }
}

// Many files with their requests in flight together: replies in any order still put every byte
// in its place, a file the server lies about (data past its end or longer than asked, or no data
// for ever) fails alone and leaves nothing, and a reply to no request of the batch closes the
// session.
TEST(SftpHostile, BatchDownloadsTakeRepliesInAnyOrderAndFailALyingFileAlone) {
  const std::string big = pattern(300000), small = pattern(1000);
  // The usual DATA or end-of-file answer to a READ of one of the files.
  auto answerRead = [&](const std::string &pkt) {
    SftpFields in(pkt);
    const std::string path = in.str().substr(2);
    unsigned long long off = in.u64();
    unsigned int len = in.u32();
    const std::string &data = path == "/big" ? big : path == "/small" ? small : std::string();
    if (off >= data.size()) return sftpStatus(sftpIdOf(pkt), 1, "EOF");
    return sftpPacket(103, sftpIdOf(pkt), sftpStr(data.substr(off, len)));
  };
  std::vector<std::string> held;
  std::atomic<int> emptyAnswers{0};
  struct Case {
    const char *name;
    std::function<std::vector<std::string>(const std::string &)> hook;
    bool batchOk;
    std::vector<bool> filesOk; // big, small, empty
    const char *logText;
  };
  Case cases[] = {
      {"every three READs answered last first",
       [&](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 5) return {};
         held.push_back(answerRead(pkt));
         if (held.size() < 3) return {kSftpHold};
         std::vector<std::string> out(held.rbegin(), held.rend());
         held.clear();
         return out;
       },
       true,
       {true, true, true},
       ""},
      {"the big file ends at 65536, then has data further on",
       [&](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 5) return {};
         SftpFields in(pkt);
         const std::string path = in.str();
         if (path == "f:/big" && in.u64() == 65536) return {sftpStatus(sftpIdOf(pkt), 1, "EOF")};
         return {answerRead(pkt)};
       },
       true,
       {false, true, true},
       "Received data past the end of the file."},
      {"the first READ of the empty file answered with more than it asked, ending there",
       [&](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 5) return {};
         SftpFields in(pkt);
         if (in.str() != "f:/empty") return {answerRead(pkt)};
         return {sftpPacket(103, sftpIdOf(pkt), sftpStr(std::string(70000, 'x')) + "\x01")};
       },
       true,
       {true, true, false},
       "Failed to parse FXP_DATA."},
      {"the small file's READs answered with no data, again and again",
       [&](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 5) return {};
         SftpFields in(pkt);
         if (in.str() != "f:/small") return {answerRead(pkt)};
         // A client that never gives up is cut off at last, so that it fails rather than hangs.
         if (++emptyAnswers > 5000) return {kSftpDrop};
         return {sftpPacket(103, sftpIdOf(pkt), sftpStr(""))};
       },
       true,
       {true, false, true},
       "The server answers reads with no data."},
      {"a status for a request never sent",
       [&](const std::string &pkt) -> std::vector<std::string> {
         if (typeOf(pkt) != 5) return {};
         return {sftpStatus(sftpIdOf(pkt) + 1000, 0)};
       },
       false,
       {false, false, false},
       "Received a reply to no request of the batch."},
  };
  for (auto &c : cases) {
    TempDir dir;
    held.clear();
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/big"] = big;
    fs->files["/small"] = small;
    fs->files["/empty"] = "";
    fs->hook = c.hook;
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << c.name << logText(f.s);
    std::vector<SftpBatchFile> files = {{"/big", dir.file("big"), 300000},
                                        {"/small", dir.file("small"), 1000},
                                        {"/empty", dir.file("empty"), 0}};
    EXPECT_EQ(f.s.DownloadFiles(files, 8, nullptr, nullptr), c.batchOk) << c.name << logText(f.s);
    EXPECT_NE(logText(f.s).find(c.logText), std::string::npos) << c.name << logText(f.s);
    const std::string *want[] = {&big, &small, &fs->files["/empty"]};
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(files[i].ok, c.filesOk[i]) << c.name << " " << i << ": " << files[i].error;
      if (files[i].ok) {
        EXPECT_EQ(readFile(files[i].local), *want[i]) << c.name << " " << i;
      } else {
        struct stat st;
        EXPECT_NE(::stat(files[i].local.c_str(), &st), 0) << c.name << " " << i;
      }
    }
    EXPECT_EQ(f.s.get_IsConnected(), c.batchOk) << c.name;
    if (c.batchOk) {
      XString size;
      EXPECT_EQ(f.s.GetFileSize(xs(size, "/big"), true, false, nullptr), (long long)big.size())
          << c.name << logText(f.s);
    }
  }
}

TEST(SftpHostile, DownloadsAndUploadsReportProgressAndStopOnAbort) {
  const std::string data = pattern(16 << 20);
  TempDir dir;
  writeFile(dir.file("src"), data);
  struct Case {
    const char *name;
    bool upload;
    bool abort;
  };
  for (Case c : {Case{"download runs to 100 %", false, false}, Case{"download aborts", false, true},
                 Case{"upload runs to 100 %", true, false}, Case{"upload aborts", true, true}}) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/f"] = data;
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << c.name << logText(f.s);
    CountingEvent ev(c.abort);
    XString r, l;
    bool ok = c.upload ? f.s.UploadFileByName(xs(r, "/up"), xs(l, dir.file("src")), &ev)
                       : f.s.DownloadFileByName(xs(r, "/f"), xs(l, dir.file("down")), &ev);
    EXPECT_EQ(ok, !c.abort) << c.name << logText(f.s);
    ASSERT_FALSE(ev.pcts.empty()) << c.name;
    if (c.abort) {
      // Stopped at the first answer: far fewer requests than the 256 (or 525) the file needs.
      EXPECT_LT(fs->count(c.upload ? 6 : 5), 128) << c.name;
    } else {
      // Step by step, not from 0 straight to 100.
      EXPECT_GT(ev.pcts.size(), 10u) << c.name;
      EXPECT_EQ(ev.pcts.back(), 100) << c.name;
    }
  }
}

// A server that sends its identification one byte at a time, slower than nothing but never
// idle long enough for the idle timer.
TEST(SftpHostile, ConnectingHasADeadline) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lfd, (sockaddr *)&sin, sizeof sin), 0);
  socklen_t len = sizeof sin;
  getsockname(lfd, (sockaddr *)&sin, &len);
  listen(lfd, 1);
  std::atomic<bool> stop{false};
  std::thread server([&] {
    int fd = accept(lfd, nullptr, nullptr);
    for (int i = 0; fd >= 0 && !stop && i < 100000; ++i) {
      if (send(fd, i % 200 == 199 ? "\n" : "x", 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (fd >= 0) close(fd);
  });
  ClsSFtp s;
  s.put_ConnectTimeoutMs(1500);
  s.put_IdleTimeoutMs(5000);
  XString host;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.Connect(xs(host, "127.0.0.1"), ntohs(sin.sin_port), nullptr));
  // Without a deadline this takes hours; the bound is generous for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
  EXPECT_NE(logText(s).find("The time allowed for connecting has passed."), std::string::npos)
      << logText(s);
  stop = true;
  shutdown(lfd, SHUT_RDWR);
  server.join();
  close(lfd);
}

// The deadline covers the whole set-up, not only the identification line: a server that sends
// its identification at once and then trickles its KEXINIT, or that finishes the key exchange
// and keeps the login waiting with IGNORE messages, each well within the idle time.
TEST(SftpHostile, TheConnectDeadlineCoversKeyExchangeAndLogin) {
  // A plain (unencrypted) packet around a payload.
  auto plainPacket = [](const std::string &payload) {
    size_t pad = 8 - (5 + payload.size()) % 8;
    if (pad < 4) pad += 8;
    return sftpU32(unsigned(1 + payload.size() + pad)) + char(pad) + payload +
           std::string(pad, '\0');
  };
  std::string kexinit(1, char(20));
  kexinit += std::string(16, '\0');
  for (const char *list : {"diffie-hellman-group14-sha1", "ssh-rsa", "aes128-ctr", "aes128-ctr",
                           "hmac-sha1", "hmac-sha1", "none", "none", "", ""})
    kexinit += sftpStr(list);
  kexinit += std::string(5, '\0');
  const std::string trickled = plainPacket(kexinit);
  std::atomic<bool> stop{false};
  auto slowly = [&](auto sendOne) {
    // Ten sends a second, for at most two minutes: far longer than the test waits.
    for (int i = 0; i < 1200 && !stop && sendOne(i); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  struct Case {
    const char *name;
    unsigned int connectMs;
    bool connects; // the failure is the login's
    FakeSshServer::Script script;
  } cases[] = {
      {"KEXINIT a byte at a time", 1500, false,
       [&](FakeSshServer &f) {
         if (!f.sendRaw(f.opts.ident + "\r\n")) return;
         slowly([&](int i) {
           return size_t(i) < trickled.size() && f.sendRaw(trickled.substr(i, 1));
         });
       }},
      {"the login answered with IGNORE messages only", 8000, true,
       [&](FakeSshServer &f) {
         SshLoginKey key;
         DataBuffer msg, out;
         if (!f.handshake(key) || !f.readType(5, msg)) return;
         out.appendChar(6);
         SshTransport::pack_string("ssh-userauth", out);
         if (!f.send(out) || !f.readType(50, msg)) return;
         slowly([&](int) {
           DataBuffer ignore;
           ignore.appendChar(2);
           SshTransport::pack_string("wait", ignore);
           return f.send(ignore);
         });
       }},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    stop = false;
    FakeSshServer server(c.script);
    ClsSFtp s;
    s.put_ConnectTimeoutMs(c.connectMs);
    s.put_IdleTimeoutMs(5000);
    XString host, u, p;
    auto t0 = std::chrono::steady_clock::now();
    const bool connected = s.Connect(xs(host, "127.0.0.1"), server.port, nullptr);
    EXPECT_EQ(connected, c.connects) << logText(s);
    if (connected) {
      EXPECT_FALSE(s.AuthenticatePw(xs(u, "u"), xs(p, "p"), nullptr));
    }
    // Without the deadline this lasts as long as the server goes on (minutes); the bound is
    // generous for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));
    EXPECT_NE(logText(s).find("The time allowed for connecting has passed."), std::string::npos)
        << logText(s);
    stop = true;
    s.Disconnect();
  }
}

// Names in the folder's charset: read as UTF-8, sent back as the server's own bytes, by every
// kind of request.
TEST(SftpHostile, NamesTravelInTheFilenameCharset) {
  auto fs = std::make_shared<FakeSftpFs>();
  const std::string latin = "/dir/caf\xe9.txt", other = "/dir/caf.txt";
  fs->files[latin] = "latin";
  fs->files[other] = "other";
  std::vector<std::string> names;
  fs->list = [&](const std::string &) {
    return std::vector<std::pair<std::string, bool>>{
        {"caf\xe9.txt", false}, {"caf.txt", false}, {std::string("nul\0l", 5), false}};
  };
  fs->hook = [&](const std::string &pkt) -> std::vector<std::string> {
    unsigned char t = typeOf(pkt);
    if (t == 9 || t == 13 || t == 17) {
      SftpFields in(pkt);
      std::lock_guard lock(fs->mutex);
      names.push_back(in.str());
    }
    return {};
  };
  FakeSession f(fs);
  ASSERT_TRUE(f.ok) << logText(f.s);
  XString cs, path, h, name;
  f.s.put_FilenameCharset(xs(cs, "iso-8859-1"));
  ASSERT_TRUE(f.s.OpenDir(xs(path, "/dir"), h, nullptr));
  std::unique_ptr<ClsSFtpDir> dir(f.s.ReadDir(h, nullptr));
  ASSERT_TRUE(dir);
  ASSERT_TRUE(dir->GetFilename(0, name));
  EXPECT_STREQ(name.getUtf8(), "caf\xc3\xa9.txt");
  std::string utf8 = std::string("/dir/") + name.getUtf8();
  EXPECT_GE(f.s.GetFileSize(xs(path, utf8), true, false, nullptr), 0);
  f.s.SetPermissions(xs(path, utf8), false, 0644, nullptr);
  EXPECT_TRUE(f.s.RemoveFile(xs(path, utf8), nullptr)) << logText(f.s);
  EXPECT_EQ(names, (std::vector<std::string>{latin, latin, latin}));
  std::lock_guard lock(fs->mutex);
  EXPECT_EQ(fs->files.count(other), 1u) << "another file was hit";
}

// A name with a character the folder's charset lacks (an invisible one, which a conversion could
// leave out without a word, or any other) never reaches the server as the name without it: every
// request that carries it fails before it is sent, and the file of the shorter name stays.
TEST(SftpHostile, NamesTheCharsetCannotCarryAreNeverSent) {
  const char *const kNames[] = {"/dir/a\u200Bb.txt", "/dir/a\u200Db.txt", "/dir/a\uFEFFb.txt",
                                "/dir/a\u2060b.txt", "/dir/a\u200Cb.txt", "/dir/a\u0E01b.txt"};
  for (const char *charset : {"windows-1252", "iso-8859-1", "ansi", "iso-8859-2", "shift_jis"}) {
    SCOPED_TRACE(charset);
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/dir/ab.txt"] = "other";
    std::vector<std::string> sent;
    fs->hook = [&](const std::string &pkt) -> std::vector<std::string> {
      const unsigned char t = typeOf(pkt);
      if (t == 3 || t == 7 || t == 9 || t == 11 || t == 13 || t == 14 || t == 15 || t == 16 ||
          t == 17 || t == 18) {
        SftpFields in(pkt);
        std::lock_guard lock(fs->mutex);
        sent.push_back(in.str());
      }
      return {};
    };
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << logText(f.s);
    XString cs, path, other, h;
    f.s.put_FilenameCharset(xs(cs, charset));
    for (const char *name : kNames) {
      SCOPED_TRACE(name);
      xs(path, name);
      EXPECT_FALSE(f.s.RemoveFile(xs(path, name), nullptr));
      EXPECT_FALSE(f.s.RenameFileOrDir(xs(path, name), xs(other, "/dir/c.txt"), nullptr));
      EXPECT_FALSE(f.s.RenameFileOrDir(xs(other, "/dir/c.txt"), xs(path, name), nullptr));
      EXPECT_FALSE(f.s.CreateDir(xs(path, name), nullptr));
      EXPECT_FALSE(f.s.RemoveDir(xs(path, name), nullptr));
      EXPECT_FALSE(f.s.OpenFile(xs(path, name), "writeOnly", "createTruncate", h, nullptr));
      EXPECT_FALSE(f.s.OpenFile(xs(path, name), "readOnly", "openExisting", h, nullptr));
      EXPECT_LT(f.s.GetFileSize(xs(path, name), true, false, nullptr), 0);
      EXPECT_FALSE(f.s.SetPermissions(xs(path, name), false, 0644, nullptr));
      EXPECT_FALSE(f.s.OpenDir(xs(path, name), h, nullptr));
      XString real;
      EXPECT_FALSE(f.s.RealPath(xs(path, name), xs(other, ""), real, nullptr));
    }
    EXPECT_NE(logText(f.s).find("cannot carry"), std::string::npos);
    std::lock_guard lock(fs->mutex);
    for (const auto &name : sent)
      EXPECT_EQ(name.find("b.txt"), std::string::npos) << "sent: " << name;
    EXPECT_EQ(fs->files["/dir/ab.txt"], "other");
    EXPECT_TRUE(fs->removed.empty());
  }
}

// Text written to a file in a charset: a character it lacks fails the write instead of vanishing
// from the file.
TEST(SftpHostile, TextTheCharsetCannotCarryIsNotWritten) {
  auto fs = std::make_shared<FakeSftpFs>();
  FakeSession f(fs);
  ASSERT_TRUE(f.ok) << logText(f.s);
  XString path, h, text;
  ASSERT_TRUE(f.s.OpenFile(xs(path, "/t.txt"), "writeOnly", "createTruncate", h, nullptr));
  EXPECT_FALSE(f.s.WriteFileText(h, "windows-1252", xs(text, "zero\u200Bwidth"), nullptr));
  EXPECT_FALSE(f.s.WriteFileText64(h, 0, "iso-8859-1", xs(text, "\u20AC"), nullptr));
  EXPECT_TRUE(f.s.WriteFileText(h, "windows-1252", xs(text, "caf\u00E9 \u20AC"), nullptr))
      << logText(f.s);
  EXPECT_TRUE(f.s.CloseHandle(h, nullptr));
  std::lock_guard lock(fs->mutex);
  EXPECT_EQ(fs->files["/t.txt"], "caf\xE9 \x80");
}

TEST(SftpHostile, NamesThatCannotBeSentBackAreLeftOut) {
  auto fs = std::make_shared<FakeSftpFs>();
  fs->list = [](const std::string &) {
    return std::vector<std::pair<std::string, bool>>{{std::string("a\0b", 3), false}, {"a", false}};
  };
  FakeSession f(fs);
  ASSERT_TRUE(f.ok);
  XString path, h, name;
  ASSERT_TRUE(f.s.OpenDir(xs(path, "/d"), h, nullptr));
  std::unique_ptr<ClsSFtpDir> dir(f.s.ReadDir(h, nullptr));
  ASSERT_TRUE(dir);
  ASSERT_EQ(dir->get_NumFilesAndDirs(), 1);
  dir->GetFilename(0, name);
  EXPECT_STREQ(name.getUtf8(), "a");
}

} // namespace
