// The listing parser on arbitrary bytes: the first byte picks the listing style, the rest is cut
// into lines. No crash, no undefined behaviour, and every entry it yields has a valid name; a line
// read as the connection reads it (UTF-8, else ISO Latin-1) yields a name whose bytes are the
// line's own and read back as the name.
#include "app/ftp/FTPListParser.h"
#include "app/ftp/FTPReplyAssembler.h"

#include "platform/foundation/Text.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  platform::DateComponents today;
  today.year = 2026;
  today.month = 1 + data[0] % 12;
  today.day = 1 + data[0] % 31;
  FTPListParser parser(today);
  parser.iServerType = data[0] % 4;
  parser.showHiddenFiles = (data[0] & 0x80) != 0;
  std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line =
        text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
    text.remove_prefix(line.size());
    auto item = parser.parseDirectoryLine(line);
    if (item) {
      const std::string name = item->name();
      if (name.empty() || name == "." || name == "..") std::abort();
      if (!parser.showHiddenFiles && name.front() == '.') std::abort();
    }
    if (parser.iServerType < 0 || parser.iServerType > 3) std::abort();
    platform::Encoding readIn = platform::Encoding::UTF8;
    const std::string read = FTPReplyAssembler::decodeLine(
        reinterpret_cast<const uint8_t *>(line.data()), line.size(), true, 0, &readIn);
    if (auto named = parser.parseDirectoryLine(read, line, readIn)) {
      const auto &bytes = named->nameBytes();
      if (!bytes || line.find(*bytes) == std::string_view::npos) std::abort();
      if (platform::decodeText(*bytes, readIn) != named->name()) std::abort();
    }
  }
  return 0;
}
