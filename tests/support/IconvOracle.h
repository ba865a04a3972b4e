// iconv as the oracle of text encodings: the bytes of a UTF-8 text in a charset, and the UTF-8 of
// bytes in a charset, converted by the iconv program (not by our code).
#pragma once

#include "tests/support/TestSupport.h"

#include <optional>
#include <string>

namespace testsupport {

// Converts `input` from one charset to another with iconv; nothing when iconv refuses it.
inline std::optional<std::string> iconvConvert(const std::string &input, const std::string &from,
                                               const std::string &to) {
  TempDir dir("ferrowen-iconv");
  const std::string in = dir.path() + "/in", out = dir.path() + "/out";
  if (!writeFile(in, input)) return std::nullopt;
  int code = -1;
  runCommand("iconv -f '" + from + "' -t '" + to + "' '" + in + "' > '" + out + "' 2>/dev/null",
             &code);
  if (code != 0) return std::nullopt;
  return readFile(out);
}

} // namespace testsupport
