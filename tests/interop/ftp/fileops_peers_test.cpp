// Operations on remote names against pyftpdlib: rename in place, move up a folder, a list delete
// with its progress texts, folder deletes, "SITE chmod", making folders and raw commands.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

#include <sys/stat.h>

using namespace taskpeers;

namespace {

class FileOpsPeersTest : public TaskPeerTest {
protected:
  void SetUp() override {
    TaskPeerTest::SetUp();
    server = startPyftpdlib();
  }
  std::vector<std::string> sinceMark() { return commandsSince(mark); }
  void markNow() { mark = conn->transferLog().size(); }
  bool exists(const std::string &path) { return FileManager::fileExists(server.root + path); }

  Server server;
  size_t mark = 0;
};

TEST_F(FileOpsPeersTest, RenameInPlaceAndMoveUpAFolder) {
  testsupport::writeFile(server.root + "/a.txt", "a");
  ::mkdir((server.root + "/sub").c_str(), 0755);
  testsupport::writeFile(server.root + "/sub/c.txt", "c");
  connectAndList(address(server));

  // In the current folder: no folder change.
  markNow();
  conn->renameFile("a.txt", "b.txt", "/");
  settle();
  EXPECT_EQ(sinceMark(), (std::vector<std::string>{"RNFR a.txt", "RNTO b.txt"}));
  EXPECT_TRUE(exists("/b.txt"));
  EXPECT_FALSE(exists("/a.txt"));

  // From another folder to the one above it, once the name is seen to be free there (no file
  // has a size by it in binary mode, no folder is entered by it).
  markNow();
  conn->renameFile("c.txt", "../c.txt", "/sub");
  settle();
  EXPECT_EQ(sinceMark(), (std::vector<std::string>{"CWD /sub", "PWD", "TYPE I", "SIZE ../c.txt",
                                                   "CWD ../c.txt", "RNFR c.txt", "RNTO ../c.txt"}));
  EXPECT_TRUE(exists("/c.txt"));
  EXPECT_FALSE(exists("/sub/c.txt"));
  EXPECT_EQ(conn->cwd(), "/sub");

  // A refused rename shows the server's reply.
  conn->renameFile("missing.txt", "x.txt", "/sub");
  settle();
  ASSERT_FALSE(delegate->taken().empty());
  EXPECT_EQ(delegate->taken().back().substr(0, 3), "550");
}

TEST_F(FileOpsPeersTest, ListDeleteShowsWhatIsLeft) {
  for (auto name : {"x1", "x2", "x3"})
    testsupport::writeFile(server.root + "/" + name, name);
  connectAndList(address(server));
  markNow();
  conn->deleteFileBatch({"x1", "x2", "x3"}, "/", false);
  settle();
  auto sent = sinceMark();
  ASSERT_GE(sent.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 5),
            (std::vector<std::string>{"CWD /", "PWD", "DELE x1", "DELE x2", "DELE x3"}));
  // The folder on screen is listed again afterwards.
  EXPECT_EQ(std::vector<std::string>(sent.begin() + 5, sent.end()),
            (std::vector<std::string>{"CWD /", "PWD", "PASV", "LIST"}));
  auto texts = services->top->progressTexts();
  auto two = std::find(texts.begin(), texts.end(), "Deleting (2)...");
  auto one = std::find(texts.begin(), texts.end(), "Deleting (1)...");
  EXPECT_NE(two, texts.end());
  EXPECT_NE(one, texts.end());
  EXPECT_LT(two, one);
  EXPECT_FALSE(exists("/x1") || exists("/x2") || exists("/x3"));
  EXPECT_TRUE(services->top->shown().empty());
}

TEST_F(FileOpsPeersTest, FolderDeletesEmptyTheFolderFirst) {
  ::mkdir((server.root + "/empty").c_str(), 0755);
  ::mkdir((server.root + "/full").c_str(), 0755);
  testsupport::writeFile(server.root + "/full/keep.txt", "k");
  connectAndList(address(server));

  // "DELE /empty/*" is refused by this server; "RMD" decides.
  markNow();
  conn->deleteFile("empty", "/", true);
  settle();
  auto sent = sinceMark();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[2], "DELE /empty/*");
  EXPECT_EQ(sent[3], "RMD empty");
  EXPECT_FALSE(exists("/empty"));
  EXPECT_TRUE(delegate->taken().empty());

  conn->deleteFile("full", "/", true);
  settle();
  ASSERT_EQ(delegate->taken().size(), 1u);
  EXPECT_NE(delegate->taken()[0].find(
                "(You may need to delete files in this folder before deleting the folder.)"),
            std::string::npos);
  EXPECT_TRUE(exists("/full/keep.txt"));
}

TEST_F(FileOpsPeersTest, ChmodMakeFolderAndRawCommands) {
  testsupport::writeFile(server.root + "/run.sh", "#!/bin/sh\n");
  ::chmod((server.root + "/run.sh").c_str(), 0644);
  connectAndList(address(server));

  markNow();
  conn->chmodFile("run.sh", "/", "755");
  settle();
  EXPECT_EQ(sinceMark().front(), "SITE chmod 755 run.sh");
  struct stat st {};
  ASSERT_EQ(::stat((server.root + "/run.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  markNow();
  conn->makeDirectory("new folder", "/");
  settle();
  EXPECT_EQ(sinceMark().front(), "MKD new folder");
  EXPECT_TRUE(exists("/new folder"));
  conn->makeDirectory("new folder", "/"); // there already: the server's refusal is shown
  settle();
  ASSERT_EQ(delegate->taken().size(), 1u);
  EXPECT_EQ(delegate->taken()[0].substr(0, 3), "550");

  // A raw command's whole multi-line reply is shown, and so is a refusal.
  conn->doRawFTPCommand("HELP", "/");
  settle();
  ASSERT_EQ(delegate->taken().size(), 2u);
  const std::string help = delegate->taken()[1];
  EXPECT_EQ(help.substr(0, 4), "214-");
  EXPECT_NE(help.find("\n214 "), std::string::npos);
  EXPECT_GT(std::count(help.begin(), help.end(), '\n'), 3);
  conn->doRawFTPCommand("NOSUCH", "/");
  settle();
  ASSERT_EQ(delegate->taken().size(), 3u);
  EXPECT_EQ(delegate->taken()[2].substr(0, 3), "500");
}

} // namespace
