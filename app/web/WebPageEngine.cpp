#include "app/web/WebPageEngine.h"

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/ui/Renderer.h"

#include <cctype>

using namespace platform;
using namespace platform::ui;

namespace {

std::string asciiLowerType(std::string type) {
  for (auto &c : type)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return type;
}

// Gathers one body; answers once, on the loop that started it.
class Gather : public net::URLConnectionDelegate {
public:
  std::function<void(bool ok, std::string body, std::string why)> done;
  size_t limit = WebPageEngine::kMaxPage;
  std::string body;
  std::string mimeType;
  long status = 0;
  // A page load: a file no page shows is not fetched (the load fails, saying so).
  bool forPage = false, cannotShow = false;
  void didReceiveResponse(net::URLConnection &c, const net::URLResponse &r) override {
    status = r.statusCode;
    mimeType = asciiLowerType(r.mimeType);
    if (forPage && webContentKindFor(mimeType) == WebContentKind::None) {
      c.cancel();
      cannotShow = true;
      finish(false, cannotShowTypeDescription(r.mimeType));
    }
  }
  void didReceiveData(net::URLConnection &c, const std::vector<uint8_t> &data) override {
    body.append(data.begin(), data.end());
    if (body.size() > limit) {
      c.cancel();
      finish(false, "The page is too large.");
    }
  }
  void didFinishLoading(net::URLConnection &) override { finish(true, {}); }
  void didFailWithError(net::URLConnection &, const net::URLError &e) override {
    finish(false, e.message);
  }

private:
  void finish(bool ok, std::string why) {
    if (auto d = std::move(done)) d(ok, std::move(body), std::move(why));
  }
};

net::URLRequest boundedRequest(const std::string &url, double timeout) {
  net::URLRequest r;
  r.url = url;
  r.connectTimeout = timeout;
  r.idleTimeout = timeout;
  r.maxRedirects = 8;
  return r;
}

// Lower case for ASCII letters only: positions found in it are positions in the page.
std::string asciiLower(const std::string &text) {
  std::string out = text;
  for (char &c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A tag's attribute value ("" when missing), quoted or bare. Plain scanning: a page is untrusted
// and may be large, so no backtracking matcher runs over it.
std::string attribute(const std::string &tag, const std::string &name) {
  const std::string lower = asciiLower(tag);
  for (size_t at = lower.find(name); at != std::string::npos; at = lower.find(name, at + 1)) {
    if (at == 0 || !std::isspace(static_cast<unsigned char>(lower[at - 1]))) continue;
    size_t i = lower.find_first_not_of(" \t\r\n", at + name.size());
    if (i == std::string::npos || lower[i] != '=') continue;
    i = lower.find_first_not_of(" \t\r\n", i + 1);
    if (i == std::string::npos) return {};
    if (tag[i] == '"' || tag[i] == '\'') {
      auto end = tag.find(tag[i], i + 1);
      return end == std::string::npos ? std::string() : tag.substr(i + 1, end - i - 1);
    }
    auto end = tag.find_first_of(" \t\r\n>", i);
    return tag.substr(i, end == std::string::npos ? std::string::npos : end - i);
  }
  return {};
}

} // namespace

void WebPageEngine::attachIfHeadless(WebView &view) {
  if (!Renderer::current()) view.setEngine(std::make_shared<WebPageEngine>());
}

void WebPageEngine::startLoad(WebView &view, const WebLoad &load) {
  if (connection_) connection_->cancel();
  connection_.reset();
  // A view made before the browser front end started: from now on the front end's page loads
  // it and answers its scripts.
  if (Renderer::current()) {
    auto keep = shared_from_this();
    view.setEngine(nullptr);
    return;
  }
  std::weak_ptr<WebView> weakView = std::static_pointer_cast<WebView>(view.shared_from_this());
  const size_t revision = view.loads().size();
  std::weak_ptr<WebPageEngine> weakSelf = shared_from_this();
  auto answer = [weakView, weakSelf, revision](bool ok, std::string body, std::string why,
                                               WebLoadError kind = WebLoadError::Other) {
    auto v = weakView.lock();
    auto self = weakSelf.lock();
    if (!v || !self || v->loads().size() != revision || !v->isLoading()) return;
    self->connection_.reset();
    if (!ok) return v->failLoad(why, kind);
    self->page_ = std::move(body);
    v->finishLoad();
  };
  if (load.kind == WebLoad::Kind::HTMLString) {
    std::string html = load.html;
    RunLoop::main()->perform([answer, html] { answer(true, html, {}); });
    return;
  }
  const auto scheme = lowercase(load.url.substr(0, load.url.find(':')));
  if (scheme != "http" && scheme != "https") {
    RunLoop::main()->perform([answer] { answer(false, {}, "The address is not a web address."); });
    return;
  }
  auto gather = std::make_shared<Gather>();
  gather->forPage = true;
  std::weak_ptr<Gather> weakGather = gather;
  gather->done = [answer, weakGather](bool ok, std::string body, std::string why) {
    auto g = weakGather.lock();
    if (g && g->cannotShow) return answer(false, {}, std::move(why), WebLoadError::CannotShowType);
    if (ok && g && webContentKindFor(g->mimeType) == WebContentKind::Text)
      body = plainTextPage(body);
    answer(ok, std::move(body), std::move(why));
  };
  connection_ =
      net::URLConnection::start(boundedRequest(load.url, kTimeoutSeconds), gather, RunLoop::main());
}

void WebPageEngine::stopLoading(WebView &) {
  if (connection_) connection_->cancel();
  connection_.reset();
}

std::string WebPageEngine::evaluateScript(WebView &, const std::string &script) {
  if (script == "document.title;") return pageTitle(page_);
  if (script == "valtryAppleIcon();") return pageTouchIcon(page_);
  return {};
}

// A text file shown as a page keeps its lines (and its spaces) and never reads as markup.
std::string plainTextPage(const std::string &text) {
  return "<html><body><pre style=\"white-space: pre-wrap\">" + htmlEscaped(text) +
         "</pre></body></html>";
}

std::string pageTitle(const std::string &html) {
  const std::string lower = asciiLower(html);
  auto open = lower.find("<title");
  if (open == std::string::npos) return {};
  auto start = lower.find('>', open);
  auto end = start == std::string::npos ? start : lower.find("</title", start);
  if (end == std::string::npos) return {};
  auto t = html.substr(start + 1, end - start - 1);
  auto b = t.find_first_not_of(" \t\r\n");
  auto e = t.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
}

std::string pageTouchIcon(const std::string &html) {
  const std::string lower = asciiLower(html);
  for (size_t at = lower.find("<link"); at != std::string::npos; at = lower.find("<link", at + 1)) {
    auto end = lower.find('>', at);
    if (end == std::string::npos) break;
    auto tag = html.substr(at, end - at + 1);
    if (lowercase(attribute(tag, "rel")) == "apple-touch-icon") return attribute(tag, "href");
  }
  return {};
}

std::string fetchBounded(const std::string &url, size_t maxBytes, double timeoutSeconds) {
  auto loop = RunLoop::current();
  auto gather = std::make_shared<Gather>();
  gather->limit = maxBytes;
  bool finished = false;
  std::string result;
  gather->done = [&](bool ok, std::string body, std::string) {
    finished = true;
    if (ok && gather->status < 400) result = std::move(body);
  };
  auto c = net::URLConnection::start(boundedRequest(url, timeoutSeconds), gather, loop);
  loop->runUntil([&] { return finished; }, std::chrono::duration_cast<Duration>(
                                               std::chrono::duration<double>(timeoutSeconds + 2)));
  c->cancel();
  return result;
}
