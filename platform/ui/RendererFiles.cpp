#include "platform/ui/RendererFiles.h"

#include "platform/foundation/Text.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <strings.h>

namespace platform::ui::detail {

int openConfined(const std::string &root, const std::string &relative) {
  if (relative.empty() || relative.find('\0') != std::string::npos) return errno = EINVAL, -1;
  int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  // Closing keeps the errno that tells why a step failed.
  auto closeKeepingError = [](int fd) {
    const int error = errno;
    ::close(fd);
    errno = error;
  };
  size_t start = 0;
  while (true) {
    size_t slash = relative.find('/', start);
    std::string part = relative.substr(start, slash == std::string::npos ? slash : slash - start);
    bool last = slash == std::string::npos;
    if (part.empty() || part == "." || part == "..") {
      ::close(dir);
      return errno = EINVAL, -1;
    }
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (last ? O_NONBLOCK : O_DIRECTORY);
    int next = ::openat(dir, part.c_str(), flags);
    closeKeepingError(dir);
    if (next < 0) return -1;
    if (last) {
      struct stat st;
      if (::fstat(next, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(next);
        return errno = EINVAL, -1;
      }
      ::fcntl(next, F_SETFL, 0);
      return next;
    }
    dir = next;
    start = slash + 1;
  }
}

std::optional<std::string> readConfined(const std::string &root, const std::string &relative,
                                        size_t limit) {
  int fd = openConfined(root, relative);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && out.size() <= limit)
    out.append(buf, static_cast<size_t>(n));
  const int error = n < 0 ? errno : EFBIG;
  ::close(fd);
  if (n < 0 || out.size() > limit) return errno = error, std::nullopt;
  return out;
}

std::string relativeInside(const std::string &root, const std::string &absolute) {
  std::string base = root;
  while (base.size() > 1 && base.back() == '/')
    base.pop_back();
  if (absolute.size() <= base.size() + 1 || absolute.compare(0, base.size(), base) != 0 ||
      absolute[base.size()] != '/')
    return {};
  return absolute.substr(base.size() + 1);
}

const char *contentTypeFor(const std::string &name) {
  static const std::pair<const char *, const char *> types[] = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},
      {".mp4", "video/mp4"},
      {".m4v", "video/mp4"},
      {".mov", "video/quicktime"},
      {".webm", "video/webm"},
      {".mp3", "audio/mpeg"},
      {".m4a", "audio/mp4"},
      {".wav", "audio/wav"},
      {".ogg", "audio/ogg"},
  };
  auto dot = name.rfind('.');
  if (dot != std::string::npos)
    for (auto &[ext, type] : types)
      if (strcasecmp(name.c_str() + dot, ext) == 0) return type;
  return "application/octet-stream";
}

std::string documentTypeFor(const std::string &head, const std::string &name) {
  static const std::pair<std::string_view, const char *> magic[] = {
      {"\x89PNG\r\n\x1a\n", "image/png"},
      {"\xff\xd8\xff", "image/jpeg"},
      {"GIF87a", "image/gif"},
      {"GIF89a", "image/gif"},
      {"%PDF-", "application/pdf"},
  };
  for (auto &[bytes, type] : magic)
    if (head.compare(0, bytes.size(), bytes) == 0) return type;
  if (head.size() >= 12 && head.compare(0, 4, "RIFF") == 0 && head.compare(8, 4, "WEBP") == 0)
    return "image/webp";
  return contentTypeFor(name);
}

namespace {
bool plainCharsetName(std::string_view name) {
  if (name.empty() || name.size() > 40) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("-_.:+", c)) return false;
  return true;
}
} // namespace

std::string metaCharset(std::string_view html) {
  std::string head(html.substr(0, 1024));
  for (auto &c : head)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (size_t at = head.find("<meta"); at != std::string::npos; at = head.find("<meta", at + 5)) {
    const size_t end = head.find('>', at);
    const std::string_view tag =
        std::string_view(head).substr(at, end == std::string::npos ? std::string::npos : end - at);
    const size_t name = tag.find("charset");
    if (name == std::string_view::npos) continue;
    size_t i = tag.find_first_not_of(" \t\r\n", name + 7);
    if (i == std::string_view::npos || tag[i] != '=') continue;
    i = tag.find_first_not_of(" \t\r\n\"'", i + 1);
    if (i == std::string_view::npos) continue;
    const size_t stop = tag.find_first_of(" \t\r\n\"';/>", i);
    const std::string value(tag.substr(i, stop == std::string_view::npos ? stop : stop - i));
    return plainCharsetName(value) ? value : std::string();
  }
  return {};
}

bool looksBinary(std::string_view body) {
  return body.substr(0, 1024).find('\0') != std::string_view::npos;
}

std::string pageBodyIn(std::string body, std::string &charset) {
  std::string name = charset;
  for (auto &c : name)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // The script put before the body is ASCII: a body in UTF-16 is served as UTF-8 instead.
  const std::optional<Encoding> wide = name == "utf-16"     ? Encoding::Unicode
                                       : name == "utf-16le" ? Encoding::UTF16LittleEndian
                                       : name == "utf-16be" ? Encoding::UTF16BigEndian
                                                            : std::optional<Encoding>();
  if (wide) {
    charset = "utf-8";
    return decodeText(body, *wide).value_or(std::string());
  }
  if (!plainCharsetName(charset)) charset = "utf-8";
  return body;
}

bool isShownAsItself(const std::string &type) {
  for (const char *kind : {"image/", "video/", "audio/", "application/pdf"})
    if (type.rfind(kind, 0) == 0) return true;
  return false;
}

std::string randomToken(size_t bytes) {
  std::string raw(bytes, '\0');
  size_t got = 0;
  while (got < bytes) {
    ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  std::string hex;
  char two[3];
  for (unsigned char c : raw) {
    std::snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  return hex;
}

bool sameSecret(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

} // namespace platform::ui::detail
