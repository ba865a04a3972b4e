// A server's file is never written over once another changed it since the edit began. The edit
// state's part: the record keeps what the server's file held when the edit began (and a kill does
// not lose it; an edit reopened from the record keeps that, not its own typed text), Save hands
// that base on with the text it sends, and the check over a look at the server lets a save go only
// over a file that still holds the base or what is being sent.
#include "tests/app/editor/EditorFixture.h"
#include "tests/support/EditRecords.h"
#include "tests/support/ReportingSftp.h"

#include "app/foundation/EditOrigin.h"

#include "platform/foundation/Paths.h"

using namespace platform;
using namespace platform::ui;

namespace {

editor::Bytes bytesOf(const std::string &s) {
  return editor::Bytes(s.begin(), s.end());
}

class ServerFileCheckTest : public EditorTest {
protected:
  // A server's file downloaded for editing over SFTP, its record kept (passwords are saved).
  std::shared_ptr<EditFileView> openDownload(const std::string &bytes) {
    set(kSavePasswordsKey, "1");
    sftp->setUsername("joe");
    sftp->setServer("files.example");
    testsupport::writeFile(working, bytes);
    auto editor = EditFileView::initWithFile(working);
    editor->setTextFileName("notes.txt");
    editor->setSftpConnection(sftp);
    editor->setDirectoryOfTheFile("/home/joe");
    nav->pushViewController(editor, false);
    RunLoop::main()->runPending();
    return editor;
  }
  static void restart() {
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
  }
  void SetUp() override {
    EditorTest::SetUp();
    // Named only once the case has its own data folder: the cases of this file run side by side.
    working = Paths::tmp() + "/notes.txt";
  }
  std::string working;
  std::shared_ptr<testsupport::ReportingSftp> sftp = std::make_shared<testsupport::ReportingSftp>();
};

} // namespace

TEST_F(ServerFileCheckTest, TheRecordKeepsTheServerFilesBaseThroughAKillAndAReopenedSave) {
  const FileMark downloaded = FileMark::of(bytesOf("first line\n"));
  auto editor = openDownload("first line\n");
  ASSERT_TRUE(probe->type("File Text", "mine ")) << probe->lastError();
  editor->saveEditState();
  auto kept = EditState::recorded(std::nullopt);
  ASSERT_TRUE(kept);
  auto base = FileMark::parse(kept->base);
  ASSERT_TRUE(base) << kept->base;
  EXPECT_TRUE(base->sameContent(downloaded)) << kept->base;

  // Killed: the working file holds the typed text now, the record still the server's base.
  nav->popToRootViewControllerAnimated(false);
  editor.reset();
  restart();
  kept = EditState::recorded(std::nullopt);
  ASSERT_TRUE(kept);
  auto again = EditFileView::initWithFile(kept->workingFile);
  again->setTextFileName("notes.txt");
  again->setDirectoryOfTheFile("/home/joe");
  again->resumeKeptEdit(*kept);
  nav->pushViewController(again, false);
  RunLoop::main()->runPending();
  ASSERT_EQ(text(again), "mine first line\n");
  again->saveEditState();
  base = FileMark::parse(EditState::recorded(std::nullopt)->base);
  ASSERT_TRUE(base);
  EXPECT_TRUE(base->sameContent(downloaded)) << "the reopened edit took its own text as the base";

  // Its Save hands that base on with the text it sends back.
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  auto sending = EditState::sendBackBase(working);
  ASSERT_TRUE(sending);
  EXPECT_TRUE(sending->sameContent(downloaded));
}

// A record of an earlier version keeps no base: its save goes as it did, with no look.
TEST_F(ServerFileCheckTest, AnEditRecordedWithoutABaseIsSentUnchecked) {
  testsupport::leaveEditRecord(
      {"files.example", "joe", "pw", 22, "sftp", "/home/joe", "notes.txt", "typed before\n"});
  auto kept = EditState::recorded(std::nullopt);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->base, "");
  auto again = EditFileView::initWithFile(kept->workingFile);
  again->setTextFileName("notes.txt");
  again->setDirectoryOfTheFile("/home/joe");
  again->resumeKeptEdit(*kept);
  nav->pushViewController(again, false);
  RunLoop::main()->runPending();
  ASSERT_TRUE(probe->type("File Text", "x")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  EXPECT_FALSE(EditState::sendBackBase(kept->workingFile));
}

// The check over the server's file as a look finds it, against the base and what is being sent.
TEST_F(ServerFileCheckTest, TheCheckLetsASaveGoOnlyOverTheBaseOrWhatIsBeingSent) {
  using Outcome = SendBackCheck::Outcome;
  const std::string base = "as downloaded\n", ours = "typed, as downloaded\n";
  struct Case {
    const char *name;
    std::optional<std::string> server; // none: no such file
    bool inPlace = false;
    Outcome outcome;
    bool looked = true;
    std::string baseText = {}; // empty: the downloaded bytes
  } cases[] = {
      {"unchanged", base, false, Outcome::Send},
      {"same bytes written again", base, true, Outcome::Send},
      {"removed", std::nullopt, false, Outcome::Changed},
      {"changed, same size", "AS DOWNLOADED\n", false, Outcome::Changed},
      {"grown by one byte", base + "!", false, Outcome::Changed},
      {"shorter", "as", false, Outcome::Changed},
      {"emptied", "", false, Outcome::Changed},
      {"larger than anything known", std::string(4096, 'x'), false, Outcome::Changed},
      {"ours arrived already", ours, false, Outcome::Send},
      {"ours cut while written in place", ours.substr(0, 9), true, Outcome::Send},
      {"ours cut in place before its first byte", "", true, Outcome::Send},
      {"a prefix of ours, though ours goes under another name", ours.substr(0, 9), false,
       Outcome::Changed},
      {"the server away", base, false, Outcome::NotLooked, false},
      {"gone, making it anew was agreed", std::nullopt, false, Outcome::Send, true,
       FileMark{0, FileMark::kGone, 0}.text()},
      {"there again, making it anew was agreed", base, false, Outcome::Changed, true,
       FileMark{0, FileMark::kGone, 0}.text()},
  };
  ASSERT_TRUE(testsupport::writeFile(working, ours));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const FileMark mark =
        c.baseText.empty() ? FileMark::of(bytesOf(base)) : *FileMark::parse(c.baseText);
    uint64_t asked = 0;
    auto look = [&](const BytesToRead &bytesToRead) {
      LookedFile found;
      found.looked = c.looked;
      found.inPlace = c.inPlace;
      if (!c.looked || !c.server) return found;
      found.exists = true;
      found.size = c.server->size();
      asked = bytesToRead(found.size);
      found.bytes = bytesOf(c.server->substr(0, asked));
      return found;
    };
    const SendBackCheck check = EditState::checkServerFile(mark, working, look);
    EXPECT_EQ(check.outcome, c.outcome);
    // Never more read than one byte beyond the base or what is being sent.
    EXPECT_LE(asked, std::max<uint64_t>(base.size(), ours.size()) + 1);
    if (c.server && c.server->size() > ours.size() && c.server->size() != base.size()) {
      EXPECT_EQ(asked, 0u) << "a file of another size is not read";
    }
    if (check.outcome != Outcome::Changed) continue;
    // "Keep Typed Text" about the file as found: that same file is not asked about again, and
    // one changed once more is.
    EditState::keepTypedOver(working, check.found);
    auto kept = EditState::sendBackBase(working);
    ASSERT_TRUE(kept) << check.found;
    EXPECT_EQ(EditState::checkServerFile(*kept, working, look).outcome, Outcome::Send);
    auto other = [&](const BytesToRead &bytesToRead) {
      LookedFile found = look(bytesToRead);
      found.exists = true;
      found.size = 3;
      found.bytes = bytesOf(std::string("zzz").substr(0, bytesToRead(3)));
      return found;
    };
    EXPECT_EQ(EditState::checkServerFile(*kept, working, other).outcome, Outcome::Changed);
  }
}

// A newer save sent from the same working file while the earlier one is on its way: the server
// holding that earlier save (the edit's own text) lets the newer one go; anything else of its
// size does not. Once the file has arrived, nothing of it is kept.
TEST_F(ServerFileCheckTest, TheEditsOwnEarlierSaveOnTheServerLetsTheNewerGo) {
  using Outcome = SendBackCheck::Outcome;
  const std::string base = "as downloaded\n", first = "first save, as downloaded\n",
                    newer = "the newer save, as downloaded\n";
  ASSERT_TRUE(testsupport::writeFile(working, newer));
  EditState::sendsText(working, bytesOf(first));
  EXPECT_FALSE(EditState::sendBackEarlier(working)) << "one save has no earlier one";
  // The same text handed again is no earlier save.
  EditState::sendsText(working, bytesOf(first));
  EXPECT_FALSE(EditState::sendBackEarlier(working));
  EditState::sendsText(working, bytesOf(newer));
  auto earlier = EditState::sendBackEarlier(working);
  ASSERT_TRUE(earlier);
  EXPECT_TRUE(earlier->sameContent(FileMark::of(bytesOf(first))));
  struct Case {
    const char *name;
    std::string server;
    bool withEarlier;
    Outcome outcome;
  } cases[] = {
      {"the earlier save arrived", first, true, Outcome::Send},
      {"the earlier save arrived, not known", first, false, Outcome::Changed},
      {"another's text of its size", std::string(first.size(), 'z'), true, Outcome::Changed},
      {"the base still", base, true, Outcome::Send},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto look = [&](const BytesToRead &bytesToRead) {
      LookedFile found;
      found.looked = found.exists = true;
      found.size = c.server.size();
      found.bytes = bytesOf(c.server.substr(0, bytesToRead(found.size)));
      return found;
    };
    EXPECT_EQ(EditState::checkServerFile(FileMark::of(bytesOf(base)), working, look,
                                         c.withEarlier ? earlier : std::nullopt)
                  .outcome,
              c.outcome);
  }
  EditState::forgetSentBack(working);
  EXPECT_FALSE(EditState::sendBackEarlier(working));
  EXPECT_EQ(UserDefaults::standard().stringForKey(kSendingBackTextKey + working).value_or(""), "");
}

// "Take the File" with no editor open: the edit's record, its working file and its base go.
TEST_F(ServerFileCheckTest, TakingTheServersFileEndsTheEdit) {
  // The save does not arrive: it would wait in Transfers.
  sftp->outcome = testsupport::ReportingSftp::Outcome::Fails;
  auto editor = openDownload("first line\n");
  ASSERT_TRUE(probe->type("File Text", "mine ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Save")) << probe->lastError();
  RunLoop::main()->runPending();
  ASSERT_TRUE(EditState::sendBackBase(working));
  ASSERT_NE(testsupport::editRecordNow(), "");
  EditState::takeServerFile(working);
  EXPECT_EQ(testsupport::editRecordNow(), "");
  EXPECT_FALSE(FileManager::fileExists(working));
  EXPECT_FALSE(EditState::sendBackBase(working));
}
