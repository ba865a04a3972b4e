// Names outside ISO Latin-1 and Windows-1252, against pyftpdlib without "UTF8" in its "FEAT"
// reply (as many servers answer), which stores names as UTF-8 all the same: such a name goes out
// as its UTF-8 bytes and reaches that file. A zero-width or other invisible character must never
// be left out on the way, which would name another file: the file of the shorter name stays as it
// was. Names that Latin-1 or Windows-1252 carry still go out in those.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

#include <sys/stat.h>

using namespace taskpeers;

namespace {

struct Uncarried {
  const char *code;
  const char *utf8;
};

// Default-ignorable characters (which ICU's converters leave out without a word), one that is
// not ignorable but has no place in ISO Latin-1 or Windows-1252 either, and CJK.
const Uncarried kUncarried[] = {
    {"U+200B", "\u200B"}, {"U+200C", "\u200C"},      {"U+200D", "\u200D"}, {"U+2060", "\u2060"},
    {"U+FEFF", "\uFEFF"}, {"U+034F", "\u034F"},      {"U+180E", "\u180E"}, {"U+FE0F", "\uFE0F"},
    {"U+200E", "\u200E"}, {"U+E0001", "\U000E0001"}, {"U+2215", "\u2215"}, {"CJK", "\u6587\u4EF6"},
};

class NameEncodingPeersTest : public TaskPeerTest {
protected:
  void SetUp() override {
    TaskPeerTest::SetUp();
    server = startPyftpdlibWithoutUtf8();
    testsupport::writeFile(server.root + "/ab.txt", kOther);
  }

  void connect() {
    connectAndList(address(server));
    ASSERT_TRUE(logHas("211 End FEAT")) << conn->transferLog();
    ASSERT_FALSE(conn->utf8Safe()) << "the server must not offer UTF-8 here";
  }
  void markNow() { mark = conn->transferLog().size(); }
  void settleJob() {
    settle();
    ASSERT_TRUE(throughConnectionThread(true));
  }
  bool sentSince(const std::string &line) {
    const auto sent = commandsSince(mark);
    return std::find(sent.begin(), sent.end(), line) != sent.end();
  }
  // Nothing since the mark went to the shorter name, and its file is as it was.
  void expectOtherFileKept() {
    for (const auto &c : commandsSince(mark))
      EXPECT_EQ(c.find(" ab.txt"), std::string::npos) << c;
    EXPECT_EQ(testsupport::readFile(server.root + "/ab.txt"), kOther);
  }
  void expectNoErrors() {
    for (const auto &said : delegate->taken())
      ADD_FAILURE() << said;
  }
  bool onServer(const std::string &name) {
    return FileManager::fileExists(server.root + "/" + name);
  }
  static std::string nameWith(const Uncarried &ch, const std::string &before = "a",
                              const std::string &after = "b.txt") {
    return before + ch.utf8 + after;
  }

  static constexpr const char *kOther = "the other file's bytes";
  Server server;
  size_t mark = 0;
};

TEST_F(NameEncodingPeersTest, DeleteReachesTheNameItself) {
  connect();
  for (const auto &ch : kUncarried) {
    SCOPED_TRACE(ch.code);
    const std::string name = nameWith(ch);
    testsupport::writeFile(server.root + "/" + name, "chosen");
    markNow();
    conn->deleteFile(name, "/", false);
    settleJob();
    // The transfer log shows the name as chosen.
    EXPECT_TRUE(sentSince("DELE " + name)) << conn->transferLog().substr(mark);
    EXPECT_FALSE(onServer(name));
    expectOtherFileKept();
  }
  // A mark at the front of the name, and a list delete of such names with a plain one.
  testsupport::writeFile(server.root + "/\uFEFFab.txt", "marked");
  testsupport::writeFile(server.root + "/x1", "x1");
  testsupport::writeFile(server.root + "/" + nameWith(kUncarried[0]), "chosen");
  testsupport::writeFile(server.root + "/" + nameWith(kUncarried[11]), "chosen");
  markNow();
  conn->deleteFile("\uFEFFab.txt", "/", false);
  settleJob();
  conn->deleteFileBatch({"x1", nameWith(kUncarried[0]), nameWith(kUncarried[11])}, "/", false);
  settleJob();
  for (const std::string &name : {std::string("\uFEFFab.txt"), std::string("x1"),
                                  nameWith(kUncarried[0]), nameWith(kUncarried[11])})
    EXPECT_FALSE(onServer(name)) << name;
  expectOtherFileKept();
  expectNoErrors();
}

TEST_F(NameEncodingPeersTest, DownloadSavesTheChosenFile) {
  connect();
  for (const auto &ch : {kUncarried[2], kUncarried[0], kUncarried[4], kUncarried[11]}) {
    SCOPED_TRACE(ch.code);
    const std::string name = nameWith(ch);
    const std::string content = std::string("chosen ") + ch.code;
    testsupport::writeFile(server.root + "/" + name, content);
    markNow();
    conn->downloadFile(name, int64_t(content.size()), false, true, "/", false, false, 0);
    settleJob();
    EXPECT_TRUE(sentSince("RETR " + name)) << conn->transferLog().substr(mark);
    EXPECT_EQ(testsupport::readFile(savedFile(name)), content);
    EXPECT_FALSE(FileManager::fileExists(savedFile("ab.txt")));
    expectOtherFileKept();
  }
  expectNoErrors();
}

TEST_F(NameEncodingPeersTest, RenameUploadNewFolderAndPermissionsReachTheRightNames) {
  connect();
  const std::string name = nameWith(kUncarried[1]);
  testsupport::writeFile(server.root + "/" + name, "chosen");
  testsupport::writeFile(server.root + "/x.txt", "x");
  ::chmod((server.root + "/ab.txt").c_str(), 0644);
  markNow();

  // Renamed from and to such a name.
  conn->renameFile(name, "c.txt", "/");
  settleJob();
  EXPECT_EQ(testsupport::readFile(server.root + "/c.txt"), "chosen");
  const std::string to = nameWith(kUncarried[10]);
  conn->renameFile("x.txt", to, "/");
  settleJob();
  EXPECT_EQ(testsupport::readFile(server.root + "/" + to), "x");
  EXPECT_FALSE(onServer(name));
  EXPECT_FALSE(onServer("x.txt"));

  // Uploaded under such a name, from memory and from a file.
  const std::string fromMemory = nameWith(kUncarried[3]);
  conn->uploadFile(fromMemory, Bytes{'n', 'e', 'w'}, "/", false);
  settleJob();
  EXPECT_EQ(testsupport::readFile(server.root + "/" + fromMemory), "new");
  const std::string fromFile = nameWith(kUncarried[11]);
  const std::string local = tmpFile("local.txt");
  testsupport::writeFile(local, "from a file");
  conn->uploadFile(fromFile, local, "/", false, 0);
  settleJob();
  EXPECT_EQ(testsupport::readFile(server.root + "/" + fromFile), "from a file");
  EXPECT_FALSE(onServer("ab.upload.txt"));

  // A new folder and new permissions under such a name.
  const std::string folder = nameWith(kUncarried[5], "new", "b");
  conn->makeDirectory(folder, "/");
  settleJob();
  EXPECT_TRUE(FileManager::isDirectory(server.root + "/" + folder));
  EXPECT_FALSE(onServer("newb"));
  conn->chmodFile(to, "/", "600");
  settleJob();
  struct stat st {};
  ASSERT_EQ(::stat((server.root + "/" + to).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((server.root + "/ab.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  expectOtherFileKept();
  expectNoErrors();
}

// A job handed to a connection before its session exists runs once the login has learnt that
// the server does not offer UTF-8, and reaches its name then.
TEST_F(NameEncodingPeersTest, AJobWaitingForTheLoginReachesItsName) {
  const std::string name = nameWith(kUncarried[0]);
  testsupport::writeFile(server.root + "/" + name, "chosen");
  startConnection(address(server));
  conn->deleteFile(name, "/", false);
  ASSERT_TRUE(waitFor([&] { return !onServer(name) && idle(); })) << conn->transferLog();
  settleJob();
  ASSERT_TRUE(logHas("211 End FEAT"));
  EXPECT_FALSE(conn->utf8Safe());
  EXPECT_TRUE(logHas(">>> DELE " + name + "\r\n")) << conn->transferLog();
  expectOtherFileKept();
  expectNoErrors();
}

// Every command line is encoded the same way where it is written, whatever made it (here a raw
// command typed by the person).
TEST_F(NameEncodingPeersTest, ARawCommandReachesTheNameItself) {
  connect();
  for (const auto &ch : {kUncarried[0], kUncarried[4], kUncarried[9], kUncarried[11]}) {
    SCOPED_TRACE(ch.code);
    const std::string name = nameWith(ch);
    testsupport::writeFile(server.root + "/" + name, "chosen");
    markNow();
    conn->doRawFTPCommand("DELE " + name, "/");
    settleJob();
    EXPECT_TRUE(sentSince("DELE " + name)) << conn->transferLog().substr(mark);
    EXPECT_FALSE(onServer(name));
    expectOtherFileKept();
  }
}

// What Latin-1 or Windows-1252 carries still goes out in the first of them that has it: the soft
// hyphen is a Latin-1 byte, the euro sign a Windows-1252 one. This server reads only UTF-8, so it
// finds no such file and says so (the person sees the server's reply); a plain name is deleted.
TEST_F(NameEncodingPeersTest, NamesLatin1OrWindows1252CarriesStillGoOutInThem) {
  connect();
  testsupport::writeFile(server.root + "/plain.txt", "p");
  testsupport::writeFile(server.root + "/a\u00ADb.txt", "soft hyphen");
  testsupport::writeFile(server.root + "/a\u20ACb.txt", "euro");
  markNow();
  conn->deleteFile("a\u00ADb.txt", "/", false);
  settleJob();
  conn->deleteFile("a\u20ACb.txt", "/", false);
  settleJob();
  conn->deleteFile("plain.txt", "/", false);
  settleJob();
  EXPECT_TRUE(sentSince("DELE a\u00ADb.txt"));
  EXPECT_TRUE(sentSince("DELE a\u20ACb.txt"));
  EXPECT_TRUE(sentSince("DELE plain.txt"));
  // Not in UTF-8: the server would have found these.
  EXPECT_TRUE(onServer("a\u00ADb.txt"));
  EXPECT_TRUE(onServer("a\u20ACb.txt"));
  EXPECT_FALSE(onServer("plain.txt"));
  expectOtherFileKept();
}

} // namespace
