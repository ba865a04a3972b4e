// The web view: loads are asked of the delegate, recorded, and completed by a pluggable engine
// (or by the probe, in tests); scripts go to the engine too. Nothing is fetched or drawn here.
#pragma once

#include "platform/foundation/RunLoop.h"
#include "platform/ui/View.h"

#include <functional>
#include <map>
#include <optional>
#include <string_view>

namespace platform::ui {

class WebView;

// The phone's navigation type codes.
enum class WebViewNavigationType {
  LinkClicked = 0,
  FormSubmitted = 1,
  BackForward = 2,
  Reload = 3,
  FormResubmitted = 4,
  Other = 5
};

struct WebRequest {
  std::string url;
};

// One load, as recorded by the view.
struct WebLoad {
  enum class Kind { Request, HTMLString } kind = Kind::Request;
  std::string url;  // the request's address, or the base address of an HTML string
  std::string html; // the HTML string
  WebViewNavigationType navigationType = WebViewNavigationType::Other;
};

// Why a load failed, for a screen that acts on the reason: a file of a kind a page cannot show
// (an archive, a program) may be offered for saving instead.
enum class WebLoadError { None, Other, CannotShowType };

// How a web view shows an answer of a content type (a MIME type without parameters, any case):
// as a page, as plain text with its lines, as itself (a picture, a movie, a sound), or not at all.
// An empty type is taken for a page.
enum class WebContentKind { Page, Text, Itself, None };
WebContentKind webContentKindFor(std::string_view mimeType);
// The sentence a load of a type no page shows fails with (the type named when it is a plain one).
std::string cannotShowTypeDescription(std::string_view mimeType);

class WebViewDelegate {
public:
  virtual ~WebViewDelegate() = default;
  virtual bool shouldStartLoadWithRequest(WebView &, const WebRequest &, WebViewNavigationType) {
    return true;
  }
  virtual void webViewDidStartLoad(WebView &) {}
  virtual void webViewDidFinishLoad(WebView &) {}
  virtual void didFailLoadWithError(WebView &, const std::string &) {}
};

// What would fetch, render and run script. It may finish or fail a started load at once or
// later (through WebView::finishLoad / failLoad, on the main thread).
class WebEngine {
public:
  virtual ~WebEngine() = default;
  virtual void startLoad(WebView &, const WebLoad &) {}
  virtual void stopLoading(WebView &) {}
  virtual std::string evaluateScript(WebView &, const std::string &) { return {}; }
};

class WebView : public View {
public:
  using View::View;
  const char *typeName() const override { return "web"; }
  void describe(nlohmann::json &out) const override;

  std::shared_ptr<WebViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<WebViewDelegate> d) { delegate_ = std::move(d); }
  void setEngine(std::shared_ptr<WebEngine> engine) { engine_ = std::move(engine); }
  bool scalesPageToFit() const { return scales_; }
  void setScalesPageToFit(bool on) { scales_ = on; }

  // A request (a file is a file: address) or an HTML string with an optional base address.
  void loadRequest(const WebRequest &request);
  void loadHTMLString(const std::string &html, const std::string &baseURL);
  void reload();
  void stopLoading();
  void goBack();
  void goForward();
  bool canGoBack() const { return historyIndex_ > 0; }
  bool canGoForward() const { return historyIndex_ + 1 < static_cast<int>(history_.size()); }
  bool isLoading() const { return loading_; }
  // The request of the page shown or loading (empty address for an HTML string).
  const WebRequest &request() const { return request_; }
  std::string stringByEvaluatingJavaScriptFromString(const std::string &script);
  // Runs a script in the page shown and hands its result to `done` on the main thread. An engine
  // answers at once (done runs before this returns); the page of the browser front end answers
  // when it can, and a page that does not answer within `bound` gets "" (done runs exactly once,
  // and not after the view is gone).
  static constexpr size_t kMaxScriptResult = 64 * 1024;
  void evaluateJavaScript(const std::string &script, std::function<void(const std::string &)> done,
                          Duration bound = std::chrono::seconds(10));
  // The page's answer to script call `call` (cut to kMaxScriptResult bytes); false when no such
  // call waits (answered already, or given up).
  bool answerScript(uint64_t call, const std::string &result);
  // For each script of evaluatedScripts(), the call that waits for its answer (0: none waits).
  const std::vector<uint64_t> &scriptCalls() const { return calls_; }

  // Ends the current load (engine or probe): the delegate hears did-finish or did-fail.
  void finishLoad();
  void failLoad(const std::string &errorDescription, WebLoadError kind = WebLoadError::Other);
  // Why the last load failed (None while loading and after a load that did not fail).
  WebLoadError lastLoadError() const { return lastError_; }
  // A person follows a link on the page.
  bool userFollowLink(const std::string &url, std::string &why);
  // After a load that showed nothing (a file no page shows): the view goes back to the page it
  // showed before, the last load that finished, with its address and its place in the history
  // as they were, and loads it again. False (and nothing done) when it showed none before, or
  // when the load that failed was already such a return.
  bool showPageShownBefore();

  const std::vector<WebLoad> &loads() const { return loads_; }
  const std::vector<std::string> &evaluatedScripts() const { return scripts_; }

private:
  // `returning`: the load shows again the page shown before (showPageShownBefore).
  bool start(WebLoad load, bool addToHistory, bool returning = false);
  void goInHistory(int step);
  std::weak_ptr<WebViewDelegate> delegate_;
  std::shared_ptr<WebEngine> engine_;
  bool scales_ = false, loading_ = false;
  WebLoadError lastError_ = WebLoadError::None;
  WebRequest request_;
  std::vector<std::string> history_;
  int historyIndex_ = -1;
  // The page shown: the last load that finished, and where the history stood then.
  struct Shown {
    WebLoad load;
    int historyIndex = -1;
  };
  std::optional<Shown> shown_;
  bool loadAddedToHistory_ = false, loadReturns_ = false;
  std::vector<WebLoad> loads_;
  std::vector<std::string> scripts_;
  std::vector<uint64_t> calls_;
  std::map<uint64_t, std::function<void(const std::string &)>> waiting_;
};

} // namespace platform::ui
