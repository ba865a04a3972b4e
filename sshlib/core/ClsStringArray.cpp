#include "sshlib/core/ClsStringArray.h"

#include "sshlib/core/RazudodObject.h"

ClsStringArray::ClsStringArray() : m_hash(new HashMap(499)) {}

ClsStringArray::~ClsStringArray() {
  m_list.removeAllObjects();
  delete m_hash;
}

void ClsStringArray::ensureHash() {
  if (!m_hash) m_hash = new HashMap(499);
}

RazudodObject *ClsStringArray::findStringByHash(StringBuffer &sb) {
  if (!m_hash) return nullptr;
  if (sb.getCP() == 1) {
    StringBuffer utf8(sb);
    utf8.cvAnsiToUtf8();
    return m_hash->hashLookup(utf8);
  }
  return m_hash->hashLookup(sb);
}

void ClsStringArray::prepareString(StringBuffer &sb) {
  if (m_trim) sb.trim2();
  if (m_crlf)
    sb.toCRLF();
  else
    sb.toLF();
}

bool ClsStringArray::Append2(StringBuffer *sb) {
  if (!sb) return false;
  prepareString(*sb);
  sb->minimizeMemoryUsage();
  if (!m_countTracking) return m_list.append(sb);
  ensureHash();
  RazudodInt *count = static_cast<RazudodInt *>(findStringByHash(*sb));
  if (!count) {
    m_hash->hashInsert(*sb, new RazudodInt(1));
  } else if (m_unique) {
    delete sb;
    return true;
  } else {
    ++count->m_value;
  }
  return m_list.append(sb);
}

bool ClsStringArray::AppendUtf8(const char *s) {
  StringBuffer *sb = new StringBuffer(s ? s : "");
  sb->putCP(2);
  return Append2(sb);
}

void ClsStringArray::SplitAndAppend(XString &text, XString &boundary) {
  ExtPtrArray parts;
  parts.m_bOwnsObjects = true;
  text.getUtf8Sb().splitUsingBoundary(boundary.getUtf8Sb(), parts, 0);
  for (int i = 0; i < parts.getSize(); ++i)
    AppendUtf8(parts.sbAt(i)->getString());
  parts.removeAllObjects();
}

void ClsStringArray::LoadFromText(XString &text) {
  StringBuffer all(text.getUtf8());
  all.removeCharOccurances('\r');
  ExtPtrArray parts;
  all.split(parts, '\n', false, false);
  // A large first load sizes the index to its lines, so that buckets stay short.
  if (m_list.getSize() == 0 && parts.getSize() > 500) {
    delete m_hash;
    m_hash = new HashMap(parts.getSize() + 32);
  }
  for (int i = 0; i < parts.getSize(); ++i) {
    StringBuffer *sb = parts.sbAt(i);
    if (m_trim) sb->trim2();
    sb->putCP(2);
    Append2(sb);
  }
  parts.removeAll();
}

bool ClsStringArray::Contains(XString &s) {
  return m_hash && m_hash->hashLookup(s.getUtf8Sb()) != nullptr;
}

void ClsStringArray::ToDelimitedString(const char *delim, XString &out) {
  out.clear();
  for (int i = 0; i < m_list.getSize(); ++i) {
    if (i) out.appendAnsi(delim);
    StringBuffer *sb = m_list.sbAt(i);
    if (sb->getCP() == 2)
      out.appendUtf8(sb->getString());
    else
      out.appendAnsi(sb->getString());
  }
}
