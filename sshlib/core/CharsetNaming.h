#pragma once

#include "sshlib/core/StringBuffer.h"

// Translates between charset names ("utf-8", "shift_jis", "iso-8859-1" ...) and the Windows-style
// code page numbers that the conversion engine works with.
class CharsetNaming {
public:
  // The code page of a name in any accepted spelling (blanks around it, capitals and "_" for "-"
  // are allowed); 0 for null, too short or unknown names, and for names of charsets that the
  // conversion engine cannot convert.
  static int GetCodePage(const char *name);
  static bool CharsetValid(const char *name);
  // Clears out and appends the one name given back for the code page; false (out empty) when the
  // code page has none.
  static bool GetCharsetName(int codePage, StringBuffer &out);
};

// The charset setting a public object keeps: a code page and its name, set from either side.
class _ckCharset {
public:
  _ckCharset();
  virtual ~_ckCharset();

  void clear();
  int getCodePage() const { return m_codePage; }
  const char *getName() const;
  void setByCodePage(int codePage);
  void setByName(const char *name);

private:
  StringBuffer m_name;
  int m_codePage = 0;
};
