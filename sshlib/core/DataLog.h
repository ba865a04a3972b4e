// Printable rendering of bytes for log lines.
#pragma once

class DataBuffer;
class XString;

class DataLog {
public:
  // Appends the bytes with C-style escapes, breaking lines (CR LF TAB) when the column count
  // reaches the width and after every line feed.
  static void toEscapedString(const DataBuffer &data, XString &out, int width);
};
