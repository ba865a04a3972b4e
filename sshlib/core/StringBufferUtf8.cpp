// The one StringBuffer edit that must understand UTF-8: replacing a character in a text that is
// not plain ASCII goes through XString, which knows the character boundaries.
#include "sshlib/core/StringBuffer.h"

#include "sshlib/core/XString.h"

#include <cstring>

void StringBuffer::replaceCharUtf8(char from, char to) {
  check();
  if (m_length == 0 || !std::memchr(m_str, from, static_cast<size_t>(m_length))) return;
  if (is7bit(0)) {
    replaceCharAnsi(from, to);
    return;
  }
  // Reading the text as UTF-8 drops a leading byte-order mark; the text keeps it.
  static const char kBom[] = "\xEF\xBB\xBF";
  bool bom = beginsWith(kBom);
  XString x;
  x.setFromUtf8(m_str);
  x.replaceChar(from, to);
  setString(x.getUtf8());
  if (bom) prepend(kBom);
}
