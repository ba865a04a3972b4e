// The whole application against real FTP servers (pyftpdlib; vsftpd as installed, plain and
// FTPS): a save back never writes over a server's file that another changed since the edit began.
// On both roads a save over FTP takes (the tablet's save through Transfers, the phone's save over
// its own connection) the server's file is looked at first, on the session that uploads. Unchanged,
// the text arrives. Changed in any way (other text, the same size with other bytes, grown, emptied,
// removed), nothing goes over it: the save waits in Transfers, and "File Changed" is asked; "Keep
// Typed Text" sends the text, "Take the File" leaves the other's file and the row goes. A look the
// server cuts off leaves the save waiting for its server, and it arrives once the server answers.
// A server that does not tell sizes has the file read, but never more of it than an edit holds.
#include "tests/interop/editor/EditorPeers.h"
#include "tests/interop/ftp/VsftpdPeer.h"
#include "tests/support/EditRecords.h"
#include "tests/support/Peers.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditState.h"
#include "app/queue/BatchListView.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using namespace platform::ui;

namespace {

enum class Road { TabletQueued, PhoneDirect };
enum class Peer { Pyftpdlib, PyftpdlibNoSize, Vsftpd, VsftpdFtps };
enum class Server {
  Unchanged,
  Rewritten,
  SameSizeOtherBytes,
  Grown,
  Emptied,
  Removed,
  Huge,      // far larger than any edit (on a server without "SIZE": read, and cut off)
  CutAtSize, // the server cuts the session at the look's "SIZE"
  CutAtRetr, // ... at the look's "RETR"
};
enum class Answer { None, KeepTyped, TakeTheFile };
struct Case {
  Road road;
  Peer peer;
  Server server;
  Answer answer = Answer::None;
};
std::string nameOf(const Case &c) {
  const char *road[] = {"Tablet", "Phone"};
  const char *peer[] = {"Pyftpdlib", "PyftpdlibNoSize", "Vsftpd", "VsftpdFtps"};
  const char *server[] = {"Unchanged", "Rewritten", "SameSizeOtherBytes", "Grown",    "Emptied",
                          "Removed",   "Huge",      "CutAtSize",          "CutAtRetr"};
  const char *answer[] = {"", "KeepTyped", "TakeTheFile"};
  return std::string(road[int(c.road)]) + peer[int(c.peer)] + server[int(c.server)] +
         answer[int(c.answer)];
}
void PrintTo(const Case &c, std::ostream *out) {
  *out << nameOf(c);
}

const std::string kOriginal = "first line\n";

// What another person leaves in the server's file (nullopt: removed it).
std::optional<std::string> theirs(Server server) {
  switch (server) {
  case Server::Rewritten:
    return "another person's text\n";
  case Server::SameSizeOtherBytes:
    return "FIRST LINE\n";
  case Server::Grown:
    return kOriginal + "and a line more\n";
  case Server::Emptied:
    return "";
  case Server::Huge:
    return std::string(40u << 20, 'x');
  case Server::Removed:
    return std::nullopt;
  default:
    return kOriginal;
  }
}

bool changes(Server server) {
  return server != Server::Unchanged && server != Server::CutAtSize && server != Server::CutAtRetr;
}

// One of the servers, serving `root` (its "docs" holds note.txt).
class FtpServer {
public:
  FtpServer(Peer peer, const std::string &root, const std::string &dir) : peer_(peer) {
    if (peer == Peer::Pyftpdlib || peer == Peer::PyftpdlibNoSize) {
      std::map<std::string, std::string> env{{"QUEUE_FTP_CUT_FILE", dir + "/cut"}};
      if (peer == Peer::PyftpdlibNoSize) env["QUEUE_FTP_NO_SIZE"] = "1";
      py_ = std::make_unique<queuetest::QueuePeer>(testsupport::freeTcpPort(), env);
      cutFile_ = dir + "/cut";
      ok_ = py_->ready();
      why_ = ok_ ? "" : py_->serverLog();
      return;
    }
    std::string tls;
    if (peer == Peer::VsftpdFtps) {
      if (!testsupport::makeSelfSignedCert(dir + "/cert.pem", dir + "/key.pem")) {
        why_ = "no certificate";
        return;
      }
      tls = vsftpdpeer::stockTls(dir + "/cert.pem", dir + "/key.pem");
    }
    if (!vsftpdpeer::ensureLocalUser()) {
      why_ = "the local user could not be made";
      return;
    }
    testsupport::runCommand("chown -R " + std::string(vsftpdpeer::kUser) + " '" + root + "'");
    const int port = testsupport::freeTcpPort();
    testsupport::writeFile(dir + "/vsftpd.conf",
                           vsftpdpeer::config(port, root, dir + "/vsftpd.log", tls));
    vsftpd_ = testsupport::Process({"/usr/sbin/vsftpd", dir + "/vsftpd.conf"}, dir);
    port_ = port;
    ok_ = testsupport::waitForTcpPort(port);
    why_ = ok_ ? "" : vsftpd_.errors();
  }
  bool ok() const { return ok_; }
  std::string why() const { return why_; }
  int port() const { return py_ ? py_->port() : port_; }
  std::string root() const { return py_ ? py_->root() : std::string(); }
  std::string user() const { return py_ ? "joe" : vsftpdpeer::kUser; }
  std::string password() const { return py_ ? "secret" : vsftpdpeer::kPass; }
  int segment() const { return peer_ == Peer::VsftpdFtps ? 1 : 0; }
  // The next command line `line` closes the session instead of being answered (pyftpdlib).
  bool cutAt(const std::string &line) { return testsupport::writeFile(cutFile_, line); }
  bool cutDone() const { return !FileManager::fileExists(cutFile_); }
  size_t count(const std::string &command) const { return py_ ? py_->count(command) : 0; }
  std::string log() const { return py_ ? testsupport::readFile(py_->log()) : vsftpd_.errors(); }

private:
  Peer peer_;
  std::unique_ptr<queuetest::QueuePeer> py_;
  testsupport::Process vsftpd_;
  std::string cutFile_;
  int port_ = 0;
  bool ok_ = false;
  std::string why_;
};

class FtpServerChangedTest : public EditorPeersTest, public ::testing::WithParamInterface<Case> {
protected:
  bool asked(const std::string &title) {
    return waitFor([&] {
      auto alerts = probe->pendingAlerts();
      return !alerts.empty() && alerts.back().title == title;
    });
  }
};

} // namespace

TEST_P(FtpServerChangedTest, ASaveBackNeverWritesOverAServerFileChangedSinceTheEditBegan) {
  const Case c = GetParam();
  const bool vsftpd = c.peer == Peer::Vsftpd || c.peer == Peer::VsftpdFtps;
  if (vsftpd) {
    REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
    REQUIRE_MACHINE(::geteuid() == 0, "vsftpd and its local user need root");
  }
  testsupport::TempDir dir("ferrowen-ftp-server-changed");
  ::chmod(dir.path().c_str(), 0755);
  const std::string vsftpdRoot = dir.file("root");
  FileManager::createDirectory(vsftpdRoot, true);
  FtpServer server(c.peer, vsftpdRoot, dir.path());
  ASSERT_TRUE(server.ok()) << server.why();
  const std::string root = vsftpd ? vsftpdRoot : server.root();
  holdNote(root, kOriginal);
  if (vsftpd)
    testsupport::runCommand("chown -R " + std::string(vsftpdpeer::kUser) + " '" + root + "'");
  const std::string onServer = root + "/docs/note.txt";
  auto &s = UserDefaults::standard();
  s.setObject("1", kSavePasswordsKey);

  Connect::restoreDone = true;
  launch(c.road == Road::TabletQueued ? DeviceProfile::iPad() : DeviceProfile::iPhone());
  connectTo(address(server.port()), server.user(), server.password(), server.segment());
  ASSERT_TRUE(listed("docs")) << stack() << "\n" << server.log();
  ASSERT_TRUE(probe->tapRow("docs")) << probe->lastError();
  ASSERT_TRUE(listed("note.txt")) << stack();
  ASSERT_TRUE(probe->tapRow("note.txt")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Edit")) << probe->lastError();
  auto editor = editorShowing(kOriginal);
  ASSERT_TRUE(editor) << stack() << "\n" << server.log();
  ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
  const std::string working = editor->editingFileAtPath;
  const std::string ours = editor->theText->text();
  ASSERT_EQ(ours, "typed " + kOriginal);

  // Meanwhile another person writes (or removes) the server's file; or the server is to cut the
  // session at the look.
  if (c.server == Server::CutAtSize) {
    ASSERT_TRUE(server.cutAt("SIZE note.txt"));
  }
  if (c.server == Server::CutAtRetr) {
    ASSERT_TRUE(server.cutAt("RETR note.txt"));
  }
  const auto left = theirs(c.server);
  if (!left) {
    ASSERT_TRUE(FileManager::removeItem(onServer));
  } else if (changes(c.server)) {
    ASSERT_TRUE(testsupport::writeFile(onServer, *left));
  }
  const size_t retrBefore = server.count("RETR");
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  auto queue = delegate->batchView();

  if (!changes(c.server)) {
    if (c.server != Server::Unchanged) {
      // The look was cut off: nothing was written, and the save waits for its server.
      ASSERT_TRUE(waitFor([&] { return server.cutDone(); })) << server.log();
      if (c.road == Road::PhoneDirect) {
        ASSERT_TRUE(asked("File Not Saved")) << rowSays();
        EXPECT_EQ(probe->pendingAlerts().back().message,
                  "\"note.txt\" could not be sent back to the server. It waits in Transfers to "
                  "be sent again.");
        ASSERT_TRUE(probe->answerAlert("OK")) << probe->lastError();
      }
    }
    ASSERT_TRUE(waitFor([&] { return testsupport::readFile(onServer) == ours; }))
        << server.log() << rowSays();
    ASSERT_TRUE(waitFor([&] { return queue->batchItemList().empty(); })) << rowSays();
    EXPECT_TRUE(probe->pendingAlerts().empty()) << probe->pendingAlerts().back().title;
    EXPECT_TRUE(waitFor([&] { return !FileManager::fileExists(working); }));
    // The look read the file (its size agreed) before the text went over it.
    if (c.peer == Peer::Pyftpdlib && c.server == Server::Unchanged) {
      EXPECT_GT(server.count("RETR"), retrBefore) << server.log();
    }
    return;
  }

  // Changed: asked, and nothing written over it meanwhile; the save waits in Transfers.
  ASSERT_TRUE(asked("File Changed")) << rowSays() << "\n" << server.log();
  EXPECT_EQ(probe->pendingAlerts().back().message,
            "\"note.txt\" was changed outside the editor. Keep the text typed here, "
            "or take the file as it is now?");
  pause(1);
  if (left)
    EXPECT_TRUE(testsupport::readFile(onServer) == *left) << "the server's file was written over";
  else
    EXPECT_FALSE(FileManager::fileExists(onServer));
  ASSERT_EQ(queue->batchItemList().size(), 1u);
  EXPECT_TRUE(row()->errorMsg().empty()) << row()->errorMsg();
  EXPECT_FALSE(queue->fPaused());
  EXPECT_EQ(testsupport::readFile(working), ours);
  if (c.server == Server::Huge) {
    // The file was read only as far as an edit could reach, then the transfer was aborted.
    EXPECT_GT(server.count("ABOR"), 0u) << server.log();
  }

  if (c.answer == Answer::KeepTyped) {
    ASSERT_TRUE(probe->answerAlert("Keep Typed Text")) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return testsupport::readFile(onServer) == ours; }))
        << server.log() << rowSays();
    ASSERT_TRUE(waitFor([&] { return queue->batchItemList().empty(); })) << rowSays();
    EXPECT_TRUE(waitFor([&] { return !FileManager::fileExists(working); }));
  } else {
    ASSERT_TRUE(probe->answerAlert("Take the File")) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return queue->batchItemList().empty(); })) << rowSays();
    pause(1);
    if (left)
      EXPECT_TRUE(testsupport::readFile(onServer) == *left);
    else
      EXPECT_FALSE(FileManager::fileExists(onServer));
    EXPECT_FALSE(FileManager::fileExists(working));
  }
  EXPECT_FALSE(EditState::sendBackBase(working));
  EXPECT_EQ(testsupport::editRecordNow(), "");
  EXPECT_TRUE(probe->pendingAlerts().empty()) << probe->pendingAlerts().back().title;
}

INSTANTIATE_TEST_SUITE_P(
    Roads, FtpServerChangedTest,
    ::testing::Values(
        // Each state of the server's file, on each road.
        Case{Road::TabletQueued, Peer::Pyftpdlib, Server::Unchanged},
        Case{Road::TabletQueued, Peer::Pyftpdlib, Server::Rewritten, Answer::KeepTyped},
        Case{Road::TabletQueued, Peer::Pyftpdlib, Server::SameSizeOtherBytes, Answer::TakeTheFile},
        Case{Road::TabletQueued, Peer::Pyftpdlib, Server::Grown, Answer::KeepTyped},
        Case{Road::TabletQueued, Peer::Pyftpdlib, Server::Emptied, Answer::TakeTheFile},
        Case{Road::TabletQueued, Peer::Pyftpdlib, Server::Removed, Answer::KeepTyped},
        Case{Road::PhoneDirect, Peer::Pyftpdlib, Server::Unchanged},
        Case{Road::PhoneDirect, Peer::Pyftpdlib, Server::Rewritten, Answer::TakeTheFile},
        Case{Road::PhoneDirect, Peer::Pyftpdlib, Server::SameSizeOtherBytes, Answer::KeepTyped},
        Case{Road::PhoneDirect, Peer::Pyftpdlib, Server::Emptied, Answer::KeepTyped},
        Case{Road::PhoneDirect, Peer::Pyftpdlib, Server::Removed, Answer::TakeTheFile},
        // The look cut off by the server.
        Case{Road::TabletQueued, Peer::Pyftpdlib, Server::CutAtSize},
        Case{Road::TabletQueued, Peer::Pyftpdlib, Server::CutAtRetr},
        Case{Road::PhoneDirect, Peer::Pyftpdlib, Server::CutAtRetr},
        // No "SIZE": the file's bytes tell, read no further than an edit could reach.
        Case{Road::TabletQueued, Peer::PyftpdlibNoSize, Server::Unchanged},
        Case{Road::TabletQueued, Peer::PyftpdlibNoSize, Server::Grown, Answer::KeepTyped},
        Case{Road::TabletQueued, Peer::PyftpdlibNoSize, Server::Removed, Answer::TakeTheFile},
        Case{Road::TabletQueued, Peer::PyftpdlibNoSize, Server::Huge, Answer::TakeTheFile},
        // vsftpd as installed, plain and FTPS.
        Case{Road::TabletQueued, Peer::Vsftpd, Server::Unchanged},
        Case{Road::TabletQueued, Peer::Vsftpd, Server::SameSizeOtherBytes, Answer::KeepTyped},
        Case{Road::PhoneDirect, Peer::Vsftpd, Server::Emptied, Answer::TakeTheFile},
        Case{Road::TabletQueued, Peer::VsftpdFtps, Server::Unchanged},
        Case{Road::TabletQueued, Peer::VsftpdFtps, Server::Grown, Answer::TakeTheFile},
        Case{Road::PhoneDirect, Peer::VsftpdFtps, Server::Rewritten, Answer::KeepTyped}),
    [](const auto &info) { return nameOf(info.param); });
