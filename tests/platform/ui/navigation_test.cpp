#include "UiFixture.h"

using namespace uitest;

namespace {

class NavigationTest : public UiTest {
protected:
  std::shared_ptr<LoggingScreen> screen(const std::string &name) {
    return std::make_shared<LoggingScreen>(name, journal);
  }
  std::vector<std::string> journal;
};

struct NavRecorder : NavigationControllerDelegate {
  std::vector<std::string> seen;
  void willShowViewController(NavigationController &, ViewController &vc, bool) override {
    seen.push_back("will:" + vc.title());
  }
  void didShowViewController(NavigationController &, ViewController &vc, bool) override {
    seen.push_back("did:" + vc.title());
  }
};

TEST_F(NavigationTest, PushAndPopDriveAppearanceAndTheBackButton) {
  auto root = screen("Connect");
  auto nav = std::make_shared<NavigationController>(root);
  auto recorder = std::make_shared<NavRecorder>();
  nav->setDelegate(recorder);
  window->setRootViewController(nav);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"Connect:load", "Connect:willAppear", "Connect:didAppear"}));
  EXPECT_FALSE(probe->backButtonTitle());

  journal.clear();
  auto folder = screen("pub");
  nav->pushViewController(folder, true);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"Connect:willDisappear", "pub:load", "pub:willAppear",
                                      "Connect:didDisappear", "pub:didAppear"}));
  EXPECT_EQ(recorder->seen, (std::vector<std::string>{"will:pub", "did:pub"}));
  EXPECT_EQ(folder->navigationController(), nav);
  EXPECT_EQ(probe->navigationTitle(), "pub");
  EXPECT_EQ(probe->backButtonTitle(), "Connect");

  // The back button names the previous screen's back item when it has one.
  root->navigationItem().setBackBarButtonItem(
      BarButtonItem::titled("Disconnect", BarButtonItemStyle::Plain));
  EXPECT_EQ(probe->backButtonTitle(), "Disconnect");
  // Hidden back button, or a left item in its place: no back button.
  folder->navigationItem().setHidesBackButton(true);
  EXPECT_FALSE(probe->tapBack());
  folder->navigationItem().setHidesBackButton(false);

  journal.clear();
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_EQ(journal, (std::vector<std::string>{"pub:willDisappear", "Connect:willAppear",
                                               "pub:didDisappear", "Connect:didAppear"}));
  EXPECT_EQ(nav->viewControllers().size(), 1u);
  EXPECT_EQ(folder->parentViewController(), nullptr);
  EXPECT_EQ(nav->popViewControllerAnimated(true), nullptr); // the root stays
}

TEST_F(NavigationTest, PopToScreensAndHiddenStacks) {
  auto nav = std::make_shared<NavigationController>(screen("A"));
  auto b = screen("B"), c = screen("C"), d = screen("D");
  // Not on screen yet: no appearance calls, and no view loads.
  nav->pushViewController(b, false);
  nav->pushViewController(c, false);
  nav->pushViewController(d, false);
  nav->pushViewController(d, false); // already on the stack: ignored
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(nav->viewControllers().size(), 4u);

  window->setRootViewController(nav);
  EXPECT_EQ(journal, (std::vector<std::string>{"D:load", "D:willAppear", "D:didAppear"}));
  journal.clear();
  auto popped = nav->popToViewController(*b, false);
  ASSERT_EQ(popped.size(), 2u);
  EXPECT_EQ(popped[0], c);
  EXPECT_EQ(journal, (std::vector<std::string>{"D:willDisappear", "B:load", "B:willAppear",
                                               "D:didDisappear", "B:didAppear"}));
  EXPECT_EQ(nav->popToRootViewControllerAnimated(true).size(), 1u);
  EXPECT_EQ(probe->navigationTitle(), "A");
  EXPECT_TRUE(nav->popToViewController(*c, true).empty()); // not on the stack any more
}

struct TabRecorder : TabBarControllerDelegate {
  int refuse = -1;
  std::vector<std::string> selected;
  bool shouldSelectViewController(TabBarController &tabs, ViewController &vc) override {
    auto &vcs = tabs.viewControllers();
    return refuse < 0 || vcs[static_cast<size_t>(refuse)].get() != &vc;
  }
  void didSelectViewController(TabBarController &, ViewController &vc) override {
    selected.push_back(vc.tabBarItem()->title());
  }
};

TEST_F(NavigationTest, TabsSelectBadgeAndReturnToRoot) {
  auto ftp = std::make_shared<NavigationController>(screen("FTP"));
  auto files = std::make_shared<NavigationController>(screen("Files"));
  auto transfers = std::make_shared<NavigationController>(screen("Transfers"));
  ftp->setTabBarItem(std::make_shared<TabBarItem>("FTP", "computer.png", 0));
  files->setTabBarItem(std::make_shared<TabBarItem>("Saved Files", "folder.png", 1));
  transfers->setTabBarItem(std::make_shared<TabBarItem>("Transfers", "transfers.png", 2));
  auto tabs = std::make_shared<TabBarController>();
  auto recorder = std::make_shared<TabRecorder>();
  tabs->setDelegate(recorder);
  tabs->setViewControllers({ftp, files, transfers});
  window->setRootViewController(tabs);
  EXPECT_EQ(journal, (std::vector<std::string>{"FTP:load", "FTP:willAppear", "FTP:didAppear"}));

  transfers->tabBarItem()->setBadgeValue("3");
  EXPECT_EQ(probe->badges(), (std::vector<std::optional<std::string>>{std::nullopt, std::nullopt,
                                                                      std::string("3")}));
  journal.clear();
  ASSERT_TRUE(probe->tapTab("Transfers")) << probe->lastError();
  EXPECT_EQ(tabs->selectedIndex(), 2);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"FTP:willDisappear", "Transfers:load", "Transfers:willAppear",
                                      "FTP:didDisappear", "Transfers:didAppear"}));
  recorder->refuse = 1;
  EXPECT_FALSE(probe->tapTab("Saved Files"));
  EXPECT_EQ(tabs->selectedIndex(), 2);

  // Tapping the selected tab again brings its stack back to the root.
  transfers->pushViewController(screen("Detail"), false);
  ASSERT_TRUE(probe->tapTab(2));
  EXPECT_EQ(transfers->viewControllers().size(), 1u);
  EXPECT_EQ(recorder->selected, (std::vector<std::string>{"Transfers", "Transfers"}));

  // Only what the selected tab shows is on the front layer.
  EXPECT_EQ(probe->navigationTitle(), "Transfers");
  // Replacing the list keeps the selected screen selected.
  tabs->setViewControllers({transfers, ftp});
  EXPECT_EQ(tabs->selectedIndex(), 0);
  EXPECT_EQ(files->parentViewController(), nullptr);
}

TEST_F(NavigationTest, ModalScreensCoverAndReturn) {
  auto root = screen("Root");
  auto nav = std::make_shared<NavigationController>(root);
  window->setRootViewController(nav);
  journal.clear();

  auto sheet = screen("Sheet");
  sheet->setModalPresentationStyle(ModalPresentationStyle::FormSheet);
  root->presentModalViewController(sheet, true);
  // A form sheet leaves the screen under it on show.
  EXPECT_EQ(journal,
            (std::vector<std::string>{"Sheet:load", "Sheet:willAppear", "Sheet:didAppear"}));
  EXPECT_EQ(window->frontLayer(), Window::Layer::Modal);
  EXPECT_EQ(root->modalViewController(), sheet);
  EXPECT_EQ(sheet->presentingViewController(), root);
  root->presentModalViewController(screen("Second"), true); // one at a time per presenter
  EXPECT_EQ(window->modalLayers().size(), 1u);

  // A full-screen modal presented by the sheet covers it.
  journal.clear();
  auto lockNav = std::make_shared<NavigationController>(screen("Lock"));
  sheet->presentModalViewController(lockNav, false);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"Sheet:willDisappear", "Lock:load", "Lock:willAppear",
                                      "Sheet:didDisappear", "Lock:didAppear"}));
  // Dismissing from a screen inside the presented stack closes that stack only.
  journal.clear();
  lockNav->topViewController()->dismissModalViewControllerAnimated(true);
  EXPECT_EQ(journal, (std::vector<std::string>{"Lock:willDisappear", "Lock:didDisappear",
                                               "Sheet:willAppear", "Sheet:didAppear"}));
  // Dismissing from the presenter closes everything above it.
  sheet->presentModalViewController(screen("Again"), false);
  root->dismissModalViewControllerAnimated(false);
  EXPECT_TRUE(window->modalLayers().empty());
  EXPECT_EQ(root->modalViewController(), nullptr);
  EXPECT_TRUE(root->isVisible());
}

// A root screen that locks the application as soon as it is loaded.
class LockingScreen : public LoggingScreen {
public:
  using LoggingScreen::LoggingScreen;
  std::shared_ptr<ViewController> lock;
  void viewDidLoad() override {
    LoggingScreen::viewDidLoad();
    presentModalViewController(lock, false);
  }
};

TEST_F(NavigationTest, PresentingWhileLoadingGivesEachCallOnce) {
  auto connect = std::make_shared<LockingScreen>("Connect", journal);
  connect->lock = screen("Lock");
  auto tabs = std::make_shared<TabBarController>();
  tabs->setViewControllers({std::make_shared<NavigationController>(connect)});
  window->setRootViewController(tabs);
  EXPECT_EQ(journal, (std::vector<std::string>{"Connect:load", "Lock:load", "Lock:willAppear",
                                               "Lock:didAppear", "Connect:willAppear",
                                               "Connect:didAppear"}));
  EXPECT_EQ(window->frontLayer(), Window::Layer::Modal);
  journal.clear();
  connect->lock->dismissModalViewControllerAnimated(true);
  EXPECT_EQ(journal, (std::vector<std::string>{"Lock:willDisappear", "Lock:didDisappear"}));
  EXPECT_EQ(window->frontLayer(), Window::Layer::Root);
}

struct PopoverRecorder : PopoverControllerDelegate {
  bool keep = false;
  int dismissed = 0;
  bool popoverControllerShouldDismissPopover(PopoverController &) override { return !keep; }
  void popoverControllerDidDismissPopover(PopoverController &) override { ++dismissed; }
};

TEST_F(NavigationTest, PopoversTellOnlyAboutThePersonsDismissal) {
  window->setSize({768, 1024});
  auto root = screen("Root");
  int infoTaps = 0;
  auto info = BarButtonItem::titled("Info", BarButtonItemStyle::Plain, [&](auto &) { ++infoTaps; });
  root->navigationItem().setLeftBarButtonItem(info);
  window->setRootViewController(std::make_shared<NavigationController>(root));

  auto help = screen("Help");
  help->setContentSizeForViewInPopover({320, 480});
  auto popover = std::make_shared<PopoverController>(std::make_shared<NavigationController>(help));
  auto recorder = std::make_shared<PopoverRecorder>();
  popover->setDelegate(recorder);
  journal.clear();
  popover->presentPopoverFromBarButtonItem(info, ArrowAny, true);
  EXPECT_TRUE(popover->isPopoverVisible());
  EXPECT_EQ(popover->popoverContentSize(), (Size{320, 480}));
  EXPECT_EQ(journal, (std::vector<std::string>{"Help:load", "Help:willAppear", "Help:didAppear"}));
  // The screen under a popover takes no touches.
  EXPECT_FALSE(probe->tap("Info"));
  EXPECT_EQ(probe->navigationTitle(), "Help");

  popover->dismissPopoverAnimated(true);
  EXPECT_EQ(recorder->dismissed, 0);
  popover->presentPopoverFromRect({10, 10, 40, 40}, root->view(), ArrowUp, false);
  recorder->keep = true;
  EXPECT_FALSE(probe->dismissPopover());
  recorder->keep = false;
  ASSERT_TRUE(probe->dismissPopover()) << probe->lastError();
  EXPECT_EQ(recorder->dismissed, 1);
  EXPECT_FALSE(popover->isPopoverVisible());
  EXPECT_TRUE(probe->tap("Info")) << probe->lastError();
  EXPECT_EQ(infoTaps, 1);
}

TEST_F(NavigationTest, PassThroughViewsKeepWorkingUnderAPopover) {
  window->setSize({768, 1024});
  auto root = screen("Root");
  std::vector<std::string> taps;
  auto button = [&](const std::string &title) {
    auto b = std::make_shared<Button>(ButtonType::RoundedRect);
    b->setTitle(title);
    b->addTarget(TouchUpInside, [&taps, title](Control &) { taps.push_back(title); });
    return b;
  };
  auto panel = std::make_shared<View>(Rect(0, 0, 300, 100));
  auto go = button("Go"), other = button("Other"), keys = button("Keys"), hidden = button("Hid");
  panel->addSubview(go);
  root->view()->addSubview(panel);
  root->view()->addSubview(other);
  root->view()->addSubview(hidden);
  hidden->setHidden(true);
  auto field = std::make_shared<TextField>(Rect(0, 0, 400, 30));
  field->setLeftView(keys);
  field->setLeftViewMode(TextFieldViewMode::Always);
  root->navigationItem().setTitleView(field);
  auto info = BarButtonItem::titled("Info", BarButtonItemStyle::Plain,
                                    [&](auto &) { taps.push_back("Info"); });
  root->navigationItem().setRightBarButtonItem(info);
  window->setRootViewController(std::make_shared<NavigationController>(root));

  auto list = screen("List");
  list->setContentSizeForViewInPopover({320, 200});
  auto popover = std::make_shared<PopoverController>(list);
  auto recorder = std::make_shared<PopoverRecorder>();
  popover->setDelegate(recorder);
  auto gone = button("Gone");
  root->view()->addSubview(gone);
  popover->setPassthroughViews({panel, field, hidden, gone});
  gone->removeFromSuperview();
  const auto goneId = window->idOf(*gone);
  gone.reset(); // freed while the popover holds it: it drops out
  popover->presentPopoverFromRect(field->frame(), root->view(), ArrowAny, false);
  ASSERT_EQ(popover->passthroughViews().size(), 3u);
  auto snap = probe->snapshot();
  EXPECT_EQ(snap["popovers"][0]["passthrough"],
            nlohmann::json({window->idOf(*panel), window->idOf(*field), window->idOf(*hidden)}));

  struct Case {
    std::shared_ptr<Element> target;
    std::vector<std::string> heard; // what the tap reached; nothing when it is refused
    bool reaches;
  } cases[] = {
      {go, {"Go"}, true},     // inside a pass-through view
      {keys, {"Keys"}, true}, // a view the pass-through field shows at its end
      {field, {}, true},      // the pass-through view itself (it takes the focus)
      {other, {}, false},     // on the screen beneath, outside every pass-through view
      {info, {}, false},      // a bar item beside the pass-through field
      {hidden, {}, false}     // a pass-through view not shown
  };
  for (auto &c : cases) {
    taps.clear();
    EXPECT_EQ(probe->tap(c.target), c.reaches) << probe->lastError();
    EXPECT_TRUE(popover->isPopoverVisible());
    EXPECT_EQ(taps, c.heard);
  }
  EXPECT_TRUE(field->isFirstResponder());
  // Keys typed into the pass-through field reach it; the popover stays.
  EXPECT_TRUE(probe->dispatch({{"event", "type"}, {"id", window->idOf(*field)}, {"text", "ftp."}}))
      << probe->lastError();
  EXPECT_EQ(field->text(), "ftp.");
  EXPECT_FALSE(probe->dispatch({{"event", "tap"}, {"id", goneId}}));
  EXPECT_EQ(recorder->dismissed, 0);

  // A tap anywhere else still dismisses it, and the screen takes every touch again.
  ASSERT_TRUE(probe->dismissPopover()) << probe->lastError();
  EXPECT_EQ(recorder->dismissed, 1);
  EXPECT_FALSE(popover->isPopoverVisible());
  taps.clear();
  EXPECT_TRUE(probe->tap(other)) << probe->lastError();
  EXPECT_EQ(taps, std::vector<std::string>{"Other"});
}

TEST_F(NavigationTest, SplitContainerRotationAndMemoryWarnings) {
  window->setSize({768, 1024});
  auto left = std::make_shared<TabBarController>();
  auto ftp = screen("FTP"), settings = screen("Settings");
  left->setViewControllers({ftp, settings});
  auto web = screen("Web");
  web->allowLandscape = true;
  auto split = std::make_shared<SplitViewController>("MySplitView");
  split->setViewControllers(left, web);
  window->setRootViewController(split);
  EXPECT_TRUE(ftp->isVisible());
  EXPECT_TRUE(web->isVisible());
  EXPECT_FALSE(settings->isVisible());
  EXPECT_EQ(web->splitViewController(), split);

  auto master = std::make_shared<NavigationController>(screen("Bookmarks"));
  split->setViewControllers(master, std::make_shared<NavigationController>(web));
  EXPECT_EQ(probe->navigationTitles(), (std::vector<std::string>{"Bookmarks", "Web"}));
  EXPECT_FALSE(ftp->isVisible()) << "a replaced pane disappears";
  split->setViewControllers(left, web);
  EXPECT_EQ(web->parentViewController(), split);

  // The split container turns; every screen it shows hears of it.
  journal.clear();
  EXPECT_TRUE(probe->rotate(InterfaceOrientation::LandscapeLeft));
  EXPECT_EQ(window->interfaceOrientation(), InterfaceOrientation::LandscapeLeft);
  EXPECT_EQ(journal, (std::vector<std::string>{"FTP:rotated", "Web:rotated"}));

  // A subclass that frames the panes inside its own view does not show them twice.
  split->view()->addSubview(left->view());
  split->view()->addSubview(web->view());
  auto snap = probe->snapshot();
  EXPECT_EQ(snap["root"]["master"]["type"], "tabBarController");
  EXPECT_EQ(snap["root"]["detail"]["nib"], "WebView");
  EXPECT_TRUE(snap["root"]["view"]["subviews"].empty());

  // Hiding the master pane keeps both screens; the master is out of reach.
  split->setMasterHidden(true);
  EXPECT_TRUE(ftp->isVisible());

  journal.clear();
  window->sendMemoryWarning();
  EXPECT_EQ(journal, (std::vector<std::string>{"FTP:memory", "Settings:memory", "Web:memory"}));
}

TEST_F(NavigationTest, TabBarsTurnOnlyWhenEveryTabAgrees) {
  auto a = screen("A"), b = screen("B");
  auto tabs = std::make_shared<TabBarController>();
  tabs->setViewControllers({a, b});
  window->setRootViewController(tabs);
  a->allowLandscape = true;
  EXPECT_FALSE(probe->rotate(InterfaceOrientation::LandscapeRight));
  EXPECT_EQ(window->interfaceOrientation(), InterfaceOrientation::Portrait);
  b->allowLandscape = true;
  EXPECT_TRUE(probe->rotate(InterfaceOrientation::LandscapeRight));
  EXPECT_EQ(a->interfaceOrientation(), InterfaceOrientation::LandscapeRight);
}

} // namespace
