// The bytes of the SETSTAT and FSETSTAT requests that set times of a remote file, for every
// SFTP version: one time alone in whole seconds, or the times of a local file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <mutex>

#include "sshlib/core/RazudodSysTime.h"
#include "tests/support/FakeSftpServer.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

std::string u64(unsigned long long v) {
  return sftpU32((unsigned)(v >> 32)) + sftpU32((unsigned)v);
}

// A server of the given version that records every SETSTAT and FSETSTAT. On version 3 a file's
// current times are 1000 (access) and 2000 (modification).
struct SetStatServer {
  explicit SetStatServer(unsigned int version) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->hook = [this, version](const std::string &pkt) -> std::vector<std::string> {
      const unsigned char type = (unsigned char)pkt[4];
      if (type == 1) return {sftpVersion(version)};
      if (type == 7 || type == 8 || type == 17)
        return {sftpPacket(105, sftpIdOf(pkt), sftpU32(0x8) + sftpU32(1000) + sftpU32(2000))};
      if (type == 9 || type == 10) {
        std::lock_guard lock(mutex);
        sent.push_back(pkt);
      }
      return {};
    };
    srv = std::make_unique<FakeSftpServer>(fsOptions(fs));
  }
  std::vector<std::string> requests() {
    std::lock_guard lock(mutex);
    return sent;
  }
  std::mutex mutex;
  std::vector<std::string> sent;
  std::unique_ptr<FakeSftpServer> srv;
};

TEST(SftpSetTimes, EachSendsItsOwnFlagAndWholeSeconds) {
  // 2012-03-04 05:06:07.250 UTC: the milliseconds go nowhere.
  RazudodSysTime t{};
  t.m_year = 2012, t.m_month = 3, t.m_day = 4, t.m_hour = 5, t.m_minute = 6, t.m_second = 7;
  t.m_milliseconds = 250;
  const unsigned int secs = 1330837567;
  enum Which { kAccess, kModified, kCreate };
  struct Case {
    unsigned int version;
    Which which;
    std::string attrs; // the record sent; empty when nothing may be sent
  };
  const std::string type5(1, '\5');
  const Case cases[] = {
      {3, kAccess, sftpU32(0x8) + sftpU32(secs) + sftpU32(2000)},
      {3, kModified, sftpU32(0x8) + sftpU32(1000) + sftpU32(secs)},
      {3, kCreate, ""},
      {4, kAccess, sftpU32(0x8) + type5 + u64(secs)},
      {4, kModified, sftpU32(0x20) + type5 + u64(secs)},
      {4, kCreate, sftpU32(0x10) + type5 + u64(secs)},
      {5, kModified, sftpU32(0x20) + type5 + u64(secs)},
      {6, kAccess, sftpU32(0x8) + type5 + u64(secs)},
      {6, kModified, sftpU32(0x20) + type5 + u64(secs)},
      {6, kCreate, sftpU32(0x10) + type5 + u64(secs)},
  };
  for (const auto &c : cases) {
    for (bool isHandle : {false, true}) {
      SCOPED_TRACE("version " + std::to_string(c.version) + " time " + std::to_string(c.which) +
                   (isHandle ? " by handle" : " by name"));
      SetStatServer server(c.version);
      ClsSFtp s;
      ASSERT_EQ(sftpSession(s, server.srv->port(), "u", "p"), "");
      ASSERT_EQ(s.get_ProtocolVersion(), (int)c.version);
      // The handle "h" as the hex text the library hands out.
      XString target;
      xs(target, isHandle ? "68" : "/f");
      bool ok = c.which == kAccess     ? s.SetLastAccessTime(target, isHandle, t, nullptr)
                : c.which == kModified ? s.SetLastModifiedTime(target, isHandle, t, nullptr)
                                       : s.SetCreateTime(target, isHandle, t, nullptr);
      auto sent = server.requests();
      if (c.attrs.empty()) {
        EXPECT_FALSE(ok);
        EXPECT_TRUE(sent.empty());
        continue;
      }
      ASSERT_TRUE(ok) << logText(s);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ((int)sent[0][4], isHandle ? 10 : 9);
      SftpFields fields(sent[0]);
      EXPECT_EQ(fields.str(), isHandle ? "h" : "/f");
      EXPECT_EQ(sent[0].substr(fields.at), c.attrs);
    }
  }
}

} // namespace

namespace {

// A local file with the given access and modification times (seconds and nanoseconds).
std::string fileWithTimes(const TempDir &dir, long atime, long ans, long mtime, long mns) {
  const std::string path = dir.file("local");
  writeFile(path, "x");
  const struct timespec times[2] = {{atime, ans}, {mtime, mns}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
  return path;
}

} // namespace

TEST(SftpSetTimes, CopyFileAttrSendsTheLocalFilesTimesForEachVersion) {
  TempDir dir;
  const std::string local = fileWithTimes(dir, 1000000000, 5, 1300000000, 7);
  const std::string one(1, '\1');
  const std::string v4 = one + u64(1000000000) + u64(1300000000) + u64(1300000000);
  const std::string v56 = one + u64(1000000000) + sftpU32(5) + u64(1300000000) + sftpU32(7) +
                          u64(1300000000) + sftpU32(7) + sftpU32(0);
  const struct {
    unsigned int version;
    std::string attrs;
  } cases[] = {
      {3, sftpU32(0x8) + sftpU32(1000000000) + sftpU32(1300000000)},
      {4, sftpU32(0x38) + v4},
      {5, sftpU32(0x338) + v56},
      {6, sftpU32(0x338) + v56 + sftpU32(0x75)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("version " + std::to_string(c.version));
    SetStatServer server(c.version);
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, server.srv->port(), "u", "p"), "");
    XString from, to;
    ASSERT_TRUE(s.CopyFileAttr(xs(from, local), xs(to, "/f"), false, nullptr)) << logText(s);
    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 1u);
    SftpFields fields(sent[0]);
    EXPECT_EQ(fields.str(), "/f");
    EXPECT_EQ(sent[0].substr(fields.at), c.attrs);
  }
}
