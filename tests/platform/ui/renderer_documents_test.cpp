// What the browser front end makes of a document a web view opens (shown as itself, as a page or
// as text), which raw documents it serves, and the answers a page sends back for the
// application's scripts.
#include "platform/ui/RendererFiles.h"
#include "platform/ui/RendererServer.h"

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/ui/Renderer.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"
#include "platform/ui/Window.h"
#include "tests/support/FewDescriptors.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TimeScale.h"
#include "tests/support/WebPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <future>
#include <optional>

using namespace platform::ui::detail;
using namespace std::string_literals;

TEST(RendererDocuments, TypeByFirstBytesThenByNameAndHtmlOnlyByName) {
  struct Case {
    std::string head, name, type;
    bool itself;
  } cases[] = {
      {"\x89PNG\r\n\x1a\nrest", "photo.png", "image/png", true},
      // The bytes decide for pictures and PDF files, whatever the name says.
      {"\x89PNG\r\n\x1a\nrest", "named.txt", "image/png", true},
      {"\xff\xd8\xff\xe0", "IMG_1.JPG", "image/jpeg", true},
      {"GIF89a..", "a", "image/gif", true},
      {"RIFF\x10\0\0\0WEBPVP8 "s, "x.bin", "image/webp", true},
      {"%PDF-1.7\n", "manual", "application/pdf", true},
      // A name alone: movies and sounds by it; text and unknown bytes are no picture.
      {"\0\0\0\x18"
       "ftypmp42"s,
       "clip.mp4", "video/mp4", true},
      {"ID3", "song.mp3", "audio/mpeg", true},
      {"plain words", "notes.txt", "text/plain; charset=utf-8", false},
      {"BMW and more", "cars.txt", "text/plain; charset=utf-8", false},
      {"RIFF\x10\0\0\0WAVE"s, "x.bin", "application/octet-stream", false},
      // Markup is a page only when its name says so, never by its bytes.
      {"<html><script>", "page.html", "text/html; charset=utf-8", false},
      {"<html><script>", "page.txt", "text/plain; charset=utf-8", false},
      {"<svg onload=x>", "drawing.svg", "image/svg+xml", true},
      {"", "empty.png", "image/png", true},
  };
  for (auto &c : cases) {
    EXPECT_EQ(documentTypeFor(c.head, c.name), c.type) << c.name;
    EXPECT_EQ(isShownAsItself(c.type), c.itself) << c.type;
  }
}

TEST(RendererDocuments, ScriptAnswersAreReadStrictly) {
  auto m = readPageMessage(R"({"renderer":"scriptResult","id":7,"call":42,"value":"T\u00edtle"})");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->renderer, "scriptResult");
  EXPECT_EQ(m->id, 7u);
  EXPECT_EQ(m->call, 42u);
  EXPECT_EQ(m->value, "T\xc3\xadtle");
  for (const char *bad : {R"({"renderer":"scriptResult","id":7,"call":"42","value":"x"})",
                          R"({"renderer":"scriptResult","id":7,"call":1.5,"value":"x"})",
                          R"({"renderer":"scriptResult","id":7,"call":4,"value":{"a":1}})",
                          R"({"renderer":"scriptResult","id":7,"call":4,"value":3})"})
    EXPECT_FALSE(readPageMessage(bad)) << bad;
}

namespace {

struct Answer {
  int status = 0;
  std::string head, body; // the status line and header lines; the body
};

// A GET over loopback, as the page's own requests come.
Answer loopbackGet(int port, const std::string &target) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (!testsupport::connectToLoopback(fd, port)) {
    ::close(fd);
    return {};
  }
  const std::string request = "GET " + target +
                              " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nConnection: close\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string raw;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    raw.append(buf, size_t(n));
  ::close(fd);
  const size_t head = raw.find("\r\n\r\n");
  if (raw.size() < 12 || head == std::string::npos) return {0, {}, raw};
  return {std::atoi(raw.c_str() + 9), raw.substr(0, head), raw.substr(head + 4)};
}

// A window with one web view, and the renderer serving it (the user's data under `home`). Made on
// the main thread.
struct WebViewServed {
  explicit WebViewServed(const std::string &home) {
    using namespace platform::ui;
    window->makeKeyAndVisible();
    window->setRootViewController(screen);
    screen->view()->addSubview(view);
    options.token = "5eed5eed5eed5eed";
    options.resources = std::string(FERROWEN_SOURCE_DIR) + "/resources";
    options.dataRoot = home;
    renderer = Renderer::start(options, &error);
  }
  ~WebViewServed() {
    if (renderer) renderer->stop();
  }
  // What the renderer serves at `path` below /web/ID/ (a load's page, or its raw document), got
  // while the main run loop runs (the renderer answers there).
  Answer get(const std::string &path) {
    return getTarget("/web/" + std::to_string(window->idOf(*view)) + "/" + path +
                     "?t=" + options.token);
  }
  Answer getTarget(const std::string &target) {
    auto answer =
        std::async(std::launch::async, [&] { return loopbackGet(renderer->port(), target); });
    platform::RunLoop::main()->runUntil(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        testsupport::scaled(platform::seconds(30)));
    return answer.get();
  }

  std::shared_ptr<platform::ui::Window> window =
      std::make_shared<platform::ui::Window>(platform::ui::Size{320, 480});
  std::shared_ptr<platform::ui::ViewController> screen =
      std::make_shared<platform::ui::ViewController>("RootView");
  std::shared_ptr<platform::ui::WebView> view =
      std::make_shared<platform::ui::WebView>(platform::ui::Rect{0, 0, 320, 480});
  platform::ui::RendererOptions options;
  std::string error;
  std::shared_ptr<platform::ui::Renderer> renderer;
};
// Every byte but letters and digits as %XX, for a query.
std::string escaped(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += std::isalnum(c) ? std::string(1, char(c)) : std::string(hex);
  }
  return out;
}

// The value of one header line of a head ("" when it has none).
std::string headerOf(const std::string &head, const std::string &name) {
  std::string lower = head;
  for (auto &c : lower)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return {};
  const size_t start = head.find_first_not_of(' ', at + name.size() + 3);
  return head.substr(start, head.find("\r\n", start) - start);
}

} // namespace

// The raw document of a load is the file that load opened, as itself, unless a web page's link
// led into the user's data: a page may link to any address, and the user's files are not its.
TEST(RendererDocuments, AWebPagesFileLinkIntoTheUsersDataGetsNoRawDocument) {
  using namespace platform;
  using namespace platform::ui;
  RunLoop::makeMainThread();
  testsupport::TempDir home("ferrowen-renderer-raw");
  const std::string files = home.path() + "/Documents/Files";
  std::filesystem::create_directories(files);
  const std::string png = "\x89PNG\r\n\x1a\nthe picture";
  ASSERT_TRUE(testsupport::writeFile(files + "/picture.png", png));
  ASSERT_TRUE(testsupport::writeFile(files + "/page.html", "<a href=picture.png>p</a>"));
  WebViewServed web(home.path());
  ASSERT_TRUE(web.renderer) << web.error;
  auto &view = web.view;

  const std::string picture = "file://" + files + "/picture.png";
  std::string why;
  view->loadRequest({"http://127.0.0.1:1/page.html"});    // 1: a web page
  ASSERT_TRUE(view->userFollowLink(picture, why)) << why; // 2: its link to the user's picture
  view->loadRequest({picture});                           // 3: the application opens it
  view->loadRequest({"file://" + files + "/page.html"});  // 4: a local document
  ASSERT_TRUE(view->userFollowLink(picture, why)) << why; // 5: its link to the file beside it
  ASSERT_EQ(view->loads().size(), 5u);
  struct Case {
    int revision, status;
  } cases[] = {{2, 404}, {3, 200}, {5, 200}};
  for (const Case &c : cases) {
    const auto [status, head, body] = web.get(std::to_string(c.revision) + "/raw");
    EXPECT_EQ(status, c.status) << "load " << c.revision;
    EXPECT_EQ(body == png, c.status == 200) << "load " << c.revision;
  }
}

// A web page is served as its server said: a page or text in the charset the server named (or
// the page's own, or UTF-8), a picture as itself. A file no page shows fails its load with that
// reason, however it was typed or left untyped. Nothing else of the server's header reaches the
// page: a charset that is no plain name, or a header line smuggled in a quoted value, is dropped.
TEST(RendererDocuments, AWebPageIsServedInTheTypeAndCharsetItsServerNamed) {
  using namespace platform;
  using namespace platform::ui;
  RunLoop::makeMainThread();
  testsupport::TempDir home("ferrowen-renderer-web");
  testsupport::WebPeer peer(home.path());
  WebViewServed web(home.path());
  ASSERT_TRUE(web.renderer) << web.error;
  auto &view = web.view;

  const std::string none = "(none)"; // no Content-Type at all
  struct Case {
    std::string type, body, servedAs, holds;
    WebLoadError error = WebLoadError::None;
  } cases[] = {
      {"text/html; charset=iso-8859-1", "<p>caf\xe9</p>", "text/html; charset=iso-8859-1",
       "<p>caf\xe9</p>"},
      {"TEXT/HTML; Charset=\"windows-1251\"", "<p>\xcf\xf0</p>", "text/html; charset=windows-1251",
       "<p>\xcf\xf0</p>"},
      {"text/html", "<meta charset='koi8-r'><p>\xc1</p>", "text/html; charset=koi8-r", "\xc1"},
      {"text/html", "<p>no charset named</p>", "text/html; charset=utf-8", "no charset named"},
      {"text/plain; charset=iso-8859-1", "a<b>\xe9", "text/html; charset=iso-8859-1",
       "a&lt;b&gt;\xe9"},
      {"text/css", "p { color: red }", "text/html; charset=utf-8", "<pre"},
      {"application/json", "{\"a\":\"<i>\"}", "text/html; charset=utf-8", "&lt;i&gt;"},
      {"text/html; charset=utf-16le", std::string("<\0p\0>\0\xe9\0", 8), "text/html; charset=utf-8",
       "<p>\xc3\xa9"},
      {"image/png", "\x89PNG\r\n\x1a\n", "text/html; charset=utf-8", "<img"},
      {none, "<p>untyped</p>", "text/html; charset=utf-8", "<p>untyped</p>"},
      {"text/html; charset=\"utf-8\r\nX-Injected: yes\"", "<p>one</p>", "text/html; charset=utf-8",
       "<p>one</p>"},
      {"text/html; charset=x\"><script>", "<p>two</p>", "text/html; charset=utf-8", "<p>two</p>"},
      {"text/html; charset=" + std::string(60, 'a'), "<p>three</p>", "text/html; charset=utf-8",
       "<p>three</p>"},
      {"application/zip", "PK\x03\x04" + std::string(64, '\0'), "text/html; charset=utf-8",
       "(application/zip) cannot be shown", WebLoadError::CannotShowType},
      {"Application/Octet-Stream",
       std::string("\x7f"
                   "ELF\x02\x01",
                   6),
       "text/html; charset=utf-8", "cannot be shown", WebLoadError::CannotShowType},
      {none, std::string("MZ\0\0\x90\0", 6), "text/html; charset=utf-8", "cannot be shown",
       WebLoadError::CannotShowType},
  };
  for (const Case &c : cases) {
    const std::string url = peer.url("/typed?") +
                            (c.type == none ? "" : "type=" + escaped(c.type)) +
                            "&body=" + escaped(c.body);
    view->loadRequest({url});
    const auto served = web.get(std::to_string(view->loads().size()));
    EXPECT_EQ(served.status, 200) << c.type;
    EXPECT_EQ(headerOf(served.head, "content-type"), c.servedAs) << c.type;
    EXPECT_NE(served.body.find(c.holds), std::string::npos) << c.type << ": " << served.body;
    EXPECT_EQ(headerOf(served.head, "x-injected"), "") << c.type;
    EXPECT_EQ(view->lastLoadError(), c.error) << c.type;
    EXPECT_EQ(view->isLoading(), c.error == WebLoadError::None) << c.type;
  }
}

namespace {
struct Swatch : platform::ui::View {
  using View::View;
  void drawRect(platform::ui::Rect, platform::media::BitmapContext &) override {}
};
} // namespace

// The page asks for the drawings its last snapshot named: one of a view taken away since is
// nothing to draw (not an error, and not kept), while a view that never draws stays unknown.
TEST(RendererDocuments, ADrawingOfAViewTakenAwayIsNothingToDraw) {
  using namespace platform;
  using namespace platform::ui;
  RunLoop::makeMainThread();
  testsupport::TempDir home("ferrowen-renderer-draw");
  WebViewServed web(home.path());
  ASSERT_TRUE(web.renderer) << web.error;
  auto swatch = std::make_shared<Swatch>(Rect{0, 0, 40, 20});
  auto plain = std::make_shared<View>(Rect{0, 20, 40, 20});
  web.view->addSubview(swatch);
  web.view->addSubview(plain);
  auto target = [&](uint64_t id) {
    return "/draw/" + std::to_string(id) + "/1-40x20?s=1&t=" + web.options.token;
  };
  const uint64_t swatchId = web.window->idOf(*swatch), plainId = web.window->idOf(*plain);

  auto drawn = web.getTarget(target(swatchId));
  EXPECT_EQ(drawn.status, 200);
  EXPECT_EQ(headerOf(drawn.head, "content-type"), "image/png");
  EXPECT_EQ(web.getTarget(target(plainId)).status, 404);

  swatch->removeFromSuperview();
  swatch.reset();
  auto gone = web.getTarget(target(swatchId));
  EXPECT_EQ(gone.status, 204);
  EXPECT_EQ(headerOf(gone.head, "cache-control"), "no-store");
  EXPECT_TRUE(gone.body.empty());
}

namespace {
// The body of an answer sent in chunks, put together; nothing when it is no well-formed one.
std::optional<std::string> dechunked(const std::string &body) {
  std::string out;
  for (size_t at = 0;;) {
    const size_t line = body.find("\r\n", at);
    if (line == std::string::npos) return std::nullopt;
    const size_t size = std::strtoul(body.c_str() + at, nullptr, 16);
    if (size == 0)
      return body.compare(line, 4, "\r\n\r\n") == 0 ? std::optional(out) : std::nullopt;
    if (line + 2 + size + 2 > body.size() || body.compare(line + 2 + size, 2, "\r\n") != 0)
      return std::nullopt;
    out.append(body, line + 2, size);
    at = line + 2 + size + 2;
  }
}
} // namespace

// A local text or page is served whole whatever its size (read as it is sent, never held): text
// as text (its markup escaped, its lines kept), a page as itself; both after the page's own script.
TEST(RendererDocuments, ALocalTextOrPageOfAnySizeIsServedWhole) {
  using namespace platform;
  using namespace platform::ui;
  RunLoop::makeMainThread();
  testsupport::TempDir home("ferrowen-renderer-big");
  const std::string files = home.path() + "/Documents/Files";
  std::filesystem::create_directories(files);
  // Past what a page fetched from the web may be, with markup across the pieces it is read in.
  std::string text;
  for (int i = 0; text.size() < 9u * 1024 * 1024; ++i)
    text += "line " + std::to_string(i) + " <b>&amp;</b> caf\xc3\xa9\n";
  const std::string escapedText = platform::htmlEscaped(text);
  struct Case {
    std::string name, content, holds;
  } cases[] = {
      {"small.txt", "a <b> & c\n", "a &lt;b&gt; &amp; c\n</pre>"},
      {"empty.txt", "", "monospace\"></pre>"},
      {"big.log", text, escapedText + "</pre>"},
      {"big.html", "<title>big</title>" + text, "<title>big</title>" + text},
  };
  WebViewServed web(home.path());
  ASSERT_TRUE(web.renderer) << web.error;
  for (const Case &c : cases) {
    ASSERT_TRUE(testsupport::writeFile(files + "/" + c.name, c.content)) << c.name;
    web.view->loadRequest({"file://" + files + "/" + c.name});
    const auto served = web.get(std::to_string(web.view->loads().size()));
    EXPECT_EQ(served.status, 200) << c.name;
    EXPECT_EQ(headerOf(served.head, "content-type"), "text/html; charset=utf-8") << c.name;
    EXPECT_EQ(headerOf(served.head, "content-security-policy"),
              "sandbox allow-scripts allow-forms");
    const auto body = dechunked(served.body);
    ASSERT_TRUE(body) << c.name << ": " << served.body.substr(0, 200);
    EXPECT_LT(body->find("<script>(function(){"), body->find(c.holds)) << c.name;
    EXPECT_EQ(body->size() - body->find(c.holds), c.holds.size())
        << c.name
        << ": not its end: " << body->substr(body->size() - std::min<size_t>(body->size(), 300));
    EXPECT_TRUE(web.view->isLoading()) << c.name << ": the load failed";
  }
}

// Short of descriptors (one left, which the connection takes), the page's own files are "503"
// with the reason, never "not found"; with descriptors back they are served.
TEST(RendererDocuments, ShortOfDescriptorsThePagesFilesAreUnavailableNotMissing) {
  RUN_IN_DESCRIPTOR_CHILD();
  testsupport::TempDir home("ferrowen-page-descriptors");
  WebViewServed served(home.path());
  ASSERT_TRUE(served.renderer) << served.error;
  const int port = served.renderer->port();
  const char *const paths[] = {"/", "/renderer.js", "/renderer.css"};
  std::vector<int> clients;
  for (size_t i = 0; i < std::size(paths); ++i) {
    clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_GE(clients.back(), 0);
  }
  std::vector<std::string> heard(std::size(paths));
  {
    testsupport::DescriptorHog hog(1);
    ASSERT_TRUE(hog.ok());
    for (size_t i = 0; i < std::size(paths); ++i) {
      hog.takeAll();
      hog.release(1);
      ASSERT_TRUE(testsupport::connectToLoopback(clients[i], port));
      const std::string request = std::string("GET ") + paths[i] + "?t=" + served.options.token +
                                  " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                  "\r\nConnection: close\r\n\r\n";
      ASSERT_EQ(::send(clients[i], request.data(), request.size(), MSG_NOSIGNAL),
                ssize_t(request.size()));
      platform::RunLoop::main()->runUntil(
          [&] {
            char buf[4096];
            ssize_t n;
            while ((n = ::recv(clients[i], buf, sizeof buf, MSG_DONTWAIT)) > 0)
              heard[i].append(buf, size_t(n));
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
          },
          testsupport::scaled(std::chrono::seconds(20)));
      ::close(clients[i]);
    }
  }
  for (size_t i = 0; i < std::size(paths); ++i) {
    SCOPED_TRACE(paths[i]);
    EXPECT_TRUE(heard[i].starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << heard[i];
    EXPECT_TRUE(heard[i].ends_with(
        "\r\n\r\nCannot open the file: Too many open files. Please try again later.\n"))
        << heard[i];
  }
  for (const char *path : paths)
    EXPECT_EQ(served.getTarget(std::string(path) + "?t=" + served.options.token).status, 200)
        << path;
}
