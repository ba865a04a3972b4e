#include "platform/ui/WebView.h"

#include <nlohmann/json.hpp>

namespace platform::ui {

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

bool WebView::start(WebLoad load, bool addToHistory) {
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
  if (!canGoBack()) return;
  auto url = history_[static_cast<size_t>(historyIndex_ - 1)];
  if (start({WebLoad::Kind::Request, url, {}, WebViewNavigationType::BackForward}, false))
    --historyIndex_;
}

void WebView::goForward() {
  if (!canGoForward()) return;
  auto url = history_[static_cast<size_t>(historyIndex_ + 1)];
  if (start({WebLoad::Kind::Request, url, {}, WebViewNavigationType::BackForward}, false))
    ++historyIndex_;
}

std::string WebView::stringByEvaluatingJavaScriptFromString(const std::string &script) {
  detail::requireMainThread("WebView::stringByEvaluatingJavaScriptFromString");
  scripts_.push_back(script);
  return engine_ ? engine_->evaluateScript(*this, script) : std::string();
}

void WebView::finishLoad() {
  detail::requireMainThread("WebView::finishLoad");
  if (!loading_) return;
  auto self = shared_from_this();
  loading_ = false;
  if (auto d = delegate()) d->webViewDidFinishLoad(*this);
}

void WebView::failLoad(const std::string &errorDescription) {
  detail::requireMainThread("WebView::failLoad");
  if (!loading_) return;
  auto self = shared_from_this();
  loading_ = false;
  if (auto d = delegate()) d->didFailLoadWithError(*this, errorDescription);
}

bool WebView::userFollowLink(const std::string &url, std::string &why) {
  if (isHidden() || !isUserInteractionEnabled()) return why = "the page takes no touches", false;
  start({WebLoad::Kind::Request, url, {}, WebViewNavigationType::LinkClicked}, true);
  return true; // followed, whether or not the screen let the page change
}

} // namespace platform::ui
