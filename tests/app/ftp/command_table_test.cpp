// The command table: the line each command state sends, with the fields it takes.
#include "FtpTestSupport.h"

using namespace ftptest;

namespace {

class CommandTableTest : public FtpTest {
protected:
  // Made on the test's thread, which is then the connection's own.
  std::shared_ptr<TestConnection> c = std::make_shared<TestConnection>();
  TestConnection::Fields f;
};

TEST_F(CommandTableTest, LoginLines) {
  EXPECT_EQ(c->line(0, 0, f), "AUTH TLS\r\n");
  EXPECT_EQ(c->iState(), 32);
  EXPECT_EQ(c->line(0, 33, f), "AUTH SSL\r\n");
  EXPECT_EQ(c->iState(), 34);
  EXPECT_EQ(c->line(0, 1, f), "USER anonymous\r\n");
  EXPECT_EQ(c->iState(), 2);
  EXPECT_EQ(c->line(0, 3, f), "PASS guestpilot@\r\n");
  f.user = "joe";
  f.pass = "p w";
  EXPECT_EQ(c->line(0, 2, f), "USER joe\r\n");
  EXPECT_EQ(c->line(0, 3, f), "PASS p w\r\n");
  EXPECT_EQ(c->line(0, 60, f), "CLNT Ferrowen-3.0\r\n");
  EXPECT_EQ(c->line(0, 52, f), "MODE Z\r\n");
  EXPECT_EQ(c->line(0, 36, f), "PROT P\r\n");
  EXPECT_EQ(c->line(0, 5, f), "OPTS UTF8 ON\r\n");
  EXPECT_EQ(c->line(0, 42, f), ""); // a state without a command sends nothing
}

TEST_F(CommandTableTest, UploadNamesAndRenameChain) {
  f.fileToUpload = "photo.jpg";
  EXPECT_EQ(c->line(3, 19, f), "STOR photo.upload.jpg\r\n");
  EXPECT_EQ(c->line(3, 21, f), "RNTO photo.old.jpg\r\n");
  EXPECT_EQ(c->line(3, 41, f), "RNFR photo.upload.jpg\r\n");
  EXPECT_EQ(c->iState(), 24);
  EXPECT_EQ(c->line(3, 54, f), "SIZE photo.upload.jpg\r\n");
  f.skipRenames = true;
  EXPECT_EQ(c->line(3, 19, f), "STOR photo.jpg\r\n");
  EXPECT_EQ(c->line(3, 54, f), "SIZE photo.jpg\r\n");
  f.skipRenames = false;
  f.fileToUpload = "README";
  EXPECT_EQ(c->line(3, 19, f), "STOR README.upload\r\n");
  f.fileToUpload = "a.b.tar.gz";
  EXPECT_EQ(c->line(3, 25, f), "DELE a.b.tar.old.gz\r\n");
}

TEST_F(CommandTableTest, OffsetsAndSizesAreSixtyFourBit) {
  const int64_t fiveGiB = int64_t(5) << 30;
  f.resumeDownloadAt = fiveGiB;
  EXPECT_EQ(c->line(2, 53, f), "REST 5368709120\r\n");
  f.resumeUploadAt = fiveGiB + 1;
  EXPECT_EQ(c->line(3, 53, f), "REST 5368709121\r\n");
  f.fileDownloadSize = fiveGiB;
  EXPECT_EQ(c->line(2, 40, f), "REST 5368643584\r\n"); // the last 64 KiB
  EXPECT_EQ(c->fileDownloadSizeNow(), 65536);
}

TEST_F(CommandTableTest, OperationLines) {
  f.fileToDownload = "notes.txt";
  EXPECT_EQ(c->line(2, 18, f), "RETR notes.txt\r\n");
  f.deleteName = "old";
  EXPECT_EQ(c->line(5, 20, f), "DELE old\r\n");
  f.folder = true;
  EXPECT_EQ(c->line(5, 20, f), "RMD old\r\n");
  f.fileToUpload = "x.sh";
  f.chmodTo = "755";
  EXPECT_EQ(c->line(8, 50, f), "SITE chmod 755 x.sh\r\n");
  f.raw = "SITE HELP";
  EXPECT_EQ(c->line(9, 51, f), "SITE HELP\r\n");
  EXPECT_EQ(c->line(1, 13, f, "/pub/a b"), "CWD /pub/a b\r\n");
  EXPECT_EQ(c->line(1, 16, f), "LIST\r\n");
  UserDefaults::standard().setObject("1", "ShowHiddenFiles");
  EXPECT_EQ(c->line(1, 16, f), "LIST -la\r\n");
}

// A name the server gave goes out in the bytes it came in, in every command that names it (the
// upload's temporary names, a folder and a folder's contents too); typed text goes out in the
// command encoding.
TEST_F(CommandTableTest, NamesTheServerGaveGoOutInTheirOwnBytes) {
  const RemoteName utf8 = RemoteName::named("caf\xC3\xA9.txt", "caf\xC3\xA9.txt");
  const RemoteName latin1 = RemoteName::named("caf\xC3\xA9.txt", "caf\xE9.txt");
  const RemoteName folder = RemoteName::named("/d\xC3\xA9", "/d\xC3\xA9");
  using Fields = TestConnection::Fields;
  struct Case {
    int task, state;
    RemoteName Fields::*field;
    RemoteName name;
    std::string bytes;
  } cases[] = {
      {2, 18, &Fields::fileToDownload, utf8, "RETR caf\xC3\xA9.txt\r\n"},
      {2, 54, &Fields::fileToDownload, latin1, "SIZE caf\xE9.txt\r\n"},
      {5, 20, &Fields::deleteName, utf8, "DELE caf\xC3\xA9.txt\r\n"},
      {4, 38, &Fields::rename, utf8, "RNFR caf\xC3\xA9.txt\r\n"},
      {8, 50, &Fields::fileToUpload, utf8, "SITE chmod 600 caf\xC3\xA9.txt\r\n"},
      {3, 19, &Fields::fileToUpload, utf8, "STOR caf\xC3\xA9.upload.txt\r\n"},
      {3, 46, &Fields::fileToUpload, latin1, "RNFR caf\xE9.old.txt\r\n"},
      {3, 23, &Fields::fileToUpload, utf8, "RNTO caf\xC3\xA9.txt\r\n"},
      {1, 13, &Fields::cwd, folder, "CWD /d\xC3\xA9\r\n"},
      {5, 27, &Fields::cwd, folder, "DELE /d\xC3\xA9/caf\xE9.txt/*\r\n"},
      // The same text typed goes out in the first encoding that carries it.
      {5, 20, &Fields::deleteName, RemoteName("caf\xC3\xA9.txt"), "DELE caf\xE9.txt\r\n"},
  };
  for (const auto &k : cases) {
    Fields fields;
    fields.chmodTo = "600";
    fields.deleteName = latin1;
    fields.*k.field = k.name;
    // The folder change names the folder it is given.
    auto line = c->commandFor(k.task, k.state, fields, k.state == 13 ? k.name : RemoteName());
    EXPECT_EQ(line.bytes, k.bytes) << line.text;
    // The log shows the text the screens show.
    EXPECT_EQ(line.text.find("\xE9"), std::string::npos) << line.text;
  }
}

// The bytes a line goes out as: without UTF-8 from the server, the first of ASCII, ISO Latin-1
// and Windows-1252 that carries every character, and UTF-8 when none does (never a line without
// a character, nor one spelt with escapes).
TEST(CommandBytes, FirstEncodingThatCarriesTheWholeLineElseUtf8) {
  struct Case {
    std::string line;
    bool utf8;
    std::string bytes;
  };
  const Case cases[] = {
      {"DELE plain.txt\r\n", false, "DELE plain.txt\r\n"},
      {"DELE a\\b.txt\r\n", false, "DELE a\\b.txt\r\n"},
      {"DELE a\u00ADb.txt\r\n", false,
       "DELE a\xAD"
       "b.txt\r\n"},
      {"DELE caf\u00E9\r\n", false, "DELE caf\xE9\r\n"},
      {"DELE a\u20ACb.txt\r\n", false,
       "DELE a\x80"
       "b.txt\r\n"},
      // A line that mixes both takes Windows-1252 for the whole of it.
      {"DELE \u00E9\u20AC\r\n", false, "DELE \xE9\x80\r\n"},
      // Invisible characters that ICU's converters would leave out, and others none carries.
      {"DELE a\u200Bb.txt\r\n", false, "DELE a\u200Bb.txt\r\n"},
      {"DELE a\u200Db.txt\r\n", false, "DELE a\u200Db.txt\r\n"},
      {"DELE \uFEFFab.txt\r\n", false, "DELE \uFEFFab.txt\r\n"},
      {"DELE a\U000E0001b.txt\r\n", false, "DELE a\U000E0001b.txt\r\n"},
      {"DELE \u6587\u4EF6.txt\r\n", false, "DELE \u6587\u4EF6.txt\r\n"},
      {"DELE \u00E9\u6587\r\n", false, "DELE \u00E9\u6587\r\n"},
      {"PASS \U0001F511\r\n", false, "PASS \U0001F511\r\n"},
      // A server that reads UTF-8 gets it for every line.
      {"DELE caf\u00E9\r\n", true, "DELE caf\u00E9\r\n"},
      {"DELE a\u20ACb.txt\r\n", true, "DELE a\u20ACb.txt\r\n"},
  };
  for (const auto &c : cases) {
    const auto bytes = FTPConnection::commandBytes(c.line, c.utf8);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.bytes) << c.line << " utf8=" << c.utf8;
  }
}

} // namespace
