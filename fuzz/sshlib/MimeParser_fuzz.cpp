// Header blocks of any bytes: field lookups and the body after the header must stay inside the
// input and agree with a plain reading of it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/MimeParser.h"
#include "sshlib/core/StringBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 100000) return 0;
  std::string bytes(reinterpret_cast<const char *>(data), size);

  // The body after the header, over the raw bytes (NUL bytes included).
  DataBuffer body;
  bool ok = MimeParser::getEntireAfterHeader(bytes.data(), static_cast<int>(size), body);
  size_t blank = bytes.find("\r\n\r\n");
  size_t nul = bytes.find('\0');
  bool expect =
      blank != std::string::npos && size - blank >= 5 && (nul == std::string::npos || nul > blank);
  if (ok != expect) std::abort();
  if (ok && (body.getSize() != size - blank - 4 ||
             std::memcmp(body.getData2(), bytes.data() + blank + 4, body.getSize()) != 0))
    std::abort();

  // Field lookups over the text up to its first NUL; the name is the input's first line.
  std::string text = bytes.substr(0, nul == std::string::npos ? size : nul);
  std::string name = text.substr(0, text.find_first_of(":\r\n"));
  const char *names[] = {"DEK-Info", "Proc-Type", name.c_str(), ""};
  for (const char *n : names) {
    StringBuffer out;
    bool found = MimeParser::getHeaderField(text.c_str(), n, out);
    if (!found && out.getSize() != 0) std::abort();
    if (found && out.getSize() > 0 &&
        text.find(std::string(out.getString(), out.getSize())) == std::string::npos)
      std::abort();
  }
  StringBuffer v;
  MimeParser::getFieldValue(text.c_str(), v);
  if (v.getSize() > static_cast<int>(text.size())) std::abort();
  return 0;
}
