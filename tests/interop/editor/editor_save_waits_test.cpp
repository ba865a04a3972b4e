// The whole application on iPhone: a file reopened from the last run's record is saved while its
// server goes away part way through the upload (pyftpdlib stopped; OpenSSH's sshd behind a relay
// that cuts every connection after 32,000 bytes and refuses new ones). The save waits in Transfers
// for the server ("Waiting for the server: ..."), the queue is not paused, and once the server is
// back the file arrives by itself. The server has the text then: the edit's record and working
// copy are gone, nothing is offered at the next start, and the next file edited is recorded. A
// save of the reopened edit while the last run's save still waits joins that row.
#include "tests/interop/editor/EditorPeers.h"
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/CutRelay.h"
#include "tests/support/EditRecords.h"
#include "tests/support/SftpPeers.h"

#include "app/editor/EditFileView.h"
#include "app/queue/BatchListView.h"

#include <sys/stat.h>

#include <filesystem>

using namespace platform;
using namespace platform::ui;

namespace {

enum class Kind { Ftp, Sftp };
void PrintTo(Kind k, std::ostream *out) {
  *out << (k == Kind::Ftp ? "FTP" : "SFTP");
}

// A server that can be cut off during an upload and brought back on its port.
class AwayServer {
public:
  explicit AwayServer(Kind kind) : kind_(kind) {
    if (kind == Kind::Ftp) {
      // Slow enough (20 KB a second) to be still receiving the file when it stops.
      ftp_ = std::make_unique<queuetest::QueuePeer>(20 * 1024);
      ready_ = ftp_->ready();
      root_ = ftp_->root();
      return;
    }
    ready_ = testsupport::ensureSftpUser();
    served_ = std::make_unique<testsupport::TempDir>("ferrowen-save-waits");
    ::chmod(served_->path().c_str(), 0777);
    root_ = served_->path();
    sshd_ = testsupport::SshPeer::sshd({});
    ready_ = ready_ && sshd_->started();
    if (ready_) relay_ = std::make_unique<testsupport::CutRelay>(sshd_->port());
    ready_ = ready_ && relay_->listening();
  }
  bool ready() const { return ready_; }
  int port() const { return ftp_ ? ftp_->port() : relay_->port(); }
  const std::string &root() const { return root_; }
  testsupport::EditRecord record(const std::string &text) const {
    if (kind_ == Kind::Ftp)
      return {"127.0.0.1:" + std::to_string(port()),
              "joe",
              "secret",
              port(),
              "ftp",
              "/docs",
              "note.txt",
              text};
    return {"127.0.0.1:" + std::to_string(port()),
            testsupport::kSftpUser,
            testsupport::kSftpPass,
            port(),
            "sftp",
            root_ + "/docs",
            "note.txt",
            text};
  }
  // Before Save: the SFTP relay cuts once the upload is well under way.
  void armCut() {
    if (relay_) relay_->cutAfter(32000);
  }
  // The FTP server stops once part of the upload has arrived (under the upload's own name).
  bool cutOff(const std::function<bool(const std::function<bool()> &)> &waitFor) {
    if (relay_) return waitFor([&] { return relay_->isCut(); });
    const bool partial = waitFor([&] {
      std::error_code ec;
      for (auto &e : std::filesystem::directory_iterator(root_ + "/docs", ec))
        if (e.path().filename() != "note.txt" && e.file_size(ec) > 0) return true;
      return false;
    });
    ftp_->stop();
    return partial;
  }
  bool back() { return relay_ ? relay_->back() : ftp_->restart(); }

private:
  Kind kind_;
  bool ready_ = false;
  std::string root_;
  std::unique_ptr<queuetest::QueuePeer> ftp_;
  std::unique_ptr<testsupport::TempDir> served_;
  std::unique_ptr<testsupport::SshPeer> sshd_;
  std::unique_ptr<testsupport::CutRelay> relay_;
};

class EditorSaveWaitsTest : public EditorPeersTest, public ::testing::WithParamInterface<Kind> {};

} // namespace

TEST_P(EditorSaveWaitsTest, ASaveCutOffWaitsInTransfersArrivesAndEndsItsRecord) {
  const Kind kind = GetParam();
  AwayServer server(kind);
  ASSERT_TRUE(server.ready());
  std::string original;
  for (int i = 0; i < 20000; ++i)
    original += "line " + std::to_string(i) + "\n";
  holdNote(server.root(), original);
  auto &s = UserDefaults::standard();
  s.setObject("1", kSavePasswordsKey);
  const std::string working = testsupport::leaveEditRecord(server.record(original));

  launch(DeviceProfile::iPhone());
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return onTop<EditFileView>() != nullptr; })) << stack();
  ASSERT_TRUE(waitFor([&] { return onTop<EditFileView>()->theText->text() == original; }));
  // The folder under the editor has been listed, as a person would see it first.
  pause(1);
  ASSERT_TRUE(probe->type("File Text", "typed line\n")) << probe->lastError();
  server.armCut();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  ASSERT_TRUE(server.cutOff([&](const std::function<bool()> &cond) { return waitFor(cond, 30); }));

  auto queue = delegate->batchView();
  auto row = [&]() -> std::shared_ptr<BatchItem> {
    auto &list = queue->batchItemList();
    return list.empty() ? nullptr : list.front();
  };
  // The save waits in Transfers for its server, saying why; the queue goes on (not paused).
  ASSERT_TRUE(waitFor([&] {
    return row() && row()->statusMsg().rfind("Waiting for the server: ", 0) == 0;
  })) << (row() ? row()->statusMsg() + " / " + row()->errorMsg() : "no row");
  EXPECT_EQ(queue->batchItemList().size(), 1u);
  EXPECT_EQ(row()->filename(), "note.txt");
  EXPECT_TRUE(row()->errorMsg().empty()) << row()->errorMsg();
  EXPECT_FALSE(queue->fPaused());
  if (kind == Kind::Sftp) {
    // The phone is told where the save is.
    ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
    EXPECT_EQ(probe->pendingAlerts().back().title, "File Not Saved");
    EXPECT_EQ(probe->pendingAlerts().back().message,
              "\"note.txt\" could not be sent back to the server. It waits in Transfers to be "
              "sent again.");
    ASSERT_TRUE(probe->answerAlert("OK"));
  }
  EXPECT_NE(testsupport::readFile(server.root() + "/docs/note.txt"), "typed line\n" + original);

  // Back: the file arrives by itself, with no Play pressed.
  ASSERT_TRUE(server.back());
  ASSERT_TRUE(waitFor([&] { return queue->batchItemList().empty(); }, 120))
      << (row() ? row()->statusMsg() + " / " + row()->errorMsg() : "");
  EXPECT_EQ(testsupport::readFile(server.root() + "/docs/note.txt"), "typed line\n" + original);
  EXPECT_FALSE(queue->fPaused());

  // The server has the text: the record and the working copy are gone.
  EXPECT_EQ(testsupport::editRecordNow(), "");
  EXPECT_FALSE(FileManager::fileExists(working));

  // The next file edited is recorded, for the next start.
  const std::string other = Paths::tmp() + "/other.txt";
  ASSERT_TRUE(testsupport::writeFile(other, "other\n"));
  auto editor =
      std::dynamic_pointer_cast<EditFileView>(FTPAppServices::shared()->openTextEditor(other));
  ASSERT_TRUE(editor);
  ASSERT_TRUE(waitFor([&] { return onTop<EditFileView>() == editor; }));
  ASSERT_TRUE(probe->type("File Text", "more ")) << probe->lastError();
  editor->saveEditState();
  EXPECT_EQ(s.stringForKey(kEditingFTPFile).value_or(""), other);
  EXPECT_EQ(s.stringForKey(keyIndexIsUsed(0)).value_or(""), "1");
}

// The last run's save waits in Transfers (the queue paused) when the next start reopens the edit
// from its record: the reopened edit's save joins that row, and the newest text is what arrives,
// never the older save over it.
TEST_P(EditorSaveWaitsTest, TheReopenedEditsSaveJoinsTheRowThatWaits) {
  const Kind kind = GetParam();
  AwayServer server(kind);
  ASSERT_TRUE(server.ready());
  const std::string original = "first line\n", saved = "typed line\n" + original;
  holdNote(server.root(), original);
  UserDefaults::standard().setObject("1", kSavePasswordsKey);
  const auto record = server.record(saved);
  const std::string working = testsupport::leaveEditRecord(record);

  launch(DeviceProfile::iPhone());
  auto queue = delegate->batchView();
  queue->clickedPause();
  ASSERT_GE(queue->addBatchItemAction(kind == Kind::Sftp ? 31 : 3, RemoteName(record.name),
                                      RemoteName(record.folder), 0, record.server, record.port,
                                      record.user, record.password, record.protocol, working, true,
                                      false),
            0);
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Edit File")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return onTop<EditFileView>() != nullptr; })) << stack();
  auto editor = onTop<EditFileView>();
  ASSERT_TRUE(waitFor([&] { return editor->theText->text() == saved; }));
  pause(1);
  ASSERT_TRUE(probe->type("File Text", "second line\n")) << probe->lastError();
  const std::string newest = editor->theText->text();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  pause(3);
  EXPECT_EQ(queue->batchItemList().size(), 1u);

  queue->clickedResume();
  ASSERT_TRUE(waitFor([&] { return queue->batchItemList().empty(); }, 120))
      << (probe->pendingAlerts().empty() ? "" : probe->pendingAlerts().back().title);
  pause(1);
  EXPECT_TRUE(probe->pendingAlerts().empty()) << probe->pendingAlerts().back().title;
  EXPECT_EQ(testsupport::readFile(server.root() + "/docs/note.txt"), newest);
  EXPECT_EQ(testsupport::editRecordNow(), "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, EditorSaveWaitsTest, ::testing::Values(Kind::Ftp, Kind::Sftp));
