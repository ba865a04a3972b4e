// The tar object against GNU tar, bsdtar, Python's tarfile, gzip, bzip2 and compress.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

#include "sshlib/core/ClsTar.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/ProgressEvent.h"
#include "sshlib/core/RazudodDeflate.h"
#include "tests/support/LogTexts.h"
#include "tests/support/TarTrees.h"
#include "tests/support/ZoneGuard.h"

using tartrees::sameTree;
using tartrees::sh;
using testsupport::TempDir;

namespace {

enum Driver { kUntar, kMemory, kGz, kBz2, kZ, kStream };

struct X : XString {
  explicit X(const std::string &s) { setFromUtf8(s.c_str()); }
};

// Unpacks a plain tar file into dest through one of the drivers (compressing it first for the
// compressed ones); true on success.
bool unpack(Driver d, const std::string &tarFile, const std::string &dest, ClsTar &tar) {
  X dir(dest);
  tar.put_UntarFromDir(dir);
  std::string file = tarFile;
  const char *tool[] = {"", "", "gzip -n -c", "bzip2 -c", "compress -c", ""};
  const char *ext[] = {"", "", ".gz", ".bz2", ".Z", ""};
  if (*tool[d]) {
    file = tarFile + ext[d];
    sh(std::string(tool[d]) + " '" + tarFile + "' > '" + file + "'");
  }
  X path(file);
  std::string bytes = testsupport::readFile(tarFile);
  DataBuffer db;
  db.append(bytes.data(), bytes.size());
  switch (d) {
  case kUntar:
    return tar.Untar(path, nullptr) >= 0;
  case kMemory:
    return tar.UntarFromMemory(db, nullptr) >= 0;
  case kGz:
    return tar.UntarGz(path, nullptr);
  case kBz2:
    return tar.UntarBz2(path, nullptr);
  case kZ:
    return tar.UntarZ(path, nullptr);
  case kStream: {
    // Random chunk sizes, down to single bytes.
    std::mt19937 rng(static_cast<unsigned>(bytes.size()));
    tar.BeginStreamingUntar(tar.m_log);
    bool ok = true, finished = false;
    for (size_t at = 0; at < bytes.size() && ok;) {
      size_t n = std::min(bytes.size() - at, size_t(rng() % 3 ? rng() % 7 + 1 : rng() % 3000));
      ok = tar.StreamingUntarNext(reinterpret_cast<const unsigned char *>(bytes.data()) + at,
                                  static_cast<unsigned>(n), finished, tar.m_log);
      at += n;
    }
    return tar.FinishStreamingUntar(tar.m_log) && ok;
  }
  }
  return false;
}

std::string logOf(ClsTar &tar) {
  StringBuffer sb;
  tar.GetTextLog(sb);
  return sb.getString();
}

std::string python(const std::string &script) {
  return "/usr/bin/python3 -c \"" + script + "\"";
}

} // namespace

TEST(ClsTar, GnuTarArchivesUnpackEqualThroughEveryDriver) {
  struct Case {
    const char *format;
    size_t maxName;
    const char *extra;
  } cases[] = {{"gnu", 1000, "--owner=big:4000000000 --group=g:3000000000"},
               {"ustar", 256, ""},
               {"pax", 1000, "--pax-option=comment=hello,mtime:=1600000000.5"},
               {"v7", 99, ""}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.format);
    TempDir t;
    const std::string src = t.file("src"), tarFile = t.file("a.tar");
    tartrees::makeSampleTree(src, c.maxName);
    if (std::string(c.format) == "v7") std::filesystem::remove_all(src + "/emptydir");
    ASSERT_TRUE(sh("tar --format=" + std::string(c.format) + " " + c.extra + " -C '" + src +
                   "' -cf '" + tarFile + "' $(ls -A '" + src + "')"));
    for (Driver d : {kUntar, kMemory, kGz, kBz2, kZ, kStream}) {
      SCOPED_TRACE(d);
      const std::string out = t.file("out" + std::to_string(d));
      ClsTar tar;
      ASSERT_TRUE(unpack(d, tarFile, out, tar)) << logOf(tar);
      std::string why;
      if (std::string(c.extra).find("mtime:=") != std::string::npos)
        sh("find '" + src + "' -type f -exec touch -d @1600000000 {} +");
      EXPECT_TRUE(sameTree(src, out, &why)) << why;
    }
  }
}

TEST(ClsTar, OurArchivesPassGnuTarBsdtarPythonAndTheCompressors) {
  TempDir t;
  const std::string src = t.file("src");
  tartrees::makeSampleTree(src, 1000);
  for (const char *format : {"gnu", "ustar", "pax"}) {
    for (int kind = 0; kind < 3; ++kind) {
      SCOPED_TRACE(std::string(format) + std::to_string(kind));
      ClsTar tar;
      X f(format), root(src);
      tar.put_WriteFormat(f);
      tar.put_UserId(3000000000u);
      tar.put_FileMode(0100640);
      ASSERT_TRUE(tar.AddDirRoot(root));
      const std::string out =
          t.file(std::string("o.") + format + (kind ? kind == 1 ? ".tgz" : ".tbz" : ".tar"));
      X o(out);
      bool ok = kind == 0   ? tar.WriteTar(o, nullptr)
                : kind == 1 ? tar.WriteTarGz(o, nullptr)
                            : tar.WriteTarBz2(o, nullptr);
      ASSERT_TRUE(ok) << logOf(tar);
      EXPECT_TRUE(kind != 1 || sh("gzip -t '" + out + "'"));
      EXPECT_TRUE(kind != 2 || sh("bzip2 -t '" + out + "'"));
      EXPECT_TRUE(sh("tar -tvf '" + out + "'"));
      EXPECT_TRUE(sh("bsdtar -tvf '" + out + "'"));
      const std::string x = t.file(std::string("x.") + format + std::to_string(kind));
      std::filesystem::create_directories(x);
      ASSERT_TRUE(sh("tar -C '" + x + "' -xf '" + out + "'"));
      std::string why;
      EXPECT_TRUE(sameTree(src, x, &why)) << why;
      EXPECT_TRUE(sh(python("import tarfile,sys; t=tarfile.open('" + out +
                            "'); m=[e for e in t if e.isfile()]; "
                            "sys.exit(not all(e.uid==3000000000 and e.mode==0o640 for e in m))")));
    }
  }
}

TEST(ClsTar, HostileArchivesWriteNothingOutsideAndFail) {
  // Each archive is made by Python's tarfile; "outside" must stay empty.
  std::string longPax; // longer than a thousand bytes, in a pax record
  for (int i = 0; i < 6; ++i)
    longPax += (i ? "/" : "") + std::string(250, 'd');
  struct Case {
    const char *script;
    bool ok;
    std::string made; // must exist afterwards
  } cases[] = {{"P add('../x')", false, ""},
               {"P add('a/../../x')", false, ""},
               {"P add('ok', pax={'path': '../x'})", false, ""},
               {"G add('../' + 'l'*200)", false, ""},
               {"P link('lnk', '../outside'); add('lnk/evil')", false, ""},
               {"P link('hl', '../outside/x', tarfile.LNKTYPE); add('/abs/x')", true, "hl"},
               {"P add('/'.join(['d'*250]*6))", true, longPax},
               {"G raw()", false, ""},
               {"G raw(b'\\x80\\x7f' + b'\\xff'*10, b'g')", false, ""},
               {"P add('pre/x')", false, ""}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script);
    TempDir t;
    const std::string tarFile = t.file("h.tar"), dest = t.file("dest");
    std::filesystem::create_directories(t.file("outside"));
    std::filesystem::create_directories(dest);
    std::filesystem::create_symlink("../outside", dest + "/pre");
    ASSERT_TRUE(sh(python("import tarfile,io\n"
                          "t=tarfile.open('" +
                          tarFile + "','w',format=tarfile." + (c.script[0] == 'G' ? "GNU" : "PAX") +
                          "_FORMAT)\n"
                          "def add(n, pax=None):\n"
                          "  i=tarfile.TarInfo(n); i.size=3; i.pax_headers=pax or {}; t.addfile(i, "
                          "io.BytesIO(b'bad'))\n"
                          "def link(n, target, kind=tarfile.SYMTYPE):\n"
                          "  i=tarfile.TarInfo(n); i.type=kind; i.linkname=target; t.addfile(i)\n"
                          "def raw(size=b'\\xff'*12, kind=b'0'):\n"
                          "  i=tarfile.TarInfo('n'); b=bytearray(i.tobuf(tarfile.GNU_FORMAT)); "
                          "b[124:136]=size; b[156:157]=kind\n"
                          "  b[148:156]=b' '*8; b[148:155]=b'%06o\\0' % sum(b); "
                          "t.fileobj.write(bytes(b)); t.offset+=512\n" +
                          std::string(c.script + 2) + "\nt.close()")));
    for (Driver d : {kUntar, kGz, kStream}) {
      ClsTar tar;
      EXPECT_EQ(unpack(d, tarFile, dest, tar), c.ok) << d << logOf(tar);
      EXPECT_TRUE(std::filesystem::is_empty(t.file("outside"))) << d;
      if (!c.made.empty()) {
        EXPECT_TRUE(std::filesystem::is_regular_file(dest + "/" + c.made)) << "never a link";
      }
    }
  }
}

TEST(ClsTar, TruncatedAndCorruptInputsFail) {
  TempDir t;
  const std::string src = t.file("src"), tarFile = t.file("a.tar");
  tartrees::makeSampleTree(src, 100);
  ASSERT_TRUE(sh("tar -C '" + src + "' -cf '" + tarFile + "' $(ls -A '" + src + "')"));
  const std::string whole = testsupport::readFile(tarFile);
  size_t dataEnd = whole.size();
  while (whole.compare(dataEnd - 512, 512, std::string(512, '\0')) == 0)
    dataEnd -= 512;
  // The readers that can seek want the end blocks; the streaming ones succeed unless a step
  // failed.
  struct Case {
    std::string bytes;
    bool seekableOk, streamingOk;
  } cases[] = {{whole.substr(0, dataEnd), false, true}, // no end blocks: ends at a block boundary
               {whole.substr(0, dataEnd - 100), false, false}, // inside an entry
               {whole.substr(0, 700), false, false},           // inside a header or entry
               {std::string(), false, false}};
  for (const Case &c : cases) {
    testsupport::writeFile(t.file("c.tar"), c.bytes);
    for (Driver d : {kUntar, kMemory, kGz, kBz2, kStream}) {
      ClsTar tar;
      EXPECT_EQ(unpack(d, t.file("c.tar"), t.file("o"), tar),
                d == kUntar || d == kMemory ? c.seekableOk : c.streamingOk)
          << c.bytes.size() << " " << d;
    }
  }
  // Compressed streams: a wrong CRC-32, a wrong size, a cut stream, damaged deflate data.
  ASSERT_TRUE(sh("gzip -n -c '" + tarFile + "' > '" + t.file("g") + "'"));
  ASSERT_TRUE(sh("bzip2 -c '" + tarFile + "' > '" + t.file("b") + "'"));
  const std::string gz = testsupport::readFile(t.file("g")),
                    bz = testsupport::readFile(t.file("b"));
  auto flip = [](std::string s, size_t at) {
    s[at] ^= 0x55;
    return s;
  };
  struct Bad {
    std::string bytes;
    bool gzip;
  } bad[] = {{flip(gz, gz.size() - 8), true},     {flip(gz, gz.size() - 2), true},
             {gz.substr(0, gz.size() - 4), true}, {flip(gz, 40), true},
             {gz.substr(0, gz.size() / 2), true}, {bz.substr(0, bz.size() - 20), false}};
  for (const Bad &b : bad) {
    testsupport::writeFile(t.file("bad"), b.bytes);
    ClsTar tar;
    X p(t.file("bad")), o(t.file("o2"));
    tar.put_UntarFromDir(o);
    EXPECT_FALSE(b.gzip ? tar.UntarGz(p, nullptr) : tar.UntarBz2(p, nullptr));
  }
  // Two gzip members in a file larger than the decoder's buffer read as one stream.
  ASSERT_TRUE(sh("head -c 300000 '" + tarFile + "' > '" + t.file("p1") + "'; tail -c +300001 '" +
                 tarFile + "' > '" + t.file("p2") + "'; (gzip -1 -c '" + t.file("p1") +
                 "'; gzip -c '" + t.file("p2") + "') > '" + t.file("two.gz") + "'"));
  ClsTar tar;
  X p(t.file("two.gz")), o(t.file("two"));
  tar.put_UntarFromDir(o);
  EXPECT_TRUE(tar.UntarGz(p, nullptr)) << logOf(tar);
  std::string why;
  EXPECT_TRUE(sameTree(src, t.file("two"), &why)) << why;
}

namespace {
// Changes a file's length after the writer has read its size, before its data is copied.
class Resizer : public ProgressEvent {
public:
  void NextTarFile(const char *path, long long, bool, bool &) override {
    const std::string p(path);
    if (p.size() > 5 && p.substr(p.size() - 5) == "/grow") std::filesystem::resize_file(p, 70000);
    if (p.size() > 7 && p.substr(p.size() - 7) == "/shrink") std::filesystem::resize_file(p, 10);
  }
};
} // namespace

TEST(ClsTar, FilesChangingWhileArchivedKeepTheArchiveAlignedAndFail) {
  TempDir t;
  const std::string src = t.file("src"), out = t.file("o.tar");
  std::filesystem::create_directories(src);
  for (const char *n : {"grow", "shrink", "zlast"})
    testsupport::writeFile(src + "/" + n, std::string(5000, n[0]));
  ClsTar tar;
  X root(src), o(out);
  tar.AddDirRoot(root);
  Resizer resizer;
  EXPECT_FALSE(tar.WriteTar(o, &resizer));
  EXPECT_NE(logOf(tar).find("shrank"), std::string::npos);
  EXPECT_TRUE(sh("tar -C '" + t.path() + "' -xf '" + out + "' zlast grow shrink"));
  EXPECT_EQ(testsupport::readFile(t.file("zlast")), std::string(5000, 'z'));
  EXPECT_EQ(testsupport::readFile(t.file("grow")).size(), 5000u);
  EXPECT_EQ(testsupport::readFile(t.file("shrink")),
            std::string(10, 's') + std::string(4990, '\0'));
}

namespace {
// Makes a file of the tree unreadable while it is archived: swapped for a folder before it is
// opened (its first read fails), or, part-way, its open descriptor pointed at a folder once its
// first chunk has been written (the next read fails).
class ReadBreaker : public ProgressEvent {
public:
  explicit ReadBreaker(bool partWay) : partWay_(partWay) {}
  void NextTarFile(const char *path, long long, bool, bool &) override {
    const std::string p(path);
    if (p.size() < 4 || p.substr(p.size() - 4) != "/bad") return;
    if (!partWay_) {
      std::filesystem::remove(p);
      std::filesystem::create_directory(p);
    }
    armed_ = p;
  }
  // Called with each chunk the writer puts out.
  void written(unsigned int n) {
    if (armed_.empty() || n != 20000) return;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(e.path(), ec) != armed_) continue;
      int folder = ::open(std::filesystem::path(armed_).parent_path().c_str(), O_RDONLY);
      ::dup2(folder, std::stoi(e.path().filename().string()));
      ::close(folder);
    }
    armed_.clear();
  }

private:
  bool partWay_;
  std::string armed_;
};

// An archive in memory that tells the breaker of every chunk.
class BreakingSink : public OutputDataBuffer {
public:
  BreakingSink(DataBuffer *db, ReadBreaker &b) : OutputDataBuffer(db), breaker_(b) {}
  unsigned int _fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log) override {
    unsigned int n = OutputDataBuffer::_fwrite32(data, itemSize, count, pm, log);
    breaker_.written(itemSize * count);
    return n;
  }

private:
  ReadBreaker &breaker_;
};
} // namespace

// A file that cannot be read ends the archive at once, without padding its entry: GNU tar finds
// the archive cut short (and says so) instead of a whole entry of zeros.
TEST(ClsTar, AFileThatCannotBeReadFailsTheArchiveAtOnce) {
  for (bool partWay : {false, true}) {
    SCOPED_TRACE(partWay ? "read fails part-way" : "first read fails");
    TempDir t;
    const std::string src = t.file("src"), out = t.file("o.tar");
    std::filesystem::create_directories(src);
    testsupport::writeFile(src + "/bad", std::string(70000, 'b'));
    testsupport::writeFile(src + "/good", std::string(3000, 'g'));
    ClsTar tar;
    X root(src), o(out);
    tar.AddDirRoot(root);
    ReadBreaker breaker(partWay);
    if (partWay) {
      DataBuffer archive;
      BreakingSink sink(&archive, breaker);
      EXPECT_FALSE(tar.writeTarTo(sink, nullptr, tar.m_log, &breaker));
      // The first chunk of the file went out before its read failed.
      EXPECT_GT(archive.getSize(), 512u + 20000u);
      EXPECT_LT(archive.getSize(), 512u + 70000u);
      testsupport::writeFile(out, std::string((const char *)archive.getData2(), archive.getSize()));
    } else {
      EXPECT_FALSE(tar.WriteTar(o, &breaker));
    }
    const std::string log = logOf(tar);
    EXPECT_NE(log.find("Failed to copy file contents to TAR."), std::string::npos) << log;
    EXPECT_NE(log.find("fullPath: " + src + "/bad"), std::string::npos) << log;
    EXPECT_EQ(log.find("shrank"), std::string::npos) << log;
    int rc = 0;
    const std::string listed = testsupport::runCommand("tar -tvf '" + out + "' 2>&1", &rc);
    EXPECT_NE(rc, 0) << listed;
    EXPECT_NE(listed.find("tar: "), std::string::npos) << listed;
  }
}

TEST(ClsTar, ListXmlEscapesNamesAndCData) {
  TempDir t;
  const std::string tarFile = t.file("l.tar");
  ASSERT_TRUE(
      sh(python("import tarfile,io\n"
                "t=tarfile.open('" +
                tarFile +
                "','w',format=tarfile.PAX_FORMAT)\n"
                "i=tarfile.TarInfo('a<&]]>' + 'b'*120); i.size=1; t.addfile(i, io.BytesIO(b'x'))\n"
                "t.close()")));
  ClsTar tar;
  tar.put_VerboseLogging(true);
  X p(tarFile), xml("");
  ASSERT_TRUE(tar.ListXml(p, xml, nullptr)) << logOf(tar);
  testsupport::writeFile(t.file("l.xml"), xml.getUtf8());
  EXPECT_TRUE(sh("xmllint --noout '" + t.file("l.xml") + "'")) << xml.getUtf8();
  EXPECT_NE(std::string(xml.getUtf8()).find("a&lt;&amp;]]&gt;bbb"), std::string::npos);
}

TEST(ClsTar, NumbersNearTheLimitsAreRefusedOrHeldByEveryWalk) {
  // One GNU tar entry with a field replaced by crafted bytes, its checksum made to match.
  TempDir t;
  ASSERT_TRUE(sh("cd '" + t.path() + "' && printf hello > f && tar --format=gnu -cf one.tar f"));
  const std::string good = testsupport::readFile(t.file("one.tar"));
  auto patched = [&](size_t at, const std::string &bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    s.replace(148, 8, std::string(8, ' '));
    unsigned sum = 0;
    for (size_t i = 0; i < 512; ++i)
      sum += static_cast<unsigned char>(s[i]);
    char field[8];
    std::snprintf(field, sizeof field, "%06o", sum);
    s.replace(148, 7, std::string(field, 6) + '\0');
    return s;
  };
  // Base 256: the flag byte, then the value in the last eight bytes.
  const std::string nearTop = std::string("\x80\0\0\0\x7f", 5) + std::string(6, '\xff') + "\xf0";
  // Octal: the data of a 10240-byte archive's only entry, one byte longer than the file.
  const std::string pastEnd = "00000023001";
  ASSERT_EQ(good.size(), 10240u);
  struct Case {
    const char *label;
    std::string bytes;
    bool ok;
  } cases[] = {{"as written", good, true},
               {"size near the 64-bit limit", patched(124, nearTop), false},
               {"size one byte past the end", patched(124, pastEnd), false},
               {"time near the 64-bit limit", patched(136, nearTop), true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    testsupport::writeFile(t.file("c.tar"), c.bytes);
    ClsTar lister;
    X p(t.file("c.tar")), xml("");
    EXPECT_EQ(lister.ListXml(p, xml, nullptr), c.ok) << logOf(lister);
    if (!c.ok) {
      EXPECT_NE(logOf(lister).find("truncated"), std::string::npos) << logOf(lister);
    }
    for (Driver d : {kUntar, kMemory, kStream}) {
      ClsTar tar;
      EXPECT_EQ(unpack(d, t.file("c.tar"), t.file("o"), tar), c.ok) << d << logOf(tar);
    }
  }
}

// An archive cut between two entries (a download stopped there) is incomplete: the seekable
// reader and the lister fail with the header message, and the entries before the cut stay as
// GNU tar writes them.
TEST(ClsTar, ArchiveCutAtAnEntryBoundaryIsIncomplete) {
  TempDir t;
  const std::string src = t.file("src"), tarFile = t.file("a.tar"), cut = t.file("cut.tar");
  std::filesystem::create_directories(src);
  testsupport::writeFile(src + "/one.txt", std::string(700, 'a'));
  testsupport::writeFile(src + "/two.txt", std::string(1024, 'b'));
  testsupport::writeFile(src + "/three.txt", "ccc");
  ASSERT_TRUE(
      sh("tar --format=gnu -C '" + src + "' -cf '" + tarFile + "' one.txt two.txt three.txt"));
  // GNU tar's block numbers put the cut where the third header starts.
  ASSERT_TRUE(sh("tar -tRf '" + tarFile + "' | sed -n '3s/^block \\([0-9]*\\):.*/\\1/p' > '" +
                 t.file("blk") + "'"));
  const long block = std::stol(testsupport::readFile(t.file("blk")));
  ASSERT_GT(block, 0);
  testsupport::writeFile(cut, testsupport::readFile(tarFile).substr(0, size_t(block) * 512));
  const std::string oracle = t.file("oracle");
  std::filesystem::create_directories(oracle);
  sh("tar -C '" + oracle + "' -xf '" + cut + "'");
  ASSERT_TRUE(std::filesystem::exists(oracle + "/two.txt"));
  ASSERT_FALSE(std::filesystem::exists(oracle + "/three.txt"));
  for (Driver d : {kUntar, kMemory}) {
    SCOPED_TRACE(d);
    const std::string out = t.file("out" + std::to_string(d));
    ClsTar tar;
    EXPECT_FALSE(unpack(d, cut, out, tar));
    const std::string log = logOf(tar);
    EXPECT_NE(log.find("Failed to read TAR header."), std::string::npos) << log;
    EXPECT_EQ(log.find("Success."), std::string::npos) << log;
    std::string why;
    EXPECT_TRUE(sameTree(oracle, out, &why)) << why;
  }
  ClsTar lister;
  X p(cut), xml("");
  EXPECT_FALSE(lister.ListXml(p, xml, nullptr));
  EXPECT_NE(logOf(lister).find("Failed to read TAR header."), std::string::npos) << logOf(lister);
  EXPECT_NE(std::string(xml.getUtf8()).find("two.txt"), std::string::npos);
  // The whole archive, end blocks included, still reads.
  ClsTar whole;
  EXPECT_TRUE(unpack(kUntar, tarFile, t.file("whole"), whole)) << logOf(whole);
  X wp(tarFile), wxml("");
  EXPECT_TRUE(whole.ListXml(wp, wxml, nullptr)) << logOf(whole);
}

TEST(ClsTar, PatternsCountsAndDiscardedPathsSelectEntries) {
  TempDir t;
  ASSERT_TRUE(sh("mkdir -p '" + t.file("s/docs") + "' && cd '" + t.file("s") +
                 "' && for f in docs/readme.txt docs/a.cfg b.txt c.TXT d.bin; do echo $f > $f; "
                 "done && tar -cf ../a.tar docs/readme.txt docs/a.cfg b.txt c.TXT d.bin"));
  const std::string bytes = testsupport::readFile(t.file("a.tar"));
  DataBuffer db;
  db.append(bytes.data(), bytes.size());
  struct Case {
    const char *pattern;
    bool caseSensitive, discard;
    int maxCount, count;
    const char *present;
  } cases[] = {{"*.txt", false, false, 0, 3, "docs/readme.txt"},
               {"readme.txt", false, false, 0, 1, "docs/readme.txt"},
               {"docs/*.TXT", false, false, 0, 1, "docs/readme.txt"},
               {"docs/*.TXT", true, false, 0, 0, ""},
               {"", false, true, 0, 5, "a.cfg"},
               {"", false, false, 2, 2, "docs/a.cfg"}};
  int i = 0;
  for (const Case &c : cases) {
    const std::string out = t.file("o" + std::to_string(i++));
    ClsTar tar;
    X dir(out), pattern(c.pattern);
    tar.put_UntarFromDir(dir);
    tar.put_UntarMatchPattern(pattern);
    tar.put_UntarCaseSensitive(c.caseSensitive);
    tar.put_UntarDiscardPaths(c.discard);
    tar.put_UntarMaxCount(c.maxCount);
    EXPECT_EQ(tar.UntarFromMemory(db, nullptr), c.count) << c.pattern;
    EXPECT_TRUE(!*c.present || std::filesystem::exists(out + "/" + c.present)) << c.pattern;
  }
  ClsTar tar;
  DataBuffer cfg;
  X pattern("*.cfg");
  EXPECT_TRUE(tar.UntarFirstMatchingToMemory(db, pattern, cfg));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(cfg.getData2()), cfg.getSize()),
            "docs/a.cfg\n");
}

TEST(ClsTar, WhatStandsAtAnEntrysPathIsReplacedNeverWrittenThroughOrOpened) {
  // GNU tar replaces them too; every reader must, and none may block on the FIFO.
  TempDir t;
  ASSERT_TRUE(sh("mkdir -p '" + t.file("s") + "' && cd '" + t.file("s") +
                 "' && for f in hard fifo sym; do echo new-$f > $f; done && "
                 "tar -cf ../a.tar hard fifo sym"));
  namespace fs = std::filesystem;
  for (int d = -1; d <= kStream; ++d) {
    SCOPED_TRACE(d);
    const std::string dest = t.file("d" + std::to_string(d)), outside = t.file("outside");
    fs::create_directories(dest);
    testsupport::writeFile(outside, "keep");
    fs::create_hard_link(outside, dest + "/hard");
    fs::create_symlink(outside, dest + "/sym");
    ASSERT_TRUE(sh("mkfifo '" + dest + "/fifo'"));
    ClsTar tar;
    if (d < 0)
      ASSERT_TRUE(sh("tar -C '" + dest + "' -xf '" + t.file("a.tar") + "'"));
    else
      ASSERT_TRUE(unpack(static_cast<Driver>(d), t.file("a.tar"), dest, tar)) << logOf(tar);
    EXPECT_EQ(testsupport::readFile(outside), "keep");
    for (const char *f : {"hard", "fifo", "sym"}) {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dest + "/" + f))) << f;
      EXPECT_EQ(testsupport::readFile(dest + "/" + f), std::string("new-") + f + "\n");
    }
  }
}

TEST(ClsTar, DamagedHeadersFailLikeGnuTarAndBsdtar) {
  TempDir t;
  ASSERT_TRUE(sh("cd '" + t.path() +
                 "' && printf hello > cool.txt && tar --format=ustar -cf "
                 "good.tar cool.txt"));
  const std::string good = testsupport::readFile(t.file("good.tar"));
  auto damaged = [&](size_t at, char c) {
    std::string s = good;
    s[at] = c;
    return s;
  };
  struct Case {
    const char *label;
    std::string bytes;
  } cases[] = {{"size", damaged(124 + 10, '4')}, // 5 bytes become 4
               {"name", damaged(0, '\0')},       // "cool.txt" loses its first byte
               {"type", damaged(156, '5')}};     // the file becomes a folder
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    testsupport::writeFile(t.file("bad.tar"), c.bytes);
    EXPECT_FALSE(sh("tar -C '" + t.path() + "' -xf '" + t.file("bad.tar") + "' -O"));
    EXPECT_FALSE(sh("bsdtar -xOf '" + t.file("bad.tar") + "'"));
    for (Driver d : {kUntar, kMemory, kGz, kBz2, kZ, kStream}) {
      ClsTar tar;
      EXPECT_FALSE(unpack(d, t.file("bad.tar"), t.file("o"), tar)) << d;
      EXPECT_NE(logOf(tar).find("checksum"), std::string::npos) << d;
    }
    EXPECT_FALSE(std::filesystem::exists(t.file("o/cool.txt")));
  }
  // Old writers summed signed bytes: a name with high bytes and such a sum still reads.
  ASSERT_TRUE(tartrees::python(t.path(),
                               "import tarfile,io\n"
                               "i=tarfile.TarInfo('\\u00e9t\\u00e9'); i.size=2\n"
                               "b=bytearray(i.tobuf(tarfile.USTAR_FORMAT))\n"
                               "b[148:156]=b' '*8\n"
                               "s=sum(x-256 if x>127 else x for x in b)\n"
                               "b[148:156]=b'%06o\\0 ' % s\n"
                               "open('signed.tar','wb').write(bytes(b)+b'ok'+b'\\0'*1534)\n"));
  EXPECT_TRUE(sh("tar -C '" + t.path() + "' -xf '" + t.file("signed.tar") + "'"));
  for (Driver d : {kUntar, kGz, kStream}) {
    ClsTar tar;
    EXPECT_TRUE(unpack(d, t.file("signed.tar"), t.file("s"), tar)) << d << logOf(tar);
    EXPECT_EQ(testsupport::readFile(t.file("s/\xc3\xa9t\xc3\xa9")), "ok");
  }
}

TEST(ClsTar, GnuSparseEntriesAreSkippedAndFailTheUnpack) {
  TempDir t;
  // Twelve stretches of data: more than an old GNU header holds, so extension blocks follow.
  ASSERT_TRUE(sh("cd '" + t.path() +
                 "' && truncate -s 4M sparse && for i in 0 1 2 3 4 5 6 7 8 9 10 11; do "
                 "printf data$i | dd of=sparse bs=1 seek=$((i*300000)) conv=notrunc; done && "
                 "printf after > zz.txt"));
  struct Case {
    const char *flags;
  } cases[] = {{"--format=gnu"},
               {"--format=pax --sparse-version=0.0"},
               {"--format=pax --sparse-version=0.1"},
               {"--format=pax --sparse-version=1.0"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.flags);
    ASSERT_TRUE(sh("cd '" + t.path() + "' && tar --sparse " + c.flags +
                   " -cf s.tar sparse zz.txt && tar -tvf s.tar"));
    for (Driver d : {kUntar, kMemory, kGz, kBz2, kStream}) {
      const std::string out = t.file("o" + std::to_string(d));
      std::filesystem::remove_all(out);
      ClsTar tar;
      EXPECT_FALSE(unpack(d, t.file("s.tar"), out, tar)) << d;
      EXPECT_NE(logOf(tar).find("sparse"), std::string::npos) << d;
      // What follows the sparse entry is read from the right place.
      EXPECT_EQ(testsupport::readFile(out + "/zz.txt"), "after") << d << logOf(tar);
      EXPECT_FALSE(std::filesystem::exists(out + "/sparse")) << d;
      EXPECT_TRUE(sh("test -z \"$(find '" + out + "' -name 'GNUSparseFile*')\"")) << d;
    }
  }
}

TEST(ClsTar, UnpackStopsBeforeTheDiskFillsAndRemovesThePartialEntry) {
  TempDir t;
  ASSERT_TRUE(sh("cd '" + t.path() +
                 "' && printf small > a.txt && head -c 8000000 /dev/zero > big && "
                 "tar -cf z.tar a.txt big && rm big"));
  for (Driver d : {kUntar, kMemory, kGz, kBz2, kZ, kStream}) {
    SCOPED_TRACE(d);
    const std::string out = t.file("o" + std::to_string(d));
    std::filesystem::create_directories(out);
    ClsTar::setFreeSpaceQuery(tartrees::smallDisk(out, 3000000, ClsTar::kMinFreeSpace));
    ClsTar tar;
    EXPECT_FALSE(unpack(d, t.file("z.tar"), out, tar));
    ClsTar::setFreeSpaceQuery(nullptr);
    EXPECT_NE(logOf(tar).find("Not enough free disk space"), std::string::npos);
    EXPECT_EQ(testsupport::readFile(out + "/a.txt"), "small");
    EXPECT_FALSE(std::filesystem::exists(out + "/big"));
  }
}

// A file that cannot be opened: the plain readers say "Failed." once, the compressed ones end
// without the closing line; every one of them still closes its context and fails.
TEST(ClsTar, AFileThatCannotBeOpenedEndsEachOperationWithItsOwnLines) {
  TempDir t;
  X missing(t.file("no-such-archive"));
  const struct {
    const char *name;
    std::function<bool(ClsTar &)> run;
    int failedLines;
  } ops[] = {
      {"Untar", [&](ClsTar &tar) { return tar.Untar(missing, nullptr) == -1; }, 1},
      {"VerifyTar", [&](ClsTar &tar) { return !tar.VerifyTar(missing, nullptr); }, 1},
      {"UntarGz", [&](ClsTar &tar) { return !tar.UntarGz(missing, nullptr); }, 0},
      {"UntarBz2", [&](ClsTar &tar) { return !tar.UntarBz2(missing, nullptr); }, 0},
      {"UntarZ", [&](ClsTar &tar) { return !tar.UntarZ(missing, nullptr); }, 0},
  };
  for (const auto &op : ops) {
    SCOPED_TRACE(op.name);
    ClsTar tar;
    EXPECT_TRUE(op.run(tar));
    const std::vector<std::string> lines = testsupport::logLines(logOf(tar));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Failed."), op.failedLines) << logOf(tar);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Success."), 0);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], std::string(op.name) + ":");
  }
}

namespace {
// Whether a line of the text log is that message, or that tag with a value, or that context.
bool logHas(const std::string &log, const std::string &text) {
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.erase(0, line.find_first_not_of(' '));
    if (line == text || line == text + ":" || line.rfind(text + ": ", 0) == 0) return true;
    at = end + 1;
  }
  return false;
}
} // namespace

// A file that is no gzip or no compress stream at all says so, and the untar it never reached
// adds nothing of its own.
TEST(ClsTar, ABadGzipHeaderOrBadZDataLogsOnlyItsOwnLine) {
  TempDir t;
  const struct {
    std::string bytes;
    bool gzip;
    const char *said;
  } cases[] = {{"plain text, no archive at all\n", true, "Invalid GZip ID"},
               {std::string("\x1f\x8b\x08\x00\x00", 5), true, "Failed to get gzip signature"},
               {std::string("\x1f\x8b\x07\x00\x00\x00\x00\x00\x00\x03xyz", 13), true,
                "Invalid GZip compression method"},
               {"plain text, no archive at all\n", false, "Invalid compressed data (D)"},
               {std::string("\x1f\x9d\x9f", 3) + std::string(64, 'x'), false,
                "Invalid compressed data (D)"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.said);
    testsupport::writeFile(t.file("bad"), c.bytes);
    ClsTar tar;
    X p(t.file("bad")), o(t.file("out"));
    tar.put_UntarFromDir(o);
    EXPECT_FALSE(c.gzip ? tar.UntarGz(p, nullptr) : tar.UntarZ(p, nullptr));
    const std::string log = logOf(tar);
    EXPECT_TRUE(logHas(log, c.said)) << log;
    for (const char *extra :
         {"Failed to read TAR header.", "TAR archive ends inside a header.",
          "TAR archive ends inside an entry.", "Untar failed, possible corrupt .gz file.",
          "Untar failed, possible corrupt .Z file."})
      EXPECT_FALSE(logHas(log, extra)) << extra << "\n" << log;
  }
}

TEST(ClsTar, LogTellsEveryStepOfTheUntarInItsOwnWords) {
  // f(name, size) adds a file, d(name) a folder; pax headers and damage come from Python too.
  enum { kSeekable = -1, kWhole = 0 };
  struct Case {
    const char *format;
    std::string script;
    const char *existing; // made in the destination first: "file:NAME" or "dir:NAME"
    int chunk;            // how the streaming untar is fed; kSeekable: Untar on the file
    const char *pattern;
    bool fullDisk, ok;
    std::vector<std::string> texts;
  } cases[] = {
      {"GNU",
       "d('dir'); f('dir/' + 'n'*120, 10); f('a.txt', 5)",
       "",
       kSeekable,
       "",
       false,
       true,
       {"header", "filePosition", "previousTypeFlag", "name", "currentTypeFlag",
        "Processing long filename header.", "longFilename", "combinedFilename", "createDir",
        "outputFile", "numBytesWritten", "lastModDateTime", "End-of-TAR"}},
      {"USTAR", "f('p'*60 + '/' + 'q'*60, 4)", "", kSeekable, "", false, true, {"prefix", "name"}},
      {"PAX",
       "f('a.txt', 3, {'comment': 'c'})",
       "",
       kSeekable,
       "",
       false,
       true,
       {"Processing extended PAX header."}},
      {"PAX",
       "f('a.txt', 3, {'comment': 'c'})",
       "",
       kWhole,
       "",
       false,
       true,
       {"PAX header in streaming untar!", "---- Next TAR Header ----", "previousHeaderType",
        "typeFlag", "creatingFile"}},
      {"GNU", "f('l'*200, 3)", "", 7, "", false, true, {"L_Data", "combinedFilename"}},
      // The ways an entry's last bytes arrive, fed 1024 bytes at a time.
      {"USTAR",
       "f('one', 512); f('three', 1536); f('odd', 100)",
       "",
       1024,
       "",
       false,
       true,
       {"finishedFileSize1", "numPaddingBytesLeft1", "finishedFileSize2", "finishedFileSize3",
        "numPaddingBytesLeft3"}},
      {"USTAR",
       "d('docs'); f('docs/b.bin', 2); f('a.txt', 2)",
       "",
       kWhole,
       "*.txt",
       false,
       true,
       {"skippingDir", "skippingFile", "creatingFile"}},
      {"USTAR", "d('docs'); f('docs/b.bin', 2)", "", kWhole, "", false, true, {"creatingDir"}},
      // Failures, streamed and seekable.
      {"USTAR",
       "d('a')",
       "file:a",
       kWhole,
       "",
       false,
       false,
       {"Failed to ensure untar directory."}},
      {"USTAR", "d('a')", "file:a", kSeekable, "", false, false, {"Unable to create directory"}},
      {"USTAR",
       "f('a/b.txt', 2)",
       "file:a",
       kWhole,
       "",
       false,
       false,
       {"Failed to ensure ability to create output file for untar."}},
      {"USTAR",
       "f('a/b.txt', 2)",
       "file:a",
       kSeekable,
       "",
       false,
       false,
       {"Failed to ensure directory exists."}},
      {"USTAR",
       "f('a.txt', 2)",
       "dir:a.txt",
       kWhole,
       "",
       false,
       false,
       {"Failed to create output file for untar."}},
      {"USTAR",
       "f('a.txt', 2)",
       "dir:a.txt",
       kSeekable,
       "",
       false,
       false,
       {"Failed to create OutputFile"}},
      {"USTAR",
       "f('big', 5000)",
       "",
       512,
       "",
       true,
       false,
       {"Failed to write tar data to output. (1)"}},
      {"USTAR",
       "f('big', 5000)",
       "",
       1024,
       "",
       true,
       false,
       {"Failed to write tar data to output. (2)"}},
      {"USTAR",
       "f('big', 5000)",
       "",
       kWhole,
       "",
       true,
       false,
       {"Failed to write tar data to output. (3)"}},
      {"GNU",
       "f('l'*200, 3); damage(1024)",
       "",
       kWhole,
       "",
       false,
       false,
       {"Failed to parse TAR header.."}},
      {"GNU",
       "f('a.txt', 3); damage(0)",
       "",
       kWhole,
       "",
       false,
       false,
       {"Failed to parse tar header"}},
  };
  int i = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script + " fed " + std::to_string(c.chunk));
    TempDir t;
    const std::string tarFile = t.file("a.tar"), dest = t.file("dest" + std::to_string(i++));
    std::filesystem::create_directories(dest);
    const std::string existing = c.existing;
    if (existing.rfind("file:", 0) == 0)
      testsupport::writeFile(dest + "/" + existing.substr(5), "x");
    if (existing.rfind("dir:", 0) == 0)
      std::filesystem::create_directories(dest + "/" + existing.substr(4));
    ASSERT_TRUE(sh(
        python("import tarfile,io\n"
               "P='" +
               tarFile +
               "'\n"
               "t=tarfile.open(P,'w',format=tarfile." +
               c.format +
               "_FORMAT)\n"
               "def f(n, size, pax=None):\n"
               "  i=tarfile.TarInfo(n); i.size=size; i.mtime=1600000000; i.pax_headers=pax or {}\n"
               "  t.addfile(i, io.BytesIO(b'z'*size))\n"
               "def d(n):\n"
               "  i=tarfile.TarInfo(n); i.type=tarfile.DIRTYPE; i.mtime=1600000000; t.addfile(i)\n"
               "damaged=[]\n"
               "def damage(at): damaged.append(at)\n" +
               c.script +
               "\nt.close()\n"
               "b=bytearray(open(P,'rb').read())\n"
               "for at in damaged: b[at+124:at+136]=b'\\xff'*12\n"
               "open(P,'wb').write(bytes(b))")));
    ClsTar tar;
    tar.put_VerboseLogging(true);
    tar.put_UntarDebugLog(true);
    X dir(dest), pattern(c.pattern);
    tar.put_UntarFromDir(dir);
    tar.put_UntarMatchPattern(pattern);
    if (c.fullDisk) ClsTar::setFreeSpaceQuery([](int) { return int64_t(0); });
    bool ok;
    if (c.chunk == kSeekable) {
      X path(tarFile);
      ok = tar.Untar(path, nullptr) >= 0;
    } else {
      const std::string bytes = testsupport::readFile(tarFile);
      tar.setMatchPatternExactFlag();
      tar.BeginStreamingUntar(tar.m_log);
      bool fed = true, finished = false;
      const size_t step = c.chunk ? size_t(c.chunk) : bytes.size();
      for (size_t at = 0; at < bytes.size() && fed; at += step)
        fed = tar.StreamingUntarNext(reinterpret_cast<const unsigned char *>(bytes.data()) + at,
                                     unsigned(std::min(step, bytes.size() - at)), finished,
                                     tar.m_log);
      ok = tar.FinishStreamingUntar(tar.m_log) && fed;
    }
    ClsTar::setFreeSpaceQuery(nullptr);
    const std::string log = logOf(tar);
    EXPECT_EQ(ok, c.ok) << log;
    for (const std::string &text : c.texts)
      EXPECT_TRUE(logHas(log, text)) << "missing: " << text << "\n" << log;
  }
}

// The times a file is given are logged only as the archive gives them, and a pax header that
// cannot be parsed is said once, whether the archive is read from a file or streamed.
TEST(ClsTar, TimesAndAPaxHeaderThatCannotBeParsedAreLoggedAsTheArchiveHasThem) {
  struct Case {
    const char *pax; // the records of the file's pax header, as Python's dictionary
    bool ok;
    int access, create, parseFailures; // lines of each in the log
  } cases[] = {
      {"{}", true, 0, 0, 0},
      {"{'atime': '1600000001'}", true, 1, 0, 0},
      {"{'ctime': '1600000002'}", true, 0, 1, 0},
      {"{'atime': '1600000001', 'ctime': '1600000002'}", true, 1, 1, 0},
      {"{'size': '-1'}", false, 0, 0, 1},
  };
  for (const Case &c : cases) {
    for (bool streamed : {false, true}) {
      SCOPED_TRACE(std::string(c.pax) + (streamed ? " streamed" : " from the file"));
      TempDir t;
      const std::string tarFile = t.file("a.tar");
      ASSERT_TRUE(sh(python("import tarfile,io\n"
                            "t=tarfile.open('" +
                            tarFile +
                            "','w',format=tarfile.PAX_FORMAT)\n"
                            "i=tarfile.TarInfo('a.txt'); i.size=3; i.mtime=1600000000\n"
                            "i.pax_headers=" +
                            c.pax +
                            "\n"
                            "t.addfile(i, io.BytesIO(b'zzz'))\n"
                            "t.close()")));
      ClsTar tar;
      tar.put_VerboseLogging(true);
      const bool ok = unpack(streamed ? kStream : kUntar, tarFile, t.file("out"), tar);
      const std::string log = logOf(tar);
      EXPECT_EQ(ok, c.ok) << log;
      auto lines = [&](const std::string &tag) {
        int n = 0;
        for (const std::string &line : testsupport::logLines(log))
          n += line.rfind(tag + ": ", 0) == 0;
        return n;
      };
      // The streamed untar sets the file's times without logging them.
      if (!streamed) {
        EXPECT_EQ(lines("lastModDateTime"), c.ok ? 1 : 0) << log;
        EXPECT_EQ(lines("lastAccessDateTime"), c.access) << log;
        EXPECT_EQ(lines("createDateTime"), c.create) << log;
      }
      EXPECT_EQ(testsupport::countLogLines(log, "Failed to parse PAX extended header."),
                c.parseFailures)
          << log;
    }
  }
}

// Entries that describe another (a long link target, pax records, a long name) are never taken
// for files: no file of their own is written, and the first entry handed out is the first file.
TEST(ClsTar, EntriesThatDescribeTheNextAreNeverFiles) {
  struct Case {
    const char *format, *script;
  } cases[] = {
      {"GNU", "link('l', 'target/' + 't'*150); f('a.txt', b'first')"},
      {"PAX", "f('a.txt', b'first', {'comment': 'c'})"},
      {"GNU", "f('n'*120, b'first')"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script);
    TempDir t;
    const std::string tarFile = t.file("a.tar");
    ASSERT_TRUE(sh(python("import tarfile,io\n"
                          "t=tarfile.open('" +
                          tarFile + "','w',format=tarfile." + c.format +
                          "_FORMAT)\n"
                          "def f(n, data, pax=None):\n"
                          "  i=tarfile.TarInfo(n); i.size=len(data); i.pax_headers=pax or {}\n"
                          "  t.addfile(i, io.BytesIO(data))\n"
                          "def link(n, target):\n"
                          "  i=tarfile.TarInfo(n); i.type=tarfile.SYMTYPE; i.linkname=target\n"
                          "  t.addfile(i)\n" +
                          c.script + "\nt.close()")));
    for (Driver d : {kUntar, kStream}) {
      SCOPED_TRACE(d);
      const std::string out = t.file("out" + std::to_string(d));
      ClsTar tar;
      ASSERT_TRUE(unpack(d, tarFile, out, tar)) << logOf(tar);
      std::vector<std::string> written;
      for (const auto &e : std::filesystem::recursive_directory_iterator(out))
        written.push_back(e.path().filename().string());
      for (const std::string &name : written)
        EXPECT_EQ(name.find("LongLink"), std::string::npos) << name;
    }
    const std::string bytes = testsupport::readFile(tarFile);
    DataBuffer db, first;
    db.append(bytes.data(), bytes.size());
    ClsTar tar;
    X anything("");
    ASSERT_TRUE(tar.UntarFirstMatchingToMemory(db, anything, first)) << logOf(tar);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(first.getData2()), first.getSize()),
              c.script[0] == 'l' ? "" : "first");
  }
}

TEST(ClsTar, NamesFromTheArchiveReachTheLogEscaped) {
  TempDir t;
  const std::string tarFile = t.file("a.tar");
  ASSERT_TRUE(sh(python("import tarfile,io\n"
                        "t=tarfile.open('" +
                        tarFile +
                        "','w',format=tarfile.GNU_FORMAT)\n"
                        "for n in ['evil\\nline<b>.txt', 'dir\\nx/'+'l'*120]:\n"
                        "  i=tarfile.TarInfo(n); i.size=1; t.addfile(i, io.BytesIO(b'z'))\n"
                        "t.close()")));
  for (Driver d : {kUntar, kStream}) {
    SCOPED_TRACE(d);
    ClsTar tar;
    tar.put_VerboseLogging(true);
    tar.put_UntarDebugLog(true);
    ASSERT_TRUE(unpack(d, tarFile, t.file("o" + std::to_string(d)), tar)) << logOf(tar);
    const std::string log = logOf(tar);
    EXPECT_EQ(log.find("evil\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("dir\nx"), std::string::npos) << log;
    EXPECT_NE(log.find("evil=0A"), std::string::npos) << log;
  }
}

// Which reader names which step, and in what order: a folder or file that cannot be made is named
// by its output path where the archive is read from a file, the streamed untar names each entry
// once, a long name's data follows the header that comes after it, and no operation names the
// archive's own path.
TEST(ClsTar, EachReaderNamesItsStepsInItsOwnOrder) {
  struct Case {
    const char *script;   // as in LogTellsEveryStepOfTheUntarInItsOwnWords
    const char *existing; // "file:NAME" or "dir:NAME", made in the destination first
    Driver driver;
    const char *pattern;
    bool ok;
    std::vector<std::string> inOrder; // "$D" stands for the destination
    std::vector<std::string> absent;
    bool discardPaths = false;
  } cases[] = {
      {"d('a')",
       "file:a",
       kUntar,
       "",
       false,
       {"Unable to create directory", "dirPath: $D/a/"},
       {"tarPath:"}},
      {"f('a/b.txt', 2)",
       "file:a",
       kMemory,
       "",
       false,
       {"file: a/b.txt", "outputFile: $D/a/b.txt", "Failed to ensure directory exists.",
        "filePath: $D/a/b.txt"},
       {}},
      {"f('a.txt', 2)",
       "dir:a.txt",
       kUntar,
       "",
       false,
       {"Failed to create OutputFile"},
       {"filePath:"}},
      {"d('a')",
       "file:a",
       kGz,
       "",
       false,
       {"Failed to ensure untar directory."},
       {"dirPath:", "dir:", "tarPath:"}},
      {"f('a/b.txt', 2)",
       "file:a",
       kStream,
       "",
       false,
       {"Failed to ensure ability to create output file for untar."},
       {"filePath:", "creatingFile:", "file:"}},
      {"f('a.txt', 2)",
       "dir:a.txt",
       kStream,
       "",
       false,
       {"creatingFile: $D/a.txt", "Failed to create output file for untar."},
       {"filePath:"}},
      {"d('docs'); f('docs/b.bin', 2); f('a.txt', 2)",
       "",
       kBz2,
       "*.txt",
       true,
       {"entry: docs/", "skippingDir: $D/docs/", "entry: docs/b.bin", "skippingFile: $D/docs/b.bin",
        "entry: a.txt", "creatingFile: $D/a.txt"},
       {"skipping:", "file:", "dir:", "tarPath:"}},
      {"d('docs'); f('docs/b.bin', 2); f('a.txt', 2); d('e')",
       "",
       kUntar,
       "*.txt",
       true,
       {"skipping: docs/", "skipping: docs/b.bin", "file: a.txt", "skipping: e/"},
       {"entry:"}},
      // Without their paths, a folder is made where the archive is streamed, not where it is
      // read from a file.
      {"d('docs'); f('docs/a.txt', 2)",
       "",
       kStream,
       "",
       true,
       {"entry:", "creatingDir:", "entry: a.txt", "creatingFile: $D/a.txt"},
       {},
       true},
      {"d('docs'); f('docs/a.txt', 2)",
       "",
       kUntar,
       "",
       true,
       {"file: a.txt", "outputFile: $D/a.txt"},
       {"dir:", "createDir:"},
       true},
      // An entry cut short: the reader fails with no words of its own.
      {"f('big', 5000); cut(2000)",
       "",
       kUntar,
       "",
       false,
       {"outputFile: $D/big", "Failed."},
       {"Failed to read TAR entry data."}},
      {"f('l'*200, 3)",
       "",
       kStream,
       "",
       true,
       {"---- Next TAR Header ----", "previousHeaderType: 76",
        "L_Data:", "combinedFilename:", "entry:", "typeFlag: 48"},
       {}},
  };
  int i = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script + std::string(" through driver ") + std::to_string(c.driver));
    TempDir t;
    const std::string tarFile = t.file("a.tar"), dest = t.file("dest" + std::to_string(i++));
    std::filesystem::create_directories(dest);
    const std::string existing = c.existing;
    if (existing.rfind("file:", 0) == 0)
      testsupport::writeFile(dest + "/" + existing.substr(5), "x");
    if (existing.rfind("dir:", 0) == 0)
      std::filesystem::create_directories(dest + "/" + existing.substr(4));
    ASSERT_TRUE(sh(python(
        "import tarfile,io\n"
        "t=tarfile.open('" +
        tarFile +
        "','w',format=tarfile.GNU_FORMAT)\n"
        "def f(n, size):\n"
        "  i=tarfile.TarInfo(n); i.size=size; t.addfile(i, io.BytesIO(b'z'*size))\n"
        "def d(n):\n"
        "  i=tarfile.TarInfo(n); i.type=tarfile.DIRTYPE; t.addfile(i)\n"
        "cuts=[]\n"
        "def cut(n): cuts.append(n)\n" +
        c.script + "\nt.close()\nfor n in cuts: open('" + tarFile + "','r+b').truncate(n)")));
    ClsTar tar;
    tar.put_VerboseLogging(true);
    tar.put_UntarDebugLog(true);
    X pattern(c.pattern);
    tar.put_UntarMatchPattern(pattern);
    tar.put_UntarDiscardPaths(c.discardPaths);
    if (c.driver == kStream) tar.setMatchPatternExactFlag();
    EXPECT_EQ(unpack(c.driver, tarFile, dest, tar), c.ok) << logOf(tar);
    const std::string log = logOf(tar);
    std::vector<std::string> want;
    for (std::string w : c.inOrder) {
      if (size_t at = w.find("$D"); at != std::string::npos) w.replace(at, 2, dest);
      want.push_back(w);
    }
    EXPECT_TRUE(testsupport::logHasInOrder(log, want)) << log;
    for (const std::string &a : c.absent)
      EXPECT_FALSE(testsupport::logHasLine(log, a)) << a << "\n" << log;
  }
}

// An entry's time is given in local time with the offset from UTC in force at that time.
TEST(ClsTar, ListXmlGivesEachTimeInLocalTimeWithItsOffset) {
  struct Case {
    const char *zone;
    long long mtime;
    const char *date;
  } cases[] = {
      {"Europe/Paris", 1500000000, "Fri, 14 Jul 2017 04:40:00 +0200"},
      {"Europe/Paris", 1484438400, "Sun, 15 Jan 2017 01:00:00 +0100"},
      // Either side of the change to summer time.
      {"Europe/Paris", 1490489999, "Sun, 26 Mar 2017 01:59:59 +0100"},
      {"Europe/Paris", 1490490000, "Sun, 26 Mar 2017 03:00:00 +0200"},
      {"America/New_York", 1500000000, "Thu, 13 Jul 2017 22:40:00 -0400"},
      {"America/St_Johns", 1484438400, "Sat, 14 Jan 2017 20:30:00 -0330"},
      {"Asia/Kolkata", 1500000000, "Fri, 14 Jul 2017 08:10:00 +0530"},
      {"UTC", 1500000000, "Fri, 14 Jul 2017 02:40:00 +0000"},
  };
  TempDir t;
  const std::string tarFile = t.file("times.tar");
  std::string entries;
  for (const Case &c : cases)
    entries += "f(" + std::to_string(c.mtime) + ")\n";
  ASSERT_TRUE(sh(python("import tarfile,io\n"
                        "t=tarfile.open('" +
                        tarFile +
                        "','w',format=tarfile.USTAR_FORMAT)\n"
                        "def f(m):\n"
                        "  i=tarfile.TarInfo('e%d' % m); i.mtime=m; t.addfile(i)\n" +
                        entries + "t.close()")));
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.mtime));
    testsupport::ZoneGuard zone(c.zone);
    ClsTar tar;
    X p(tarFile), xml("");
    ASSERT_TRUE(tar.ListXml(p, xml, nullptr)) << logOf(tar);
    const std::string want = "<mtime t=\"" + std::to_string(c.mtime) + "\">" + c.date + "</mtime>";
    EXPECT_NE(std::string(xml.getUtf8()).find(want), std::string::npos) << xml.getUtf8();
  }
}
