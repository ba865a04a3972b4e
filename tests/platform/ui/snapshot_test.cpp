#include "UiFixture.h"

using namespace uitest;
using nlohmann::json;

namespace {

// A sample folder screen: a two-line title view, Edit on the right, a table and a toolbar.
class FolderScreen : public ViewController, public TableViewDataSource, public TableViewDelegate {
public:
  FolderScreen() : ViewController("FolderView") {}
  std::vector<std::string> names{"docs", "notes.txt"};
  std::shared_ptr<TableView> table;
  std::shared_ptr<Toolbar> toolbar;
  std::shared_ptr<TextField> secret;
  std::vector<std::string> opened;
  int refreshes = 0;

  void viewDidLoad() override {
    auto self = std::static_pointer_cast<FolderScreen>(shared_from_this());
    auto titleView = std::make_shared<View>(Rect(0, 0, 160, 42));
    auto server = std::make_shared<Label>(Rect(0, 0, 160, 14));
    server->setText("ftp.example.net");
    auto folder = std::make_shared<Label>(Rect(0, 13, 160, 24));
    folder->setText("/");
    titleView->addSubview(server);
    titleView->addSubview(folder);
    navigationItem().setTitleView(titleView);
    navigationItem().setRightBarButtonItem(BarButtonItem::systemItem(BarButtonSystemItem::Edit));
    table = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 372));
    table->setDataSource(self);
    table->setDelegate(self);
    view()->addSubview(table);
    toolbar = std::make_shared<Toolbar>(Rect(0, 372, 320, 44));
    toolbar->setItems(
        {BarButtonItem::systemItem(BarButtonSystemItem::Refresh, [this](auto &) { ++refreshes; }),
         BarButtonItem::flexibleSpace()});
    view()->addSubview(toolbar);
    secret = std::make_shared<TextField>(Rect(0, 0, 100, 30));
    secret->setSecureTextEntry(true);
    secret->setText("hunter2");
    secret->setHidden(true);
    view()->addSubview(secret);
  }
  int numberOfRowsInSection(TableView &, int) override { return static_cast<int>(names.size()); }
  std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView &t, IndexPath ip) override {
    auto cell = t.dequeueReusableCellWithIdentifier("Ferrowen_DirCell");
    if (!cell)
      cell = std::make_shared<TableViewCell>(TableViewCellStyle::Subtitle, "Ferrowen_DirCell");
    cell->textLabel()->setText(names[static_cast<size_t>(ip.row)]);
    cell->detailTextLabel()->setText(ip.row == 0 ? "folder" : "1 KB");
    cell->setAccessoryType(ip.row == 0 ? TableViewCellAccessoryType::DisclosureIndicator
                                       : TableViewCellAccessoryType::None);
    return cell;
  }
  void didSelectRowAtIndexPath(TableView &, IndexPath ip) override {
    opened.push_back(names[static_cast<size_t>(ip.row)]);
  }
};

class SnapshotTest : public UiTest {
protected:
  void SetUp() override {
    UiTest::SetUp();
    folder = std::make_shared<FolderScreen>();
    auto nav = std::make_shared<NavigationController>(folder);
    nav->setTabBarItem(std::make_shared<TabBarItem>("FTP", "computer.png", 0));
    auto transfers = std::make_shared<ViewController>("TransfersView");
    transfers->setTabBarItem(std::make_shared<TabBarItem>("Transfers", "transfers.png", 2));
    transfers->tabBarItem()->setBadgeValue("2");
    tabs = std::make_shared<TabBarController>();
    tabs->setViewControllers({nav, transfers});
    window->setRootViewController(tabs);
  }
  // The first node (depth first) with the given type.
  static const json *findType(const json &node, const std::string &type) {
    if (node.is_object() && node.value("type", "") == type) return &node;
    if (node.is_object() || node.is_array())
      for (auto &child : node)
        if (auto found = findType(child, type)) return found;
    return nullptr;
  }
  std::shared_ptr<FolderScreen> folder;
  std::shared_ptr<TabBarController> tabs;
};

TEST_F(SnapshotTest, DescribesTabsStackBarsTableAndToolbar) {
  json snap = probe->snapshot();
  EXPECT_EQ(snap["format"], "ferrowen-ui");
  EXPECT_EQ(snap["window"]["size"], json({320, 480}));
  auto &root = snap["root"];
  EXPECT_EQ(root["type"], "tabBarController");
  EXPECT_EQ(root["selectedIndex"], 0);
  EXPECT_EQ(root["tabBar"]["items"][1]["title"], "Transfers");
  EXPECT_EQ(root["tabBar"]["items"][1]["badge"], "2");
  EXPECT_TRUE(root["tabBar"]["items"][0]["badge"].is_null());

  auto &nav = root["selected"];
  EXPECT_EQ(nav["type"], "navigation");
  EXPECT_EQ(nav["navigationBar"]["right"]["system"], "Edit");
  EXPECT_TRUE(nav["navigationBar"]["back"].is_null());
  EXPECT_EQ(nav["navigationBar"]["titleView"]["subviews"][0]["text"], "ftp.example.net");
  EXPECT_EQ(nav["top"]["type"], "screen");
  EXPECT_EQ(nav["top"]["nib"], "FolderView");

  auto *table = findType(nav["top"]["view"], "table");
  ASSERT_TRUE(table);
  ASSERT_EQ((*table)["rows"].size(), 2u);
  EXPECT_EQ((*table)["rows"][1]["cell"]["text"], "notes.txt");
  EXPECT_EQ((*table)["rows"][1]["cell"]["detail"], "1 KB");
  EXPECT_EQ((*table)["rows"][0]["cell"]["accessory"], "disclosure");
  EXPECT_EQ((*table)["sections"][0]["rows"], 2);
  auto *bar = findType(nav["top"]["view"], "toolbar");
  ASSERT_TRUE(bar);
  EXPECT_EQ((*bar)["items"][0]["system"], "Refresh");
  EXPECT_EQ((*bar)["items"][1]["system"], "FlexibleSpace");

  // Hidden views are kept (a renderer skips them); a secure text never shows.
  auto *field = findType(nav["top"]["view"], "textField");
  ASSERT_TRUE(field);
  EXPECT_EQ((*field)["hidden"], true);
  EXPECT_EQ(snap.dump().find("hunter2"), std::string::npos);
  EXPECT_TRUE(snap["alerts"].empty());
  EXPECT_EQ(snap["keyboard"]["visible"], false);
}

TEST_F(SnapshotTest, IsStableAndItsIdsLeadBackToTheElements) {
  json first = probe->snapshot(), second = probe->snapshot();
  EXPECT_EQ(first, second);
  auto *table = findType(first, "table");
  ASSERT_TRUE(table);
  auto id = (*table)["rows"][1]["cell"]["id"].get<uint64_t>();
  EXPECT_EQ(window->elementForId(id), folder->table->cellForRowAtIndexPath({0, 1}));
  // Ids do not depend on what other windows did before.
  auto other = std::make_shared<Window>();
  auto fresh = std::make_shared<FolderScreen>();
  other->setRootViewController(fresh);
  other->makeKeyAndVisible();
  EXPECT_EQ(other->snapshot()["root"]["id"], 1);
  window->makeKeyAndVisible();
}

TEST_F(SnapshotTest, ARendererActsThroughTheIdsItWasShown) {
  json snap = probe->snapshot();
  auto *table = findType(snap, "table");
  auto cellId = (*table)["rows"][0]["cell"]["id"];
  EXPECT_EQ(window->dispatch({{"event", "tap"}, {"id", cellId}})["ok"], true);
  EXPECT_EQ(folder->opened, (std::vector<std::string>{"docs"}));
  auto refreshId = findType(snap, "toolbar")->at("items")[0]["id"];
  EXPECT_EQ(window->dispatch({{"event", "tap"}, {"id", refreshId}})["ok"], true);
  EXPECT_EQ(folder->refreshes, 1);
  auto tabBarId = snap["root"]["id"];
  EXPECT_EQ(window->dispatch({{"event", "tapTab"}, {"id", tabBarId}, {"index", 1}})["ok"], true);
  EXPECT_EQ(tabs->selectedIndex(), 1);

  // What is no longer on the front layer cannot be touched, stale ids included.
  json result = window->dispatch({{"event", "tap"}, {"id", refreshId}});
  EXPECT_EQ(result["ok"], false);
  EXPECT_EQ(result["error"], "the element is not on the front layer");
  EXPECT_EQ(window->dispatch({{"event", "tap"}, {"id", 999999}})["error"],
            "no element with that id");
  EXPECT_EQ(window->dispatch({{"event", "wave"}, {"id", tabBarId}})["ok"], false);
}

TEST_F(SnapshotTest, MalformedEventsAreRefusedWithoutActing) {
  auto tabId = probe->snapshot()["root"]["id"];
  for (const json &bad : {json("tap"), json::object(), json{{"event", 3}},
                          json{{"event", "tap"}, {"id", "7"}}, json{{"event", "tap"}, {"id", -1}},
                          json{{"event", "tapTab"}, {"id", tabId}, {"index", "1"}},
                          json{{"event", "moveRow"}, {"id", tabId}, {"from", {0}}, {"to", {0, 1}}},
                          json{{"event", "setSwitch"}, {"id", tabId}, {"on", 1}},
                          json{{"event", "type"}, {"id", tabId}, {"text", nullptr}}}) {
    auto r = window->dispatch(bad);
    EXPECT_EQ(r["ok"], false) << bad.dump();
    EXPECT_FALSE(r["error"].get<std::string>().empty());
  }
  EXPECT_EQ(tabs->selectedIndex(), 0);
  EXPECT_EQ(window->dispatch({{"event", "slide"}, {"id", tabId}, {"value", 1}})["error"],
            "the element is not a slider")
      << "an integer is a number too";
}

TEST_F(SnapshotTest, LayersAboveTheScreensAreListedInOrder) {
  auto lock = std::make_shared<ViewController>("LockView");
  folder->presentModalViewController(lock, false);
  auto sheet =
      std::make_shared<ActionSheet>("Sort Folder", std::weak_ptr<ActionSheetDelegate>(), "Cancel",
                                    "", std::vector<std::string>{"Sort by Name"});
  sheet->showFromTabBar(tabs->tabBar());
  auto alert = std::make_shared<AlertView>("Passwords Do Not Match",
                                           "The two passwords entered do not match!",
                                           std::weak_ptr<AlertViewDelegate>(), "OK");
  alert->show();
  json snap = probe->snapshot();
  ASSERT_EQ(snap["modals"].size(), 1u);
  EXPECT_EQ(snap["modals"][0]["style"], "fullScreen");
  EXPECT_EQ(snap["modals"][0]["controller"]["nib"], "LockView");
  EXPECT_EQ(snap["sheets"][0]["buttons"], json({"Sort by Name", "Cancel"}));
  EXPECT_EQ(snap["sheets"][0]["cancelIndex"], 1);
  EXPECT_EQ(snap["sheets"][0]["anchor"]["kind"], "tabBar");
  EXPECT_EQ(snap["sheets"][0]["anchor"]["element"], window->idOf(*tabs->tabBar()));
  EXPECT_EQ(snap["alerts"][0]["message"], "The two passwords entered do not match!");
  EXPECT_EQ(
      window->dispatch({{"event", "answer"}, {"id", snap["sheets"][0]["id"]}, {"button", 1}})["ok"],
      false)
      << "the alert is answered first";
  EXPECT_EQ(
      window->dispatch({{"event", "answer"}, {"id", snap["alerts"][0]["id"]}, {"button", 0}})["ok"],
      true);
  EXPECT_EQ(
      window->dispatch({{"event", "answer"}, {"id", snap["sheets"][0]["id"]}, {"button", 1}})["ok"],
      true);
  EXPECT_TRUE(probe->snapshot()["alerts"].empty());
}

TEST_F(SnapshotTest, AScreensViewInsideAnotherShowsAsThatScreen) {
  // A container screen that puts a tab bar controller's view into its own view.
  auto container = std::make_shared<ViewController>("MySplitView");
  auto inner = std::make_shared<TabBarController>();
  inner->setViewControllers({std::make_shared<ViewController>("WebPreviewView")});
  container->view()->addSubview(inner->view());
  window->setRootViewController(container);
  json snap = probe->snapshot();
  auto &embedded = snap["root"]["view"]["subviews"][0];
  ASSERT_TRUE(embedded.contains("controller"));
  EXPECT_EQ(embedded["controller"]["type"], "tabBarController");
  // Its tabs can be tapped through the container.
  EXPECT_TRUE(probe->tapTab(0)) << probe->lastError();
}

} // namespace
