// The files being edited when the application last closed, offered again at the next start: on
// iPad every used file-tab slot reopens as a file tab with its server, and the slots are numbered
// afresh; "Cancel" forgets the records and the working files.
#include "AppFixture.h"

#include "app/editor/EditFileView.h"
#include "app/remote/Connect.h"
#include "app/shell/ShellConnect.h"

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
