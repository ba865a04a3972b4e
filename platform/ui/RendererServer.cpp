#include "platform/ui/RendererServer.h"

#include "platform/foundation/Text.h"
#include "platform/ui/RendererFiles.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <unistd.h>

#include <deque>
#include <mutex>
#include <set>
#include <thread>

namespace platform::ui::detail {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

HttpResponse HttpResponse::text(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

std::optional<HttpRequest> parseTarget(const std::string &method, const std::string &target) {
  HttpRequest out;
  out.method = method;
  auto q = target.find('?');
  auto decoded = replacePercentEscapes(target.substr(0, q));
  if (!decoded || decoded->find('\0') != std::string::npos) return std::nullopt;
  out.path = *decoded;
  if (q == std::string::npos) return out;
  std::string rest = target.substr(q + 1);
  for (size_t at = 0; at <= rest.size();) {
    size_t amp = rest.find('&', at);
    if (amp == std::string::npos) amp = rest.size();
    std::string pair = rest.substr(at, amp - at);
    auto eq = pair.find('=');
    auto key = replacePercentEscapes(pair.substr(0, eq));
    auto value =
        replacePercentEscapes(eq == std::string::npos ? std::string() : pair.substr(eq + 1));
    if (key && value) out.query[*key] = *value;
    at = amp + 1;
  }
  return out;
}

std::optional<PageMessage> readPageMessage(const std::string &text) {
  auto m = nlohmann::json::parse(text, nullptr, false);
  if (!m.is_object()) return std::nullopt;
  PageMessage out;
  if (auto seq = m.find("seq"); seq != m.end()) {
    out.seq = *seq;
    m.erase(seq);
  }
  auto number = [&](const char *key, auto &into) {
    auto it = m.find(key);
    if (it == m.end()) return true;
    if (!it->is_number_integer()) return false;
    into = it->get<std::remove_reference_t<decltype(into)>>();
    return true;
  };
  if (auto r = m.find("renderer"); r != m.end()) {
    if (!r->is_string()) return std::nullopt;
    out.renderer = r->get<std::string>();
    if (!number("id", out.id) || !number("revision", out.revision) || !number("media", out.media) ||
        !number("call", out.call))
      return std::nullopt;
    for (auto [key, into] : {std::pair{"x", &out.x}, std::pair{"y", &out.y}})
      if (auto v = m.find(key); v != m.end()) {
        if (!v->is_number()) return std::nullopt;
        *into = v->get<double>();
      }
    if (auto v = m.find("value"); v != m.end()) {
      if (!v->is_string()) return std::nullopt;
      out.value = v->get<std::string>();
    }
    return out;
  }
  if (!m.contains("event")) return std::nullopt;
  out.event = std::move(m);
  return out;
}

namespace {

// Bounds on what a page may send or leave waiting.
constexpr size_t kMaxRequestBody = 64 * 1024;
constexpr size_t kMaxMessage = 1024 * 1024;
constexpr size_t kMaxQueuedMessages = 512;
constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxHead = 16 * 1024;
// Any local process can connect; only the page has the token. A connection that has not shown it
// in a request this soon is closed, so connections left idle cannot hold the places for the read
// limit: a browser sends its request at once.
constexpr auto kFirstRequestLimit = std::chrono::seconds(5);
constexpr auto kReadLimit = std::chrono::seconds(60);
// How long the listener waits before it tries again after an accept failed (the process out of
// descriptors, say): the waiting connections stay queued and are taken once it can.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

class Server;

// A connection that the server can close when it stops.
class Closable {
public:
  virtual ~Closable() = default;
  virtual void close() = 0;
  // Still holds a place (not closed, not handed on).
  virtual bool isOpen() const = 0;
  // Has shown the token (or a web view's key) in a request.
  virtual bool proven() const { return true; }
};

class WsSession : public Closable, public std::enable_shared_from_this<WsSession> {
public:
  WsSession(tcp::socket socket, Server &server, uint64_t id)
      : ws_(std::move(socket)), server_(server), id_(id) {}
  void accept(http::request<http::string_body> req);
  void send(std::shared_ptr<const std::string> message);
  void close() override {
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().close(ec);
  }
  bool isOpen() const override { return beast::get_lowest_layer(ws_).socket().is_open(); }
  uint64_t id() const { return id_; }

private:
  void read();
  void write();
  void gone();
  websocket::stream<beast::tcp_stream> ws_;
  Server &server_;
  uint64_t id_;
  beast::flat_buffer buffer_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  bool open_ = false, closed_ = false;
};

// Where a request head ends in `bytes` (after its empty line), npos when it has not yet.
size_t headEnd(std::string_view bytes) {
  for (size_t at = bytes.find('\n'); at != std::string_view::npos; at = bytes.find('\n', at + 1)) {
    if (at + 1 < bytes.size() && bytes[at + 1] == '\n') return at + 2;
    if (at + 2 < bytes.size() && bytes[at + 1] == '\r' && bytes[at + 2] == '\n') return at + 3;
  }
  return std::string_view::npos;
}

// Whether the header lines of a head (the request line is the parser's to judge) may stand: none
// folded onto the line before (a blank at its start), no control character but a tab (a NUL
// among them), no blank between a header's name and its colon.
bool headSound(std::string_view head) {
  size_t at = head.find('\n');
  while (at != std::string_view::npos && at + 1 < head.size()) {
    const size_t next = head.find('\n', at + 1);
    std::string_view line =
        head.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
    at = next;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.front() == ' ' || line.front() == '\t') return false;
    for (const char ch : line) {
      const auto c = static_cast<unsigned char>(ch);
      if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        line.substr(0, colon).find_first_of(" \t") != std::string_view::npos)
      return false;
  }
  return true;
}

class HttpSession : public Closable, public std::enable_shared_from_this<HttpSession> {
public:
  HttpSession(tcp::socket socket, Server &server) : stream_(std::move(socket)), server_(server) {}
  void read();
  void close() override {
    beast::error_code ec;
    stream_.socket().close(ec);
  }
  bool isOpen() const override { return stream_.socket().is_open(); }
  bool proven() const override { return proven_; }
  void respond(HttpResponse response, bool keepAlive, unsigned version);

private:
  // A body sent a piece at a time (HttpResponse::pieces).
  struct Streamed {
    http::response<http::buffer_body> response;
    std::optional<http::response_serializer<http::buffer_body>> serializer;
    std::function<bool(std::string &)> next;
    std::string piece;
    bool more = true;
  };
  using After = std::function<void(beast::error_code, size_t)>;
  void writePiece(std::shared_ptr<Streamed> streamed, After after);
  void readHead();
  void refuse(beast::error_code ec);
  void handle(http::request<http::string_body> req);
  beast::tcp_stream stream_;
  Server &server_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool proven_ = false;
};

class Server : public RendererServer {
public:
  Server(std::string token, std::string webKey, Handlers handlers)
      : token_(std::move(token)), webKey_(std::move(webKey)), handlers_(std::move(handlers)) {}
  ~Server() override { stop(); }

  bool listen(int port, std::string *error) {
    beast::error_code ec;
    tcp::endpoint at(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    acceptor_.open(at.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(at, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      if (error)
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + ec.message();
      return false;
    }
    port_ = acceptor_.local_endpoint().port();
    accept();
    thread_ = std::thread([this] { ioc_.run(); });
    return true;
  }

  int port() const override { return port_; }

  void send(uint64_t client, std::shared_ptr<const std::string> message) override {
    asio::post(ioc_, [this, client, message] {
      for (auto &s : websockets_)
        if (client == 0 || s->id() == client) s->send(message);
    });
  }

  void stop() override {
    if (!thread_.joinable()) return;
    asio::post(ioc_, [this] {
      beast::error_code ec;
      acceptor_.close(ec);
      acceptRetry_.cancel();
      for (auto &weak : connections_)
        if (auto c = weak.lock()) c->close();
      websockets_.clear();
    });
    thread_.join();
  }

  // --- Called on the server's thread by the sessions ---

  // Checks Host, Origin and the token; answers the refusal itself.
  std::optional<HttpRequest> admit(const http::request<http::string_body> &req,
                                   std::string &refusal, int &status) {
    std::string port = std::to_string(port_);
    // Two Host lines leave open which one is meant (a proxy and this server may each read
    // another), so such a request is refused whatever they say.
    if (req.count(http::field::host) > 1) {
      status = 400, refusal = "A request names one Host.";
      return std::nullopt;
    }
    auto host = lowercase(std::string(req[http::field::host]));
    if (host != "127.0.0.1:" + port && host != "localhost:" + port) {
      status = 403, refusal = "This address is served to 127.0.0.1 alone.";
      return std::nullopt;
    }
    auto parsed = parseTarget(std::string(req.method_string()), std::string(req.target()));
    if (!parsed) {
      status = 400, refusal = "Bad address.";
      return std::nullopt;
    }
    HttpRequest &out = *parsed;
    auto given = [&](const char *key) {
      auto it = out.query.find(key);
      return it == out.query.end() ? std::string() : it->second;
    };
    bool tokenOk = sameSecret(given("t"), token_);
    // A web view's page gets a key of its own that opens its pages and nothing else.
    bool webOk = out.path.rfind("/web/", 0) == 0 && sameSecret(given("k"), webKey_);
    // Those pages are shown in a sandbox of their own, so what they ask for comes from no origin
    // ("null"): that opens the pages of their key, and nothing with the token.
    auto origin = lowercase(std::string(req[http::field::origin]));
    const bool ownOrigin =
        origin == "http://127.0.0.1:" + port || origin == "http://localhost:" + port;
    if (req.count(http::field::origin) && !ownOrigin) {
      if (origin != "null" || !webOk) {
        status = 403, refusal = "Requests from other pages are refused.";
        return std::nullopt;
      }
      tokenOk = false;
    }
    if (!tokenOk && !webOk) {
      status = 403, refusal = "A valid token is required.";
      return std::nullopt;
    }
    return parsed;
  }

  void opened(std::shared_ptr<WsSession> s) {
    websockets_.insert(s);
    if (handlers_.opened) handlers_.opened(s->id());
  }
  void closed(const std::shared_ptr<WsSession> &s) {
    if (websockets_.erase(s) && handlers_.closed) handlers_.closed(s->id());
  }
  void message(WsSession &s, std::string text) {
    if (handlers_.message) handlers_.message(s.id(), std::move(text));
  }
  void request(const HttpRequest &r, Reply reply) { handlers_.request(r, std::move(reply)); }
  void track(std::weak_ptr<Closable> c) {
    std::erase_if(connections_, [](auto &w) { return w.expired(); });
    connections_.push_back(std::move(c));
  }
  void upgrade(tcp::socket socket, http::request<http::string_body> req) {
    auto s = std::make_shared<WsSession>(std::move(socket), *this, ++nextClient_);
    track(s);
    s->accept(std::move(req));
  }
  asio::io_context &ioc() { return ioc_; }

private:
  void accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (!acceptor_.is_open()) return; // stopped
      if (ec) {
        // Out of descriptors for a moment (or another passing failure): the connection stays
        // queued, and the listener looks again a little later. Listening is never given up, or
        // the page could not load again (and with no page open the thread would end).
        acceptRetry_.expires_after(kAcceptRetry);
        acceptRetry_.async_wait([this](beast::error_code waited) {
          if (!waited && acceptor_.is_open()) accept();
        });
        return;
      }
      // At the bound, the oldest connection that has not shown the token gives its place up, so
      // the page always gets in; only when every place is the page's own is the newcomer closed.
      std::erase_if(connections_, [](auto &w) {
        auto c = w.lock();
        return !c || !c->isOpen();
      });
      if (connections_.size() >= kMaxConnections) {
        std::shared_ptr<Closable> unproven;
        for (auto &weak : connections_)
          if (auto c = weak.lock(); c && !c->proven()) {
            unproven = std::move(c);
            break;
          }
        if (!unproven) {
          beast::error_code ignored;
          socket.close(ignored);
          return accept();
        }
        unproven->close();
      }
      auto s = std::make_shared<HttpSession>(std::move(socket), *this);
      track(s);
      s->read();
      accept();
    });
  }

  std::string token_, webKey_;
  Handlers handlers_;
  asio::io_context ioc_{1};
  tcp::acceptor acceptor_{ioc_};
  asio::steady_timer acceptRetry_{ioc_};
  std::thread thread_;
  int port_ = 0;
  uint64_t nextClient_ = 0;
  std::set<std::shared_ptr<WsSession>> websockets_;
  std::vector<std::weak_ptr<Closable>> connections_;
};

// --- HTTP ---

void HttpSession::read() {
  stream_.expires_after(proven_ ? kReadLimit : kFirstRequestLimit);
  readHead();
}

// The head is gathered and looked at in its own bytes first: the parser joins a folded line to
// the one before it, which another reader of the same request would take as a header of its own.
void HttpSession::readHead() {
  const auto data = buffer_.data();
  const std::string_view bytes(static_cast<const char *>(data.data()), data.size());
  if (const size_t end = headEnd(bytes); end != std::string_view::npos) {
    if (!headSound(bytes.substr(0, end)))
      return respond(HttpResponse::text(400, "Bad request head.\n"), false, 11);
    parser_.emplace();
    parser_->body_limit(kMaxRequestBody);
    parser_->header_limit(kMaxHead);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->refuse(ec);
                       self->handle(self->parser_->release());
                     });
    return;
  }
  if (bytes.size() > kMaxHead)
    return respond(HttpResponse::text(431, "The request head is too large.\n"), false, 11);
  stream_.async_read_some(buffer_.prepare(4096),
                          [self = shared_from_this()](beast::error_code ec, size_t n) {
                            if (ec) return self->close();
                            self->buffer_.commit(n);
                            self->readHead();
                          });
}

// A request the parser could not read is answered, not dropped; a connection that ended or
// stalled is closed.
void HttpSession::refuse(beast::error_code ec) {
  if (ec.category() != http::make_error_code(http::error::bad_method).category() ||
      ec == http::error::end_of_stream || ec == http::error::partial_message)
    return close();
  if (ec == http::error::body_limit)
    return respond(HttpResponse::text(413, "The request body is too large.\n"), false, 11);
  if (ec == http::error::header_limit)
    return respond(HttpResponse::text(431, "The request head is too large.\n"), false, 11);
  respond(HttpResponse::text(400, "Bad request: " + ec.message() + ".\n"), false, 11);
}

void HttpSession::handle(http::request<http::string_body> req) {
  std::string refusal;
  int status = 0;
  auto admitted = server_.admit(req, refusal, status);
  bool keepAlive = req.keep_alive();
  unsigned version = req.version();
  if (!admitted) return respond(HttpResponse::text(status, refusal + "\n"), false, version);
  proven_ = true;
  if (websocket::is_upgrade(req)) {
    if (admitted->path != "/ws")
      return respond(HttpResponse::text(404, "No such socket.\n"), false, version);
    stream_.expires_never();
    return server_.upgrade(stream_.release_socket(), std::move(req));
  }
  if (admitted->method != "GET" && admitted->method != "HEAD")
    return respond(HttpResponse::text(405, "Only GET is served.\n"), false, version);
  bool head = admitted->method == "HEAD";
  auto self = shared_from_this();
  server_.request(*admitted, [self, keepAlive, version, head](HttpResponse r) {
    if (head) {
      r.body.clear();
      r.pieces = nullptr;
    }
    asio::post(self->server_.ioc(), [self, r = std::move(r), keepAlive, version]() mutable {
      self->respond(std::move(r), keepAlive, version);
    });
  });
}

void HttpSession::respond(HttpResponse r, bool keepAlive, unsigned version) {
  auto setHeaders = [&](auto &res) {
    res.set(http::field::server, "Ferrowen");
    res.set(http::field::content_type, r.contentType);
    res.set(http::field::cache_control, "no-store");
    res.set("X-Content-Type-Options", "nosniff");
    // The token is in the address: it must never travel on to another site.
    res.set("Referrer-Policy", "no-referrer");
    for (auto &[k, v] : r.headers)
      res.set(k, v);
    res.keep_alive(keepAlive);
  };
  auto after = [self = shared_from_this(), keepAlive](beast::error_code ec, size_t) {
    if (ec || !keepAlive) {
      beast::error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
      return;
    }
    self->read();
  };
  if (r.fileDescriptor >= 0) {
    auto res = std::make_shared<http::response<http::file_body>>(
        static_cast<http::status>(r.status), version);
    setHeaders(*res);
    beast::file_posix file;
    file.native_handle(r.fileDescriptor);
    beast::error_code ec;
    res->body().reset(std::move(file), ec);
    res->prepare_payload();
    http::async_write(stream_, *res, [res, after](beast::error_code e, size_t n) { after(e, n); });
    return;
  }
  if (r.pieces) {
    auto streamed = std::make_shared<Streamed>();
    streamed->next = std::move(r.pieces);
    auto &res = streamed->response;
    res.result(static_cast<http::status>(r.status));
    res.version(version);
    setHeaders(res);
    // Its length is known only at its end: sent in chunks, or (HTTP/1.0) up to the close.
    if (version >= 11)
      res.chunked(true);
    else
      res.keep_alive(false);
    const bool again = res.keep_alive();
    After done = [self = shared_from_this(), again](beast::error_code ec, size_t) {
      if (ec || !again) {
        beast::error_code ignored;
        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        return;
      }
      self->read();
    };
    res.body().data = nullptr;
    res.body().more = true;
    streamed->serializer.emplace(res);
    stream_.expires_after(std::chrono::seconds(60));
    http::async_write_header(
        stream_, *streamed->serializer,
        [self = shared_from_this(), streamed, done](beast::error_code ec, size_t n) {
          if (ec) return done(ec, n);
          self->writePiece(streamed, done);
        });
    return;
  }
  auto res = std::make_shared<http::response<http::string_body>>(
      static_cast<http::status>(r.status), version);
  setHeaders(*res);
  res->body() = std::move(r.body);
  res->prepare_payload();
  http::async_write(stream_, *res, [res, after](beast::error_code e, size_t n) { after(e, n); });
}

void HttpSession::writePiece(std::shared_ptr<Streamed> streamed, After after) {
  auto &body = streamed->response.body();
  streamed->piece.clear();
  // Empty pieces are passed over: an empty buffer with more to come would end nothing.
  while (streamed->more && streamed->piece.empty())
    streamed->more = streamed->next(streamed->piece);
  body.data = streamed->piece.empty() ? nullptr : streamed->piece.data();
  body.size = streamed->piece.size();
  body.more = !streamed->piece.empty();
  // Each piece has its own time: a long body is not cut off as long as it moves.
  stream_.expires_after(std::chrono::seconds(60));
  http::async_write(stream_, *streamed->serializer,
                    [self = shared_from_this(), streamed, after](beast::error_code ec, size_t n) {
                      if (ec == http::error::need_buffer) ec = {};
                      if (ec || streamed->serializer->is_done()) return after(ec, n);
                      self->writePiece(streamed, after);
                    });
}

// --- WebSocket ---

void WsSession::accept(http::request<http::string_body> req) {
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.read_message_max(kMaxMessage);
  ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
    if (ec) return self->close();
    self->open_ = true;
    self->server_.opened(self);
    self->read();
  });
}

void WsSession::read() {
  ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
    if (ec) return self->gone();
    std::string text = beast::buffers_to_string(self->buffer_.data());
    self->buffer_.consume(self->buffer_.size());
    if (self->ws_.got_text()) self->server_.message(*self, std::move(text));
    self->read();
  });
}

void WsSession::send(std::shared_ptr<const std::string> message) {
  if (!open_ || closed_) return;
  // A page that stopped reading is let go rather than allowed to hold unbounded memory.
  if (queue_.size() >= kMaxQueuedMessages) return close();
  queue_.push_back(std::move(message));
  if (queue_.size() == 1) write();
}

void WsSession::write() {
  ws_.text(true);
  ws_.async_write(asio::buffer(*queue_.front()),
                  [self = shared_from_this()](beast::error_code ec, size_t) {
                    if (ec) return self->gone();
                    self->queue_.pop_front();
                    if (!self->queue_.empty()) self->write();
                  });
}

void WsSession::gone() {
  if (closed_) return;
  closed_ = true;
  queue_.clear();
  server_.closed(shared_from_this());
}

} // namespace

std::unique_ptr<RendererServer> RendererServer::start(int port, std::string token,
                                                      std::string webKey, Handlers handlers,
                                                      std::string *error) {
  auto server = std::make_unique<Server>(std::move(token), std::move(webKey), std::move(handlers));
  if (!server->listen(port, error)) return nullptr;
  return server;
}

} // namespace platform::ui::detail
