#include "UiFixture.h"

using namespace uitest;

namespace {

// A sample list screen: sections of names, cells reused by identifier, editing with delete and
// move, and a log of what the table told it.
class ListScreen : public ViewController, public TableViewDataSource, public TableViewDelegate {
public:
  ListScreen() : ViewController("ListView") {}
  std::vector<std::vector<std::string>> sections{{"alpha", "beta", "gamma"}, {"delta"}};
  std::vector<std::string> headers{"Letters", "More"};
  std::shared_ptr<TableView> table;
  std::vector<std::string> log;
  int made = 0;
  std::optional<IndexPath> redirect;
  bool refuse = false;

  void viewDidLoad() override {
    table = std::make_shared<TableView>(TableViewStyle::Grouped, Rect(0, 0, 320, 416));
    table->setDataSource(std::static_pointer_cast<ListScreen>(shared_from_this()));
    table->setDelegate(std::static_pointer_cast<ListScreen>(shared_from_this()));
    view()->addSubview(table);
  }
  int numberOfSectionsInTableView(TableView &) override {
    return static_cast<int>(sections.size());
  }
  int numberOfRowsInSection(TableView &, int s) override {
    return static_cast<int>(sections[static_cast<size_t>(s)].size());
  }
  std::string titleForHeaderInSection(TableView &, int s) override {
    return headers[static_cast<size_t>(s)];
  }
  std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView &t, IndexPath ip) override {
    auto cell = t.dequeueReusableCellWithIdentifier("Ferrowen_TestCell");
    if (!cell) {
      ++made;
      cell = std::make_shared<TableViewCell>(TableViewCellStyle::Value1, "Ferrowen_TestCell");
      auto size = std::make_shared<Label>(Rect(30, 6, 260, 20));
      size->setTag(-3);
      cell->contentView()->addSubview(size);
    }
    auto &name = sections[static_cast<size_t>(ip.section)][static_cast<size_t>(ip.row)];
    cell->textLabel()->setText(name);
    cell->setAccessibilityLabel(name);
    std::static_pointer_cast<Label>(cell->viewWithTag(-3))->setText(std::to_string(name.size()));
    cell->setAccessoryType(ip.section == 0 ? TableViewCellAccessoryType::DetailDisclosureButton
                                           : TableViewCellAccessoryType::DisclosureIndicator);
    return cell;
  }
  bool canMoveRowAtIndexPath(TableView &, IndexPath) override { return true; }
  void commitEditingStyle(TableView &t, TableViewCellEditingStyle, IndexPath ip) override {
    auto &list = sections[static_cast<size_t>(ip.section)];
    log.push_back("delete " + list[static_cast<size_t>(ip.row)]);
    list.erase(list.begin() + ip.row);
    t.deleteRowsAtIndexPaths({ip}, TableViewRowAnimation::Fade);
  }
  void moveRowAtIndexPath(TableView &, IndexPath from, IndexPath to) override {
    auto &src = sections[static_cast<size_t>(from.section)];
    auto name = src[static_cast<size_t>(from.row)];
    src.erase(src.begin() + from.row);
    auto &dst = sections[static_cast<size_t>(to.section)];
    dst.insert(dst.begin() + to.row, name);
  }
  std::optional<IndexPath> willSelectRowAtIndexPath(TableView &, IndexPath ip) override {
    if (refuse) return std::nullopt;
    return redirect ? redirect : std::optional<IndexPath>(ip);
  }
  void didSelectRowAtIndexPath(TableView &t, IndexPath ip) override {
    log.push_back("select " + t.cellForRowAtIndexPath(ip)->textLabel()->text());
  }
  void didDeselectRowAtIndexPath(TableView &, IndexPath ip) override {
    log.push_back("deselect " + std::to_string(ip.section) + "." + std::to_string(ip.row));
  }
  void accessoryButtonTappedForRowWithIndexPath(TableView &, IndexPath ip) override {
    log.push_back("accessory " + std::to_string(ip.row));
  }
  std::shared_ptr<View> sectionHeader; // the second section's own header view, when set
  std::shared_ptr<View> viewForHeaderInSection(TableView &, int s) override {
    return s == 1 ? sectionHeader : nullptr;
  }
};

// The first object of the given type in a snapshot, depth first.
const nlohmann::json *findType(const nlohmann::json &j, const std::string &type) {
  if (j.is_object() && j.value("type", std::string()) == type) return &j;
  if (j.is_object() || j.is_array())
    for (auto &v : j)
      if (auto found = findType(v, type)) return found;
  return nullptr;
}

class TableTest : public UiTest {
protected:
  void SetUp() override {
    UiTest::SetUp();
    screen = std::make_shared<ListScreen>();
    window->setRootViewController(std::make_shared<NavigationController>(screen));
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (auto &r : probe->visibleRows())
      out.push_back(r.text);
    return out;
  }
  std::shared_ptr<ListScreen> screen;
};

TEST_F(TableTest, SectionsRowsAndTaggedSubviews) {
  auto rows = probe->visibleRows();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[3].indexPath, (IndexPath{1, 0}));
  EXPECT_EQ(rows[3].text, "delta");
  EXPECT_EQ(rows[0].accessory, TableViewCellAccessoryType::DetailDisclosureButton);
  EXPECT_EQ(screen->table->headerTitle(1), "More");
  auto cell = screen->table->cellForRowAtIndexPath({0, 2});
  ASSERT_TRUE(cell);
  EXPECT_EQ(std::static_pointer_cast<Label>(cell->viewWithTag(-3))->text(), "5");
  // Grouped: a section's titled header ("Letters", "More") leaves room for its one line of
  // title, and 10 points of footer follow each section's rows.
  auto &t = *screen->table;
  double header = t.rectForRowAtIndexPath({0, 0}).origin.y;
  EXPECT_GE(header, 30);
  EXPECT_EQ(t.rectForRowAtIndexPath({1, 0}).origin.y, header + 3 * 44 + 10 + header);
  EXPECT_EQ(t.contentSize().height, 2 * header + 4 * 44 + 2 * 10);
  // An untitled grouped section has a 10-point header.
  screen->headers = {"", ""};
  t.reloadData();
  EXPECT_EQ(t.rectForRowAtIndexPath({0, 0}).origin.y, 10);
  // A title wider than the table takes a second line.
  screen->headers = {"Extra Details (small text) in Folder Listings and more words", ""};
  t.reloadData();
  EXPECT_GE(t.rectForRowAtIndexPath({0, 0}).origin.y, header + 15);
}

TEST_F(TableTest, OnlyRowsInViewBecomeCellsAndCellsAreReused) {
  screen->sections = {{}};
  for (int i = 0; i < 100; ++i)
    screen->sections[0].push_back("file" + std::to_string(i));
  screen->headers = {""};
  screen->table->reloadData();
  // 416 points show rows 0 to 9 (after the 10-point header).
  EXPECT_EQ(screen->table->indexPathsForVisibleRows().size(), 10u);
  int made = screen->made;
  screen->table->scrollToRowAtIndexPath({0, 50}, TableViewScrollPosition::Middle, true);
  auto visible = screen->table->indexPathsForVisibleRows();
  ASSERT_FALSE(visible.empty());
  EXPECT_LE(visible.front().row, 50);
  EXPECT_GE(visible.back().row, 50);
  EXPECT_LE(screen->made - made, 1) << "cells leaving the view are reused";
  // A row far away is scrolled into view when tapped.
  ASSERT_TRUE(probe->tapRow(IndexPath{0, 99})) << probe->lastError();
  EXPECT_EQ(screen->log.back(), "select file99");
  EXPECT_TRUE(screen->table->cellForRowAtIndexPath({0, 99}));
  // Just enough scrolling to show it at the bottom edge.
  EXPECT_DOUBLE_EQ(screen->table->contentOffset().y,
                   screen->table->rectForRowAtIndexPath({0, 99}).maxY() - 416);
}

TEST_F(TableTest, AReloadKeepsEachRowsCell) {
  // The page may show the rows as they were before a reload; what a person taps there (a row's
  // accessory, by its cell) must still be that row.
  auto &t = *screen->table;
  std::vector<std::shared_ptr<TableViewCell>> before;
  for (auto &ip : t.indexPathsForVisibleRows())
    before.push_back(t.cellForRowAtIndexPath(ip));
  ASSERT_GE(before.size(), 3u);
  for (int reload = 0; reload < 2; ++reload) {
    t.reloadData();
    const auto visible = t.indexPathsForVisibleRows();
    ASSERT_EQ(visible.size(), before.size());
    for (size_t i = 0; i < visible.size(); ++i)
      EXPECT_EQ(t.cellForRowAtIndexPath(visible[i]), before[i]) << "row " << i;
  }
}

TEST_F(TableTest, SelectionAskTheDelegateAndMoveBetweenRows) {
  ASSERT_TRUE(probe->tapRow("beta")) << probe->lastError();
  EXPECT_TRUE(probe->visibleRows()[1].selected);
  ASSERT_TRUE(probe->tapRow("delta"));
  EXPECT_EQ(screen->log, (std::vector<std::string>{"select beta", "deselect 0.1", "select delta"}));
  EXPECT_EQ(screen->table->indexPathForSelectedRow(), (IndexPath{1, 0}));

  screen->refuse = true; // tapped, but the screen keeps the old selection
  EXPECT_TRUE(probe->tapRow("alpha"));
  EXPECT_EQ(screen->table->indexPathForSelectedRow(), (IndexPath{1, 0}));
  screen->refuse = false;
  screen->redirect = IndexPath{0, 2};
  EXPECT_TRUE(probe->tapRow("alpha"));
  EXPECT_EQ(screen->log.back(), "select gamma");

  screen->table->deselectRowAtIndexPath({0, 2}, true);
  EXPECT_FALSE(screen->table->indexPathForSelectedRow());
  // Reloading forgets the selection.
  screen->table->selectRowAtIndexPath(IndexPath{0, 0}, false, TableViewScrollPosition::None);
  screen->table->reloadData();
  EXPECT_FALSE(screen->table->indexPathForSelectedRow());
  screen->table->setAllowsSelection(false);
  EXPECT_FALSE(probe->tapRow("alpha"));
}

TEST_F(TableTest, AccessoryButtonsOnlyWhereShown) {
  ASSERT_TRUE(probe->tapAccessory("beta")) << probe->lastError();
  EXPECT_EQ(screen->log, (std::vector<std::string>{"accessory 1"}));
  EXPECT_FALSE(probe->tapAccessory("delta")); // a disclosure indicator is no button
  EXPECT_NE(probe->lastError().find("no accessory"), std::string::npos);
}

TEST_F(TableTest, EditingDeletesAndMovesRowsWithTheirCells) {
  // Swipe to delete works outside editing mode.
  ASSERT_TRUE(probe->deleteRow({0, 0})) << probe->lastError();
  EXPECT_EQ(texts(), (std::vector<std::string>{"beta", "gamma", "delta"}));
  EXPECT_FALSE(probe->moveRow({0, 0}, {0, 1})); // moving needs editing mode

  auto gammaCell = screen->table->cellForRowAtIndexPath({0, 1});
  screen->table->setEditing(true, true);
  EXPECT_TRUE(gammaCell->isEditing());
  EXPECT_TRUE(gammaCell->showsReorderControl());
  EXPECT_EQ(gammaCell->editingStyle(), TableViewCellEditingStyle::Delete);
  EXPECT_FALSE(probe->tapRow("beta")); // no selection while editing

  // Top row to the bottom of the other section: the data and the cells move together.
  ASSERT_TRUE(probe->moveRow({0, 0}, {1, 1})) << probe->lastError();
  EXPECT_EQ(screen->sections,
            (std::vector<std::vector<std::string>>{{"gamma"}, {"delta", "beta"}}));
  EXPECT_EQ(texts(), (std::vector<std::string>{"gamma", "delta", "beta"}));
  EXPECT_EQ(screen->table->cellForRowAtIndexPath({0, 0}), gammaCell);
  EXPECT_FALSE(probe->moveRow({0, 0}, {1, 5}));
  EXPECT_EQ(screen->table->reloadCount(), 1u) << "moves and deletes do not reload";

  screen->table->setEditing(false);
  EXPECT_FALSE(gammaCell->isEditing());
  EXPECT_EQ(gammaCell->editingStyle(), TableViewCellEditingStyle::None);
}

TEST_F(TableTest, TableHeaderViewTakesPlaceAndCanBeScrolledAway) {
  auto search = std::make_shared<SearchBar>(Rect(0, 0, 320, 44));
  search->setPlaceholder("Search Folder");
  screen->table->setTableHeaderView(search);
  screen->table->setContentOffset({0, 44});
  screen->headers = {"", ""};
  screen->table->reloadData();
  EXPECT_EQ(screen->table->rectForRowAtIndexPath({0, 0}).origin.y, 44 + 10);
  EXPECT_TRUE(probe->find<SearchBar>("Search Folder"));
  EXPECT_EQ(screen->table->contentOffset().y, 44);
}

// The accessory stands at the row's right, centred in its height, and the content view ends where
// it begins, so what the content view holds never lies under it: a plain row's accessory view
// reaches the edge, a grouped row's keeps its inset and padding (20 points); the drawn accessories
// (chevron, detail button) take their room too.
TEST_F(TableTest, AccessoryTakesItsRoomAndTheContentViewTheRest) {
  auto &t = *screen->table;
  struct Case {
    IndexPath row;
    double contentWidth;
  } cases[] = {{{0, 0}, 320 - 20 - 33}, {{1, 0}, 320 - 20 - 20}};
  for (auto &c : cases)
    EXPECT_EQ(t.cellForRowAtIndexPath(c.row)->contentView()->frame(),
              Rect(0, 0, c.contentWidth, 44))
        << c.row.section;

  auto cell = t.cellForRowAtIndexPath({0, 1});
  auto button = std::make_shared<Button>(ButtonType::Custom, Rect(0, 0, 40, 40));
  cell->setAccessoryView(button);
  EXPECT_EQ(button->frame(), Rect(320 - 20 - 40, 2, 40, 40));
  EXPECT_EQ(cell->contentView()->frame().size.width, 320 - 20 - 40);

  // A plain table's row of another height: the button reaches the edge, centred; the content
  // view follows the row's height.
  auto plain = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 400));
  plain->setRowHeight(60);
  plain->setDataSource(screen);
  auto row = plain->cellForRowAtIndexPath({0, 0});
  ASSERT_TRUE(row);
  EXPECT_EQ(row->contentView()->frame(), Rect(0, 0, 320 - 33, 60));
  row->setAccessoryView(button);
  EXPECT_EQ(button->frame(), Rect(280, 10, 40, 40));
  EXPECT_EQ(row->contentView()->frame(), Rect(0, 0, 280, 60));
  // Without its view the row's drawn accessory (the detail button) takes its room again.
  row->setAccessoryView(nullptr);
  EXPECT_EQ(row->contentView()->frame().size.width, 320 - 33);
}

// In editing mode the delete control stands at the row's left and the reorder control at its
// right, so the content view moves over and ends before them (what it holds never lies over the
// control that deletes the row); out of editing mode it has the row again, less the accessory.
TEST_F(TableTest, EditingControlsTakeTheirRoomFromTheContentView) {
  auto &t = *screen->table;
  const double control = TableViewCell::kEditingControlWidth;
  struct Case {
    bool editing;
    IndexPath row;
    Rect content;
  } cases[] = {
      {true, {0, 0}, Rect(control, 0, 320 - 20 - control - control, 44)},
      {true, {1, 0}, Rect(control, 0, 320 - 20 - control - control, 44)},
      {false, {0, 0}, Rect(0, 0, 320 - 20 - 33, 44)},
      {false, {1, 0}, Rect(0, 0, 320 - 20 - 20, 44)},
  };
  for (auto &c : cases) {
    t.setEditing(c.editing);
    auto cell = t.cellForRowAtIndexPath(c.row);
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->contentView()->frame(), c.content)
        << (c.editing ? "editing " : "") << c.row.section;
  }
}

// The snapshot says how a row's texts are set (the style's fonts, or the screen's own font,
// colour and lines) and where each section's header and footer stand, with a section's own
// header view.
TEST_F(TableTest, SnapshotCarriesTextLooksAndSectionViews) {
  auto header = std::make_shared<View>(Rect(0, 0, 320, 46));
  auto help = std::make_shared<Button>(ButtonType::Custom, Rect(250, 12, 54, 28));
  help->setTitle("Help");
  header->addSubview(help);
  screen->sectionHeader = header;
  auto &t = *screen->table;
  t.reloadData();
  auto cell = t.cellForRowAtIndexPath({0, 0});
  cell->textLabel()->setFont(Font::system(14));
  cell->textLabel()->setNumberOfLines(2);

  auto snap = window->snapshot();
  auto table = findType(snap, "table");
  ASSERT_TRUE(table);
  auto &sections = (*table)["sections"];
  ASSERT_EQ(sections.size(), 2u);
  const double second = t.rectForRowAtIndexPath({1, 0}).origin.y;
  EXPECT_EQ(sections[1]["headerFrame"], nlohmann::json({0, second - 46, 320, 46}));
  EXPECT_EQ(sections[1]["headerView"]["subviews"][0]["title"], "Help");
  EXPECT_TRUE(sections[0]["headerView"].is_null());
  const auto last = t.rectForRowAtIndexPath({0, 2});
  EXPECT_EQ(sections[0]["footerFrame"], nlohmann::json({0, last.maxY(), 320, 10}));
  EXPECT_EQ(sections[0]["headerFrame"][3], t.rectForRowAtIndexPath({0, 0}).origin.y);

  std::map<std::string, nlohmann::json> looks;
  for (auto &r : (*table)["rows"])
    looks[r["cell"]["text"]] = r["cell"];
  EXPECT_EQ(looks["alpha"]["textLook"]["font"]["size"], 14);
  EXPECT_EQ(looks["alpha"]["textLook"]["font"]["bold"], false);
  EXPECT_EQ(looks["alpha"]["textLook"]["lines"], 2);
  // A value row's own look: a bold 17-point title and its value in blue beside it.
  EXPECT_EQ(looks["beta"]["textLook"]["font"]["size"], 17);
  EXPECT_EQ(looks["beta"]["textLook"]["font"]["bold"], true);
  EXPECT_EQ(looks["beta"]["textLook"]["lines"], 1);
  EXPECT_EQ(looks["beta"]["detailLook"]["textColor"][2].get<double>(), 135 / 255.0);
}

} // namespace
