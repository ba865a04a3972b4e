// Request paths as a web client sends them: percent unescaping, the path functions applied to the
// result, and case-insensitive searching in it.
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/Text.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);

  if (auto plain = replacePercentEscapes(input)) {
    if (!isValidUTF8(*plain)) std::abort();
    if (replacePercentEscapes(addPercentEscapes(*plain)) != plain) std::abort();
  }
  if (replacePercentEscapes(addPercentEscapes(input), Encoding::ISOLatin1) &&
      !replacePercentEscapes(addPercentEscapes(input)) && isValidUTF8(input))
    std::abort();

  std::string once = standardizePath(input);
  if (standardizePath(once) != once) std::abort();
  for (const std::string &c : pathComponents(once)) {
    if (c == "." && once != ".") std::abort();
  }
  std::string last = lastPathComponent(input);
  std::string parent = deleteLastPathComponent(input);
  if (last.size() > input.size() || parent.size() > input.size()) std::abort();
  (void)appendPathComponent(parent, last);

  size_t half = size / 2;
  std::string hay = input.substr(0, half), needle = input.substr(half);
  TextRange r = rangeOfCaseInsensitive(hay, needle);
  if (r.found() && r.location + r.length > hay.size()) std::abort();
  TextRange b = rangeOfCaseInsensitive(hay, needle, true);
  if (r.found() != b.found() || (b.found() && b.location < r.location)) std::abort();
  (void)numericCompare(hay, needle);
  (void)localizedCaseInsensitiveCompare(hay, needle);
  return 0;
}
