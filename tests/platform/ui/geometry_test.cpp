// What the window gives the screens to draw and what a page sends back: frames from the
// containers (and the fitting of a screen drawn for another size), views that draw themselves,
// the focus of screens that leave, and edits that replace a range of a text.
#include "UiFixture.h"

#include "platform/device/Application.h"
#include "platform/media/BitmapContext.h"

using namespace uitest;

namespace {

// A screen drawn for a taller view than it gets (a table over a bottom toolbar, as an interface
// file of 320 by 416 points has them), in a view of the window's size.
class ToolbarScreen : public ViewController {
public:
  std::shared_ptr<TableView> table;
  std::shared_ptr<Toolbar> bar;
  std::shared_ptr<Label> label;
  void loadView() override {
    ViewController::loadView();
    table = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 372));
    bar = std::make_shared<Toolbar>(Rect(0, 372, 320, 44));
    label = std::make_shared<Label>(Rect(20, 200, 280, 21));
    view()->addSubview(table);
    view()->addSubview(label);
    view()->addSubview(bar);
  }
};

// A view that paints itself, counting its paintings.
class Painted : public View {
public:
  using View::View;
  int paintings = 0;
  void drawRect(Rect, media::BitmapContext &context) override {
    ++paintings;
    context.setFillColor({1, 0, 0, 1});
    context.fillRect({0, 0, 1, 1});
  }
};

struct KeyboardCount : KeyboardObserver {
  int hidden = 0;
  void keyboardDidHide(const KeyboardInfo &) override { ++hidden; }
};

class GeometryTest : public UiTest {
protected:
  void SetUp() override {
    UiTest::SetUp();
    Application::shared().setStatusBarHidden(false);
  }
  // The screen as the root of a navigation controller inside a tab bar controller.
  std::shared_ptr<TabBarController> tabsWith(const std::shared_ptr<ViewController> &screen) {
    auto tabs = std::make_shared<TabBarController>();
    tabs->setViewControllers({std::make_shared<NavigationController>(screen)});
    window->setRootViewController(tabs);
    return tabs;
  }
};

TEST_F(GeometryTest, ContainersGiveEachScreenTheAreaBetweenItsBars) {
  struct Case {
    const char *what;
    bool tabs, navigation, barHidden;
    double height; // of the screen's view in a 320 x 480 window under a 20-point status bar
  };
  for (auto c : {Case{"tabs and navigation bar", true, true, false, 480 - 20 - 49 - 44},
                 Case{"tabs, navigation bar hidden", true, true, true, 480 - 20 - 49},
                 Case{"navigation alone", false, true, false, 480 - 20 - 44},
                 Case{"a plain screen", false, false, false, 480 - 20}}) {
    auto screen = std::make_shared<ViewController>();
    std::shared_ptr<ViewController> root = screen;
    if (c.navigation) {
      auto nav = std::make_shared<NavigationController>(screen);
      nav->setNavigationBarHidden(c.barHidden);
      root = nav;
    }
    if (c.tabs) {
      auto tabs = std::make_shared<TabBarController>();
      tabs->setViewControllers({root});
      root = tabs;
    }
    window->setRootViewController(root);
    window->layout();
    EXPECT_EQ(screen->view()->frame().size, (Size{320, c.height})) << c.what;
  }
}

TEST_F(GeometryTest, BottomToolbarStaysAboveTheTabBarAndTheTableEndsAtIt) {
  auto screen = std::make_shared<ToolbarScreen>();
  tabsWith(screen);
  window->snapshot();
  const double H = 480 - 20 - 49 - 44;
  EXPECT_EQ(screen->bar->frame(), Rect(0, H - 44, 320, 44));
  EXPECT_EQ(screen->table->frame(), Rect(0, 0, 320, H - 44));
  EXPECT_EQ(screen->label->frame(), Rect(20, 200, 280, 21)) << "other views keep their place";

  // A screen that puts its bar back where its interface file had it (after a reconnect, say)
  // is fitted again on the next pass.
  screen->bar->setFrame(Rect(0, 372, 320, 44));
  screen->table->setFrame(Rect(0, 0, 320, 372));
  window->layout();
  EXPECT_EQ(screen->bar->frame().maxY(), H);
  EXPECT_EQ(screen->table->frame().maxY(), H - 44);

  // Turned (a screen that allows it), the bars follow the new width and height.
  window->setSize({480, 320});
  window->layout();
  EXPECT_EQ(screen->bar->frame().size.width, 480);
  EXPECT_EQ(screen->bar->frame().maxY(), 320 - 20 - 49 - 44);
}

TEST_F(GeometryTest, AutoresizingMasksShareTheChangeOfSize) {
  struct Case {
    unsigned mask;
    Rect expected; // of a (10, 10, 100, 100) subview when 200 x 200 becomes 300 x 400
  };
  for (auto c :
       {Case{0, {10, 10, 100, 100}}, Case{FlexibleWidth | FlexibleHeight, {10, 10, 200, 300}},
        Case{FlexibleTopMargin, {10, 210, 100, 100}},
        Case{FlexibleLeftMargin | FlexibleRightMargin, {20, 10, 100, 100}},
        // 100 points shared by the width (100) and the right margin (90).
        Case{FlexibleWidth | FlexibleRightMargin, {10, 10, 100 + 100 * 100.0 / 190, 100}}}) {
    auto parent = std::make_shared<View>(Rect(0, 0, 200, 200));
    auto child = std::make_shared<View>(Rect(10, 10, 100, 100));
    child->setAutoresizingMask(c.mask);
    parent->addSubview(child);
    parent->setFrame(Rect(0, 0, 300, 400));
    Rect f = child->frame();
    EXPECT_NEAR(f.origin.x, c.expected.origin.x, 1e-9) << c.mask;
    EXPECT_NEAR(f.origin.y, c.expected.origin.y, 1e-9) << c.mask;
    EXPECT_NEAR(f.size.width, c.expected.size.width, 1e-9) << c.mask;
    EXPECT_NEAR(f.size.height, c.expected.size.height, 1e-9) << c.mask;
  }
}

TEST_F(GeometryTest, ModalSheetsAndPopoversOnTheTabletHaveTheirOwnSize) {
  window = std::make_shared<Window>(Size{768, 1024});
  window->makeKeyAndVisible();
  auto root = std::make_shared<ViewController>();
  window->setRootViewController(root);
  auto form = std::make_shared<ViewController>();
  auto sheet = std::make_shared<NavigationController>(form);
  sheet->setModalPresentationStyle(ModalPresentationStyle::FormSheet);
  root->presentModalViewController(sheet, false);
  auto content = std::make_shared<ViewController>();
  content->setContentSizeForViewInPopover({320, 5000});
  auto popover = std::make_shared<PopoverController>(content);
  popover->presentPopoverFromRect(Rect(0, 0, 10, 10), root->view(), ArrowAny, false);
  auto snap = window->snapshot();
  EXPECT_EQ(form->view()->frame().size, (Size{540, 620 - 44}));
  // A popover taller than the screen is cut to what fits, and the page is told its size.
  EXPECT_LT(content->view()->frame().size.height, 1024);
  EXPECT_EQ(snap["popovers"][0]["shownSize"][1], content->view()->frame().size.height);
}

TEST_F(GeometryTest, AViewThatDrawsItselfIsShownAsItsDrawingOfTheLatestVersion) {
  auto screen = std::make_shared<ViewController>();
  window->setRootViewController(screen);
  auto painted = std::make_shared<Painted>(Rect(0, 0, 100, 40));
  painted->setAccessibilityLabel("report.txt");
  auto plain = std::make_shared<View>(Rect(0, 50, 100, 40));
  screen->view()->addSubview(painted);
  screen->view()->addSubview(plain);
  EXPECT_TRUE(painted->drawsItself());
  EXPECT_FALSE(plain->drawsItself());

  auto drawn = [&](const std::shared_ptr<View> &v) {
    auto snap = window->describeView(*v);
    return snap.contains("drawn") ? snap["drawn"].get<unsigned>() : 0u;
  };
  EXPECT_FALSE(window->describeView(*plain).contains("drawn"));
  EXPECT_EQ(window->describeView(*painted)["label"], "report.txt");
  unsigned first = drawn(painted);
  EXPECT_EQ(drawn(painted), first) << "unchanged, the page keeps its picture";
  painted->setNeedsDisplay();
  unsigned second = drawn(painted);
  EXPECT_NE(second, first);
  painted->setFrame(Rect(0, 0, 200, 40));
  EXPECT_NE(drawn(painted), second) << "a new size is a new drawing";
  painted->setFrame(Rect(10, 0, 200, 40));
  EXPECT_EQ(drawn(painted), drawn(painted)) << "a move alone is not";
}

TEST_F(GeometryTest, AScreenThatLeavesLetsGoOfTheKeyboard) {
  auto keyboard = std::make_shared<KeyboardCount>();
  window->addKeyboardObserver(keyboard);
  auto root = std::make_shared<ViewController>();
  window->setRootViewController(root);
  auto prompt = std::make_shared<ViewController>();
  auto field = std::make_shared<TextField>(Rect(20, 40, 280, 31));
  prompt->view()->addSubview(field);
  root->presentModalViewController(std::make_shared<NavigationController>(prompt), false);
  ASSERT_TRUE(field->becomeFirstResponder());
  ASSERT_TRUE(window->isKeyboardVisible());
  // Done closes the prompt while its field still has the focus.
  root->dismissModalViewControllerAnimated(false);
  EXPECT_FALSE(window->firstResponder());
  EXPECT_FALSE(window->isKeyboardVisible());
  EXPECT_EQ(keyboard->hidden, 1);
  EXPECT_FALSE(window->snapshot()["keyboard"]["visible"]);
}

TEST_F(GeometryTest, ReplaceEditsTheRangeThePageSelected) {
  auto screen = std::make_shared<ViewController>();
  window->setRootViewController(screen);
  auto field = std::make_shared<TextField>(Rect(0, 0, 200, 30));
  auto text = std::make_shared<TextView>(Rect(0, 40, 200, 100));
  auto search = std::make_shared<SearchBar>(Rect(0, 150, 200, 44));
  for (std::shared_ptr<View> v :
       {std::shared_ptr<View>(field), std::shared_ptr<View>(text), std::shared_ptr<View>(search)})
    screen->view()->addSubview(v);
  auto textOf = [&](const std::shared_ptr<View> &v) {
    if (v == field) return field->text();
    if (v == text) return text->text();
    return search->text();
  };
  struct Case {
    const char *what, *before;
    size_t location, length;
    const char *with, *after;
  };
  const Case cases[] = {
      {"select-all then type", "127.0.0.1:2102", 0, 14, "1", "1"},
      {"insert in the middle", "12:21", 2, 0, "7", "127:21"},
      {"delete a selection", "abcdef", 1, 3, "", "aef"},
      {"paste over the end", "host", 2, 2, "me.example", "home.example"},
      {"a range past the end is clamped", "ab", 5, 9, "c", "abc"},
      {"surrogate pairs count two", "a😀b", 1, 2, "-", "a-b"},
      {"a line end of CR LF counts two", "E\r\nND", 5, 0, " X", "E\r\nND X"},
      {"after a CR LF and a pair", "😀\r\nab", 4, 1, "-", "😀\r\n-b"},
      {"composed text replaces the selection", "ka", 0, 2, "か", "か"},
  };
  for (auto &c : cases)
    for (std::shared_ptr<View> target : {std::shared_ptr<View>(field), std::shared_ptr<View>(text),
                                         std::shared_ptr<View>(search)}) {
      field->setText(c.before);
      text->setText(c.before);
      search->setText(c.before);
      auto result = window->dispatch({{"event", "replace"},
                                      {"id", window->idOf(*target)},
                                      {"location", c.location},
                                      {"length", c.length},
                                      {"text", c.with}});
      EXPECT_TRUE(result["ok"]) << c.what << " " << target->typeName();
      EXPECT_EQ(textOf(target), c.after) << c.what << " " << target->typeName();
    }
  // The caret of a text view ends after the replacement.
  EXPECT_EQ(text->selectedRange(), (Range{1, 0}));
  // Replacing nothing with nothing changes nothing; a malformed range is refused.
  auto none = window->dispatch(
      {{"event", "replace"}, {"id", window->idOf(*field)}, {"location", 0}, {"length", 0}});
  EXPECT_FALSE(none["ok"]);
  auto bad = window->dispatch(
      {{"event", "replace"}, {"id", window->idOf(*field)}, {"location", -1}, {"text", "x"}});
  EXPECT_FALSE(bad["ok"]);
}

// The page says where a person put a text view's caret (or selection), in the units of the text as
// the model holds it; only a text view keeps one.
TEST_F(GeometryTest, SelectPutsTheCaretOfATextView) {
  auto screen = std::make_shared<ViewController>();
  window->setRootViewController(screen);
  auto text = std::make_shared<TextView>(Rect(0, 0, 200, 100));
  auto field = std::make_shared<TextField>(Rect(0, 110, 200, 30));
  screen->view()->addSubview(text);
  screen->view()->addSubview(field);
  text->setText("one\r\n😀two");
  const struct {
    size_t location, length;
    Range expected;
  } cases[] = {{5, 0, {5, 0}}, {3, 4, {3, 4}}, {7, 50, {7, 3}}, {99, 0, {10, 0}}};
  for (auto &c : cases) {
    auto result = window->dispatch({{"event", "select"},
                                    {"id", window->idOf(*text)},
                                    {"location", c.location},
                                    {"length", c.length}});
    EXPECT_TRUE(result["ok"]) << c.location;
    EXPECT_EQ(text->selectedRange(), c.expected) << c.location;
  }
  auto refused = window->dispatch(
      {{"event", "select"}, {"id", window->idOf(*field)}, {"location", 0}, {"length", 0}});
  EXPECT_FALSE(refused["ok"]);
}

// Texts are measured in UTF-16 units whatever they hold: long runs of ASCII (taken eight bytes at
// a time) broken anywhere by characters of two, three and four bytes.
TEST(TextMeasures, Utf16LengthsAndOffsetsAgreeCharacterByCharacter) {
  const std::string pieces[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\r\n"};
  for (size_t run = 0; run < 20; ++run)
    for (const std::string &odd : pieces) {
      std::string text;
      std::vector<size_t> offsets{0}; // the byte offset at each UTF-16 index, where one exists
      auto add = [&](const std::string &piece) {
        const size_t start = text.size();
        text += piece;
        if (piece == "\r\n") offsets.push_back(start + 1);
        if (piece.size() == 4) offsets.push_back(text.size()); // inside a pair: after it
        offsets.push_back(text.size());
      };
      for (size_t i = 0; i < run; ++i)
        add("x");
      add(odd);
      for (size_t i = 0; i < 9; ++i)
        add("y");
      SCOPED_TRACE(text);
      EXPECT_EQ(utf16Length(text), offsets.size() - 1);
      for (size_t index = 0; index < offsets.size(); ++index)
        EXPECT_EQ(utf8Offset(text, index), offsets[index]) << index;
      EXPECT_EQ(utf8Offset(text, offsets.size() + 5), text.size());
    }
}

} // namespace
