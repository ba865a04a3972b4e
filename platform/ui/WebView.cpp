#include "platform/ui/WebView.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace platform::ui {

namespace {
std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (auto &c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}
bool endsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}
} // namespace

WebContentKind webContentKindFor(std::string_view mimeType) {
  const std::string type = lowerAscii(mimeType);
  if (type.empty() || type == "text/html" || type == "application/xhtml+xml")
    return WebContentKind::Page;
  // Pictures, movies and sounds are shown by the page's own elements. (A PDF needs a plug-in,
  // which no page in a sandbox gets.)
  if (type.rfind("image/", 0) == 0 || type.rfind("video/", 0) == 0 || type.rfind("audio/", 0) == 0)
    return WebContentKind::Itself;
  if (type.rfind("text/", 0) == 0 || type == "application/json" ||
      type == "application/javascript" || type == "application/xml" || endsWith(type, "+json") ||
      endsWith(type, "+xml"))
    return WebContentKind::Text;
  return WebContentKind::None;
}

std::string cannotShowTypeDescription(std::string_view mimeType) {
  const bool plain =
      !mimeType.empty() && mimeType.size() <= 80 &&
      std::all_of(mimeType.begin(), mimeType.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/-_.+", c) != nullptr;
      });
  return plain ? "A file of this kind (" + std::string(mimeType) + ") cannot be shown."
               : std::string("A file of this kind cannot be shown.");
}

void WebView::describe(nlohmann::json &out) const {
  View::describe(out);
  out["url"] = request_.url;
  out["loading"] = loading_;
  out["canGoBack"] = canGoBack();
  out["canGoForward"] = canGoForward();
  out["scalesPageToFit"] = scales_;
  if (!loads_.empty() && loads_.back().kind == WebLoad::Kind::HTMLString)
    out["html"] = loads_.back().html;
}

bool WebView::start(WebLoad load, bool addToHistory, bool returning) {
  detail::requireMainThread("WebView load");
  auto self = shared_from_this();
  // An HTML string is asked about as the phone does: as its base address, or about:blank.
  WebRequest request{load.kind == WebLoad::Kind::HTMLString && load.url.empty() ? "about:blank"
                                                                                : load.url};
  auto d = delegate();
  if (d && !d->shouldStartLoadWithRequest(*this, request, load.navigationType)) return false;
  if (loading_ && engine_) engine_->stopLoading(*this);
  request_ = load.kind == WebLoad::Kind::Request ? request : WebRequest{load.url};
  loading_ = true;
  lastError_ = WebLoadError::None;
  loadAddedToHistory_ = addToHistory;
  loadReturns_ = returning;
  if (addToHistory) {
    history_.resize(static_cast<size_t>(historyIndex_ + 1));
    history_.push_back(load.url);
    historyIndex_ = static_cast<int>(history_.size()) - 1;
  }
  loads_.push_back(load);
  if (d) d->webViewDidStartLoad(*this);
  if (engine_) engine_->startLoad(*this, loads_.back());
  return true;
}

void WebView::loadRequest(const WebRequest &request) {
  start({WebLoad::Kind::Request, request.url, {}, WebViewNavigationType::Other}, true);
}

void WebView::loadHTMLString(const std::string &html, const std::string &baseURL) {
  start({WebLoad::Kind::HTMLString, baseURL, html, WebViewNavigationType::Other}, false);
}

void WebView::reload() {
  if (request_.url.empty()) return;
  start({WebLoad::Kind::Request, request_.url, {}, WebViewNavigationType::Reload}, false);
}

void WebView::stopLoading() {
  if (!loading_) return;
  loading_ = false;
  if (engine_) engine_->stopLoading(*this);
}

void WebView::goBack() {
  if (canGoBack()) goInHistory(-1);
}

void WebView::goForward() {
  if (canGoForward()) goInHistory(1);
}

// The history moves before the load starts (an engine may end it at once); a load refused moves
// it back.
void WebView::goInHistory(int step) {
  const int from = historyIndex_;
  historyIndex_ += step;
  auto url = history_[static_cast<size_t>(historyIndex_)];
  if (!start({WebLoad::Kind::Request, url, {}, WebViewNavigationType::BackForward}, false) &&
      historyIndex_ == from + step)
    historyIndex_ = from;
}

std::string WebView::stringByEvaluatingJavaScriptFromString(const std::string &script) {
  detail::requireMainThread("WebView::stringByEvaluatingJavaScriptFromString");
  scripts_.push_back(script);
  calls_.push_back(0);
  return engine_ ? engine_->evaluateScript(*this, script) : std::string();
}

void WebView::evaluateJavaScript(const std::string &script,
                                 std::function<void(const std::string &)> done, Duration bound) {
  detail::requireMainThread("WebView::evaluateJavaScript");
  if (engine_) {
    auto result = stringByEvaluatingJavaScriptFromString(script);
    if (done) done(result);
    return;
  }
  // Calls are numbered across all views, so a late answer can never be taken for another's.
  static uint64_t lastCall = 0;
  const uint64_t call = ++lastCall;
  scripts_.push_back(script);
  calls_.push_back(call);
  waiting_[call] = std::move(done);
  std::weak_ptr<WebView> weak = std::static_pointer_cast<WebView>(shared_from_this());
  RunLoop::main()->performAfter(bound, [weak, call] {
    if (auto self = weak.lock()) self->answerScript(call, {});
  });
}

bool WebView::answerScript(uint64_t call, const std::string &result) {
  detail::requireMainThread("WebView::answerScript");
  auto it = waiting_.find(call);
  if (it == waiting_.end()) return false;
  auto done = std::move(it->second);
  waiting_.erase(it);
  auto self = shared_from_this();
  if (!done) return true;
  if (result.size() <= kMaxScriptResult) {
    done(result);
  } else { // cut where no UTF-8 character is split
    size_t end = kMaxScriptResult;
    while (end > 0 && (static_cast<unsigned char>(result[end]) & 0xC0) == 0x80)
      --end;
    done(result.substr(0, end));
  }
  return true;
}

void WebView::finishLoad() {
  detail::requireMainThread("WebView::finishLoad");
  if (!loading_) return;
  auto self = shared_from_this();
  loading_ = false;
  shown_ = Shown{loads_.back(), historyIndex_};
  if (auto d = delegate()) d->webViewDidFinishLoad(*this);
}

void WebView::failLoad(const std::string &errorDescription, WebLoadError kind) {
  detail::requireMainThread("WebView::failLoad");
  if (!loading_) return;
  auto self = shared_from_this();
  loading_ = false;
  lastError_ = kind == WebLoadError::None ? WebLoadError::Other : kind;
  if (auto d = delegate()) d->didFailLoadWithError(*this, errorDescription);
}

bool WebView::showPageShownBefore() {
  detail::requireMainThread("WebView::showPageShownBefore");
  if (!shown_ || loadReturns_ || loading_) return false;
  if (loadAddedToHistory_ && historyIndex_ >= 0 &&
      historyIndex_ + 1 == static_cast<int>(history_.size()))
    history_.pop_back();
  loadAddedToHistory_ = false;
  historyIndex_ = std::min(shown_->historyIndex, static_cast<int>(history_.size()) - 1);
  WebLoad again = shown_->load;
  again.navigationType = WebViewNavigationType::Reload;
  return start(again, false, true);
}

bool WebView::userFollowLink(const std::string &url, std::string &why) {
  if (isHidden() || !isUserInteractionEnabled()) return why = "the page takes no touches", false;
  start({WebLoad::Kind::Request, url, {}, WebViewNavigationType::LinkClicked}, true);
  return true; // followed, whether or not the screen let the page change
}

} // namespace platform::ui
