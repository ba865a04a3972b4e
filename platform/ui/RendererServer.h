// The network side of the renderer: an HTTP and WebSocket server on a thread of its own
// (Boost.Beast on a Boost.Asio io_context), bound to 127.0.0.1. It checks every request (Host,
// Origin, token) before the owner sees it; the owner answers on any thread through the Reply.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace platform::ui::detail {

struct HttpRequest {
  std::string method, path; // path: percent-decoded, without the query
  std::map<std::string, std::string> query;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
  int fileDescriptor = -1; // when >= 0: the body is this file (closed after sending)
  // When set (and no file is given): the body is sent a piece at a time, each made when the one
  // before has gone, on the server's thread: a call puts the next piece into `piece` and answers
  // false once there is none after it. Nothing of the body is held but the piece on its way.
  std::function<bool(std::string &piece)> pieces;
  std::map<std::string, std::string> headers;
  static HttpResponse text(int status, std::string body);
};

// The path (percent-decoded) and query of a request target; nothing when it does not decode or
// the path holds a NUL.
std::optional<HttpRequest> parseTarget(const std::string &method, const std::string &target);

// What a page sent over the WebSocket, checked: an event for the window (the probe's JSON, with
// the page's sequence number taken out), or a message of the page itself ("renderer").
struct PageMessage {
  nlohmann::json event; // null for the page's own messages
  nlohmann::json seq;   // echoed in the answer
  // "webLoaded" (id, revision), "scriptResult" (id, call, value), "webTouch" (id, x, y: where a
  // touch on the page starts), "mediaEnded" (media) or "pageAway" (the page went out of sight)
  std::string renderer;
  uint64_t id = 0;
  double x = 0, y = 0;
  uint64_t revision = 0;
  uint64_t call = 0;
  std::string value;
  int64_t media = 0;
};
std::optional<PageMessage> readPageMessage(const std::string &text);

// Answers a request once, from any thread.
using Reply = std::function<void(HttpResponse)>;

class RendererServer {
public:
  struct Handlers {
    // Every checked request that is not a WebSocket; must call the reply exactly once.
    std::function<void(const HttpRequest &, Reply)> request;
    // A page connected (the id names it in send) / sent a text message / went away. Net thread.
    std::function<void(uint64_t client)> opened;
    std::function<void(uint64_t client, std::string message)> message;
    std::function<void(uint64_t client)> closed;
  };
  // Binds 127.0.0.1:port (0: any) and starts the thread. Null with the reason when it cannot.
  static std::unique_ptr<RendererServer> start(int port, std::string token, std::string webKey,
                                               Handlers handlers, std::string *error);
  virtual ~RendererServer() = default; // stops
  virtual int port() const = 0;
  // Sends a text message to one page (client != 0) or to every page (0). Any thread.
  virtual void send(uint64_t client, std::shared_ptr<const std::string> message) = 0;
  virtual void stop() = 0;
};

} // namespace platform::ui::detail
