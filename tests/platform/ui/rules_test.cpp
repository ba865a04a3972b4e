#include "UiFixture.h"

#include <thread>

using namespace uitest;

namespace {

class RulesTest : public UiTest {
protected:
  std::vector<std::string> journal;
};

#ifndef NDEBUG
TEST_F(RulesTest, TouchingTheModelOffTheMainThreadStopsDebugBuilds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto root = std::make_shared<LoggingScreen>("Root", journal);
  window->setRootViewController(root);
  EXPECT_DEATH(
      {
        std::thread worker([&] { root->view()->addSubview(std::make_shared<Label>()); });
        worker.join();
      },
      "off the main thread");
  // Making and filling an alert on a worker is allowed; only showing it goes to the main thread.
  std::thread worker([] {
    auto alert =
        std::make_shared<AlertView>("Error", "text", std::weak_ptr<AlertViewDelegate>(), "OK");
    alert->addButtonWithTitle("Help");
  });
  worker.join();
}

// Deleting a row the data source still counts is a fault of the screen: stop there.
class StaleList : public TableViewDataSource {
public:
  int numberOfRowsInSection(TableView &, int) override { return 3; }
  std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView &, IndexPath) override {
    return std::make_shared<TableViewCell>();
  }
};

TEST_F(RulesTest, ATableUpdateThatDisagreesWithTheDataStopsDebugBuilds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto table = std::make_shared<TableView>();
  auto data = std::make_shared<StaleList>();
  table->setDataSource(data);
  EXPECT_EQ(table->numberOfRowsInSection(0), 3);
  EXPECT_DEATH(table->deleteRowsAtIndexPaths({{0, 1}}, TableViewRowAnimation::Fade),
               "invalid table update");
}
#endif

TEST_F(RulesTest, ChildScreensFollowTheirParentsAppearance) {
  auto parent = std::make_shared<LoggingScreen>("Parent", journal);
  auto child = std::make_shared<LoggingScreen>("Child", journal);
  window->setRootViewController(parent);
  journal.clear();
  parent->addChildViewController(child);
  parent->view()->addSubview(child->view());
  EXPECT_EQ(child->parentViewController(), parent);
  EXPECT_TRUE(child->isVisible());
  auto nav =
      std::make_shared<NavigationController>(std::make_shared<LoggingScreen>("Other", journal));
  window->setRootViewController(nav);
  EXPECT_FALSE(child->isVisible());
  child->removeFromParentViewController();
  EXPECT_EQ(child->parentViewController(), nullptr);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"Child:load", "Child:willAppear", "Child:didAppear",
                                      "Parent:willDisappear", "Child:willDisappear", "Other:load",
                                      "Other:willAppear", "Parent:didDisappear",
                                      "Child:didDisappear", "Other:didAppear"}));
}

TEST_F(RulesTest, ButtonsShowTheLookOfTheirState) {
  auto button = std::make_shared<Button>();
  button->setImage("iphone-button.png");
  button->setImage("iphone-button-dir.png", ControlState::Selected);
  button->setTitle("Help");
  EXPECT_EQ(button->currentImage(), "iphone-button.png");
  button->setSelected(true);
  EXPECT_EQ(button->currentImage(), "iphone-button-dir.png");
  EXPECT_EQ(button->currentTitle(), "Help") << "a state without its own title shows the normal one";
  button->setEnabled(false);
  EXPECT_EQ(button->currentImage(), "iphone-button.png");
  int taps = 0;
  button->addTarget(TouchUpInside | TouchDown, [&](Control &) { ++taps; });
  button->setAccessibilityLabel("notes.txt Menu");
  auto root = std::make_shared<ViewController>("RootView");
  root->view()->addSubview(button);
  window->setRootViewController(root);
  EXPECT_FALSE(probe->tap("notes.txt Menu"));
  button->setEnabled(true);
  ASSERT_TRUE(probe->tap("notes.txt Menu"));
  EXPECT_EQ(taps, 2) << "touch down and touch up inside";
  button->removeTargets(TouchDown);
  ASSERT_TRUE(probe->tap("Help"));
  EXPECT_EQ(taps, 3);
}

struct Observer : KeyboardObserver {
  int shows = 0;
  void keyboardWillShow(const KeyboardInfo &) override { ++shows; }
};

TEST_F(RulesTest, InjectedKeyboardNotificationsReachLiveObservers) {
  auto kept = std::make_shared<Observer>();
  auto gone = std::make_shared<Observer>();
  window->addKeyboardObserver(kept);
  window->addKeyboardObserver(gone);
  gone.reset();
  window->postKeyboardNotification(KeyboardEvent::WillShow, {{}, window->keyboardFrame(), 0.3});
  EXPECT_EQ(kept->shows, 1);
  window->removeKeyboardObserver(*kept);
  window->postKeyboardNotification(KeyboardEvent::WillShow, {});
  EXPECT_EQ(kept->shows, 1);
  window->setSize({768, 1024});
  window->rotate(InterfaceOrientation::LandscapeLeft); // no root: the window turns
  EXPECT_EQ(window->keyboardFrame(), (Rect{0, 768 - 352, 1024, 352}));
}

} // namespace
