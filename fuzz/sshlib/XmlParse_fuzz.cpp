// Any bytes through the XML reader (with and without trimming, after charset normalisation) and
// back out through the writer: nothing may crash, and a tree whose names are valid XML names must
// keep its shape when its own output is read again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/ParseEngine.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TreeNode.h"

namespace {

bool validName(const char *s) {
  const unsigned char c = static_cast<unsigned char>(*s);
  if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80))
    return false;
  return std::strchr(s, '!') == nullptr;
}

// Counts the elements; false when a tag is not a name the reader takes back as a tag.
bool shape(TreeNode *root, int &count) {
  count = 0;
  bool valid = true;
  std::vector<TreeNode *> stack{root};
  while (!stack.empty()) {
    TreeNode *n = stack.back();
    stack.pop_back();
    ++count;
    if (!validName(n->getTag())) valid = false;
    for (int i = 0; i < n->getNumChildren(); ++i)
      stack.push_back(n->getChild(i));
  }
  return valid;
}

void roundTrip(TreeNode *root) {
  StringBuffer out;
  root->createXML(out, 0, 0, false);
  root->searchForTag(nullptr, "a");
  root->searchForAttribute(nullptr, "a", "b", "*");
  DataBuffer b64;
  root->accumulateBase64Content(b64, nullptr);

  int before = 0;
  bool valid = shape(root, before);
  // A document type declaration that was never closed is kept as read and swallows what follows.
  // Each declaration is copied up to its matching '>', so the kept text balances its '<' and '>'
  // only when every declaration in it was closed (ending with '>' is not enough: the text may
  // simply run out on one).
  const StringBuffer *dt = root->getTreeInfo()->m_docType;
  if (dt) {
    long depth = 0;
    for (const char *c = dt->getString(); *c; ++c)
      depth += *c == '<' ? 1 : *c == '>' ? -1 : 0;
    if (depth != 0) valid = false;
  }
  // Other processing instructions are kept as "<?", the text through the next "?>", and a line
  // feed; one that never ended is kept as "<?" alone and, written out again, swallows what follows.
  if (const StringBuffer *pi = root->getTreeInfo()->m_processing) {
    const char *c = pi->getString();
    while (*c && valid) {
      const char *end = std::strncmp(c, "<?", 2) == 0 ? std::strstr(c + 2, "?>") : nullptr;
      if (!end || end[2] != '\n')
        valid = false;
      else
        c = end + 3;
    }
  }
  TreeNode *again = nullptr;
  LogNull log;
  TreeNode::customParseString(out, &log, nullptr, &again, false);
  int after = 0;
  if (again) shape(again, after);
  if (valid && after != before) {
    std::fprintf(stderr, "SHAPE %d %d\n%s\n", before, after, out.getString());
    std::abort();
  }
  delete again;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 200000) return 0;
  LogNull log;
  DataBuffer db;
  db.append(data, static_cast<unsigned int>(size));
  for (bool trim : {false, true}) {
    ParseEngine pe(db);
    TreeNode *root = nullptr;
    if (!TreeNode::customParse(pe, &log, nullptr, &root, trim)) std::abort();
    if (root) {
      roundTrip(root);
      delete root;
    }
  }
  if (size > 0 && TreeNode::convertXmlToUtf8(db, &log)) {
    ParseEngine pe(db);
    TreeNode *root = nullptr;
    TreeNode::customParse(pe, &log, nullptr, &root, false);
    delete root;
  }
  return 0;
}
