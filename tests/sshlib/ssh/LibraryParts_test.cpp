// How the library's parts meet: the public objects' debug log file, the login method list held in
// a string array, and the extension pairs and times of SFTP attributes.
#include <gtest/gtest.h>

#include <functional>
#include <type_traits>

#include "sshlib/core/ClsDirTree.h"
#include "sshlib/core/ClsStringArray.h"
#include "sshlib/core/ClsTar.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/crypto/ClsCrypt.h"
#include "sshlib/crypto/ClsXml.h"
#include "sshlib/ssh/CkSFtp.h"
#include "sshlib/ssh/CkTar.h"
#include "sshlib/ssh/ClsNtlm.h"
#include "sshlib/ssh/ClsSFtp.h"
#include "sshlib/ssh/SFtpFileAttr.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/LogTexts.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

// Every public object of the library has the base with its own call log and the critical section
// its operations are bracketed by.
template <class... T> constexpr bool publicObjects() {
  return ((std::is_base_of_v<ClsBase, T> && std::is_base_of_v<RazudodCritSec, T>)&&...);
}
static_assert(publicObjects<ClsCrypt, ClsDirTree, ClsNtlm, ClsSFtp, ClsSFtpDir, ClsSFtpFile, ClsTar,
                            ClsXml>());

// Each call's log is mirrored into the debug log file as it happens, call after call; an emptied
// path writes nothing more.
TEST(PublicObjects, DebugLogFilePathMirrorsEveryCall) {
  TempDir dir;
  CkTar tar;
  CkSshKey key;
  CkSFtp sftp;
  const int closedPort = freeTcpPort();
  const struct {
    const char *name, *context, *line;
    std::function<void(const char *)> put;
    std::function<std::string()> get;
    std::function<void()> call;
  } rows[] = {
      {"tar", "Untar:", "Untar:", [&](const char *p) { tar.put_DebugLogFilePath(p); },
       [&] { return tar.debugLogFilePath(); }, [&] { tar.Untar(dir.file("no-such.tar").c_str()); }},
      {"key", "FromText:", "Unrecognized key file format.",
       [&](const char *p) { key.put_DebugLogFilePath(p); }, [&] { return key.debugLogFilePath(); },
       [&] { key.FromText("not a key"); }},
      {"sftp", "Connect:", "Failed to establish initial TCP/IP connection",
       [&](const char *p) { sftp.put_DebugLogFilePath(p); },
       [&] { return sftp.debugLogFilePath(); }, [&] { sftp.Connect("127.0.0.1", closedPort); }},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    const std::string path = dir.file(std::string(r.name) + ".log");
    r.put(path.c_str());
    EXPECT_EQ(r.get(), path);
    r.call();
    r.call();
    const std::string file = readFile(path);
    int contexts = 0, lines = 0, failed = 0;
    for (const std::string &l : logLines(file)) {
      contexts += l == r.context;
      lines += l == r.line;
      failed += l == "Failed.";
    }
    EXPECT_EQ(contexts, 2) << file;
    EXPECT_GE(lines, 2) << file;
    EXPECT_GE(failed, 2) << file;
    EXPECT_EQ(logLines(file).back(), "(leaveContext)");
    r.put("");
    EXPECT_EQ(r.get(), "");
    r.call();
    EXPECT_EQ(readFile(path), file);
  }
}

// What the implementation objects have, their public objects pass on: the tar object's name and
// prefix properties, its roots and each rendering of its log; the key's saved log; a listing's
// own log in its three forms and its debug log file.
TEST(PublicObjects, PassOnWhatTheirObjectsHave) {
  TempDir dir;
  CkTar tar;
  tar.put_UserName("builder");
  tar.put_GroupName("staff");
  tar.put_DirPrefix("top/inner//");
  tar.AddDirRoot(dir.path().c_str());
  std::string root, none = "stale";
  const bool gotRoot = tar.GetDirRoot(0, root);
  const bool gotNone = tar.GetDirRoot(3, none);
  const std::string tarText = tar.lastErrorText(), tarHtml = tar.lastErrorHtml();

  CkSshKey key;
  key.FromText("not a key");
  const bool saved = key.SaveLastError(dir.file("key.xml").c_str());
  const bool savedBlank = key.SaveLastError("   ");

  auto *impl = new ClsSFtpDir;
  DataBuffer name;
  name.appendCharN(0, 9);
  SshTransport::pack_uint32(1, name);
  SshTransport::pack_string("one", name);
  SshTransport::pack_string("one", name);
  SshTransport::pack_uint32(0, name);
  Logger scratch;
  impl->loadSshFxpName(3, StringBuffer(), false, name, scratch);
  CkSFtpDir listing(impl);
  listing.put_DebugLogFilePath(dir.file("dir.log").c_str());
  std::unique_ptr<CkSFtpFile> first(listing.GetFileObject(0)), past(listing.GetFileObject(1));

  const struct {
    const char *what;
    std::string got, want;
  } rows[] = {
      {"tar user name", tar.userName(), "builder"},
      {"tar group name", tar.groupName(), "staff"},
      {"tar prefix, trailing slashes gone", tar.dirPrefix(), "top/inner"},
      {"tar root 0", std::to_string(gotRoot) + " " + root, "1 " + dir.path()},
      {"tar root 3", std::to_string(gotNone) + " [" + none + "]", "0 []"},
      {"tar text log",
       std::to_string(logHasLine(tarText, "Index out of range") && logHasLine(tarText, "index: 3")),
       "1"},
      {"tar HTML log", std::to_string(tarHtml.find("Index out of range<br>") != std::string::npos),
       "1"},
      {"key log saved", std::to_string(saved) + std::to_string(savedBlank), "10"},
      {"key log file",
       std::to_string(readFile(dir.file("key.xml")).find("Unrecognized key file format.") !=
                      std::string::npos),
       "1"},
      {"listing copies", std::to_string(first != nullptr) + std::to_string(past != nullptr), "10"},
      {"copied name", first ? first->filename() : "", "one"},
      {"listing text log", listing.lastErrorText().substr(0, 11), "RazudodLog:"},
      {"listing HTML log", listing.lastErrorHtml().substr(0, 23), "RazudodLog:<blockquote>"},
      {"listing XML log", listing.lastErrorXml().substr(0, 12), "<RazudodLog>"},
      {"listing debug log path", listing.debugLogFilePath(), dir.file("dir.log")},
      {"listing debug log", readFile(dir.file("dir.log")), "GetFileObject:\n    (leaveContext)\n"},
  };
  for (const auto &r : rows)
    EXPECT_EQ(r.got, r.want) << r.what;
}

// The methods a server lists after "none" are held in a string array: a method counts only when a
// whole name matches exactly; empty names are dropped; a missing boolean still yields the names.
TEST(LoginMethodList, NamesAreHeldAndMatchedWhole) {
  const struct {
    const char *list;
    bool withBoolean;
    bool parses, password, keyboard;
    const char *joined;
  } cases[] = {
      {"publickey,password", true, true, true, false, "publickey,password"},
      {"publickey,,keyboard-interactive,", true, true, false, true,
       "publickey,keyboard-interactive"},
      {"Password,passwords,xpassword", true, true, false, false, "Password,passwords,xpassword"},
      {"", true, true, false, false, ""},
      {"password", false, false, true, false, "password"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.list);
    DataBuffer msg;
    msg.appendChar(51);
    SshTransport::pack_string(c.list, msg);
    if (c.withBoolean) SshTransport::pack_bool(false, msg);
    ClsStringArray methods;
    bool partial = true;
    CaptureLog log;
    EXPECT_EQ(SshTransport::parseUserAuthFailMsg(msg, methods, partial, log), c.parses);
    XString name, joined;
    EXPECT_EQ(methods.Contains(xs(name, "password")), c.password);
    EXPECT_EQ(methods.Contains(xs(name, "keyboard-interactive")), c.keyboard);
    methods.ToDelimitedString(",", joined);
    EXPECT_STREQ(joined.getUtf8(), c.joined);
  }
  // A list cut short leaves the array as it was.
  DataBuffer cut;
  SshTransport::pack_uint32(50, cut);
  cut.append("publickey", 9);
  ClsStringArray kept;
  kept.AppendUtf8("earlier");
  unsigned int idx = 0;
  EXPECT_FALSE(SshTransport::parseNameList2(cut, idx, kept));
  EXPECT_EQ(kept.get_Count(), 1);
}

// Extension pairs travel in every version's layout and in the text form; what is written is the
// pairs held, whatever the count field says.
TEST(SftpAttributes, ExtensionPairsAndTimes) {
  for (unsigned int version = 3; version <= 6; ++version) {
    SCOPED_TRACE(version);
    SFtpFileAttr a;
    a.validFlags = SFtpFileAttr::kExtended | SFtpFileAttr::kPermissions;
    a.permissions = 0100644;
    a.extensionNames.emplace_back("mime@example.com");
    a.extensionValues.emplace_back("text/plain");
    a.extensionNames.emplace_back("empty@example.com");
    a.extensionValues.emplace_back("");
    a.extendedCount = 7;
    CaptureLog log;
    DataBuffer wire;
    a.packFileAttr(version, wire, log, true);
    EXPECT_TRUE(log.has("extensionName: mime@example.com")) << log.text;
    SFtpFileAttr b;
    unsigned int offset = 0;
    int step = 0;
    ASSERT_TRUE(b.unpackFileAttr(version, offset, wire, log, step, true));
    EXPECT_EQ(offset, wire.getSize());
    EXPECT_EQ(b.extendedCount, 2u);
    ASSERT_EQ(b.extensionNames.size(), 2u);
    EXPECT_STREQ(b.extensionNames[0].getString(), "mime@example.com");
    EXPECT_STREQ(b.extensionValues[0].getString(), "text/plain");
    EXPECT_EQ(b.extensionValues[1].getSize(), 0u);
    EXPECT_EQ(log.has("octalPermissions: 100644"), version == 3) << log.text;
    StringBuffer form;
    b.serialize(form, log);
    SFtpFileAttr c;
    ASSERT_TRUE(c.unserialize(form, log, step, false));
    ASSERT_EQ(c.extensionNames.size(), 2u);
    EXPECT_STREQ(c.extensionNames[1].getString(), "empty@example.com");
  }
  const struct {
    unsigned int seconds;
    int year, month, day, hour, minute, second;
  } times[] = {{0, 1970, 1, 1, 0, 0, 0}, {4294967295u, 2106, 2, 7, 6, 28, 15}};
  for (const auto &t : times) {
    RazudodSysTime st;
    SFtpFileAttr::getSysTimeUTC32(t.seconds, st);
    EXPECT_EQ(
        std::vector<int>({st.m_year, st.m_month, st.m_day, st.m_hour, st.m_minute, st.m_second}),
        std::vector<int>({t.year, t.month, t.day, t.hour, t.minute, t.second}));
    RazudodFileTime ft;
    ft.fromUnixTime((long)t.seconds);
    long long back = -1;
    unsigned int ns = 1;
    SFtpFileAttr::fromFileTime(ft, back, ns);
    EXPECT_EQ(back, (long long)t.seconds);
    EXPECT_EQ(ns, 0u);
  }
}

// A record cut short anywhere fails at the field it was cut in, and the step says which: 1 flags,
// 2 type, 4 size, 5 allocation size, 6 owner or uid, 7 group or gid, 8 permissions, 9 to 16 the
// four times and their nanoseconds, 17 ACL, 18 and 19 bits, 20 text hint, 21 MIME type, 22 link
// count, 23 untranslated name, 24 to 26 the extension count and pair.
TEST(SftpAttributes, AStepNamesTheFieldARecordWasCutIn) {
  using A = SFtpFileAttr;
  auto u32 = [](unsigned int v) {
    DataBuffer d;
    SshTransport::pack_uint32(v, d);
    return std::string((const char *)d.getData2(), d.getSize());
  };
  auto str = [&](const std::string &t) { return u32((unsigned int)t.size()) + t; };
  const std::string u64(8, '\x01'), byte(1, '\x01');
  struct Field {
    int step;
    std::string bytes;
  };
  const unsigned int v3flags =
      A::kSize | A::kUidGid | A::kPermissions | A::kAccessTime | A::kExtended;
  const unsigned int v4flags = A::kSize | A::kOwnerGroup | A::kPermissions | A::kAccessTime |
                               A::kCreateTime | A::kModifyTime | A::kSubsecond | A::kAcl |
                               A::kExtended;
  const unsigned int v5flags = v4flags | A::kBits | A::kLinkCount;
  const unsigned int v6flags =
      v5flags | A::kAllocSize | A::kCtime | A::kTextHint | A::kMimeType | A::kUntranslated;
  const std::vector<Field> ext = {{24, u32(1)}, {25, str("n@example.com")}, {26, str("v")}};
  auto times = [&](bool ctime) {
    std::vector<Field> t;
    for (int first = 9; first <= (ctime ? 15 : 13); first += 2) {
      t.push_back({first, u64});
      t.push_back({first + 1, u32(5)});
    }
    return t;
  };
  // From version 4 on: flags, type, size, (version 6) allocation size, owner, group, permissions.
  auto head = [&](unsigned int flags, bool allocSize) {
    std::vector<Field> h = {{1, u32(flags)}, {2, byte}, {4, u64}};
    if (allocSize) h.push_back({5, u64});
    h.insert(h.end(), {{6, str("owner")}, {7, str("group")}, {8, u32(0644)}});
    return h;
  };
  auto join = [](std::vector<std::vector<Field>> parts) {
    std::vector<Field> all;
    for (auto &p : parts)
      all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const struct {
    unsigned int version;
    std::vector<Field> fields;
  } layouts[] = {
      {3, join({{{1, u32(v3flags)},
                 {4, u64},
                 {6, u32(1000)},
                 {7, u32(100)},
                 {8, u32(0100644)},
                 {9, u32(7)},
                 {13, u32(8)}},
                ext})},
      {4, join({head(v4flags, false), times(false), {{17, str("acl")}}, ext})},
      {5, join({head(v5flags, false),
                times(false),
                {{17, str("acl")}, {18, u32(4)}, {22, u32(2)}},
                ext})},
      {6, join({head(v6flags, true),
                times(true),
                {{17, str("acl")},
                 {18, u32(4)},
                 {19, u32(0xff)},
                 {20, byte},
                 {21, str("text/plain")},
                 {22, u32(2)},
                 {23, str("raw")}},
                ext})},
  };
  for (const auto &l : layouts) {
    std::string whole;
    std::vector<int> stepAt; // the field each byte belongs to
    for (const Field &f : l.fields) {
      whole += f.bytes;
      stepAt.insert(stepAt.end(), f.bytes.size(), f.step);
    }
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
      DataBuffer wire;
      wire.append(whole.data(), (unsigned int)cut);
      SFtpFileAttr a;
      unsigned int offset = 0;
      int step = -1;
      LogBase log;
      const bool ok = a.unpackFileAttr(l.version, offset, wire, log, step, false);
      ASSERT_EQ(ok, cut == whole.size()) << "version " << l.version << ", " << cut << " bytes";
      ASSERT_EQ(step, ok ? 1000 : stepAt[cut])
          << "version " << l.version << ", " << cut << " bytes";
    }
  }
}

// Each entry of a NAME reply is read in a "DirEntry" context of its own; a name that cannot be
// read shows the packet, cut to its start when it is long (a NAME packet may be 512 KiB), and
// says that it was cut.
TEST(SftpListing, EntriesHaveContextsAndABadNameShowsThePacket) {
  // A NAME packet: entries in the layout of the version, then `tail` as it stands.
  auto namePacket = [](DataBuffer &p, int version, int entries, const std::string &tail,
                       size_t longnameBytes) {
    p.appendCharN(0, 9);
    SshTransport::pack_uint32((unsigned)entries + (tail.empty() ? 0 : 1), p);
    for (int i = 0; i < entries; ++i) {
      SshTransport::pack_string(("f" + std::to_string(i)).c_str(), p);
      if (version < 4) SshTransport::pack_string(std::string(longnameBytes, 'l').c_str(), p);
      SshTransport::pack_uint32(SFtpFileAttr::kPermissions, p);
      if (version >= 4) p.appendChar(1);
      SshTransport::pack_uint32(0100640, p);
    }
    p.append(tail.data(), (unsigned)tail.size());
  };
  const std::string cutName = std::string("\0\0\0\x09"
                                          "ab",
                                          6); // 9 bytes announced, 2 there
  const struct {
    const char *what;
    int version, entries;
    std::string tail;
    size_t longnameBytes;
    bool ok;
    std::vector<std::string> present, absent;
  } cases[] = {
      {"v3 entries", 3, 2, "", 10, true, {"DirEntry:", "octalPermissions: 100640"}, {"msgData:"}},
      {"v3 name cut short",
       3,
       1,
       cutName,
       10,
       false,
       {"DirEntry:", "Failed to parse Nth filename in FXP Name message.", "index: 1", "msgData:"},
       {"msgData holds the first"}},
      {"v3 longname cut short in a long packet",
       3,
       40,
       std::string("\0\0\0\x01x\0\0\x01\0", 9),
       20000,
       false,
       {"index: 40", "msgData holds the first 1024 of the packet's"},
       {}},
      {"v6 name cut short", 6, 0, cutName, 0, false, {"index: 0", "msgData:"}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    DataBuffer packet;
    namePacket(packet, c.version, c.entries, c.tail, c.longnameBytes);
    Logger log;
    ClsSFtpDir dir;
    EXPECT_EQ(dir.loadSshFxpName(c.version, StringBuffer(), false, packet, log), c.ok);
    EXPECT_EQ(dir.get_NumFilesAndDirs(), c.entries);
    StringBuffer sb;
    log.getText(sb);
    const std::string text = sb.getString();
    std::vector<std::string> present = c.present;
    for (std::string &line : present)
      if (line == "msgData holds the first 1024 of the packet's")
        line += " " + std::to_string(packet.getSize()) + " bytes.";
    EXPECT_EQ(missingLogLines(text, present), "") << text;
    for (const std::string &a : c.absent)
      EXPECT_FALSE(logHasLine(text, a) || text.find(a) != std::string::npos) << a;
    if (!c.ok) {
      // The dump is the packet's first bytes, at most 1024 of them.
      StringBuffer dump;
      dump.appendHexData(packet.getData2(), packet.getSize() < 1024 ? (int)packet.getSize() : 1024);
      const std::string shown = std::string("msgData: ") + dump.getString();
      const size_t at = text.find(shown);
      EXPECT_NE(at, std::string::npos) << text;
      if (at != std::string::npos) {
        EXPECT_EQ(std::string("0123456789ABCDEF").find(text[at + shown.size()]), std::string::npos)
            << "the dump goes on";
      }
    }
  }
}

// A record restored from its text form says which 32-bit times it came back with.
TEST(SftpAttributes, RestoredRecordLogsItsTimes) {
  SFtpFileAttr a;
  a.lastAccessTime32 = 11;
  a.createTime32 = 22;
  a.lastModifiedTime32 = 33;
  StringBuffer form, text;
  Logger log;
  a.serialize(form, log);
  SFtpFileAttr b;
  int step = 0;
  ASSERT_TRUE(b.unserialize(form, log, step, false));
  log.getText(text);
  EXPECT_EQ(missingLogLines(text.getString(),
                            {"lastAccessTime32: 11", "createTime32: 22", "lastModifiedTime32: 33"}),
            "")
      << text.getString();
}

// An entry's text form goes both ways in contexts of their own; the name (a peer's) is logged
// only when asked, escaped to one line.
TEST(SftpListing, AnEntrysTextFormLogsItsWaysAndTheNameOnlyWhenAsked) {
  SFtpFileAttr a;
  a.lastModifiedTime32 = 33;
  StringBuffer attrForm;
  Logger quiet;
  a.serialize(attrForm, quiet);
  DataBuffer rawName;
  rawName.append("two\nlines", 9);
  StringBuffer nameForm;
  rawName.encode("base64", nameForm);
  for (bool verbose : {false, true}) {
    SCOPED_TRACE(verbose ? "verbose" : "quiet");
    XString form, back;
    form.setFromUtf8((std::string(nameForm.getString()) + "," + attrForm.getString()).c_str());
    Logger log;
    ClsSFtpFile entry;
    ASSERT_TRUE(entry.unserialize(form, log, verbose));
    entry.serialize(back, log, verbose);
    EXPECT_EQ(std::string(back.getUtf8()), std::string(form.getUtf8()));
    StringBuffer sb;
    log.getText(sb);
    const std::string text = sb.getString();
    EXPECT_EQ(missingLogLines(text, {"unserialize:", "serialize:"}), "") << text;
    EXPECT_EQ(text.find("two\n"), std::string::npos) << "the name was split into two lines";
    EXPECT_EQ(text.find("filename: two\\nlines") != std::string::npos, verbose) << text;
  }
}

} // namespace
