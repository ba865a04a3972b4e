// Zip archives interoperate with Info-ZIP and Python's zipfile both ways, with and without
// passwords, and hostile archives write nothing outside their target and fail.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <optional>

#include "app/files/MinizipArchive.h"
#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "tests/support/TarTrees.h"
#include "tests/support/TimeScale.h"

namespace fs = std::filesystem;
using tartrees::sh;

namespace {
bool unzipInto(const std::string &zip, const std::string &to, const std::string &password = "") {
  MinizipArchive a;
  bool opened = password.empty() ? a.UnzipOpenFile(zip) : a.UnzipOpenFile(zip, password);
  bool ok = opened && a.UnzipFileTo(to, true);
  return a.UnzipCloseFile() && ok;
}
std::string q(const std::string &s) {
  return "'" + s + "'";
}
} // namespace

TEST(ZipArchive, InfoZipArchivesUnpackToTheirTrees) {
  testsupport::TempDir t;
  const std::string src = t.file("src");
  tartrees::makeSampleTree(src, 256);
  fs::remove(src + "/emptydir"); // Info-ZIP keeps it, ours does not: compared separately
  for (const std::string pw : {"", "secret", "p\xc3\xa4ss"}) {
    SCOPED_TRACE(pw);
    const std::string zip = t.file("iz" + std::to_string(pw.size()) + ".zip");
    ASSERT_TRUE(sh("cd " + q(src) + " && zip -qr " + (pw.empty() ? "" : "-P " + q(pw) + " ") +
                   q(zip) + " ."));
    EXPECT_EQ(MinizipArchive::UnzipIsEncrypted(zip), !pw.empty());
    const std::string out = zip + ".d";
    EXPECT_TRUE(unzipInto(zip, out, pw));
    std::string why;
    EXPECT_TRUE(tartrees::sameTree(src, out, &why)) << why;
    if (!pw.empty()) {
      // A wrong or missing password yields no data (an empty entry has none to check it by,
      // and the password check byte passes one wrong password in 256).
      EXPECT_FALSE(unzipInto(zip, t.file("wrong"), "nope"));
      EXPECT_FALSE(unzipInto(zip, t.file("none")));
      EXPECT_TRUE(sh("test -z \"$(find " + q(t.file("wrong")) + " " + q(t.file("none")) +
                     " -type f -size +0)\""));
    }
  }
}

TEST(ZipArchive, OurArchivesPassInfoZipAndPython) {
  testsupport::TempDir t;
  const std::string src = t.file("src");
  tartrees::makeSampleTree(src, 256);
  fs::remove(src + "/emptydir");
  // A link loop and a link out of the tree are not followed.
  ASSERT_TRUE(sh("touch -d '2021-05-05 10:00:02' " + q(src + "/random.bin"))); // DOS time: even
  fs::create_directory_symlink(".", src + "/sub/loop");
  fs::create_directory_symlink("/etc", src + "/out");
  ASSERT_TRUE(sh("cp -a " + q(src) + " " + q(t.file("plain")) + " && rm " +
                 q(t.file("plain/sub/loop")) + " " + q(t.file("plain/out"))));
  int files = 0;
  for (const auto &e : fs::recursive_directory_iterator(src))
    files += e.is_regular_file() && !e.is_symlink();
  for (const std::string pw : {"", "secret", "p\xc3\xa4ss"}) {
    SCOPED_TRACE(pw);
    const std::string zip = t.file("ours" + std::to_string(pw.size()) + ".zip");
    MinizipArchive a;
    ASSERT_TRUE(pw.empty() ? a.CreateZipFile2(zip) : a.CreateZipFile2(zip, pw));
    EXPECT_EQ(a.addFolderToZip(src, ""), files);
    ASSERT_TRUE(a.CloseZipFile2());
    const std::string p = pw.empty() ? "" : "-P " + q(pw) + " ";
    EXPECT_TRUE(sh("unzip -tq " + p + q(zip)));
    EXPECT_TRUE(sh("zipinfo " + q(zip)));
    EXPECT_TRUE(sh("/usr/bin/python3 -c 'import sys,zipfile; z=zipfile.ZipFile(sys.argv[1]); "
                   "z.setpassword(sys.argv[2].encode()); "
                   "sys.exit(z.testzip() is not None)' " +
                   q(zip) + " " + q(pw)));
    const std::string out = zip + ".d";
    ASSERT_TRUE(sh("unzip -q " + p + q(zip) + " -d " + q(out)));
    std::string why;
    EXPECT_TRUE(tartrees::sameTree(t.file("plain"), out, &why)) << why;
  }
  // An empty archive is the end record alone and unpacks to a failure.
  MinizipArchive e;
  ASSERT_TRUE(e.CreateZipFile2(t.file("empty.zip")) && e.CloseZipFile2());
  EXPECT_EQ(fs::file_size(t.file("empty.zip")), 22u);
  EXPECT_FALSE(unzipInto(t.file("empty.zip"), t.file("e")));
}

// Names beyond ASCII go into the archive as UTF-8 and are marked so (general purpose bit 11):
// Info-ZIP and Python read them as they were, not as DOS code page 437. Plain ASCII names stay
// unmarked. Archives Info-ZIP and Python make of such names unpack to the same names here.
TEST(ZipArchive, NamesBeyondAsciiAreMarkedAsUtf8BothWays) {
  testsupport::TempDir t;
  const struct {
    std::string name;
    bool marked;
  } names[] = {{"plain.txt", false},
               {"\xc3\xbcmlaut.txt", true},                               // ümlaut.txt
               {"d\xc3\xa9j\xc3\xa0/\xe6\x97\xa5\xe6\x9c\xac.txt", true}, // déjà/日本.txt
               {"emoji \xf0\x9f\x93\x81.bin", true}};                     // emoji 📁.bin
  const std::string src = t.file("src");
  for (const auto &n : names) {
    fs::create_directories(fs::path(src + "/" + n.name).parent_path());
    ASSERT_TRUE(testsupport::writeFile(src + "/" + n.name, "content of " + n.name));
  }
  // Even seconds: the DOS time of an entry keeps no odd ones.
  ASSERT_TRUE(sh("find " + q(src) + " -type f -exec touch -d '2021-05-05 10:00:02' {} +"));
  fs::permissions(src + "/plain.txt", fs::perms::owner_read | fs::perms::owner_write);
  for (const std::string pw : {"", "secret"}) {
    SCOPED_TRACE(pw.empty() ? "plain" : "with a password");
    const std::string zip = t.file("ours" + std::to_string(pw.size()) + ".zip");
    MinizipArchive a;
    ASSERT_TRUE(pw.empty() ? a.CreateZipFile2(zip) : a.CreateZipFile2(zip, pw));
    EXPECT_EQ(a.addFolderToZip(src, ""), static_cast<int>(std::size(names)));
    ASSERT_TRUE(a.CloseZipFile2());
    // Info-ZIP's listing, in a UTF-8 locale, shows each name as it is.
    int rc = -1;
    const std::string listed = testsupport::runCommand("LC_ALL=C.UTF-8 unzip -l " + q(zip), &rc);
    ASSERT_EQ(rc, 0) << listed;
    // Python: each name as it was, marked when it is beyond ASCII, in the local header too.
    const std::string python = testsupport::runCommand(
        "/usr/bin/python3 -c 'import sys,zipfile,struct\n"
        "z=zipfile.ZipFile(sys.argv[1]); f=open(sys.argv[1],\"rb\")\n"
        "for i in z.infolist():\n"
        "  f.seek(i.header_offset); local=struct.unpack(\"<4s2H\",f.read(8))[2]\n"
        "  "
        "sys.stdout.buffer.write(i.filename.encode()+b\"|%d|%d\\n\"%(i.flag_bits>>11&1,local>>11&1)"
        ")"
        "' " +
            q(zip),
        &rc);
    ASSERT_EQ(rc, 0) << python;
    for (const auto &n : names) {
      SCOPED_TRACE(n.name);
      EXPECT_NE(listed.find("   " + n.name + "\n"), std::string::npos) << listed;
      const std::string flag = n.marked ? "1" : "0";
      EXPECT_NE(python.find(n.name + "|" + flag + "|" + flag + "\n"), std::string::npos) << python;
    }
    const std::string out = zip + ".d";
    ASSERT_TRUE(sh("LC_ALL=C.UTF-8 unzip -q " + (pw.empty() ? "" : "-P " + q(pw) + " ") + q(zip) +
                   " -d " + q(out)));
    std::string why;
    EXPECT_TRUE(tartrees::sameTree(src, out, &why)) << why;
    // Each file as it was kept (never a file no one may read).
    for (const auto &n : names)
      EXPECT_EQ(fs::status(out + "/" + n.name).permissions(),
                fs::status(src + "/" + n.name).permissions())
          << n.name;
  }
  // Made by Info-ZIP and by Python, read here under the same names.
  ASSERT_TRUE(sh("cd " + q(src) + " && LC_ALL=C.UTF-8 zip -qr " + q(t.file("iz.zip")) + " ."));
  ASSERT_TRUE(sh("cd " + q(src) +
                 " && /usr/bin/python3 -c 'import os,zipfile\n"
                 "z=zipfile.ZipFile(\"../py.zip\",\"w\")\n"
                 "for d,_,fs in os.walk(\".\"):\n"
                 "  for f in fs: z.write(os.path.join(d,f))'"));
  for (const char *made : {"iz.zip", "py.zip"}) {
    SCOPED_TRACE(made);
    const std::string out = t.file(std::string(made) + ".d");
    EXPECT_TRUE(unzipInto(t.file(made), out));
    std::string why;
    EXPECT_TRUE(tartrees::sameTree(src, out, &why)) << why;
  }
}

TEST(ZipArchive, HostileEntriesWriteNothingOutsideAndFail) {
  testsupport::TempDir t;
  // Each archive holds a good entry and one hostile one.
  struct Case {
    const char *label;
    const char *python; // adds the hostile entry to ZipFile z
  } cases[] = {
      {"dotdot", "z.writestr('../evil', 'x')"},
      {"backslash", "z.writestr('..\\\\evil', 'x')"},
      {"deep", "z.writestr('a/../../evil', 'x')"},
      {"absolute", "z.writestr('/tmp/ferrowen-zip-evil', 'x')"},
      {"drive", "z.writestr('C:/evil', 'x')"},
      {"link", "i=zipfile.ZipInfo('lnk'); i.create_system=3; i.external_attr=0o120777<<16; "
               "z.writestr(i, '..'); z.writestr('lnk/evil', 'x')"},
      {"crc", "i=zipfile.ZipInfo('bad'); z.writestr(i, 'y'*5000)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const std::string zip = t.file(std::string(c.label) + ".zip");
    ASSERT_TRUE(sh("/usr/bin/python3 -c \"import zipfile; z=zipfile.ZipFile('" + zip +
                   "','w'); z.writestr('good.txt','g'); " + c.python + "; z.close()\""));
    if (std::string(c.label) == "crc") { // flip one byte of the stored data
      ASSERT_TRUE(sh("printf Z | dd of=" + q(zip) + " bs=1 seek=200 conv=notrunc"));
    }
    const std::string out = t.file(c.label) + "/in";
    EXPECT_FALSE(unzipInto(zip, out));
    EXPECT_TRUE(fs::exists(out + "/good.txt"));
    EXPECT_FALSE(fs::exists(out + "/bad"));
    EXPECT_FALSE(fs::is_symlink(out + "/lnk"));
    EXPECT_FALSE(fs::exists(t.file(c.label) + "/evil"));
    EXPECT_FALSE(fs::exists(out + "/../../evil"));
    EXPECT_FALSE(fs::exists("/tmp/ferrowen-zip-evil"));
  }
  // A link already in the target is replaced, never written through.
  const std::string out = t.file("pre");
  fs::create_directories(out);
  testsupport::writeFile(t.file("victim"), "keep");
  fs::create_symlink(t.file("victim"), out + "/good.txt");
  unzipInto(t.file("dotdot.zip"), out);
  EXPECT_EQ(testsupport::readFile(t.file("victim")), "keep");
  EXPECT_EQ(testsupport::readFile(out + "/good.txt"), "g");
}

TEST(ZipArchive, HeadersThatDisagreeAreRefusedBeforeAnythingIsWritten) {
  testsupport::TempDir t;
  // One archive whose local header names another file than its central entry, and one whose 32
  // central entries all point at one local entry of 1 MiB (32 MiB out of a few KiB).
  ASSERT_TRUE(tartrees::python(t.path(), R"(import zipfile,struct
z=zipfile.ZipFile('named.zip','w'); z.writestr('good.txt','g'); z.writestr('aa.txt','hello'); z.close()
b=bytearray(open('named.zip','rb').read())
at=b.rfind(b'PK\x03\x04'); b[at+30:at+36]=b'bb.txt'
open('named.zip','wb').write(b)
z=zipfile.ZipFile('one.zip','w',zipfile.ZIP_DEFLATED); z.writestr('k',b'\0'*(1<<20)); z.close()
b=open('one.zip','rb').read(); cd=b.find(b'PK\x01\x02'); central=b[cd:b.find(b'PK\x05\x06')]
open('shared.zip','wb').write(b[:cd]+central*32+struct.pack('<IHHHHIIH',0x06054b50,0,0,32,32,len(central)*32,cd,0))
)"));
  for (const char *name : {"named.zip", "shared.zip"}) {
    SCOPED_TRACE(name);
    const std::string zip = t.file(name), out = t.file(std::string(name) + ".d");
    // Python's zipfile refuses both; Info-ZIP warns of the name and refuses the overlap.
    EXPECT_FALSE(sh("/usr/bin/python3 -m zipfile -e " + q(zip) + " " + q(t.file("py"))));
    EXPECT_FALSE(sh("unzip -o " + q(zip) + " -d " + q(t.file("iz"))));
    EXPECT_FALSE(unzipInto(zip, out));
    EXPECT_TRUE(fs::is_empty(out));
  }
}

TEST(ZipArchive, WhatStandsAtAnEntrysPathIsReplacedNeverWrittenThroughOrOpened) {
  testsupport::TempDir t;
  ASSERT_TRUE(sh("cd " + q(t.path()) +
                 " && mkdir s && cd s && for f in hard fifo sym; do echo "
                 "new-$f > $f; done && zip -q ../a.zip hard fifo sym"));
  const std::string out = t.file("out"), outside = t.file("outside");
  fs::create_directories(out);
  testsupport::writeFile(outside, "keep");
  fs::create_hard_link(outside, out + "/hard");
  fs::create_symlink(outside, out + "/sym");
  ASSERT_TRUE(sh("mkfifo " + q(out + "/fifo")));
  EXPECT_TRUE(unzipInto(t.file("a.zip"), out));
  EXPECT_EQ(testsupport::readFile(outside), "keep");
  for (const char *f : {"hard", "fifo", "sym"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out + "/" + f))) << f;
    EXPECT_EQ(testsupport::readFile(out + "/" + f), std::string("new-") + f + "\n");
  }
}

TEST(ZipArchive, UnpackStopsBeforeTheDiskFillsAndRemovesThePartialEntry) {
  testsupport::TempDir t;
  ASSERT_TRUE(sh("cd " + q(t.path()) +
                 " && printf small > a.txt && head -c 8000000 /dev/zero > "
                 "big && head -c 10 /dev/zero > z.txt && zip -q b.zip a.txt big z.txt"));
  const std::string out = t.file("out");
  fs::create_directories(out);
  MinizipArchive::setFreeSpaceQuery(
      tartrees::smallDisk(out, 3000000, MinizipArchive::kMinFreeSpace));
  EXPECT_FALSE(unzipInto(t.file("b.zip"), out));
  MinizipArchive::setFreeSpaceQuery(nullptr);
  EXPECT_EQ(testsupport::readFile(out + "/a.txt"), "small");
  EXPECT_FALSE(fs::exists(out + "/big"));
  EXPECT_FALSE(fs::exists(out + "/z.txt")) << "the unpack stops at a full disk";
}

// An unpack holds a background task while it runs. When the background time runs out first, the
// task is ended on the main thread then, not left to the end of the unpack, which then ends
// nothing twice.
TEST(ZipArchive, AnUnpacksBackgroundTaskEndsWhenTheTimeRunsOut) {
  using namespace platform;
  RunLoop::makeMainThread();
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
  auto &app = Application::shared();
  app.reset();
  app.setBackgroundTimeAllowance(std::chrono::seconds(10));
  app.launch();
  app.enterBackground();
  testsupport::TempDir t;
  const std::string out = t.file("out");
  fs::create_directories(out);
  ASSERT_TRUE(
      sh("cd " + q(t.path()) + " && echo a > a.txt && echo b > b.txt && zip -q x.zip a.txt b.txt"));
  ASSERT_TRUE(sh("echo mine > " + q(out + "/a.txt")));
  std::optional<size_t> held, afterExpiry;
  {
    MinizipArchive zip;
    ASSERT_TRUE(zip.UnzipOpenFile(t.file("x.zip")));
    // Asked about the file already there, halfway through: the time runs out meanwhile.
    zip.overWriteOperation = [&](const std::string &) {
      held = app.backgroundTaskCount();
      clock->advance(std::chrono::seconds(10));
      RunLoop::main()->runUntil([&] { return app.backgroundTaskCount() == 0; },
                                testsupport::scaled(std::chrono::seconds(2)));
      afterExpiry = app.backgroundTaskCount();
      return true;
    };
    EXPECT_TRUE(zip.UnzipFileTo(out, false));
    EXPECT_TRUE(zip.UnzipCloseFile());
  }
  EXPECT_EQ(held, 1u);
  EXPECT_EQ(afterExpiry, 0u);
  EXPECT_EQ(app.backgroundTaskCount(), 0u);
  EXPECT_EQ(testsupport::readFile(out + "/b.txt"), "b\n");
  app.reset();
  RunLoop::main()->runPending();
  Clock::install(nullptr);
}

// The earliest time a zip entry holds: 1 January 1980, midnight, where the person is.
TEST(ZipArchive, Date1980IsMidnightOfItsFirstDayLocally) {
  const time_t when = std::chrono::system_clock::to_time_t(MinizipArchive::Date1980());
  struct tm local {};
  ASSERT_TRUE(localtime_r(&when, &local));
  EXPECT_EQ(local.tm_year + 1900, 1980);
  EXPECT_EQ(local.tm_mon, 0);
  EXPECT_EQ(local.tm_mday, 1);
  EXPECT_EQ(local.tm_hour, 0);
  EXPECT_EQ(local.tm_min, 0);
  EXPECT_EQ(local.tm_sec, 0);
}
