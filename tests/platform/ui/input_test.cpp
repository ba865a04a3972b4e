#include "UiFixture.h"
#include "tests/support/TimeScale.h"

#include <cmath>
#include <functional>
#include <set>

using namespace uitest;

namespace {

// A sample connect form: server, port (digits only, at most 5) and password fields.
class FormScreen : public ViewController, public TextFieldDelegate {
public:
  FormScreen() : ViewController("FormView") {}
  std::shared_ptr<TextField> server, port, password;
  std::vector<std::string> log;
  std::vector<Range> ranges;
  bool allowEnd = true;

  void viewDidLoad() override {
    auto self = std::static_pointer_cast<FormScreen>(shared_from_this());
    server = field("Server", self);
    port = field("Port", self);
    password = field("Password", self);
    password->setSecureTextEntry(true);
    password->setAccessibilityLabel("Password");
    port->setKeyboardType(KeyboardType::NumberPad);
    server->setClearButtonMode(TextFieldViewMode::WhileEditing);
    server->addTarget(EditingChanged, [this](Control &) { log.push_back("changed"); });
  }
  std::shared_ptr<TextField> field(const std::string &placeholder,
                                   const std::shared_ptr<FormScreen> &self) {
    auto f = std::make_shared<TextField>();
    f->setPlaceholder(placeholder);
    f->setDelegate(self);
    view()->addSubview(f);
    return f;
  }
  bool shouldChangeCharactersInRange(TextField &f, Range r, const std::string &s) override {
    ranges.push_back(r);
    if (&f != port.get()) return true;
    bool digits = s.find_first_not_of("0123456789") == std::string::npos;
    return digits && utf16Length(f.text()) - r.length + utf16Length(s) <= 5;
  }
  bool textFieldShouldEndEditing(TextField &) override { return allowEnd; }
  void textFieldDidEndEditing(TextField &f) override { log.push_back("end " + f.placeholder()); }
  bool textFieldShouldReturn(TextField &f) override {
    log.push_back("return " + f.placeholder());
    if (&f == server.get()) return port->becomeFirstResponder(), false;
    f.resignFirstResponder();
    return true;
  }
};

struct KeyboardLog : KeyboardObserver {
  std::vector<std::string> events;
  double lastHeight = 0;
  void keyboardWillShow(const KeyboardInfo &i) override {
    events.push_back("willShow");
    lastHeight = i.frameEnd.size.height;
  }
  void keyboardDidShow(const KeyboardInfo &) override { events.push_back("didShow"); }
  void keyboardWillHide(const KeyboardInfo &) override { events.push_back("willHide"); }
  void keyboardDidHide(const KeyboardInfo &) override { events.push_back("didHide"); }
};

class InputTest : public UiTest {
protected:
  void SetUp() override {
    UiTest::SetUp();
    form = std::make_shared<FormScreen>();
    window->setRootViewController(form);
    window->addKeyboardObserver(keyboard);
  }
  std::shared_ptr<FormScreen> form;
  std::shared_ptr<KeyboardLog> keyboard = std::make_shared<KeyboardLog>();
};

TEST_F(InputTest, ShouldChangeFilterSeesEachCharacterAtTheCaret) {
  EXPECT_FALSE(probe->type("Port", "x"));
  EXPECT_NE(probe->lastError().find("refused"), std::string::npos);
  EXPECT_TRUE(probe->type("Port", "21a0099"));
  EXPECT_EQ(form->port->text(), "21009") << "letters and the sixth digit are refused";
  ASSERT_TRUE(probe->backspace("21009", 2));
  EXPECT_EQ(form->port->text(), "210");
  EXPECT_EQ(form->ranges.back(), (Range{3, 1}));

  // Ranges count UTF-16 units: an emoji is two, an accented letter one.
  form->ranges.clear();
  ASSERT_TRUE(probe->type("Server", "é😀a"));
  EXPECT_EQ(form->ranges, (std::vector<Range>{{0, 0}, {1, 0}, {3, 0}}));
  ASSERT_TRUE(probe->backspace("é😀a", 2));
  EXPECT_EQ(form->ranges.back(), (Range{1, 2}));
  EXPECT_EQ(form->server->text(), "é");
  EXPECT_EQ(form->log, (std::vector<std::string>{"end Port", "changed", "changed", "changed",
                                                 "changed", "changed"}));
}

TEST_F(InputTest, FocusMovesAndTheKeyboardComesAndGoesOnce) {
  ASSERT_TRUE(probe->tap("Server"));
  EXPECT_TRUE(form->server->isEditing());
  EXPECT_EQ(keyboard->events, (std::vector<std::string>{"willShow", "didShow"}));
  EXPECT_EQ(keyboard->lastHeight, 216);
  ASSERT_TRUE(probe->type("Server", "ftp.example.net"));
  ASSERT_TRUE(probe->pressReturn("ftp.example.net")); // moves on to the port field
  EXPECT_TRUE(form->port->isFirstResponder());
  EXPECT_FALSE(form->server->isEditing());
  EXPECT_EQ(keyboard->events.size(), 2u) << "moving the focus keeps the keyboard up";

  // A field that will not let go keeps the focus.
  form->allowEnd = false;
  EXPECT_FALSE(probe->tap("Password"));
  EXPECT_TRUE(form->port->isFirstResponder());
  form->allowEnd = true;
  ASSERT_TRUE(probe->tap("Password"));
  ASSERT_TRUE(probe->type("Password", "secret")) << probe->lastError();
  auto snap = probe->snapshot();
  EXPECT_EQ(snap["keyboard"]["visible"], true);
  EXPECT_EQ(snap["keyboard"]["focus"], window->idOf(*form->password));
  EXPECT_FALSE(probe->find("secret")) << "a secure field shows dots";
  EXPECT_EQ(form->password->probeText(), "\u2022\u2022\u2022\u2022\u2022\u2022");
  ASSERT_TRUE(probe->pressReturn("Password"));
  EXPECT_EQ(keyboard->events,
            (std::vector<std::string>{"willShow", "didShow", "willHide", "didHide"}));
  EXPECT_FALSE(window->isKeyboardVisible());
  EXPECT_FALSE(probe->pressReturn("Password")) << "Return needs the field to be edited";
}

TEST_F(InputTest, ClearButtonShowsOnlyWhileEditing) {
  form->server->setText("host");
  EXPECT_FALSE(probe->clear("host"));
  ASSERT_TRUE(probe->tap("host"));
  ASSERT_TRUE(probe->clear("host")) << probe->lastError();
  EXPECT_EQ(form->server->text(), "");
  EXPECT_EQ(form->log.back(), "changed");
}

struct EditorLog : TextViewDelegate {
  std::vector<std::string> events;
  bool readOnlyTail = false;
  bool shouldChangeTextInRange(TextView &v, Range r, const std::string &) override {
    return !readOnlyTail || r.location + r.length < utf16Length(v.text());
  }
  void textViewDidChange(TextView &) override { events.push_back("change"); }
  void textViewDidChangeSelection(TextView &) override { events.push_back("selection"); }
};

TEST_F(InputTest, TextViewEditsAtTheSelectionAndPastesFromThePasteboard) {
  auto editor = std::make_shared<TextView>(Rect(0, 0, 320, 200));
  auto log = std::make_shared<EditorLog>();
  editor->setDelegate(log);
  editor->setText("hello world");
  form->view()->addSubview(editor);

  editor->setSelectedRange({6, 5});
  ASSERT_TRUE(probe->type("hello world", "there"));
  EXPECT_EQ(editor->text(), "hello there");
  EXPECT_EQ(editor->selectedRange(), (Range{11, 0}));

  // An extra key: put one character on the pasteboard, paste it, put the old string back.
  Pasteboard::generalPasteboard().setString("user's clipboard");
  auto saved = Pasteboard::generalPasteboard().string();
  Pasteboard::generalPasteboard().setString("{");
  editor->setSelectedRange({0, 0});
  EXPECT_TRUE(editor->paste());
  Pasteboard::generalPasteboard().setString(saved);
  EXPECT_EQ(editor->text(), "{hello there");
  EXPECT_EQ(editor->selectedRange(), (Range{1, 0}));
  EXPECT_EQ(Pasteboard::generalPasteboard().string(), "user's clipboard");

  editor->setSelectedRange({100, 100}); // clamped to the text
  EXPECT_EQ(editor->selectedRange(), (Range{12, 0}));
  log->readOnlyTail = true;
  EXPECT_FALSE(probe->backspace("{hello there", 1));
  // A double tap goes up the chain to whoever handles touches.
  struct TapCatcher : View {
    int last = 0;
    void touchesEnded(int taps) override { last = taps; }
  };
  auto catcher = std::make_shared<TapCatcher>();
  catcher->addSubview(editor);
  form->view()->addSubview(catcher);
  ASSERT_TRUE(probe->touch("{hello there", 2)) << probe->lastError();
  EXPECT_EQ(catcher->last, 2);

  editor->setEditable(false);
  EXPECT_FALSE(editor->insertText("x"));
  EXPECT_EQ(editor->text(), "{hello there");
}

// What the program sets in a text view reaches whoever draws it as it sets it: every selection it
// sets and every range it asks to be scrolled into view counts (the same one again too, as the
// person may have moved away from it meanwhile), clamped to the text; a person's own moves of the
// caret are not the program's.
TEST_F(InputTest, TextViewCountsWhatTheProgramSetsForTheDrawing) {
  auto editor = std::make_shared<TextView>(Rect(0, 0, 320, 200));
  editor->setText("one\ntwo\nthree");
  form->view()->addSubview(editor);
  auto described = [&] {
    nlohmann::json out;
    editor->describe(out);
    return out;
  };
  EXPECT_FALSE(described().contains("scrollTo"));
  const uint64_t before = described()["selectionsSet"].get<uint64_t>();
  struct Step {
    const char *what;
    std::function<void()> act;
    uint64_t selectionsSet; // beyond `before`
    nlohmann::json scrollTo;
  } steps[] = {
      {"a selection",
       [&] {
         editor->setSelectedRange({4, 3});
       },
       1, nullptr},
      {"the same again",
       [&] {
         editor->setSelectedRange({4, 3});
       },
       2, nullptr},
      {"a scroll",
       [&] {
         editor->scrollRangeToVisible({8, 5});
       },
       2,
       {8, 5, 1}},
      {"the same again",
       [&] {
         editor->scrollRangeToVisible({8, 5});
       },
       2,
       {8, 5, 2}},
      {"beyond the text",
       [&] {
         editor->scrollRangeToVisible({40, 9});
       },
       2,
       {13, 0, 3}},
      {"the person's caret",
       [&] {
         std::string why;
         ASSERT_TRUE(editor->userSelect({1, 0}, why)) << why;
       },
       2,
       {13, 0, 3}},
  };
  for (auto &step : steps) {
    step.act();
    const auto out = described();
    EXPECT_EQ(out["selectionsSet"].get<uint64_t>() - before, step.selectionsSet) << step.what;
    EXPECT_EQ(out.value("scrollTo", nlohmann::json()), step.scrollTo) << step.what;
  }
  EXPECT_EQ(editor->selectedRange(), (Range{1, 0}));
}

struct SearchLog : SearchBarDelegate {
  std::vector<std::string> events;
  void searchBarTextDidBeginEditing(SearchBar &bar) override {
    bar.setShowsCancelButton(true, true);
  }
  void textDidChange(SearchBar &, const std::string &t) override { events.push_back(t); }
  void searchBarSearchButtonClicked(SearchBar &bar) override {
    events.push_back("search");
    bar.resignFirstResponder();
  }
  void searchBarCancelButtonClicked(SearchBar &bar) override {
    events.push_back("cancel");
    bar.setText("");
    bar.setShowsCancelButton(false, true);
    bar.resignFirstResponder();
  }
};

TEST_F(InputTest, SearchBarReportsEveryChangeAndItsButtons) {
  auto bar = std::make_shared<SearchBar>(Rect(0, 0, 320, 44));
  auto log = std::make_shared<SearchLog>();
  bar->setDelegate(log);
  bar->setPlaceholder("Search Folder");
  form->view()->addSubview(bar);
  EXPECT_FALSE(probe->dispatch({{"event", "searchCancel"}, {"id", window->idOf(*bar)}}));
  ASSERT_TRUE(probe->type("Search Folder", "ab"));
  EXPECT_TRUE(bar->showsCancelButton());
  ASSERT_TRUE(probe->pressReturn("ab"));
  ASSERT_TRUE(probe->dispatch({{"event", "searchCancel"}, {"id", window->idOf(*bar)}}));
  EXPECT_EQ(log->events, (std::vector<std::string>{"a", "ab", "search", "cancel"}));
  EXPECT_FALSE(bar->isEditing());
}

TEST_F(InputTest, SwitchesSlidersSegmentsAndBarItems) {
  int changes = 0, segmentSeen = -2;
  auto sw = std::make_shared<Switch>();
  sw->setAccessibilityLabel("Show \"Hidden\" Files");
  sw->addTarget(ValueChanged, [&](Control &) { ++changes; });
  auto slider = std::make_shared<Slider>();
  slider->setAccessibilityLabel("Quality");
  slider->setMaximumValue(10);
  auto protocol =
      std::make_shared<SegmentedControl>(std::vector<std::string>{"FTP", "FTPS", "SFTP"});
  protocol->setAccessibilityLabel("Protocol");
  protocol->addTarget(ValueChanged, [&](Control &c) {
    segmentSeen = static_cast<SegmentedControl &>(c).selectedSegmentIndex();
  });
  auto button = std::make_shared<SegmentedControl>(std::vector<std::string>{"Resize"});
  button->setMomentary(true);
  button->setAccessibilityLabel("Resize");
  for (auto v : std::vector<std::shared_ptr<View>>{sw, slider, protocol, button})
    form->view()->addSubview(v);

  ASSERT_TRUE(probe->setSwitch("Show \"Hidden\" Files", true));
  ASSERT_TRUE(probe->setSwitch("Show \"Hidden\" Files", true)); // already on: no event
  EXPECT_TRUE(sw->isOn());
  EXPECT_EQ(changes, 1);
  sw->setEnabled(false);
  EXPECT_FALSE(probe->setSwitch("Show \"Hidden\" Files", false));
  EXPECT_NE(probe->lastError().find("disabled"), std::string::npos);

  ASSERT_TRUE(probe->slide("Quality", 42));
  EXPECT_EQ(slider->value(), 10);
  ASSERT_TRUE(probe->selectSegment("Protocol", 2));
  EXPECT_EQ(segmentSeen, 2);
  protocol->setSelectedSegmentIndex(0); // in code: no event
  EXPECT_EQ(segmentSeen, 2);
  EXPECT_FALSE(probe->selectSegment("Protocol", 3));
  segmentSeen = -2;
  ASSERT_TRUE(probe->selectSegment("Resize", 0));
  EXPECT_EQ(button->selectedSegmentIndex(), -1) << "a momentary control shows no selection";

  // Toolbar items: names, enabled state, spaces left out.
  int refreshes = 0;
  auto toolbar = std::make_shared<Toolbar>(Rect(0, 436, 320, 44));
  auto download =
      BarButtonItem::withImage("downloads.png", BarButtonItemStyle::Plain, [](auto &) {});
  download->setAccessibilityLabel("Download");
  download->setEnabled(false);
  toolbar->setItems(
      {BarButtonItem::systemItem(BarButtonSystemItem::Refresh, [&](auto &) { ++refreshes; }),
       BarButtonItem::flexibleSpace(), download, BarButtonItem::fixedSpace(20)},
      true);
  form->view()->addSubview(toolbar);
  auto items = probe->toolbarItems();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].name, "Refresh");
  EXPECT_FALSE(items[1].enabled);
  ASSERT_TRUE(probe->tap("Refresh"));
  EXPECT_EQ(refreshes, 1);
  EXPECT_FALSE(probe->tap("Download"));
  // Hidden views and what they hold are out of reach.
  toolbar->setHidden(true);
  EXPECT_FALSE(probe->tap("Refresh"));
}

struct PageLog : WebViewDelegate {
  std::vector<std::string> events;
  bool downloadMode = false;
  bool shouldStartLoadWithRequest(WebView &, const WebRequest &r,
                                  WebViewNavigationType t) override {
    events.push_back(std::to_string(static_cast<int>(t)) + " == " + r.url);
    if (r.url.rfind("about:", 0) == 0) return false;
    return !(downloadMode && t == WebViewNavigationType::LinkClicked);
  }
  void webViewDidStartLoad(WebView &) override { events.push_back("start"); }
  void webViewDidFinishLoad(WebView &) override { events.push_back("finish"); }
  void didFailLoadWithError(WebView &, const std::string &e) override {
    events.push_back("fail " + e);
  }
};

struct ScriptEngine : WebEngine {
  std::string evaluateScript(WebView &, const std::string &s) override {
    return s == "document.title" ? "Index of /" : "";
  }
};

TEST_F(InputTest, WebViewAsksFollowsAndRecordsLoads) {
  auto web = std::make_shared<WebView>(Rect(0, 0, 320, 416));
  auto log = std::make_shared<PageLog>();
  web->setDelegate(log);
  form->view()->addSubview(web);

  web->loadRequest({"http://example.net/"});
  EXPECT_TRUE(web->isLoading());
  web->finishLoad();
  ASSERT_TRUE(probe->dispatch(
      {{"event", "followLink"}, {"id", window->idOf(*web)}, {"url", "http://example.net/a.zip"}}));
  web->failLoad("The network connection was lost.");
  EXPECT_TRUE(web->canGoBack());
  web->goBack();
  EXPECT_EQ(web->request().url, "http://example.net/");
  EXPECT_FALSE(web->canGoBack());
  EXPECT_TRUE(web->canGoForward());
  web->finishLoad();
  EXPECT_EQ(log->events, (std::vector<std::string>{"5 == http://example.net/", "start", "finish",
                                                   "0 == http://example.net/a.zip", "start",
                                                   "fail The network connection was lost.",
                                                   "2 == http://example.net/", "start", "finish"}));

  // A refused link leaves the page as it was; an HTML string is asked about as about:blank.
  log->events.clear();
  log->downloadMode = true;
  ASSERT_TRUE(probe->dispatch(
      {{"event", "followLink"}, {"id", window->idOf(*web)}, {"url", "http://example.net/b.zip"}}));
  web->loadHTMLString("<html>error</html>", "");
  EXPECT_EQ(log->events,
            (std::vector<std::string>{"0 == http://example.net/b.zip", "5 == about:blank"}));
  EXPECT_EQ(web->loads().size(), 3u);
  EXPECT_EQ(web->request().url, "http://example.net/");

  EXPECT_EQ(web->stringByEvaluatingJavaScriptFromString("document.title"), "");
  web->setEngine(std::make_shared<ScriptEngine>());
  EXPECT_EQ(web->stringByEvaluatingJavaScriptFromString("document.title"), "Index of /");
  EXPECT_EQ(web->evaluatedScripts().size(), 2u);
}

// An engine that answers at once: a ".zip", or an address turned into a file, is a file no page
// shows; anything else a page.
struct FilesAreNoPages : WebEngine {
  std::set<std::string> files;
  void startLoad(WebView &view, const WebLoad &load) override {
    const std::string &url = load.url;
    if (files.count(url) || (url.size() > 4 && url.substr(url.size() - 4) == ".zip"))
      view.failLoad("cannot be shown", WebLoadError::CannotShowType);
    else
      view.finishLoad();
  }
};

// A screen that stays on its page when a load shows nothing, as the web screens do.
struct StaysOnItsPage : PageLog {
  int stayed = 0, couldNot = 0;
  bool shouldStartLoadWithRequest(WebView &, const WebRequest &, WebViewNavigationType) override {
    return true;
  }
  void didFailLoadWithError(WebView &web, const std::string &e) override {
    PageLog::didFailLoadWithError(web, e);
    if (web.lastLoadError() == WebLoadError::CannotShowType)
      ++(web.showPageShownBefore() ? stayed : couldNot);
  }
};

// A file no page shows does not take the page's place: the view goes back to the page it showed,
// its address and history as they were, whether the file was followed, typed, or reached through
// the history; a page that turned into such a file meanwhile is not loaded again and again.
TEST_F(InputTest, AWebViewStaysOnItsPageWhenALoadShowsNothing) {
  auto web = std::make_shared<WebView>(Rect(0, 0, 320, 416));
  auto screen = std::make_shared<StaysOnItsPage>();
  auto engine = std::make_shared<FilesAreNoPages>();
  web->setDelegate(screen);
  web->setEngine(engine);
  form->view()->addSubview(web);
  // Nothing shown yet: nothing to go back to.
  web->loadRequest({"http://example.net/first.zip"});
  EXPECT_EQ(screen->couldNot, 1);
  EXPECT_FALSE(web->showPageShownBefore());

  const std::string a = "http://example.net/a";
  web->loadRequest({a});
  web->loadRequest({"http://example.net/b"});
  web->goBack(); // on a, with first.zip behind it and b ahead
  const struct {
    const char *what;
    std::function<void()> step;
    bool aheadKept;
  } cases[] = {
      {"back to a file", [&] { web->goBack(); }, true},
      {"a link followed",
       [&] {
         ASSERT_TRUE(probe->dispatch(
             {{"event", "followLink"}, {"id", window->idOf(*web)}, {"url", a + "/f.zip"}}));
       },
       false}, // (following a link drops what lay ahead, as in a browser)
      {"an address typed", [&] { web->loadRequest({a + "/g.zip"}); }, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const int before = screen->stayed;
    c.step();
    EXPECT_EQ(screen->stayed, before + 1);
    EXPECT_EQ(web->request().url, a);
    EXPECT_EQ(web->loads().back().url, a);
    EXPECT_EQ(web->loads().back().navigationType, WebViewNavigationType::Reload);
    EXPECT_FALSE(web->isLoading());
    EXPECT_TRUE(web->canGoBack());
    EXPECT_EQ(web->canGoForward(), c.aheadKept);
  }

  // An HTML string is shown again as itself.
  web->loadHTMLString("<p>own page</p>", "");
  web->loadRequest({"http://example.net/h.zip"});
  EXPECT_EQ(web->loads().back().kind, WebLoad::Kind::HTMLString);
  EXPECT_EQ(web->loads().back().html, "<p>own page</p>");

  // Back and forward again, then a file: the view is where the page stands in the history.
  const std::string b = "http://example.net/b";
  web->loadRequest({b});
  web->goBack();
  web->goForward();
  web->loadRequest({a + "/j.zip"});
  EXPECT_EQ(web->request().url, b);
  EXPECT_TRUE(web->canGoBack());
  EXPECT_FALSE(web->canGoForward());
  web->goBack();
  EXPECT_EQ(web->request().url, a);

  // The page itself became a file: it is tried once, not again and again.
  web->loadRequest({a});
  engine->files.insert(a);
  const size_t loads = web->loads().size();
  web->loadRequest({"http://example.net/i.zip"});
  EXPECT_EQ(web->loads().size(), loads + 2);
  EXPECT_EQ(screen->couldNot, 2);
}

TEST_F(InputTest, AnimationsApplyAtOnceAndCompleteOnTheClock) {
  auto v = std::make_shared<View>(Rect(0, 0, 100, 100));
  bool done = false;
  animate(
      0.5, [&] { v->setAlpha(0.5); }, [&](bool finished) { done = finished; });
  EXPECT_EQ(v->alpha(), 0.5);
  EXPECT_EQ(pendingAnimations(), 1u);
  RunLoop::main()->runPending();
  EXPECT_FALSE(done);
  clock->advance(seconds(0.4));
  RunLoop::main()->runPending();
  EXPECT_FALSE(done);
  clock->advance(seconds(0.2));
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return done; },
                                        testsupport::scaled(std::chrono::seconds(20))));
  EXPECT_EQ(pendingAnimations(), 0u);
}

TEST_F(InputTest, AnAlphaChangedInsideAnAnimationIsDescribedWithItsDuration) {
  auto v = std::make_shared<View>(Rect(0, 0, 100, 100));
  auto shown = [&] {
    nlohmann::json out;
    v->describe(out);
    return out.value("alphaDuration", 0.0);
  };
  struct Step {
    const char *what;
    std::function<void()> change;
    double duration;
  };
  const std::vector<Step> steps{
      {"animated", [&] { animate(1.5, [&] { v->setAlpha(0); }); }, 1.5},
      {"the same alpha again, at once, keeps its fade", [&] { v->setAlpha(0); }, 1.5},
      {"changed at once", [&] { v->setAlpha(1); }, 0},
      {"nested: the inner duration",
       [&] { animate(2, [&] { animate(0.25, [&] { v->setAlpha(0.5); }); }); }, 0.25},
      {"after the animation's changes", [&] { v->setAlpha(0.2); }, 0},
  };
  for (const auto &step : steps) {
    step.change();
    EXPECT_EQ(v->alphaAnimationDuration(), step.duration) << step.what;
    EXPECT_EQ(shown(), step.duration) << step.what;
  }
  EXPECT_EQ(currentAnimationDuration(), 0);
  clock->advance(seconds(3));
  RunLoop::main()->runPending();
}

struct Shake : AccelerometerDelegate {
  std::vector<Acceleration> samples;
  void didAccelerate(Accelerometer &, const Acceleration &a) override { samples.push_back(a); }
};

TEST_F(InputTest, AccelerometerSamplesReachTheDelegateOnly) {
  auto shake = std::make_shared<Shake>();
  probe->accelerate(1, 1, 1); // nobody listens
  Accelerometer::sharedAccelerometer().setUpdateInterval(0.04);
  Accelerometer::sharedAccelerometer().setDelegate(shake);
  ASSERT_TRUE(probe->accelerate(2.5, 0, -1));
  clock->advance(seconds(1));
  ASSERT_TRUE(probe->accelerate(0, 0, -1));
  ASSERT_EQ(shake->samples.size(), 2u);
  EXPECT_EQ(shake->samples[0].x, 2.5);
  // Timestamps are seconds since the clock's epoch (the machine's uptime for a steady clock): the
  // difference of two large values is exact only to their own precision.
  EXPECT_NEAR(shake->samples[1].timestamp - shake->samples[0].timestamp, 1.0, 1e-6);
  Accelerometer::sharedAccelerometer().setDelegate({});
}

// The device's shake (the page's Shake control) reaches the accelerometer's delegate through the
// same events as any sample, under an alert too, and each time it is one a screen's shake filter
// takes: a low-pass trend of a tenth of each sample, and a sample off it by the screens' least
// threshold, wherever the trend stood (a device held still for long, or shaken just before).
TEST_F(InputTest, TheDevicesShakeIsOneTheScreensTakeForAShake) {
  auto shake = std::make_shared<Shake>();
  Accelerometer::sharedAccelerometer().setDelegate(shake);
  std::make_shared<AlertView>("Busy", "", std::weak_ptr<AlertViewDelegate>(), "OK")->show();
  double trend[3] = {0, 0, 0};
  size_t followed = 0;
  // Follows the samples not followed yet; the farthest one of them lay from the trend.
  auto follow = [&] {
    double farthest = 0;
    for (; followed < shake->samples.size(); ++followed) {
      const auto &a = shake->samples[followed];
      const double raw[3] = {a.x, a.y, a.z};
      double sum = 0;
      for (int k = 0; k < 3; ++k) {
        trend[k] = 0.1 * raw[k] + 0.9 * trend[k];
        sum += (raw[k] - trend[k]) * (raw[k] - trend[k]);
      }
      farthest = std::max(farthest, std::sqrt(sum));
    }
    return farthest;
  };
  for (std::string before : {"at rest", "held still", "just shaken"}) {
    if (before == "held still") {
      for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(probe->accelerate(0, -1, 0));
    }
    follow();
    ASSERT_TRUE(probe->shake()) << probe->lastError();
    EXPECT_GE(follow(), 2.5) << before;
  }
  EXPECT_EQ(probe->pendingAlerts().size(), 1u);
  Accelerometer::sharedAccelerometer().setDelegate({});
}

} // namespace

// A drag the page reports} // namespace

// A drag the page reports (mouse down, moves, up) reaches the view it began on and goes up the
// chain in each view's own points; a move or an end that belongs to no touch of that view, an
// unknown phase and a phase of the wrong kind are refused, and a touch left open is cancelled
// when the next one begins.
TEST_F(InputTest, DragsReachTheViewTheyBeganOnInItsPoints) {
  struct DragCatcher : View {
    using View::View;
    std::vector<std::string> log;
    void touchesBegan(Point p) override { note("began", p); }
    void touchesMoved(Point from, Point p) override { note("moved " + at(from), p); }
    void touchesEnded(Point p) override { note("ended", p); }
    void touchesCancelled(Point p) override { note("cancelled", p); }
    using View::touchesEnded;
    static std::string at(Point p) {
      return std::to_string(int(p.x)) + "," + std::to_string(int(p.y));
    }
    void note(const std::string &what, Point p) { log.push_back(what + " " + at(p)); }
  };
  auto catcher = std::make_shared<DragCatcher>(Rect(10, 20, 200, 200));
  auto inner = std::make_shared<View>(Rect(5, 5, 50, 50));
  catcher->addSubview(inner);
  form->view()->addSubview(catcher);
  const auto innerId = window->idOf(*inner), catcherId = window->idOf(*catcher);
  auto touch = [&](uint64_t id, nlohmann::json phase, double x, double y) {
    return window->dispatch({{"event", "touch"}, {"id", id}, {"phase", phase}, {"x", x}, {"y", y}})
        .value("ok", false);
  };
  struct Step {
    uint64_t id;
    nlohmann::json phase;
    double x, y;
    bool ok;
    const char *heard; // the catcher's last entry after the step ("" when unchanged)
  };
  const Step steps[] = {
      {innerId, "moved", 1, 1, false, ""},         // no touch yet
      {innerId, "began", 1, 2, true, "began 6,7"}, // in the catcher's points
      {catcherId, "moved", 3, 3, false, ""},       // the touch is the inner view's
      {innerId, "moved", 11, 12, true, "moved 6,7 16,17"},
      {innerId, "moved", -20, 300, true, "moved 16,17 -15,305"}, // beyond the view: followed
      {innerId, "wiggle", 1, 1, false, ""},
      {innerId, 5, 1, 1, false, ""},
      {innerId, "ended", 30, 31, true, "ended 35,36"},
      {innerId, "ended", 30, 31, false, ""}, // already ended
      {innerId, "began", 0, 0, true, "began 5,5"},
      {catcherId, "began", 1, 1, true, "began 1,1"}, // the open touch was cancelled first
      {catcherId, "cancelled", 2, 2, true, "cancelled 2,2"},
  };
  size_t heard = 0;
  for (const auto &s : steps) {
    SCOPED_TRACE(s.phase.dump() + " at " + std::to_string(s.x) + "," + std::to_string(s.y));
    EXPECT_EQ(touch(s.id, s.phase, s.x, s.y), s.ok);
    if (*s.heard) {
      ASSERT_GT(catcher->log.size(), heard);
      EXPECT_EQ(catcher->log.back(), s.heard);
    } else {
      EXPECT_EQ(catcher->log.size(), heard);
    }
    heard = catcher->log.size();
  }
  EXPECT_EQ(catcher->log[catcher->log.size() - 3], "cancelled 5,5");
  // A touch that starts nowhere in particular is refused.
  EXPECT_FALSE(window->dispatch({{"event", "touch"}, {"id", innerId}, {"phase", "began"}})
                   .value("ok", false));
}

namespace {

// The screen that owns a zooming scroll view: the picture zooms.
struct ZoomOwner : ScrollViewDelegate {
  std::shared_ptr<View> picture;
  std::vector<double> ended;
  std::shared_ptr<View> viewForZoomingInScrollView(ScrollView &) override { return picture; }
  void scrollViewDidEndZooming(ScrollView &, View *, double scale) override {
    ended.push_back(scale);
  }
};

// A pinch or Ctrl + wheel zooms the scroll view's zooming view between its bounds: the picture's
// frame and the content size follow the scale, the content point under the pointer stays under
// it, the offset stays inside the content, and a picture smaller than the view stands in its
// middle. A scroll view without a zooming view refuses the gesture.
TEST_F(InputTest, AZoomScalesTheZoomingViewAboutThePointer) {
  auto scroll = std::make_shared<ScrollView>(Rect(0, 0, 300, 200));
  auto owner = std::make_shared<ZoomOwner>();
  owner->picture = std::make_shared<View>(Rect(0, 0, 1000, 500));
  scroll->addSubview(owner->picture);
  scroll->setContentSize(Size{1000, 500});
  form->view()->addSubview(scroll);
  const auto zoom = [&](double scale, double x, double y) {
    return probe->dispatch(
        {{"event", "zoom"}, {"id", window->idOf(*scroll)}, {"value", scale}, {"x", x}, {"y", y}});
  };
  EXPECT_FALSE(zoom(2, 0, 0)) << "no zooming view";
  scroll->setDelegate(owner);
  EXPECT_FALSE(zoom(2, 0, 0)) << "no room between the scales";
  scroll->setMinimumZoomScale(0.2);
  scroll->setMaximumZoomScale(2.0);
  scroll->setZoomScale(0.25);
  EXPECT_EQ(owner->picture->frame(), Rect(25, 37.5, 250, 125)) << "smaller: in the middle";
  EXPECT_EQ(scroll->contentSize(), (Size{250, 125}));

  struct Step {
    double scale, x, y;
    double zoom;
    Rect picture;
    Point offset;
  } steps[] = {
      // The picture's point under (150, 100) stays there.
      {1.0, 150, 100, 1.0, Rect(0, 0, 1000, 500), Point{350, 150}},
      {2.0, 0, 0, 2.0, Rect(0, 0, 2000, 1000), Point{700, 300}},
      // Beyond the bounds: at them; the offset kept inside the content.
      {50, 300, 200, 2.0, Rect(0, 0, 2000, 1000), Point{700, 300}},
      {0.01, 300, 200, 0.2, Rect(50, 50, 200, 100), Point{0, 0}},
      {0.6, 300, 200, 0.6, Rect(0, 0, 600, 300), Point{300, 100}},
  };
  for (const auto &s : steps) {
    ASSERT_TRUE(zoom(s.scale, s.x, s.y)) << probe->lastError();
    EXPECT_DOUBLE_EQ(scroll->zoomScale(), s.zoom) << s.scale;
    EXPECT_EQ(owner->picture->frame(), s.picture) << s.scale;
    EXPECT_EQ(scroll->contentSize(), s.picture.size) << s.scale;
    EXPECT_EQ(scroll->contentOffset(), s.offset) << s.scale;
  }
  EXPECT_EQ(owner->ended.size(), std::size(steps));
  EXPECT_FALSE(zoom(-1, 0, 0));
  EXPECT_FALSE(zoom(std::nan(""), 0, 0));
}

} // namespace
