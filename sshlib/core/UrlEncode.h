#pragma once

class StringBuffer;
class DataBuffer;

// URL (form) encoding: letters and digits as they are, a space as "+", every other byte as "%XX".
class UrlEncode {
public:
  static void urlEncode(const DataBuffer &in, StringBuffer &out);
  static void urlEncode2(const unsigned char *p, unsigned int n, StringBuffer &out);
  // Appends the decoded bytes.
  static void urlDecode(const StringBuffer &in, DataBuffer &out);
};
