// Pages and addresses of any bytes, as a web site sends them: the title and the touch icon are
// read without a crash, a file name made from the address is one safe name, and text put into
// markup carries none of its own.
#include "app/foundation/StringUtils.h"
#include "app/web/WebAddress.h"
#include "app/web/WebPageEngine.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  (void)pageTitle(text);
  (void)pageTouchIcon(text);
  auto address = WebAddress::parse(text);
  (void)address;
  auto name = webFileName(text);
  if (!name.empty() && (name.find('/') != std::string::npos ||
                        name.find('\0') != std::string::npos || !isSingleFileName(name)))
    std::abort();
  auto escaped = htmlEscape(text);
  if (escaped.find_first_of("<>\"'") != std::string::npos) std::abort();
  return 0;
}
