// The file layer against the real file system: open failures and their codes and log lines,
// whole-file writes, 64-bit sizes (sparse files), UTF-8 names, directories and path helpers.
#include "sshlib/core/FileSys.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodHandle.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "FileTestDir.h"

extern char **environ;

namespace {

std::string logText(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

// An XString set from UTF-8 text.
struct U8 : XString {
  explicit U8(const std::string &s) { setFromUtf8(s.c_str()); }
};

// Opens with the given mode through the library; returns the open-failure code (0 on success)
// and leaves the log text in *text.
int openCode(const std::string &path, const char *mode, std::string *text = nullptr) {
  Logger log;
  XString x;
  x.setFromUtf8(path.c_str());
  int code = 0;
  RazudodHandle *h = FileSys::openFileLinux(x, mode, code, &log);
  delete h;
  if (text) *text = logText(log);
  return code;
}

std::string openFailureLines(int err, const char *mode, const std::string &path) {
  return "  errno: " + std::to_string(err) + "\n  osErrorMessage: " + std::strerror(err) +
         "\n  Failed to open file.\n  mode: " + mode + "\n  path: " + path + "\n";
}

TEST(FileSysOpen, RealFailuresGiveTheirCodesAndLogLines) {
  filetest::TempDir dir;
  filetest::writeBytes(dir.file("file"), "data");
  std::filesystem::create_directory(dir.file("sub"));

  std::string text;
  std::string missing = dir.file("missing.txt");
  EXPECT_EQ(openCode(missing, "r", &text), 2);
  EXPECT_EQ(text, "RazudodLog:\n" + openFailureLines(ENOENT, "r", missing));

  std::string underFile = dir.file("file/inner");
  EXPECT_EQ(openCode(underFile, "r", &text), 13);
  EXPECT_EQ(text, "RazudodLog:\n" + openFailureLines(ENOTDIR, "r", underFile));

  EXPECT_EQ(openCode(dir.file("file"), "wx+", &text), 4);
  EXPECT_EQ(text, "RazudodLog:\n" + openFailureLines(EEXIST, "wx+", dir.file("file")));

  EXPECT_EQ(openCode(dir.file("sub"), "w", &text), 5);
  EXPECT_EQ(text, "RazudodLog:\n" + openFailureLines(EISDIR, "w", dir.file("sub")));

  ASSERT_EQ(symlink("loop2", dir.file("loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", dir.file("loop2").c_str()), 0);
  EXPECT_EQ(openCode(dir.file("loop1"), "r", &text), 6);
  EXPECT_NE(text.find("  errno: " + std::to_string(ELOOP) + "\n"), std::string::npos);

  std::string longName = dir.file(std::string(300, 'n'));
  EXPECT_EQ(openCode(longName, "r", &text), 8);
  EXPECT_NE(text.find("  errno: " + std::to_string(ENAMETOOLONG) + "\n"), std::string::npos);

  // An error outside the table (an invalid mode gives EINVAL) is code 3.
  EXPECT_EQ(openCode(dir.file("file"), "q", &text), 3);
  EXPECT_NE(text.find("  errno: " + std::to_string(EINVAL) + "\n"), std::string::npos);

  // Success leaves the code untouched and logs nothing.
  Logger log;
  U8 p(dir.file("file"));
  int code = 77;
  RazudodHandle h;
  EXPECT_TRUE(FileSys::OpenForRead3(h, p, code, &log));
  EXPECT_TRUE(h.isHandleOpen());
  EXPECT_EQ(code, 77);
  EXPECT_EQ(logText(log), "RazudodLog:\n");
  // Without a log nothing is written but the code is still set.
  U8 m(missing);
  EXPECT_EQ(FileSys::openForReadLinux(m, code, nullptr), nullptr);
  EXPECT_EQ(code, 2);
}

TEST(FileSysOpen, TooManyOpenFilesIsCodeSeven) {
  filetest::TempDir dir;
  filetest::writeBytes(dir.file("f"), "x");
  // Run the failing path once first, so that nothing done for the first time (sanitizer type
  // checks among it) needs a descriptor while none is left.
  std::string warm;
  EXPECT_EQ(openCode(dir.file("missing"), "r", &warm), 2);
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  std::vector<int> fds;
  struct rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  for (;;) {
    int fd = dup(0);
    if (fd < 0) break;
    fds.push_back(fd);
  }
  std::string text;
  int code = openCode(dir.file("f"), "r", &text);
  for (int fd : fds)
    close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(code, 7);
  EXPECT_NE(text.find("  errno: " + std::to_string(EMFILE) + "\n"), std::string::npos);
}

TEST(FileSysOpen, RunningProgramIsBusyForWriting) {
  filetest::TempDir dir;
  std::string copy = dir.file("sleeper");
  std::filesystem::copy_file("/bin/sleep", copy);
  chmod(copy.c_str(), 0755);
  pid_t pid = -1;
  char arg0[] = "sleeper";
  char arg1[] = "30";
  char *argv[] = {arg0, arg1, nullptr};
  ASSERT_EQ(posix_spawn(&pid, copy.c_str(), nullptr, nullptr, argv, environ), 0);
  // Wait until the child runs the copy (its exe link names it).
  std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    if (std::filesystem::read_symlink(exe, ec) == copy) break;
    usleep(10000);
  }
  std::string text;
  int code = openCode(copy, "a+", &text);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  if (code == 0) GTEST_SKIP() << "this kernel lets a running program be opened for writing";
  EXPECT_EQ(code, 16);
  EXPECT_NE(text.find("  errno: " + std::to_string(ETXTBSY) + "\n"), std::string::npos);
}

TEST(FileSysOpen, ImmutableFileIsNotPermitted) {
  filetest::TempDir dir;
  std::string f = dir.file("frozen");
  filetest::writeBytes(f, "x");
  if (filetest::run("chattr +i '" + f + "'") != 0)
    GTEST_SKIP() << "cannot set the immutable attribute here";
  std::string text;
  int code = openCode(f, "w", &text);
  filetest::run("chattr -i '" + f + "'");
  EXPECT_EQ(code, 1);
  EXPECT_NE(text.find("  errno: " + std::to_string(EPERM) + "\n"), std::string::npos);
}

TEST(FileSysOpen, EveryTabledErrorHasItsCode) {
  const std::pair<int, int> table[] = {
      {EPERM, 1},        {ENOENT, 2}, {EEXIST, 4},   {EISDIR, 5},  {ELOOP, 6},   {EMFILE, 7},
      {ENAMETOOLONG, 8}, {ENFILE, 9}, {ENODEV, 10},  {ENOMEM, 11}, {ENOSPC, 12}, {ENOTDIR, 13},
      {EOVERFLOW, 14},   {EROFS, 15}, {ETXTBSY, 16}, {EACCES, 3},  {EIO, 3},     {0, 3}};
  for (auto [err, code] : table)
    EXPECT_EQ(FileSys::openFailureCode(err), code) << err;
}

TEST(FileSysOpen, ModesOfTheOpenFamily) {
  filetest::TempDir dir;
  std::string f = dir.file("f");
  filetest::writeBytes(f, "0123456789");
  U8 p(f);
  int code = 0;
  {
    RazudodHandle h;
    ASSERT_TRUE(FileSys::OpenForAppend3(h, p, code, nullptr));
    EXPECT_TRUE(h.writeFile64("ab", 2, nullptr, nullptr));
  }
  EXPECT_EQ(filetest::readBytes(f), "0123456789ab");
  {
    RazudodHandle h;
    ASSERT_TRUE(FileSys::OpenForReadWrite3(h, p, false, code, nullptr));
  }
  EXPECT_EQ(filetest::readBytes(f), "") << "w+ truncates";
  {
    RazudodHandle h;
    ASSERT_TRUE(FileSys::OpenForWrite3(h, p, 12345, code, nullptr));
    EXPECT_TRUE(h.writeFile64("new", 3, nullptr, nullptr));
  }
  EXPECT_EQ(filetest::readBytes(f), "new");
  U8 d(dir.path());
  RazudodHandle dh;
  EXPECT_TRUE(FileSys::OpenDirForRead3(dh, d, code, nullptr));
}

TEST(FileSysNames, Utf8NamesReachTheSystemUnchanged) {
  filetest::TempDir dir;
  const std::string names[] = {"caf\xC3\xA9.txt", "\xE2\x82\xAC uro.txt", "plain.txt"};
  for (const std::string &n : names) {
    std::string path = dir.file(n);
    EXPECT_TRUE(FileSys::writeFileUtf8(path.c_str(), "abc", 3, nullptr));
    EXPECT_TRUE(filetest::exists(path)) << n;
    EXPECT_EQ(filetest::readBytes(path), "abc");
    EXPECT_TRUE(FileSys::fileExistsUtf8(path.c_str(), nullptr));
    bool ok = false;
    EXPECT_EQ(FileSys::fileSizeUtf8_64(path.c_str(), nullptr, ok), 3);
    EXPECT_TRUE(ok);
    U8 x(path);
    int code = 0;
    RazudodHandle *h = FileSys::openForReadLinux(x, code, nullptr);
    EXPECT_NE(h, nullptr);
    delete h;
    EXPECT_TRUE(FileSys::deleteFileUtf8(path.c_str(), nullptr));
    EXPECT_FALSE(filetest::exists(path));
  }
  // An ANSI (ISO-8859-1) path names the same file as its UTF-8 form.
  std::string ansi = dir.file("caf\xE9.txt");
  EXPECT_TRUE(FileSys::writeFileAnsi(ansi.c_str(), "x", 1, nullptr));
  EXPECT_TRUE(filetest::exists(dir.file("caf\xC3\xA9.txt")));
  U8 made(dir.file("dir \xC3\xA9t\xC3\xA9"));
  EXPECT_TRUE(FileSys::createDirLinux(made, nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("dir \xC3\xA9t\xC3\xA9")));
}

TEST(FileSysWrite, WholeFileWritesAndTheirFailures) {
  filetest::TempDir dir;
  std::string f = dir.file("w.bin");
  U8 p(f);
  std::string data(25000, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7);
  EXPECT_TRUE(FileSys::writeFileX(p, data.data(), static_cast<unsigned>(data.size()), nullptr));
  EXPECT_EQ(filetest::readBytes(f), data);
  EXPECT_TRUE(FileSys::writeFileX(p, "abc", 0, nullptr));
  EXPECT_EQ(filetest::readBytes(f), "") << "0 bytes truncates";
  EXPECT_TRUE(FileSys::writeFileX(p, nullptr, 5, nullptr));
  XString empty;
  EXPECT_FALSE(FileSys::writeFileX(empty, "a", 1, nullptr));

  Logger log;
  std::string bad = dir.file("no/such/dir.bin");
  U8 b(bad);
  EXPECT_FALSE(FileSys::writeFileX(b, "a", 1, &log));
  EXPECT_EQ(logText(log), "RazudodLog:\n" + openFailureLines(ENOENT, "w", bad) +
                              "  filename: " + bad + "\n  Failed to write complete file (7)\n");

  // A full device: the data cannot all be written and the failure is reported.
  if (filetest::exists("/dev/full")) {
    Logger full;
    U8 devFull("/dev/full");
    std::string big(100000, 'x');
    EXPECT_FALSE(
        FileSys::writeFileX(devFull, big.data(), static_cast<unsigned>(big.size()), &full));
    std::string t = logText(full);
    EXPECT_NE(t.find("  filename: /dev/full\n  Failed to write complete file (1)\n"),
              std::string::npos)
        << t;
    Logger small;
    EXPECT_FALSE(FileSys::writeFileX(devFull, "x", 1, &small)) << "lost at close, still a failure";
  }
}

TEST(FileSysSizes, SparseFilesBeyondFourGiB) {
  filetest::TempDir dir;
  std::string f = dir.file("sparse");
  const long long big = 5LL * 1024 * 1024 * 1024 + 123;
  {
    FILE *fp = std::fopen(f.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(ftruncate(fileno(fp), big), 0);
    std::fclose(fp);
  }
  U8 p(f);
  bool ok = false;
  EXPECT_EQ(FileSys::fileSizeX_64(p, nullptr, ok), big);
  EXPECT_TRUE(ok);
  U8 missing(dir.file("none"));
  EXPECT_EQ(FileSys::fileSizeX_64(missing, nullptr, ok), 0);
  EXPECT_FALSE(ok);

  int code = 0;
  RazudodHandle h;
  ASSERT_TRUE(FileSys::OpenForReadWrite3(h, p, false, code, nullptr));
  EXPECT_EQ(h.fileSize64(nullptr), 0);
  h.closeHandle();
  // Recreate it (w+ truncated it) and open for appending to check seeks past 4 GiB.
  {
    FILE *fp = std::fopen(f.c_str(), "w");
    ASSERT_EQ(ftruncate(fileno(fp), big), 0);
    std::fclose(fp);
  }
  ASSERT_TRUE(FileSys::OpenForRead3(h, p, code, nullptr));
  EXPECT_EQ(h.fileSize64(nullptr), big);
  EXPECT_EQ(h.fileSize32(nullptr), -1) << "a size that does not fit is a failure";
  EXPECT_TRUE(h.setFilePointerAbsolute(big - 3, nullptr));
  EXPECT_EQ(h.ftell64(nullptr), big - 3);
  char buf[10];
  unsigned int n = 0;
  bool eof = false;
  EXPECT_TRUE(h.readBytesToBuf32(buf, sizeof buf, n, eof, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(eof);
  EXPECT_TRUE(h.setFilePointerRelative(-(big - 3), nullptr));
  EXPECT_EQ(h.ftell64(nullptr), 3);
  EXPECT_TRUE(h.setFilePointerToEnd(nullptr));
  EXPECT_EQ(h.ftell64(nullptr), big);
}

TEST(RazudodHandleOps, ReadsSeeksTimesAndClosedHandles) {
  filetest::TempDir dir;
  std::string f = dir.file("h");
  filetest::writeBytes(f, "0123456789");
  U8 p(f);
  int code = 0;
  RazudodHandle h;
  Logger log;
  char buf[16];
  unsigned int n = 99;
  bool eof = true;
  EXPECT_FALSE(h.readBytesToBuf32(buf, 4, n, eof, &log)) << "closed";
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(eof);
  EXPECT_EQ(h.fileSize64(&log), -1);
  EXPECT_EQ(h.ftell64(&log), -1);
  EXPECT_FALSE(h.setFilePointerAbsolute(0, &log));
  EXPECT_FALSE(h.writeFile64("x", 1, nullptr, &log));
  EXPECT_EQ(logText(log), "RazudodLog:\n  Failed to write because file is not open.\n");

  ASSERT_TRUE(FileSys::OpenForRead3(h, p, code, nullptr));
  Logger l2;
  EXPECT_FALSE(h.readBytesToBuf32(nullptr, 4, n, eof, &l2));
  EXPECT_FALSE(h.readBytesToBuf32(buf, 0, n, eof, &l2));
  EXPECT_EQ(logText(l2), "RazudodLog:\n  NULL buf or bufSize\n  NULL buf or bufSize\n");
  EXPECT_TRUE(h.readBytesToBuf32(buf, 10, n, eof, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_FALSE(eof) << "a full read";
  EXPECT_TRUE(h.readBytesToBuf32(buf, 10, n, eof, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(eof);
  Logger l3;
  EXPECT_FALSE(h.setFilePointerAbsolute(-5, &l3));
  EXPECT_FALSE(h.setFilePointerRelative(-100, &l3));
  EXPECT_EQ(logText(l3), "RazudodLog:\n  Failed to fseek to absolute file position\n"
                         "  position: -5\n  Failed to fseek to relative file position\n"
                         "  position: -100\n");

  // Times: the modification time stands in for the creation time; setting applies both.
  RazudodFileTime c, a, m;
  RazudodHandle w;
  ASSERT_TRUE(FileSys::OpenForAppend3(w, p, code, nullptr));
  RazudodFileTime at, mt;
  at.fromUnixTime(1000000000, 0);
  mt.fromUnixTime(1200000000, 0);
  w.writeFile64("more", 4, nullptr, nullptr); // buffered: must not move the time set below
  w.setFileTime3(c, at, mt);
  w.closeHandle();
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1200000000);
  EXPECT_EQ(st.st_atime, 1000000000);
  EXPECT_TRUE(h.getFileTime(c, a, m));
  EXPECT_EQ(c.toUnixTime(), 1200000000);
  EXPECT_EQ(m.toUnixTime(), 1200000000);
  EXPECT_EQ(a.toUnixTime(), 1000000000);
  EXPECT_EQ(filetest::readBytes(f), "0123456789more"); // (reading moves the access time)

  // Taking another handle's stream leaves the other closed.
  RazudodHandle other;
  other.takeHandle(h);
  EXPECT_FALSE(h.isHandleOpen());
  EXPECT_TRUE(other.isHandleOpen());
  EXPECT_FALSE(h.getFileTime(c, a, m));
}

TEST(FileSysDirs, CreateDeleteAndCurrentDirectory) {
  filetest::TempDir dir;
  Logger log;
  U8 d(dir.file("made"));
  EXPECT_TRUE(FileSys::createDirLinux(d, &log));
  EXPECT_FALSE(FileSys::createDirLinux(d, &log));
  EXPECT_EQ(logText(log), "RazudodLog:\n  errno: " + std::to_string(EEXIST) +
                              "\n  osErrorMessage: " + std::strerror(EEXIST) +
                              "\n  Failed to create directory.\n  path: " + dir.file("made") +
                              "\n");
  // Backslashes become slashes.
  U8 back(dir.path() + "\\made\\inner");
  EXPECT_TRUE(FileSys::createDirLinux(back, nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("made/inner")));
  Logger dl;
  U8 inner(dir.file("made/inner"));
  EXPECT_TRUE(FileSys::deleteFileX(inner, &dl));
  U8 gone(dir.file("gone"));
  EXPECT_FALSE(FileSys::deleteFileLinux(gone, &dl));
  EXPECT_EQ(logText(dl), "RazudodLog:\n  Failed to remove file\n  filepath: " + dir.file("gone") +
                             "\n  errno: 2\n  osErrorMessage: " + std::strerror(ENOENT) + "\n");
  XString emptyPath;
  EXPECT_FALSE(FileSys::fileExistsX(emptyPath, nullptr));
  XString cwd;
  FileSys::getCurrentDirLinux(cwd);
  EXPECT_EQ(std::string(cwd.getUtf8()), std::filesystem::current_path().string());
}

TEST(FileSysPaths, FullPathnameOfADeepPath) {
  filetest::TempDir dir;
  // Deeper than the 1,028 bytes a fixed buffer would hold.
  std::string deep = dir.path();
  while (deep.size() < 3000) {
    deep += "/" + std::string(100, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  }
  std::string withDots = deep + "/./../" + std::string(100, 'd');
  U8 in(withDots);
  XString out;
  FileSys::GetFullPathname(in, out);
  EXPECT_EQ(std::string(out.getUtf8()), std::filesystem::canonical(deep).string());
  U8 missing(dir.file("nope/x"));
  FileSys::GetFullPathname(missing, out);
  EXPECT_EQ(std::string(out.getUtf8()), dir.file("nope/x"));
  XString copy;
  FileSys::buildLongPath(in, copy);
  EXPECT_EQ(std::string(copy.getUtf8()), withDots);
}

TEST(FileSysPaths, CombiningAndShortening) {
  auto combine = [](const char *d, const char *p) {
    U8 dx(d), px(p);
    XString out;
    FileSys::CombineDirAndFilepath(dx, px, out);
    return std::string(out.getUtf8());
  };
  EXPECT_EQ(combine("  /home/u \t", "///a/b.txt"), "/home/u/a/b.txt");
  EXPECT_EQ(combine("/home/u/", "a"), "/home/u/a");
  EXPECT_EQ(combine("   ", "//a"), "//a");
  EXPECT_EQ(combine("", "/x"), "/x");
  auto combineName = [](const char *d, const char *n) {
    U8 dx(d), nx(n);
    XString out;
    FileSys::CombineDirAndFilename(dx, nx, out);
    return std::string(out.getUtf8());
  };
  EXPECT_EQ(combineName(" dir ", "/some/where/f.txt"), "dir/f.txt");
  EXPECT_EQ(combineName("", "/some/where/f.txt"), "f.txt");
  auto finalPart = [](const char *p) {
    U8 px(p);
    XString out;
    out.setFromUtf8("stale");
    FileSys::GetFinalFilenamePart(px, out);
    return std::string(out.getUtf8());
  };
  EXPECT_EQ(finalPart("/a/b/"), "");
  EXPECT_EQ(finalPart("name"), "name");
  EXPECT_EQ(finalPart("/a/caf\xC3\xA9"), "caf\xC3\xA9");
  U8 rel("///x/y");
  FileSys::AbsoluteToRelative(rel);
  EXPECT_STREQ(rel.getUtf8(), "x/y");
  U8 already("x/y");
  FileSys::AbsoluteToRelative(already);
  EXPECT_STREQ(already.getUtf8(), "x/y");
}

} // namespace
