// An HTTP(S) GET whose results arrive on the run loop that started it: the response (status and
// expected length), the body in chunks, then finished or failed. Redirects are followed. Backed
// by libcurl on a worker thread of its own; the run loop never waits for the network.
#pragma once

#include "platform/foundation/RunLoop.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform::net {

struct URLRequest {
  std::string url;
  // Extra header lines, sent as given ({"Range", "bytes=100-"}).
  std::vector<std::pair<std::string, std::string>> headers;
  // Limits, in seconds: to make the connection, and with no byte moving either way (checked about
  // once a second, so it ends the request up to a second after the limit).
  double connectTimeout = 60;
  double idleTimeout = 60;
  long maxRedirects = 16;
};

struct URLResponse {
  long statusCode = 0;                  // 0 when the answer was not HTTP
  long long expectedContentLength = -1; // the length announced for this body, -1 when unknown
  std::string url;                      // the URL that answered, after redirects
  std::string mimeType;                 // from Content-Type, without parameters; may be empty
  // The charset parameter of Content-Type ("iso-8859-1"), empty when none is given or it is no
  // plain name (a server's text: only letters, digits and "-_.:+" pass, so it can be passed on).
  std::string textEncodingName;
};

struct URLError {
  int code = 0;        // libcurl's error code
  std::string message; // readable ("The request timed out.")
};

class URLConnection;

// Every method is optional. All calls come on the run loop given to start(); none comes after
// cancel() (called on that loop) or after finished or failed.
class URLConnectionDelegate {
public:
  virtual ~URLConnectionDelegate() = default;
  virtual void didReceiveResponse(URLConnection &, const URLResponse &) {}
  virtual void didReceiveData(URLConnection &, const std::vector<uint8_t> &) {}
  virtual void didFinishLoading(URLConnection &) {}
  virtual void didFailWithError(URLConnection &, const URLError &) {}
};

class URLConnection : public std::enable_shared_from_this<URLConnection> {
public:
  // Starts the request at once. The connection keeps the delegate until it finished, failed or
  // was cancelled. Results come on `loop` (the calling thread's loop when none is given).
  static std::shared_ptr<URLConnection> start(URLRequest request,
                                              std::shared_ptr<URLConnectionDelegate> delegate,
                                              std::shared_ptr<RunLoop> loop = nullptr);
  ~URLConnection(); // cancels

  // Stops the request; no delegate call follows (when called on the loop's thread; from another
  // thread, a call already under way may still finish).
  void cancel();
  bool isFinished() const { return finished_.load(); }
  const URLRequest &request() const { return request_; }

  struct Shared; // the state the worker thread and the loop share (implementation detail)

private:
  URLConnection() = default;
  URLRequest request_;
  std::shared_ptr<Shared> shared_;
  std::atomic<bool> finished_{false};
};

} // namespace platform::net
