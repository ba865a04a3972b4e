// Downloads with READs in flight from servers that answer less than was asked, answer out of
// order, fail part way or state their limits: every byte lands at its offset, the end of the
// file is seen where it is, a failure reports nothing as done, and later READs ask what the
// server gives. Also the server's handles and status texts, and a missing file that must not
// be answered with another one.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "sshlib/ssh/SshTransport.h"
#include "tests/support/FakeSftpSession.h"
#include "tests/support/LogTexts.h"

using namespace testsupport;

namespace {

unsigned char typeOf(const std::string &pkt) {
  return (unsigned char)pkt[4];
}

struct ReadAsk {
  std::string path;
  unsigned long long off = 0;
  unsigned int len = 0;
};

ReadAsk readAsk(const std::string &pkt) {
  SftpFields in(pkt);
  ReadAsk r;
  r.path = in.str().substr(2);
  r.off = in.u64();
  r.len = in.u32();
  return r;
}

// The answer of a server that gives at most `cap` bytes for one READ.
std::string cappedAnswer(FakeSftpFs &fs, const std::string &pkt, unsigned int cap) {
  ReadAsk r = readAsk(pkt);
  std::lock_guard lock(fs.mutex);
  const std::string &data = fs.files[r.path];
  if (r.off >= data.size()) return sftpStatus(sftpIdOf(pkt), 1, "EOF");
  return sftpPacket(103, sftpIdOf(pkt), sftpStr(data.substr(r.off, std::min(r.len, cap))));
}

// Every way of reading a whole file: by name, through a handle (with and without the size),
// sequential reads of odd sizes, and reads at offsets.
enum class Way { ByName, ByHandle, ByHandleSizeless, Sequential, AtOffsets };

std::string readWhole(ClsSFtp &s, Way way, const std::string &remote, const TempDir &dir,
                      bool &ok) {
  XString r, l, h;
  const std::string local = dir.file("got");
  ok = true;
  switch (way) {
  case Way::ByName:
    ok = s.DownloadFileByName(xs(r, remote), xs(l, local), nullptr);
    return readFile(local);
  case Way::ByHandle:
  case Way::ByHandleSizeless:
    ok = s.OpenFile(xs(r, remote), "readOnly", "openExisting", h, nullptr) &&
         s.DownloadFile(h, xs(l, local), nullptr) && s.CloseHandle(h, nullptr);
    return readFile(local);
  case Way::Sequential: {
    std::string all;
    if (!s.OpenFile(xs(r, remote), "readOnly", "openExisting", h, nullptr)) break;
    DataBuffer got;
    for (int i = 0; i < 1000 && !s.Eof(h); ++i) {
      if (!s.ReadFileBytes(h, 100003, got, nullptr)) {
        ok = false;
        break;
      }
      all.append((const char *)got.getData2(), got.getSize());
    }
    ok = ok && s.Eof(h) && s.CloseHandle(h, nullptr);
    return all;
  }
  case Way::AtOffsets: {
    std::string all;
    if (!s.OpenFile(xs(r, remote), "readOnly", "openExisting", h, nullptr)) break;
    DataBuffer got;
    // Backwards, so that no read continues where another ended.
    long long size = s.GetFileSize(h, false, true, nullptr);
    std::vector<std::string> parts;
    for (long long at = 0; at < size; at += 77777)
      parts.emplace_back();
    for (size_t i = parts.size(); i-- > 0;) {
      if (!s.ReadFileBytes64(h, (long long)i * 77777, 77777, got, nullptr)) ok = false;
      parts[i].assign((const char *)got.getData2(), got.getSize());
    }
    for (auto &p : parts)
      all += p;
    ok = ok && s.CloseHandle(h, nullptr);
    return all;
  }
  }
  ok = false;
  return "";
}

// Attributes without a size, as some servers send them.
std::vector<std::string> sizelessAttrs(const std::string &pkt) {
  unsigned char t = typeOf(pkt);
  if (t != 7 && t != 8 && t != 17) return {};
  return {sftpPacket(105, sftpIdOf(pkt), sftpU32(0x4) + sftpU32(0100644))};
}

// What the server gives at once and the size of the file read from it: one case each, so that a
// busy machine's slower reads of the large files never add up to one long test.
struct ShortServer {
  unsigned int cap;
  size_t size;
};
class SftpReadPipelineShort : public ::testing::TestWithParam<ShortServer> {};

TEST_P(SftpReadPipelineShort, AnswersLandInPlaceEveryWay) {
  const auto [cap, size] = GetParam();
  const Way ways[] = {Way::ByName, Way::ByHandle, Way::ByHandleSizeless, Way::Sequential,
                      Way::AtOffsets};
  for (Way way : ways) {
    SCOPED_TRACE("way " + std::to_string((int)way));
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/f"] = pattern(size);
    FakeSftpFs *tree = fs.get();
    fs->hook = [tree, cap, way](const std::string &pkt) -> std::vector<std::string> {
      if (typeOf(pkt) == 5) return {cappedAnswer(*tree, pkt, cap)};
      if (way == Way::ByHandleSizeless) return sizelessAttrs(pkt);
      return {};
    };
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << logText(f.s);
    TempDir dir;
    bool ok = false;
    std::string got = readWhole(f.s, way, "/f", dir, ok);
    EXPECT_TRUE(ok) << logText(f.s);
    EXPECT_TRUE(got == fs->files["/f"]) << got.size();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, SftpReadPipelineShort,
    ::testing::Values(ShortServer{32768, 0}, ShortServer{32768, 1}, ShortServer{32768, 65536},
                      ShortServer{32768, 65537}, ShortServer{32768, 300000},
                      ShortServer{32768, (2 << 20) + 17}, ShortServer{1000, 65537},
                      ShortServer{1000, 300000}, ShortServer{65535, (2 << 20) + 17}),
    [](const ::testing::TestParamInfo<ShortServer> &i) {
      return "Cap" + std::to_string(i.param.cap) + "Size" + std::to_string(i.param.size);
    });

// Replies that come before older ones wait for them, also when they are short: the server holds
// its answer to the first READ until a READ well past it has come, and answers both then.
TEST(SftpReadPipeline, RepliesOutOfOrderAndShortKeepTheFileOrder) {
  const std::string data = pattern(600000);
  for (unsigned int cap : {32768u, 65536u}) {
    SCOPED_TRACE(cap);
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/f"] = data;
    FakeSftpFs *tree = fs.get();
    auto held = std::make_shared<std::string>();
    fs->hook = [tree, cap, held](const std::string &pkt) -> std::vector<std::string> {
      if (typeOf(pkt) != 5) return {};
      ReadAsk r = readAsk(pkt);
      if (r.off == 0 && held->empty()) {
        *held = cappedAnswer(*tree, pkt, cap);
        return {kSftpHold};
      }
      std::string answer = cappedAnswer(*tree, pkt, cap);
      if (!held->empty() && *held != "-" && r.off >= 4 * 65536) {
        std::string first = *held;
        *held = "-"; // answered
        return {answer, first};
      }
      return {answer};
    };
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << logText(f.s);
    TempDir dir;
    XString r, l;
    EXPECT_TRUE(f.s.DownloadFileByName(xs(r, "/f"), xs(l, dir.file("got")), nullptr))
        << logText(f.s);
    EXPECT_TRUE(readFile(dir.file("got")) == data);
    EXPECT_EQ(*held, "-");
  }
}

// A server that fails part way, in the middle of short answers: the download fails, the local
// file holds nothing but the file's own first bytes, and the session is still in step (or, with
// the connection cut, gone).
TEST(SftpReadPipeline, AFailurePartWayReportsNothingAsDone) {
  const std::string data = pattern(3 << 20);
  struct Case {
    const char *name;
    std::string piece; // what the READ at the failing offset gets
    bool connected;
    const char *logText;
  };
  const Case cases[] = {
      {"a failure status", sftpStatus(0, 4, "Failure"), true, "Unexpected status response."},
      {"the connection cut", kSftpDrop, false, "Socket connection lost, channel closed."},
      {"an end of file in the middle, then data", sftpStatus(0, 1, "EOF"), true,
       "Received data past the end of the file."},
  };
  for (const Case &c : cases) {
    for (bool byName : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (byName ? " by name" : " by handle"));
      auto fs = std::make_shared<FakeSftpFs>();
      fs->files["/f"] = data;
      FakeSftpFs *tree = fs.get();
      std::string piece = c.piece;
      fs->hook = [tree, piece](const std::string &pkt) -> std::vector<std::string> {
        if (typeOf(pkt) != 5) return {};
        ReadAsk r = readAsk(pkt);
        if (r.off <= 1000000 && r.off + r.len > 1000000) {
          if (piece == kSftpDrop) return {kSftpDrop};
          return {sftpPacket(typeOf(piece), sftpIdOf(pkt), piece.substr(9))};
        }
        return {cappedAnswer(*tree, pkt, 32768)};
      };
      FakeSession f(fs);
      ASSERT_TRUE(f.ok) << logText(f.s);
      TempDir dir;
      XString r, l, h;
      bool ok = byName ? f.s.DownloadFileByName(xs(r, "/f"), xs(l, dir.file("got")), nullptr)
                       : f.s.OpenFile(xs(r, "/f"), "readOnly", "openExisting", h, nullptr) &&
                             f.s.DownloadFile(h, xs(l, dir.file("got")), nullptr);
      EXPECT_FALSE(ok);
      EXPECT_NE(logText(f.s).find(c.logText), std::string::npos) << logText(f.s);
      std::string got = readFile(dir.file("got"));
      EXPECT_LE(got.size(), 1000000u);
      EXPECT_TRUE(got == data.substr(0, got.size()));
      EXPECT_EQ(f.s.get_IsConnected(), c.connected);
      if (c.connected) {
        EXPECT_EQ(f.s.GetFileSize(xs(r, "/f"), true, false, nullptr), (long long)data.size())
            << logText(f.s);
      }
    }
  }
}

// Once a server has shown that it gives less than asked (by its limits@openssh.com answer, or
// by short answers whose rest came), later READs ask that much; its write limit sizes WRITEs.
TEST(SftpReadPipeline, LaterRequestsAskWhatTheServerGives) {
  const std::string data = pattern(16 << 20);
  struct Case {
    const char *name;
    // The server states its limits (and answers whole READs all the same); else its answers
    // show them.
    bool limits;
    unsigned int readCap, writeCap;
  };
  const Case cases[] = {{"stated", true, 16384, 10000}, {"shown", false, 32768, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/f"] = data;
    fs->files["/up"] = "";
    FakeSftpFs *tree = fs.get();
    auto reads = std::make_shared<std::vector<unsigned int>>();
    auto writes = std::make_shared<std::vector<unsigned int>>();
    fs->hook = [tree, c, reads, writes](const std::string &pkt) -> std::vector<std::string> {
      if (typeOf(pkt) == 1 && c.limits)
        return {sftpPacket(2, 0, sftpU32(3) + sftpStr("limits@openssh.com") + sftpStr("1"), false)};
      if (typeOf(pkt) == 200) {
        auto u64 = [](unsigned long long v) {
          return sftpU32((unsigned)(v >> 32)) + sftpU32((unsigned)v);
        };
        return {sftpPacket(201, sftpIdOf(pkt),
                           u64(c.readCap + 1024) + u64(c.readCap) + u64(c.writeCap) + u64(64))};
      }
      if (typeOf(pkt) == 6) {
        SftpFields in(pkt);
        in.str();
        in.u64();
        std::lock_guard lock(tree->mutex);
        writes->push_back((unsigned)in.str().size());
      }
      if (typeOf(pkt) != 5) return {};
      {
        std::lock_guard lock(tree->mutex);
        reads->push_back(readAsk(pkt).len);
      }
      return {cappedAnswer(*tree, pkt, c.limits ? 65536 : c.readCap)};
    };
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << logText(f.s);
    TempDir dir;
    XString r, l;
    ASSERT_TRUE(f.s.DownloadFileByName(xs(r, "/f"), xs(l, dir.file("got")), nullptr))
        << logText(f.s);
    EXPECT_TRUE(readFile(dir.file("got")) == data);
    {
      // The second half of the file is asked in READs of what the server gives, none larger.
      std::lock_guard lock(fs->mutex);
      size_t larger = 0;
      for (size_t i = reads->size() / 2; i < reads->size(); ++i)
        if ((*reads)[i] > c.readCap) ++larger;
      EXPECT_EQ(larger, 0u);
    }
    if (!c.writeCap) continue;
    writeFile(dir.file("src"), data.substr(0, 100000));
    EXPECT_TRUE(f.s.UploadFileByName(xs(r, "/up"), xs(l, dir.file("src")), nullptr))
        << logText(f.s);
    std::lock_guard lock(fs->mutex);
    EXPECT_TRUE(fs->files["/up"] == data.substr(0, 100000));
    EXPECT_FALSE(writes->empty());
    for (unsigned int n : *writes)
      EXPECT_LE(n, c.writeCap);
  }
}

// The protocol allows handles of 256 bytes at most: a longer one is refused, for a file and for
// a folder, before it is ever sent back.
TEST(SftpReadPipeline, HandlesLongerThanTheProtocolAllowsAreRefused) {
  for (size_t length : {(size_t)256, (size_t)257, (size_t)100000}) {
    SCOPED_TRACE(length);
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/f"] = "x";
    fs->hook = [length](const std::string &pkt) -> std::vector<std::string> {
      if (typeOf(pkt) != 3 && typeOf(pkt) != 11) return {};
      return {sftpPacket(102, sftpIdOf(pkt), sftpStr(std::string(length, 'h')))};
    };
    FakeSession f(fs);
    ASSERT_TRUE(f.ok) << logText(f.s);
    XString r, h;
    const bool fits = length <= 256;
    EXPECT_EQ(f.s.OpenFile(xs(r, "/f"), "readOnly", "openExisting", h, nullptr), fits);
    EXPECT_EQ(f.s.OpenDir(xs(r, "/"), h, nullptr), fits);
    if (!fits) {
      EXPECT_NE(logText(f.s).find("The server sent a handle longer than 256 bytes."),
                std::string::npos);
    }
  }
}

// A status message of any length is logged, cut to a bound, on one line.
TEST(SftpReadPipeline, LongStatusMessagesAreLoggedCutAndEscaped) {
  auto fs = std::make_shared<FakeSftpFs>();
  const std::string message = "Denied\nFORGED LINE " + std::string(70000, 'x');
  fs->hook = [message](const std::string &pkt) -> std::vector<std::string> {
    if (typeOf(pkt) != 13) return {};
    return {sftpStatus(sftpIdOf(pkt), 3, message)};
  };
  FakeSession f(fs);
  ASSERT_TRUE(f.ok) << logText(f.s);
  XString r;
  EXPECT_FALSE(f.s.RemoveFile(xs(r, "/f"), nullptr));
  const std::string log = logText(f.s);
  EXPECT_NE(log.find("Denied\\nFORGED LINE xxxx"), std::string::npos) << log.substr(0, 2000);
  EXPECT_EQ(log.find("\nFORGED"), std::string::npos);
  EXPECT_LT(log.size(), message.size() / 4);
}

// A missing file is not found, whatever lies below the login folder under the same name; a name
// relative to the login folder may still be tried in its "./" form, which names the same file.
TEST(SftpReadPipeline, AMissingFileIsNeverAnsweredWithAnother) {
  struct Case {
    const char *asked;
    bool found;
  };
  const Case cases[] = {{"/ghost/x.bin", false}, {"ghost/x.bin", true}, {"./ghost/y.bin", false}};
  for (const Case &c : cases) {
    for (bool batch : {false, true}) {
      SCOPED_TRACE(std::string(c.asked) + (batch ? " batch" : ""));
      auto fs = std::make_shared<FakeSftpFs>();
      // What the server finds below the login folder.
      fs->files["./ghost/x.bin"] = "another file";
      FakeSession f(fs);
      ASSERT_TRUE(f.ok) << logText(f.s);
      TempDir dir;
      bool ok;
      if (batch) {
        std::vector<SftpBatchFile> files{{c.asked, dir.file("got")}};
        f.s.DownloadFiles(files, 4, nullptr, nullptr);
        ok = files[0].ok;
      } else {
        XString r, l;
        ok = f.s.DownloadFileByName(xs(r, c.asked), xs(l, dir.file("got")), nullptr);
      }
      EXPECT_EQ(ok, c.found) << logText(f.s);
      if (!c.found) {
        EXPECT_NE(readFile(dir.file("got")), "another file");
      }
    }
  }
}

} // namespace

// Sequential reads through a handle: only the byte reads keep their result on the handle; a text
// read at the end of the file fails and leaves the handle as it was.
TEST(SftpReadPipeline, OnlyByteReadsKeepTheirResultOnTheHandle) {
  auto fs = std::make_shared<FakeSftpFs>();
  fs->files["/f"] = "hello world";
  FakeSftpFs *tree = fs.get();
  auto failReads = std::make_shared<std::atomic<bool>>(false);
  fs->hook = [tree, failReads](const std::string &pkt) -> std::vector<std::string> {
    if (typeOf(pkt) != 5) return {};
    if (*failReads) return {sftpStatus(sftpIdOf(pkt), 4, "Failure")};
    return {cappedAnswer(*tree, pkt, 32768)};
  };
  FakeSession f(fs);
  ASSERT_TRUE(f.ok) << logText(f.s);
  XString r, h, text;
  ASSERT_TRUE(f.s.OpenFile(xs(r, "/f"), "readOnly", "openExisting", h, nullptr));
  DataBuffer got;
  *failReads = true;
  EXPECT_FALSE(f.s.ReadFileBytes(h, 4, got, nullptr));
  EXPECT_TRUE(f.s.LastReadFailed(h));
  *failReads = false;
  // Text reads, up to the end and at it: the failed byte read stays the handle's last.
  struct Step {
    unsigned int ask;
    const char *text;
  };
  for (const Step &step : {Step{4, "hell"}, Step{100, "o world"}}) {
    SCOPED_TRACE(step.text);
    ASSERT_TRUE(f.s.ReadFileText(h, step.ask, "utf-8", text, nullptr)) << logText(f.s);
    EXPECT_STREQ(text.getUtf8(), step.text);
    EXPECT_TRUE(f.s.LastReadFailed(h));
  }
  if (!f.s.Eof(h)) f.s.ReadFileText(h, 100, "utf-8", text, nullptr); // the server tells the end
  ASSERT_TRUE(f.s.Eof(h));
  EXPECT_FALSE(f.s.ReadFileText(h, 100, "utf-8", text, nullptr));
  EXPECT_TRUE(testsupport::logHasLine(logText(f.s), "Already at end-of-file.")) << logText(f.s);
  EXPECT_TRUE(f.s.LastReadFailed(h));
  EXPECT_TRUE(f.s.Eof(h));
  // A byte read at the end succeeds with nothing and keeps that.
  EXPECT_TRUE(f.s.ReadFileBytes(h, 4, got, nullptr));
  EXPECT_EQ(got.getSize(), 0u);
  EXPECT_FALSE(f.s.LastReadFailed(h));
  EXPECT_EQ(f.s.LastReadNumBytes(h), 0u);
}

// Without a session every handle is unknown. A text read looks the handle up before the session
// guards and says only that; a write looks it up first and the guards still say theirs; a byte
// read runs the guards first.
TEST(SftpReadPipeline, AnUnknownHandleWithoutASessionIsToldInTheOrderOfEachCall) {
  ClsSFtp s;
  XString h, text;
  xs(h, "6e6f6e65");
  DataBuffer bytes;
  bytes.append("x", 1);
  const std::string invalid = "Invalid handle.", guard = "Must first connect to the SSH server.";
  struct Case {
    const char *call;
    std::function<bool()> run;
    bool saysInvalid, saysGuard;
  };
  const Case cases[] = {
      {"ReadFileText", [&] { return s.ReadFileText(h, 4, "utf-8", text, nullptr); }, true, false},
      {"WriteFileBytes", [&] { return s.WriteFileBytes(h, bytes, nullptr); }, true, true},
      {"WriteFileText", [&] { return s.WriteFileText(h, "utf-8", xs(text, "x"), nullptr); }, true,
       true},
      {"ReadFileBytes", [&] { return s.ReadFileBytes(h, 4, bytes, nullptr); }, false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.call);
    EXPECT_FALSE(c.run());
    const std::string log = logText(s);
    EXPECT_EQ(testsupport::countLogLines(log, invalid), c.saysInvalid ? 1 : 0) << log;
    EXPECT_EQ(testsupport::countLogLines(log, guard), c.saysGuard ? 1 : 0) << log;
  }
}
