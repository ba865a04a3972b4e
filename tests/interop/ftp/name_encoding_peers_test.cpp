// Names that the server's character set cannot carry, against pyftpdlib without "UTF8" in its
// "FEAT" reply (as many servers answer): a name with a zero-width or other invisible character
// must never go out as the name without it, which is another file's. Delete, download, rename and
// upload of such a name are refused before their first command, with the reason; the file of the
// shorter name stays as it was.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

using namespace taskpeers;

namespace {

struct Invisible {
  const char *code; // as the refusal names it
  const char *utf8;
};

// Default-ignorable characters (which ICU's converters leave out without a word) and one that
// is not ignorable but has no place in ISO Latin-1 or Windows-1252 either.
const Invisible kInvisible[] = {
    {"U+200B", "\u200B"}, {"U+200C", "\u200C"},      {"U+200D", "\u200D"}, {"U+2060", "\u2060"},
    {"U+FEFF", "\uFEFF"}, {"U+034F", "\u034F"},      {"U+180E", "\u180E"}, {"U+FE0F", "\uFE0F"},
    {"U+200E", "\u200E"}, {"U+E0001", "\U000E0001"}, {"U+2215", "\u2215"},
};

class NameEncodingPeersTest : public TaskPeerTest {
protected:
  void SetUp() override {
    TaskPeerTest::SetUp();
    server = startWithoutUtf8();
    testsupport::writeFile(server.root + "/ab.txt", kOther);
  }

  // pyftpdlib (anonymous, may write) whose "FEAT" reply leaves "UTF8" out. Its stock reply
  // names UTF8, and a client then sends every name as UTF-8; many servers do not announce it,
  // and that is the case under test. Everything else is as installed.
  Server startWithoutUtf8() {
    Server s;
    s.root = makeRoot("py");
    s.port = testsupport::freeTcpPort();
    const std::string script = home.file("noutf8.py");
    testsupport::writeFile(script,
                           "import sys\n"
                           "from pyftpdlib.authorizers import DummyAuthorizer\n"
                           "from pyftpdlib.handlers import FTPHandler\n"
                           "from pyftpdlib.servers import FTPServer\n"
                           "class H(FTPHandler):\n"
                           "    def ftp_FEAT(self, line):\n"
                           "        push = self.push\n"
                           "        self.push = lambda d: push(d.replace(' UTF8\\r\\n', ''))\n"
                           "        try:\n"
                           "            FTPHandler.ftp_FEAT(self, line)\n"
                           "        finally:\n"
                           "            del self.push\n"
                           "a = DummyAuthorizer()\n"
                           "a.add_anonymous(sys.argv[2], perm='elradfmwMT')\n"
                           "H.authorizer = a\n"
                           "srv = FTPServer(('127.0.0.1', int(sys.argv[1])), H)\n"
                           "srv.serve_forever()\n");
    s.process = testsupport::Process({"/usr/bin/python3", script, std::to_string(s.port), s.root},
                                     home.path());
    EXPECT_TRUE(testsupport::waitForTcpPort(s.port)) << s.process.errors();
    return s;
  }

  void connect() {
    connectAndList(address(server));
    ASSERT_TRUE(logHas("211 End FEAT")) << conn->transferLog();
    ASSERT_FALSE(conn->utf8Safe()) << "the server must not offer UTF-8 here";
  }
  void markNow() { mark = conn->transferLog().size(); }
  // Waits for the job to end (a refusal ends it at once) with its report taken.
  void settleJob() {
    settle();
    ASSERT_TRUE(throughConnectionThread(true));
  }
  // No command since the mark carried a name that ends in "b.txt" (the chosen one or another).
  void expectNoNameSent(const std::string &what) {
    for (const auto &c : commandsSince(mark))
      EXPECT_EQ(c.find("b.txt"), std::string::npos) << what << " sent: " << c;
  }
  void expectRefusal(const Invisible &ch, const std::string &what) {
    const auto taken = delegate->taken();
    ASSERT_FALSE(taken.empty()) << what << ": nothing was said";
    EXPECT_NE(taken.back().find(ch.code), std::string::npos) << taken.back();
    EXPECT_NE(taken.back().find("cannot be sent"), std::string::npos) << taken.back();
  }
  void expectOtherFileKept() { EXPECT_EQ(testsupport::readFile(server.root + "/ab.txt"), kOther); }
  static std::string nameWith(const Invisible &ch, const std::string &before = "a",
                              const std::string &after = "b.txt") {
    return before + ch.utf8 + after;
  }

  static constexpr const char *kOther = "the other file's bytes";
  Server server;
  size_t mark = 0;
};

TEST_F(NameEncodingPeersTest, DeleteOfANameTheServerCannotReadDeletesNothing) {
  connect();
  for (const auto &ch : kInvisible) {
    SCOPED_TRACE(ch.code);
    const std::string name = nameWith(ch);
    testsupport::writeFile(server.root + "/" + name, "chosen");
    markNow();
    const size_t said = delegate->taken().size();
    conn->deleteFile(name, "/", false);
    settleJob();
    expectNoNameSent("delete");
    ASSERT_GT(delegate->taken().size(), said);
    expectRefusal(ch, "delete");
    expectOtherFileKept();
    EXPECT_TRUE(FileManager::fileExists(server.root + "/" + name));
  }
  // A mark at the front of the name, and a list delete in which one name cannot be sent:
  // nothing of the list is deleted.
  testsupport::writeFile(server.root + "/x1", "x1");
  markNow();
  conn->deleteFile("\uFEFFab.txt", "/", false);
  settleJob();
  expectNoNameSent("delete");
  conn->deleteFileBatch({"x1", nameWith(kInvisible[0])}, "/", false);
  settleJob();
  expectNoNameSent("list delete");
  for (const auto &c : commandsSince(mark))
    EXPECT_NE(c.rfind("DELE", 0), 0u) << c;
  expectOtherFileKept();
  EXPECT_TRUE(FileManager::fileExists(server.root + "/x1"));
}

TEST_F(NameEncodingPeersTest, DownloadOfANameTheServerCannotReadSavesNothing) {
  connect();
  for (const auto &ch : {kInvisible[2], kInvisible[0], kInvisible[4]}) {
    SCOPED_TRACE(ch.code);
    const std::string name = nameWith(ch);
    testsupport::writeFile(server.root + "/" + name, "chosen");
    markNow();
    const size_t said = delegate->taken().size();
    conn->downloadFile(name, 6, false, true, "/", false, false, 0);
    settleJob();
    expectNoNameSent("download");
    for (const auto &c : commandsSince(mark))
      EXPECT_NE(c.rfind("RETR", 0), 0u) << c;
    ASSERT_GT(delegate->taken().size(), said);
    expectRefusal(ch, "download");
    EXPECT_FALSE(FileManager::fileExists(savedFile(name)));
    EXPECT_FALSE(FileManager::fileExists(savedFile("ab.txt")));
  }
}

TEST_F(NameEncodingPeersTest, RenameAndUploadNeverReachTheShorterName) {
  connect();
  const Invisible &ch = kInvisible[1];
  const std::string name = nameWith(ch);
  testsupport::writeFile(server.root + "/" + name, "chosen");
  testsupport::writeFile(server.root + "/x.txt", "x");

  // Renamed from and to such a name.
  markNow();
  conn->renameFile(name, "c.txt", "/");
  settleJob();
  expectNoNameSent("rename");
  expectRefusal(ch, "rename from");
  conn->renameFile("x.txt", name, "/");
  settleJob();
  expectNoNameSent("rename");
  expectRefusal(ch, "rename to");
  for (const auto &c : commandsSince(mark))
    EXPECT_NE(c.rfind("RN", 0), 0u) << c;
  EXPECT_TRUE(FileManager::fileExists(server.root + "/x.txt"));
  EXPECT_TRUE(FileManager::fileExists(server.root + "/" + name));
  expectOtherFileKept();

  // Uploaded under such a name, from memory and from a file.
  conn->uploadFile(nameWith(kInvisible[3]), Bytes{'n', 'e', 'w'}, "/", false);
  settleJob();
  expectRefusal(kInvisible[3], "upload");
  const std::string local = tmpFile("local.txt");
  testsupport::writeFile(local, "new");
  conn->uploadFile(nameWith(kInvisible[4]), local, "/", false, 0);
  settleJob();
  expectRefusal(kInvisible[4], "upload");
  expectNoNameSent("upload");
  for (const auto &c : commandsSince(mark))
    EXPECT_NE(c.rfind("STOR", 0), 0u) << c;
  expectOtherFileKept();
  EXPECT_FALSE(FileManager::fileExists(server.root + "/ab.upload.txt"));

  // A new folder and new permissions under such a name.
  markNow();
  conn->makeDirectory(nameWith(kInvisible[5], "new", "b.txt"), "/");
  settleJob();
  expectRefusal(kInvisible[5], "new folder");
  conn->chmodFile(name, "/", "600");
  settleJob();
  expectRefusal(ch, "permissions");
  expectNoNameSent("new folder or permissions");
  EXPECT_FALSE(FileManager::fileExists(server.root + "/newb.txt"));
}

// Without a delegate that takes errors, the refusal is an alert the person reads: it names the
// file and the character.
TEST_F(NameEncodingPeersTest, TheRefusalIsAnAlert) {
  connect();
  const std::string name = nameWith(kInvisible[0]);
  testsupport::writeFile(server.root + "/" + name, "chosen");
  conn->setDelegate(std::weak_ptr<FTPConnectionDelegate>());
  markNow();
  conn->deleteFile(name, "/", false);
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); })) << conn->transferLog();
  const auto alert = probe->pendingAlerts().back();
  EXPECT_EQ(alert.title, "Error from FTP Server");
  EXPECT_NE(alert.message.find("\"" + name + "\" cannot be sent"), std::string::npos)
      << alert.message;
  EXPECT_NE(alert.message.find("U+200B"), std::string::npos) << alert.message;
  ASSERT_TRUE(probe->answerAlert("OK"));
  settleJob();
  expectNoNameSent("delete");
  expectOtherFileKept();
}

// A job handed to a connection before its session exists runs once the login has learnt that
// the server does not offer UTF-8: it is refused then, before its first command.
TEST_F(NameEncodingPeersTest, AJobWaitingForTheLoginIsRefusedOnceItRuns) {
  const std::string name = nameWith(kInvisible[0]);
  testsupport::writeFile(server.root + "/" + name, "chosen");
  startConnection(address(server));
  conn->deleteFile(name, "/", false);
  ASSERT_TRUE(waitFor([&] { return !delegate->taken().empty() && idle(); })) << conn->transferLog();
  settleJob();
  ASSERT_TRUE(logHas("211 End FEAT"));
  EXPECT_FALSE(conn->utf8Safe());
  for (const auto &c : commandsSent())
    EXPECT_EQ(c.find("b.txt"), std::string::npos) << c;
  expectRefusal(kInvisible[0], "delete after login");
  expectOtherFileKept();
  EXPECT_TRUE(FileManager::fileExists(server.root + "/" + name));
}

// Every command line is held to the same rule where it is written, whatever made it (here a raw
// command typed by the person): a line the server's character set cannot carry is not sent.
TEST_F(NameEncodingPeersTest, ACommandLineTheServerCannotReadIsNotSent) {
  connect();
  for (const auto &ch : {kInvisible[0], kInvisible[4], kInvisible[9]}) {
    SCOPED_TRACE(ch.code);
    markNow();
    const size_t said = delegate->taken().size();
    conn->doRawFTPCommand("DELE " + nameWith(ch), "/");
    settleJob();
    expectNoNameSent("raw command");
    ASSERT_GT(delegate->taken().size(), said);
    const std::string text = delegate->taken().back();
    EXPECT_NE(text.find("was not sent"), std::string::npos) << text;
    EXPECT_NE(text.find(ch.code), std::string::npos) << text;
    expectOtherFileKept();
  }
  // The session goes on: a plain command after the refusal is sent and answered.
  markNow();
  conn->doRawFTPCommand("NOOP", "/");
  settleJob();
  const auto sent = commandsSince(mark);
  EXPECT_NE(std::find(sent.begin(), sent.end(), "NOOP"), sent.end());
}

// What the server can read still goes out, each character in the first encoding that has it:
// the soft hyphen is a Latin-1 byte (this server reads only UTF-8, so it finds no such file and
// says so), the euro sign a Windows-1252 one; a plain name is deleted.
TEST_F(NameEncodingPeersTest, NamesTheServerCanReadStillGoOut) {
  connect();
  testsupport::writeFile(server.root + "/plain.txt", "p");
  markNow();
  conn->deleteFile("a\u00ADb.txt", "/", false);
  settleJob();
  conn->deleteFile("a\u20ACb.txt", "/", false);
  settleJob();
  conn->deleteFile("plain.txt", "/", false);
  settleJob();
  const auto sent = commandsSince(mark);
  EXPECT_NE(std::find(sent.begin(), sent.end(), "DELE a\u00ADb.txt"), sent.end());
  EXPECT_NE(std::find(sent.begin(), sent.end(), "DELE a\u20ACb.txt"), sent.end());
  EXPECT_NE(std::find(sent.begin(), sent.end(), "DELE plain.txt"), sent.end());
  EXPECT_EQ(std::find(sent.begin(), sent.end(), "DELE ab.txt"), sent.end());
  EXPECT_FALSE(FileManager::fileExists(server.root + "/plain.txt"));
  expectOtherFileKept();
  for (const auto &said : delegate->taken())
    EXPECT_EQ(said.find("cannot be sent"), std::string::npos) << said;
}

} // namespace
