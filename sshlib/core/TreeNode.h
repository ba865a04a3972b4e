// The XML document tree: nodes with a tag, optional text content, packed attributes and ordered
// children; one TreeInfo per tree for the document prolog and the holders' reference count.
//
// Ownership: a tree belongs to its root. Deleting the root deletes every node below it and the
// tree's TreeInfo (and with it the prolog nodes). Holders (ClsXml) count references through
// incTreeRefCount/decTreeRefCount and the last one calls deleteTree. Liveness is decided by
// ownership alone: nothing here reads a freed object to find out whether it was freed. The
// validity markers are still set and cleared, as a help when debugging.
//
// Every walk over a tree (destruction, serialisation, searches, re-pointing the TreeInfo) is
// iterative, so the depth of a document is bounded by memory only, never by the call stack.
#pragma once

#include "sshlib/core/ExtIntArray.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"

#include <atomic>

class AttributeSet;
class DataBuffer;
class ExtPtrArray;
class LogBase;
class ParseEngine;
class ProgressMonitor;
class StringPair;
class TreeNode;

// What belongs to a document as a whole.
class TreeInfo : public RazudodObject {
public:
  TreeInfo();
  ~TreeInfo() override;
  TreeInfo(const TreeInfo &) = delete;
  TreeInfo &operator=(const TreeInfo &) = delete;

  unsigned char m_marker;
  TreeNode *m_root = nullptr;
  // The XML declaration as a one-node tree tagged "xml" (owned) or null.
  TreeNode *m_decl = nullptr;
  // Owned "xml-stylesheet" nodes, each a one-node tree of its own.
  ExtPtrArray *m_styleSheets;
  // Other prolog processing instructions, raw (owned) or null.
  StringBuffer *m_processing = nullptr;
  // The raw document type declaration, "<" through ">" (owned) or null.
  StringBuffer *m_docType = nullptr;
  unsigned int m_treeId;
  int m_treeRefCount = 0;

  // Documents are parsed on several threads at once (each connection reads its keys on its own).
  static std::atomic<unsigned int> NextTreeID;
};

// Attributes of one element, packed: an integer array of (name length, value length) pairs and one
// text holding every name and value back to back.
class AttributeSet {
public:
  AttributeSet() = default;
  virtual ~AttributeSet();
  AttributeSet(const AttributeSet &) = delete;
  AttributeSet &operator=(const AttributeSet &) = delete;

  void addAttribute(const char *name, const char *value);
  void addAttribute(const char *name, int nameLen, const char *value, int valueLen);
  int numAttributes() const;
  bool hasAttribute(const char *name) const;
  bool getAttributeValue(const char *name, StringBuffer &out) const;
  bool hasAttrWithValue(const char *name, const char *value) const;
  bool hasMatchingAttribute(const char *name, const char *pattern) const;
  bool removeAttributeInner(const char *name);
  void removeAttribute(const char *name);

  // The i-th attribute's name and value (pointers into the packed text, not NUL-terminated).
  bool getAttribute(int index, const char *&name, int &nameLen, const char *&value,
                    int &valueLen) const;

  // Serialisation: " name=\"value\"" for every attribute.
  void appendXml(StringBuffer &out) const;
  static void appendAttrValue(StringBuffer &out, const char *text, int length);

  static bool m_lowercaseNames;
  static bool m_preventDuplicates;

private:
  // Offset of the index-th attribute's name in the text; -1 when out of range.
  int offsetOf(int index) const;
  int findAttribute(const char *name, int start) const;

  // Held in the set itself: an element's attributes cost three allocations, not five.
  ExtIntArray m_lengths{6, 15};
  StringBuffer m_text{50};
};

class TreeNode : public RazudodObject {
public:
  TreeNode(const char *tag, const char *content, int unused);
  ~TreeNode() override;
  TreeNode(const TreeNode &) = delete;
  TreeNode &operator=(const TreeNode &) = delete;

  // Building.
  static TreeNode *createRoot(const char *tag);
  static TreeNode *createNode(TreeNode *parent, const char *tag);
  bool appendChild2(TreeNode *child, int unused);
  void setInfoRecursive(TreeInfo *info);
  void addAttribute(const char *name, const char *value);
  void removeAttribute(const char *name);
  bool getAttributeValue(const char *name, StringBuffer &out) const;
  bool hasAttributeWithValue(const char *name, const char *value) const;
  bool hasAttributeWithValue(const StringPair &pair) const;
  bool hasMatchingAttribute(const char *name, const char *pattern) const;
  StringBuffer *getOrCreateContentSb();
  void setDocType(const char *text);
  void setProcessing(const char *text);
  static void transferStyleSheets(ExtPtrArray &from, ExtPtrArray &to);

  // Reading.
  const char *getTag() const;
  const char *getContent() const;
  bool hasContent() const;
  int getContentSize() const;
  int getContentIntValue() const;
  TreeNode *getParent() const { return m_parent; }
  TreeNode *getNextSibling() const { return m_next; }
  TreeNode *getPrevSibling() const { return m_prev; }
  TreeNode *getRoot() const;
  TreeInfo *getTreeInfo() const { return m_info; }
  AttributeSet *getAttributeSet() const { return m_attrs; }
  int getNumChildren() const;
  TreeNode *getChild(int index) const;
  TreeNode *getFirstChild() const { return getChild(0); }
  TreeNode *getNthChildWithTag(int n, const char *tag) const;
  TreeNode *getNthChildWithContent(int n, const char *content) const;
  TreeNode *getChild(const char *tag, const StringPair *attr) const;
  void getDocEncoding(StringBuffer &out, bool &found) const;
  void getDocStandalone(StringBuffer &out, bool &found) const;
  void setDocEncoding(const char *name);
  bool isCData() const { return m_cdata != 0; }
  void setCData(bool on) { m_cdata = on ? 1 : 0; }

  // Breadth-first searches starting with this node; the search becomes active after 'after' has
  // been visited (from the start when after is null).
  TreeNode *searchForTag(TreeNode *after, const char *tag);
  TreeNode *searchForMatchingNode(TreeNode *after, const char *tag, const char *pattern);
  TreeNode *searchForAttribute(TreeNode *after, const char *tag, const char *name,
                               const char *pattern);
  // Appends the Base64-decoded content of every node of the subtree (breadth-first); a node with
  // src="ext" and a short integer content appends the DataBuffer at that index of parts instead.
  void accumulateBase64Content(DataBuffer &out, ExtPtrArray *parts);

  // Holders' reference counting.
  bool incTreeRefCount();
  bool decTreeRefCount();
  int getTreeRefCount() const;
  void deleteTree();

  // Serialisation (CRLF line ends, four blanks per level, the prolog in front of a root).
  void createXML(StringBuffer &out, int index, int level, bool omitDecl);
  bool openTag(StringBuffer &out, int level);
  void closeTag(StringBuffer &out, int level);
  bool outputContent(StringBuffer &out) const;
  void appendStyleInfoToString(StringBuffer &out);

  // Parsing (see ParseEngine.h for the cursor).
  static bool customParse(ParseEngine &pe, LogBase *log, ProgressMonitor *pm, TreeNode **outRoot,
                          bool trim);
  static bool customParseString(const StringBuffer &text, LogBase *log, ProgressMonitor *pm,
                                TreeNode **outRoot, bool trim);
  static bool customParseFile(const char *path, LogBase *log, ProgressMonitor *pm,
                              TreeNode **outRoot, bool trim);
  static bool loadToUtf8(const char *path, DataBuffer &out, LogBase *log);
  static bool convertXmlToUtf8(DataBuffer &data, LogBase *log);
  static void parsePrologLineAttr(ParseEngine &pe, TreeNode *node, LogBase *log);

  bool isValidNode() const { return m_marker == 0xCE; }

private:
  // The parser behind customParse.
  class Parser;
  enum { MarkerAlive = 0xCE, MarkerDead = 0x31 };
  template <class Pred> TreeNode *searchBreadthFirst(TreeNode *after, Pred pred);
  void writeStartOfNode(StringBuffer &out, int index, int level, bool omitDecl, bool &complete);
  void writeEndOfNode(StringBuffer &out, int level);
  void writeProlog(StringBuffer &out, bool omitDecl);

  TreeInfo *m_info = nullptr;
  // The tag as given less the bytes a tag cannot hold (NUL-terminated, owned), or null.
  char *m_tag = nullptr;
  AttributeSet *m_attrs = nullptr;
  StringBuffer *m_content = nullptr;
  int m_nodeRefCount = 0;
  unsigned char m_cdata = 0;
  ExtPtrArray *m_children = nullptr;
  TreeNode *m_parent = nullptr;
  TreeNode *m_next = nullptr;
  TreeNode *m_prev = nullptr;
  unsigned char m_marker;
};
