// Reading RFC 822 style header blocks: one named field's value, and everything after the blank
// line that ends the header.
#pragma once

class DataBuffer;
class StringBuffer;

class MimeParser {
public:
  // Appends the value of the first field with that name (case ignored); false when the header or
  // the name is null or the field is absent (the output is then unchanged).
  static bool getHeaderField(const char *header, const char *name, StringBuffer &out);
  // Appends the value of the field line the pointer is in or before: from after its ":" (and one
  // blank) up to and including the line end, with folded continuation lines.
  static void getFieldValue(const char *p, StringBuffer &out);
  // Appends the bytes after the first CR LF CR LF; false when there is none, when it is in the
  // last four bytes, or when a NUL byte comes first.
  static bool getEntireAfterHeader(const char *text, int length, DataBuffer &out);
};
