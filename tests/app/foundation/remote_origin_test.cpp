// One identity per remote file: a server text in its parts (a port put after the host, before a
// folder typed after it), which origins are one file, the key that names a file's partial file
// (the name an earlier version gave it still found), and the working copies named by it: one per
// origin, never one an editor, a record or a viewer still uses, and nothing in use removed.
#include "app/foundation/PartialFile.h"
#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/WorkingCopy.h"

#include "tests/app/foundation/FoundationFixture.h"

#include "platform/foundation/FileManager.h"

using platform::FileManager;
using platform::Paths;
using platform::UserDefaults;

namespace {

TEST(ServerText, PartsAndAPortPutInPlace) {
  struct Case {
    const char *text, *host;
    int port;
    const char *folder, *with2121, *without;
  } cases[] = {
      {"host", "host", 0, "", "host:2121", "host"},
      // A folder typed after the host holds no port: the port goes before it.
      {"host/pub", "host", 0, "/pub", "host:2121/pub", "host/pub"},
      {"host:21/pub", "host", 21, "/pub", "host:2121/pub", "host/pub"},
      {"host/a:b/c", "host", 0, "/a:b/c", "host:2121/a:b/c", "host/a:b/c"},
      {"sftp://Host:22/home/joe", "Host", 22, "/home/joe", "sftp://Host:2121/home/joe",
       "sftp://Host/home/joe"},
      {" host:21 ", "host", 21, "", "host:2121", "host"},
      {"[fd00::1]:21/x", "[fd00::1]", 21, "/x", "[fd00::1]:2121/x", "[fd00::1]/x"},
      // Not a port: none.
      {"host:abc", "host", 0, "", "host:2121", "host"},
      {"host:65536", "host", 0, "", "host:2121", "host"},
  };
  for (const auto &c : cases) {
    const ServerText parts = ServerText::parse(c.text);
    EXPECT_EQ(parts.host, c.host) << c.text;
    EXPECT_EQ(parts.port, c.port) << c.text;
    EXPECT_EQ(parts.folder, c.folder) << c.text;
    EXPECT_EQ(parts.withPort(2121), c.with2121) << c.text;
    EXPECT_EQ(parts.withPort(0), c.without) << c.text;
  }
}

// A port that is written but is no number from 1 to 65535 is refused, never read as another
// port; a port given apart that is out of range is written as it is, for the connection to
// refuse.
TEST(ServerText, APortOutOfRangeIsRefusedNotWrapped) {
  struct Case {
    const char *text;
    bool refused;
  } cases[] = {
      {"host:1", false},          {"host:65535/pub", false},
      {"host: 2121 ", false},     {"host", false},
      {"host:", false},           {"[fd00::1]:21", false},
      {"host:0", true},           {"host:65536", true},
      {"host:70000/pub", true},   {"host:99999999999", true},
      {"host:-1", true},          {"host:ftp", true},
      {"sftp://h:4464x/a", true}, {"[fd00::1]:70000", true},
      {"host:+21", true},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(ServerText::parse(c.text).portRefused, c.refused) << c.text;
    if (c.refused) {
      EXPECT_EQ(ServerText::parse(c.text).port, 0) << c.text;
    }
  }
  EXPECT_EQ(ServerText::parse("host/pub").withPort(70000), "host:70000/pub");
  EXPECT_TRUE(ServerText::parse(ServerText::parse("host/pub").withPort(70000)).portRefused);
}

TEST(RemoteOrigin, ThePortGivenApartThenTheTextsThenTheProtocols) {
  EXPECT_EQ(RemoteOrigin::of("ftp", "h:2121", 990, "u").port, 990);
  EXPECT_EQ(RemoteOrigin::of("ftp", "h:2121/pub", 0, "u").port, 2121);
  EXPECT_EQ(RemoteOrigin::of("ftp", "h/pub", 0, "u").port, 21);
  EXPECT_EQ(RemoteOrigin::of("sftp", "h/pub", 0, "u").port, 22);
  EXPECT_EQ(RemoteOrigin::of("sftp", "h", 70000, "u").port, 22);
  EXPECT_EQ(RemoteOrigin::of("ftp", "h/pub", 0, "u").host, "h");
}

TEST(RemoteOrigin, OnlyTheSameFileOfTheSameConnectionIsOne) {
  const RemoteOrigin kept = RemoteOrigin::of("ftp", "Files.Example", 2121, "joe", "/docs", "a.txt");
  struct Case {
    RemoteOrigin now;
    bool same;
    const char *why;
  } cases[] = {
      {RemoteOrigin::of("ftp", "files.example", 2121, "joe", "/docs", "a.txt"), true, "case"},
      {RemoteOrigin::of("ftps", "files.example:2121/docs", 0, "joe", "/docs/", "a.txt"), true,
       "FTP with TLS, the port in the text, a slash after the folder"},
      {RemoteOrigin::of("ftp", "files.example", 2121, "joe", "//docs", "a.txt"), true, "slashes"},
      {RemoteOrigin::of("sftp", "files.example", 2121, "joe", "/docs", "a.txt"), false, "SFTP"},
      {RemoteOrigin::of("ftp", "files.example", 2122, "joe", "/docs", "a.txt"), false, "port"},
      {RemoteOrigin::of("ftp", "files.example", 2121, "ann", "/docs", "a.txt"), false, "user"},
      {RemoteOrigin::of("ftp", "other.example", 2121, "joe", "/docs", "a.txt"), false, "host"},
      {RemoteOrigin::of("ftp", "files.example", 2121, "joe", "docs", "a.txt"), false,
       "below the login folder"},
      {RemoteOrigin::of("ftp", "files.example", 2121, "joe", "/docs", "b.txt"), false, "name"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(kept.sameFileAs(c.now), c.same) << c.why;
    EXPECT_EQ(c.now.sameFileAs(kept), c.same) << c.why;
    EXPECT_EQ(kept.key() == c.now.key(), c.same) << c.why;
  }
  // The same server is not the same file.
  EXPECT_TRUE(kept.sameConnectionAs(cases[7].now));
}

// A partial file of an FTP download that an earlier version left is found under the name it gave
// it, so the download resumes where it stopped.
TEST(RemoteOrigin, AnEarlierVersionsPartialFileKeepsItsName) {
  EXPECT_EQ(platform::lastPathComponent(
                partialFilePath("/t/edit-a.txt", RemoteOrigin::of("ftp", "127.0.0.1", 2121, "joe",
                                                                  "/docs", "edit-a.txt"))),
            "edit-a.txt.5ec02a190720b2bb.ferrowen-part");
}

class WorkingCopyTest : public FoundationTest {
protected:
  // A copy put where workingCopyPath says, holding `text`.
  std::string copyOf(const RemoteOrigin &origin, const std::string &text) {
    const std::string path = workingCopyPath(origin, "edit-a.txt");
    EXPECT_TRUE(testsupport::writeFile(path, text));
    return path;
  }
  const RemoteOrigin a = RemoteOrigin::of("ftp", "127.0.0.1", 2121, "joe", "docs", "edit-a.txt");
  const RemoteOrigin b = RemoteOrigin::of("ftp", "127.0.0.1", 2122, "joe", "docs", "edit-a.txt");
  const RemoteOrigin s = RemoteOrigin::of("sftp", "127.0.0.1", 2200, "joe", "docs", "edit-a.txt");
};

TEST_F(WorkingCopyTest, EachOriginHasACopyOfItsOwnUnderTheFilesName) {
  const std::string copyA = copyOf(a, "A"), copyB = copyOf(b, "B"), copyS = copyOf(s, "S");
  for (const auto &copy : {copyA, copyB, copyS}) {
    EXPECT_EQ(platform::lastPathComponent(copy), "edit-a.txt");
    EXPECT_EQ(platform::deleteLastPathComponent(platform::deleteLastPathComponent(copy)),
              Paths::tmp());
  }
  EXPECT_NE(copyA, copyB);
  EXPECT_NE(copyA, copyS);
  EXPECT_EQ(testsupport::readFile(copyA), "A");
  EXPECT_EQ(workingCopyPath(a, "edit-a.txt"), copyA) << "the same origin, nothing in use";
}

// A copy still in use is never the place of another download of its file: an open editor's (or
// viewer's), the phone's edit record's, a used file tab's, the viewer's record's.
TEST_F(WorkingCopyTest, ACopyInUseIsNeverTakenAgain) {
  auto set = [](const std::string &value, const std::string &key) {
    UserDefaults::standard().setObject(value, key);
  };
  const std::vector<std::pair<std::string, std::function<void(const std::string &)>>> users = {
      {"open editor", {}},
      {"phone record", [&](const std::string &p) { set(p, kEditingFTPFile); }},
      {"tab record",
       [&](const std::string &p) {
         set("3", "TabIndexMax");
         set(p, keyForTab(2, kEditingFTPFile));
         set("1", keyIndexIsUsed(2));
       }},
      {"viewer record", [&](const std::string &p) { set(p, kWasViewingFile); }},
  };
  for (const auto &[who, use] : users) {
    UserDefaults::resetStandard();
    const std::string pending = copyOf(a, "pending edits");
    FileInUse editor;
    if (use)
      use(pending);
    else
      editor.hold(pending);
    EXPECT_TRUE(fileInUse(pending)) << who;
    const std::string next = workingCopyPath(a, "edit-a.txt");
    EXPECT_NE(next, pending) << who;
    EXPECT_EQ(platform::lastPathComponent(next), "edit-a.txt") << who;
    EXPECT_EQ(testsupport::readFile(pending), "pending edits") << who;
  }
  // A tab slot that is not in use keeps nothing.
  UserDefaults::resetStandard();
  const std::string copy = copyOf(a, "x");
  set("1", "TabIndexMax");
  set(copy, keyForTab(0, kEditingFTPFile));
  set("0", keyIndexIsUsed(0));
  EXPECT_FALSE(fileInUse(copy));
  EXPECT_EQ(workingCopyPath(a, "edit-a.txt"), copy);
}

TEST_F(WorkingCopyTest, AHoldEndsWithItsHolderAndMovesWithIt) {
  const std::string copy = copyOf(a, "A");
  {
    FileInUse first(copy), second(copy);
    first.release();
    EXPECT_TRUE(fileInUse(copy)) << "the other holder still uses it";
    FileInUse moved(std::move(second));
    EXPECT_TRUE(fileInUse(copy));
    moved.hold(copyOf(b, "B"));
    EXPECT_FALSE(fileInUse(copy)) << "a holder lets go of its file when it takes another";
  }
  EXPECT_TRUE(filesInUse().empty());
}

TEST_F(WorkingCopyTest, RemovingACopyTakesItsEmptyFolderOnly) {
  const std::string copyA = copyOf(a, "A");
  removeWorkingCopy(copyA);
  EXPECT_FALSE(FileManager::fileExists(platform::deleteLastPathComponent(copyA)));
  EXPECT_TRUE(FileManager::fileExists(Paths::tmp()));
  // A folder with something else in it stays, and so does the temporary folder itself.
  const std::string copyB = copyOf(b, "B");
  ASSERT_TRUE(testsupport::writeFile(platform::deleteLastPathComponent(copyB) + "/other", "o"));
  removeWorkingCopy(copyB);
  EXPECT_TRUE(FileManager::fileExists(platform::deleteLastPathComponent(copyB) + "/other"));
  ASSERT_TRUE(testsupport::writeFile(Paths::tmp() + "/old-style.txt", "o"));
  FileManager::removeItem(platform::deleteLastPathComponent(copyB));
  removeWorkingCopy(Paths::tmp() + "/old-style.txt");
  EXPECT_TRUE(FileManager::fileExists(Paths::tmp()));
}

} // namespace
