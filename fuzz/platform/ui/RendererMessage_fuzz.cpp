// What a browser page sends the renderer: request targets, and WebSocket messages that become the
// probe's events on a live window (a navigation stack, a table, a text field, a switch, an alert).
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Probe.h"
#include "platform/ui/RendererServer.h"

#include <cstdint>
#include <cstdlib>

using namespace platform;
using namespace platform::ui;

namespace {

class Rows : public TableViewDataSource {
public:
  int numberOfRowsInSection(TableView &, int) override { return count; }
  std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView &, IndexPath ip) override {
    auto cell = std::make_shared<TableViewCell>(TableViewCellStyle::Subtitle);
    cell->textLabel()->setText("row " + std::to_string(ip.row));
    return cell;
  }
  bool canMoveRowAtIndexPath(TableView &, IndexPath) override { return true; }
  void commitEditingStyle(TableView &t, TableViewCellEditingStyle, IndexPath ip) override {
    --count;
    t.deleteRowsAtIndexPaths({ip}, TableViewRowAnimation::None);
  }
  int count = 20;
};

std::shared_ptr<Window> makeWindow() {
  RunLoop::makeMainThread();
  static auto rows = std::make_shared<Rows>();
  auto window = std::make_shared<Window>(Size{320, 480});
  window->makeKeyAndVisible();
  auto screen = std::make_shared<ViewController>();
  auto table = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 200));
  table->setDataSource(rows);
  table->setEditing(true);
  screen->view()->addSubview(table);
  screen->view()->addSubview(std::make_shared<TextField>(Rect(0, 210, 320, 31)));
  screen->view()->addSubview(std::make_shared<Switch>(Rect(0, 250, 79, 27)));
  screen->view()->addSubview(std::make_shared<Slider>(Rect(0, 290, 200, 27)));
  window->setRootViewController(std::make_shared<NavigationController>(screen));
  window->snapshot(); // gives every element its id
  return window;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static auto window = makeWindow();
  std::string input(reinterpret_cast<const char *>(data), size);
  if (auto request = detail::parseTarget("GET", input))
    if (request->path.find('\0') != std::string::npos) std::abort();
  if (auto message = detail::readPageMessage(input)) {
    if (message->renderer.empty() && !message->event.is_object()) std::abort();
    if (!message->event.is_null()) {
      auto answer = window->dispatch(message->event);
      if (!answer.contains("ok")) std::abort();
    }
    // Now and then a page shows an alert that the next events must answer.
    if (input.size() % 7 == 0 && window->alerts().empty())
      std::make_shared<AlertView>("Sure?", "", std::weak_ptr<AlertViewDelegate>(), "No",
                                  std::vector<std::string>{"Yes"})
          ->show();
  }
  window->snapshot();
  return 0;
}
