// The library's XML object: a cursor on one node of an XML tree, with loading, cursor movement,
// reading, serialisation, a small path language and binary contents (Base64, optionally
// AES-encrypted and deflated).
//
// It lives with the cryptography layer: it decrypts contents with AesCrypt, and the crypto layer
// (keys, certificates, PKCS data) is its user; the tree, parser and writer it walks are in core.
//
// Several objects may point into one tree; each counts one reference on it, and the tree is
// deleted when the last reference is dropped. An object's node stays alive as long as the object
// holds its reference, so "no live node" means only that the object points at nothing.
#pragma once

#include "sshlib/core/ClsBase.h"
#include "sshlib/core/RazudodCritSec.h"

class DataBuffer;
class ExtPtrArray;
class LogBase;
class StringBuffer;
class TreeNode;
class XString;

class ClsXml : public ClsBase, public RazudodCritSec {
public:
  ClsXml();
  ~ClsXml() override;
  ClsXml(const ClsXml &) = delete;
  ClsXml &operator=(const ClsXml &) = delete;

  // A new object on the given node (sharing its tree); the caller owns it.
  static ClsXml *createNode(TreeNode *node, int unused);

  // Loading. A text without "<" that, trimmed, is shorter than 100 bytes and ends with ".xml" is
  // taken as a file path.
  bool LoadXmlUtf8(const char *text, bool trim);
  bool LoadXmlFileUtf8(const char *path, bool trim);
  bool loadXmlFileUtf8(const char *path, bool trim, LogBase &log);
  bool Clear();

  // Cursor movement: false (cursor unchanged) when there is no node or no target.
  bool FirstChild2();
  bool NextSibling2();
  bool GetParent2();
  bool GetChild2(int index);
  void GetRoot2();
  ClsXml *GetSelf();
  ClsXml *GetChild(int index);

  // Reading.
  const char *get_Content();
  bool get_Content(StringBuffer &out);
  int get_ContentI() const;
  int get_ContentSize() const;
  int get_NumChildren();
  bool GetChildContent(const char *tag, StringBuffer &out);
  int GetAttrValueI(const char *name);
  bool HasAttrWithValue(const char *name, const char *value);
  bool TagEquals(const char *text);
  bool ContentEquals(const char *text);
  bool ChildContentEquals(const char *tag, const char *content);
  bool GetXml(StringBuffer &out);
  void accumulateBase64Content(DataBuffer &out, ExtPtrArray *parts);
  // The content Base64-decoded, then AES-decrypted (decrypt) and inflated (unzip); false when any
  // step fails (the output then holds nothing usable).
  bool GetBinaryContent(DataBuffer &out, bool unzip, bool decrypt, const char *password);

  // Paths: steps separated by "|", then a final command ("*" content, "$" move here,
  // "(name)" attribute value).
  bool RazudodPath(XString &path, XString &result);
  bool razudodPath(const char *path, XString &result, LogBase &log);

  TreeNode *getCurrentNode() const { return m_node; }

private:
  bool hasLiveNode() const;
  // Moves the cursor to another node of a (possibly other) tree, adjusting the references.
  void moveTo(TreeNode *node);
  void removeTree();
  void newEmptyTree();
  // Replaces the tree after a successful parse.
  void takeNewRoot(TreeNode *root);

  TreeNode *m_node = nullptr;
};
