#include "platform/net/URLConnection.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform::net {

struct URLConnection::Shared : std::enable_shared_from_this<URLConnection::Shared> {
  std::atomic<bool> cancelled{false};
  std::shared_ptr<RunLoop> loop;
  std::weak_ptr<URLConnection> owner;
  std::mutex mutex;
  std::shared_ptr<URLConnectionDelegate> delegate; // loop thread only after start
  bool responseSent = false;                       // worker thread only
  CURL *handle = nullptr;                          // worker thread only
  // Idle limit: worker thread only.
  std::chrono::steady_clock::duration idleLimit{};
  std::chrono::steady_clock::time_point lastActivity;
  curl_off_t lastDown = -1, lastUp = -1;
  bool timedOut = false;

  // Runs fn(connection, delegate) on the loop unless the request was cancelled meanwhile.
  template <typename Fn> void post(Fn fn, bool last = false) {
    std::weak_ptr<URLConnection> weakOwner = owner;
    auto keep = shared_from_this();
    loop->perform([keep, weakOwner, fn = std::move(fn), last] {
      if (keep->cancelled.load()) return;
      auto conn = weakOwner.lock();
      if (!conn) return;
      std::shared_ptr<URLConnectionDelegate> d;
      {
        std::lock_guard lock(keep->mutex);
        d = keep->delegate;
        if (last) {
          keep->delegate.reset();
          conn->finished_.store(true);
        }
      }
      if (d) fn(*conn, *d);
    });
  }
};

namespace {

std::once_flag curlInitOnce;

std::string readableMessage(CURLcode code, const char *detail) {
  switch (code) {
  case CURLE_OPERATION_TIMEDOUT:
    return "The request timed out.";
  case CURLE_COULDNT_RESOLVE_HOST:
    return "A server with the specified hostname could not be found.";
  case CURLE_COULDNT_CONNECT:
    return "Could not connect to the server.";
  case CURLE_TOO_MANY_REDIRECTS:
    return "Too many HTTP redirects.";
  case CURLE_UNSUPPORTED_PROTOCOL:
  case CURLE_URL_MALFORMAT:
    return "unsupported URL";
  case CURLE_PEER_FAILED_VERIFICATION:
    return "The certificate for this server is invalid.";
  case CURLE_GOT_NOTHING:
  case CURLE_RECV_ERROR:
  case CURLE_SEND_ERROR:
  case CURLE_PARTIAL_FILE:
    return "The network connection was lost.";
  default:
    break;
  }
  return detail && *detail ? detail : curl_easy_strerror(code);
}

// The charset parameter of a Content-Type value, unquoted; empty when there is none or it is not
// a plain name of bounded length.
std::string charsetOf(const std::string &contentType) {
  for (size_t at = contentType.find(';'); at != std::string::npos;
       at = contentType.find(';', at + 1)) {
    size_t name = contentType.find_first_not_of(" \t", at + 1);
    if (name == std::string::npos) break;
    size_t eq = contentType.find('=', name);
    if (eq == std::string::npos) break;
    std::string key = contentType.substr(name, eq - name);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
      key.pop_back();
    for (auto &c : key)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key != "charset") continue;
    std::string value = contentType.substr(eq + 1, contentType.find(';', eq) - eq - 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
      value.pop_back();
    value.erase(0, value.find_first_not_of(" \t"));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    const bool plain =
        !value.empty() && value.size() <= 40 && std::all_of(value.begin(), value.end(), [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-_.:+", c) != nullptr;
        });
    return plain ? value : std::string();
  }
  return {};
}

URLResponse responseOf(CURL *h) {
  URLResponse r;
  long code = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
  r.statusCode = code;
  curl_off_t length = -1;
  if (curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
    r.expectedContentLength = length >= 0 ? (long long)length : -1;
  char *url = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) r.url = url;
  char *type = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) {
    std::string t = type;
    r.textEncodingName = charsetOf(t);
    t = t.substr(0, t.find(';'));
    while (!t.empty() && t.back() == ' ')
      t.pop_back();
    r.mimeType = t;
  }
  return r;
}

void sendResponseOnce(URLConnection::Shared &s);

size_t onBody(char *data, size_t size, size_t count, void *userdata);
int onProgress(void *userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

} // namespace

namespace {
void sendResponseOnce(URLConnection::Shared &s) {
  if (s.responseSent) return;
  s.responseSent = true;
  URLResponse r = responseOf(s.handle);
  s.post([r](URLConnection &c, URLConnectionDelegate &d) { d.didReceiveResponse(c, r); });
}

size_t onBody(char *data, size_t size, size_t count, void *userdata) {
  auto &s = *static_cast<URLConnection::Shared *>(userdata);
  if (s.cancelled.load()) return 0; // ends the transfer
  sendResponseOnce(s);
  std::vector<uint8_t> chunk(data, data + size * count);
  s.post([chunk = std::move(chunk)](URLConnection &c, URLConnectionDelegate &d) {
    d.didReceiveData(c, chunk);
  });
  return size * count;
}

// Also the idle limit: libcurl calls this at least about once a second, also while nothing moves.
int onProgress(void *userdata, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto &s = *static_cast<URLConnection::Shared *>(userdata);
  if (s.cancelled.load()) return 1;
  auto now = std::chrono::steady_clock::now();
  if (down != s.lastDown || up != s.lastUp) {
    s.lastDown = down;
    s.lastUp = up;
    s.lastActivity = now;
  } else if (now - s.lastActivity >= s.idleLimit) {
    s.timedOut = true;
    return 1;
  }
  return 0;
}
} // namespace

std::shared_ptr<URLConnection> URLConnection::start(URLRequest request,
                                                    std::shared_ptr<URLConnectionDelegate> delegate,
                                                    std::shared_ptr<RunLoop> loop) {
  std::call_once(curlInitOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (!loop) loop = RunLoop::current();
  std::shared_ptr<URLConnection> conn(new URLConnection());
  conn->request_ = std::move(request);
  conn->shared_ = std::make_shared<Shared>();
  conn->shared_->loop = loop;
  conn->shared_->owner = conn;
  conn->shared_->delegate = std::move(delegate);

  std::thread([shared = conn->shared_, req = conn->request_] {
    CURL *h = curl_easy_init();
    if (!h) {
      shared->post(
          [](URLConnection &c, URLConnectionDelegate &d) {
            d.didFailWithError(c, {CURLE_FAILED_INIT, "The request could not be started."});
          },
          true);
      return;
    }
    shared->handle = h;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_slist *headers = nullptr;
    for (const auto &[name, value] : req.headers)
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    curl_easy_setopt(h, CURLOPT_URL, req.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, req.maxRedirects);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(1.0, req.connectTimeout * 1000)));
    shared->idleLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::max(0.05, req.idleTimeout)));
    shared->lastActivity = std::chrono::steady_clock::now();
    if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, shared.get());
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, shared.get());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);

    CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_ABORTED_BY_CALLBACK && shared->timedOut) rc = CURLE_OPERATION_TIMEDOUT;
    if (!shared->cancelled.load()) {
      if (rc == CURLE_OK) {
        sendResponseOnce(*shared);
        shared->post([](URLConnection &c, URLConnectionDelegate &d) { d.didFinishLoading(c); },
                     true);
      } else {
        URLError e{int(rc), readableMessage(rc, errorText)};
        shared->post([e](URLConnection &c, URLConnectionDelegate &d) { d.didFailWithError(c, e); },
                     true);
      }
    }
    shared->handle = nullptr;
    curl_slist_free_all(headers);
    curl_easy_cleanup(h);
  }).detach();
  return conn;
}

URLConnection::~URLConnection() {
  cancel();
}

void URLConnection::cancel() {
  if (!shared_) return;
  shared_->cancelled.store(true);
  std::lock_guard lock(shared_->mutex);
  shared_->delegate.reset();
}

} // namespace platform::net
