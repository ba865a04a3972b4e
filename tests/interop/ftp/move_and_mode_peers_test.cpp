// A move into another folder never replaces what that folder holds under the same name, and an
// edited file sent back (under a temporary name, renamed over it) keeps the mode its folder's
// listing showed. Against vsftpd as Debian installs it and pyftpdlib as installed.
#include "tests/interop/ftp/TaskPeers.h"
#include "tests/support/ModeWatch.h"
#include "tests/support/Peers.h"

#include "platform/foundation/FileManager.h"

#include <sys/stat.h>

using namespace taskpeers;

namespace {

class MoveAndModePeersTest : public TaskPeerTest,
                             public ::testing::WithParamInterface<std::string> {
protected:
  void SetUp() override {
    TaskPeerTest::SetUp();
    if (vsftpd()) {
      REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
      REQUIRE_MACHINE(::geteuid() == 0, "vsftpd and its local user need root");
    } else {
      REQUIRE_PEER(testsupport::pythonModule("pyftpdlib", "python3-pyftpdlib"));
    }
  }
  bool vsftpd() const { return GetParam() == "vsftpd"; }

  // The server on a root the test fills first (`extra`: vsftpd configuration lines).
  void serve(const std::function<void(const std::string &root)> &fill,
             const std::string &extra = "") {
    if (vsftpd()) {
      ASSERT_NO_FATAL_FAILURE(startVsftpdAsInstalled(server, fill, extra));
    } else {
      server = startPyftpdlib();
      fill(server.root);
      server.user.clear();
    }
    ASSERT_NO_FATAL_FAILURE(connectAndList(address(server), server.user, server.pass));
  }
  std::string file(const std::string &name) { return server.root + "/" + name; }
  unsigned modeOf(const std::string &name) {
    struct stat st {};
    return ::stat(file(name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  void settleJob() {
    settle();
    ASSERT_TRUE(throughConnectionThread(true));
  }

  Server server;
};

INSTANTIATE_TEST_SUITE_P(Servers, MoveAndModePeersTest, ::testing::Values("vsftpd", "pyftpdlib"),
                         [](const auto &info) { return info.param; });

TEST_P(MoveAndModePeersTest, AMoveOntoATakenNameMovesNothingAndSaysSo) {
  ASSERT_NO_FATAL_FAILURE(serve([](const std::string &root) {
    for (const char *folder : {"/sub", "/d", "/sub/d", "/e"})
      ::mkdir((root + folder).c_str(), 0755);
    const std::pair<const char *, const char *> files[] = {
        {"/x.txt", "mine"},      {"/sub/x.txt", "theirs, 43 bytes long and kept as they are"},
        {"/sub/y.txt", "below"}, {"/y.txt", "above"},
        {"/d/in.txt", "in d"},   {"/e/in.txt", "in e"},
        {"/free.txt", "free"}};
    for (const auto &[name, content] : files)
      testsupport::writeFile(root + name, content);
  }));
  const RemoteName top = conn->cwdName(), sub = top.child("sub");
  // The moves the folder screen makes: into a folder it lists, or up a folder.
  const struct {
    const char *what;
    RemoteName from, to, in;
    bool taken;
    std::map<std::string, std::string> after; // file: content once the move is over
  } cases[] = {
      {"a file onto a file",
       "x.txt",
       "sub/x.txt",
       top,
       true,
       {{"x.txt", "mine"}, {"sub/x.txt", "theirs, 43 bytes long and kept as they are"}}},
      {"a file up onto a file",
       "y.txt",
       "../y.txt",
       sub,
       true,
       {{"y.txt", "above"}, {"sub/y.txt", "below"}}},
      {"a folder onto an empty folder",
       "d",
       "sub/d",
       top,
       true,
       {{"d/in.txt", "in d"}, {"sub/d", ""}}},
      {"a folder onto a free name",
       "e",
       "sub/e",
       top,
       false,
       {{"sub/e/in.txt", "in e"}, {"e", ""}}},
      {"a file onto a free name",
       "free.txt",
       "sub/free.txt",
       top,
       false,
       {{"sub/free.txt", "free"}, {"free.txt", ""}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t mark = conn->transferLog().size();
    conn->renameFile(c.from, c.to, c.in, true);
    ASSERT_NO_FATAL_FAILURE(settleJob());
    const auto sent = commandsSince(mark);
    const bool renamed = std::find(sent.begin(), sent.end(), "RNTO " + c.to.text()) != sent.end();
    EXPECT_EQ(renamed, !c.taken) << conn->transferLog().substr(mark);
    for (const auto &[name, content] : c.after) {
      const bool folder = FileManager::isDirectory(file(name));
      if (content.empty() && name.find('.') == std::string::npos)
        EXPECT_EQ(folder, name.rfind("sub/", 0) == 0) << name; // the folder moved, or stayed
      else if (content.empty())
        EXPECT_FALSE(FileManager::fileExists(file(name))) << name;
      else
        EXPECT_EQ(testsupport::readFile(file(name)), content) << name;
    }
    if (c.taken) {
      ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }, 5));
      const auto alerts = probe->pendingAlerts();
      ASSERT_EQ(alerts.size(), 1u);
      EXPECT_EQ(alerts[0].title, "File Name Error");
      EXPECT_EQ(alerts[0].message, "A file with that name already exists in the folder.");
      EXPECT_TRUE(probe->answerAlert("OK"));
    } else {
      RunLoop::main()->runPending();
      EXPECT_TRUE(probe->pendingAlerts().empty());
    }
    EXPECT_TRUE(delegate->taken().empty()) << delegate->taken().front();
  }
}

// The save back of an edited file: the temporary name renamed over the file, then the mode the
// listing showed; a server that refuses the mode leaves the saved file with its own, and says so
// only in the log.
TEST_P(MoveAndModePeersTest, AnEditedFileSentBackKeepsItsMode) {
  const struct {
    const char *what;
    std::string extra; // vsftpd only
    unsigned listed, after;
  } cases[] = {
      {"a private file", "", 0600, 0600},
      {"an executable file", "", 0750, 0750},
      {"a file of the default mode", "", 0644, 0644},
      // chmod_enable=NO: vsftpd refuses "SITE CHMOD"; the file gets its umask's mode.
      {"a server that refuses", "chmod_enable=NO\n", 0600, 0644},
  };
  // The phone sends it back over the folder screens' connection; the tablet through the transfer
  // queue, whose connection of its own lists nothing.
  for (const bool queued : {false, true})
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(c.what) + (queued ? ", through the queue" : ", from the phone"));
      if (!vsftpd() && !c.extra.empty()) continue;
      stopConnection();
      server = Server();
      ASSERT_NO_FATAL_FAILURE(serve(
          [&](const std::string &root) {
            testsupport::writeFile(root + "/notes.txt", "before");
            ::chmod((root + "/notes.txt").c_str(), c.listed);
          },
          c.extra));
      ASSERT_EQ(modeOf("notes.txt"), c.listed);
      const RemoteName folder = conn->cwdName();
      if (queued) {
        stopConnection();
        startConnection(address(server), false, server.user, server.pass);
      }
      const size_t mark = conn->transferLog().size();
      conn->uploadFile("notes.txt", Bytes{'a', 'f', 't', 'e', 'r'}, folder, false);
      ASSERT_NO_FATAL_FAILURE(settleJob());
      EXPECT_EQ(testsupport::readFile(file("notes.txt")), "after");
      EXPECT_EQ(modeOf("notes.txt"), c.after) << conn->transferLog().substr(mark);
      EXPECT_TRUE(delegate->taken().empty()) << delegate->taken().front();
      if (c.listed != c.after) {
        EXPECT_NE(conn->transferLog().find("did not take the mode", mark), std::string::npos);
      }
    }
}

// A private file saved back from the editor's working copy: its temporary file has the file's mode
// before the new content goes into it, so that the content is never readable by others on the
// server, and the file ends with its content and its mode.
TEST_P(MoveAndModePeersTest, APrivateFilesNewContentIsNeverReadableByOthersOnItsWay) {
  ASSERT_NO_FATAL_FAILURE(serve([&](const std::string &root) {
    testsupport::writeFile(root + "/secret.txt", "before");
    ::chmod((root + "/secret.txt").c_str(), 0600);
  }));
  testsupport::TempDir local("ferrowen-private-ftp");
  // Written in many pieces, each of which the watch looks at.
  std::string content;
  for (int i = 0; content.size() < (4u << 20); ++i)
    content += "line " + std::to_string(i) + " of the new secret\n";
  ASSERT_TRUE(testsupport::writeFile(local.file("secret.txt"), content));
  const size_t mark = conn->transferLog().size();
  {
    testsupport::ModeWatch watch(server.root, ".upload");
    ASSERT_TRUE(watch.watching());
    conn->uploadFile("secret.txt", local.file("secret.txt"), conn->cwdName(), false, 0);
    ASSERT_NO_FATAL_FAILURE(settleJob());
    EXPECT_FALSE(watch.modes().empty());
    EXPECT_FALSE(watch.everReadableByOthers()) << conn->transferLog().substr(mark);
  }
  EXPECT_TRUE(testsupport::readFile(file("secret.txt")) == content);
  EXPECT_EQ(modeOf("secret.txt"), 0600u) << conn->transferLog().substr(mark);
  EXPECT_FALSE(FileManager::fileExists(file("secret.upload.txt")));
  EXPECT_TRUE(delegate->taken().empty()) << delegate->taken().front();
}

} // namespace
