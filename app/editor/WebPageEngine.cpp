#include "app/editor/WebPageEngine.h"

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/ui/Renderer.h"

#include <regex>

using namespace platform;
using namespace platform::ui;

namespace {

// Gathers one body; answers once, on the loop that started it.
class Gather : public net::URLConnectionDelegate {
public:
  std::function<void(bool ok, std::string body, std::string why)> done;
  size_t limit = WebPageEngine::kMaxPage;
  std::string body;
  long status = 0;
  void didReceiveResponse(net::URLConnection &, const net::URLResponse &r) override {
    status = r.statusCode;
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

std::string attribute(const std::string &tag, const char *name) {
  std::regex re(std::string(name) + "\\s*=\\s*(\"([^\"]*)\"|'([^']*)'|([^\\s>]+))",
                std::regex::icase);
  std::smatch m;
  if (!std::regex_search(tag, m, re)) return {};
  return m[2].matched ? m[2].str() : m[3].matched ? m[3].str() : m[4].str();
}

} // namespace

void WebPageEngine::attachIfHeadless(WebView &view) {
  if (!Renderer::current()) view.setEngine(std::make_shared<WebPageEngine>());
}

void WebPageEngine::startLoad(WebView &view, const WebLoad &load) {
  if (connection_) connection_->cancel();
  connection_.reset();
  std::weak_ptr<WebView> weakView = std::static_pointer_cast<WebView>(view.shared_from_this());
  const size_t revision = view.loads().size();
  std::weak_ptr<WebPageEngine> weakSelf = shared_from_this();
  auto answer = [weakView, weakSelf, revision](bool ok, std::string body, std::string why) {
    auto v = weakView.lock();
    auto self = weakSelf.lock();
    if (!v || !self || v->loads().size() != revision || !v->isLoading()) return;
    self->connection_.reset();
    if (!ok) return v->failLoad(why);
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
  gather->done = answer;
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

std::string pageTitle(const std::string &html) {
  std::regex re("<title[^>]*>([\\s\\S]*?)</title>", std::regex::icase);
  std::smatch m;
  if (!std::regex_search(html, m, re)) return {};
  auto t = m[1].str();
  auto b = t.find_first_not_of(" \t\r\n");
  auto e = t.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
}

std::string pageTouchIcon(const std::string &html) {
  std::regex re("<link\\b[^>]*>", std::regex::icase);
  for (auto it = std::sregex_iterator(html.begin(), html.end(), re); it != std::sregex_iterator();
       ++it) {
    auto tag = it->str();
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
