// The whole application on iPhone, started again after a run that closed with a remote file open
// in the editor, against real servers (pyftpdlib and OpenSSH's sshd): "Edit File" opens the file
// only on the connection it came from (an SFTP file on its SFTP connection, where Save sends it);
// a reopen whose own connect fails (a refused login, no network) shows why and ends there, so a
// later connect to another server B opens nothing and B's file of that name stays as it was; a
// record of an earlier version (no port, no protocol) is opened on no connection at all.
#include "tests/interop/editor/EditorPeers.h"
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/EditRecords.h"
#include "tests/support/SftpPeers.h"

#include "app/editor/EditFileView.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"
#include "app/shell/HelpScreens.h"
#include "app/shell/ShellConnect.h"

#include <sys/stat.h>

using namespace platform;
using namespace platform::ui;
using testsupport::EditRecord;

namespace {

class EditorReopenTest : public EditorPeersTest {
protected:
  // Starts the program and answers the question about the file of the last run.
  void startAndAnswerEditFile() {
    launch(DeviceProfile::iPhone());
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
    ASSERT_EQ(probe->pendingAlerts().back().title, "Continue Editing File?");
    ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  }
  // The help page the FTP tab shows for a failure, once it is pushed.
  bool showsHelpPage(const std::string &page) {
    return waitFor([&] {
      auto help = onTop<HelpViewController>();
      return help && help->fileUrlIn.size() >= page.size() &&
             help->fileUrlIn.compare(help->fileUrlIn.size() - page.size(), page.size(), page) == 0;
    });
  }
};

} // namespace

TEST_F(EditorReopenTest, AnSftpFileReopensOnItsSftpConnectionAndIsSavedThere) {
  ASSERT_TRUE(testsupport::ensureSftpUser());
  testsupport::TempDir served("ferrowen-reopen-sftp");
  ::chmod(served.path().c_str(), 0777);
  holdNote(served.path(), "first line\n");
  auto sshd = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  // The segment the person left on FTP: the record's protocol decides.
  UserDefaults::standard().setObject("0", "ProtocolType");
  testsupport::leaveEditRecord({address(sshd->port()), testsupport::kSftpUser,
                                testsupport::kSftpPass, sshd->port(), "sftp",
                                served.path() + "/docs", "note.txt", "first line\ntyped\n"});
  startAndAnswerEditFile();
  ASSERT_TRUE(waitFor([&] { return onTop<EditFileView>() != nullptr; })) << sshd->log();
  auto editor = onTop<EditFileView>();
  EXPECT_TRUE(editor->sftpConnection);
  EXPECT_FALSE(editor->theConnection);
  EXPECT_FALSE(editor->fReadOnly);
  EXPECT_FALSE(connectScreen()->reopenAfterConnect());
  EXPECT_EQ(editor->theText->text(), "first line\ntyped\n");
  ASSERT_TRUE(probe->type("File Text", "saved ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(served.path() + "/docs/note.txt") == "saved first line\ntyped\n";
  })) << sshd->log();
}

// The reopen's own connect ends before any listing; the failure is shown, and the person's next
// connect, to server B, opens no editor and sends B nothing of the file.
enum class Failure { SftpLoginRefused, FtpLoginRefused, NoInternet };

class FailedReopenTest : public EditorReopenTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailedReopenTest, IsShownAndNothingReachesTheNextServer) {
  const Failure failure = GetParam();
  testsupport::TempDir served("ferrowen-reopen-a");
  ::chmod(served.path().c_str(), 0777);
  queuetest::QueuePeer ftpA, b;
  ASSERT_TRUE(ftpA.ready() && b.ready());
  holdNote(ftpA.root(), "A's text\n");
  holdNote(b.root(), "B's own text\n");
  std::unique_ptr<testsupport::SshPeer> sshd;
  EditRecord record{address(ftpA.port()), "joe", "secret", ftpA.port(), "ftp", "docs", "note.txt",
                    "A's text\nedited\n"};
  if (failure == Failure::SftpLoginRefused) {
    ASSERT_TRUE(testsupport::ensureSftpUser());
    holdNote(served.path(), "A's text\n");
    sshd = testsupport::SshPeer::sshd({});
    ASSERT_TRUE(sshd->started()) << sshd->why();
    record = {address(sshd->port()),
              testsupport::kSftpUser,
              "not-the-password",
              sshd->port(),
              "sftp",
              served.path() + "/docs",
              "note.txt",
              "A's text\nedited\n"};
  } else if (failure == Failure::FtpLoginRefused) {
    record.password = "not-the-password";
  }
  testsupport::leaveEditRecord(record);

  launch(DeviceProfile::iPhone());
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  if (failure == Failure::NoInternet) connectScreen()->hooks.reachable = [] { return false; };
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  switch (failure) {
  case Failure::SftpLoginRefused:
    EXPECT_TRUE(showsHelpPage("error-sftp-login.html")) << stack() << "\n" << sshd->log();
    break;
  case Failure::FtpLoginRefused:
    EXPECT_TRUE(showsHelpPage("error-530.html")) << stack() << "\n"
                                                 << testsupport::readFile(ftpA.log());
    break;
  case Failure::NoInternet:
    ASSERT_FALSE(probe->pendingAlerts().empty());
    EXPECT_EQ(probe->pendingAlerts().back().title, "No Internet?");
    ASSERT_TRUE(probe->answerAlert("OK"));
    connectScreen()->hooks.reachable = [] { return true; };
    break;
  }
  EXPECT_FALSE(onTop<EditFileView>());
  EXPECT_FALSE(connectScreen()->reopenAfterConnect());

  connectOverFtp(address(b.port()));
  waitForListing(b);
  EXPECT_FALSE(onTop<EditFileView>()) << "the file of the last run opened on another server";
  EXPECT_EQ(testsupport::readFile(b.root() + "/docs/note.txt"), "B's own text\n");
  for (const char *command : {"STOR", "APPE", "RNFR", "DELE"})
    EXPECT_EQ(b.count(command), 0u) << command << "\n" << testsupport::readFile(b.log());
  // Nor does B's session go into the folder kept with the file.
  for (const std::string &line : b.commands())
    EXPECT_EQ(line.find("docs"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Failures, FailedReopenTest,
                         ::testing::Values(Failure::SftpLoginRefused, Failure::FtpLoginRefused,
                                           Failure::NoInternet),
                         [](const ::testing::TestParamInfo<Failure> &info) {
                           switch (info.param) {
                           case Failure::SftpLoginRefused:
                             return std::string("SftpLoginRefused");
                           case Failure::FtpLoginRefused:
                             return std::string("FtpLoginRefused530");
                           case Failure::NoInternet:
                             break;
                           }
                           return std::string("NoInternet");
                         });

TEST_F(EditorReopenTest, ARecordThatDoesNotSayWhereItCameFromConnectsNowhere) {
  queuetest::QueuePeer a;
  ASSERT_TRUE(a.ready());
  holdNote(a.root(), "A's text\n");
  // As an earlier version kept it: server, user and password, no port and no protocol.
  const std::string working = testsupport::leaveEditRecord(
      {address(a.port()), "joe", "secret", 0, "", "docs", "note.txt", "edited\n"});
  startAndAnswerEditFile();
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(probe->pendingAlerts().back().title, "Cannot Reopen");
  EXPECT_EQ(probe->pendingAlerts().back().message,
            "\"note.txt\" cannot be reopened: which server it came from was not kept with it.");
  ASSERT_TRUE(probe->answerAlert("OK"));
  pause(0.5);
  EXPECT_EQ(nav()->topViewController(), connectScreen());
  EXPECT_EQ(a.count("USER"), 0u) << testsupport::readFile(a.log());
  EXPECT_EQ(testsupport::readFile(a.root() + "/docs/note.txt"), "A's text\n");
  // Forgotten, as after Cancel: the next start asks nothing.
  EXPECT_EQ(UserDefaults::standard().stringForKey(kEditingFTPFile).value_or(""), "");
  EXPECT_FALSE(FileManager::fileExists(working));
}
