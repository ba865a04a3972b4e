// The whole application, started again after a run that closed while a file of a real FTP server
// (pyftpdlib) was being edited on iPhone: the connect screen offers it, "Edit File" connects with
// the stored server, user and password, the editor opens on the kept working file over the
// folder screen, and Save sends the edited text back over that connection.
#include "tests/app/shell/AppFixture.h"
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/interop/ftp/VsftpdPeer.h"
#include "tests/support/Peers.h"

#include "app/editor/EditFileView.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"
#include "app/shell/ShellConnect.h"
#include "tests/support/TimeScale.h"

using namespace platform;
using namespace platform::ui;

namespace {

class EditorRestoreFtpTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    Clock::install(nullptr); // a real server: real time
    attachConnectScreen(delegate);
    Connect::restoreDone = false;
  }
  bool waitFor(const std::function<bool()> &cond, double limit = 30) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(seconds(limit)));
  }
};

} // namespace

TEST_F(EditorRestoreFtpTest, EditedFileReopensAndGoesBackAfterARestart) {
  queuetest::QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/notes.txt", "draft\n"));
  // What the last run left: the working file with the text typed so far, and its record.
  const std::string working = Paths::tmp() + "/notes.txt";
  ASSERT_TRUE(testsupport::writeFile(working, "second draft\n"));
  auto &s = UserDefaults::standard();
  s.setObject("1", "TutorialPrompt");
  s.setObject(working, kEditingFTPFile);
  s.setObject("notes.txt", kWasEditingFileName);
  s.setObject("/", kWasEditingInFolder);
  s.setObject("127.0.0.1:" + std::to_string(peer.port()), kWasEditingServerNameKey);
  s.setObject("joe", kWasEditingUserNameKey);
  s.setObject(myEncryptString1("secret"), kWasEditingUserPassKey);
  s.setObject(std::to_string(peer.port()), kWasEditingServerPortKey);
  s.setObject("ftp", kWasEditingProtocolKey);
  s.synchronize();

  launch(DeviceProfile::iPhone());
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(probe->pendingAlerts().back().title, "Continue Editing File?");
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  auto nav = delegate->navigationController();
  ASSERT_TRUE(waitFor([&] {
    return std::dynamic_pointer_cast<EditFileView>(nav->topViewController()) != nullptr;
  }));
  auto editor = std::dynamic_pointer_cast<EditFileView>(nav->topViewController());
  EXPECT_EQ(editor->textFileName, "notes.txt");
  EXPECT_EQ(editor->theText->text(), "second draft\n");
  ASSERT_FALSE(editor->fReadOnly);
  // Wait for the login's listing before saving, as a person would see the folder first.
  ASSERT_TRUE(waitFor([&] { return peer.count("LIST") + peer.count("MLSD") > 0; }))
      << testsupport::readFile(peer.log());
  ASSERT_TRUE(probe->type("File Text", "final ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(peer.root() + "/notes.txt") == "final second draft\n";
  })) << testsupport::readFile(peer.log());
  // Saved back: nothing is left to offer at the next start.
  EXPECT_TRUE(waitFor([&] { return s.stringForKey(kEditingFTPFile).value_or("x").empty(); }));
}

// The record of a file named in ISO Latin-1 keeps that name's bytes, and those of its folder
// ("dé", stored in UTF-8): after a restart, on vsftpd as installed (no UTF-8 in its "FEAT"), the
// file reopens from that folder, its save goes to that file and not to one beside it whose name
// reads the same (nor into the folder beside whose Latin-1 name reads the same), and the folder
// above it, listed on the way back, is its own.
TEST_F(EditorRestoreFtpTest, AReopenedFileNamedInLatin1GoesBackToItself) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  REQUIRE_MACHINE(::geteuid() == 0, "vsftpd and its local user need root");
  testsupport::TempDir dir("ferrowen-restore-vsftpd");
  ::chmod(dir.path().c_str(), 0755);
  const std::string root = dir.file("root"), utf8 = "/d\xC3\xA9", latin1 = "/d\xE9";
  for (const std::string &folder : {utf8, latin1}) {
    FileManager::createDirectory(root + folder + "/in", true);
    ASSERT_TRUE(testsupport::writeFile(root + folder + "/in/caf\xE9.txt", "draft\n"));
    ASSERT_TRUE(testsupport::writeFile(root + folder + "/in/caf\xC3\xA9.txt", "the UTF-8 file\n"));
    ASSERT_TRUE(testsupport::writeFile(root + folder + "/mark" + (folder == utf8 ? "8" : "1"), ""));
    ASSERT_TRUE(
        testsupport::writeFile(root + folder + "/in/here" + (folder == utf8 ? "8" : "1"), ""));
  }
  auto server = vsftpdpeer::serveAsInstalled(root, dir.path());
  ASSERT_TRUE(server.ok) << server.why;
  const int port = server.port;

  const std::string working = Paths::tmp() + "/caf\xC3\xA9.txt";
  ASSERT_TRUE(testsupport::writeFile(working, "second draft\n"));
  auto &s = UserDefaults::standard();
  s.setObject("1", "TutorialPrompt");
  s.setObject(working, kEditingFTPFile);
  s.setObject("caf\xC3\xA9.txt", kWasEditingFileName);
  s.setObject(hexOfBytes("caf\xE9.txt"), kWasEditingFileNameBytesKey);
  s.setObject(root + utf8 + "/in", kWasEditingInFolder);
  s.setObject(hexOfBytes(root + utf8 + "/in"), kWasEditingInFolderBytesKey);
  s.setObject("127.0.0.1:" + std::to_string(port), kWasEditingServerNameKey);
  s.setObject(vsftpdpeer::kUser, kWasEditingUserNameKey);
  s.setObject(myEncryptString1(vsftpdpeer::kPass), kWasEditingUserPassKey);
  s.setObject(std::to_string(port), kWasEditingServerPortKey);
  s.setObject("ftp", kWasEditingProtocolKey);
  s.synchronize();

  launch(DeviceProfile::iPhone());
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  auto nav = delegate->navigationController();
  ASSERT_TRUE(waitFor([&] {
    return std::dynamic_pointer_cast<EditFileView>(nav->topViewController()) != nullptr;
  }));
  auto editor = std::dynamic_pointer_cast<EditFileView>(nav->topViewController());
  ASSERT_FALSE(editor->fReadOnly);
  // Wait for the login's listing before saving, as a person would see the folder first.
  ASSERT_TRUE(waitFor([&] {
    auto c = delegate->ftpConnection();
    return c && c->transferLog().find("*** Got ") != std::string::npos && c->iTask() == -1;
  }));
  ASSERT_TRUE(probe->type("File Text", "final ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(root + utf8 + "/in/caf\xE9.txt") == "final second draft\n";
  })) << delegate->ftpConnection()->transferLog();
  EXPECT_EQ(testsupport::readFile(root + utf8 + "/in/caf\xC3\xA9.txt"), "the UTF-8 file\n");
  EXPECT_EQ(testsupport::readFile(root + latin1 + "/in/caf\xE9.txt"), "draft\n");
  // Saved back to the file the record names: nothing is left to offer at the next start.
  EXPECT_TRUE(waitFor([&] { return s.stringForKey(kEditingFTPFile).value_or("x").empty(); }));

  // The folder under the editor is the file's own (the UTF-8 folder's), and so is the one above.
  auto shows = [&](const char *name) {
    return waitFor([&] {
      auto folder = std::dynamic_pointer_cast<DirViewer>(nav->topViewController());
      if (!folder || delegate->ftpConnection()->iTask() != -1) return false;
      for (auto &e : folder->currentDirectoryEverything)
        if (e->name() == name) return true;
      return false;
    });
  };
  EXPECT_TRUE(shows("here8")) << delegate->ftpConnection()->transferLog();
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_TRUE(shows("mark8")) << delegate->ftpConnection()->transferLog();
  server.process.stop();
}
