// Tar header blocks made by GNU tar in its gnu, ustar, pax and v7 formats, and crafted blocks for
// the numeric encodings: octal sizes past 4 GiB, base-256 values, negative and malformed fields.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ExternalTool.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TarHeader.h"

namespace {

using Bytes = std::string;

bool logHas(Logger &log, const char *what) {
  StringBuffer sb;
  log.getText(sb);
  return sb.containsSubstring(what);
}

struct Block {
  unsigned char b[512];
  Block() { std::memset(b, 0, sizeof(b)); }
  Block &set(int offset, const char *text) {
    std::memcpy(b + offset, text, std::strlen(text));
    return *this;
  }
  Block &setBytes(int offset, const std::vector<unsigned char> &bytes) {
    std::memcpy(b + offset, bytes.data(), bytes.size());
    return *this;
  }
};

// A plausible ustar header for a regular file.
Block fileHeader(const char *name, const char *size = "00000001750") {
  Block blk;
  blk.set(0, name)
      .set(100, "0000644")
      .set(108, "0001750")
      .set(116, "0001750")
      .set(124, size)
      .set(136, "14524273400")
      .set(148, "012345 ")
      .set(156, "0")
      .set(257, "ustar")
      .set(263, "00");
  return blk;
}

// Walks an archive block by block, parsing every header and skipping the entry data.
std::vector<std::map<std::string, std::string>> walk(const Bytes &tar, Logger &log) {
  std::vector<std::map<std::string, std::string>> out;
  size_t pos = 0;
  TarHeader h;
  while (pos + 512 <= tar.size()) {
    bool end = false;
    bool ok = h.parseFromMemory(reinterpret_cast<const unsigned char *>(tar.data()) + pos, end, log,
                                true);
    EXPECT_TRUE(ok) << "block at " << pos;
    if (!ok || end) break;
    std::map<std::string, std::string> m;
    m["path"] = h.m_path.getString();
    m["name"] = h.m_name.getString();
    m["prefix"] = h.m_prefix.getString();
    m["type"] = std::string(1, h.m_typeflag ? h.m_typeflag : '@');
    m["size"] = std::to_string(h.m_size);
    m["mode"] = std::to_string(h.m_mode);
    m["uid"] = std::to_string(h.m_uid);
    m["gid"] = std::to_string(h.m_gid);
    m["mtime"] = std::to_string(h.m_mtime);
    m["dir"] = h.m_isDirectory ? "1" : "0";
    m["link"] = h.m_linkname ? h.m_linkname->getString() : "<none>";
    m["uname"] = h.m_uname ? h.m_uname->getString() : "<none>";
    m["gname"] = h.m_gname ? h.m_gname->getString() : "<none>";
    m["magic"] = std::string(reinterpret_cast<const char *>(h.m_magic), 6);
    if (h.m_typeflag == 'L' || h.m_typeflag == 'x' || h.m_typeflag == 'K')
      m["data"] = tar.substr(pos + 512, static_cast<size_t>(h.m_size));
    out.push_back(m);
    pos += 512 + ((static_cast<size_t>(h.m_size) + 511) / 512) * 512;
  }
  return out;
}

} // namespace

TEST(TarHeader, ArchivesMadeByGnuTarInEveryFormat) {
  externaltool::Scratch dir;
  ASSERT_TRUE(dir.ok());
  const std::string root = dir.file("t");
  const std::string longDir =
      "a-rather-long-directory-name-for-the-prefix-field/and-one-more-level-"
      "of-directories-below-it";
  const std::string cmd = "mkdir -p '" + root + "/sub' '" + root + "/" + longDir + "' && printf '" +
                          "hello world' > '" + root + "/sub/file.txt' && printf x > '" + root +
                          "/" + longDir + "/deep.txt' && ln -s sub/file.txt '" + root + "/link'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  for (const char *format : {"gnu", "ustar", "pax", "v7"}) {
    SCOPED_TRACE(format);
    const std::string tarFile = dir.file(std::string(format) + ".tar");
    std::string make = std::string("tar --format=") + format +
                       " --owner=alice:1234 --group=staff:567 --mtime=@1700000000 --sort=name" +
                       " -cf '" + tarFile + "' -C '" + root + "' sub link";
    if (std::string(format) != "v7") make += " '" + longDir + "/deep.txt'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    Logger log;
    auto entries = walk(externaltool::readBytes(tarFile), log);
    ASSERT_FALSE(entries.empty());
    bool sawDir = false, sawFile = false, sawLink = false, sawDeep = false;
    for (size_t i = 0; i < entries.size(); ++i) {
      auto &e = entries[i];
      if (e["type"] == "x" || e["type"] == "L") continue;
      EXPECT_EQ(e["uid"], "1234");
      EXPECT_EQ(e["gid"], "567");
      EXPECT_EQ(e["mtime"], "1700000000");
      if (std::string(format) != "v7") {
        EXPECT_EQ(e["uname"], "alice");
        EXPECT_EQ(e["gname"], "staff");
      } else {
        EXPECT_EQ(e["uname"], "<none>");
      }
      if (e["path"] == "sub/") {
        sawDir = true;
        EXPECT_EQ(e["dir"], "1");
        EXPECT_EQ(e["size"], "0");
        EXPECT_EQ(e["type"], "5");
      } else if (e["path"] == "sub/file.txt") {
        sawFile = true;
        EXPECT_EQ(e["size"], "11");
        EXPECT_EQ(e["dir"], "0");
        EXPECT_EQ(e["mode"], std::to_string(0644)) << e["mode"];
      } else if (e["path"] == "link") {
        sawLink = true;
        EXPECT_EQ(e["type"], "2");
        EXPECT_EQ(e["link"], "sub/file.txt");
      } else if (e["path"].find("deep.txt") != std::string::npos) {
        sawDeep = true;
        EXPECT_EQ(e["size"], "1");
      } else if (std::string(format) == "ustar" && e["path"] == longDir + "/deep.txt") {
        sawDeep = true;
      }
    }
    EXPECT_TRUE(sawDir && sawFile && sawLink);
    if (std::string(format) == "ustar") {
      // The long path is split into prefix and name and joined again.
      EXPECT_TRUE(sawDeep);
      bool joined = false;
      for (auto &e : entries)
        if (e["path"] == longDir + "/deep.txt" && !e["prefix"].empty()) joined = true;
      EXPECT_TRUE(joined);
    }
    if (std::string(format) == "gnu") {
      // The long name travels in an 'L' entry whose data is the path.
      bool sawL = false;
      for (auto &e : entries)
        if (e["type"] == "L") {
          sawL = true;
          EXPECT_EQ(e["data"].substr(0, e["data"].find('\0')), longDir + "/deep.txt");
          EXPECT_EQ(e["magic"], Bytes("ustar ", 6));
        }
      EXPECT_TRUE(sawL);
    }
    if (std::string(format) == "pax") {
      bool sawX = false;
      for (auto &e : entries)
        if (e["type"] == "x") {
          sawX = true;
          if (e["data"].find("path=") != std::string::npos) {
            EXPECT_NE(e["data"].find(longDir + "/deep.txt"), std::string::npos);
          }
        }
      EXPECT_TRUE(sawX);
      EXPECT_EQ(entries[0]["magic"], Bytes("ustar\0", 6));
    }
  }
}

TEST(TarHeader, GnuBase256IdsAndHugeOctalSizes) {
  externaltool::Scratch dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(std::system(("printf data > '" + dir.file("f") + "'").c_str()), 0);
  // An id above the seven octal digits of the field is written in base 256 by GNU tar.
  const std::string tarFile = dir.file("big.tar");
  ASSERT_EQ(std::system(("tar --format=gnu --owner=bob:3000000000 --group=g:2500000 -cf '" +
                         tarFile + "' -C '" + dir.file("") + "' f")
                            .c_str()),
            0);
  const Bytes tar = externaltool::readBytes(tarFile);
  ASSERT_GE(tar.size(), 512u);
  ASSERT_TRUE(static_cast<unsigned char>(tar[108]) & 0x80);
  TarHeader h;
  Logger log;
  bool end = true;
  ASSERT_TRUE(
      h.parseFromMemory(reinterpret_cast<const unsigned char *>(tar.data()), end, log, false));
  EXPECT_FALSE(end);
  EXPECT_EQ(h.m_uid, 3000000000u);
  EXPECT_EQ(h.m_gid, 2500000u);
  EXPECT_EQ(h.m_size, 4);

  // A 5 GiB entry: GNU tar stores sizes below 8 GiB as eleven octal digits.
  Block five = fileHeader("big.bin", "50000000000");
  ASSERT_TRUE(h.parseFromMemory(five.b, end, log, false));
  EXPECT_EQ(h.m_size, 5LL * 1024 * 1024 * 1024);
  // The largest octal size the field holds (twelve digits, no terminator).
  Block twelve = fileHeader("max.bin");
  twelve.set(124, "777777777777");
  ASSERT_TRUE(h.parseFromMemory(twelve.b, end, log, false));
  EXPECT_EQ(h.m_size, (1LL << 36) - 1);
  // Base 256: 0x80 then 00 00 00 00 00 00 02 00 00 00 00 is 8 GiB.
  Block b256 = fileHeader("b.bin");
  b256.setBytes(124, {0x80, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0});
  ASSERT_TRUE(h.parseFromMemory(b256.b, end, log, false));
  EXPECT_EQ(h.m_size, 8589934592LL);
}

TEST(TarHeader, GnuBase256TimesAreRead) {
  // GNU tar stores times before 1970, and times past eleven octal digits, in base 256. Such
  // entries parse, with the time held to the field's 32-bit range.
  externaltool::Scratch dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(std::system(("printf data > '" + dir.file("f") + "'").c_str()), 0);
  struct Case {
    const char *mtime;
    uint32_t expect;
  } cases[] = {{"@-86400", 0u}, {"@17179869184", 0xFFFFFFFFu}, {"@1700000000", 1700000000u}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mtime);
    const std::string tarFile = dir.file("t.tar");
    ASSERT_EQ(std::system(("tar --format=gnu --mtime=" + std::string(c.mtime) + " -cf '" + tarFile +
                           "' -C '" + dir.file("") + "' f")
                              .c_str()),
              0);
    const Bytes tar = externaltool::readBytes(tarFile);
    ASSERT_GE(tar.size(), 512u);
    TarHeader h;
    Logger log;
    bool end = true;
    ASSERT_TRUE(
        h.parseFromMemory(reinterpret_cast<const unsigned char *>(tar.data()), end, log, false));
    EXPECT_FALSE(end);
    EXPECT_EQ(h.m_mtime, c.expect);
    EXPECT_EQ(h.m_size, 4);
    EXPECT_EQ(std::string(h.m_path.getString()), "f");
  }
}

TEST(TarHeader, GnuIncrementalTimesAreNotAPathPrefix) {
  // GNU incremental archives keep access and change times where ustar has its prefix; the GNU
  // header has no prefix, so the paths stay as written.
  externaltool::Scratch dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(std::system(("mkdir -p '" + dir.file("d/sub") + "' && printf hi > '" +
                         dir.file("d/sub/x.txt") + "' && tar --format=gnu -g '" + dir.file("snap") +
                         "' -cf '" + dir.file("g.tar") + "' -C '" + dir.file("") + "' d")
                            .c_str()),
            0);
  const Bytes tar = externaltool::readBytes(dir.file("g.tar"));
  ASSERT_GE(tar.size(), 512u);
  // The times are there, where a ustar reader would look for a prefix.
  ASSERT_NE(tar[345], 0);
  Logger log;
  std::vector<std::string> paths;
  for (auto &e : walk(tar, log)) {
    EXPECT_EQ(e["prefix"], "");
    paths.push_back(e["path"]);
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"d/", "d/sub/", "d/sub/x.txt"}));

  // A ustar header with the same bytes there joins them as its prefix.
  Block ustar = fileHeader("x.txt");
  ustar.set(257, "ustar").set(263, "00").set(345, "d/sub");
  TarHeader h;
  bool end = false;
  ASSERT_TRUE(h.parseFromMemory(ustar.b, end, log, false));
  EXPECT_EQ(std::string(h.m_path.getString()), "d/sub/x.txt");
}

TEST(TarHeader, NegativeAndMalformedFieldsFail) {
  TarHeader h;
  bool end = false;
  struct Case {
    Block block;
    const char *message;
  };
  Block negB256 = fileHeader("n.bin");
  negB256.setBytes(124, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE});
  Block negOctal = fileHeader("n.bin", "-0000001750");
  Block letter = fileHeader("l.bin", "x0000001750");
  Block badMode = fileHeader("m.bin");
  badMode.set(100, "rw-r--r");
  Block badUid = fileHeader("u.bin");
  badUid.set(108, "9999999");
  Block badGid = fileHeader("g.bin");
  badGid.set(116, "abc");
  Block badMtime = fileHeader("t.bin");
  badMtime.set(136, "Z");
  Block badSum = fileHeader("c.bin");
  badSum.set(148, "?");
  const Case cases[] = {{negB256, "Failed to parse file size in TAR header"},
                        {negOctal, "Failed to parse file size in TAR header"},
                        {letter, "Failed to parse file size in TAR header"},
                        {badMode, "Failed to parse mode/permissions in TAR header"},
                        {badUid, "Failed to parse uid in TAR header"},
                        {badGid, "Failed to parse gid in TAR header"},
                        {badMtime, "Failed to parse mtime in TAR header"},
                        {badSum, "Failed to parse checksum in TAR header"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    Logger log;
    EXPECT_FALSE(h.parseFromMemory(c.block.b, end, log, false));
    EXPECT_TRUE(logHas(log, c.message));
    // The whole block in hexadecimal.
    EXPECT_TRUE(logHas(log, "tarHeader"));
    // Fields parsed before the failure stay; the size of a failed size parse is not kept.
    EXPECT_EQ(std::string(h.m_name.getString()),
              std::string(reinterpret_cast<const char *>(c.block.b)));
  }
  {
    Logger log;
    EXPECT_FALSE(h.parseFromMemory(letter.b, end, log, false));
    // The size failure also dumps the fields quoted-printable.
    EXPECT_TRUE(logHas(log, "chksum"));
    StringBuffer text;
    log.getText(text);
    EXPECT_TRUE(text.containsSubstring("x0000001750"));
  }
  {
    Logger log;
    EXPECT_FALSE(h.parseFromMemory(badMode.b, end, log, false));
    EXPECT_TRUE(logHas(log, "octalNum"));
  }
  Logger log;
  EXPECT_FALSE(h.parseFromMemory(nullptr, end, log, false));
  EXPECT_TRUE(logHas(log, "Internal error parsing TAR header."));
}

TEST(TarHeader, FieldRulesOnCraftedBlocks) {
  TarHeader h;
  Logger log;
  bool end = false;
  // 512 zero bytes end the archive.
  Block zero;
  ASSERT_TRUE(h.parseFromMemory(zero.b, end, log, true));
  EXPECT_TRUE(end);
  EXPECT_TRUE(logHas(log, "end-of-tar indicated by two all-zero blocks."));
  // Zero only at offsets 0, 124 and 156: a header (its size is empty).
  Block almost;
  almost.set(100, "0000644").set(257, "ustar");
  ASSERT_TRUE(h.parseFromMemory(almost.b, end, log, false));
  EXPECT_FALSE(end);
  EXPECT_EQ(h.m_size, 0);
  EXPECT_EQ(h.m_mode, 0644u);

  // Octal with a trailing blank or NUL.
  Block blank = fileHeader("f", "00000001750 ");
  ASSERT_TRUE(h.parseFromMemory(blank.b, end, log, false));
  EXPECT_EQ(h.m_size, 1000);
  Block spaces = fileHeader("f", "           ");
  ASSERT_TRUE(h.parseFromMemory(spaces.b, end, log, false));
  EXPECT_EQ(h.m_size, 0);
  Block leading = fileHeader("f", "     1750");
  ASSERT_TRUE(h.parseFromMemory(leading.b, end, log, false));
  EXPECT_EQ(h.m_size, 1000);

  // Prefix and name.
  Block pre = fileHeader("file.txt");
  pre.set(345, "dir/sub");
  ASSERT_TRUE(h.parseFromMemory(pre.b, end, log, false));
  EXPECT_STREQ(h.m_path.getString(), "dir/sub/file.txt");
  EXPECT_STREQ(h.m_name.getString(), "file.txt");
  EXPECT_STREQ(h.m_prefix.getString(), "dir/sub");
  // A name filling all 100 bytes has no NUL.
  Block full = fileHeader("");
  std::memset(full.b, 'n', 100);
  ASSERT_TRUE(h.parseFromMemory(full.b, end, log, false));
  EXPECT_EQ(h.m_path.getSize(), 100);

  // Directories: typeflag NUL, size 0 and a trailing slash; '5' whatever the name.
  Block docs = fileHeader("docs/", "00000000000");
  docs.b[156] = 0;
  ASSERT_TRUE(h.parseFromMemory(docs.b, end, log, false));
  EXPECT_TRUE(h.m_isDirectory);
  Block notDir = fileHeader("docs/", "00000000001");
  notDir.b[156] = 0;
  ASSERT_TRUE(h.parseFromMemory(notDir.b, end, log, false));
  EXPECT_FALSE(h.m_isDirectory);
  Block five = fileHeader("plain");
  five.b[156] = '5';
  ASSERT_TRUE(h.parseFromMemory(five.b, end, log, false));
  EXPECT_TRUE(h.m_isDirectory);

  // Empty link, user and group names leave no text; set ones are kept.
  Block named = fileHeader("x");
  ASSERT_TRUE(h.parseFromMemory(named.b, end, log, false));
  EXPECT_EQ(h.m_linkname, nullptr);
  EXPECT_EQ(h.m_uname, nullptr);
  EXPECT_EQ(h.m_gname, nullptr);
  named.set(157, "target").set(265, "user").set(297, "group");
  ASSERT_TRUE(h.parseFromMemory(named.b, end, log, false));
  ASSERT_NE(h.m_linkname, nullptr);
  EXPECT_STREQ(h.m_linkname->getString(), "target");
  EXPECT_STREQ(h.m_uname->getString(), "user");
  EXPECT_STREQ(h.m_gname->getString(), "group");
  // Nothing carries over to the next parse.
  ASSERT_TRUE(h.parseFromMemory(fileHeader("y").b, end, log, false));
  EXPECT_EQ(h.m_linkname, nullptr);
  h.clear();
  EXPECT_EQ(h.m_typeflag, 0);
  TarHeader fresh;
  EXPECT_EQ(fresh.m_typeflag, '0');
}

TEST(TarHeader, Base256Limits) {
  auto b256 = [](std::vector<unsigned char> v) {
    return getBase256(reinterpret_cast<const char *>(v.data()), static_cast<int>(v.size()));
  };
  EXPECT_EQ(b256({0x80, 0, 0, 0, 0, 0, 0, 0x01}), 1);
  EXPECT_EQ(b256({0xBF, 0xFF}), (0x3FLL << 8) | 0xFF);
  EXPECT_EQ(b256({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}), -2);
  EXPECT_EQ(b256({0xC0, 0, 0, 0, 0, 0, 0, 0}), -(1LL << 62));
  // Shifting stops before bits would be lost: 0x80 then twelve 0xFF bytes.
  long long v = b256({0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_GT(v, 0);
  EXPECT_EQ(v, (1LL << 56) - 1);
  // A 0x3F lead byte grows past 2^55 after seven more bytes: the rest is ignored.
  v = b256({0xBF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(v, (0x3FLL << 56) | ((1LL << 56) - 1));
  EXPECT_GT(v, 0);
}

TEST(TarHeader, RenderingsAndReadingFromASource) {
  Block blk = fileHeader("a=b.txt");
  blk.set(157, "tgt").set(265, "u").set(297, "g").set(329, "0000000").set(337, "0000000");
  blk.set(345, "pre");
  TarHeader h;
  StringBuffer qp;
  qp.append("old");
  h.getFieldsQP(blk.b, qp);
  const std::string s = qp.getString();
  EXPECT_EQ(s.rfind("name: a=3Db.txt", 0), 0u) << s;
  for (const char *label :
       {"\r\nmode: ", "\r\nuid: ", "\r\ngid: ", "\r\nsize: ", "\r\nmtime: ", "\r\nchksum: ",
        "\r\ntypeflag: 0", "\r\nlinkname: tgt", "\r\nmagic: ", "\r\nversion: 00", "\r\nuname: u",
        "\r\ngname: g", "\r\ndevmajor: ", "\r\ndevminor: ", "\r\nprefix: pre"})
    EXPECT_NE(s.find(label), std::string::npos) << label;
  EXPECT_EQ(s.find("old"), std::string::npos);
  EXPECT_NE(s.substr(s.size() - 3), "\r\n");

  Logger log;
  h.debugLogTarHeader(blk.b, log);
  for (const char *tag : {"name", "mode", "uid", "gid", "size", "mtime", "chksum", "typeflag",
                          "linkname", "magic", "version"})
    EXPECT_TRUE(logHas(log, tag)) << tag;

  // From a data source: a whole block, then a short one.
  Bytes data(reinterpret_cast<const char *>(blk.b), 512);
  data += "short";
  MemoryDataSource src;
  src.initializeMemSource(data.data(), static_cast<unsigned int>(data.size()), false);
  unsigned char copy[512];
  bool end = true;
  ASSERT_TRUE(h.parseFromDataSource(src, copy, end, log));
  EXPECT_FALSE(end);
  EXPECT_EQ(std::memcmp(copy, blk.b, 512), 0);
  EXPECT_STREQ(h.m_path.getString(), "pre/a=b.txt");
  log.ClearLog();
  EXPECT_FALSE(h.parseFromDataSource(src, nullptr, end, log));
  EXPECT_TRUE(logHas(log, "Failed to read TAR header."));
}
