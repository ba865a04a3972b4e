// Shared by the XML tree, parser and writer tests: parsing helpers, a canonical dump of a tree in
// the form of libxml2's canonical output, a generator of random well-formed documents and
// xmllint as the oracle.
#pragma once

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TreeNode.h"
#include "tests/sshlib/core/ExternalTool.h"

namespace xmltest {

struct TreeDeleter {
  void operator()(TreeNode *n) const { delete n; }
};
using TreePtr = std::unique_ptr<TreeNode, TreeDeleter>;

inline TreePtr parse(const std::string &text, bool trim = false, LogBase *log = nullptr) {
  StringBuffer sb(text.c_str());
  TreeNode *root = nullptr;
  TreeNode::customParseString(sb, log, nullptr, &root, trim);
  return TreePtr(root);
}

inline std::string serialise(TreeNode *n) {
  StringBuffer out;
  n->createXML(out, 0, 0, false);
  return std::string(out.getString(), static_cast<size_t>(out.getSize()));
}

// Text or an attribute value escaped as libxml2's canonical output escapes them.
inline std::string c14nEscape(const std::string &s, bool attribute) {
  std::string o;
  for (char c : s) {
    if (c == '&')
      o += "&amp;";
    else if (c == '<')
      o += "&lt;";
    else if (c == '\r')
      o += "&#xD;";
    else if (!attribute && c == '>')
      o += "&gt;";
    else if (attribute && c == '"')
      o += "&quot;";
    else if (attribute && c == '\t')
      o += "&#x9;";
    else if (attribute && c == '\n')
      o += "&#xA;";
    else
      o += c;
  }
  return o;
}

// The tree in canonical form (attributes sorted, empty elements as start and end tag, the content
// in front of the children), iteratively.
inline std::string canonical(TreeNode *root) {
  std::string out;
  struct Frame {
    TreeNode *n;
    int next;
  };
  std::vector<Frame> stack;
  auto open = [&out](TreeNode *n) {
    out += "<";
    out += n->getTag();
    std::vector<std::pair<std::string, std::string>> attrs;
    if (AttributeSet *a = n->getAttributeSet()) {
      for (int i = 0; i < a->numAttributes(); ++i) {
        const char *nm, *v;
        int nl, vl;
        a->getAttribute(i, nm, nl, v, vl);
        attrs.emplace_back(std::string(nm, nl), std::string(v, vl));
      }
    }
    std::sort(attrs.begin(), attrs.end());
    for (auto &kv : attrs)
      out += " " + kv.first + "=\"" + c14nEscape(kv.second, true) + "\"";
    out += ">";
    out += c14nEscape(n->getContent(), false);
  };
  open(root);
  stack.push_back({root, 0});
  while (!stack.empty()) {
    Frame &f = stack.back();
    if (f.next < f.n->getNumChildren()) {
      TreeNode *c = f.n->getChild(f.next++);
      open(c);
      stack.push_back({c, 0});
    } else {
      out += "</";
      out += f.n->getTag();
      out += ">";
      stack.pop_back();
    }
  }
  return out;
}

// libxml2's canonical form of a document, with blank text between elements dropped.
inline std::string xmllintCanonical(const std::string &doc, int *status = nullptr) {
  return externaltool::filter("xmllint --noblanks --c14n -", doc, status);
}

// 0 when xmllint accepts the document as well-formed.
inline int xmllintCheck(const std::string &doc) {
  int status = -1;
  externaltool::filter("xmllint --noout -", doc, &status);
  return status;
}

// Random well-formed documents without mixed content: leaf elements hold text (never blank
// alone, never ending with a line end), inner elements hold only elements.
class DocGen {
public:
  explicit DocGen(unsigned seed) : m_rng(seed) {}

  std::string document(bool pretty) {
    std::string d;
    if (pick(2)) d += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    element(d, 0, pretty);
    d += "\n";
    return d;
  }

private:
  int pick(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }

  std::string name() {
    static const char *first = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
    static const char *rest = "abcdefghijklmnopqrstuvwxyz0123456789-._";
    std::string s(1, first[pick(53)]);
    const int n = pick(6);
    for (int i = 0; i < n; ++i)
      s += rest[pick(39)];
    return s;
  }

  // One character of text or attribute value, escaped as needed for the document.
  void textChar(std::string &raw, std::string &escaped, bool attr, char quote) {
    static const char *plain[] = {"a", "Z", "0", " ", "-", "é", "€", "日", "\t", ";", "#", "]"};
    switch (pick(14)) {
    case 0:
      raw += "&";
      escaped += "&amp;";
      return;
    case 1:
      raw += "<";
      escaped += "&lt;";
      return;
    case 2:
      raw += ">";
      escaped += (attr && pick(2)) ? ">" : "&gt;";
      return;
    case 3:
      raw += "\"";
      escaped += (attr && quote == '"') || pick(2) ? "&quot;" : "\"";
      return;
    case 4:
      raw += "'";
      escaped += (attr && quote == '\'') || pick(2) ? "&apos;" : "'";
      return;
    case 5:
      raw += "&lt;";
      escaped += "&amp;lt;";
      return;
    default: {
      const char *c = plain[pick(12)];
      if (attr && *c == '\t') c = "x";
      raw += c;
      escaped += c;
    }
    }
  }

  void element(std::string &d, int depth, bool pretty) {
    const std::string tag = name();
    if (pretty) d += std::string(static_cast<size_t>(depth) * 2, ' ');
    d += "<" + tag;
    std::vector<std::string> used;
    const int nattr = pick(4);
    for (int i = 0; i < nattr; ++i) {
      std::string an = name();
      if (std::find(used.begin(), used.end(), an) != used.end()) continue;
      used.push_back(an);
      const char q = pick(2) ? '"' : '\'';
      std::string raw, esc;
      const int len = pick(8);
      for (int k = 0; k < len; ++k)
        textChar(raw, esc, true, q);
      d += " " + an + "=" + q + esc + q;
    }
    const int kind = depth >= 6 ? pick(2) : pick(4);
    if (kind == 0) {
      d += pick(2) ? "/>" : "></" + tag + ">";
    } else if (kind == 1) {
      d += ">";
      if (pick(5) == 0) {
        d += "<![CDATA[";
        const int len = 1 + pick(10);
        for (int k = 0; k < len; ++k)
          d += "ab<&>\"' ]x"[pick(10)];
        d += "x]]>";
      } else {
        std::string raw, esc = "x";
        const int len = pick(12);
        for (int k = 0; k < len; ++k)
          textChar(raw, esc, false, 0);
        d += esc + "y";
      }
      d += "</" + tag + ">";
    } else {
      d += ">";
      if (pretty) d += "\n";
      const int n = 1 + pick(4);
      for (int i = 0; i < n; ++i) {
        element(d, depth + 1, pretty);
        if (pretty) d += "\n";
      }
      if (pretty) d += std::string(static_cast<size_t>(depth) * 2, ' ');
      d += "</" + tag + ">";
    }
  }

  std::mt19937 m_rng;
};

} // namespace xmltest
