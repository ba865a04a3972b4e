#include "sshlib/core/ErrorLog.h"

#include <cstdio>
#include <cstring>

#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XmlText.h"

namespace {

void appendIndent(StringBuffer &out, int depth) {
  if (depth != 0) out.appendCharN(' ', 2 * depth);
}

// Writes a value into the XML rendering. The text is first cleared of bytes that XML cannot
// carry; then it is written raw when it is plain text (or carries its own, well-formed CDATA
// sections), and as a CDATA section otherwise.
void appendXmlValue(const char *value, StringBuffer &out) {
  StringBuffer clean;
  XmlText::appendSanitized(value, clean);
  const char *v = clean.getString();
  bool ownCData = std::strstr(v, "<![CDATA[") && std::strstr(v, "]]>");
  if (ownCData) {
    if (XmlText::isWellFormedContent(v))
      out.append(v);
    else
      XmlText::appendCData(v, out);
  } else if (LogEntry2::needsCData(v)) {
    XmlText::appendCData(v, out);
  } else {
    out.append(v);
  }
}

} // namespace

LogEntry2::LogEntry2() : m_children(nullptr), m_kind('I'), m_tag(nullptr), m_value(nullptr) {}

LogEntry2::~LogEntry2() {
  delete m_tag;
  m_tag = nullptr;
  delete m_value;
  m_value = nullptr;
  deleteChildren();
}

void LogEntry2::deleteChildren() {
  if (m_children) {
    m_children->removeAllObjects();
    delete m_children;
    m_children = nullptr;
  }
}

void LogEntry2::setLeaf(signed char kind, const char *text) {
  delete m_tag;
  m_tag = nullptr;
  delete m_value;
  m_value = new StringBuffer(text ? text : "");
  m_kind = kind;
}

void LogEntry2::SetInfo(const char *text) {
  setLeaf('I', text);
}
void LogEntry2::SetError(const char *text) {
  setLeaf('E', text);
}
void LogEntry2::SetXml(const char *text) {
  setLeaf('X', text);
}

void LogEntry2::SetMessage(const char *tag, const char *value) {
  delete m_tag;
  m_tag = new StringBuffer(tag ? tag : "");
  delete m_value;
  m_value = new StringBuffer(value ? value : "");
  m_kind = 'T';
}

void LogEntry2::OpenContext(const char *name) {
  deleteChildren();
  m_children = new ExtPtrArray();
  delete m_tag;
  m_tag = new StringBuffer(name ? name : "");
  delete m_value;
  m_value = nullptr;
  m_kind = 'C';
}

bool LogEntry2::AppendEntry(LogEntry2 *child) {
  if (!m_children || !child) return false;
  int before = m_children->getSize();
  m_children->append(child);
  return m_children->getSize() > before;
}

int LogEntry2::get_NumChildren() const {
  return m_children ? m_children->getSize() : 0;
}

void LogEntry2::CheckDeleteEmptyContext() {
  if (!m_children || m_children->getSize() == 0) return;
  LogEntry2 *last = static_cast<LogEntry2 *>(m_children->lastElement());
  if (last && last->m_kind == 'C' && last->get_NumChildren() == 0) {
    m_children->pop();
    delete last;
  }
}

bool LogEntry2::needsCData(const char *value) {
  if (!value) return false;
  if (std::strstr(value, "<![CDATA[") && std::strstr(value, "]]>")) return false;
  return std::strpbrk(value, "\n\t&><") != nullptr;
}

void LogEntry2::GetText(StringBuffer &out, int depth) const {
  switch (m_kind) {
  case 'E':
  case 'I':
  case 'X':
    if (m_value) {
      appendIndent(out, depth);
      out.append(m_value->getString());
      out.append("\r\n");
    }
    break;
  case 'T':
    if (m_value && m_tag) {
      appendIndent(out, depth);
      out.append(m_tag->getString());
      out.append(": ");
      out.append(m_value->getString());
      out.append("\r\n");
    }
    break;
  case 'C':
    if (m_children && m_tag) {
      appendIndent(out, depth);
      out.append(m_tag->getString());
      out.append(":\r\n");
      int n = m_children->getSize();
      for (int i = 0; i < n; ++i) {
        const LogEntry2 *child = static_cast<const LogEntry2 *>(m_children->elementAt(i));
        if (child) child->GetText(out, depth + 1);
      }
    }
    break;
  default:
    break;
  }
}

void LogEntry2::GetHtml(StringBuffer &out) const {
  switch (m_kind) {
  case 'E':
  case 'I':
  case 'X':
  case 'T':
    if (m_value && (m_kind != 'T' || m_tag)) {
      if (m_kind == 'T') {
        out.append(m_tag->getString());
        out.append(": ");
      }
      StringBuffer escaped(m_value->getString());
      escaped.replaceHTMLSpecial();
      out.append(escaped.getString());
      out.append("<br>\r\n");
    }
    break;
  case 'C':
    if (m_children && m_tag) {
      out.append(m_tag->getString());
      out.append(":<blockquote>\r\n");
      int n = m_children->getSize();
      for (int i = 0; i < n; ++i) {
        const LogEntry2 *child = static_cast<const LogEntry2 *>(m_children->elementAt(i));
        if (child) child->GetHtml(out);
      }
      out.append("</blockquote>\r\n");
    }
    break;
  default:
    break;
  }
}

void LogEntry2::GetXml(StringBuffer &out) const {
  switch (m_kind) {
  case 'E':
  case 'I':
    if (m_value) {
      const char *element = m_kind == 'E' ? "error" : "info";
      out.append("<");
      out.append(element);
      out.append(">");
      appendXmlValue(m_value->getString(), out);
      out.append("</");
      out.append(element);
      out.append(">\r\n");
    }
    break;
  case 'X':
    if (m_value) {
      // A raw fragment goes in unchanged when it is well-formed; otherwise it is kept as text so
      // that one bad fragment cannot spoil the whole rendering.
      StringBuffer clean;
      XmlText::appendSanitized(m_value->getString(), clean);
      if (XmlText::isWellFormedContent(clean.getString()))
        out.append(clean.getString());
      else
        XmlText::appendCData(clean.getString(), out);
      out.append("\r\n");
    }
    break;
  case 'T':
    if (m_value && m_tag) {
      out.append("<");
      XmlText::appendName(m_tag->getString(), out);
      out.append(">");
      appendXmlValue(m_value->getString(), out);
      out.append("</");
      XmlText::appendName(m_tag->getString(), out);
      out.append(">\r\n");
    }
    break;
  case 'C':
    if (m_children && m_tag) {
      out.append("<");
      XmlText::appendName(m_tag->getString(), out);
      out.append(">\r\n");
      int n = m_children->getSize();
      for (int i = 0; i < n; ++i) {
        const LogEntry2 *child = static_cast<const LogEntry2 *>(m_children->elementAt(i));
        if (child) child->GetXml(out);
      }
      out.append("</");
      XmlText::appendName(m_tag->getString(), out);
      out.append(">\r\n");
    }
    break;
  default:
    break;
  }
}

// ---------------------------------------------------------------------------------------------

ErrorLog::ErrorLog() {
  createRoot();
}

ErrorLog::~ErrorLog() {
  LogEntry2 *r = root();
  m_contextStack.removeAll();
  delete r;
}

void ErrorLog::createRoot() {
  LogEntry2 *r = new LogEntry2();
  r->OpenContext("RazudodLog");
  m_contextStack.append(r);
}

LogEntry2 *ErrorLog::root() const {
  return static_cast<LogEntry2 *>(m_contextStack.elementAt(0));
}

LogEntry2 *ErrorLog::current() const {
  return static_cast<LogEntry2 *>(m_contextStack.lastElement());
}

size_t ErrorLog::costOf(const LogEntry2 *e) {
  // The entry object, its two strings and its slot, roughly, besides the text.
  return 160 + (e->m_tag ? e->m_tag->getSize() : 0) + (e->m_value ? e->m_value->getSize() : 0);
}

int ErrorLog::indexIn(const LogEntry2 *parent, const LogEntry2 *child) {
  if (!parent || !parent->m_children) return -1;
  // An entry left out is the oldest of the unpinned ones, found right after the pinned ones.
  int n = parent->m_children->getSize();
  int from = parent->m_pinnedChildren < n ? parent->m_pinnedChildren : 0;
  for (int i = from; i < n; ++i)
    if (parent->m_children->elementAt(i) == child) return i;
  for (int i = 0; i < from; ++i)
    if (parent->m_children->elementAt(i) == child) return i;
  return -1;
}

bool ErrorLog::isOpen(const LogEntry2 *context) const {
  for (int i = m_contextStack.getSize() - 1; i >= 0; --i)
    if (m_contextStack.elementAt(i) == context) return true;
  return false;
}

void ErrorLog::updateGapMarker() {
  m_bytes -= costOf(m_gapMarker);
  char text[64];
  std::snprintf(text, sizeof text, "[%llu log entries left out]", m_leftOut);
  m_gapMarker->SetInfo(text);
  m_bytes += costOf(m_gapMarker);
}

void ErrorLog::leaveOut(LogEntry2 *leaf) {
  LogEntry2 *parent = leaf->m_parent;
  ++m_leftOut;
  if (!m_gapMarker) {
    // The first line left out becomes the line that counts them, in its place.
    int i = indexIn(parent, leaf);
    leaf->m_pinned = true;
    if (i == parent->m_pinnedChildren) ++parent->m_pinnedChildren;
    m_gapMarker = leaf;
    updateGapMarker();
    return;
  }
  int i = indexIn(parent, leaf);
  if (i >= 0) parent->m_children->removeAt(i);
  m_bytes -= costOf(leaf);
  --m_leaves;
  delete leaf;
  updateGapMarker();
  // A closed context left empty goes too, as it would have gone had it been empty when closed
  // (those directly under the root stay).
  LogEntry2 *c = parent;
  while (c && c->m_kind == 'C' && c->m_parent && c->m_parent != root() && !c->m_pinned &&
         c->get_NumChildren() == 0 && !isOpen(c)) {
    LogEntry2 *up = c->m_parent;
    int j = indexIn(up, c);
    if (j >= 0) up->m_children->removeAt(j);
    delete c;
    c = up;
  }
}

void ErrorLog::appendToCurrent(LogEntry2 *entry) {
  LogEntry2 *cur = current();
  if (!cur || !cur->AppendEntry(entry)) {
    delete entry;
    return;
  }
  entry->m_parent = cur;
  ++m_leaves;
  m_bytes += costOf(entry);
  if (!m_headFull && m_leaves <= kMaxLeaves / 2 && m_bytes <= kMaxBytes / 2) {
    entry->m_pinned = true;
    ++cur->m_pinnedChildren;
    return;
  }
  m_headFull = true;
  m_prunable.push_back(entry);
  while ((m_leaves > kMaxLeaves || m_bytes > kMaxBytes) && !m_prunable.empty()) {
    LogEntry2 *oldest = m_prunable.front();
    m_prunable.pop_front();
    leaveOut(oldest);
  }
}

void ErrorLog::OpenContext(const char *name) {
  LogEntry2 *entry = new LogEntry2();
  entry->OpenContext(name);
  LogEntry2 *cur = current();
  if (!cur || !cur->AppendEntry(entry)) {
    delete entry;
    return;
  }
  entry->m_parent = cur;
  if (!m_headFull) {
    entry->m_pinned = true;
    ++cur->m_pinnedChildren;
  }
  m_contextStack.append(entry);
}

void ErrorLog::CloseContext() {
  if (m_contextStack.getSize() > 1) m_contextStack.pop();
  if (m_contextStack.getSize() > 1) {
    LogEntry2 *cur = current();
    if (cur) {
      int before = cur->get_NumChildren();
      const LogEntry2 *last = cur->m_children
                                  ? static_cast<const LogEntry2 *>(cur->m_children->lastElement())
                                  : nullptr;
      bool pinned = last && last->m_pinned;
      cur->CheckDeleteEmptyContext();
      if (pinned && cur->get_NumChildren() < before) --cur->m_pinnedChildren;
    }
  }
}

void ErrorLog::LogData(const char *tag, const char *value) {
  LogEntry2 *entry = new LogEntry2();
  entry->SetMessage(tag, value);
  appendToCurrent(entry);
}

void ErrorLog::LogDataLong(const char *tag, int value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d", value);
  LogData(tag, buf);
}

void ErrorLog::LogInfo(const char *text) {
  LogEntry2 *entry = new LogEntry2();
  entry->SetInfo(text);
  appendToCurrent(entry);
}

void ErrorLog::LogError(const char *text) {
  LogEntry2 *entry = new LogEntry2();
  entry->SetError(text);
  appendToCurrent(entry);
}

void ErrorLog::LogXml(const char *text) {
  LogEntry2 *entry = new LogEntry2();
  entry->SetXml(text);
  appendToCurrent(entry);
}

void ErrorLog::resetBound() {
  m_prunable.clear();
  m_leaves = m_bytes = 0;
  m_headFull = false;
  m_leftOut = 0;
  m_gapMarker = nullptr;
}

void ErrorLog::ClearLog() {
  LogEntry2 *r = root();
  m_contextStack.removeAll();
  delete r;
  resetBound();
  createRoot();
}

void ErrorLog::GetText(StringBuffer &out) {
  if (LogEntry2 *r = root()) r->GetText(out, 0);
}

void ErrorLog::GetHtml(StringBuffer &out) {
  if (LogEntry2 *r = root()) r->GetHtml(out);
}

void ErrorLog::GetXml(StringBuffer &out) {
  if (LogEntry2 *r = root()) r->GetXml(out);
}
