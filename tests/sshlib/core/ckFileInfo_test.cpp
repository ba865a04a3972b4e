// File information against stat (sizes past 4 GiB, UTC and local times), directory listings
// (types the system does not report, UTF-8 names) and directory creation level by level.
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"
#include "sshlib/core/ckFileInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "FileTestDir.h"

namespace {

std::string logText(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

void setTimes(const std::string &path, time_t atime, time_t mtime) {
  struct timeval tv[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(utimes(path.c_str(), tv), 0);
}

long offsetAt(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  return tm.tm_gmtoff;
}

// Runs the body with the given time zone, restoring the previous one afterwards.
class ZoneScope {
public:
  explicit ZoneScope(const char *tz) {
    const char *old = std::getenv("TZ");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneScope() {
    if (hadOld_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

private:
  bool hadOld_ = false;
  std::string old_;
};

TEST(FileInfo, EqualsStatForFilesAndDirectories) {
  filetest::TempDir dir;
  ZoneScope zone("Europe/Berlin");
  std::string f = dir.file("caf\xC3\xA9.bin");
  filetest::writeBytes(f, std::string(12345, 'q'));
  const time_t summer = 1594814400; // 2020-07-15 12:00 UTC, +2 h in Berlin
  const time_t winter = 1579089600; // 2020-01-15 12:00 UTC, +1 h
  setTimes(f, winter, summer);
  ckFileInfo info;
  ASSERT_TRUE(info.loadFileInfoUtf8(f.c_str(), nullptr));
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_FALSE(info.m_isDirectory);
  EXPECT_EQ(info.m_attributes, 0u);
  EXPECT_EQ(info.m_size64, st.st_size);
  EXPECT_EQ(info.m_sizeLow, 12345u);
  EXPECT_STREQ(info.m_path.getString(), f.c_str());
  EXPECT_EQ(info.m_lastModTimeUtc.toUnixTime(), st.st_mtime);
  EXPECT_EQ(info.m_lastAccessTimeUtc.toUnixTime(), st.st_atime);
  EXPECT_EQ(info.m_createTimeUtc.toUnixTime(), st.st_mtime);
  EXPECT_EQ(info.m_lastModTime.toUnixTime(), summer + 7200);
  EXPECT_EQ(info.m_createTime.toUnixTime(), summer + 7200);
  EXPECT_EQ(info.m_lastAccessTime.toUnixTime(), winter + 3600);
  EXPECT_FALSE(info.isReadOnly() || info.isHidden() || info.isArchive() || info.isCompressed() ||
               info.isEncrypted());

  ckFileInfo d;
  ASSERT_TRUE(d.loadFileInfoUtf8(dir.path().c_str(), nullptr));
  EXPECT_TRUE(d.m_isDirectory);
  EXPECT_EQ(d.m_attributes, 0x10u);
  EXPECT_EQ(d.m_size64, 0);
  EXPECT_FALSE(d.isReadOnly());
  EXPECT_NE(d.m_lastModTime.toUnixTime(), 0);
  EXPECT_EQ(d.m_lastModTime.toUnixTime(),
            d.m_lastModTimeUtc.toUnixTime() + offsetAt(d.m_lastModTimeUtc.toUnixTime()));
}

TEST(FileInfo, SizesBeyondFourGiBAndSpecialFiles) {
  filetest::TempDir dir;
  std::string f = dir.file("sparse");
  const long long big = 6LL * 1024 * 1024 * 1024 + 7;
  {
    FILE *fp = std::fopen(f.c_str(), "w");
    ASSERT_EQ(ftruncate(fileno(fp), big), 0);
    std::fclose(fp);
  }
  ckFileInfo info;
  ASSERT_TRUE(info.loadFileInfoUtf8(f.c_str(), nullptr));
  EXPECT_EQ(info.m_size64, big);
  EXPECT_EQ(info.m_sizeLow, static_cast<unsigned int>(big & 0xFFFFFFFF));
  // A FIFO with no writer: its information comes back without blocking on an open.
  std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ckFileInfo fi;
  EXPECT_TRUE(fi.loadFileInfoUtf8(fifo.c_str(), nullptr));
  EXPECT_FALSE(fi.m_isDirectory);
  EXPECT_EQ(fi.m_size64, 0);
}

TEST(FileInfo, MissingPathLeavesAClearedRecord) {
  filetest::TempDir dir;
  ckFileInfo info;
  ASSERT_TRUE(info.loadFileInfoUtf8(dir.path().c_str(), nullptr));
  Logger log;
  std::string missing = dir.file("missing");
  EXPECT_FALSE(info.loadFileInfoUtf8(missing.c_str(), &log));
  EXPECT_EQ(logText(log),
            "RazudodLog:\n  Failed to get file information (stat)\n  path: " + missing +
                "\n  errno: 2\n  osErrorMessage: " + std::strerror(ENOENT) + "\n");
  EXPECT_FALSE(info.m_isDirectory);
  EXPECT_EQ(info.m_attributes, 0u);
  EXPECT_EQ(info.m_path.getSize(), 0);
  EXPECT_EQ(info.m_lastModTime.toUnixTime(), 0);
  EXPECT_FALSE(info.m_accessDenied);
}

std::vector<std::string> listing(const std::string &path, std::vector<bool> *dirs = nullptr) {
  FindFileLinux ff;
  LogNull log;
  XString p;
  p.setFromUtf8(path.c_str());
  std::vector<std::pair<std::string, bool>> found;
  bool more = ff.ffOpenDir2(p, false, log);
  bool unused = false;
  while (more) {
    XString name;
    ff.getFileName(name, log);
    found.push_back({name.getUtf8(), ff.isDirectory()});
    more = ff.ffNextDirEntry2(unused, false, log);
  }
  XString after;
  after.setFromUtf8("stale");
  ff.getFileName(after, log);
  EXPECT_STREQ(after.getUtf8(), "") << "no current entry after the end";
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto &[n, d] : found) {
    names.push_back(n);
    if (dirs) dirs->push_back(d);
  }
  return names;
}

TEST(DirectoryListing, FilesAndFoldersOnlyWithUtf8Names) {
  filetest::TempDir dir;
  filetest::writeBytes(dir.file("b.txt"), "x");
  filetest::writeBytes(dir.file("caf\xC3\xA9.txt"), "x");
  std::filesystem::create_directory(dir.file("sub"));
  ASSERT_EQ(symlink("sub", dir.file("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::vector<bool> dirs;
  EXPECT_EQ(listing(dir.path(), &dirs),
            (std::vector<std::string>{"b.txt", "caf\xC3\xA9.txt", "sub"}));
  EXPECT_EQ(dirs, (std::vector<bool>{false, false, true}));

  filetest::TempDir only;
  ASSERT_EQ(symlink("nowhere", only.file("link").c_str()), 0);
  ASSERT_EQ(mkfifo(only.file("fifo").c_str(), 0600), 0);
  FindFileLinux ff;
  LogNull quiet;
  XString p;
  p.setFromUtf8(only.path().c_str());
  EXPECT_FALSE(ff.ffOpenDir2(p, false, quiet)) << "no acceptable entry";
  EXPECT_FALSE(ff.isDirectory());
}

TEST(DirectoryListing, UnreportedTypesAreAskedWithoutFollowingLinks) {
  filetest::TempDir dir;
  filetest::writeBytes(dir.file("file"), "x");
  std::filesystem::create_directory(dir.file("folder"));
  ASSERT_EQ(symlink("folder", dir.file("link").c_str()), 0);
  DIR *d = opendir(dir.path().c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(FindFileLinux::resolveEntryType(d, "file", DT_UNKNOWN), DT_REG);
  EXPECT_EQ(FindFileLinux::resolveEntryType(d, "folder", DT_UNKNOWN), DT_DIR);
  EXPECT_EQ(FindFileLinux::resolveEntryType(d, "link", DT_UNKNOWN), DT_LNK);
  EXPECT_EQ(FindFileLinux::resolveEntryType(d, "gone", DT_UNKNOWN), DT_UNKNOWN);
  EXPECT_EQ(FindFileLinux::resolveEntryType(d, "file", DT_FIFO), DT_FIFO) << "reported: kept";
  closedir(d);
}

TEST(DirectoryListing, FailuresAreLogged) {
  filetest::TempDir dir;
  FindFileLinux ff;
  Logger log;
  bool unused = false;
  EXPECT_FALSE(ff.ffNextDirEntry2(unused, false, log));
  XString p;
  std::string missing = dir.file("missing");
  p.setFromUtf8(missing.c_str());
  EXPECT_FALSE(ff.ffOpenDir2(p, false, log));
  EXPECT_EQ(logText(log), "RazudodLog:\n  No directory stream open for readdir.\n  errno: 2\n"
                          "  osErrorMessage: " +
                              std::string(std::strerror(ENOENT)) +
                              "\n  Failed to opendir\n  path: " + missing + "\n");
  EXPECT_FALSE(ff.advancePosition(nullptr, log));
}

// Runs in the temporary folder so that relative paths land there.
class InDir {
public:
  explicit InDir(const std::string &path) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~InDir() { std::filesystem::current_path(old_); }

private:
  std::filesystem::path old_;
};

TEST(DirectoryCreation, LevelByLevel) {
  filetest::TempDir dir;
  InDir here(dir.path());
  Logger log;
  EXPECT_TRUE(DirAutoCreate::ensureDirUtf8("  a\\b/c \n", &log));
  EXPECT_TRUE(std::filesystem::is_directory("a/b/c"));
  std::string t = logText(log);
  EXPECT_NE(t.find("  Failed to create directory.\n  path: a/b/c\n"), std::string::npos) << t;
  EXPECT_EQ(t.find("Cannot ensure"), std::string::npos);

  Logger second;
  EXPECT_TRUE(DirAutoCreate::ensureDirUtf8("a/b/d", &second));
  EXPECT_EQ(logText(second), "RazudodLog:\n") << "created by the first attempt";

  ExtPtrArray list;
  list.m_bOwnsObjects = true;
  std::string abs = dir.file("x/y");
  EXPECT_TRUE(DirAutoCreate::ensureDirUtf8_2(abs.c_str(), &list, nullptr));
  ASSERT_EQ(list.getSize(), 2);
  EXPECT_EQ(std::string(list.sbAt(0)->getString()), dir.file("x") + "D");
  EXPECT_EQ(std::string(list.sbAt(1)->getString()), abs + "D");
  EXPECT_TRUE(DirAutoCreate::ensureDirUtf8_2(abs.c_str(), &list, nullptr));
  EXPECT_EQ(list.getSize(), 2) << "nothing new";

  Logger fail;
  std::string tooLong(300, 'n');
  EXPECT_FALSE(DirAutoCreate::ensureDirUtf8(tooLong.c_str(), &fail));
  EXPECT_NE(logText(fail).find("  Cannot ensure directory existence\n  path: " + tooLong + "\n"),
            std::string::npos);
  Logger failDeep;
  filetest::writeBytes("plainfile", "x");
  EXPECT_FALSE(DirAutoCreate::ensureDirUtf8("plainfile/sub/more", &failDeep));
  EXPECT_NE(logText(failDeep).find("  Cannot ensure directory existence\n  path: plainfile/sub\n"),
            std::string::npos)
      << logText(failDeep);

  EXPECT_TRUE(DirAutoCreate::ensureDirUtf8(".", nullptr));
  EXPECT_TRUE(DirAutoCreate::ensureDirUtf8("   ", nullptr));
  EXPECT_TRUE(DirAutoCreate::ensureDirUtf8(nullptr, nullptr));
  bool created = true;
  EXPECT_TRUE(DirAutoCreate::checkCreateFinalUtf8("a", created, nullptr));
  EXPECT_FALSE(created);
  EXPECT_TRUE(DirAutoCreate::ensureDirUtf8("\xC3\xA9t\xC3\xA9/hiver", nullptr));
  EXPECT_TRUE(std::filesystem::is_directory("\xC3\xA9t\xC3\xA9/hiver"));
}

TEST(DirectoryCreation, DirectoryOfAFile) {
  filetest::TempDir dir;
  InDir here(dir.path());
  StringBuffer out;
  EXPECT_TRUE(DirAutoCreate::ensureFileUtf8(" p\\q/file.txt ", out, nullptr));
  EXPECT_STREQ(out.getString(), "p/q");
  EXPECT_TRUE(std::filesystem::is_directory("p/q"));
  EXPECT_FALSE(std::filesystem::exists("p/q/file.txt"));
  EXPECT_TRUE(DirAutoCreate::ensureFileUtf8("bare.txt", out, nullptr));
  EXPECT_STREQ(out.getString(), "bare.txt");
  EXPECT_FALSE(std::filesystem::exists("bare.txt"));
  EXPECT_TRUE(DirAutoCreate::ensureFileUtf8("/root.txt", out, nullptr));
  EXPECT_STREQ(out.getString(), "/root.txt");
  Logger log;
  EXPECT_FALSE(DirAutoCreate::ensureFileUtf8(nullptr, out, &log));
  EXPECT_EQ(logText(log), "RazudodLog:\n  No filePath\n");
}

} // namespace
