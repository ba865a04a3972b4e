// The files being edited when the application last closed, offered again at the next start: on
// iPad every used file-tab slot reopens as a file tab with its server, the tabs in slot order (so
// each keeps its slot from one start to the next) and each knowing whether its file holds edits;
// "Cancel" forgets the records and the working files.
#include "AppFixture.h"
#include "tests/support/EditRecords.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditorScreens.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/ftp/FTPServices.h"
#include "app/remote/Connect.h"
#include "app/shell/ShellConnect.h"

#include <filesystem>

using namespace platform;
using namespace platform::ui;

namespace {

class EditorRestoreTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    attachConnectScreen(delegate); // the real connect screen, as the program has it
    Connect::restoreDone = false;
    UserDefaults::standard().setObject("1", "TutorialPrompt"); // not a first start
  }
  // A slot as an editor of the last run left it.
  std::string leaveSlot(int slot, const std::string &text) {
    auto &s = UserDefaults::standard();
    const std::string path = Paths::tmp() + "/work" + std::to_string(slot) + ".txt";
    testsupport::writeFile(path, text);
    s.setObject("1", keyIndexIsUsed(slot));
    s.setObject(path, keyForTab(slot, kEditingFTPFile));
    s.setObject("file" + std::to_string(slot) + ".txt", keyForTab(slot, kWasEditingFileName));
    s.setObject("/pub", keyForTab(slot, kWasEditingInFolder));
    s.setObject("server" + std::to_string(slot), keyForTab(slot, kWasEditingServerNameKey));
    s.setObject("joe", keyForTab(slot, kWasEditingUserNameKey));
    s.setObject(myEncryptString1("pw"), keyForTab(slot, kWasEditingUserPassKey));
    s.setObject("21", keyForTab(slot, kWasEditingServerPortKey));
    s.setObject("ftp", keyForTab(slot, kWasEditingProtocolKey));
    return path;
  }
  std::string get(const std::string &key) {
    return UserDefaults::standard().stringForKey(key).value_or("");
  }
};

} // namespace

TEST_F(EditorRestoreTest, UsedSlotsReopenAsFileTabsOnIPad) {
  UserDefaults::standard().setObject("3", "TabIndexMax");
  UserDefaults::standard().setObject("current", kServerNameKey);
  leaveSlot(0, "first draft");
  UserDefaults::standard().setObject("0", keyIndexIsUsed(1));
  leaveSlot(2, "second draft");
  UserDefaults::standard().synchronize();
  boot(DeviceProfile::iPad());
  auto alerts = probe->pendingAlerts();
  ASSERT_FALSE(alerts.empty());
  EXPECT_EQ(alerts.back().title, "Continue Editing?");
  EXPECT_EQ(alerts.back().message, "2 File(s) were being edited when Ferrowen was closed.");
  ASSERT_TRUE(probe->answerAlert("Edit File(s)")) << probe->lastError();
  advance(0.5);

  auto tabs = delegate->tabBarControllerRight();
  std::vector<std::shared_ptr<EditFileView>> editors;
  for (auto &vc : tabs->viewControllers()) {
    auto nav = std::dynamic_pointer_cast<NavigationController>(vc);
    auto screen = nav ? nav->topViewController() : vc;
    if (auto e = std::dynamic_pointer_cast<EditFileView>(screen)) editors.push_back(e);
  }
  ASSERT_EQ(editors.size(), 2u);
  std::vector<std::string> seen;
  for (auto &e : editors) {
    tabs->setSelectedViewController(
        e->navigationController()
            ? std::static_pointer_cast<ViewController>(e->navigationController())
            : std::static_pointer_cast<ViewController>(e));
    e->view();
    seen.push_back(e->textFileName + "@" + e->serverName + ":" + e->theText->text());
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"file0.txt@server0:first draft",
                                            "file2.txt@server2:second draft"}));
  EXPECT_EQ(get(kServerNameKey), "current");
  // Numbered afresh: two tabs of files, in front of the web tab, each with its record.
  EXPECT_EQ(get("TabIndexMax"), std::to_string(tabs->viewControllers().size()));
  int used = 0;
  for (int i = 0; i < 3; ++i)
    used += get(keyIndexIsUsed(i)) == "1";
  EXPECT_EQ(used, 2);
}

TEST_F(EditorRestoreTest, CancelForgetsTheRecordsAndTheWorkingFiles) {
  const std::string path = Paths::tmp() + "/report.txt";
  testsupport::writeFile(path, "draft");
  auto &s = UserDefaults::standard();
  s.setObject(path, kEditingFTPFile);
  s.setObject("report.txt", kWasEditingFileName);
  s.synchronize();
  boot(DeviceProfile::iPhone());
  auto alerts = probe->pendingAlerts();
  ASSERT_FALSE(alerts.empty());
  EXPECT_EQ(alerts.back().message, "\"report.txt\" was being edited when Ferrowen was closed.");
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  EXPECT_EQ(get(kEditingFTPFile), "");
  EXPECT_FALSE(FileManager::fileExists(path));
}

namespace {

// The two ways the tablet's restore opens the slots' tabs: the person's "Edit File(s)", and the
// connect screen's own restore through the hooks the shell gives it.
enum class Reopen { Answer, Hooks };

struct Slot {
  int slot;
  std::string changed; // the record's flag ("": an earlier version's record, counted as changed)
};

struct OrderCase {
  const char *what;
  Reopen how;
  std::vector<Slot> slots;
};
void PrintTo(const OrderCase &c, std::ostream *out) {
  *out << c.what;
}

class EditorRestoreOrderTest : public EditorRestoreTest,
                               public ::testing::WithParamInterface<OrderCase> {};

} // namespace

TEST_P(EditorRestoreOrderTest, TabsStandInSlotOrderAndKnowWhetherTheyHoldEdits) {
  const OrderCase &c = GetParam();
  int max = 0;
  for (const Slot &s : c.slots) {
    testsupport::leaveEditRecord({"server" + std::to_string(s.slot), "joe", "pw", 21, "ftp", "/pub",
                                  "file" + std::to_string(s.slot) + ".txt", "text", s.changed},
                                 s.slot);
    max = std::max(max, s.slot + 1);
  }
  UserDefaults::standard().setObject(std::to_string(max), "TabIndexMax");
  Connect::restoreDone = c.how == Reopen::Hooks; // the hooks' restore is called here, unasked
  boot(DeviceProfile::iPad());
  if (c.how == Reopen::Answer) {
    ASSERT_FALSE(probe->pendingAlerts().empty());
    ASSERT_TRUE(probe->answerAlert("Edit File(s)")) << probe->lastError();
  } else {
    auto connect = std::dynamic_pointer_cast<Connect>(delegate->connectView());
    ASSERT_TRUE(connect);
    connect->restoreEditFiles();
  }
  advance(0.5);

  std::vector<std::string> tabs, expected;
  for (auto &vc : delegate->tabBarControllerRight()->viewControllers()) {
    auto nav = std::dynamic_pointer_cast<NavigationController>(vc);
    auto screen = nav ? nav->topViewController() : vc;
    auto editor = std::dynamic_pointer_cast<EditFileView>(screen);
    tabs.push_back(editor ? editor->textFileName + (editor->textDiffers() ? " changed" : "")
                          : vc->tabBarItem()->title());
  }
  for (const Slot &s : c.slots)
    expected.push_back("file" + std::to_string(s.slot) + ".txt" +
                       (s.changed == "0" ? "" : " changed"));
  expected.push_back("Web View");
  EXPECT_EQ(tabs, expected) << c.what;
  // Renumbered: the n-th slot reopened is slot n now, with its flag as it was.
  for (size_t n = 0; n < c.slots.size(); ++n) {
    const Slot &s = c.slots[n];
    EXPECT_EQ(get(keyForTab(int(n), kWasEditingFileName)), "file" + std::to_string(s.slot) + ".txt")
        << c.what << ": slot " << n;
    EXPECT_EQ(get(keyForTab(int(n), kWasEditingChangedKey)), s.changed == "0" ? "0" : "1")
        << c.what << ": slot " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorRestoreOrderTest,
    ::testing::Values(
        OrderCase{"answered, two slots with a gap", Reopen::Answer, {{0, "0"}, {2, "1"}}},
        OrderCase{"answered, three slots", Reopen::Answer, {{0, "1"}, {1, "0"}, {2, "0"}}},
        OrderCase{"answered, an earlier version's flag", Reopen::Answer, {{1, ""}, {3, "0"}}},
        OrderCase{"through the hooks, two slots with a gap", Reopen::Hooks, {{0, "0"}, {2, "1"}}},
        OrderCase{"through the hooks, three slots", Reopen::Hooks, {{0, "1"}, {1, "0"}, {2, "0"}}},
        OrderCase{
            "through the hooks, an earlier version's flag", Reopen::Hooks, {{1, ""}, {3, "0"}}}));

// A tablet slot whose record goes at start (turned down with "Cancel", or not reopened because an
// earlier version wrote it) takes its working file out of the temporary folder with it; a file
// that something else still uses stays: the file of a slot that reopened, of an open editor, of a
// queued transfer, and any file outside the temporary folder.
namespace {

enum class Answer { EditFiles, Cancel, Hooks };
enum class Owner {
  Own,          // the slot's own working copy
  ReopenedSlot, // slot 0's file, which reopens
  OpenEditor,   // the file of an editor open in a tab
  Queued,       // the file of a queued upload
  SavedFiles    // a file of Saved Files
};

struct LeftSlot {
  int slot;
  bool earlier; // written by an earlier version: it opens nowhere
  Owner owner;
  bool stays;
};

struct LeftCase {
  const char *what;
  Answer answer;
  std::vector<LeftSlot> slots;
};
void PrintTo(const LeftCase &c, std::ostream *out) {
  *out << c.what;
}

class EditorLeftoversTest : public EditorRestoreTest,
                            public ::testing::WithParamInterface<LeftCase> {};

} // namespace

TEST_P(EditorLeftoversTest, ADroppedSlotTakesOnlyItsOwnWorkingFile) {
  const LeftCase &c = GetParam();
  // Slot 0 always holds a record that reopens.
  const std::string reopened = testsupport::leaveEditRecord(
      {"server0", "joe", "pw", 21, "ftp", "/pub", "kept.txt", "kept", "1"}, 0);
  const std::string editorFile = Paths::tmp() + "/open-in-a-tab.txt";
  const std::string queuedFile = Paths::tmp() + "/queued.txt";
  const std::string savedFile = root + "/mine.txt";
  makeFile("mine.txt", "mine");
  testsupport::writeFile(editorFile, "open");
  testsupport::writeFile(queuedFile, "queued");
  std::map<int, std::string> files;
  int max = 1;
  for (const LeftSlot &s : c.slots) {
    const std::string own = testsupport::leaveEditRecord(
        {"server", "ann", "pw", s.earlier ? 0 : 21, s.earlier ? "" : "ftp", "/pub",
         "slot" + std::to_string(s.slot) + ".txt", "text", "1"},
        s.slot);
    const std::string file = s.owner == Owner::Own            ? own
                             : s.owner == Owner::ReopenedSlot ? reopened
                             : s.owner == Owner::OpenEditor   ? editorFile
                             : s.owner == Owner::Queued       ? queuedFile
                                                              : savedFile;
    if (file != own) FileManager::removeItem(own);
    UserDefaults::standard().setObject(file, keyForTab(s.slot, kEditingFTPFile));
    files[s.slot] = file;
    max = std::max(max, s.slot + 1);
  }
  UserDefaults::standard().setObject(std::to_string(max), "TabIndexMax");
  Connect::restoreDone = c.answer == Answer::Hooks;
  boot(DeviceProfile::iPad());
  auto editor = EditFileView::initWithFile(editorFile);
  editor->setTextFileName("open-in-a-tab.txt");
  delegate->showFtpFileTab(editor, "open-in-a-tab.txt", false);
  ASSERT_GE(delegate->batchView()->addBatchItemAction(3, "queued.txt", "/pub", 6, "127.0.0.1", 21,
                                                      "joe", "pw", "ftp", queuedFile, true, false),
            0);
  if (c.answer == Answer::Hooks) {
    auto connect = std::dynamic_pointer_cast<Connect>(delegate->connectView());
    ASSERT_TRUE(connect);
    connect->restoreEditFiles();
  } else {
    ASSERT_FALSE(probe->pendingAlerts().empty());
    ASSERT_TRUE(probe->answerAlert(c.answer == Answer::Cancel ? "Cancel" : "Edit File(s)"))
        << probe->lastError();
  }
  advance(0.5);
  for (const LeftSlot &s : c.slots)
    EXPECT_EQ(FileManager::fileExists(files[s.slot]), s.stays) << c.what << ": slot " << s.slot;
  // Slot 0's file stays while its tab holds it; "Cancel" drops it with the rest.
  EXPECT_EQ(FileManager::fileExists(reopened), c.answer != Answer::Cancel) << c.what;
  for (const std::string &kept : {editorFile, queuedFile, savedFile})
    EXPECT_TRUE(FileManager::fileExists(kept)) << c.what << ": " << kept;
  // No slot that is not in use names a file.
  for (int slot = 0; slot < max; ++slot) {
    if (get(keyIndexIsUsed(slot)) != "1") {
      EXPECT_EQ(get(keyForTab(slot, kEditingFTPFile)), "") << c.what << ": slot " << slot;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorLeftoversTest,
    ::testing::Values(
        LeftCase{"an earlier version's slot, not reopened",
                 Answer::EditFiles,
                 {{2, true, Owner::Own, false}}},
        LeftCase{"an earlier version's slot, not reopened by the connect screen's restore",
                 Answer::Hooks,
                 {{1, true, Owner::Own, false}}},
        LeftCase{"an earlier version's slot naming the file of the slot that reopened",
                 Answer::EditFiles,
                 {{2, true, Owner::ReopenedSlot, true}}},
        LeftCase{"turned down",
                 Answer::Cancel,
                 {{1, false, Owner::Own, false}, {3, true, Owner::Own, false}}},
        LeftCase{"turned down, a slot naming an open editor's file",
                 Answer::Cancel,
                 {{1, false, Owner::OpenEditor, true}}},
        LeftCase{"turned down, a slot naming a queued upload's file",
                 Answer::Cancel,
                 {{1, false, Owner::Queued, true}}},
        LeftCase{"turned down, a slot naming a file of Saved Files",
                 Answer::Cancel,
                 {{2, true, Owner::SavedFiles, true}}}));

// A working file grown past what the editor takes is never read where it would open: reopened at
// the next start (the tablet's slots, either way, and the phone's record) or handed over by a
// download. The person is told, by the file's name; the other slots open as ever.
namespace {

enum class Way { Answer, Hooks, PhoneRecord, Download };

class EditorTooBigTest : public EditorRestoreTest, public ::testing::WithParamInterface<Way> {};

} // namespace

TEST_P(EditorTooBigTest, AFileTooBigToEditOpensNowhere) {
  const Way way = GetParam();
  const bool pad = way == Way::Answer || way == Way::Hooks;
  const auto tooBig = static_cast<uintmax_t>(textEditSizeLimit()) + 1;
  const std::string big = testsupport::leaveEditRecord(
      {"server", "joe", "pw", 21, "ftp", "/pub", "big.log", "text", "1"},
      pad ? std::optional<int>(0) : std::nullopt);
  if (pad)
    testsupport::leaveEditRecord(
        {"server", "joe", "pw", 21, "ftp", "/pub", "small.txt", "text", "1"}, 1);
  UserDefaults::standard().setObject("2", "TabIndexMax");
  std::filesystem::resize_file(big, tooBig);
  Connect::restoreDone = way != Way::Answer;
  boot(pad ? DeviceProfile::iPad() : DeviceProfile::iPhone());
  if (way == Way::Answer) {
    ASSERT_TRUE(probe->answerAlert("Edit File(s)")) << probe->lastError();
  } else if (way == Way::Hooks) {
    std::dynamic_pointer_cast<Connect>(delegate->connectView())->restoreEditFiles();
  } else if (way == Way::PhoneRecord) {
    EXPECT_FALSE(editPreviouslySavedFile(std::shared_ptr<FTPConnection>(), ""));
  } else {
    EXPECT_FALSE(FTPAppServices::shared()->openTextEditor(big));
  }
  advance(0.5);
  auto alerts = probe->pendingAlerts();
  ASSERT_FALSE(alerts.empty());
  EXPECT_EQ(alerts.back().title, "The Full File is Too Big to Edit");
  EXPECT_EQ(alerts.back().message, "\"big.log\"");
  std::vector<std::string> editors;
  auto collect = [&](const std::vector<std::shared_ptr<ViewController>> &screens) {
    for (auto &vc : screens) {
      auto nav = std::dynamic_pointer_cast<NavigationController>(vc);
      auto top = nav ? nav->topViewController() : vc;
      if (auto e = std::dynamic_pointer_cast<EditFileView>(top)) editors.push_back(e->textFileName);
    }
  };
  if (pad) collect(delegate->tabBarControllerRight()->viewControllers());
  if (auto nav = delegate->navigationController()) collect({nav});
  EXPECT_EQ(editors, pad ? std::vector<std::string>{"small.txt"} : std::vector<std::string>{});
  // Never written over (a slot not reopened takes its working copy with it, as any does).
  EXPECT_TRUE(!std::filesystem::exists(big) || std::filesystem::file_size(big) == tooBig);
}

namespace {
std::string wayName(const ::testing::TestParamInfo<Way> &info) {
  switch (info.param) {
  case Way::Answer:
    return "TabletAnswered";
  case Way::Hooks:
    return "TabletHooks";
  case Way::PhoneRecord:
    return "PhoneRecord";
  case Way::Download:
    return "Download";
  }
  return "";
}
} // namespace

INSTANTIATE_TEST_SUITE_P(Ways, EditorTooBigTest,
                         ::testing::Values(Way::Answer, Way::Hooks, Way::PhoneRecord,
                                           Way::Download),
                         wayName);
