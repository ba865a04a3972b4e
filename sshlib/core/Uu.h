#pragma once

class StringBuffer;
class DataBuffer;

// uuencode and uudecode.
class Uu {
public:
  Uu();
  virtual ~Uu();

  // Appends "begin <mode> <name>", the data lines, a grave-accent line and "end" (CR LF lines);
  // nothing for empty data. An empty mode is "644", an empty name "file.dat".
  void uu_encode(const DataBuffer &data, const char *mode, const char *fileName,
                 StringBuffer &out) const;
  // Decodes the first "begin" block of text: the bytes are appended to data, the octal mode and
  // the file name replace the contents of mode and fileName. False without a begin line or mode.
  bool uu_decode2aa(const char *text, DataBuffer &data, StringBuffer &mode,
                    StringBuffer &fileName) const;

  // Copies one line (CR removed, cut at LF) into line; the text after it, or null when there is
  // no text.
  static const char *getLine(const char *text, StringBuffer &line);
  // Finds the first line that begins with "begin " (any case): the text after it, or null.
  static const char *getBegin(const char *text, StringBuffer &line);
};
