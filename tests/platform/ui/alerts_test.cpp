#include "UiFixture.h"
#include "tests/support/TimeScale.h"

#include <atomic>
#include <thread>

using namespace uitest;

namespace {

constexpr Duration kLimit = std::chrono::seconds(20); // only a broken model waits this long

struct Answers : AlertViewDelegate, ActionSheetDelegate {
  std::vector<std::string> seen;
  std::vector<std::thread::id> threads;
  void clickedButtonAtIndex(AlertView &a, int i) override {
    seen.push_back(a.title() + ":" + a.buttonTitleAtIndex(i));
    threads.push_back(std::this_thread::get_id());
  }
  void didDismissWithButtonIndex(AlertView &a, int i) override {
    seen.push_back(a.title() + ":dismissed " + std::to_string(i));
  }
  void clickedButtonAtIndex(ActionSheet &s, int i) override {
    seen.push_back(s.title() + ":" + s.buttonTitleAtIndex(i));
  }
};

class AlertTest : public UiTest {
protected:
  void SetUp() override {
    UiTest::SetUp();
    root = std::make_shared<ViewController>("RootView");
    auto button = std::make_shared<Button>(ButtonType::RoundedRect);
    button->setTitle("Connect");
    button->addTarget(TouchUpInside, [this](Control &) { ++connects; });
    root->view()->addSubview(button);
    window->setRootViewController(root);
  }
  std::shared_ptr<ViewController> root;
  std::shared_ptr<Answers> answers = std::make_shared<Answers>();
  int connects = 0;
};

TEST_F(AlertTest, ButtonsAreNumberedWithCancelFirst) {
  auto alert =
      std::make_shared<AlertView>("Confirm Delete All",
                                  "This will remove all 3 pending "
                                  "items.  Continue?",
                                  answers, "Cancel", std::vector<std::string>{"Delete All"});
  EXPECT_EQ(alert->cancelButtonIndex(), 0);
  EXPECT_EQ(alert->buttonTitleAtIndex(1), "Delete All");
  EXPECT_EQ(alert->addButtonWithTitle("Later"), 2);
  auto plain = std::make_shared<AlertView>("No Server Entered", "Please enter an FTP server name.",
                                           std::weak_ptr<AlertViewDelegate>(), "OK");
  EXPECT_EQ(plain->numberOfButtons(), 1);
  EXPECT_EQ(plain->buttonTitleAtIndex(5), "");
}

TEST_F(AlertTest, PendingAlertsAreAnsweredNewestFirstAndBlockTheScreen) {
  auto first = std::make_shared<AlertView>("File Name Error",
                                           "A file with that name already "
                                           "exists in the folder.",
                                           answers, "OK");
  auto second = std::make_shared<AlertView>("Confirm File Delete",
                                            "\"a.txt\" will be deleted "
                                            "from the server.  Continue?",
                                            answers, "Cancel", std::vector<std::string>{"Delete"});
  first->showOnMainThread(); // on the main thread: shown at once
  EXPECT_TRUE(first->isVisible());
  second->show();
  second->show(); // showing twice keeps one entry
  auto pending = probe->pendingAlerts();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].title, "File Name Error");
  EXPECT_EQ(pending[1].buttons, (std::vector<std::string>{"Cancel", "Delete"}));

  EXPECT_FALSE(probe->tap("Connect"));
  EXPECT_EQ(connects, 0);
  EXPECT_FALSE(probe->answerAlert("OK")); // the older alert is underneath
  ASSERT_TRUE(probe->answerAlert("Delete")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("OK")) << probe->lastError();
  EXPECT_EQ(answers->seen, (std::vector<std::string>{
                               "Confirm File Delete:Delete", "Confirm File Delete:dismissed 1",
                               "File Name Error:OK", "File Name Error:dismissed 0"}));
  EXPECT_FALSE(first->isVisible());
  EXPECT_TRUE(probe->tap("Connect"));
  EXPECT_EQ(connects, 1);
  EXPECT_FALSE(probe->answerAlert("OK"));
}

TEST_F(AlertTest, DismissingInCodeTellsOnlyOfTheDismissal) {
  auto alert = std::make_shared<AlertView>("Welcome", "Would you like to see a tutorial?", answers,
                                           "Skip", std::vector<std::string>{"Tutorial"});
  alert->show();
  alert->dismissWithClickedButtonIndex(0, true);
  EXPECT_EQ(answers->seen, (std::vector<std::string>{"Welcome:dismissed 0"}));
  EXPECT_TRUE(window->alerts().empty());
}

TEST_F(AlertTest, ShowOnMainThreadFromWorkersWaitsOnlyUntilShown) {
  std::atomic<int> returned{0};
  std::atomic<bool> shownWhenReturned{false};
  auto raise = [&](std::string title) {
    auto alert = std::make_shared<AlertView>(title, "Could not connect.", answers, "OK");
    alert->showOnMainThread();
    // Back on the worker: the main thread has shown it, nobody has answered yet.
    shownWhenReturned = alert->isVisible();
    ++returned;
  };
  std::thread worker1(raise, "Connection Error");
  ASSERT_TRUE(
      RunLoop::main()->runUntil([&] { return returned == 1; }, testsupport::scaled(kLimit)));
  worker1.join();
  EXPECT_TRUE(shownWhenReturned);
  std::thread worker2(raise, "Login Error");
  ASSERT_TRUE(
      RunLoop::main()->runUntil([&] { return returned == 2; }, testsupport::scaled(kLimit)));
  worker2.join();

  auto pending = probe->pendingAlerts();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].title, "Connection Error");
  EXPECT_EQ(pending[1].title, "Login Error");
  ASSERT_TRUE(probe->answerAlert("OK"));
  ASSERT_TRUE(probe->answerAlert("OK"));
  EXPECT_EQ(answers->seen[0], "Login Error:OK");
  EXPECT_EQ(answers->seen[2], "Connection Error:OK");
  ASSERT_EQ(answers->threads.size(), 2u);
  EXPECT_EQ(answers->threads[0], std::this_thread::get_id()) << "answers come on the main thread";
}

TEST_F(AlertTest, SheetsNumberDestructiveFirstAndCancelLast) {
  auto tabs = std::make_shared<TabBarController>();
  tabs->setViewControllers({root});
  window->setRootViewController(tabs);

  auto sort = std::make_shared<ActionSheet>(
      "Sort Folder", answers, "Cancel", "",
      std::vector<std::string>{"Sort by Name (c,b,a)", "Sort by Size", "Sort by Date"});
  EXPECT_EQ(sort->cancelButtonIndex(), 3);
  EXPECT_EQ(sort->destructiveButtonIndex(), -1);
  auto menu = std::make_shared<ActionSheet>("report.txt", answers);
  menu->setDestructiveButtonIndex(menu->addButtonWithTitle("Delete File"));
  EXPECT_EQ(menu->addButtonWithTitle("Rename File"), 1);
  menu->setCancelButtonIndex(menu->addButtonWithTitle("Cancel"));
  EXPECT_EQ(menu->cancelButtonIndex(), 2);

  sort->showFromTabBar(tabs->tabBar());
  EXPECT_TRUE(sort->isVisible());
  EXPECT_EQ(sort->anchor().kind, Anchor::Kind::TabBar);
  auto item = BarButtonItem::withImage("menu-v3.png", BarButtonItemStyle::Plain);
  menu->showFromBarButtonItem(item, true);
  EXPECT_EQ(probe->pendingSheets().size(), 2u);
  EXPECT_FALSE(probe->tap("Connect"));

  // An alert raised meanwhile comes before the sheets.
  auto alert = std::make_shared<AlertView>("Notice", "", answers, "OK");
  alert->show();
  EXPECT_FALSE(probe->answerSheet("Cancel"));
  ASSERT_TRUE(probe->answerAlert("OK"));
  ASSERT_TRUE(probe->answerSheet("Delete File")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Sort by Size")) << probe->lastError();
  EXPECT_EQ(answers->seen,
            (std::vector<std::string>{"Notice:OK", "Notice:dismissed 0", "report.txt:Delete File",
                                      "Sort Folder:Sort by Size"}));
  EXPECT_FALSE(menu->isVisible());
  EXPECT_FALSE(probe->answerSheet("Cancel"));
}

} // namespace
