// The phone's edit record when the transfer queue reports that a save which waited in Transfers
// has reached its server: the edit of that working file is delivered (its record and working copy
// go), unless the editor open now keeps its text in that very file (the edit reopened from its
// record, typed on since), whose text the server has not got. Another file's record stays.
#include "AppFixture.h"
#include "tests/support/EditRecords.h"

#include "app/editor/EditFileView.h"
#include "app/queue/BatchServices.h"

using namespace platform;

namespace {

class EditorSentBackTest : public AppTest {};

} // namespace

TEST_F(EditorSentBackTest, ADeliveredSaveEndsOnlyItsOwnRecordAndNotAnOpenEditors) {
  boot();
  auto sentBack = [](const std::string &file) { BatchAppServices::shared()->sentBack(file); };
  const testsupport::EditRecord note{"ftp.example.test", "joe",     "secret", 21, "ftp", "/docs",
                                     "note.txt",         "typed\n", "1"};

  // Another file's working copy arrived: the record stays, with its working file.
  std::string working = testsupport::leaveEditRecord(note);
  const std::string before = testsupport::editRecordNow();
  const std::string elsewhere = Paths::tmp() + "/elsewhere.txt";
  ASSERT_TRUE(testsupport::writeFile(elsewhere, "x"));
  sentBack(elsewhere);
  EXPECT_EQ(testsupport::editRecordNow(), before);
  EXPECT_TRUE(FileManager::fileExists(working));

  // Its own working copy arrived: the edit is delivered.
  sentBack(working);
  EXPECT_EQ(testsupport::editRecordNow(), "");
  EXPECT_FALSE(FileManager::fileExists(working));

  // The edit reopened in the editor (typed on there): its text is not what arrived.
  working = testsupport::leaveEditRecord(note);
  auto editor =
      std::dynamic_pointer_cast<EditFileView>(FTPAppServices::shared()->openTextEditor(working));
  ASSERT_TRUE(editor);
  advance(0.1);
  ASSERT_TRUE(editor->fCurrentlyActive);
  sentBack(working);
  EXPECT_EQ(UserDefaults::standard().stringForKey(kEditingFTPFile).value_or(""), working);
  EXPECT_EQ(testsupport::readFile(working), "typed\n");
}
