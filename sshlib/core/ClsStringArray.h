// An ordered list of strings with a hash index of their occurrence counts beside it: name lists
// from an SSH peer (split, tested with Contains), delimited joins for the log, and the lines of a
// key file.
#pragma once

#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/HashMap.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/StringConsumer.h"
#include "sshlib/core/XString.h"

class ClsStringArray : public StringConsumer, public RazudodObject {
public:
  ClsStringArray();
  ~ClsStringArray() override;
  ClsStringArray(const ClsStringArray &) = delete;
  ClsStringArray &operator=(const ClsStringArray &) = delete;

  // Takes ownership; null does nothing.
  bool Append2(StringBuffer *sb);
  bool AppendUtf8(const char *s);
  void SplitAndAppend(XString &text, XString &boundary);
  void LoadFromText(XString &text);
  bool Contains(XString &s);
  StringBuffer *GetSb(int index) const { return m_list.sbAt(index); }
  int get_Count() const { return m_list.getSize(); }
  void ToDelimitedString(const char *delim, XString &out);

  void ensureHash();
  RazudodObject *findStringByHash(StringBuffer &sb);
  void prepareString(StringBuffer &sb);
  int hashBuckets() const { return m_hash ? m_hash->getNumBuckets() : 0; }

  bool m_countTracking = true;
  bool m_unique = false;
  bool m_trim = false;
  bool m_crlf = true;

private:
  ExtPtrArray m_list;
  HashMap *m_hash = nullptr;
};
