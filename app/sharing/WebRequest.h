// Reading an HTTP/1.0 request head for the web sharing server, and the small text functions its
// pages and headers need. Everything a client sends passes through here first, so nothing in this
// file trusts its input: lines are bounded, header names are matched without regard to case, the
// query is split off before any percent escape is decoded, and request paths are mapped into a
// shared folder by whole path components.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Takes the next line from the front of `buffer`: the bytes up to and including the first LF or
// NUL byte, decoded as UTF-8 or else as ISO-8859-1. Without a complete line nothing is taken and
// the result is empty.
std::string popLineFromData(std::vector<uint8_t> &buffer);
// The text bytes from a client stand for, to be shown or logged: UTF-8, else ISO-8859-1.
std::string webShownText(std::string_view bytes);
// Every %XX replaced by its byte, whatever the bytes are (a name in any encoding); nothing when a
// "%" is not followed by two hex digits.
std::optional<std::string> webPercentDecoded(std::string_view text);
// Whether a line of a request head after the request line (its bytes, line end included) may
// stand: not folded onto the line before (no blank at its start), no control character but a tab
// (a NUL ends a line early), and no blank between a header's name and its colon.
bool webFieldLineSound(std::string_view bytes);

// What the server keeps of a request head.
struct WebRequestHead {
  std::string httpOperationLine;         // the request line as received, line end included
  std::string httpOperation;             // the method
  std::optional<std::string> httpObject; // the path's bytes, percent-decoded; "" when undecodable
  std::optional<std::string> httpCGI;    // the query, percent-decoded; none without "?"
  std::string authLine;                  // the whole "Authorization:" line
  std::string cookieLine;                // the whole "Cookie:" line
  std::string userAgent;                 // the whole "User-Agent:" line
  bool hasContentLength = false;         // a "Content-Length:" line was given
  int64_t contentLength = 0;             // its value; INT64_MAX for one past what 64 bits hold
  bool contentLengthInvalid = false;     // a length not a number, or lengths that differ
  std::string multipartBoundary;         // "--" and the boundary of a multipart body, or ""
  bool malformed = false;                // a header line that must not stand (webFieldLineSound)
};

// Reads request head lines from the front of a buffer as they arrive; what follows the head (the
// body) stays in the buffer.
class WebRequestParser {
public:
  enum class Status {
    NeedMore, // no end of the head yet; feed more bytes
    Complete, // the head ended with an empty line
    TooLarge, // the head passed kMaxHeadBytes before it ended
  };
  static constexpr size_t kMaxHeadBytes = 64 * 1024;

  // Consumes complete lines from `dataRead`.
  Status parse(std::vector<uint8_t> &dataRead);
  const WebRequestHead &head() const { return head_; }
  void reset();

private:
  void takeRequestLine(const std::string &line, const std::string &bytes);
  void takeHeaderLine(const std::string &line);
  void takeContentLength(std::string_view value);

  WebRequestHead head_;
  std::string lengthDigits_; // the length given first, without leading zeros
  bool haveRequestLine_ = false;
  size_t headBytes_ = 0;
  Status status_ = Status::NeedMore;
};

// True when `authLine` (a whole "Authorization:" line) carries Basic credentials for user and
// password. The scheme is matched without regard to case; the credentials are compared in the
// standard Base64 form of the Latin-1 text (what the phone's browsers send) and, for names outside
// Latin-1, of the UTF-8 text (what current clients send).
bool basicCredentialsMatch(std::string_view authLine, std::string_view user,
                           std::string_view password);

// The local path of `requestPath` under `root`, or nothing when it would lie outside root: the
// path is normalised lexically ("." and ".." resolved, doubled slashes removed) and must keep all
// of root's components; a NUL byte is refused. When the item (or, for a missing item, the nearest
// folder above it) exists, the real path after following symbolic links must lie in root's real
// path too, so a link cannot lead out of the shared folder.
// `real`, when given, receives the real paths the check found: root's, and the item's (or the
// nearest existing folder's above it); each stays empty when it was not found.
struct WebRealPaths {
  std::string root;
  std::string item;
};
std::optional<std::string> webLocalPath(const std::string &root, std::string_view requestPath,
                                        WebRealPaths *real = nullptr);

// What a request path names under a shared folder, opened for reading once it was found to stay
// inside (the same rule as webLocalPath). Owns its descriptor.
class WebLocalItem {
public:
  WebLocalItem() = default;
  ~WebLocalItem();
  WebLocalItem(WebLocalItem &&other) noexcept;
  WebLocalItem &operator=(WebLocalItem &&other) noexcept;
  WebLocalItem(const WebLocalItem &) = delete;
  WebLocalItem &operator=(const WebLocalItem &) = delete;

  // False: the path leads outside the folder (nothing else is set).
  bool inside = false;
  std::string path; // the local path, as webLocalPath gives it
  WebRealPaths real;
  // The item's facts (symbolic links followed); none when it does not exist.
  std::optional<struct stat> facts;
  // Open for reading (never blocking on a FIFO), -1 when it could not be opened.
  int fd = -1;
  // Why it could not be opened (errno), 0 when it was or when it is missing.
  int openError = 0;
  // Hands the descriptor over to the caller.
  int release();
};

// Checks and opens in one step where it can: the path is resolved below a descriptor of the shared
// folder with no symbolic link followed, so the item opened is the item checked and its facts come
// from the open descriptor. A path with a link on its way, or a missing item, is judged the way
// webLocalPath judges it, and then the real path it was judged by is opened with no link followed
// (a link put in its place since the check leads nowhere).
WebLocalItem webOpenLocalItem(const std::string &root, std::string_view requestPath);
// Tests only: runs once webOpenLocalItem has judged an item inside, before anything more is
// opened or read for it (null in the program).
extern void (*webItemCheckedHook)(const std::string &local);

// Text for HTML: & < > " ' as character references.
std::string webHTMLEscape(std::string_view text);
// A link target: every byte except letters, digits and - . _ ~ as %XX; with keepSlashes, "/"
// stays as well (whole paths).
std::string webURLEncode(std::string_view text, bool keepSlashes = false);
// A value fit for a header line: control characters (CR and LF among them) are dropped.
std::string webHeaderValue(std::string_view text);
// The cookie a query sets: one name=value pair, the text before its first ";", with every
// character a cookie's name or value cannot hold left out (so a query can add no attribute such
// as Domain or Max-Age); "" when no name is left.
std::string webCookiePair(std::string_view query);
