// Any sequence of log operations with any bytes as names, tags and values: the XML rendering
// must be a well-formed document (libxml2 reports no error at all, namespaces included).
#include <cstdint>
#include <cstdlib>
#include <string>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"

namespace {

int g_errors = 0;
void countError(void *, xmlErrorPtr) {
  ++g_errors;
}

// Reads a length-prefixed text from the input (the text stops at a NUL, as a C string would).
std::string take(const uint8_t *&p, const uint8_t *end) {
  if (p >= end) return "";
  size_t n = *p++ % 24;
  if (static_cast<size_t>(end - p) < n) n = static_cast<size_t>(end - p);
  std::string s(reinterpret_cast<const char *>(p), n);
  p += n;
  return s.substr(0, s.find('\0'));
}

// libxml2 refuses documents nested deeper than 256 elements unless told XML_PARSE_HUGE, and deeper
// than 2048 even then. The log nests its contexts as the library's calls nest, without a limit of
// its own (the library's XML reader is not recursive either), so the check reads with
// XML_PARSE_HUGE and the input opens no more contexts than libxml2 can then follow (a logged XML
// fragment adds a few levels of its own).
constexpr int kMaxContexts = 2000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 20000) return 0;
  Logger log;
  const uint8_t *p = data;
  const uint8_t *end = data + size;
  int depth = 0;
  while (p < end) {
    uint8_t op = *p++ % 8;
    std::string a = take(p, end);
    switch (op) {
    case 0:
      if (depth < kMaxContexts) {
        log.EnterContext(a.c_str(), true);
        ++depth;
      }
      break;
    case 1:
      if (depth > 0) {
        log.LeaveContext();
        --depth;
      }
      break;
    case 2:
      log.LogInfo(a.c_str());
      break;
    case 3:
      log.LogError(a.c_str());
      break;
    case 4:
      log.LogXml(a.c_str());
      break;
    case 5:
      log.LogDataLong(a.c_str(), static_cast<int>(size));
      break;
    default: {
      std::string v = take(p, end);
      log.LogData(a.c_str(), v.c_str());
      break;
    }
    }
  }
  StringBuffer xml;
  log.getXml(xml);
  g_errors = 0;
  xmlSetStructuredErrorFunc(nullptr, countError);
  xmlDocPtr doc = xmlReadMemory(xml.getString(), xml.getSize(), "log.xml", "UTF-8",
                                XML_PARSE_NONET | XML_PARSE_HUGE);
  if (!doc || g_errors != 0) std::abort();
  xmlFreeDoc(doc);
  return 0;
}
