#include "sshlib/ssh/PeerText.h"

#include <cstring>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"

void appendPeerText(StringBuffer &out, const char *p, unsigned int n) {
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned int i = 0; i < n; ++i) {
    unsigned char c = (unsigned char)p[i];
    if (c == '\r')
      out.append("\\r");
    else if (c == '\n')
      out.append("\\n");
    else if (c >= 0x20 && c < 0x7f && c != '\\')
      out.appendChar((char)c);
    else {
      char e[5] = {'\\', 'x', hex[c >> 4], hex[c & 15], 0};
      out.append(e);
    }
  }
}

void logPeerText(LogBase &log, const char *tag, const char *p, unsigned int n) {
  StringBuffer out;
  appendPeerText(out, p, n);
  log.LogData(tag, out.getString());
}

void logPeerText(LogBase &log, const char *tag, const StringBuffer &s) {
  logPeerText(log, tag, s.getString(), (unsigned int)s.getSize());
}

void logPeerText(LogBase &log, const char *tag, const char *text) {
  logPeerText(log, tag, text ? text : "", text ? (unsigned int)std::strlen(text) : 0);
}
