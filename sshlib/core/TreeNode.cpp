#include "sshlib/core/TreeNode.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/ExtIntArray.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/StringPair.h"
#include "sshlib/core/StringSearch.h"
#include "sshlib/core/XString.h"
#include "sshlib/core/ckQueue.h"

namespace {

bool isEmptyText(const char *s) {
  return s == nullptr || *s == '\0';
}

// The bytes StringBuffer::removeInvalidXmlTagChars keeps.
bool isXmlTagByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == ':' || c == '!' || c >= 0x80;
}

bool isValidXmlTagText(const char *s) {
  for (; *s; ++s)
    if (!isXmlTagByte(static_cast<unsigned char>(*s))) return false;
  return true;
}

// The text read as by "%d"; 0 when it does not begin with a number.
int readInt(const char *s) {
  int v = 0;
  if (s == nullptr || std::sscanf(s, "%d", &v) != 1) return 0;
  return v;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TreeInfo

std::atomic<unsigned int> TreeInfo::NextTreeID{0};

TreeInfo::TreeInfo() : m_marker(0xCE), m_styleSheets(new ExtPtrArray()), m_treeId(NextTreeID++) {}

TreeInfo::~TreeInfo() {
  m_marker = 0x31;
  delete m_docType;
  m_docType = nullptr;
  delete m_processing;
  m_processing = nullptr;
  delete m_decl;
  m_decl = nullptr;
  if (m_styleSheets) {
    m_styleSheets->removeAllObjects();
    delete m_styleSheets;
    m_styleSheets = nullptr;
  }
  m_root = nullptr;
}

// ---------------------------------------------------------------------------------------------
// AttributeSet

bool AttributeSet::m_lowercaseNames = false;
bool AttributeSet::m_preventDuplicates = false;

AttributeSet::~AttributeSet() = default;

int AttributeSet::numAttributes() const {
  return m_lengths.getSize() / 2;
}

int AttributeSet::offsetOf(int index) const {
  if (index < 0 || index >= numAttributes()) return -1;
  int off = 0;
  for (int i = 0; i < index * 2; ++i)
    off += m_lengths.elementAt(i);
  return off;
}

bool AttributeSet::getAttribute(int index, const char *&name, int &nameLen, const char *&value,
                                int &valueLen) const {
  int off = offsetOf(index);
  if (off < 0) return false;
  nameLen = m_lengths.elementAt(index * 2);
  valueLen = m_lengths.elementAt(index * 2 + 1);
  name = m_text.getString() + off;
  value = name + nameLen;
  return true;
}

int AttributeSet::findAttribute(const char *name, int start) const {
  if (isEmptyText(name)) return -1;
  const int want = static_cast<int>(std::strlen(name));
  const int n = numAttributes();
  int off = offsetOf(start);
  if (off < 0) return -1;
  for (int i = start; i < n; ++i) {
    const int nl = m_lengths.elementAt(i * 2);
    const int vl = m_lengths.elementAt(i * 2 + 1);
    if (nl == want && std::memcmp(m_text.getString() + off, name, static_cast<size_t>(nl)) == 0)
      return i;
    off += nl + vl;
  }
  return -1;
}

void AttributeSet::addAttribute(const char *name, const char *value) {
  if (isEmptyText(name)) return;
  addAttribute(name, static_cast<int>(std::strlen(name)), value,
               value ? static_cast<int>(std::strlen(value)) : 0);
}

void AttributeSet::addAttribute(const char *name, int nameLen, const char *value, int valueLen) {
  if (name == nullptr || nameLen <= 0) return;
  // A StringBuffer takes a block when built: only when the name must be reworked.
  std::optional<StringBuffer> nmHolder;
  if (m_lowercaseNames || m_preventDuplicates) {
    StringBuffer &nm = nmHolder.emplace();
    nm.appendN(name, nameLen);
    if (m_lowercaseNames) {
      XString x;
      x.setFromUtf8(nm.getString());
      x.toLowerCase();
      nm.setString(x.getUtf8());
    }
    if (m_preventDuplicates) removeAttribute(nm.getString());
    name = nm.getString();
    nameLen = nm.getSize();
  }
  if (value == nullptr || valueLen < 0) valueLen = 0;
  const int before = m_text.getSize();
  if (!m_text.appendN(name, nameLen)) return;
  if (valueLen > 0 && !m_text.appendN(value, valueLen)) {
    m_text.shorten(m_text.getSize() - before);
    return;
  }
  if (!m_lengths.append(nameLen)) {
    m_text.shorten(m_text.getSize() - before);
    return;
  }
  if (!m_lengths.append(valueLen)) {
    m_lengths.deleteAt(m_lengths.getSize() - 1);
    m_text.shorten(m_text.getSize() - before);
  }
}

bool AttributeSet::hasAttribute(const char *name) const {
  return findAttribute(name, 0) >= 0;
}

bool AttributeSet::getAttributeValue(const char *name, StringBuffer &out) const {
  out.clear();
  int i = findAttribute(name, 0);
  if (i < 0) return false;
  const char *n, *v;
  int nl, vl;
  getAttribute(i, n, nl, v, vl);
  out.appendN(v, vl);
  return true;
}

bool AttributeSet::hasAttrWithValue(const char *name, const char *value) const {
  if (isEmptyText(name)) return false;
  const int want = value ? static_cast<int>(std::strlen(value)) : 0;
  for (int i = findAttribute(name, 0); i >= 0; i = findAttribute(name, i + 1)) {
    const char *n, *v;
    int nl, vl;
    getAttribute(i, n, nl, v, vl);
    if (vl == 0) return want == 0;
    if (vl <= want && std::memcmp(v, value, static_cast<size_t>(vl)) == 0) return vl == want;
  }
  return false;
}

bool AttributeSet::hasMatchingAttribute(const char *name, const char *pattern) const {
  if (isEmptyText(name)) return false;
  for (int i = findAttribute(name, 0); i >= 0; i = findAttribute(name, i + 1)) {
    const char *n, *v;
    int nl, vl;
    getAttribute(i, n, nl, v, vl);
    if (vl == 0) {
      if (isEmptyText(pattern)) return true;
      continue;
    }
    // Values are not NUL-terminated in the packed text: match a copy.
    char local[500];
    if (vl < static_cast<int>(sizeof local)) {
      std::memcpy(local, v, static_cast<size_t>(vl));
      local[vl] = '\0';
      if (wildcardMatch(local, pattern ? pattern : "", true)) return true;
    } else {
      StringBuffer copy;
      copy.appendN(v, vl);
      if (wildcardMatch(copy.getString(), pattern ? pattern : "", true)) return true;
    }
  }
  return false;
}

bool AttributeSet::removeAttributeInner(const char *name) {
  int i = findAttribute(name, 0);
  if (i < 0) return false;
  const int off = offsetOf(i);
  const int len = m_lengths.elementAt(i * 2) + m_lengths.elementAt(i * 2 + 1);
  m_text.removeChunk(off, len);
  m_lengths.deleteAt(i * 2 + 1);
  m_lengths.deleteAt(i * 2);
  return true;
}

void AttributeSet::removeAttribute(const char *name) {
  for (int i = 0; i < 101 && removeAttributeInner(name); ++i) {
  }
}

// ---------------------------------------------------------------------------------------------
// TreeNode: construction and ownership

TreeNode::TreeNode(const char *tag, const char *content, int) : m_marker(MarkerAlive) {
  if (!isEmptyText(tag)) {
    // One block for the tag, without the bytes StringBuffer::removeInvalidXmlTagChars drops.
    const size_t n = std::strlen(tag);
    m_tag = new char[n + 1];
    size_t w = 0;
    for (size_t r = 0; r < n; ++r)
      if (isXmlTagByte(static_cast<unsigned char>(tag[r]))) m_tag[w++] = tag[r];
    m_tag[w] = '\0';
  }
  if (!isEmptyText(content)) m_content = new StringBuffer(content);
}

TreeNode::~TreeNode() {
  m_marker = MarkerDead;
  delete[] m_tag;
  m_tag = nullptr;
  delete m_content;
  m_content = nullptr;
  delete m_attrs;
  m_attrs = nullptr;

  // The subtree is taken apart depth first without any stack: go down to a last child that has
  // no children of its own, unhook it from its parent and delete it, and go on from the parent.
  // Every node is deleted with nothing left to walk, and no memory is needed to take a tree apart.
  if (m_children) {
    TreeNode *n = this;
    for (;;) {
      if (n->m_children && n->m_children->getSize() > 0) {
        TreeNode *last = static_cast<TreeNode *>(n->m_children->lastElement());
        if (last == nullptr) {
          n->m_children->pop();
          continue;
        }
        n = last;
        continue;
      }
      if (n == this) break;
      TreeNode *parent = n->m_parent;
      parent->m_children->pop();
      // A node below the root never owns the TreeInfo.
      n->m_info = nullptr;
      n->m_parent = nullptr;
      delete n;
      n = parent;
    }
    delete m_children;
    m_children = nullptr;
  }
  m_parent = m_next = m_prev = nullptr;
  m_nodeRefCount = 0;
  if (m_info && m_info->m_root == this) {
    TreeInfo *info = m_info;
    m_info = nullptr;
    info->m_root = nullptr;
    delete info;
  }
  m_info = nullptr;
}

TreeNode *TreeNode::createRoot(const char *tag) {
  TreeNode *n = new TreeNode(tag, nullptr, 0);
  TreeInfo *info = new TreeInfo();
  info->m_root = n;
  n->m_info = info;
  return n;
}

TreeNode *TreeNode::createNode(TreeNode *parent, const char *tag) {
  if (parent == nullptr) return createRoot(tag);
  // The node joins the parent's tree at once, rather than as a one-node tree of its own whose
  // TreeInfo would be built only to be discarded.
  TreeNode *n = new TreeNode(tag, nullptr, 0);
  if (!parent->appendChild2(n, 0)) {
    delete n;
    return nullptr;
  }
  return n;
}

bool TreeNode::appendChild2(TreeNode *child, int) {
  if (child == nullptr || child == this) return false;
  if (child->m_parent != nullptr && child->m_parent != this) return false;
  if (child->m_info != nullptr && child->m_info == m_info) return false;
  // Only a whole tree (or a lone node) can be adopted: its old TreeInfo must be its own.
  if (child->m_parent == nullptr && child->m_info != nullptr && child->m_info->m_root != child)
    return false;

  if (m_children == nullptr) {
    int cap = 5;
    if (m_prev && m_prev->getNumChildren() > 0) cap = m_prev->getNumChildren();
    m_children = new ExtPtrArray(cap, 5);
  }
  TreeNode *last = getNumChildren() > 0 ? getChild(getNumChildren() - 1) : nullptr;
  if (!m_children->append(child)) return false;

  int oldCount = 0;
  if (child->m_info) {
    oldCount = child->m_info->m_treeRefCount;
    TreeInfo *old = child->m_info;
    old->m_root = nullptr;
    delete old;
    child->m_info = nullptr;
  }
  child->setInfoRecursive(m_info);
  if (last) last->m_next = child;
  child->m_prev = last;
  child->m_next = nullptr;
  child->m_parent = this;
  if (m_info) m_info->m_treeRefCount += oldCount;
  return true;
}

void TreeNode::setInfoRecursive(TreeInfo *info) {
  if (getNumChildren() == 0) {
    m_info = info;
    return;
  }
  ExtPtrArray stack;
  stack.append(this);
  while (stack.getSize() > 0) {
    TreeNode *n = static_cast<TreeNode *>(stack.pop());
    n->m_info = info;
    for (int i = 0; i < n->getNumChildren(); ++i)
      stack.append(n->getChild(i));
  }
}

void TreeNode::addAttribute(const char *name, const char *value) {
  if (isEmptyText(name)) return;
  if (m_attrs == nullptr) m_attrs = new AttributeSet();
  const char first = name[0];
  const bool badStart = (first >= '0' && first <= '9') || first == '-' || first == '.';
  if (!badStart && isValidXmlTagText(name)) {
    // The usual case: nothing to clean, no copy.
    m_attrs->addAttribute(name, value);
    return;
  }
  StringBuffer nm(name);
  nm.removeInvalidXmlTagChars();
  if (badStart) nm.prepend("A");
  m_attrs->addAttribute(nm.getString(), value);
}

void TreeNode::removeAttribute(const char *name) {
  if (m_attrs) m_attrs->removeAttribute(name);
}

bool TreeNode::getAttributeValue(const char *name, StringBuffer &out) const {
  return m_attrs ? m_attrs->getAttributeValue(name, out) : false;
}

bool TreeNode::hasAttributeWithValue(const char *name, const char *value) const {
  return m_attrs ? m_attrs->hasAttrWithValue(name, value) : false;
}

bool TreeNode::hasAttributeWithValue(const StringPair &pair) const {
  return hasAttributeWithValue(pair.getKey(), pair.getValue());
}

bool TreeNode::hasMatchingAttribute(const char *name, const char *pattern) const {
  return m_attrs ? m_attrs->hasMatchingAttribute(name, pattern) : false;
}

StringBuffer *TreeNode::getOrCreateContentSb() {
  if (m_content == nullptr) m_content = new StringBuffer(120);
  return m_content;
}

void TreeNode::setDocType(const char *text) {
  if (m_info == nullptr) return;
  delete m_info->m_docType;
  m_info->m_docType = isEmptyText(text) ? nullptr : new StringBuffer(text);
}

void TreeNode::setProcessing(const char *text) {
  if (m_info == nullptr) return;
  delete m_info->m_processing;
  m_info->m_processing = isEmptyText(text) ? nullptr : new StringBuffer(text);
}

void TreeNode::transferStyleSheets(ExtPtrArray &from, ExtPtrArray &to) {
  for (int i = 0; i < from.getSize(); ++i)
    to.append(from.elementAt(i));
  from.removeAll();
}

// ---------------------------------------------------------------------------------------------
// Reading

const char *TreeNode::getTag() const {
  return m_tag ? m_tag : "";
}

const char *TreeNode::getContent() const {
  return m_content ? m_content->getString() : "";
}

bool TreeNode::hasContent() const {
  return m_content && m_content->getSize() > 0;
}

int TreeNode::getContentSize() const {
  return m_content ? m_content->getSize() : 0;
}

int TreeNode::getContentIntValue() const {
  return m_content ? readInt(m_content->getString()) : 0;
}

TreeNode *TreeNode::getRoot() const {
  return m_info ? m_info->m_root : nullptr;
}

int TreeNode::getNumChildren() const {
  return m_children ? m_children->getSize() : 0;
}

TreeNode *TreeNode::getChild(int index) const {
  if (m_children == nullptr || index < 0 || index >= m_children->getSize()) return nullptr;
  return static_cast<TreeNode *>(m_children->elementAt(index));
}

TreeNode *TreeNode::getNthChildWithTag(int n, const char *tag) const {
  if (tag == nullptr) return nullptr;
  for (int i = 0; i < getNumChildren(); ++i) {
    TreeNode *c = getChild(i);
    if (std::strcmp(c->getTag(), tag) == 0) {
      if (n == 0) return c;
      --n;
    }
  }
  return nullptr;
}

TreeNode *TreeNode::getNthChildWithContent(int n, const char *content) const {
  if (content == nullptr) return nullptr;
  for (int i = 0; i < getNumChildren(); ++i) {
    TreeNode *c = getChild(i);
    if (std::strcmp(c->getContent(), content) == 0) {
      if (n == 0) return c;
      --n;
    }
  }
  return nullptr;
}

TreeNode *TreeNode::getChild(const char *tag, const StringPair *attr) const {
  if (tag == nullptr) return nullptr;
  for (int i = 0; i < getNumChildren(); ++i) {
    TreeNode *c = getChild(i);
    if (std::strcmp(c->getTag(), tag) != 0) continue;
    if (attr && !c->hasAttributeWithValue(*attr)) continue;
    return c;
  }
  return nullptr;
}

void TreeNode::getDocEncoding(StringBuffer &out, bool &found) const {
  found = false;
  if (m_info && m_info->m_decl) found = m_info->m_decl->getAttributeValue("encoding", out);
}

void TreeNode::getDocStandalone(StringBuffer &out, bool &found) const {
  found = false;
  if (m_info && m_info->m_decl) found = m_info->m_decl->getAttributeValue("standalone", out);
}

void TreeNode::setDocEncoding(const char *name) {
  if (m_info == nullptr) return;
  if (m_info->m_decl == nullptr) {
    m_info->m_decl = createRoot("xml");
    m_info->m_decl->addAttribute("version", "1.0");
  }
  m_info->m_decl->removeAttribute("encoding");
  m_info->m_decl->addAttribute("encoding", name);
}

// ---------------------------------------------------------------------------------------------
// Searching

template <class Pred> TreeNode *TreeNode::searchBreadthFirst(TreeNode *after, Pred pred) {
  _ckQueue visit;
  _ckQueue parents;
  bool active = after == nullptr;
  visit.push(this);
  while (visit.hasObjects()) {
    TreeNode *n = static_cast<TreeNode *>(visit.pop());
    if (active) {
      if (pred(n)) return n;
    } else if (n == after) {
      active = true;
    }
    if (n->getNumChildren() > 0) parents.push(n);
    if (!visit.hasObjects() && parents.hasObjects()) {
      TreeNode *p = static_cast<TreeNode *>(parents.pop());
      for (int i = 0; i < p->getNumChildren(); ++i)
        visit.push(p->getChild(i));
    }
  }
  return nullptr;
}

static bool tagIs(const TreeNode *n, const char *tag) {
  const char *t = n->getTag();
  return t[0] == tag[0] && std::strcmp(t, tag) == 0;
}

TreeNode *TreeNode::searchForTag(TreeNode *after, const char *tag) {
  if (tag == nullptr) return nullptr;
  return searchBreadthFirst(after, [tag](TreeNode *n) { return tagIs(n, tag); });
}

TreeNode *TreeNode::searchForMatchingNode(TreeNode *after, const char *tag, const char *pattern) {
  if (tag == nullptr) return nullptr;
  const char *pat = pattern ? pattern : "";
  return searchBreadthFirst(after, [tag, pat](TreeNode *n) {
    return tagIs(n, tag) && wildcardMatch(n->getContent(), pat, true);
  });
}

TreeNode *TreeNode::searchForAttribute(TreeNode *after, const char *tag, const char *name,
                                       const char *pattern) {
  if (tag == nullptr) return nullptr;
  return searchBreadthFirst(after, [tag, name, pattern](TreeNode *n) {
    return tagIs(n, tag) && n->hasMatchingAttribute(name, pattern);
  });
}

void TreeNode::accumulateBase64Content(DataBuffer &out, ExtPtrArray *parts) {
  searchBreadthFirst(nullptr, [&out, parts](TreeNode *n) {
    if (n->getContentSize() < 8 && parts && n->hasAttributeWithValue("src", "ext")) {
      RazudodObject *o = parts->elementAt(n->getContentIntValue());
      if (DataBuffer *db = dynamic_cast<DataBuffer *>(o)) out.append(*db);
    } else if (n->hasContent()) {
      DataBuffer decoded;
      ContentCoding cc;
      cc.decodeBase64ToDb(n->getContent(), n->getContentSize(), decoded);
      out.append(decoded);
    }
    return false;
  });
}

// ---------------------------------------------------------------------------------------------
// Reference counting

bool TreeNode::incTreeRefCount() {
  ++m_nodeRefCount;
  if (m_info == nullptr) return false;
  ++m_info->m_treeRefCount;
  return true;
}

bool TreeNode::decTreeRefCount() {
  bool result = true;
  if (m_info) {
    if (m_info->m_treeRefCount < 1)
      result = false;
    else
      --m_info->m_treeRefCount;
  }
  if (m_nodeRefCount == 0)
    result = false;
  else if (m_nodeRefCount > 0)
    --m_nodeRefCount;
  return result;
}

int TreeNode::getTreeRefCount() const {
  return m_info ? m_info->m_treeRefCount : 0;
}

void TreeNode::deleteTree() {
  if (m_info && m_info->m_root) delete m_info->m_root;
}
