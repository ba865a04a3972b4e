#include "app/ftp/FTPListParser.h"

#include "app/foundation/StringUtils.h"

#include "platform/foundation/Text.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::string_view kMonthNames = "JanFebMarAprMayJunJulAugSepOctNovDec";
// Blanks between "<DIR>" and the name in a DOS (IIS) listing line.
constexpr size_t kDosFolderColumnBlanks = 10;

// Every blank splits: runs of blanks leave empty tokens, which keep their place inside names.
std::vector<std::string> splitAtBlanks(std::string_view text) {
  std::vector<std::string> tokens;
  size_t start = 0;
  while (true) {
    const size_t blank = text.find(' ', start);
    if (blank == std::string_view::npos) {
      tokens.emplace_back(text.substr(start));
      break;
    }
    tokens.emplace_back(text.substr(start, blank - start));
    start = blank + 1;
  }
  return tokens;
}

// The token at `from` followed by a blank and each later token in turn.
std::string joinFrom(const std::vector<std::string> &tokens, size_t from) {
  std::string out = tokens[from];
  for (size_t i = from + 1; i < tokens.size(); ++i) {
    out += ' ';
    out += tokens[i];
  }
  return out;
}

bool isMonthName(std::string_view token) {
  static constexpr std::array<std::string_view, 12> names = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return std::find(names.begin(), names.end(), token) != names.end();
}

// Listings are untrusted: keep every component far from the limits of the calendar's arithmetic.
int bounded(int value) {
  return std::clamp(value, -1000000, 1000000);
}

std::optional<platform::WallTime> makeDate(int year, int month, int day, int hour, int minute) {
  platform::DateComponents c;
  c.year = bounded(year);
  c.month = bounded(month);
  c.day = bounded(day);
  c.hour = bounded(hour);
  c.minute = bounded(minute);
  return platform::GregorianCalendar::dateFromComponents(c);
}

std::string beforeColon(const std::string &time) {
  return time.substr(0, time.find(':'));
}
std::string afterColon(const std::string &time) {
  const size_t colon = time.find(':');
  return colon == std::string::npos ? std::string() : time.substr(colon + 1);
}

} // namespace

FTPListParser::FTPListParser(platform::DateComponents todayDate) : today(todayDate) {}

platform::DateComponents FTPListParser::todayNow() {
  return platform::GregorianCalendar::components(platform::Clock::current().wallNow());
}

std::shared_ptr<DirItemInfo> FTPListParser::parseDirectoryLine(std::string_view line) {
  if (characterCount(line) < 10) return nullptr;
  // The "total N" line that opens a UNIX listing: it also tells that the listing is not DOS.
  if (line.front() == 't') {
    if (iServerType != kNetware) iServerType = kUnix;
    return nullptr;
  }

  // Only the line end goes from the end of the line: a name's own blanks (or any white space)
  // at its end are the name's. White space before the first field is no part of any name.
  std::string_view body = line;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
    body.remove_suffix(1);
  const std::string trimmedBoth = myTrimWS(body);
  const size_t lead = trimmedBoth.empty() ? 0 : body.find(trimmedBoth);
  const std::string trimmed = trimmedBoth.empty() ? std::string() : std::string(body.substr(lead));
  const std::vector<std::string> tokens = splitAtBlanks(trimmed);
  auto item = std::make_shared<DirItemInfo>();
  nameRestLength_ = 0;

  if (iServerType == kUnix || iServerType == kVms || iServerType == kNetware) {
    const bool firstIsD = !trimmed.empty() && trimmed.front() == 'd';
    const bool firstIsL = !trimmed.empty() && trimmed.front() == 'l';
    unixPass(*item, tokens, firstIsD, firstIsL);
  }
  if (iServerType == kDos) dosPass(*item, tokens);

  const std::string name = item->name();
  if (!showHiddenFiles && !name.empty() && name.front() == '.') return nullptr;
  if (!item->validDirectoryItem()) return nullptr;
  // The name begins its rest of the trimmed line (a link's target follows it there).
  nameOffset = lead + trimmed.size() - std::min(nameRestLength_, trimmed.size());
  return item;
}

namespace {
// The bytes the server sent for the name at [offset, offset + length) of a listing line's text:
// the text itself when the line was UTF-8, else the line's bytes behind those characters.
std::optional<std::string> nameBytesOf(const std::string &line, size_t offset, size_t length,
                                       std::string_view raw, platform::Encoding readIn) {
  if (offset + length > line.size()) return std::nullopt;
  if (readIn == platform::Encoding::UTF8 || raw.empty()) return line.substr(offset, length);
  if (readIn == platform::Encoding::ISOLatin1) {
    // One byte per character.
    auto bytes = platform::encodeText(std::string_view(line).substr(offset, length), readIn);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
  }
  std::vector<uint32_t> starts;
  auto text = platform::decodeTextWithOffsets(reinterpret_cast<const uint8_t *>(raw.data()),
                                              raw.size(), readIn, starts);
  if (!text || *text != line || starts.size() != line.size() + 1) return std::nullopt;
  const size_t from = starts[offset], to = starts[offset + length];
  return std::string(raw.substr(from, to - from));
}
} // namespace

std::shared_ptr<DirItemInfo> FTPListParser::parseDirectoryLine(const std::string &line,
                                                               std::string_view raw,
                                                               platform::Encoding readIn) {
  auto item = parseDirectoryLine(line);
  // The name goes back to the server in the bytes it came in, whatever its text looks like.
  if (item)
    if (auto bytes = nameBytesOf(line, nameOffset, item->name().size(), raw, readIn))
      item->setNameBytes(std::move(*bytes));
  return item;
}

void FTPListParser::nameIsRestOfLine(DirItemInfo &item, std::string rest) {
  nameRestLength_ = rest.size();
  item.setName(rest);
}

void FTPListParser::unixPass(DirItemInfo &item, const std::vector<std::string> &tokens,
                             bool firstIsD, bool firstIsL) {
  item.isDirectory = firstIsD || firstIsL;
  item.isLink = firstIsL;

  std::string size, month, day, timeOrYear;
  // Where the day and the time or year stood: the name is every byte after the single blank
  // that follows them (with no group column, after the day's), so that blanks at the start of a
  // name are kept. NetWare pads before the name: there it starts at the next word.
  std::optional<size_t> dayAt, timeAt;
  int field = 0;
  for (size_t i = 0; i < tokens.size() && field < 9; ++i) {
    const std::string &token = tokens[i];
    if (token.empty()) continue;
    // NetWare lists no link count and no group: their places are skipped.
    if (iServerType == kNetware && (field == 1 || field == 3)) ++field;
    const size_t length = characterCount(token);
    switch (field) {
    case 0:
      item.attrib = token;
      if (iServerType == kNetware) {
        // "d" or "-" stands before the bracketed rights; the rights are the attribute.
        if (length == 1) continue;
        // A ten-character mode such as "drwxr-xr-x" means the server lists UNIX style after all.
        // The NetWare rights "[RWCEAFMS]" are ten characters too, but bracketed.
        if (length == 10 && token.front() != '[') iServerType = kUnix;
      } else if (!canDoChmod && length == 10) {
        canDoChmod = true;
      }
      break;
    case 1:
      // Some servers put the word "folder" where the link count stands, and no owner or group.
      if (token == "folder" && item.isDirectory) {
        item.group = token;
        field = 4;
        continue;
      }
      if (platform::containsCaseInsensitive(token, "AM") ||
          platform::containsCaseInsensitive(token, "PM"))
        iServerType = kDos;
      break;
    case 2:
      item.owner = token;
      break;
    case 3:
      item.group = token;
      break;
    case 4:
      size = token;
      break;
    case 5:
      month = token;
      break;
    case 6:
      if (isMonthName(token)) { // "1 Mar" order: the month came second
        month = token;
        continue;
      }
      day = token;
      dayAt = i;
      break;
    case 7:
      timeOrYear = token;
      timeAt = i;
      break;
    case 8:
      if (iServerType == kNetware) nameIsRestOfLine(item, joinFrom(tokens, i));
      field = 9;
      continue;
    default:
      break;
    }
    ++field;
  }
  item.size = size;
  auto restAfter = [&](std::optional<size_t> at) {
    return at && *at + 1 < tokens.size() ? joinFrom(tokens, *at + 1) : std::string();
  };
  if (iServerType != kNetware && timeAt) nameIsRestOfLine(item, restAfter(timeAt));

  if (field >= 7) {
    // A month name where the size should be: the line has no group column.
    if (!size.empty() && platform::containsCaseInsensitive("x" + std::string(kMonthNames), size)) {
      nameIsRestOfLine(item, iServerType != kNetware ? restAfter(dayAt)
                             : timeAt                ? joinFrom(tokens, *timeAt)
                                                     : std::string());
      timeOrYear = day;
      day = month;
      month = size;
      item.size = item.group;
      item.group = item.owner;
    }
    const int monthNumber = myStringMonthToInteger(month);
    const int dayNumber = platform::intValue(day);
    std::string time;
    int year;
    if (timeOrYear.find(':') != std::string::npos) {
      // A time instead of a year: the date lies within the last twelve months.
      time = timeOrYear;
      year = today.year;
      if (monthNumber > today.month || (monthNumber == today.month && dayNumber > today.day + 1))
        year = today.year - 1;
    } else {
      time = "12:00";
      year = platform::intValue(timeOrYear);
    }
    item.date = makeDate(year, monthNumber, dayNumber, platform::intValue(beforeColon(time)),
                         platform::intValue(afterColon(time)));
  }

  if (item.isLink) {
    const std::string name = item.name();
    const size_t arrow = name.find(" -> ");
    if (arrow != std::string::npos) {
      const std::string target = name.substr(arrow + 4);
      item.linksTo = target.substr(0, target.find(" -> "));
      item.setName(name.substr(0, arrow));
    }
  }
}

void FTPListParser::dosPass(DirItemInfo &item, const std::vector<std::string> &tokens) {
  std::string date, time, size;
  std::optional<size_t> sizeAt;
  int field = 0;
  for (size_t i = 0; i < tokens.size() && field < 3; ++i) {
    const std::string &token = tokens[i];
    if (token.empty()) continue;
    switch (field) {
    case 0:
      date = token;
      break;
    case 1:
      time = token;
      break;
    case 2:
      size = token;
      sizeAt = i;
      break;
    }
    ++field;
  }
  // The name is the rest of the line, blanks kept. A size is right-aligned and followed by one
  // blank; "<DIR>" stands left in the size column, which takes ten blanks after it: blanks beyond
  // those are the name's.
  if (sizeAt) {
    size_t from = *sizeAt + 1;
    if (platform::containsCaseInsensitive(size, "dir")) {
      size_t blanks = 0;
      while (from + blanks < tokens.size() - 1 && tokens[from + blanks].empty())
        ++blanks;
      from += blanks >= kDosFolderColumnBlanks - 1 ? kDosFolderColumnBlanks - 1 : blanks;
    }
    if (from < tokens.size()) nameIsRestOfLine(item, joinFrom(tokens, from));
  }
  if (platform::containsCaseInsensitive(size, "dir")) { // "<DIR>"
    size.clear();
    item.isDirectory = true;
  }
  item.size = size;

  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    const size_t dash = date.find('-', start);
    parts.push_back(
        date.substr(start, dash == std::string::npos ? std::string::npos : dash - start));
    if (dash == std::string::npos) break;
    start = dash + 1;
  }
  if (parts.size() != 3) {
    item.date.reset(); // nothing to date the entry by
    return;
  }
  const int month = platform::intValue(parts[0]);
  const int day = platform::intValue(parts[1]);
  int year = platform::intValue(parts[2]);
  if (year <= 99) year += year <= 70 ? 2000 : 1900;

  int hour = 0, minute = 0;
  if (!time.empty()) {
    hour = platform::intValue(beforeColon(time));
    minute = platform::intValue(afterColon(time));
    const bool pm = platform::containsCaseInsensitive(time, "PM");
    const bool am = platform::containsCaseInsensitive(time, "AM");
    if (pm && hour < 12) hour += 12;
    if (am && hour == 12) hour = 0; // 12:05AM is five past midnight
  }
  item.date = makeDate(year, month, day, hour, minute);
}
