#include "app/foundation/StringUtils.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

const char szBASE_64Usual[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

platform::TextRange findFirst(std::string_view s, std::string_view marker) {
  return platform::rangeOfCaseInsensitive(s, marker, false);
}
platform::TextRange findLast(std::string_view s, std::string_view marker) {
  return platform::rangeOfCaseInsensitive(s, marker, true);
}

// Decodes one code point at `i` (advancing it); invalid bytes give U+FFFD and advance by one.
char32_t nextCodePoint(std::string_view s, size_t &i) {
  char32_t cp;
  if (platform::nextCodePoint(s, i, cp)) return cp;
  ++i;
  return 0xFFFD;
}

bool isWhiteOrLineEnd(char32_t c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  size_t pos = 0;
  while (true) {
    const size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

// The value of the <string> that follows <key>key</key> in an XML property list.
std::optional<std::string> plistLookup(const std::string &plist, const std::string &key) {
  const std::string wanted = "<key>" + key + "</key>";
  size_t at = plist.find(wanted);
  if (at == std::string::npos) return std::nullopt;
  at += wanted.size();
  const size_t open = plist.find("<string>", at);
  const size_t nextKey = plist.find("<key>", at);
  if (open == std::string::npos || (nextKey != std::string::npos && nextKey < open))
    return std::nullopt;
  const size_t start = open + 8;
  const size_t close = plist.find("</string>", start);
  if (close == std::string::npos) return std::nullopt;
  return plist.substr(start, close - start);
}

} // namespace

// --- UTF helpers -------------------------------------------------------------------------------

std::u16string toUtf16Units(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const char32_t cp = nextCodePoint(utf8, i);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string fromUtf16Units(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    platform::appendUTF8(out, c);
  }
  return out;
}

size_t characterCount(std::string_view utf8) {
  size_t n = 0, i = 0;
  while (i < utf8.size()) {
    nextCodePoint(utf8, i);
    ++n;
  }
  return n;
}

std::string firstCharacters(std::string_view utf8, size_t n) {
  size_t i = 0;
  for (size_t k = 0; k < n && i < utf8.size(); ++k)
    nextCodePoint(utf8, i);
  return std::string(utf8.substr(0, i));
}

// --- Searching and cutting -------------------------------------------------------------------

bool myContains(std::string_view s, std::string_view text) {
  return findFirst(s, text).found();
}

bool myStartsWith(std::string_view s, std::string_view text) {
  const auto r = findFirst(s, text);
  return r.found() && r.location == 0;
}

bool myEndsWith(std::string_view s, std::string_view text) {
  const auto r = findLast(s, text);
  return r.found() && r.location + r.length == s.size();
}

std::string mySubStringAfterString(std::string_view s, std::string_view marker) {
  const auto r = findFirst(s, marker);
  if (!r.found()) return std::string(s);
  return std::string(s.substr(r.location + r.length));
}

std::string mySubStringAfterFirstStringTrim(std::string_view s, std::string_view marker) {
  return mySubStringAfterString(s, marker);
}

std::string mySubStringAfterFirstStringBlankOK(std::string_view s, std::string_view marker) {
  const auto r = findFirst(s, marker);
  if (!r.found()) return {};
  return std::string(s.substr(r.location));
}

std::string mySubStringBeforeFirstString(std::string_view s, std::string_view marker) {
  const auto r = findFirst(s, marker);
  if (!r.found()) return std::string(s);
  return std::string(s.substr(0, r.location));
}

std::string mySubStringBeforeString(std::string_view s, std::string_view marker) {
  const auto r = findLast(s, marker);
  if (!r.found()) return std::string(s);
  return std::string(s.substr(0, r.location));
}

std::string mySubStringBeforeAfterString(std::string_view s, std::string_view marker) {
  return mySubStringBeforeString(mySubStringAfterString(s, marker), marker);
}

std::string myStringSuffixAfterString(std::string_view s, std::string_view marker) {
  const auto r = findLast(s, marker);
  if (!r.found()) return {};
  return std::string(s.substr(r.location + r.length));
}

std::string myStringAfterStringSelfIfNotFound(std::string_view s, std::string_view marker) {
  const auto r = findLast(s, marker);
  if (!r.found()) return std::string(s);
  return std::string(s.substr(r.location + r.length));
}

std::string myTrimWS(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    size_t next = begin;
    if (!isWhiteOrLineEnd(nextCodePoint(s, next))) break;
    begin = next;
  }
  // Scan forwards once, remembering where the last non-white character ended.
  size_t end = begin, i = begin;
  while (i < s.size()) {
    const char32_t c = nextCodePoint(s, i);
    if (!isWhiteOrLineEnd(c)) end = i;
  }
  return std::string(s.substr(begin, end - begin));
}

// --- SQL quoting -------------------------------------------------------------------------------

std::string mySQL(std::string_view s) {
  return replaceAll(s, "'", "''");
}

std::string mySQLw(std::string_view s) {
  return mySQL(myTrimWS(s));
}

// --- File names ----------------------------------------------------------------------------

std::string myFName(std::string_view s) {
  return mySubStringBeforeString(s, ".");
}

std::string myFileType(std::string_view s) {
  const size_t dot = s.rfind('.');
  if (dot == std::string_view::npos) return std::string(s);
  std::string ext = platform::lowercase(s.substr(dot + 1));
  if (ext == "old") {
    const std::string_view before = s.substr(0, dot);
    const size_t dot2 = before.rfind('.');
    ext = platform::lowercase(dot2 == std::string_view::npos ? before : before.substr(dot2 + 1));
  }
  return ext;
}

std::string myBetterFileName(std::string_view s) {
  const size_t dot = s.rfind('.');
  if (dot != std::string_view::npos && platform::lowercase(s.substr(dot + 1)) == "old") {
    // The result is joined to a folder's path (and removed there): "..old" must not become "."
    // nor "...old" "..".
    const std::string_view rest = s.substr(0, dot);
    if (!rest.empty() && rest != "." && rest != "..") return std::string(rest);
  }
  return std::string(s);
}

std::string myShortenedFileName(std::string_view s) {
  const size_t length = characterCount(s);
  if (length < 15) return std::string(s);
  const std::string ext = myStringSuffixAfterString(s, ".");
  size_t keep = 10;
  const size_t extLength = characterCount(ext);
  if (length - extLength < 11) keep = length - extLength;
  return firstCharacters(s, keep) + "..." + ext;
}

std::string myMimeType(std::string_view s) {
  // The table is read once per resources folder: the servers ask for every file they send.
  static std::mutex mutex;
  static std::string tablePath;
  static std::optional<std::string> table;
  const std::string path =
      platform::appendPathComponent(platform::Paths::resources(), "mime-types.plist");
  std::lock_guard lock(mutex);
  if (!table || path != tablePath) {
    table = platform::FileManager::stringContentsAtPath(path);
    tablePath = path;
  }
  if (table)
    if (auto type = plistLookup(*table, myFileType(s))) return *type;
  platform::Log::system("****** Dude!  Check that mime-types.plist is included properly ******");
  return "application/octet-stream";
}

int myStringMonthToInteger(std::string_view s) {
  const auto r = findFirst("JanFebMarAprMayJunJulAugSepOctNovDec", s);
  if (!r.found()) return 1;
  return static_cast<int>(r.location / 3) + 1;
}

std::string myEllipseAfter(std::string_view s, size_t n) {
  if (characterCount(s) < n) return std::string(s);
  return firstCharacters(s, n) + "\xE2\x80\xA6";
}

std::string stringFromPathComponents(const std::vector<std::string> &components, int start,
                                     int end) {
  if (start >= end) return ".";
  std::string out;
  for (int i = start; i < end; ++i) {
    if (i < 0 || static_cast<size_t>(i) >= components.size()) continue;
    out = out.empty() ? components[static_cast<size_t>(i)]
                      : platform::appendPathComponent(out, components[static_cast<size_t>(i)]);
  }
  return out;
}

// --- Numbers and sizes -------------------------------------------------------------------

std::string itostr(long long value) {
  return std::to_string(value);
}

std::string numtostr(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  return buf;
}

std::string myFileSize(double bytes) {
  char buf[64];
  if (bytes == 0) return {};
  if (bytes < 1000)
    std::snprintf(buf, sizeof buf, "%.0f B", bytes);
  else if (bytes < 1048576)
    std::snprintf(buf, sizeof buf, "%.1f KB", bytes / 1024);
  else
    std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1048576);
  return buf;
}

// --- Encodings ---------------------------------------------------------------------------

namespace {

// Base64 of a run of units taken three at a time as 24-bit groups. A unit above 255 (a UTF-16 unit)
// is not masked: its high bits carry into the group and fall off the top.
template <class Units> std::string base64OfUnits(const Units &c) {
  const size_t n = c.size();
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = static_cast<uint32_t>(c[i]) * 65536u;
    if (i + 1 < n) v += static_cast<uint32_t>(c[i + 1]) * 256u;
    if (i + 2 < n) v += c[i + 2];
    out += szBASE_64Usual[(v >> 18) & 63];
    out += szBASE_64Usual[(v >> 12) & 63];
    out += i + 1 < n ? szBASE_64Usual[(v >> 6) & 63] : '=';
    out += i + 2 < n ? szBASE_64Usual[v & 63] : '=';
  }
  return out;
}

} // namespace

std::string myBase64(std::string_view s) {
  return base64OfUnits(toUtf16Units(s));
}

std::string myBase64(const std::vector<uint8_t> &data) {
  return base64OfUnits(data);
}

int _6BitChar(int c) {
  const char ch = static_cast<char>(c & 0xFF);
  if (ch == '=') return 0;
  for (int i = 0; i < 64; ++i)
    if (szBASE_64Usual[i] == ch) return i;
  return -1;
}

std::optional<std::vector<uint8_t>> myFromBase64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(s.size() / 4 * 3 + 3);
  const size_t m = s.size();
  for (size_t i = 0; i < m; i += 4) {
    uint32_t v = static_cast<uint32_t>(_6BitChar(s[i])) << 18;
    if (i + 1 < m) v += static_cast<uint32_t>(_6BitChar(s[i + 1])) << 12;
    if (i + 2 < m) v += static_cast<uint32_t>(_6BitChar(s[i + 2])) << 6;
    if (i + 3 < m) v += static_cast<uint32_t>(_6BitChar(s[i + 3]));
    out.push_back(static_cast<uint8_t>((v >> 16) & 255));
    if (i + 2 < m && s[i + 2] != '=') out.push_back(static_cast<uint8_t>((v >> 8) & 255));
    if (i + 3 < m && s[i + 3] != '=') out.push_back(static_cast<uint8_t>(v & 255));
  }
  return out;
}

// --- Files -------------------------------------------------------------------------------------

uint64_t sizeOfFileAtPath(const std::string &path) {
  struct stat st; // of the link itself, as every attribute read here is
  return !path.empty() && path.find('\0') == std::string::npos && ::lstat(path.c_str(), &st) == 0
             ? static_cast<uint64_t>(st.st_size)
             : 0;
}

bool isSingleFileName(std::string_view name, std::string *why) {
  const char *problem = nullptr;
  if (name.empty() || name == "." || name == "..")
    problem = "it is not a file name";
  else if (name.find('/') != std::string_view::npos)
    problem = "it holds a \"/\"";
  else if (std::any_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
    problem = "it holds a control character";
  if (problem && why) *why = problem;
  return !problem;
}

bool nameFitsFolder(const std::string &folder, std::string_view name, std::string *why) {
  // What the folder's file system says (a folder not made yet: the usual limits).
  auto limit = [&](int which, long fallback) {
    const long value = ::pathconf(folder.c_str(), which);
    return value > 0 ? value : fallback;
  };
  const long nameMax = limit(_PC_NAME_MAX, NAME_MAX), pathMax = limit(_PC_PATH_MAX, PATH_MAX);
  std::string problem;
  if (name.size() > static_cast<size_t>(nameMax))
    problem = platform::Log::format("it is %zu bytes long, and the file system takes at most %ld",
                                    name.size(), nameMax);
  else if (folder.size() + 1 + name.size() >= static_cast<size_t>(pathMax))
    problem = platform::Log::format("the whole path would be longer than the %ld bytes a path "
                                    "may have",
                                    pathMax - 1);
  if (!problem.empty() && why) *why = problem;
  return problem.empty();
}

std::string withControlsEscaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", b);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

namespace {
std::vector<std::string> partsOfPath(const std::string &path) {
  std::vector<std::string> out;
  for (auto &c : platform::pathComponents(platform::standardizePath(path)))
    if (c != "/") out.push_back(c);
  return out;
}
bool startsWithParts(const std::vector<std::string> &path, const std::vector<std::string> &root) {
  return path.size() >= root.size() && std::equal(root.begin(), root.end(), path.begin());
}
} // namespace

std::string resolvedPath(const std::string &path) {
  return platform::FileManager::realPath(path).value_or("");
}

bool pathLiesInside(const std::string &path, const std::string &folder) {
  const std::string lexical = platform::standardizePath(path);
  if (folder.empty() || !startsWithParts(partsOfPath(lexical), partsOfPath(folder))) return false;
  const std::string realFolder = resolvedPath(folder);
  if (realFolder.empty()) return true; // nothing of it exists yet: nothing can lead out
  std::string existing = lexical;
  std::string real;
  while (!existing.empty() && (real = resolvedPath(existing)).empty()) {
    struct stat st;
    if (::lstat(existing.c_str(), &st) == 0) return false;
    if (existing == "/") break;
    existing = platform::deleteLastPathComponent(existing);
  }
  return real.empty() || startsWithParts(partsOfPath(real), partsOfPath(realFolder));
}

void protectFile(const std::string &path) {
  if (platform::DeviceProfile::current().osVersionIsAtLeast(4.0))
    platform::FileManager::protectFile(path);
}

std::string myIntToMonth(int month) {
  static const char *const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (month < 1 || month > 12) return "???";
  return names[month - 1];
}
