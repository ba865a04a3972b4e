// Text a peer sent (an identification line, a disconnect reason, a proxy's answer), made safe for
// one log line: line ends and other control bytes become escapes, so a peer cannot forge lines.
#pragma once

class LogBase;
class StringBuffer;

// Appends the text with its line ends, control bytes, non-ASCII bytes and backslashes escaped.
void appendPeerText(StringBuffer &out, const char *p, unsigned int n);
void logPeerText(LogBase &log, const char *tag, const char *p, unsigned int n);
void logPeerText(LogBase &log, const char *tag, const StringBuffer &s);
void logPeerText(LogBase &log, const char *tag, const char *text);
