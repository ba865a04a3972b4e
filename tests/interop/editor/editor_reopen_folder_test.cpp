// The whole application on iPhone against real servers (OpenSSH's sshd, pyftpdlib), around a file
// of a folder below the login folder that was being edited when the last run closed:
// - "Edit File" reopens it over the folder's screen, titled with the folder's name; once the file
//   is closed, Back leads up the folders to the login folder, each screen listing its folder,
//   and then to the connect screen;
// - a save over SFTP that arrives ends the edit record (the next start asks nothing); one the
//   server refuses keeps it, with the typed text in the working file.
#include "tests/interop/editor/EditorPeers.h"
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/EditRecords.h"
#include "tests/support/SftpPeers.h"

#include "app/editor/EditFileView.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"
#include "app/sftp/SFTPService.h"
#include "app/shell/ShellConnect.h"

#include <pwd.h>
#include <sys/stat.h>

using namespace platform;
using namespace platform::ui;

namespace {

class EditorFolderTest : public EditorPeersTest {
protected:
  // The FTP tab's screens, bottom first: the connect screen, then each folder's shown title.
  std::string stack() {
    std::string out;
    for (auto &vc : nav()->viewControllers()) {
      auto folder = std::dynamic_pointer_cast<DirViewer>(vc);
      out += std::string(out.empty() ? "" : " > ") + (folder ? folder->title()
                                                      : std::dynamic_pointer_cast<EditFileView>(vc)
                                                          ? "editor"
                                                          : "connect");
    }
    return out;
  }
  // Back from the folder on top; the folder screen under it lists its folder, holding `entry`.
  void backTo(const std::string &entry) {
    ASSERT_TRUE(probe->tapBack()) << probe->lastError() << "\n" << stack();
    ASSERT_TRUE(waitFor([&] {
      auto screen = onTop<DirViewer>();
      if (!screen || !screen->loadedDirectory) return false;
      for (auto &e : screen->currentDirectoryEverything)
        if (e->name() == entry) return true;
      return false;
    })) << stack()
        << " does not list " << entry;
  }
};

// A folder made in the SFTP account's home for one test, removed after it.
class HomeFolder {
public:
  HomeFolder() {
    const passwd *pw = ::getpwnam(testsupport::kSftpUser);
    if (pw) path_ = std::string(pw->pw_dir) + "/" + name_;
    FileManager::createDirectory(path_ + "/docs", true);
    for (const std::string &d : {path_, path_ + "/docs"})
      ::chmod(d.c_str(), 0777);
  }
  ~HomeFolder() { FileManager::removeItem(path_); }
  const std::string &path() const { return path_; }
  const std::string &name() const { return name_; }

private:
  std::string name_ = "ferrowen-folder-" + std::to_string(::getpid());
  std::string path_;
};

} // namespace

TEST_F(EditorFolderTest, AnSftpReopenLeadsUpToTheLoginFolderAndItsSaveEndsTheRecord) {
  ASSERT_TRUE(testsupport::ensureSftpUser());
  HomeFolder home;
  ASSERT_TRUE(testsupport::writeFile(home.path() + "/docs/note.txt", "first line\n"));
  ::chmod((home.path() + "/docs/note.txt").c_str(), 0666);
  auto sshd = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  // As the folder screens name it: below the login folder ".".
  const std::string working = testsupport::leaveEditRecord(
      {address(sshd->port()), testsupport::kSftpUser, testsupport::kSftpPass, sshd->port(), "sftp",
       "./" + home.name() + "/docs", "note.txt", "first line\ntyped\n", "1"});
  launch(DeviceProfile::iPhone());
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return onTop<EditFileView>() != nullptr; })) << sshd->log();
  EXPECT_EQ(stack(), "connect > / > " + home.name() + " > docs > editor");

  ASSERT_TRUE(probe->type("File Text", "saved ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(home.path() + "/docs/note.txt") == "saved first line\ntyped\n";
  })) << sshd->log();
  // Arrived: nothing is asked at the next start.
  EXPECT_TRUE(waitFor([&] { return testsupport::editRecordNow().empty(); }))
      << testsupport::editRecordNow();
  EXPECT_FALSE(FileManager::fileExists(working));

  // The folder's screen, titled with its name; Back leads up, each screen listing its folder.
  ASSERT_TRUE(waitFor([&] { return onTop<DirViewer>() != nullptr; })) << stack();
  EXPECT_EQ(onTop<DirViewer>()->title(), "docs");
  EXPECT_FALSE(onTop<DirViewer>()->rootFolder);
  backTo("docs");
  EXPECT_EQ(onTop<DirViewer>()->title(), home.name());
  backTo(home.name());
  EXPECT_EQ(onTop<DirViewer>()->title(), "/");
  EXPECT_TRUE(onTop<DirViewer>()->rootFolder);
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_EQ(stack(), "connect");
}

TEST_F(EditorFolderTest, AnFtpReopenLeadsUpToTheTopFolder) {
  queuetest::QueuePeer ftp;
  ASSERT_TRUE(ftp.ready());
  FileManager::createDirectory(ftp.root() + "/docs", true);
  ASSERT_TRUE(testsupport::writeFile(ftp.root() + "/docs/note.txt", "server text\n"));
  // As the server's PWD named the folder; the working file is what the server has.
  testsupport::leaveEditRecord({address(ftp.port()), "joe", "secret", ftp.port(), "ftp", "/docs",
                                "note.txt", "server text\n", "0"});
  launch(DeviceProfile::iPhone());
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return onTop<EditFileView>() != nullptr; }))
      << testsupport::readFile(ftp.log());
  EXPECT_EQ(stack(), "connect > / > docs > editor");
  // Nothing changed: Cancel closes it at once.
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  EXPECT_TRUE(probe->pendingAlerts().empty());
  ASSERT_TRUE(waitFor([&] { return onTop<DirViewer>() != nullptr; })) << stack();
  EXPECT_EQ(onTop<DirViewer>()->title(), "docs");
  backTo("docs");
  EXPECT_EQ(onTop<DirViewer>()->title(), "/");
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_EQ(stack(), "connect");
}

// A save the SFTP server refuses (the folder and the file cannot be written by the account):
// the record and the typed text stay for the next start, and the failure is shown.
TEST_F(EditorFolderTest, AnSftpSaveTheServerRefusesKeepsTheRecord) {
  ASSERT_TRUE(testsupport::ensureSftpUser());
  HomeFolder home;
  ASSERT_TRUE(testsupport::writeFile(home.path() + "/docs/note.txt", "first line\n"));
  for (auto [path, mode] :
       {std::pair{home.path() + "/docs/note.txt", 0444}, std::pair{home.path() + "/docs", 0555}})
    ::chmod(path.c_str(), mode);
  auto sshd = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  const std::string working = testsupport::leaveEditRecord(
      {address(sshd->port()), testsupport::kSftpUser, testsupport::kSftpPass, sshd->port(), "sftp",
       "./" + home.name() + "/docs", "note.txt", "first line\n", "0"});
  launch(DeviceProfile::iPhone());
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return onTop<EditFileView>() != nullptr; })) << sshd->log();
  auto service = std::dynamic_pointer_cast<SFTPService>(onTop<EditFileView>()->sftpConnection);
  ASSERT_TRUE(service);
  ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  // The folder screen under the editor shows the service's failure.
  ASSERT_TRUE(waitFor([&] {
    auto screen = onTop<DirViewer>();
    return screen && screen->progressText &&
           screen->progressText->text() == "Error Uploading File!";
  })) << stack();
  EXPECT_EQ(testsupport::readFile(home.path() + "/docs/note.txt"), "first line\n");
  const std::string record = testsupport::editRecordNow();
  EXPECT_NE(record.find("EditingFTPFile=" + working), std::string::npos) << record;
  EXPECT_NE(record.find("EditingChanged=1"), std::string::npos) << record;
  EXPECT_EQ(testsupport::readFile(working), "typed first line\n");
}
