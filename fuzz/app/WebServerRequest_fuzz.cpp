// Request heads of any bytes, fed in pieces whose size the input chooses: the parse must not
// depend on the split, paths must map inside the shared folder, and nothing taken from the request
// may carry a line break into a header or markup into a page.
#include "app/sharing/WebRequest.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome {
  WebRequestParser::Status status;
  WebRequestHead head;
  std::vector<uint8_t> rest;
};

Outcome parse(const uint8_t *data, size_t size, size_t step) {
  WebRequestParser parser;
  std::vector<uint8_t> buffer;
  WebRequestParser::Status status = WebRequestParser::Status::NeedMore;
  for (size_t i = 0; i < size && status == WebRequestParser::Status::NeedMore; i += step) {
    const size_t n = std::min(step, size - i);
    buffer.insert(buffer.end(), data + i, data + i + n);
    status = parser.parse(buffer);
  }
  return {status, parser.head(), buffer};
}

bool sameHead(const WebRequestHead &a, const WebRequestHead &b) {
  return a.httpOperationLine == b.httpOperationLine && a.httpOperation == b.httpOperation &&
         a.httpObject == b.httpObject && a.httpCGI == b.httpCGI && a.authLine == b.authLine &&
         a.cookieLine == b.cookieLine && a.userAgent == b.userAgent &&
         a.hasContentLength == b.hasContentLength && a.contentLength == b.contentLength &&
         a.contentLengthInvalid == b.contentLengthInvalid &&
         a.multipartBoundary == b.multipartBoundary && a.malformed == b.malformed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 200000) return 0;
  const size_t step = 1 + data[0] % 64;
  ++data, --size;

  const Outcome whole = parse(data, size, size ? size : 1);
  const Outcome pieces = parse(data, size, step);
  if (whole.status != pieces.status) std::abort();
  if (whole.status == WebRequestParser::Status::Complete) {
    if (!sameHead(whole.head, pieces.head)) std::abort();
    // What follows the head is left as it came.
    std::vector<uint8_t> tail = pieces.rest;
    const size_t consumed = size - whole.rest.size();
    if (whole.rest != std::vector<uint8_t>(data + consumed, data + size)) std::abort();
    if (tail.size() > whole.rest.size()) std::abort();
  }
  const WebRequestHead &head = whole.head;
  if (head.contentLength < 0) std::abort();
  if (!head.multipartBoundary.empty() && head.multipartBoundary.rfind("--", 0) != 0) std::abort();

  // Paths stay under the root, by components (the root does not exist: a purely lexical check).
  const std::string root = "/nonexistent-ferrowen-root/Documents/Files";
  if (head.httpObject) {
    if (const auto local = webLocalPath(root, *head.httpObject)) {
      if (local->compare(0, root.size(), root) != 0) std::abort();
      if (local->size() > root.size() && (*local)[root.size()] != '/') std::abort();
      if (local->find("/../") != std::string::npos || local->ends_with("/..")) std::abort();
    }
  }
  basicCredentialsMatch(head.authLine, "user", "pass");

  // The cookie a query sets is one pair: nothing a browser would read as an attribute or a break.
  const std::string cookie = webCookiePair(head.httpCGI.value_or(""));
  if (!cookie.empty() && (cookie.find('=') == 0 || cookie.find('=') == std::string::npos))
    std::abort();
  for (const char c : cookie)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F ||
        c == ';' || c == ',' || c == '"' || c == '\\')
      std::abort();

  for (const std::string &text : {head.httpCGI.value_or(""), head.httpObject.value_or("")}) {
    for (const char c : webHeaderValue(text))
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
    for (const char c : webHTMLEscape(text))
      if (c == '<' || c == '>' || c == '"' || c == '\'') std::abort();
    for (const char c : webURLEncode(text, true))
      if (c == '\'' || c == '"' || c == '<' || c == ' ' || c == '#' || c == '?') std::abort();
  }
  return 0;
}
