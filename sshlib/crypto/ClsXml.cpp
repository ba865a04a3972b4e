#include "sshlib/crypto/ClsXml.h"

#include <cstdio>
#include <cstring>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/RazudodDeflate.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TreeNode.h"
#include "sshlib/core/XString.h"
#include "sshlib/crypto/AesCrypt.h"

namespace {

int readInt(const char *s) {
  int v = 0;
  if (s == nullptr || std::sscanf(s, "%d", &v) != 1) return 0;
  return v;
}

bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Standard Base64 with white space anywhere: alphabet characters, then at most two "=" at the
// end, and a length that whole groups can account for.
bool isValidBase64(const char *s, int n) {
  int data = 0, pad = 0;
  for (int i = 0; i < n; ++i) {
    const char c = s[i];
    if (isWhite(c)) continue;
    if (c == '=') {
      if (++pad > 2) return false;
      continue;
    }
    if (pad > 0 || !isBase64Char(c)) return false;
    ++data;
  }
  if (data % 4 == 1) return false;
  if (pad > 0 && (data + pad) % 4 != 0) return false;
  return true;
}

} // namespace

ClsXml::ClsXml() {
  newEmptyTree();
}

ClsXml::~ClsXml() {
  enterCriticalSection();
  removeTree();
  leaveCriticalSection();
}

bool ClsXml::hasLiveNode() const {
  return m_node != nullptr && m_node->getTreeInfo() != nullptr;
}

void ClsXml::newEmptyTree() {
  m_node = TreeNode::createRoot("unnamed");
  if (m_node) m_node->incTreeRefCount();
}

void ClsXml::removeTree() {
  if (hasLiveNode()) {
    m_node->decTreeRefCount();
    if (m_node->getTreeRefCount() == 0) m_node->deleteTree();
  }
  m_node = nullptr;
}

void ClsXml::moveTo(TreeNode *node) {
  if (node == nullptr || node == m_node) return;
  node->incTreeRefCount();
  TreeNode *old = m_node;
  m_node = node;
  if (old && old->getTreeInfo()) {
    old->decTreeRefCount();
    if (old->getTreeRefCount() == 0) old->deleteTree();
  }
}

void ClsXml::takeNewRoot(TreeNode *root) {
  removeTree();
  m_node = root;
  m_node->incTreeRefCount();
}

ClsXml *ClsXml::createNode(TreeNode *node, int) {
  ClsXml *x = new ClsXml();
  if (node && node->getTreeInfo()) {
    x->removeTree();
    x->m_node = node;
    node->incTreeRefCount();
  }
  return x;
}

// ---------------------------------------------------------------------------------------------
// Loading

bool ClsXml::LoadXmlUtf8(const char *text, bool trim) {
  if (text && std::strchr(text, '<') == nullptr) {
    StringBuffer t(text);
    t.trim2();
    if (t.getSize() < 100 && t.endsWithIgnoreCase(".xml")) return LoadXmlFileUtf8(text, trim);
  }
  enterCriticalSection();
  m_log.ClearLog();
  m_log.EnterContext("LoadXml", true);
  StringBuffer sb(text ? text : "");
  TreeNode *root = nullptr;
  bool ok = TreeNode::customParseString(sb, &m_log, nullptr, &root, trim);
  // A text that holds no element gives no tree: the object keeps its document.
  if (ok && root == nullptr) {
    m_log.LogError("No XML element found.");
    ok = false;
  }
  if (ok) takeNewRoot(root);
  m_log.LeaveContext();
  leaveCriticalSection();
  return ok;
}

bool ClsXml::LoadXmlFileUtf8(const char *path, bool trim) {
  enterCriticalSection();
  m_log.ClearLog();
  m_log.EnterContext("LoadXmlFile", true);
  m_log.LogData("filename", path ? path : "");
  const bool ok = loadXmlFileUtf8(path, trim, m_log);
  logSuccessFailure(ok);
  m_log.LeaveContext();
  leaveCriticalSection();
  return ok;
}

bool ClsXml::loadXmlFileUtf8(const char *path, bool trim, LogBase &log) {
  StringBuffer p(path ? path : "");
  p.trim2();
  TreeNode *root = nullptr;
  bool ok = TreeNode::customParseFile(p.getString(), &log, nullptr, &root, trim);
  if (ok && root == nullptr) {
    log.LogError("No XML element found.");
    ok = false;
  }
  if (ok) takeNewRoot(root);
  return ok;
}

bool ClsXml::Clear() {
  if (!hasLiveNode()) return false;
  enterCriticalSection();
  removeTree();
  newEmptyTree();
  leaveCriticalSection();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Cursor

bool ClsXml::FirstChild2() {
  if (!hasLiveNode()) return false;
  TreeNode *n = m_node->getFirstChild();
  if (n == nullptr) return false;
  moveTo(n);
  return true;
}

bool ClsXml::NextSibling2() {
  if (!hasLiveNode()) return false;
  TreeNode *n = m_node->getNextSibling();
  if (n == nullptr) return false;
  moveTo(n);
  return true;
}

bool ClsXml::GetParent2() {
  if (!hasLiveNode()) return false;
  TreeNode *n = m_node->getParent();
  if (n == nullptr) return false;
  moveTo(n);
  return true;
}

bool ClsXml::GetChild2(int index) {
  if (!hasLiveNode()) return false;
  TreeNode *n = m_node->getChild(index);
  if (n == nullptr) return false;
  moveTo(n);
  return true;
}

void ClsXml::GetRoot2() {
  if (!hasLiveNode()) return;
  TreeNode *root = m_node->getRoot();
  if (root && root != m_node) moveTo(root);
}

ClsXml *ClsXml::GetSelf() {
  if (!hasLiveNode()) return nullptr;
  enterCriticalSection();
  ClsXml *x = createNode(m_node, 0);
  leaveCriticalSection();
  return x;
}

ClsXml *ClsXml::GetChild(int index) {
  if (!hasLiveNode()) return nullptr;
  enterCriticalSection();
  TreeNode *n = m_node->getChild(index);
  ClsXml *x = n ? createNode(n, 0) : nullptr;
  leaveCriticalSection();
  return x;
}

// ---------------------------------------------------------------------------------------------
// Reading

const char *ClsXml::get_Content() {
  if (!hasLiveNode()) return "";
  return m_node->getContent();
}

bool ClsXml::get_Content(StringBuffer &out) {
  if (!hasLiveNode()) return false;
  if (m_node->hasContent()) out.setString(m_node->getContent());
  return true;
}

int ClsXml::get_ContentI() const {
  return hasLiveNode() ? m_node->getContentIntValue() : 0;
}

int ClsXml::get_ContentSize() const {
  return hasLiveNode() ? m_node->getContentSize() : 0;
}

int ClsXml::get_NumChildren() {
  return hasLiveNode() ? m_node->getNumChildren() : 0;
}

bool ClsXml::GetChildContent(const char *tag, StringBuffer &out) {
  if (!hasLiveNode()) return false;
  out.clear();
  TreeNode *c = m_node->getNthChildWithTag(0, tag ? tag : "");
  if (c == nullptr) return false;
  out.append(c->getContent());
  return true;
}

int ClsXml::GetAttrValueI(const char *name) {
  if (!hasLiveNode() || name == nullptr) return 0;
  StringBuffer n(name);
  n.trim2();
  StringBuffer v;
  if (!m_node->getAttributeValue(n.getString(), v)) return 0;
  return readInt(v.getString());
}

bool ClsXml::HasAttrWithValue(const char *name, const char *value) {
  if (!hasLiveNode() || name == nullptr) return false;
  StringBuffer n(name);
  n.trim2();
  return m_node->hasAttributeWithValue(n.getString(), value);
}

bool ClsXml::TagEquals(const char *text) {
  if (!hasLiveNode()) return false;
  return std::strcmp(m_node->getTag(), text ? text : "") == 0;
}

bool ClsXml::ContentEquals(const char *text) {
  if (!hasLiveNode()) return false;
  return std::strcmp(m_node->getContent(), text ? text : "") == 0;
}

bool ClsXml::ChildContentEquals(const char *tag, const char *content) {
  if (!hasLiveNode()) return false;
  StringBuffer t(tag ? tag : "");
  t.trim2();
  TreeNode *c = m_node->getChild(t.getString(), nullptr);
  if (c == nullptr) return false;
  return std::strcmp(c->getContent(), content ? content : "") == 0;
}

bool ClsXml::GetXml(StringBuffer &out) {
  if (!hasLiveNode()) return false;
  enterCriticalSection();
  out.clear();
  m_node->createXML(out, 0, 0, false);
  leaveCriticalSection();
  return true;
}

void ClsXml::accumulateBase64Content(DataBuffer &out, ExtPtrArray *parts) {
  if (!hasLiveNode()) return;
  m_node->accumulateBase64Content(out, parts);
}

bool ClsXml::GetBinaryContent(DataBuffer &out, bool unzip, bool decrypt, const char *password) {
  if (!hasLiveNode()) return false;
  if (!m_node->hasContent()) return true;
  m_log.ClearLog();
  m_log.EnterContext("GetBinaryContent", true);
  StringBuffer content(m_node->getContent());
  out.clear();
  bool ok = true;
  if (!isValidBase64(content.getString(), content.getSize())) {
    m_log.LogError("The content is not valid Base64.");
    ok = false;
  } else {
    ContentCoding cc;
    ok = cc.decodeBase64ToDb(content.getString(), content.getSize(), out);
    if (!ok) m_log.LogError("Failed to decode the Base64 content.");
  }
  if (ok && decrypt) {
    AesCrypt aes;
    aes.setPassPhrase(password);
    DataBuffer plain;
    ok = aes.decrypt(out, plain, m_log);
    out.takeData(plain);
  }
  if (ok && unzip) {
    RazudodDeflate deflate;
    DataBuffer inflated;
    ok = deflate.Decompress(out, inflated, m_log, nullptr);
    out.takeData(inflated);
  }
  // A failed step leaves nothing that could pass for the content.
  if (!ok) out.clear();
  m_log.LeaveContext();
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Paths

bool ClsXml::RazudodPath(XString &path, XString &result) {
  enterCriticalSection();
  m_log.ClearLog();
  m_log.EnterContext("RazudodPath", true);
  const bool ok = razudodPath(path.getUtf8(), result, m_log);
  m_log.LeaveContext();
  leaveCriticalSection();
  return ok;
}

bool ClsXml::razudodPath(const char *path, XString &result, LogBase &log) {
  result.clear();
  if (!hasLiveNode() || path == nullptr) return false;
  TreeNode *walk = m_node;

  const char *p = path;
  for (const char *bar = std::strchr(p, '|'); bar; bar = std::strchr(p, '|')) {
    StringBuffer step;
    step.appendN(p, static_cast<int>(bar - p));
    p = bar + 1;
    const char *s = step.getString();
    TreeNode *next = nullptr;
    if (step.getSize() == 0) {
      continue;
    } else if (step.equals("..")) {
      next = walk->getParent();
    } else if (step.beginsWith("/T/")) {
      next = walk->searchForTag(nullptr, s + 3);
    } else if (step.beginsWith("/C/")) {
      StringBuffer tag, content;
      const char *rest = s + 3;
      const char *comma = std::strchr(rest, ',');
      if (comma) {
        tag.appendN(rest, static_cast<int>(comma - rest));
        content.append(comma + 1);
      } else {
        tag.append(rest);
      }
      next = walk->searchForMatchingNode(nullptr, tag.getString(), content.getString());
    } else if (step.beginsWith("/A/")) {
      const char *rest = s + 3;
      const char *c1 = std::strchr(rest, ',');
      const char *c2 = c1 ? std::strchr(c1 + 1, ',') : nullptr;
      if (c2 == nullptr) {
        log.LogData("InvalidCmd", s);
        return false;
      }
      StringBuffer tag, name;
      tag.appendN(rest, static_cast<int>(c1 - rest));
      name.appendN(c1 + 1, static_cast<int>(c2 - c1 - 1));
      next = walk->searchForAttribute(nullptr, tag.getString(), name.getString(), c2 + 1);
    } else if (const char *br = std::strchr(s, '[')) {
      int n = 0;
      StringBuffer tag;
      if (std::sscanf(br + 1, "%d", &n) == 1) {
        tag.appendN(s, static_cast<int>(br - s));
      } else {
        n = 0;
        tag.append(s);
      }
      next = walk->getNthChildWithTag(n, tag.getString());
    } else if (const char *brace = std::strchr(s, '{')) {
      // "tag{content}": the first child with that content, and with that tag when one is given.
      const char *close = std::strchr(brace + 1, '}');
      if (close == nullptr) {
        log.LogData("InvalidCmd", s);
        return false;
      }
      StringBuffer tag, content;
      tag.appendN(s, static_cast<int>(brace - s));
      content.appendN(brace + 1, static_cast<int>(close - brace - 1));
      for (int i = 0; i < walk->getNumChildren() && next == nullptr; ++i) {
        TreeNode *c = walk->getChild(i);
        if (std::strcmp(c->getContent(), content.getString()) != 0) continue;
        if (tag.getSize() > 0 && std::strcmp(c->getTag(), tag.getString()) != 0) continue;
        next = c;
      }
    } else {
      next = walk->getNthChildWithTag(0, s);
    }
    if (next == nullptr) return false;
    walk = next;
  }

  // The final command.
  switch (*p) {
  case '\0':
    return true;
  case '*':
    result.appendUtf8(walk->getContent());
    return true;
  case '$':
    moveTo(walk);
    return true;
  case '(': {
    StringBuffer name;
    const char *close = std::strchr(p + 1, ')');
    if (close)
      name.appendN(p + 1, static_cast<int>(close - p - 1));
    else
      name.append(p + 1);
    StringBuffer value;
    if (!walk->getAttributeValue(name.getString(), value)) return false;
    result.appendUtf8(value.getString());
    return true;
  }
  default:
    return false;
  }
}
