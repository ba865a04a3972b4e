#include "app/sharing/WebRequest.h"

#include "app/foundation/StringUtils.h"
#include "app/web/WebAddress.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Text.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) return false;
  }
  return true;
}

// Where the first line of the buffer ends (the index of its LF or NUL), if it does.
std::optional<size_t> lineEnd(const std::vector<uint8_t> &buffer) {
  const auto it =
      std::find_if(buffer.begin(), buffer.end(), [](uint8_t b) { return b == '\n' || b == '\0'; });
  if (it == buffer.end()) return std::nullopt;
  return static_cast<size_t>(it - buffer.begin());
}

std::string latin1ToUtf8(const uint8_t *data, size_t size) {
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

std::vector<std::string_view> splitComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/')
      ++i;
    const size_t start = i;
    while (i < path.size() && path[i] != '/')
      ++i;
    if (i > start) parts.push_back(path.substr(start, i - start));
  }
  return parts;
}

bool hasComponentPrefix(std::string_view path, std::string_view prefix) {
  const auto p = splitComponents(path), q = splitComponents(prefix);
  return p.size() >= q.size() && std::equal(q.begin(), q.end(), p.begin());
}

// What the server knows of a shared folder between requests, while the folder its path names is
// the same one (one look at the path instead of resolving it again for every request).
struct KnownRoot {
  std::string base, real;
  dev_t device = 0;
  ino_t inode = 0;
  int descriptor = -1; // the folder itself (O_PATH), opened when first needed
};

struct KnownRoots {
  std::vector<KnownRoot> list; // a few roots: the shared folder and the templates
  ~KnownRoots() {
    for (auto &k : list)
      if (k.descriptor >= 0) ::close(k.descriptor);
  }
};

// The real path of a shared folder; `entry`, when given, receives what is known of the folder
// (null when it could not be looked at). `fresh` makes it again in any case.
std::optional<std::string> rootRealPath(const std::string &base, bool fresh,
                                        KnownRoot **entry = nullptr) {
  thread_local KnownRoots roots;
  auto &known = roots.list;
  if (entry) *entry = nullptr;
  struct stat st {};
  if (::stat(base.c_str(), &st) != 0) return platform::FileManager::realPath(base);
  auto it =
      std::find_if(known.begin(), known.end(), [&](const KnownRoot &k) { return k.base == base; });
  if (!fresh && it != known.end() && it->device == st.st_dev && it->inode == st.st_ino) {
    if (entry) *entry = &*it;
    return it->real;
  }
  auto real = platform::FileManager::realPath(base);
  if (!real) return real;
  if (it == known.end()) {
    if (known.size() >= 8) {
      if (known.front().descriptor >= 0) ::close(known.front().descriptor);
      known.erase(known.begin());
    }
    known.push_back(KnownRoot{base, {}, 0, 0, -1});
    it = known.end() - 1;
  }
  it->real = *real;
  it->device = st.st_dev;
  it->inode = st.st_ino;
  if (it->descriptor >= 0) ::close(it->descriptor);
  it->descriptor = -1;
  if (entry) *entry = &*it;
  return real;
}

// A descriptor of the folder an entry describes, -1 when there is none (the path now names
// another folder than the one the entry was made for).
int rootDescriptor(KnownRoot &root) {
  if (root.descriptor >= 0) return root.descriptor;
  const int fd = ::open(root.base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_dev != root.device || st.st_ino != root.inode) {
    ::close(fd);
    return -1;
  }
  root.descriptor = fd;
  return fd;
}

// Opens `relative` (no "." or ".." in it) below the folder `dirfd` for reading, refusing to
// follow any symbolic link or to leave the folder; -1 with errno when it cannot.
int openBeneath(int dirfd, const std::string &relative) {
  static std::atomic<bool> unsupported{false};
  if (unsupported.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  open_how how{};
  how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, dirfd, relative.empty() ? "." : relative.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  // A kernel without it (or a sandbox that forbids it): the slow way from now on.
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) unsupported.store(true);
  return int(fd);
}

// A request path made lexically into a path under its shared folder: "." and ".." resolved,
// doubled slashes removed. False when it would leave the folder or holds a NUL byte.
struct LexicalPath {
  std::string base;     // the shared folder, standardised
  std::string local;    // the whole path
  std::string relative; // below the folder ("" for the folder itself)
  size_t rootComponents = 0;
  size_t components = 0;
};

bool lexicalPath(const std::string &root, std::string_view requestPath, LexicalPath &out) {
  if (requestPath.find('\0') != std::string_view::npos) return false;
  out.base = platform::standardizePath(root);
  const auto rootParts = splitComponents(out.base);
  std::vector<std::string_view> parts = rootParts;
  for (const auto part : splitComponents(requestPath)) {
    if (part == ".") continue;
    if (part == "..") {
      if (parts.size() <= rootParts.size()) return false;
      parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  out.local.clear();
  if (!out.base.empty() && out.base.front() == '/') out.local += '/';
  out.relative.clear();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out.local += '/';
    out.local += parts[i];
    if (i >= rootParts.size()) {
      if (i > rootParts.size()) out.relative += '/';
      out.relative += parts[i];
    }
  }
  out.rootComponents = rootParts.size();
  out.components = parts.size();
  return true;
}

} // namespace

std::string popLineFromData(std::vector<uint8_t> &buffer) {
  const auto end = lineEnd(buffer);
  if (!end) return "";
  const size_t n = *end + 1;
  std::string line =
      webShownText(std::string_view(reinterpret_cast<const char *>(buffer.data()), n));
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  return line;
}

std::string webShownText(std::string_view bytes) {
  const auto *data = reinterpret_cast<const uint8_t *>(bytes.data());
  if (auto utf8 = platform::decodeText(data, bytes.size(), platform::Encoding::UTF8);
      utf8 && !utf8->empty())
    return std::move(*utf8);
  return latin1ToUtf8(data, bytes.size());
}

std::optional<std::string> webPercentDecoded(std::string_view text) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

void WebRequestParser::reset() {
  head_ = WebRequestHead{};
  lengthDigits_.clear();
  haveRequestLine_ = false;
  headBytes_ = 0;
  status_ = Status::NeedMore;
}

WebRequestParser::Status WebRequestParser::parse(std::vector<uint8_t> &dataRead) {
  while (status_ == Status::NeedMore) {
    const auto end = lineEnd(dataRead);
    if (!end) {
      // A line that never ends must not grow without bound.
      if (headBytes_ + dataRead.size() > kMaxHeadBytes) status_ = Status::TooLarge;
      break;
    }
    headBytes_ += *end + 1;
    if (headBytes_ > kMaxHeadBytes) {
      status_ = Status::TooLarge;
      break;
    }
    // The bytes as they came: the path names a file by them; the text is for the log.
    const std::string bytes(dataRead.begin(), dataRead.begin() + static_cast<long>(*end + 1));
    dataRead.erase(dataRead.begin(), dataRead.begin() + static_cast<long>(*end + 1));
    const std::string line = webShownText(bytes);
    const bool empty = trim(line).empty();
    if (!haveRequestLine_) {
      // Empty lines before the request line are tolerated, as HTTP asks of servers.
      if (empty) continue;
      takeRequestLine(line, bytes);
      haveRequestLine_ = true;
    } else if (!webFieldLineSound(bytes)) {
      // Read on to the end of the head, so that the refusal is read by the client.
      head_.malformed = true;
    } else if (empty) {
      status_ = Status::Complete;
    } else if (!head_.malformed) {
      takeHeaderLine(line);
    }
  }
  return status_;
}

bool webFieldLineSound(std::string_view bytes) {
  // A line ends at LF: one that ends at a NUL holds a NUL.
  if (bytes.empty() || bytes.back() != '\n') return false;
  bytes.remove_suffix(1);
  if (!bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
  if (bytes.empty()) return true; // the end of the head
  // A line that begins with a blank continues the one before (obsolete folding): a header that
  // one reader joins and another takes as a header of its own.
  if (bytes.front() == ' ' || bytes.front() == '\t') return false;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  }
  // No blank between the name and its colon: "Content-Length : 5" is no Content-Length to one
  // reader and is to another.
  const size_t colon = bytes.find(':');
  if (colon == std::string_view::npos) return true; // no header: passed over
  const std::string_view name = bytes.substr(0, colon);
  return name.find_first_of(" \t") == std::string_view::npos;
}

void WebRequestParser::takeRequestLine(const std::string &line, const std::string &bytes) {
  head_.httpOperationLine = line;
  const std::string_view text = trim(bytes);
  const size_t firstBlank = text.find(' ');
  head_.httpOperation = std::string(text.substr(0, firstBlank));
  std::string_view target;
  if (firstBlank != std::string_view::npos) {
    const size_t lastBlank = text.rfind(' ');
    target = lastBlank > firstBlank ? text.substr(firstBlank + 1, lastBlank - firstBlank - 1)
                                    : text.substr(firstBlank + 1);
  }
  // The query is cut off before anything is decoded, so an escaped "?" stays part of a name.
  std::string_view path = target;
  if (const size_t q = target.find('?'); q != std::string_view::npos) {
    path = target.substr(0, q);
    std::string_view query = target.substr(q + 1);
    if (const size_t last = query.rfind('?'); last != std::string_view::npos)
      query = query.substr(0, last);
    const auto decoded = platform::replacePercentEscapes(query);
    head_.httpCGI = decoded ? *decoded : webShownText(query);
  }
  // The path in the bytes its escapes stand for, whatever their encoding: the file of exactly
  // those bytes is the one asked for.
  const auto decodedPath = webPercentDecoded(path);
  head_.httpObject = decodedPath ? *decodedPath : std::string();
}

void WebRequestParser::takeHeaderLine(const std::string &line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  const std::string_view name = trim(std::string_view(line).substr(0, colon));
  const std::string_view value = trim(std::string_view(line).substr(colon + 1));
  if (equalsIgnoringCase(name, "Authorization")) {
    head_.authLine = line;
  } else if (equalsIgnoringCase(name, "Content-Length")) {
    takeContentLength(value);
  } else if (equalsIgnoringCase(name, "User-Agent")) {
    head_.userAgent = line;
  } else if (equalsIgnoringCase(name, "Cookie")) {
    head_.cookieLine = line;
  } else if (equalsIgnoringCase(name, "Content-Type")) {
    if (!platform::containsCaseInsensitive(value, "multipart/form-data")) return;
    const auto at = platform::rangeOfCaseInsensitive(value, "boundary=", true);
    if (!at.found()) return;
    std::string_view boundary = trim(value.substr(at.location + at.length));
    if (!boundary.empty() && boundary.front() == '"') {
      boundary.remove_prefix(1);
      boundary = boundary.substr(0, boundary.find('"'));
    } else {
      boundary = trim(boundary.substr(0, boundary.find(';')));
    }
    // A boundary has at most 70 characters; anything much longer is not a form we understand.
    if (!boundary.empty() && boundary.size() <= 200)
      head_.multipartBoundary = "--" + std::string(boundary);
  }
}

// Every length given (on several lines, or as a list on one) must be the same number; a number of
// any size is read whole, and one past 64 bits is held as the largest.
void WebRequestParser::takeContentLength(std::string_view value) {
  for (size_t start = 0;;) {
    const size_t comma = value.find(',', start);
    std::string_view digits = trim(value.substr(start, comma - start));
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      head_.contentLengthInvalid = true;
      return;
    }
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (!head_.hasContentLength) {
      head_.hasContentLength = true;
      lengthDigits_ = std::string(digits);
      int64_t n = 0;
      const auto read = std::from_chars(digits.data(), digits.data() + digits.size(), n);
      head_.contentLength = read.ec == std::errc() ? n : INT64_MAX;
    } else if (digits != lengthDigits_) {
      head_.contentLengthInvalid = true;
    }
    if (comma == std::string_view::npos) return;
    start = comma + 1;
  }
}

bool basicCredentialsMatch(std::string_view authLine, std::string_view user,
                           std::string_view password) {
  const size_t colon = authLine.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view value = trim(authLine.substr(colon + 1));
  const size_t blank = value.find_first_of(" \t");
  if (blank == std::string_view::npos || !equalsIgnoringCase(value.substr(0, blank), "Basic"))
    return false;
  const std::string_view token = trim(value.substr(blank + 1));
  if (token.empty()) return false;
  const std::string credentials = std::string(user) + ":" + std::string(password);
  if (token == myBase64(credentials)) return true;
  return token == myBase64(std::vector<uint8_t>(credentials.begin(), credentials.end()));
}

void (*webItemCheckedHook)(const std::string &local) = nullptr;

namespace {

// webLocalPath's check; *itemFound tells whether found->item is the item's own real path (not
// that of a folder above a missing item).
std::optional<std::string> checkedLocalPath(const std::string &root, std::string_view requestPath,
                                            WebRealPaths *found, bool *itemFound) {
  if (itemFound) *itemFound = false;
  LexicalPath lexical;
  if (!lexicalPath(root, requestPath, lexical)) return std::nullopt;
  const std::string &base = lexical.base;
  const std::string &local = lexical.local;

  // Symbolic links: the real path of the item, or of the nearest existing folder above a missing
  // one, must stay in the real shared folder. A root known from before that seems to disagree is
  // looked at afresh once (it may have moved) before the request is refused.
  for (bool fresh : {false, true}) {
    const auto realRoot = rootRealPath(base, fresh);
    if (!realRoot) return local;
    if (found) found->root = *realRoot;
    std::string probe = local;
    bool outside = false;
    for (size_t keep = lexical.components; keep >= lexical.rootComponents; --keep) {
      if (auto real = platform::FileManager::realPath(probe)) {
        if (!hasComponentPrefix(*real, *realRoot)) {
          outside = true;
          break;
        }
        if (found) found->item = std::move(*real);
        if (itemFound) *itemFound = keep == lexical.components;
        return local;
      }
      if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
      if (keep == 0) break;
      probe = platform::deleteLastPathComponent(probe);
    }
    if (!outside) return local;
  }
  return std::nullopt;
}

// Opens `real`, a real path inside the real folder `realRoot` as a check has just found it, with
// no symbolic link followed on the way down from the folder: a link put in the place of any part
// of it since the check is not followed (ELOOP or ENOTDIR); -1 with errno when it cannot.
int openCheckedRealPath(const std::string &realRoot, const std::string &real) {
  if (!hasComponentPrefix(real, realRoot)) {
    errno = EXDEV;
    return -1;
  }
  const auto parts = splitComponents(real);
  const size_t below = splitComponents(realRoot).size();
  int dir = ::open(realRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = below; dir >= 0 && i + 1 < parts.size(); ++i) {
    const int next =
        ::openat(dir, std::string(parts[i]).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int saved = errno;
    ::close(dir);
    errno = saved;
    dir = next;
  }
  if (dir < 0) return -1;
  const std::string last = parts.size() > below ? std::string(parts.back()) : ".";
  int fd;
  do {
    fd = ::openat(dir, last.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  const int saved = errno;
  ::close(dir);
  errno = saved;
  return fd;
}

} // namespace

std::optional<std::string> webLocalPath(const std::string &root, std::string_view requestPath,
                                        WebRealPaths *found) {
  return checkedLocalPath(root, requestPath, found, nullptr);
}

WebLocalItem::~WebLocalItem() {
  if (fd >= 0) ::close(fd);
}

WebLocalItem::WebLocalItem(WebLocalItem &&other) noexcept
    : inside(other.inside), path(std::move(other.path)), real(std::move(other.real)),
      facts(other.facts), fd(other.release()), openError(other.openError) {}

WebLocalItem &WebLocalItem::operator=(WebLocalItem &&other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    inside = other.inside;
    path = std::move(other.path);
    real = std::move(other.real);
    facts = other.facts;
    fd = other.release();
    openError = other.openError;
  }
  return *this;
}

int WebLocalItem::release() {
  const int taken = fd;
  fd = -1;
  return taken;
}

WebLocalItem webOpenLocalItem(const std::string &root, std::string_view requestPath) {
  WebLocalItem item;
  LexicalPath lexical;
  if (!lexicalPath(root, requestPath, lexical)) return item;

  // The quick way: with no link on the way and no ".." left in it, the path below the folder's
  // own descriptor is the item's real path below the folder's real path.
  KnownRoot *known = nullptr;
  if (rootRealPath(lexical.base, false, &known) && known) {
    if (const int dirfd = rootDescriptor(*known); dirfd >= 0) {
      const int fd = openBeneath(dirfd, lexical.relative);
      struct stat st {};
      if (fd >= 0 && ::fstat(fd, &st) == 0) {
        if (webItemCheckedHook) webItemCheckedHook(lexical.local);
        item.inside = true;
        item.path = std::move(lexical.local);
        item.real.root = known->real;
        item.real.item =
            lexical.relative.empty() ? known->real : known->real + "/" + lexical.relative;
        item.facts = st;
        item.fd = fd;
        return item;
      }
      if (fd >= 0) ::close(fd);
    }
  }

  // A link on the way, a missing item, or no quick way at all: judged by its real path, and then
  // that real path is opened (never the name again, which may lead elsewhere by now).
  bool found = false;
  const auto local = checkedLocalPath(root, requestPath, &item.real, &found);
  if (!local) {
    item.real = {};
    return item;
  }
  item.inside = true;
  item.path = *local;
  if (!found) return item; // missing when it was checked
  if (webItemCheckedHook) webItemCheckedHook(*local);
  const int fd = openCheckedRealPath(item.real.root, item.real.item);
  struct stat st {};
  if (fd >= 0) {
    if (::fstat(fd, &st) == 0) {
      item.facts = st;
      item.fd = fd;
    } else {
      ::close(fd);
    }
  } else if (const int error = errno; error != ENOENT && error != ENOTDIR && error != ELOOP &&
                                      error != EXDEV && ::lstat(item.real.item.c_str(), &st) == 0 &&
                                      !S_ISLNK(st.st_mode)) {
    item.facts = st; // there, but not to be read
    item.openError = error;
  }
  return item;
}

std::string webHTMLEscape(std::string_view text) {
  return htmlEscape(std::string(text));
}

std::string webURLEncode(std::string_view text, bool keepSlashes) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
        c == '.' || c == '_' || c == '~' || (keepSlashes && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string webHeaderValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) out += ch;
  }
  return out;
}

std::string webCookiePair(std::string_view query) {
  query = query.substr(0, query.find(';'));
  const size_t equals = query.find('=');
  if (equals == std::string_view::npos) return "";
  // A name is a token; a value any printable ASCII but blanks, '"', ',', ';' and '\\'.
  auto tokenCharacter = [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos;
  };
  auto valueCharacter = [](unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '"' && c != ',' && c != ';' && c != '\\';
  };
  std::string name, value;
  for (const char c : query.substr(0, equals))
    if (tokenCharacter(static_cast<unsigned char>(c))) name += c;
  for (const char c : query.substr(equals + 1))
    if (valueCharacter(static_cast<unsigned char>(c))) value += c;
  return name.empty() ? "" : name + "=" + value;
}
