// Writing a tree back out as XML text: CRLF line ends, four blanks per level (at most 50
// levels' worth), one element per line, text contents inline, the prolog in front of a root.
#include <cstring>
#include <vector>

#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TreeNode.h"

namespace {

void indent(StringBuffer &out, int level) {
  if (level <= 0) return;
  if (level > 50) level = 50;
  out.appendCharN(' ', level * 4);
}

// A complete character reference ("&#" digits ";" or "&#x" hex digits ";") starts at p.
bool isCharRef(const char *p, const char *end) {
  if (end - p < 4 || p[0] != '&' || p[1] != '#') return false;
  const char *q = p + 2;
  bool hex = false;
  if (*q == 'x') {
    hex = true;
    ++q;
  }
  const char *digits = q;
  while (q < end) {
    const char c = *q;
    const bool ok =
        (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!ok) break;
    ++q;
  }
  return q > digits && q < end && *q == ';';
}

// Appends [p, end) with the five markup characters escaped. With `toNul` the text ends at its
// first NUL. With `keepCharRefs` an ampersand that starts a complete character reference stays
// as it is.
void appendEscaped(StringBuffer &out, const char *p, const char *end, bool toNul,
                   bool keepCharRefs) {
  if (end <= p) return;
  if (toNul) {
    if (const void *nul = std::memchr(p, 0, static_cast<size_t>(end - p)))
      end = static_cast<const char *>(nul);
  }
  while (p < end) {
    const char *run = p;
    while (p < end && *p != '<' && *p != '>' && *p != '"' && *p != '\'' && *p != '&')
      ++p;
    if (p > run) out.appendN(run, static_cast<int>(p - run));
    if (p >= end) break;
    switch (*p) {
    case '<':
      out.append("&lt;");
      break;
    case '>':
      out.append("&gt;");
      break;
    case '"':
      out.append("&quot;");
      break;
    case '\'':
      out.append("&apos;");
      break;
    default:
      out.append(keepCharRefs && isCharRef(p, end) ? "&" : "&amp;");
      break;
    }
    ++p;
  }
}

} // namespace

void AttributeSet::appendAttrValue(StringBuffer &out, const char *text, int length) {
  if (text == nullptr) return;
  // A value holding a character reference keeps it as a reference; any other ampersand is
  // escaped, so the attribute stays well-formed.
  appendEscaped(out, text, text + length, true, true);
}

void AttributeSet::appendXml(StringBuffer &out) const {
  const int n = numAttributes();
  for (int i = 0; i < n; ++i) {
    const char *name, *value;
    int nl, vl;
    if (!getAttribute(i, name, nl, value, vl)) break;
    out.appendChar(' ');
    out.appendN(name, nl);
    out.append("=\"");
    appendAttrValue(out, value, vl);
    out.appendChar('"');
  }
}

bool TreeNode::outputContent(StringBuffer &out) const {
  if (m_content == nullptr || m_content->getSize() == 0) return false;
  const char *p = m_content->getString();
  const char *end = p + m_content->getSize();
  if (m_cdata) {
    // "]]>" cannot stand inside a section: it is split so that "]]" ends one section and ">"
    // begins the next, which reads back as the same text.
    out.append("<![CDATA[");
    const char *from = p;
    for (const char *hit = std::strstr(from, "]]>"); hit; hit = std::strstr(from, "]]>")) {
      out.appendN(from, static_cast<int>(hit - from) + 2);
      out.append("]]><![CDATA[");
      from = hit + 2;
    }
    out.appendN(from, static_cast<int>(end - from));
    out.append("]]>");
    return true;
  }
  appendEscaped(out, p, end, false, false);
  return true;
}

void TreeNode::appendStyleInfoToString(StringBuffer &out) {
  if (m_info == nullptr || m_info->m_styleSheets == nullptr) return;
  for (int i = 0; i < m_info->m_styleSheets->getSize(); ++i) {
    TreeNode *s = static_cast<TreeNode *>(m_info->m_styleSheets->elementAt(i));
    if (s == nullptr || s->m_attrs == nullptr || s->m_attrs->numAttributes() == 0) continue;
    out.append("<?xml-stylesheet");
    s->m_attrs->appendXml(out);
    out.append(" ?>\r\n");
  }
}

void TreeNode::writeProlog(StringBuffer &out, bool omitDecl) {
  if (!omitDecl && m_info->m_decl) {
    TreeNode *decl = m_info->m_decl;
    out.append("<?xml");
    if (decl->m_attrs && decl->m_attrs->numAttributes() > 0) {
      // standalone is written last.
      StringBuffer standalone;
      if (decl->m_attrs->getAttributeValue("standalone", standalone)) {
        decl->m_attrs->removeAttribute("standalone");
        decl->m_attrs->addAttribute("standalone", standalone.getString());
      }
      decl->m_attrs->appendXml(out);
    }
    out.append(" ?>\r\n");
  }
  appendStyleInfoToString(out);
  if (m_info->m_docType && m_info->m_docType->getSize() > 0) {
    out.append(*m_info->m_docType);
    out.append("\r\n");
  }
  if (m_info->m_processing && m_info->m_processing->getSize() > 0) {
    out.append(*m_info->m_processing);
    out.append("\r\n");
  }
}

bool TreeNode::openTag(StringBuffer &out, int level) {
  indent(out, level);
  out.appendChar('<');
  const char *tag = getTag();
  out.append(*tag ? tag : "nothing");
  if (m_attrs) m_attrs->appendXml(out);
  if (!hasContent() && getNumChildren() == 0) {
    out.append(" />\r\n");
    return true;
  }
  out.appendChar('>');
  return false;
}

void TreeNode::closeTag(StringBuffer &out, int level) {
  indent(out, level);
  out.append("</");
  const char *tag = getTag();
  out.append(*tag ? tag : "nothing");
  out.append(">\r\n");
}

void TreeNode::writeStartOfNode(StringBuffer &out, int index, int level, bool omitDecl,
                                bool &complete) {
  if (m_info->m_root == this) writeProlog(out, omitDecl);
  if (index == 0) out.append("\r\n");
  complete = openTag(out, level);
  if (!complete) outputContent(out);
}

void TreeNode::writeEndOfNode(StringBuffer &out, int level) {
  if (getNumChildren() > 0 || out.lastChar() == '\n')
    closeTag(out, level);
  else
    closeTag(out, 0);
}

void TreeNode::createXML(StringBuffer &out, int index, int level, bool omitDecl) {
  if (m_info == nullptr || m_marker != MarkerAlive) return;

  // Depth-first with an explicit stack: a frame is a node, its level and the next child to write.
  struct Frame {
    TreeNode *node;
    int level;
    int nextChild;
  };
  std::vector<Frame> stack;
  bool complete = false;
  writeStartOfNode(out, index, level, omitDecl, complete);
  if (complete) return;
  stack.push_back({this, level, 0});
  while (!stack.empty()) {
    Frame &f = stack.back();
    if (f.nextChild < f.node->getNumChildren()) {
      const int childIndex = f.nextChild++;
      TreeNode *child = f.node->getChild(childIndex);
      const int childLevel = f.level + 1;
      if (child == nullptr || child->m_info == nullptr) continue;
      child->writeStartOfNode(out, childIndex, childLevel, false, complete);
      if (!complete) stack.push_back({child, childLevel, 0});
      continue;
    }
    f.node->writeEndOfNode(out, f.level);
    stack.pop_back();
  }
}
