// The headless page engine: with no browser front end attached, a web view loads its pages over
// HTTP itself (bounded in time and size), answers the few scripts the web screens ask (the
// title, the page's touch icon) from the page's text, and finishes or fails each load on the
// main thread. Links reach the web view as a person follows them (the probe's followLink), so
// the navigation policy decides on every one.
#pragma once

#include "platform/net/URLConnection.h"
#include "platform/ui/WebView.h"

#include <memory>
#include <string>

class WebPageEngine : public platform::ui::WebEngine,
                      public std::enable_shared_from_this<WebPageEngine> {
public:
  static constexpr size_t kMaxPage = 8 * 1024 * 1024;
  static constexpr double kTimeoutSeconds = 20;
  // Gives the view an engine unless the browser front end shows it (that one loads the page).
  static void attachIfHeadless(platform::ui::WebView &view);

  void startLoad(platform::ui::WebView &view, const platform::ui::WebLoad &load) override;
  void stopLoading(platform::ui::WebView &view) override;
  std::string evaluateScript(platform::ui::WebView &view, const std::string &script) override;
  const std::string &page() const { return page_; }

private:
  std::shared_ptr<platform::net::URLConnection> connection_;
  std::string page_;
};

// The page a plain-text answer is shown as: the text escaped, its line breaks kept.
std::string plainTextPage(const std::string &text);
// The text of the page's <title>, and the address of its first apple-touch-icon link.
std::string pageTitle(const std::string &html);
std::string pageTouchIcon(const std::string &html);

// Fetches one address on a worker thread, waiting for the answer with a bound on time and size
// (site icons, Copy Image). Empty on any failure or an HTTP error status.
std::string fetchBounded(const std::string &url, size_t maxBytes, double timeoutSeconds);
