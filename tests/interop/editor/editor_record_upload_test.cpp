// The phone's edit record (the file being edited, kept for the next start) against uploads on the
// browsing connection to a real FTP server (pyftpdlib): only the upload of the edited file itself
// (its name, in its folder, on its server, for its user) ends the record and takes its working
// file; any other upload leaves both, and with them the edits the server has not got.
#include "tests/interop/ftp/TaskPeers.h"
#include "tests/support/EditRecords.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Text.h"

using namespace taskpeers;

namespace {

struct RecordCase {
  const char *what;
  // The record: its server (empty: this server), user, whether it keeps the port and the kind
  // of connection (an earlier version's does not), a port other than this server's, its folder.
  std::string server, user;
  bool keepsOrigin, otherPort;
  std::string folder;
  // The upload: its name and folder, from memory or from a file.
  std::string uploadName, uploadFolder;
  bool fromFile;
  bool ends;
};
void PrintTo(const RecordCase &c, std::ostream *out) {
  *out << c.what;
}

class EditRecordUploadTest : public TaskPeerTest,
                             public ::testing::WithParamInterface<RecordCase> {};

} // namespace

TEST_P(EditRecordUploadTest, OnlyTheEditedFilesUploadEndsItsRecord) {
  const RecordCase &c = GetParam();
  Server server = startPyftpdlib();
  ::mkdir((server.root + "/docs").c_str(), 0777);
  const std::string address = "127.0.0.1:" + std::to_string(server.port);
  connectAndList(address, "joe", "secret");
  const std::string working = testsupport::leaveEditRecord(
      {c.server.empty() ? address : c.server, c.user, "secret",
       c.keepsOrigin ? server.port + (c.otherPort ? 1 : 0) : 0, c.keepsOrigin ? "ftp" : "",
       c.folder, "notes.txt", "edits not yet sent\n", "1"});
  const std::string before = testsupport::editRecordNow();

  const std::string bytes = "uploaded\n";
  if (c.fromFile) {
    const std::string local = savedFile("upload-source.txt");
    platform::FileManager::createDirectory(platform::deleteLastPathComponent(local), true);
    ASSERT_TRUE(testsupport::writeFile(local, bytes));
    conn->uploadFile(c.uploadName, local, c.uploadFolder, false, 0);
  } else {
    conn->uploadFile(c.uploadName, FTPConnection::Bytes(bytes.begin(), bytes.end()), c.uploadFolder,
                     false);
  }
  const std::string remote = server.root + "/" + c.uploadFolder + "/" + c.uploadName;
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(remote) == bytes; }))
      << c.what << "\n"
      << conn->transferLog();
  settle();

  EXPECT_EQ(testsupport::editRecordNow(), c.ends ? "" : before) << c.what;
  EXPECT_EQ(platform::FileManager::fileExists(working), !c.ends) << c.what;
  if (!c.ends) {
    EXPECT_EQ(testsupport::readFile(working), "edits not yet sent\n") << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditRecordUploadTest,
    ::testing::Values(RecordCase{"the edited file", "", "joe", true, false, "/", "notes.txt", "/",
                                 false, true},
                      RecordCase{"the edited file in a folder, named with a slash at its end", "",
                                 "joe", true, false, "/docs", "notes.txt", "/docs/", false, true},
                      RecordCase{"another file of its folder", "", "joe", true, false, "/",
                                 "other.txt", "/", false, false},
                      RecordCase{"another file of its folder, from Saved Files", "", "joe", true,
                                 false, "/", "other.txt", "/", true, false},
                      RecordCase{"a file of its name in another folder", "", "joe", true, false,
                                 "/", "notes.txt", "/docs", true, false},
                      RecordCase{"a file of its name and folder on another server", "192.0.2.7",
                                 "joe", true, false, "/", "notes.txt", "/", false, false},
                      RecordCase{"a file of its name and folder at another port", "", "joe", true,
                                 true, "/", "notes.txt", "/", false, false},
                      RecordCase{"a file of its name and folder for another user", "", "ann", true,
                                 false, "/", "notes.txt", "/", false, false},
                      RecordCase{"the edited file, by an earlier version's record", "", "joe",
                                 false, false, "/", "notes.txt", "/", false, true},
                      RecordCase{"an earlier version's record of another server", "192.0.2.7",
                                 "joe", false, false, "/", "notes.txt", "/", false, false}));
