// The FTP sharing server's command handling, fed control lines directly (no network): login
// rules, path confinement to Saved Files, the keys folder, file operations, dates and sizes.
#include "tests/app/shell/ShellFixture.h"
#include "tests/support/FewDescriptors.h"

#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

using namespace platform;

namespace {

class Session {
public:
  Session() : server(std::make_shared<FTPServer>()) {}
  // Sends the text (lines with their CR LF) and returns every reply it produced.
  std::string send(const std::string &text) {
    server->receiveControlBytes(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    return server->takePendingReplies();
  }
  std::string cmd(const std::string &line) { return send(line + "\r\n"); }
  std::shared_ptr<FTPServer> server;
};

} // namespace

class FTPCommandsTest : public ShellTest {};

TEST_F(FTPCommandsTest, LoginRulesWithAndWithoutSharingCredentials) {
  {
    Session s; // no user, no password: any user name logs in at once
    EXPECT_EQ(s.cmd("NOOP"), "500 'NOOP': command not understood.\r\n");
    EXPECT_EQ(s.cmd("user whoever"), "230 Login successful.\r\n");
    EXPECT_TRUE(s.server->isLoggedIn());
    EXPECT_EQ(s.cmd("noop"), "200 Command OK.\r\n");
  }
  {
    setSharing("", "s3cret"); // only a password: any user, then the password
    Session s;
    EXPECT_EQ(s.cmd("USER anybody"), "331 Please specify the password.\r\n");
    EXPECT_FALSE(s.server->isLoggedIn());
    EXPECT_EQ(s.cmd("PWD"), "500 'PWD': command not understood.\r\n");
    EXPECT_EQ(s.cmd("PASS s3cret"), "230 Login successful.\r\n");
    EXPECT_EQ(s.cmd("PWD"), "257 \"/\" is current directory.\r\n");
    // REIN returns to the greeting state.
    EXPECT_EQ(s.cmd("REIN"), "220 Ferrowen v3.0 ready...\r\n");
    EXPECT_FALSE(s.server->isLoggedIn());
  }
  {
    setSharing("alice", "pw");
    Session s; // a wrong user name only answers 530; the client may try again
    EXPECT_EQ(s.cmd("USER bob"), "530 Login incorrect.\r\n");
    EXPECT_FALSE(s.server->isDisconnected());
    EXPECT_EQ(s.cmd("USER alice"), "331 Please specify the password.\r\n");
    EXPECT_EQ(s.cmd("PASS pw"), "230 Login successful.\r\n");
    EXPECT_EQ(delegate->badLoginCount(), 0);
  }
  {
    Session s; // a wrong password ends the connection and counts one bad login
    s.cmd("USER alice");
    EXPECT_EQ(s.send("PASS nope\r\nPWD\r\n"), "530 Login incorrect.\r\n");
    EXPECT_TRUE(s.server->isDisconnected());
    EXPECT_EQ(delegate->badLoginCount(), 1);
  }
  {
    Session s; // a password without an accepted user name is a bad login too
    EXPECT_EQ(s.cmd("PASS pw"), "530 Login incorrect.\r\n");
    EXPECT_EQ(delegate->badLoginCount(), 2);
  }
  {
    Session s; // group one is answered before login
    EXPECT_EQ(s.cmd("SYST"), "215 UNIX Type: L8\r\n");
    EXPECT_EQ(s.cmd("FEAT"), "211-Features:\r\n HOST domain\r\n UTF8\r\n SIZE\r\n REST STREAM\r\n "
                             "MDTM\r\n MFMT\r\n211 End\r\n");
    EXPECT_EQ(s.cmd("HOST x"), "220 Ferrowen v3.0 ready...\r\n");
  }
}

TEST_F(FTPCommandsTest, PathsNeverLeaveSavedFiles) {
  // A sibling folder whose name starts with "Files" is outside, however it is spelt.
  ASSERT_TRUE(FileManager::createDirectory(Paths::documents() + "/FilesX"));
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/FilesX/secret", "no"));
  makeFile("sub/inner/a.txt", "a");
  Session s;
  s.cmd("USER x");
  EXPECT_EQ(s.cmd("CWD .."), "550 ..: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("CWD ../FilesX"), "550 ../FilesX: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("RETR ../FilesX/secret"), "550 ../FilesX/secret: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("SIZE /../FilesX/secret"), "550 /../FilesX/secret: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("DELE ../../Preferences.json"),
            "550 ../../Preferences.json: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("MKD ../escaped"), "550 ../escaped: Bad path argument.\r\n");
  EXPECT_FALSE(FileManager::fileExists(Paths::documents() + "/escaped"));

  // Going down and back up is fine; the current folder is kept in its normal form.
  EXPECT_EQ(s.cmd("CWD sub"), "250 CWD command successful.\r\n");
  EXPECT_EQ(s.cmd("CWD .."), "250 CWD command successful.\r\n");
  EXPECT_EQ(s.cmd("PWD"), "257 \"/\" is current directory.\r\n");
  // From there, a climb that would come back down through the real parent folders is refused
  // both when checked and when used.
  EXPECT_EQ(s.cmd("CWD /sub"), "250 CWD command successful.\r\n");
  std::string around = "../../" + lastPathComponent(Paths::documents()) + "/Files/sub";
  EXPECT_EQ(s.cmd("CWD " + around), "550 " + around + ": Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("CWD /nowhere"), "550 /nowhere: No such file or directory.\r\n");

  // An absolute argument means the same place for every command.
  EXPECT_EQ(s.cmd("MKD /made"), "257 \"/made\" created.\r\n");
  EXPECT_TRUE(FileManager::isDirectory(file("made")));
  EXPECT_FALSE(FileManager::fileExists(file("sub/made")));
  EXPECT_EQ(s.cmd("SIZE /sub/inner/a.txt"), "213 1\r\n");

  // CDUP climbs one part and stops at the root.
  EXPECT_EQ(s.cmd("CDUP"), "250 CDUP command successful.\r\n");
  EXPECT_EQ(s.cmd("PWD"), "257 \"/\" is current directory.\r\n");
  EXPECT_EQ(s.cmd("CDUP"), "250 CDUP command successful.\r\n");
  EXPECT_EQ(s.cmd("PWD"), "257 \"/\" is current directory.\r\n");
  EXPECT_EQ(testsupport::readFile(Paths::documents() + "/FilesX/secret"), "no");
}

TEST_F(FTPCommandsTest, SymbolicLinksDoNotLeadOutOfSavedFiles) {
  makeFile("sub/a.txt", "a");
  const std::string outsideTarget = tmp_->path() + "/pwned";
  ASSERT_EQ(::symlink(Paths::documents().c_str(), file("out").c_str()), 0);
  ASSERT_EQ(::symlink(file("sub").c_str(), file("in").c_str()), 0);
  ASSERT_EQ(::symlink(outsideTarget.c_str(), file("dangling").c_str()), 0);
  Session s;
  s.cmd("USER x");
  EXPECT_EQ(s.cmd("CWD out"), "550 out: Bad path argument.\r\n");
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/secret.txt", "s"));
  EXPECT_EQ(s.cmd("SIZE out/secret.txt"), "550 out/secret.txt: Bad path argument.\r\n");
  // Through the link and back into Saved Files is still inside.
  EXPECT_EQ(s.cmd("SIZE out/Files/sub/a.txt"), "213 1\r\n");
  EXPECT_EQ(s.cmd("MKD out/new"), "550 out/new: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("STOR dangling"), "550 dangling: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("MKD dangling/x"), "550 dangling/x: Bad path argument.\r\n");
  // Up from a link goes up from the folder the link is in, as checked, not from its target.
  ASSERT_TRUE(FileManager::createDirectory(tmp_->path() + "/far/deep", true));
  ASSERT_TRUE(testsupport::writeFile(tmp_->path() + "/far/outside.txt", "outside"));
  ASSERT_EQ(::symlink((tmp_->path() + "/far/deep").c_str(), file("deep").c_str()), 0);
  makeFile("inside.txt", "in");
  EXPECT_EQ(s.cmd("SIZE deep/../outside.txt"), "550 File not found.\r\n");
  EXPECT_EQ(s.cmd("SIZE deep/../inside.txt"), "213 2\r\n");
  EXPECT_EQ(s.cmd("MKD deep/../made"), "257 \"/deep/../made\" created.\r\n");
  EXPECT_TRUE(FileManager::isDirectory(file("made")));
  EXPECT_FALSE(FileManager::fileExists(tmp_->path() + "/far/made"));
  EXPECT_EQ(s.cmd("DELE deep/../outside.txt"), "550 File not found.\r\n");
  EXPECT_TRUE(FileManager::fileExists(tmp_->path() + "/far/outside.txt"));
  EXPECT_FALSE(FileManager::fileExists(outsideTarget));
  EXPECT_FALSE(FileManager::fileExists(Paths::documents() + "/new"));
  // A link that stays inside is followed like any folder.
  EXPECT_EQ(s.cmd("CWD in"), "250 CWD command successful.\r\n");
  EXPECT_EQ(s.cmd("SIZE a.txt"), "213 1\r\n");
}

TEST_F(FTPCommandsTest, RefusedPathDoesNotStallPipelinedCommands) {
  Session s;
  s.cmd("USER x");
  EXPECT_EQ(s.send("CWD ../..\r\nTYPE I\r\nNOOP\r\n"),
            "550 ../..: Bad path argument.\r\n200 Type set to I.\r\n200 Command OK.\r\n");
  // A line cut in two arrives whole; NUL ends a line like LF.
  EXPECT_EQ(s.send("NO"), "");
  EXPECT_EQ(s.send(std::string("OP\r\nSYST\0", 9)), "200 Command OK.\r\n215 UNIX Type: L8\r\n");
}

TEST_F(FTPCommandsTest, OverlongLineWithoutEndIsCutOff) {
  Session s;
  s.cmd("USER x");
  std::string big(FTPServer::kMaxControlLine + 10, 'A');
  EXPECT_EQ(s.send(big), "500 Command line too long.\r\n");
  EXPECT_TRUE(s.server->isDisconnected());
}

TEST_F(FTPCommandsTest, KeysFolderCannotBeReadSizedListedOrRenamedAway) {
  makeFile("PrivateKeys/id.pem", "-----BEGIN KEY-----");
  makeFile("privatekeys/other.pem", "k");
  Session s;
  s.cmd("USER x");
  for (std::string path : {"PrivateKeys/id.pem", "/PrivateKeys/id.pem", "privatekeys/other.pem",
                           "./PrivateKeys/../PrivateKeys/id.pem"}) {
    EXPECT_EQ(s.cmd("SIZE " + path), "550 File not found.\r\n") << path;
    EXPECT_EQ(s.cmd("STAT " + path), "550 File not found.\r\n") << path;
  }
  // Renaming out of the folder (or the folder itself) is refused; within it, allowed.
  EXPECT_EQ(s.cmd("RNFR PrivateKeys/id.pem"), "350 Ready to rename.\r\n");
  EXPECT_EQ(s.cmd("RNTO id.pem"), "550 Error renaming file.\r\n");
  EXPECT_EQ(s.cmd("RNFR PrivateKeys"), "350 Ready to rename.\r\n");
  EXPECT_EQ(s.cmd("RNTO Public"), "550 Error renaming file.\r\n");
  EXPECT_EQ(s.cmd("RNFR PrivateKeys/id.pem"), "350 Ready to rename.\r\n");
  EXPECT_EQ(s.cmd("RNTO PrivateKeys/renamed.pem"), "250 Renamed OK.\r\n");
  EXPECT_TRUE(FileManager::fileExists(file("PrivateKeys/renamed.pem")));
  EXPECT_FALSE(FileManager::fileExists(file("id.pem")));
  // Reading needs a data connection, but the refusal comes first, from any folder.
  EXPECT_EQ(s.cmd("RETR PrivateKeys/renamed.pem"), "550 File not found.\r\n");
  EXPECT_EQ(s.cmd("CWD PrivateKeys"), "250 CWD command successful.\r\n");
  EXPECT_EQ(s.cmd("RETR renamed.pem"), "550 File not found.\r\n");

  // Links (from an unpacked archive, say) that name the folder or a key by another name.
  ASSERT_EQ(::symlink("PrivateKeys", file("keys").c_str()), 0);
  ASSERT_EQ(::symlink("PrivateKeys/renamed.pem", file("key.pem").c_str()), 0);
  EXPECT_EQ(s.cmd("CWD /"), "250 CWD command successful.\r\n");
  for (std::string path : {"keys/renamed.pem", "key.pem", "keys/../key.pem"}) {
    EXPECT_EQ(s.cmd("SIZE " + path), "550 File not found.\r\n") << path;
    EXPECT_EQ(s.cmd("STAT " + path), "550 File not found.\r\n") << path;
    EXPECT_EQ(s.cmd("RETR " + path), "550 File not found.\r\n") << path;
  }
  EXPECT_EQ(s.cmd("RNFR keys/renamed.pem"), "350 Ready to rename.\r\n");
  EXPECT_EQ(s.cmd("RNTO moved.pem"), "550 Error renaming file.\r\n");
  EXPECT_TRUE(FileManager::fileExists(file("PrivateKeys/renamed.pem")));
  EXPECT_EQ(s.cmd("CWD keys"), "250 CWD command successful.\r\n");
  EXPECT_EQ(s.cmd("RETR renamed.pem"), "550 File not found.\r\n");
}

TEST_F(FTPCommandsTest, ListingLineFormatHiddenEntriesAndDates) {
  makeFile(".hidden", "h");
  makeFile("visible.txt", "12345");
  // Dates one year (365 days) before the listing show their time; one second older, the year.
  const WallTime now = Clock::current().wallNow();
  ASSERT_TRUE(
      FileManager::setModificationDate(file("visible.txt"), now - std::chrono::hours(24 * 365)));
  ASSERT_TRUE(FileManager::setModificationDate(file(".hidden"), now - std::chrono::hours(24 * 365) -
                                                                    std::chrono::seconds(2)));

  auto server = std::make_shared<FTPServer>();
  Session s;
  s.cmd("USER x");

  auto visible = FileManager::attributesOfItem(file("visible.txt"));
  ASSERT_TRUE(visible);
  std::string line = server->getDirectoryLISTItem("visible.txt", root, false, false);
  DateComponents c = GregorianCalendar::components(visible->modificationDate);
  char when[32];
  std::snprintf(when, sizeof when, " %02d %02d:%02d ", c.day, c.hour, c.minute);
  EXPECT_EQ(line.substr(0, 10), "-rw-r--r--") << line;
  EXPECT_NE(line.find("    1 "), std::string::npos) << line;
  EXPECT_NE(line.find("        5 "), std::string::npos) << line;
  EXPECT_NE(line.find(when), std::string::npos) << line;
  EXPECT_TRUE(line.size() > 13 && line.substr(line.size() - 13) == "visible.txt\r\n") << line;

  std::string old = server->getDirectoryLISTItem(".hidden", root, false, true);
  DateComponents o = GregorianCalendar::components(
      FileManager::attributesOfItem(file(".hidden"))->modificationDate);
  std::snprintf(when, sizeof when, " %02d  %04d ", o.day, o.year);
  EXPECT_NE(old.find(when), std::string::npos) << old;
  EXPECT_EQ(server->getDirectoryLISTItem(".hidden", root, false, false), "");
  EXPECT_EQ(server->getDirectoryLISTItem(".hidden", root, true, false), ".hidden\r\n");
  EXPECT_EQ(server->getDirectoryLISTItem("missing", root, false, true), "");
  EXPECT_EQ(FTPServer::dirAttribString(5), "r-x");
  EXPECT_EQ(FTPServer::dirAttribString(2), "-w-");

  // Without a passive connection a listing is not started; the refusals of paths come first.
  EXPECT_EQ(s.cmd("LIST -la ../.."), "550 ../..: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("LIST"), "425 Use PASV first.\r\n");
}

TEST_F(FTPCommandsTest, FileOperationsAndTheRootThatCannotBeRemoved) {
  makeFile("dir/f.txt", "x");
  makeFile("g.txt", "g");
  Session s;
  s.cmd("USER x");
  // Nothing removes or renames Saved Files itself.
  EXPECT_EQ(s.cmd("RMD /"), "550 Error deleting folder.\r\n");
  EXPECT_EQ(s.cmd("RMD ."), "550 Error deleting folder.\r\n");
  EXPECT_EQ(s.cmd("RNFR /"), "550 File not found.\r\n");
  EXPECT_TRUE(FileManager::fileExists(file("g.txt")));

  EXPECT_EQ(s.cmd("RNTO x"), "550 send RNFR command first.\r\n");
  EXPECT_EQ(s.cmd("RNFR missing"), "550 File not found.\r\n");
  EXPECT_EQ(s.cmd("RNFR g.txt"), "350 Ready to rename.\r\n");
  EXPECT_EQ(s.cmd("RNTO dir/f.txt"), "550 Rename-To file already exists.\r\n");
  EXPECT_EQ(s.cmd("RNTO dir/h.txt"), "550 send RNFR command first.\r\n"); // cleared either way
  // The source is the one named when RNFR was accepted, whatever folder the client moves to.
  EXPECT_EQ(s.cmd("RNFR g.txt"), "350 Ready to rename.\r\n");
  EXPECT_EQ(s.cmd("CWD dir"), "250 CWD command successful.\r\n");
  EXPECT_EQ(s.cmd("RNTO h.txt"), "250 Renamed OK.\r\n");
  EXPECT_EQ(testsupport::readFile(file("dir/h.txt")), "g");

  EXPECT_EQ(s.cmd("DELE h.txt"), "250 Deleted.\r\n");
  EXPECT_EQ(s.cmd("DELE h.txt"), "550 File not found.\r\n"); // nothing left to remove
  EXPECT_EQ(s.cmd("CDUP"), "250 CDUP command successful.\r\n");
  EXPECT_EQ(s.cmd("RMD dir"), "550 Error deleting folder.\r\n"); // f.txt is still in it
  EXPECT_EQ(s.cmd("DELE dir/f.txt"), "250 Deleted.\r\n");
  EXPECT_EQ(s.cmd("RMD dir"), "250 Deleted.\r\n");
  EXPECT_FALSE(FileManager::fileExists(file("dir")));
  EXPECT_EQ(s.cmd("MKD a/b/c"), "257 \"/a/b/c\" created.\r\n");
  EXPECT_TRUE(FileManager::isDirectory(file("a/b/c")));
  EXPECT_EQ(s.cmd("TYPE x"), "500 Type not understood.\r\n");
  EXPECT_EQ(s.cmd("OPTS UTF8 ON"), "200 UTF-8 Set.\r\n");
  EXPECT_EQ(s.cmd("OPTS MLST type"), "500 'OPTS': command not understood.\r\n");
  EXPECT_EQ(s.cmd("PORT 127,0,0,1,4,1"), "500 'PORT': command not understood.\r\n");
  EXPECT_EQ(s.cmd("ABOR"), "226 Transfer interrupted.\r\n");
  EXPECT_EQ(s.cmd("STAT"), "220 Ferrowen v3.0 ready...\r\n");
  EXPECT_EQ(s.cmd("STAT nothing"), "550 File not found.\r\n");
  std::string stat = s.cmd("STAT a");
  EXPECT_EQ(stat.substr(0, 23), "211-Begin File Status\r\n") << stat;
  EXPECT_NE(stat.find("drwx"), std::string::npos) << stat;
  EXPECT_EQ(stat.substr(stat.size() - 21), "211 End File Status\r\n") << stat;
  EXPECT_EQ(s.cmd("QUIT"), "221 Goodbye.\r\n");
  EXPECT_TRUE(s.server->isDisconnected());
}

// What a client names is all that goes: a command that needs a path refuses an empty one (blanks
// only are empty), DELE takes files (a link is one), RMD empty folders; the blanks at either end
// of a path are the name's own.
TEST_F(FTPCommandsTest, NothingIsRemovedThatWasNotNamed) {
  makeFile("photos/a.jpg", "a");
  for (const char *name :
       {"photos/trail.txt ", "photos/trail.txt", "photos/ lead.txt", "photos/lead.txt"})
    makeFile(name, name);
  makeFile("photos/sub/b.jpg", "b");
  makeFile("other.txt", "o");
  ASSERT_TRUE(FileManager::createDirectory(file("photos/empty")));
  ASSERT_EQ(::symlink(file("photos/sub").c_str(), file("photos/to-sub").c_str()), 0);
  Session s;
  s.cmd("USER x");
  ASSERT_EQ(s.cmd("CWD photos"), "250 CWD command successful.\r\n");
  const std::string noArgument = "501 Syntax error in parameters or arguments.\r\n";
  struct Case {
    std::string line, reply, gone; // `gone`: what the command removed, else nothing
  };
  const Case cases[] = {
      {"DELE   ", noArgument, ""},
      {"DELE", noArgument, ""},
      {"RMD \t ", noArgument, ""},
      {"MKD ", noArgument, ""},
      {"RNFR ", noArgument, ""},
      {"RNTO", noArgument, ""},
      {"SIZE ", noArgument, ""},
      {"MDTM", noArgument, ""},
      {"RETR ", noArgument, ""},
      {"STOR ", noArgument, ""},
      {"APPE", noArgument, ""},
      {"MFMT 20200101000000", noArgument, ""},
      {"MFMT 20200101000000   ", noArgument, ""},
      {"CWD  ", noArgument, ""},
      {"DELE sub", "550 Error deleting file.\r\n", ""},
      {"DELE .", "550 Error deleting file.\r\n", ""},
      {"RMD sub", "550 Error deleting folder.\r\n", ""},
      {"RMD a.jpg", "550 Error deleting folder.\r\n", ""},
      {"RMD to-sub", "550 Error deleting folder.\r\n", ""},
      {"RMD /", "550 Error deleting folder.\r\n", ""},
      // A name that is not there removes nothing: a failure, never "Deleted."
      {"DELE missing.jpg", "550 File not found.\r\n", ""},
      {"DELE /etc/passwd", "550 File not found.\r\n", ""},
      {"RMD missing", "550 File not found.\r\n", ""},
      {"RMD sub/missing", "550 File not found.\r\n", ""},
      {"DELE to-sub", "250 Deleted.\r\n", "photos/to-sub"},
      {"RMD empty", "250 Deleted.\r\n", "photos/empty"},
      {"RMD empty", "550 File not found.\r\n", ""},
      {"DELE trail.txt ", "250 Deleted.\r\n", "photos/trail.txt "},
      {"DELE  lead.txt", "250 Deleted.\r\n", "photos/ lead.txt"},
      {"DELE a.jpg", "250 Deleted.\r\n", "photos/a.jpg"},
      {"DELE a.jpg", "550 File not found.\r\n", ""},
      {"DELE sub/b.jpg", "250 Deleted.\r\n", "photos/sub/b.jpg"},
      {"RMD sub", "250 Deleted.\r\n", "photos/sub"},
  };
  std::vector<std::string> present = {"photos/a.jpg",      "photos/sub/b.jpg", "photos/empty",
                                      "photos/to-sub",     "other.txt",        "photos",
                                      "photos/trail.txt ", "photos/trail.txt", "photos/ lead.txt",
                                      "photos/lead.txt"};
  for (const Case &c : cases) {
    EXPECT_EQ(s.cmd(c.line), c.reply) << c.line;
    std::erase(present, c.gone);
    for (const auto &item : present) {
      struct stat st;
      EXPECT_EQ(::lstat(file(item).c_str(), &st), 0) << item << " went with: " << c.line;
    }
    EXPECT_EQ(s.server->currentFolder(), "/photos") << c.line;
  }
  EXPECT_FALSE(FileManager::fileExists(file("photos/sub")));
  EXPECT_EQ(s.cmd("DELE ../other.txt"), "250 Deleted.\r\n");
  EXPECT_FALSE(FileManager::fileExists(file("other.txt")));
}

// The current folder is kept in its normal form, so however a client spells its way, the folder
// stays as long as the path it names; a path longer than the system takes is refused unread.
TEST_F(FTPCommandsTest, CurrentFolderStaysNormalAndBounded) {
  makeFile("sub/inner/a.txt", "a");
  Session s;
  s.cmd("USER x");
  std::string dots;
  for (int i = 0; i < 30000; ++i)
    dots += "./";
  std::string upAndDown;
  for (int i = 0; i < 1000; ++i)
    upAndDown += "inner/../";
  const std::string tooDeep(FTPServer::kMaxPathLength, 'x');
  std::string tooManyParts;
  for (size_t i = 0; tooManyParts.size() <= FTPServer::kMaxPathLength; ++i)
    tooManyParts += "y/";
  // Each from /sub.
  struct Case {
    std::string argument, reply, folder;
  };
  const std::string ok = "250 CWD command successful.\r\n";
  const Case cases[] = {
      {dots, ok, "/sub"},
      {dots + "inner/" + dots, ok, "/sub/inner"},
      {"..//./sub", ok, "/sub"},
      {upAndDown + "inner", ok, "/sub/inner"},
      {"/sub//inner/../../sub/", ok, "/sub"},
      {"/./", ok, "/"},
      {tooDeep, "550 " + tooDeep + ": Bad path argument.\r\n", "/sub"},
      {tooManyParts, "550 " + tooManyParts + ": Bad path argument.\r\n", "/sub"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(s.cmd("CWD /sub"), ok);
    EXPECT_EQ(s.cmd("CWD " + c.argument), c.reply) << c.argument.substr(0, 40);
    EXPECT_EQ(s.server->currentFolder(), c.folder) << c.argument.substr(0, 40);
    EXPECT_EQ(s.cmd("PWD"), "257 \"" + c.folder + "\" is current directory.\r\n");
  }
  // A client may send the same line again and again: the folder does not grow with it.
  for (int round = 0; round < 20; ++round)
    ASSERT_EQ(s.cmd("CWD " + dots), ok) << round;
  EXPECT_EQ(s.server->currentFolder(), "/sub");
  // Every command that takes a path is held to the same bound.
  EXPECT_EQ(s.cmd("SIZE " + tooManyParts), "550 " + tooManyParts + ": Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("MKD " + tooDeep), "550 " + tooDeep + ": Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("SIZE inner/a.txt"), "213 1\r\n");
}

TEST_F(FTPCommandsTest, SizesAndOffsetsBeyondTwoGigabytes) {
  // A sparse 5 GiB file.
  std::string big = file("big.bin");
  int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 5368709120LL), 0);
  ::close(fd);
  Session s;
  s.cmd("USER x");
  EXPECT_EQ(s.cmd("SIZE big.bin"), "213 5368709120\r\n");
  EXPECT_EQ(s.cmd("REST 4294967297"), "350 Restarting at 4294967297, send STOR or RETR\r\n");
  std::string stat = s.cmd("STAT big.bin");
  EXPECT_NE(stat.find("5368709120 "), std::string::npos) << stat;
}

TEST_F(FTPCommandsTest, ModificationTimesAreUTC) {
  testsupport::ScopedEnv tz("TZ", std::string("America/New_York"));
  makeFile("t.txt", "t");
  Session s;
  s.cmd("USER x");
  // 2020-07-04 12:34:56 UTC is 08:34:56 in New York: MDTM must say 12.
  DateComponents c{2020, 7, 4, 12, 34, 56};
  auto when = GregorianCalendar::dateFromComponents(c, TimeZone::GMT);
  ASSERT_TRUE(when);
  ASSERT_TRUE(FileManager::setModificationDate(file("t.txt"), *when));
  EXPECT_EQ(s.cmd("MDTM t.txt"), "213 20200704123456\r\n");

  EXPECT_EQ(s.cmd("MFMT 20011231235958 t.txt"), "213 ModifyTime=20011231235958\r\n");
  auto attrs = FileManager::attributesOfItem(file("t.txt"));
  ASSERT_TRUE(attrs);
  DateComponents got = GregorianCalendar::components(attrs->modificationDate, TimeZone::GMT);
  EXPECT_EQ(got.year, 2001);
  EXPECT_EQ(got.hour, 23);
  EXPECT_EQ(got.second, 58);
  EXPECT_EQ(s.cmd("MDTM t.txt"), "213 20011231235958\r\n");
  EXPECT_EQ(s.cmd("MFMT 20011231235958 missing"), "550 File not found.\r\n");
  EXPECT_EQ(s.cmd("MFMT 2001 t.txt"), "501 Syntax error in parameters or arguments.\r\n");
  EXPECT_EQ(s.cmd("MFMT 20011231235958 ../../x"), "550 ../../x: Bad path argument.\r\n");
  EXPECT_EQ(s.cmd("MDTM missing"), "550 File not found.\r\n");
}

TEST_F(FTPCommandsTest, LogLinesOnlyWhenTheLogSettingIsOn) {
  makeFile("a.txt", "a");
  Session s;
  s.cmd("USER x");
  s.server->log("RETR a.txt  (CWD /)");
  EXPECT_FALSE(FileManager::fileExists(file("Logs/ftp_log")));
  set("WebServerLogs", "1");
  s.server->log("RETR a.txt  (CWD /)  ");
  std::string logged = testsupport::readFile(file("Logs/ftp_log"));
  // No client address without a connection; the GMT time, the trimmed message in quotes.
  EXPECT_EQ(logged.substr(0, 6), " - - [") << logged;
  EXPECT_NE(logged.find(" -0000] \"RETR a.txt  (CWD /)\"\r\n"), std::string::npos) << logged;
}

// A name reaches the file of exactly the bytes the client sent: with "caf\xE9.txt" (Latin-1) and
// "caf\xC3\xA9.txt" (UTF-8) side by side, every path command acts on its own file; alone, the
// Latin-1 one is reached too. What is shown (replies, the log) reads the bytes as text.
TEST_F(FTPCommandsTest, EveryPathCommandReachesTheFileOfTheBytesSent) {
  const std::string latin = "caf\xE9", utf8 = "caf\xC3\xA9";
  makeFile(latin + ".txt", "latin-1 file");
  makeFile(utf8 + ".txt", "utf-8");
  makeFile("PrivateKeys/" + latin, "PRIVATE");
  ASSERT_TRUE(FileManager::setModificationDate(file(latin + ".txt"),
                                               WallTime(std::chrono::seconds(946684800))));
  ASSERT_TRUE(FileManager::setModificationDate(file(utf8 + ".txt"),
                                               WallTime(std::chrono::seconds(1262304000))));
  Session s;
  s.cmd("USER x");
  const struct {
    std::string line, reply;
  } steps[] = {
      {"SIZE " + latin + ".txt", "213 12\r\n"},
      {"SIZE " + utf8 + ".txt", "213 5\r\n"},
      {"MDTM " + latin + ".txt", "213 20000101000000\r\n"},
      {"MDTM " + utf8 + ".txt", "213 20100101000000\r\n"},
      {"MFMT 20200101000000 " + latin + ".txt", "213 ModifyTime=20200101000000\r\n"},
      {"MDTM " + utf8 + ".txt", "213 20100101000000\r\n"},
      {"RNFR " + latin + ".txt", "350 Ready to rename.\r\n"},
      {"RNTO " + latin + "-moved.txt", "250 Renamed OK.\r\n"},
      {"SIZE " + latin + "-moved.txt", "213 12\r\n"},
      {"MKD dir" + latin, "257 \"/dir" + latin + "\" created.\r\n"},
      {"CWD dir" + latin, "250 CWD command successful.\r\n"},
      {"PWD", "257 \"/dir" + latin + "\" is current directory.\r\n"},
      {"CWD /dir" + utf8, "550 /dir" + utf8 + ": No such file or directory.\r\n"},
      {"RNFR ../" + latin + "-moved.txt", "350 Ready to rename.\r\n"},
      {"RNTO " + latin + ".txt", "250 Renamed OK.\r\n"},
      {"CDUP", "250 CDUP command successful.\r\n"},
      {"RMD dir" + latin, "550 Error deleting folder.\r\n"}, // not empty
      {"DELE dir" + latin + "/" + latin + ".txt", "250 Deleted.\r\n"},
      {"RMD dir" + latin, "250 Deleted.\r\n"},
      {"SIZE " + latin + ".txt", "550 File not found.\r\n"},
      {"SIZE " + utf8 + ".txt", "213 5\r\n"},
      {"DELE " + utf8 + ".txt", "250 Deleted.\r\n"},
      {"RETR ../" + latin, "550 ../caf\xC3\xA9: Bad path argument.\r\n"},
      {"SIZE PrivateKeys/" + latin, "550 File not found.\r\n"},
      {"RNFR PrivateKeys/" + latin, "350 Ready to rename.\r\n"},
      {"RNTO " + latin + ".key", "550 Error renaming file.\r\n"},
  };
  for (const auto &step : steps)
    EXPECT_EQ(s.cmd(step.line), step.reply) << step.line;
  EXPECT_FALSE(FileManager::fileExists(file(utf8 + ".txt")));

  // Alone, the Latin-1 name is listed (STAT) and reached.
  makeFile("only\xE9.txt", "only");
  EXPECT_EQ(s.cmd("SIZE only\xE9.txt"), "213 4\r\n");
  const std::string stat = s.cmd("STAT only\xE9.txt");
  EXPECT_NE(stat.find(" only\xE9.txt\r\n211 End"), std::string::npos) << stat;
  EXPECT_EQ(s.cmd("DELE only\xE9.txt"), "250 Deleted.\r\n");
  EXPECT_FALSE(FileManager::fileExists(file("only\xE9.txt")));

  // The log shows the text, and nothing in a name breaks its line.
  set("WebServerLogs", "1");
  s.server->log("RETR " + FTPServer::shownText("a\"b\x01" + latin));
  const std::string logged = testsupport::readFile(file("Logs/ftp_log"));
  EXPECT_NE(logged.find("\"RETR a\\\"b\\x01caf\xC3\xA9\"\r\n"), std::string::npos) << logged;
}

// A name another client removed between the server's look and its removal removed nothing this
// command did: "550", never "250 Deleted.".
TEST_F(FTPCommandsTest, ANameRemovedByAnotherHandMeanwhileIsNotReportedDeleted) {
  static std::string removedMeanwhile;
  FTPServer::removalCheckedHook = [](const std::string &local) {
    removedMeanwhile = local;
    struct stat st;
    if (::lstat(local.c_str(), &st) == 0)
      S_ISDIR(st.st_mode) ? ::rmdir(local.c_str()) : ::unlink(local.c_str());
  };
  const struct {
    const char *what, *make, *line;
  } cases[] = {
      {"a file", "gone.txt", "DELE gone.txt"},
      {"a folder", "gone/", "RMD gone"},
  };
  Session s;
  s.cmd("USER x");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    removedMeanwhile.clear();
    const std::string made = c.make;
    if (made.back() == '/')
      ASSERT_TRUE(FileManager::createDirectory(file(made.substr(0, made.size() - 1)), true));
    else
      makeFile(made, "x");
    EXPECT_EQ(s.cmd(c.line), "550 File not found.\r\n");
    EXPECT_FALSE(removedMeanwhile.empty()) << "the race was not reached";
  }
  FTPServer::removalCheckedHook = nullptr;
}

// Short of descriptors, a path through a link that leads out of Saved Files is still judged by
// where it leads: nothing outside is removed, renamed or made (removing and renaming need no
// descriptor, so a check that gave up would let them through).
TEST_F(FTPCommandsTest, ShortOfDescriptorsALinkOutStillLeadsNowhere) {
  RUN_IN_DESCRIPTOR_CHILD();
  const std::string outside = Paths::documents() + "/outside";
  ASSERT_TRUE(FileManager::createDirectory(outside + "/sub", true));
  ASSERT_TRUE(testsupport::writeFile(outside + "/secret.txt", "secret"));
  makeFile("in.txt", "in");
  ASSERT_EQ(::symlink(outside.c_str(), file("out").c_str()), 0);
  Session s;
  s.cmd("USER x");
  const char *lines[] = {"DELE out/secret.txt", "RNFR out/secret.txt", "RMD out/sub",
                         "MKD out/made",        "RNFR in.txt",         "RNTO out/in.txt"};
  std::vector<std::string> replies;
  {
    testsupport::DescriptorHog hog(0);
    ASSERT_TRUE(hog.ok());
    for (const char *line : lines)
      replies.push_back(s.cmd(line));
  }
  for (size_t i = 0; i < std::size(lines); ++i) {
    const std::string line = lines[i];
    const std::string argument = line.substr(line.find(' ') + 1);
    const std::string reply = line == "RNFR in.txt"
                                  ? "350 Ready to rename.\r\n"
                                  : "550 " + argument + ": Bad path argument.\r\n";
    EXPECT_EQ(replies[i], reply) << line;
  }
  EXPECT_EQ(testsupport::readFile(outside + "/secret.txt"), "secret");
  EXPECT_TRUE(FileManager::isDirectory(outside + "/sub"));
  EXPECT_FALSE(FileManager::fileExists(outside + "/made"));
  EXPECT_FALSE(FileManager::fileExists(outside + "/in.txt"));
}
