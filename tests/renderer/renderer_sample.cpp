// A sample window with every kind of element, served by the renderer for the browser tests.
// Prints "Open <address>" and then one line for everything the screens hear, so a test sees that
// the model received what the page sent. --ipad draws the tablet layout (the split container).
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Probe.h"
#include "platform/ui/Renderer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace platform;
using namespace platform::ui;

namespace {

void say(const std::string &line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

template <class T> std::shared_ptr<T> at(Rect frame, std::shared_ptr<T> v) {
  v->setFrame(frame);
  return v;
}

std::shared_ptr<Label> label(Rect frame, const std::string &text) {
  auto l = at(frame, std::make_shared<Label>());
  l->setText(text);
  return l;
}

class FilesScreen : public ViewController,
                    public TableViewDataSource,
                    public TableViewDelegate,
                    public ActionSheetDelegate,
                    public SearchBarDelegate {
public:
  FilesScreen() { setTitle("Files"); }
  std::vector<std::vector<std::string>> rows{{"Documents", "Downloads", "Photos"}, {"Sync"}, {}};
  std::shared_ptr<TableView> table;

  void viewDidLoad() override {
    for (int i = 1; i <= 30; ++i)
      rows[2].push_back("report-" + std::to_string(i) + ".txt");
    auto self = sharedAs<FilesScreen>();
    // The area between the bars, as the phone gives it, less the toolbar at its foot.
    double height = Window::keyWindow()->size().height - 20 - 44 - (tabBarController() ? 49 : 0);
    table = std::make_shared<TableView>(TableViewStyle::Grouped, Rect(0, 0, 320, height - 44));
    table->setDataSource(self);
    table->setDelegate(self);
    auto search = at(Rect(0, 0, 320, 44), std::make_shared<SearchBar>());
    search->setPlaceholder("Search files");
    search->setDelegate(self);
    table->setTableHeaderView(search);
    auto toolbar = std::make_shared<Toolbar>(Rect(0, height - 44, 320, 44));
    toolbar->setItems({BarButtonItem::systemItem(BarButtonSystemItem::Refresh,
                                                 [](auto &) { say("toolbar Refresh"); }),
                       BarButtonItem::flexibleSpace(),
                       BarButtonItem::titled("New Folder", BarButtonItemStyle::Bordered,
                                             [](auto &) { say("toolbar New Folder"); })});
    view()->addSubview(table);
    view()->addSubview(toolbar);
    navigationItem().setRightBarButtonItem(
        BarButtonItem::systemItem(BarButtonSystemItem::Edit, [this](BarButtonItem &item) {
          table->setEditing(!table->isEditing());
          item.setTitle(table->isEditing() ? "Done" : "");
          say(std::string("editing ") + (table->isEditing() ? "on" : "off"));
        }));
    navigationItem().setLeftBarButtonItem(
        BarButtonItem::titled("Sort", BarButtonItemStyle::Bordered, [this](auto &) {
          auto sheet =
              std::make_shared<ActionSheet>("Sort by", sharedAs<FilesScreen>(), "Cancel",
                                            "Delete All", std::vector<std::string>{"Name", "Date"});
          sheet->showInView(view());
        }));
  }
  int numberOfSectionsInTableView(TableView &) override { return 3; }
  int numberOfRowsInSection(TableView &, int s) override {
    return static_cast<int>(rows[static_cast<size_t>(s)].size());
  }
  std::string titleForHeaderInSection(TableView &, int s) override {
    return s == 0 ? "Folders" : s == 1 ? "Options" : "Saved Files";
  }
  std::string titleForFooterInSection(TableView &, int s) override {
    return s == 1 ? "Syncs when the application starts." : "";
  }
  std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView &t, IndexPath ip) override {
    static const TableViewCellStyle styles[] = {
        TableViewCellStyle::Default, TableViewCellStyle::Value1, TableViewCellStyle::Subtitle};
    auto style = ip.section == 0 ? styles[ip.row % 3] : TableViewCellStyle::Subtitle;
    std::string id = std::to_string(static_cast<int>(style));
    auto cell = t.dequeueReusableCellWithIdentifier(id);
    if (!cell) cell = std::make_shared<TableViewCell>(style, id);
    const auto &text = rows[static_cast<size_t>(ip.section)][static_cast<size_t>(ip.row)];
    cell->textLabel()->setText(text);
    cell->setAccessoryView(nullptr);
    cell->setAccessoryType(TableViewCellAccessoryType::None);
    if (ip.section == 0) {
      static const char *images[] = {"3-folder.png", "downloads.png", "3-folder-photo.png"};
      static const TableViewCellAccessoryType kinds[] = {
          TableViewCellAccessoryType::DisclosureIndicator,
          TableViewCellAccessoryType::DetailDisclosureButton,
          TableViewCellAccessoryType::Checkmark};
      cell->imageView()->setImageName(images[ip.row % 3]);
      cell->setAccessoryType(kinds[ip.row % 3]);
      if (cell->detailTextLabel()) cell->detailTextLabel()->setText("12 files");
    } else if (ip.section == 1) {
      auto sw = std::make_shared<Switch>();
      sw->setAccessibilityLabel("Sync switch");
      sw->addTarget(ValueChanged, [](Control &c) {
        say(std::string("switch Sync ") + (static_cast<Switch &>(c).isOn() ? "on" : "off"));
      });
      cell->setAccessoryView(sw);
      cell->detailTextLabel()->setText("Every hour");
      cell->setSelectionStyle(TableViewCellSelectionStyle::None);
    } else {
      cell->imageView()->setImageName("3-doc-txt.png");
      cell->detailTextLabel()->setText(std::to_string(ip.row + 1) + " KB");
    }
    return cell;
  }
  bool canMoveRowAtIndexPath(TableView &, IndexPath ip) override { return ip.section == 2; }
  void commitEditingStyle(TableView &t, TableViewCellEditingStyle, IndexPath ip) override {
    auto &list = rows[static_cast<size_t>(ip.section)];
    say("deleted " + list[static_cast<size_t>(ip.row)]);
    list.erase(list.begin() + ip.row);
    t.deleteRowsAtIndexPaths({ip}, TableViewRowAnimation::Fade);
  }
  void moveRowAtIndexPath(TableView &, IndexPath from, IndexPath to) override {
    auto &src = rows[static_cast<size_t>(from.section)];
    auto moved = src[static_cast<size_t>(from.row)];
    src.erase(src.begin() + from.row);
    auto &dst = rows[static_cast<size_t>(to.section)];
    dst.insert(dst.begin() + to.row, moved);
    say("moved " + moved + " to " + std::to_string(to.section) + "," + std::to_string(to.row));
  }
  void didSelectRowAtIndexPath(TableView &t, IndexPath ip) override {
    const auto &text = rows[static_cast<size_t>(ip.section)][static_cast<size_t>(ip.row)];
    say("row " + text);
    t.deselectRowAtIndexPath(ip, true);
    auto detail = std::make_shared<ViewController>();
    detail->setTitle(text);
    detail->view()->addSubview(label(Rect(20, 20, 280, 40), "The folder " + text));
    navigationController()->pushViewController(detail, true);
  }
  void accessoryButtonTappedForRowWithIndexPath(TableView &, IndexPath ip) override {
    say("accessory " + rows[static_cast<size_t>(ip.section)][static_cast<size_t>(ip.row)]);
  }
  void clickedButtonAtIndex(ActionSheet &s, int i) override {
    say("sheet " + s.buttonTitleAtIndex(i));
  }
  void textDidChange(SearchBar &, const std::string &text) override { say("search " + text); }
  void searchBarSearchButtonClicked(SearchBar &s) override { say("search go " + s.text()); }
};

// A picture that handles taps itself, as a viewer does.
class TouchPicture : public ImageView {
public:
  using ImageView::ImageView;
  void touchesEnded(int taps) override { say("picture touched " + std::to_string(taps)); }
};

class ControlsScreen : public ViewController, public AlertViewDelegate {
public:
  ControlsScreen() { setTitle("Controls"); }
  std::shared_ptr<ProgressView> progress;
  TimerRef timer;

  void viewDidLoad() override {
    auto v = view();
    auto host = at(Rect(20, 10, 280, 31), std::make_shared<TextField>());
    host->setPlaceholder("Host");
    host->setBorderStyle(TextBorderStyle::RoundedRect);
    host->setClearButtonMode(TextFieldViewMode::WhileEditing);
    host->addTarget(EditingChanged,
                    [](Control &c) { say("text Host=" + static_cast<TextField &>(c).text()); });
    host->addTarget(EditingDidEndOnExit, [](Control &) { say("return Host"); });
    auto password = at(Rect(20, 48, 280, 31), std::make_shared<TextField>());
    password->setPlaceholder("Password");
    password->setSecureTextEntry(true);
    password->setBorderStyle(TextBorderStyle::RoundedRect);
    auto notes = at(Rect(20, 86, 280, 50), std::make_shared<TextView>());
    notes->setText("Notes: ");
    // SAMPLE_NOTES_BYTES: the notes hold that many bytes of lines (a text view holding a file).
    if (const char *bytes = std::getenv("SAMPLE_NOTES_BYTES")) {
      std::string text;
      const size_t want = std::strtoull(bytes, nullptr, 10);
      for (size_t line = 0; text.size() + 64 < want; ++line)
        text += "note " + std::to_string(line) + ": the quick brown fox jumps over the lazy dog\n";
      notes->setText(text);
    }
    notes->setAccessibilityLabel("Notes");
    notes->setBackgroundColor(Color{0.95, 0.95, 0.95, 1});
    auto passive = at(Rect(20, 145, 79, 27), std::make_shared<Switch>());
    passive->setAccessibilityLabel("Passive mode");
    passive->setOn(true);
    passive->addTarget(ValueChanged, [](Control &c) {
      say(std::string("switch Passive mode ") + (static_cast<Switch &>(c).isOn() ? "on" : "off"));
    });
    auto slider = at(Rect(115, 145, 185, 27), std::make_shared<Slider>());
    slider->setAccessibilityLabel("Speed");
    slider->setValue(0.25);
    slider->addTarget(ValueChanged, [](Control &c) {
      char text[32];
      std::snprintf(text, sizeof text, "%.2f", static_cast<Slider &>(c).value());
      say(std::string("slider ") + text);
    });
    auto protocol =
        at(Rect(20, 182, 280, 30),
           std::make_shared<SegmentedControl>(std::vector<std::string>{"FTP", "FTPS", "SFTP"}));
    protocol->setAccessibilityLabel("Protocol");
    protocol->setSelectedSegmentIndex(0);
    protocol->addTarget(ValueChanged, [](Control &c) {
      say("segment " + std::to_string(static_cast<SegmentedControl &>(c).selectedSegmentIndex()));
    });
    progress = at(Rect(20, 224, 240, 9), std::make_shared<ProgressView>());
    progress->setAccessibilityLabel("Transfer progress");
    auto spinner = at(Rect(275, 218, 20, 20),
                      std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::Gray));
    spinner->startAnimating();
    auto picture = at(Rect(20, 245, 48, 48), std::make_shared<TouchPicture>("computer.png"));
    picture->setAccessibilityLabel("Computer picture");
    auto caption = label(Rect(78, 245, 222, 48), "A transfer moves the bar above as it runs.");
    caption->setNumberOfLines(2);
    caption->setFont(Font::system(14));
    auto button = [&](Rect r, const char *title, std::function<void()> fn) {
      auto b = at(r, std::make_shared<Button>(ButtonType::RoundedRect));
      b->setTitle(title);
      b->addTarget(TouchUpInside, [fn](Control &) { fn(); });
      v->addSubview(b);
      return b;
    };
    for (auto sub : std::vector<std::shared_ptr<View>>{
             host, password, notes, passive, slider, protocol, progress, spinner, picture, caption})
      v->addSubview(sub);
    button(Rect(20, 300, 135, 30), "Show Alert", [this] {
      auto alert = std::make_shared<AlertView>("Delete file?", "report-1.txt will be deleted.",
                                               sharedAs<ControlsScreen>(), "Cancel",
                                               std::vector<std::string>{"Delete"});
      alert->show();
    });
    button(Rect(165, 300, 135, 30), "Show Form", [this] {
      auto form = std::make_shared<ViewController>();
      form->setTitle("New Bookmark");
      auto name = at(Rect(20, 20, 280, 31), std::make_shared<TextField>());
      name->setPlaceholder("Bookmark name");
      name->setBorderStyle(TextBorderStyle::RoundedRect);
      form->view()->addSubview(name);
      form->navigationItem().setRightBarButtonItem(BarButtonItem::systemItem(
          BarButtonSystemItem::Done, [weak = std::weak_ptr<ViewController>(form)](auto &) {
            say("form done");
            Window::keyWindow()->endEditing();
            if (auto f = weak.lock()) f->dismissModalViewControllerAnimated(true);
          }));
      auto nav = std::make_shared<NavigationController>(form);
      nav->setModalPresentationStyle(ModalPresentationStyle::FormSheet);
      presentModalViewController(nav, true);
    });
    popoverButton = button(Rect(20, 334, 135, 30), "Show Popover", [this] {
      auto content = std::make_shared<ViewController>();
      content->setContentSizeForViewInPopover({280, 160});
      content->view()->addSubview(label(Rect(10, 10, 260, 30), "Popover content"));
      popover = std::make_shared<PopoverController>(content);
      popover->presentPopoverFromRect(popoverButton->frame(), view(), ArrowAny, true);
    });
    button(Rect(165, 334, 135, 30), "Play Movie", [] {
      bool shown =
          Renderer::current()->playMedia(Paths::home() + "/clip.mp4", [] { say("movie ended"); });
      say(std::string("movie ") + (shown ? "shown" : "refused"));
    });
    timer = RunLoop::main()->addTimer(std::chrono::milliseconds(200), true, [this](Timer &) {
      float next = progress->progress() + 0.02f;
      progress->setProgress(next > 1 ? 0 : next);
    });
  }
  void clickedButtonAtIndex(AlertView &a, int i) override {
    say("alert " + a.buttonTitleAtIndex(i));
  }
  std::shared_ptr<Button> popoverButton;
  std::shared_ptr<PopoverController> popover;
};

class WebScreen : public ViewController, public WebViewDelegate {
public:
  WebScreen() { setTitle("Web"); }
  void viewDidLoad() override {
    auto web = std::make_shared<WebView>();
    web->setDelegate(sharedAs<WebScreen>());
    view()->addSubview(web);
    // The test's own web server (on loopback) has the next page.
    const char *next = std::getenv("SAMPLE_WEB_URL");
    web->loadHTMLString("<h2>Sample page</h2><p><a href=\"https://blocked.invalid/\">A refused "
                        "link</a></p><p><a href=\"" +
                            std::string(next ? next : "about:blank") +
                            "\">A page over HTTP</a></p>",
                        "");
  }
  bool shouldStartLoadWithRequest(WebView &, const WebRequest &r, WebViewNavigationType) override {
    bool allow = r.url.find("blocked") == std::string::npos;
    say(std::string("web ") + (allow ? "allow " : "refuse ") + r.url);
    return allow;
  }
  void webViewDidFinishLoad(WebView &w) override {
    say("web finished " + w.request().url);
    w.stringByEvaluatingJavaScriptFromString("document.body.dataset.ran = 'yes'");
    // A question the page answers when it can, as a browser asks a page for its title.
    w.evaluateJavaScript("document.title", [url = w.request().url](const std::string &title) {
      say("web title of " + url + ": " + title);
    });
  }
};

std::shared_ptr<ViewController> tab(std::shared_ptr<ViewController> vc, const char *image) {
  auto nav = std::make_shared<NavigationController>(vc);
  nav->tabBarItem()->setTitle(vc->title());
  nav->tabBarItem()->setImageName(image);
  return nav;
}

} // namespace

int main(int argc, char **argv) {
  bool pad = argc > 1 && std::strcmp(argv[1], "--ipad") == 0;
  RunLoop::makeMainThread();
  auto profile = pad ? DeviceProfile::iPad() : DeviceProfile::iPhone();
  DeviceProfile::setCurrent(profile);
  auto window = std::make_shared<Window>(Size{profile.screenSize.width, profile.screenSize.height});
  window->makeKeyAndVisible();

  auto tabs = std::make_shared<TabBarController>();
  auto controls = tab(std::make_shared<ControlsScreen>(), "settings.png");
  controls->tabBarItem()->setBadgeValue("3");
  auto files = tab(std::make_shared<FilesScreen>(), "file_cabinet.png");
  tabs->setViewControllers({files, controls, tab(std::make_shared<WebScreen>(), "globe.png")});
  if (pad) {
    auto split = std::make_shared<SplitViewController>();
    tabs->setViewControllers({controls, tab(std::make_shared<WebScreen>(), "globe.png")});
    split->setViewControllers(files, tabs);
    window->setRootViewController(split);
  } else {
    window->setRootViewController(tabs);
  }

  RendererOptions options;
  if (const char *port = std::getenv("FERROWEN_RENDERER_PORT")) options.port = std::atoi(port);
  std::string error;
  auto renderer = Renderer::start(options, &error);
  if (!renderer) {
    std::fprintf(stderr, "renderer_sample: %s\n", error.c_str());
    return 1;
  }
  say("Open " + renderer->address());
  RunLoop::main()->run();
}
