#include "platform/ui/Renderer.h"

#include "platform/foundation/Text.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"
#include "platform/net/URLConnection.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/RendererFiles.h"
#include "platform/ui/RendererServer.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/WebView.h"
#include "platform/ui/Window.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include <unistd.h>

namespace platform::ui {

using detail::HttpRequest;
using detail::HttpResponse;
using detail::Reply;
using nlohmann::json;

namespace {

constexpr size_t kMaxPageFile = 4 * 1024 * 1024;
// A page fetched from the web is held whole (its charset is read from it): never more than this.
constexpr size_t kMaxWebPage = 8 * 1024 * 1024;
// What a web view shows is shown in a sandbox of its own: the page can neither reach the renderer
// nor the token.
const char kWebPagePolicy[] = "sandbox allow-scripts allow-forms";
// The page files the renderer serves, and nothing else of its folder.
const char *const kPageFiles[] = {"index.html", "renderer.js", "renderer.css"};

std::string escapeHtml(const std::string &text) {
  return htmlEscaped(text);
}

// Put at the top of every page a web view shows: links and forms go back to the application (its
// navigation policy decides), the end of loading is reported, and the application's scripts run.
// The application's scripts see the page as they would in the phone's web view: a location they
// set goes to the application as a link does (that is how the long-tap script reports), a mouse
// pressed, moved and let go is a touch that starts, moves and ends, and a script that waits for
// its answer gets its value back as text. Where a touch starts goes to the application too.
const char kWebShim[] =
    // The load the document was served for (its address is /web/ID/REVISION), taken before the
    // page's own scripts run: the front end takes a "loaded" only from the document of the load
    // its frame now shows.
    "<script>(function(){var p=window.parent,swallow=false,down=false,"
    "revision=Number(location.pathname.split('/')[3]);"
    "function go(u){p.postMessage({ferrowenWeb:'follow',url:String(u)},'*');}"
    "document.addEventListener('click',function(e){if(swallow){swallow=false;e.preventDefault();"
    "e.stopImmediatePropagation();return;}var a=e.target&&e.target.closest&&"
    "e.target.closest('a[href]');if(!a||a.href.indexOf('javascript:')===0)return;"
    "e.preventDefault();go(a.href);},true);"
    "document.addEventListener('submit',function(e){var f=e.target;e.preventDefault();"
    "var u=new URL(f.action||location.href);new FormData(f).forEach(function(v,k){"
    "u.searchParams.append(k,v);});go(u.href);},true);"
    // A page made for a desktop (no viewport of its own) is laid out at least 480 pixels wide
    // and drawn scaled to the view's width. (The phone's web view lays it out 980 wide, but a
    // person at a computer cannot zoom in with two fingers, and 980 would draw its text at a
    // third of its size on the phone.)
    "var scale=1;function fit(){var d=document.documentElement;if(!d||document.querySelector("
    "'meta[name=viewport]'))return;var w=Math.max(innerWidth,480);"
    "scale=innerWidth/w;d.style.width=scale<1?w+'px':'';d.style.transformOrigin='0 0';"
    "d.style.transform=scale<1?'scale('+scale+')':'';}"
    "document.addEventListener('DOMContentLoaded',fit);window.addEventListener('resize',fit);"
    "window.addEventListener('load',function(){p.postMessage({ferrowenWeb:'loaded',"
    "revision:revision,title:document.title},'*');});"
    "function zoom(){return scale;}"
    "function touch(type,e){var z=zoom(),t={identifier:0,target:e.target,pageX:e.pageX/z,"
    "pageY:e.pageY/z,clientX:e.clientX/z,clientY:e.clientY/z,screenX:e.screenX,"
    "screenY:e.screenY},ev=new Event(type,{bubbles:true,cancelable:true}),"
    "now=type==='touchend'?[]:[t];ev.touches=now;ev.targetTouches=now;ev.changedTouches=[t];"
    "(e.target||document).dispatchEvent(ev);return ev.defaultPrevented;}"
    "document.addEventListener('mousedown',function(e){if(e.button!==0)return;down=true;"
    "swallow=false;p.postMessage({ferrowenWeb:'touch',x:e.clientX,y:e.clientY},'*');"
    "touch('touchstart',e);},true);"
    "document.addEventListener('mousemove',function(e){if(down)touch('touchmove',e);},true);"
    "document.addEventListener('mouseup',function(e){if(!down)return;down=false;"
    "if(touch('touchend',e))swallow=true;},true);"
    "var doc=new Proxy(document,{get:function(t,k){var v=Reflect.get(t,k,t);"
    "return typeof v==='function'?v.bind(t):v;},set:function(t,k,v){if(k!=='location')"
    "return Reflect.set(t,k,v,t);v=String(v);go(/^[a-z][a-z0-9+.-]*:/i.test(v)?v:"
    "new URL(v,location.href).href);return true;}}),scope=Object.create(null);scope.document=doc;"
    "Object.defineProperty(window,'__ferrowenScope',{value:scope});"
    "window.addEventListener('message',function(e){var d=e.data;if(e.source!==p||!d||"
    "typeof d.ferrowenScript!=='string')return;var r;try{r=(0,eval)("
    "'with(__ferrowenScope){'+d.ferrowenScript+'\\n}');r=r===undefined||r===null?'':String(r);}"
    "catch(x){r='';}if(d.ferrowenCall)p.postMessage({ferrowenWeb:'result',"
    "call:d.ferrowenCall,value:r},'*');});})();</script>";

std::string webPage(const std::string &html, const std::string &base) {
  std::string head = std::string(kWebShim);
  if (!base.empty() && base != "about:blank")
    head = "<base href=\"" + escapeHtml(base) + "\">" + head;
  return head + html;
}

std::string errorPage(const std::string &url, const std::string &why) {
  return "<!doctype html><meta charset=utf-8><meta name=viewport content=\"width=device-width\">"
         "<body style=\"font:15px sans-serif;color:#555;padding:20px;margin:0;"
         "overflow-wrap:anywhere\"><h3>The page could not be shown</h3><p>" +
         escapeHtml(url) + "</p><p>" + escapeHtml(why) + "</p>";
}

// Plain text keeps its lines (and long lines wrap within the screen): the page around it.
const char kPlainTextHead[] =
    "<!doctype html><meta charset=utf-8><meta name=viewport content=\"width=device-width\">"
    "<pre style=\"white-space:pre-wrap;overflow-wrap:anywhere;margin:8px;font:13px monospace\">";
const char kPlainTextTail[] = "</pre>";

std::string plainTextPage(const std::string &text) {
  return kPlainTextHead + escapeHtml(text) + kPlainTextTail;
}

// The page of a file sent a piece at a time as it is read (a text or a page of any size, and the
// program holds no more of it than a piece): `head`, the file's bytes (as text, escaped, unless
// `page`), then `tail`. The file is closed with the last copy of what makes the pieces.
std::function<bool(std::string &)> filePieces(int fd, std::string head, bool page,
                                              std::string tail) {
  struct Source {
    Source(int f, std::string h, bool p, std::string t)
        : fd(f), head(std::move(h)), tail(std::move(t)), page(p) {}
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    ~Source() { ::close(fd); }
    int fd;
    std::string head, tail;
    bool page;
    int stage = 0; // 0 the head, 1 the file, 2 the tail
  };
  auto source = std::make_shared<Source>(fd, std::move(head), page, std::move(tail));
  return [source](std::string &piece) {
    auto &s = *source;
    if (s.stage == 0) {
      piece = std::move(s.head);
      s.stage = 1;
      return true;
    }
    if (s.stage == 1) {
      char bytes[65536];
      ssize_t n;
      while ((n = ::read(s.fd, bytes, sizeof bytes)) < 0 && errno == EINTR) {
      }
      if (n > 0) {
        // The characters escaped are ASCII: a piece may end inside a character of UTF-8.
        const std::string_view read(bytes, static_cast<size_t>(n));
        piece = s.page ? std::string(read) : escapeHtml(std::string(read));
        return true;
      }
      s.stage = 2;
    }
    piece = std::move(s.tail);
    return false;
  };
}

// The page a picture, a PDF, a movie or a sound is shown in: the file itself, fitted to the view.
std::string documentPage(const std::string &type, const std::string &source) {
  const std::string src = escapeHtml(source);
  std::string body;
  if (type.rfind("image/", 0) == 0)
    body = "<img alt=\"\" src=\"" + src +
           "\" style=\"display:block;margin:auto;max-width:100%;height:auto\">";
  else if (type.rfind("video/", 0) == 0)
    body = "<video controls src=\"" + src + "\" style=\"width:100%;max-height:100%\"></video>";
  else if (type.rfind("audio/", 0) == 0)
    body = "<audio controls src=\"" + src + "\" style=\"width:100%\"></audio>";
  else
    body = "<embed type=\"" + escapeHtml(type) + "\" src=\"" + src +
           "\" style=\"width:100%;height:100vh;border:0\">";
  return "<!doctype html><meta charset=utf-8><meta name=viewport content=\"width=device-width\">"
         "<body style=\"margin:0;background:#fff\">" +
         body;
}

// Collects the ids of the web views in a snapshot.
void findWebViews(const json &node, std::vector<uint64_t> &out) {
  if (node.is_object()) {
    auto type = node.find("type");
    if (type != node.end() && *type == "web" && node.contains("id"))
      out.push_back(node["id"].get<uint64_t>());
    for (auto &[k, v] : node.items())
      findWebViews(v, out);
  } else if (node.is_array()) {
    for (auto &v : node)
      findWebViews(v, out);
  }
}

// Collects the picture names ("image" fields) of a snapshot.
void findImageNames(const json &node, std::vector<std::string> &out) {
  if (node.is_object()) {
    auto image = node.find("image");
    if (image != node.end() && image->is_string() && !image->get_ref<const std::string &>().empty())
      out.push_back(image->get<std::string>());
    for (auto &[k, v] : node.items())
      findImageNames(v, out);
  } else if (node.is_array()) {
    for (auto &v : node)
      findImageNames(v, out);
  }
}

// The texts of the text views in a snapshot, taken out of it (by id): the page is sent only what
// changed in them, as a text view may hold a whole file.
void takeTexts(json &node, std::map<uint64_t, std::string> &out) {
  if (node.is_object()) {
    auto type = node.find("type");
    auto text = node.find("text");
    if (type != node.end() && *type == "textView" && text != node.end() && text->is_string() &&
        node.contains("id")) {
      out[node["id"].get<uint64_t>()] = std::move(text->get_ref<std::string &>());
      node.erase(text);
    }
    for (auto &[k, v] : node.items())
      takeTexts(v, out);
  } else if (node.is_array()) {
    for (auto &v : node)
      takeTexts(v, out);
  }
}

bool isContinuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// What changed between two texts, as the page applies it: the range of the text before (in
// UTF-16 units, the page's and the model's unit) that the inserted text replaced. The change
// starts and ends on whole characters.
json textChange(uint64_t id, std::string_view before, std::string_view after) {
  // Compared a block at a time, then byte by byte within the block that differs.
  const size_t shorter = std::min(before.size(), after.size());
  constexpr size_t kBlock = 4096;
  const char *b = before.data(), *a = after.data();
  size_t p = 0;
  while (p + kBlock <= shorter && std::memcmp(b + p, a + p, kBlock) == 0)
    p += kBlock;
  while (p < shorter && b[p] == a[p])
    ++p;
  while (p > 0 && p < before.size() && isContinuation(before[p]))
    --p;
  size_t s = 0;
  const char *be = b + before.size(), *ae = a + after.size();
  while (s + kBlock <= shorter - p && std::memcmp(be - s - kBlock, ae - s - kBlock, kBlock) == 0)
    s += kBlock;
  while (s < shorter - p &&
         be[-1 - static_cast<std::ptrdiff_t>(s)] == ae[-1 - static_cast<std::ptrdiff_t>(s)])
    ++s;
  while (s > 0 && isContinuation(before[before.size() - s]))
    --s;
  return {{"type", "text"},
          {"id", id},
          {"at", utf16Length(before.substr(0, p))},
          {"remove", utf16Length(before.substr(p, before.size() - s - p))},
          {"insert", after.substr(p, after.size() - s - p)}};
}

class RendererImpl;
std::weak_ptr<RendererImpl> &currentSlot() {
  static std::weak_ptr<RendererImpl> slot;
  return slot;
}

// Gathers one web page fetched for a web view; answers when it finished or failed.
class PageFetch : public net::URLConnectionDelegate {
public:
  std::function<void(bool ok, std::string body, std::string why)> done;
  std::string body;
  void didReceiveResponse(net::URLConnection &c, const net::URLResponse &r) override {
    status = r.statusCode;
    mimeType = r.mimeType;
    charset = r.textEncodingName;
    kind = webContentKindFor(mimeType);
    // A file no page shows (an archive, a program) is not fetched whole to be shown as text.
    if (kind == WebContentKind::None) {
      c.cancel();
      cannotShow = true;
      finish(false, cannotShowTypeDescription(mimeType));
    }
  }
  void didReceiveData(net::URLConnection &c, const std::vector<uint8_t> &data) override {
    body.append(data.begin(), data.end());
    if (body.size() > kMaxWebPage) {
      c.cancel();
      finish(false, "The page is too large.");
    }
  }
  void didFinishLoading(net::URLConnection &) override { finish(true, {}); }
  void didFailWithError(net::URLConnection &, const net::URLError &e) override {
    finish(false, e.message);
  }
  long status = 0;
  std::string mimeType, charset;
  WebContentKind kind = WebContentKind::Page;
  bool cannotShow = false;

private:
  void finish(bool ok, std::string why) {
    if (!done) return;
    auto d = std::move(done);
    done = nullptr;
    d(ok, std::move(body), std::move(why));
  }
};

class RendererImpl : public Renderer, public std::enable_shared_from_this<RendererImpl> {
public:
  explicit RendererImpl(RendererOptions o) : options_(std::move(o)) {}
  ~RendererImpl() override { stop(); }

  bool begin(std::string *error) {
    if (options_.resources.empty()) options_.resources = Paths::resources();
    if (options_.dataRoot.empty()) options_.dataRoot = Paths::home();
    if (options_.token.empty()) options_.token = detail::randomToken(16);
    webKey_ = detail::randomToken(16);
    for (auto name : kPageFiles)
      if (!detail::readConfined(options_.resources, std::string("renderer/") + name,
                                kMaxPageFile)) {
        if (error)
          *error = "the page file renderer/" + std::string(name) + " is missing in " +
                   options_.resources;
        return false;
      }
    std::weak_ptr<RendererImpl> weak = shared_from_this();
    detail::RendererServer::Handlers h;
    h.request = [weak](const HttpRequest &r, Reply reply) {
      RunLoop::main()->perform([weak, r, reply] {
        if (auto self = weak.lock(); self && !self->stopped_) self->serve(r, reply);
      });
    };
    h.opened = [weak](uint64_t client) {
      RunLoop::main()->perform([weak, client] {
        if (auto self = weak.lock(); self && !self->stopped_) self->greet(client);
      });
    };
    h.closed = [weak](uint64_t) {
      RunLoop::main()->perform([weak] {
        auto self = weak.lock();
        if (!self || self->clients_ == 0) return;
        --self->clients_;
        // A page closed may have had no time to say it went away.
        if (!self->stopped_) self->pageAway();
      });
    };
    h.message = [weak](uint64_t client, std::string text) {
      RunLoop::main()->perform([weak, client, text = std::move(text)] {
        if (auto self = weak.lock(); self && !self->stopped_) self->receive(client, text);
      });
    };
    server_ =
        detail::RendererServer::start(options_.port, options_.token, webKey_, std::move(h), error);
    if (!server_) return false;
    auto interval = std::chrono::milliseconds(std::max(10, options_.refreshMilliseconds));
    timer_ = RunLoop::main()->addTimer(interval, true, [weak](Timer &) {
      if (auto self = weak.lock(); self && self->clients_ > 0) self->look();
    });
    return true;
  }

  int port() const override { return server_ ? server_->port() : 0; }
  const std::string &token() const override { return options_.token; }
  std::string address() const override {
    return "http://127.0.0.1:" + std::to_string(port()) + "/?t=" + options_.token;
  }

  void stop() override {
    if (stopped_) return;
    stopped_ = true;
    if (timer_) timer_->invalidate();
    if (server_) server_->stop();
    for (auto &f : fetches_)
      if (f) f->cancel();
    fetches_.clear();
  }

  bool playMedia(const std::string &path, std::function<void()> ended) override {
    detail::requireMainThread("Renderer::playMedia");
    auto inside = detail::relativeInside(options_.dataRoot, path);
    if (stopped_ || clients_ == 0 || inside.empty()) return false;
    int fd = detail::openConfined(options_.dataRoot, inside);
    if (fd < 0) return false;
    ::close(fd);
    int64_t id = ++nextMedia_;
    media_[id] = inside;
    mediaEnded_[id] = std::move(ended);
    std::string type = detail::contentTypeFor(inside);
    json m{{"type", "media"},
           {"media", id},
           {"kind", type.rfind("audio/", 0) == 0 ? "audio" : "video"},
           {"src", "/media/" + std::to_string(id) + "?t=" + options_.token}};
    broadcast(m);
    return true;
  }

private:
  void broadcast(const json &message, uint64_t client = 0) {
    server_->send(client, std::make_shared<const std::string>(
                              message.dump(-1, ' ', false, json::error_handler_t::replace)));
  }

  // The status bar as the page draws it. The device's own orientation too: the page's Rotate
  // turns the device from where it is, also when the screen in front did not turn with it.
  struct StatusBar {
    bool hidden = false;
    int style = 0;
    bool activity = false;
    int orientation = 0;
    bool operator==(const StatusBar &) const = default;
    json toJson() const {
      return {{"hidden", hidden},
              {"style", style},
              {"activity", activity},
              {"orientation", orientation}};
    }
  };
  static StatusBar statusBar() {
    auto &app = Application::shared();
    return {app.isStatusBarHidden(), static_cast<int>(app.statusBarStyle()),
            app.isNetworkActivityIndicatorVisible(),
            static_cast<int>(DeviceProfile::current().orientation)};
  }

  // The model belongs to the main thread: while nothing but this look ran there since the last
  // one, nothing in it can have changed, and an idle page costs nothing. (The status bar, which
  // other threads may set, is looked at each time.)
  void look() {
    const uint64_t work = RunLoop::main()->workDone();
    if (work == lookedAtWork_ + 1 && statusBar() == lastStatus_) {
      lookedAtWork_ = work;
      return;
    }
    publish(false);
  }

  // Each text view's text as the page last heard it: what changed goes to the page before the
  // state that shows it.
  void textChanges(json &snap) {
    std::map<uint64_t, std::string> texts;
    takeTexts(snap, texts);
    for (auto it = sentTexts_.begin(); it != sentTexts_.end();)
      if (!texts.count(it->first)) {
        pendingTexts_.push_back({{"type", "text"}, {"id", it->first}, {"gone", true}});
        it = sentTexts_.erase(it);
      } else {
        ++it;
      }
    for (auto &[id, text] : texts) {
      auto sent = sentTexts_.find(id);
      if (sent == sentTexts_.end())
        pendingTexts_.push_back(
            withSelection({{"type", "text"}, {"id", id}, {"full", true}, {"insert", text}}, id));
      else if (sent->second != text)
        pendingTexts_.push_back(withSelection(textChange(id, sent->second, text), id));
      else
        continue;
      sentTexts_[id] = std::move(text);
    }
  }

  // A change of a text goes with the selection the view has after it: the page shows both at once
  // (what the program typed at the caret leaves the caret after it before anything else is typed).
  static json withSelection(json change, uint64_t id) {
    if (auto view = std::dynamic_pointer_cast<TextView>(Window::keyWindow()->elementForId(id))) {
      const Range r = view->selectedRange();
      change["selected"] = {r.location, r.length};
    }
    return change;
  }

  // The state a page draws: the snapshot (without the texts of text views), the status bar and
  // what each web view shows.
  json state() {
    auto window = Window::keyWindow();
    json snap = window->snapshot();
    textChanges(snap);
    lastStatus_ = statusBar();
    json status = lastStatus_.toJson();
    json web = json::object();
    std::vector<uint64_t> ids;
    findWebViews(snap, ids);
    for (auto id : ids)
      if (auto view = std::dynamic_pointer_cast<WebView>(window->elementForId(id))) {
        web[std::to_string(id)] = {{"revision", view->loads().size()}};
        // Scripts the application ran since the page last heard go on to the page shown.
        auto &scripts = view->evaluatedScripts();
        auto &calls = view->scriptCalls();
        auto &sent = scriptsSent_[id];
        for (; sent < scripts.size(); ++sent) {
          json script{{"type", "script"}, {"id", id}, {"script", scripts[sent]}};
          // A call waits for the page's answer ("scriptResult" with the same call).
          if (sent < calls.size() && calls[sent]) script["call"] = calls[sent];
          pendingScripts_.push_back(std::move(script));
        }
      }
    return {{"type", "state"},
            {"snapshot", snap},
            {"status", status},
            {"web", web},
            {"images", imageVersions(snap)}};
  }

  // A picture the application registers again under the same name (the crop rectangle drawn
  // anew as it follows a finger) has a new version, so the page fetches it again.
  json imageVersions(const json &snap) {
    std::vector<std::string> names;
    findImageNames(snap, names);
    if (imageVersions_.size() > 4096) imageVersions_.clear(); // names come and go: kept bounded
    json versions = json::object();
    for (auto &name : names) {
      auto now = media::ImageRegistry::shared().imageKept(name);
      auto &seen = imageVersions_[name];
      if (seen.second == 0 || seen.first.lock() != now) {
        seen.first = now;
        ++seen.second;
      }
      if (seen.second > 1) versions[name] = seen.second;
    }
    return versions;
  }

  // Sends the state when it changed (or always, when forced).
  void publish(bool force) {
    auto s = state().dump(-1, ' ', false, json::error_handler_t::replace);
    for (auto &script : pendingScripts_)
      broadcast(script);
    pendingScripts_.clear();
    for (auto &change : pendingTexts_)
      broadcast(change);
    pendingTexts_.clear();
    // What ran on the main thread until now is in what the page was sent.
    lookedAtWork_ = RunLoop::main()->workDone();
    if (!force && s == last_) return;
    last_ = s;
    server_->send(0, std::make_shared<const std::string>(std::move(s)));
  }

  void greet(uint64_t client) {
    ++clients_;
    auto device = DeviceProfile::current();
    json hello{{"type", "hello"},
               {"device",
                {{"idiom", device.isiPad() ? "pad" : "phone"},
                 {"model", device.model},
                 {"systemVersion", device.systemVersion},
                 {"scale", device.scale}}},
               {"webKey", webKey_}};
    broadcast(hello, client);
    last_.clear();
    sentTexts_.clear(); // every page is sent every text whole
    publish(true);
  }

  void receive(uint64_t client, const std::string &text) {
    auto message = detail::readPageMessage(text);
    if (!message) return;
    if (!message->renderer.empty()) {
      pageMessage(*message);
    } else {
      auto result = Window::keyWindow()->dispatch(message->event);
      broadcast({{"type", "result"},
                 {"seq", message->seq},
                 {"ok", result.value("ok", false)},
                 {"error", result.value("error", std::string())}},
                client);
      // Typing into a text view is answered with what changed in its text at once; the rest of
      // what the page draws follows at the next look, once for a burst of keys.
      if (editsTextView(message->event)) return sendTextChanges();
    }
    publish(false);
  }

  // An edit or a move of the caret in a text view the page has the text of.
  bool editsTextView(const json &event) {
    const std::string name = event.value("event", std::string());
    if (name != "replace" && name != "select") return false;
    const auto id = event.value("id", uint64_t{0});
    return sentTexts_.count(id) &&
           std::dynamic_pointer_cast<TextView>(Window::keyWindow()->elementForId(id));
  }

  // What changed in the texts of the text views the page shows, read from the views themselves.
  void sendTextChanges() {
    auto window = Window::keyWindow();
    for (auto &[id, sent] : sentTexts_) {
      auto view = std::dynamic_pointer_cast<TextView>(window->elementForId(id));
      if (!view || view->text() == sent) continue;
      broadcast(withSelection(textChange(id, sent, view->text()), id));
      sent = view->text();
    }
  }

  void setPageAway(std::function<void()> away) override { pageAway_ = std::move(away); }
  void pageAway() {
    if (pageAway_) pageAway_();
  }

  // Messages of the page itself: a web view's page finished loading, a movie ended, the page
  // went out of sight.
  void pageMessage(const detail::PageMessage &m) {
    if (m.renderer == "pageAway") {
      pageAway();
    } else if (m.renderer == "webLoaded") {
      auto view = std::dynamic_pointer_cast<WebView>(Window::keyWindow()->elementForId(m.id));
      if (view && m.revision == view->loads().size() && view->isLoading()) view->finishLoad();
    } else if (m.renderer == "webTouch") {
      // Where a touch on a page starts: the window's tap detection hears it (no answer is due).
      Window::keyWindow()->dispatch(
          {{"event", "touch"}, {"id", m.id}, {"phase", "began"}, {"x", m.x}, {"y", m.y}});
    } else if (m.renderer == "scriptResult") {
      // Only the view that asked takes the answer (calls are never reused).
      auto view = std::dynamic_pointer_cast<WebView>(Window::keyWindow()->elementForId(m.id));
      if (view && m.call) view->answerScript(m.call, m.value);
    } else if (m.renderer == "mediaEnded") {
      auto it = mediaEnded_.find(m.media);
      if (it == mediaEnded_.end()) return;
      auto ended = std::move(it->second);
      mediaEnded_.erase(it);
      media_.erase(m.media);
      if (ended) ended();
    }
  }

  // --- HTTP, on the main thread ---

  void serve(const HttpRequest &r, const Reply &reply) {
    const std::string &p = r.path;
    if (p == "/") return reply(pageFile("index.html"));
    for (auto name : kPageFiles)
      if (p == std::string("/") + name) return reply(pageFile(name));
    if (p == "/snapshot") {
      HttpResponse res;
      res.contentType = "application/json";
      res.body =
          Window::keyWindow()->snapshot().dump(-1, ' ', false, json::error_handler_t::replace);
      return reply(res);
    }
    if (p.rfind("/img/", 0) == 0) return reply(image(p.substr(5)));
    if (p.rfind("/draw/", 0) == 0) return reply(drawing(p.substr(6), r));
    if (p.rfind("/media/", 0) == 0) return reply(mediaFile(p.substr(7)));
    if (p.rfind("/web/", 0) == 0) return webContent(p.substr(5), reply);
    reply(HttpResponse::text(404, "Not found.\n"));
  }

  // A file that could not be opened: "503" with the reason when no descriptor was left for it
  // (it is there, and will be served again), else the answer for one that is missing.
  static HttpResponse notOpened(int error, const char *missing) {
    if (error == EMFILE || error == ENFILE)
      return HttpResponse::text(503, "Cannot open the file: " + std::string(std::strerror(error)) +
                                         ". Please try again later.\n");
    return HttpResponse::text(404, missing);
  }

  HttpResponse pageFile(const std::string &name) {
    auto body = detail::readConfined(options_.resources, "renderer/" + name, kMaxPageFile);
    if (!body) return notOpened(errno, "Not found.\n");
    HttpResponse res;
    res.contentType = detail::contentTypeFor(name);
    res.body = std::move(*body);
    // The page names its script and style with the token (hexadecimal: nothing to escape).
    for (size_t at; (at = res.body.find("@TOKEN@")) != std::string::npos;)
      res.body.replace(at, 7, options_.token);
    std::string ws =
        "ws://127.0.0.1:" + std::to_string(port()) + " ws://localhost:" + std::to_string(port());
    res.headers["Content-Security-Policy"] =
        "default-src 'self'; img-src 'self' data:; "
        "media-src 'self'; frame-src 'self'; connect-src 'self' " +
        ws + "; frame-ancestors 'none'";
    return res;
  }

  // A picture the model names: a registered one, a resource, or a file of the data root.
  HttpResponse image(const std::string &name) {
    HttpResponse res;
    int fd = -1, error = ENOENT;
    if (name.empty() || name.size() > 4096) return HttpResponse::text(404, "No such picture.\n");
    if (name[0] == '/') {
      auto inside = detail::relativeInside(options_.dataRoot, name);
      if (!inside.empty()) fd = detail::openConfined(options_.dataRoot, inside);
      if (fd < 0 && !inside.empty()) error = errno;
    } else {
      fd = detail::openConfined(options_.resources, name);
      if (fd < 0) error = errno;
      // Not a plain file of the resources: an image the application registered under that name.
      // (A name that exists there but was refused, a link say, is not looked up again.)
      std::string there = options_.resources + "/" + name;
      if (fd < 0 && name.find("..") == std::string::npos && ::access(there.c_str(), F_OK) != 0)
        if (auto registered = media::ImageRegistry::shared().imageNamed(name)) {
          auto png = registered->pngRepresentation();
          res.contentType = "image/png";
          res.body.assign(png.begin(), png.end());
          return res;
        }
    }
    if (fd < 0) return notOpened(error, "No such picture.\n");
    res.contentType = detail::contentTypeFor(name);
    res.fileDescriptor = fd;
    return res;
  }

  // What a view that draws itself draws now, as a PNG at the asked scale (1 to 4 pixels per
  // point). The address names the drawing's version, so the page asks again only when the view
  // was marked for display or resized, and may keep each answer.
  HttpResponse drawing(const std::string &rest, const HttpRequest &r) {
    uint64_t id = std::strtoull(rest.c_str(), nullptr, 10);
    auto element = Window::keyWindow()->elementForId(id);
    // The page asks for what the last snapshot it got held; a view taken away since (a bar built
    // anew) has nothing left to draw, and the next snapshot no longer names it.
    if (!element) {
      HttpResponse gone;
      gone.status = 204;
      gone.headers["Cache-Control"] = "no-store";
      return gone;
    }
    auto view = std::dynamic_pointer_cast<View>(element);
    if (!view || !view->drawsItself()) return HttpResponse::text(404, "No such drawing.\n");
    double scale = 2;
    if (auto s = r.query.find("s"); s != r.query.end())
      scale = std::clamp(std::atof(s->second.c_str()), 1.0, 4.0);
    Size size = view->bounds().size;
    // A view of no size draws nothing; a huge one is refused rather than allocated.
    int w = std::max(1, static_cast<int>(std::ceil(size.width * scale)));
    int h = std::max(1, static_cast<int>(std::ceil(size.height * scale)));
    if (size.width > 4096 || size.height > 4096) return HttpResponse::text(404, "Too large.\n");
    auto context = media::BitmapContext::create(w, h);
    if (!context) return HttpResponse::text(500, "No drawing.\n");
    context->scale(scale, scale);
    view->drawRect(view->bounds(), *context);
    auto png = context->makeImage(scale)->pngRepresentation();
    HttpResponse res;
    res.contentType = "image/png";
    res.body.assign(png.begin(), png.end());
    res.headers["Cache-Control"] = "private, max-age=86400";
    return res;
  }

  // The root and the path inside it of a file: address a web view loads: only files of the data
  // root and of the resources, and never through "..", a link or anything but a plain file.
  std::optional<std::pair<std::string, std::string>> localDocument(const std::string &url) {
    auto path = replacePercentEscapes(url.substr(7));
    if (!path || path->find('\0') != std::string::npos) return std::nullopt;
    for (auto &root : {options_.dataRoot, options_.resources}) {
      auto inside = detail::relativeInside(root, *path);
      if (inside.empty()) continue;
      int fd = detail::openConfined(root, inside);
      if (fd < 0) continue;
      ::close(fd);
      return std::pair{root, inside};
    }
    return std::nullopt;
  }

  // A web page may not open the user's files: a link into the data root from a page that is not
  // a file itself is refused (a local document may lead to the files beside it, and any page to
  // the application's own help pages).
  static bool fileLinkFromWebPage(const WebView &view, size_t revision) {
    const auto &loads = view.loads();
    return revision >= 2 && revision <= loads.size() &&
           loads[revision - 1].navigationType == WebViewNavigationType::LinkClicked &&
           loads[revision - 1].url.rfind("file://", 0) == 0 &&
           loads[revision - 2].url.rfind("file://", 0) != 0;
  }

  // The file a web view's load opened, as itself: only a picture, a PDF, a movie or a sound.
  HttpResponse webDocument(const WebView &view, size_t revision) {
    const auto &load = view.loads()[revision - 1];
    if (load.kind != WebLoad::Kind::Request || load.url.rfind("file://", 0) != 0)
      return HttpResponse::text(404, "No such document.\n");
    auto file = localDocument(load.url);
    if (file && file->first == options_.dataRoot && fileLinkFromWebPage(view, revision))
      file.reset();
    int fd = file ? detail::openConfined(file->first, file->second) : -1;
    if (fd < 0) return HttpResponse::text(404, "No such document.\n");
    char bytes[16];
    auto n = ::pread(fd, bytes, sizeof bytes, 0);
    const auto type = detail::documentTypeFor(
        n > 0 ? std::string(bytes, static_cast<size_t>(n)) : std::string(), file->second);
    if (!detail::isShownAsItself(type)) {
      ::close(fd);
      return HttpResponse::text(404, "No such document.\n");
    }
    HttpResponse res;
    res.contentType = type;
    res.fileDescriptor = fd;
    // A drawing that holds script (SVG) never runs it, even when opened on its own.
    res.headers["Content-Security-Policy"] = "sandbox; script-src 'none'";
    return res;
  }

  HttpResponse mediaFile(const std::string &idText) {
    auto it = media_.find(std::atoll(idText.c_str()));
    std::string inside = it == media_.end() ? std::string() : it->second;
    int fd = inside.empty() ? -1 : detail::openConfined(options_.dataRoot, inside);
    if (fd < 0) return HttpResponse::text(404, "Nothing is playing.\n");
    HttpResponse res;
    res.contentType = detail::contentTypeFor(inside);
    res.fileDescriptor = fd;
    return res;
  }

  // /web/ID/REVISION: what load REVISION of the web view ID shows; /web/ID/REVISION/raw: the
  // picture, PDF, movie or sound file that load opened, as itself. Nothing else: the address
  // names a load the application made, never a file.
  void webContent(const std::string &rest, const Reply &reply) {
    auto number = [](const std::string &text, uint64_t &out) {
      if (text.empty() || text.size() > 18 ||
          text.find_first_not_of("0123456789") != std::string::npos)
        return false;
      out = std::strtoull(text.c_str(), nullptr, 10);
      return true;
    };
    auto slash = rest.find('/');
    auto second = slash == std::string::npos ? slash : rest.find('/', slash + 1);
    uint64_t id = 0, revision = 0;
    const bool raw = second != std::string::npos && rest.substr(second) == "/raw";
    if (slash == std::string::npos || !number(rest.substr(0, slash), id) ||
        !number(rest.substr(slash + 1, second == std::string::npos ? second : second - slash - 1),
                revision) ||
        (second != std::string::npos && !raw))
      return reply(HttpResponse::text(404, "No such page.\n"));
    auto view = std::dynamic_pointer_cast<WebView>(Window::keyWindow()->elementForId(id));
    if (!view || revision == 0 || revision > view->loads().size())
      return reply(HttpResponse::text(404, "No such page.\n"));
    auto load = view->loads()[revision - 1];
    if (raw) return reply(webDocument(*view, revision));
    // The charset is the server's (a plain name, or UTF-8 when it gave none).
    auto answer = [reply](std::string html, const std::string &charset = "utf-8") {
      HttpResponse res;
      res.contentType = "text/html; charset=" + charset;
      res.body = std::move(html);
      res.headers["Content-Security-Policy"] = kWebPagePolicy;
      reply(res);
    };
    if (load.kind == WebLoad::Kind::HTMLString) return answer(webPage(load.html, load.url));
    const std::string &url = load.url;
    std::weak_ptr<WebView> weakView = view;
    auto failed = [weakView, revision, url, answer,
                   reply](const std::string &why, WebLoadError kind = WebLoadError::Other) {
      auto v = weakView.lock();
      if (v && v->loads().size() == revision && v->isLoading()) v->failLoad(why, kind);
      // A view that went on at once to another load (back to the page it showed, after a file no
      // page shows) keeps showing what it showed meanwhile: no content, so the frame stays.
      if (kind == WebLoadError::CannotShowType && v && v->loads().size() > revision)
        return reply(HttpResponse::text(204, ""));
      answer(webPage(errorPage(url, why), ""));
    };
    if (url.empty() || url == "about:blank") return answer(webPage("", ""));
    if (url.rfind("file://", 0) == 0) {
      auto file = localDocument(url);
      if (!file) return failed("The file cannot be shown.");
      auto &[root, inside] = *file;
      if (root == options_.dataRoot && fileLinkFromWebPage(*view, revision))
        return failed("A web page cannot open a file.");
      std::string head;
      if (auto fd = detail::openConfined(root, inside); fd >= 0) {
        char bytes[16];
        auto n = ::read(fd, bytes, sizeof bytes);
        if (n > 0) head.assign(bytes, static_cast<size_t>(n));
        ::close(fd);
      }
      const auto type = detail::documentTypeFor(head, inside);
      // A picture, a PDF, a movie or a sound is shown as itself, in a page of its own.
      if (detail::isShownAsItself(type))
        return answer(
            webPage(documentPage(type, "/web/" + std::to_string(id) + "/" +
                                           std::to_string(revision) + "/raw?k=" + webKey_),
                    ""));
      // A page or a text of any size: sent as it is read.
      const int fd = detail::openConfined(root, inside);
      if (fd < 0) return failed("The file cannot be shown.");
      const bool page = type.rfind("text/html", 0) == 0;
      HttpResponse res;
      res.contentType = "text/html; charset=utf-8";
      res.headers["Content-Security-Policy"] = kWebPagePolicy;
      res.pieces = filePieces(fd, webPage(page ? "" : kPlainTextHead, url), page,
                              page ? "" : kPlainTextTail);
      return reply(std::move(res));
    }
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0)
      return failed("The address is not a web address.");
    auto fetch = std::make_shared<PageFetch>();
    std::weak_ptr<PageFetch> weakFetch = fetch;
    fetch->done = [answer, failed, url, weakFetch](bool ok, std::string body, std::string why) {
      auto f = weakFetch.lock();
      if (!f) return failed(why);
      if (!ok)
        return failed(why, f->cannotShow ? WebLoadError::CannotShowType : WebLoadError::Other);
      // What the server said it sent decides how it is shown; with no type given, bytes that are
      // no text are no page either.
      if (f->mimeType.empty() && detail::looksBinary(body))
        return failed(cannotShowTypeDescription(""), WebLoadError::CannotShowType);
      // A picture, a movie or a sound is shown as itself (the page fetches it again, as any
      // page's pictures).
      if (f->kind == WebContentKind::Itself)
        return answer(webPage(documentPage(lowercase(f->mimeType), url), ""));
      std::string charset = !f->charset.empty()               ? f->charset
                            : f->kind == WebContentKind::Page ? detail::metaCharset(body)
                                                              : std::string();
      body = detail::pageBodyIn(std::move(body), charset);
      // Text is shown as text, with its lines, in the charset it came in.
      if (f->kind == WebContentKind::Text)
        return answer(webPage(plainTextPage(body), url), charset);
      answer(webPage(body, url), charset);
    };
    net::URLRequest request;
    request.url = url;
    request.connectTimeout = 30;
    request.idleTimeout = 30;
    fetches_.push_back(net::URLConnection::start(request, fetch, RunLoop::main()));
    std::erase_if(fetches_, [](auto &c) { return !c || c->isFinished(); });
  }

  RendererOptions options_;
  std::string webKey_;
  std::unique_ptr<detail::RendererServer> server_;
  TimerRef timer_;
  bool stopped_ = false;
  int clients_ = 0;
  std::string last_;
  StatusBar lastStatus_;
  uint64_t lookedAtWork_ = 0;
  std::map<uint64_t, std::string> sentTexts_;
  std::vector<json> pendingTexts_;
  std::map<uint64_t, size_t> scriptsSent_;
  std::map<std::string, std::pair<std::weak_ptr<media::Image>, uint64_t>> imageVersions_;
  std::vector<json> pendingScripts_;
  std::vector<std::shared_ptr<net::URLConnection>> fetches_;
  int64_t nextMedia_ = 0;
  std::map<int64_t, std::function<void()>> mediaEnded_;
  std::map<int64_t, std::string> media_;
  std::function<void()> pageAway_;
};

} // namespace

std::shared_ptr<Renderer> Renderer::start(RendererOptions options, std::string *error) {
  detail::requireMainThread("Renderer::start");
  auto r = std::make_shared<RendererImpl>(std::move(options));
  if (!r->begin(error)) return nullptr;
  currentSlot() = r;
  return r;
}

std::shared_ptr<Renderer> Renderer::current() {
  return currentSlot().lock();
}

std::shared_ptr<Renderer> startRenderer() {
  // On unless turned off: a person who starts the program sees it.
  const char *on = std::getenv("FERROWEN_RENDERER");
  if (on && std::string(on) == "0") return nullptr;
  RendererOptions options;
  if (const char *port = std::getenv("FERROWEN_RENDERER_PORT"); port && *port) {
    char *end = nullptr;
    long p = std::strtol(port, &end, 10);
    if (*end || p < 0 || p > 65535) {
      std::fprintf(stderr, "ferrowen: FERROWEN_RENDERER_PORT \"%s\" is not a port\n", port);
      return nullptr;
    }
    options.port = static_cast<int>(p);
  }
  std::string error;
  auto renderer = Renderer::start(options, &error);
  if (!renderer) {
    std::fprintf(stderr, "ferrowen: the browser front end did not start: %s\n", error.c_str());
    return nullptr;
  }
  std::printf("Open %s\n", renderer->address().c_str());
  std::fflush(stdout);
  return renderer;
}

} // namespace platform::ui
