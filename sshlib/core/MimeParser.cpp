#include "sshlib/core/MimeParser.h"

#include <strings.h>

#include <cstring>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/StringSearch.h"

bool MimeParser::getHeaderField(const char *header, const char *name, StringBuffer &out) {
  if (!header || !name) return false;
  StringBuffer key(name);
  key.appendChar(':');
  if (strncasecmp(header, key.getString(), static_cast<size_t>(key.getSize())) == 0) {
    getFieldValue(header, out);
    return true;
  }
  key.prepend("\n");
  const char *found = stristr(header, key.getString());
  if (!found) return false;
  getFieldValue(found + 1, out);
  return true;
}

void MimeParser::getFieldValue(const char *p, StringBuffer &out) {
  if (!p) return;
  const char *colon = std::strchr(p, ':');
  if (!colon) return;
  const char *start = colon + 1;
  if (*start == ' ') ++start;
  const char *q = start;
  while (*q) {
    if (*q == '\n' && q[1] != ' ' && q[1] != '\t') {
      ++q;
      break;
    }
    ++q;
  }
  // Handed over in pieces of at most 200 bytes.
  while (start < q) {
    int n = static_cast<int>(q - start);
    if (n > 200) n = 200;
    out.appendN(start, n);
    start += n;
  }
}

bool MimeParser::getEntireAfterHeader(const char *text, int length, DataBuffer &out) {
  if (!text || length < 5) return false;
  for (int i = 0;; ++i) {
    int left = length - i;
    if (left < 5) return false;
    // The header is text: a NUL before the blank line means there is no header to skip.
    if (text[i] == '\0') return false;
    if (text[i] == '\r' && text[i + 1] == '\n' && text[i + 2] == '\r' && text[i + 3] == '\n')
      return out.append(text + i + 4, static_cast<unsigned int>(left - 4));
  }
}
