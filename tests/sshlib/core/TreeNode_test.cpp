// The XML node tree: building and adopting subtrees, attribute storage and lookups, the
// breadth-first searches, reference counting, and trees far deeper than the call stack allows.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/StringPair.h"
#include "sshlib/core/TreeNode.h"
#include "tests/sshlib/core/XmlTestUtil.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

using xmltest::TreePtr;

namespace {

std::string attrValue(TreeNode *n, const char *name) {
  StringBuffer v;
  if (!n->getAttributeValue(name, v)) return "<none>";
  return v.getString();
}

TEST(TreeNodeBuild, RootsChildrenSiblingsAndSharedInfo) {
  TreePtr root(TreeNode::createRoot("r"));
  TreeNode *a = TreeNode::createNode(root.get(), "a");
  TreeNode *b = TreeNode::createNode(root.get(), "b");
  TreeNode *c = TreeNode::createNode(a, "c");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(root->getNumChildren(), 2);
  EXPECT_EQ(root->getFirstChild(), a);
  EXPECT_EQ(a->getNextSibling(), b);
  EXPECT_EQ(b->getPrevSibling(), a);
  EXPECT_EQ(b->getNextSibling(), nullptr);
  EXPECT_EQ(c->getParent(), a);
  EXPECT_EQ(c->getRoot(), root.get());
  EXPECT_EQ(c->getTreeInfo(), root->getTreeInfo());
  EXPECT_EQ(root->getChild(2), nullptr);
  EXPECT_EQ(root->getChild(-1), nullptr);
  EXPECT_EQ(c->getNumChildren(), 0);
  EXPECT_EQ(c->getFirstChild(), nullptr);

  // A tag is cleaned of characters that cannot stand in a name; no tag reads as "".
  TreePtr t(TreeNode::createRoot("my tag<>"));
  EXPECT_STREQ(t->getTag(), "mytag");
  TreePtr u(TreeNode::createRoot(nullptr));
  EXPECT_STREQ(u->getTag(), "");
  EXPECT_STREQ(u->getContent(), "");
  EXPECT_FALSE(u->hasContent());
  EXPECT_EQ(u->getContentSize(), 0);
  EXPECT_EQ(u->getContentIntValue(), 0);
  u->getOrCreateContentSb()->append("42abc");
  EXPECT_EQ(u->getContentIntValue(), 42);
  EXPECT_EQ(u->getContentSize(), 5);
}

TEST(TreeNodeBuild, AdoptingTreesAndRefusingCycles) {
  TreePtr root(TreeNode::createRoot("r"));
  TreeNode *a = TreeNode::createNode(root.get(), "a");
  // Another tree with holders of its own: adopting it carries their count over.
  TreeNode *other = TreeNode::createRoot("o");
  TreeNode::createNode(other, "o1");
  other->incTreeRefCount();
  other->incTreeRefCount();
  root->incTreeRefCount();
  ASSERT_TRUE(a->appendChild2(other, 0));
  EXPECT_EQ(other->getParent(), a);
  EXPECT_EQ(other->getFirstChild()->getTreeInfo(), root->getTreeInfo());
  EXPECT_EQ(root->getTreeRefCount(), 3);

  // Nodes of the same tree, or a node with another parent, are refused.
  EXPECT_FALSE(other->appendChild2(root.get(), 0));
  EXPECT_FALSE(a->appendChild2(a, 0));
  EXPECT_FALSE(root->appendChild2(other->getFirstChild(), 0));
  TreePtr third(TreeNode::createRoot("t"));
  EXPECT_FALSE(third->appendChild2(a, 0));
  EXPECT_EQ(a->getParent(), root.get());
}

TEST(TreeNodeAttributes, NamesStorageAndLookups) {
  TreePtr n(TreeNode::createRoot("n"));
  n->addAttribute("1st", "one");
  n->addAttribute("-x", "dash");
  n->addAttribute(".y", "dot");
  n->addAttribute("a b", "blank");
  n->addAttribute("", "ignored");
  n->addAttribute(nullptr, "ignored");
  n->addAttribute("id", "first");
  n->addAttribute("id", "second");
  n->addAttribute("empty", nullptr);
  AttributeSet *set = n->getAttributeSet();
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->numAttributes(), 7);
  EXPECT_EQ(attrValue(n.get(), "A1st"), "one");
  EXPECT_EQ(attrValue(n.get(), "A-x"), "dash");
  EXPECT_EQ(attrValue(n.get(), "A.y"), "dot");
  EXPECT_EQ(attrValue(n.get(), "ab"), "blank");
  EXPECT_EQ(attrValue(n.get(), "id"), "first");
  EXPECT_EQ(attrValue(n.get(), "empty"), "");
  EXPECT_EQ(attrValue(n.get(), "ID"), "<none>");
  EXPECT_TRUE(set->hasAttribute("id"));

  // Empty wanted values match only empty stored ones; a stored prefix is not a match.
  EXPECT_TRUE(n->hasAttributeWithValue("empty", ""));
  EXPECT_FALSE(n->hasAttributeWithValue("ab", ""));
  EXPECT_FALSE(n->hasAttributeWithValue("ab", "blanks"));
  EXPECT_TRUE(n->hasAttributeWithValue("ab", "blank"));
  EXPECT_FALSE(n->hasAttributeWithValue("", "blank"));
  StringBuffer k("ab"), v("blank");
  EXPECT_TRUE(n->hasAttributeWithValue(StringPair(&k, &v)));

  n->addAttribute("p", "abc");
  EXPECT_TRUE(n->hasMatchingAttribute("p", "ab*"));
  EXPECT_FALSE(n->hasMatchingAttribute("p", "AB*"));
  EXPECT_TRUE(n->hasMatchingAttribute("empty", ""));
  EXPECT_FALSE(n->hasMatchingAttribute("empty", "x"));
  std::string longValue(700, 'q');
  n->addAttribute("long", longValue.c_str());
  EXPECT_TRUE(n->hasMatchingAttribute("long", "q*q"));
  EXPECT_EQ(attrValue(n.get(), "long"), longValue);

  // Removal takes every attribute of the name and keeps the others intact.
  n->removeAttribute("id");
  EXPECT_EQ(attrValue(n.get(), "id"), "<none>");
  EXPECT_EQ(attrValue(n.get(), "empty"), "");
  EXPECT_EQ(attrValue(n.get(), "p"), "abc");
  EXPECT_EQ(set->numAttributes(), 7);

  TreePtr bare(TreeNode::createRoot("b"));
  EXPECT_FALSE(bare->getAttributeValue("x", v));
  EXPECT_FALSE(bare->hasAttributeWithValue("x", ""));
  EXPECT_FALSE(bare->hasMatchingAttribute("x", "*"));
  bare->removeAttribute("x");
}

TEST(TreeNodeSearch, BreadthFirstOrderAfterNodesAndChildLookups) {
  TreePtr root = xmltest::parse("<t><a><t id='deep'/></a><b><c/></b><t id='shallow'>x</t>"
                                "<b>two</b><c>cc</c><b/></t>");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->searchForTag(nullptr, "t"), root.get());
  TreeNode *first = root->searchForTag(root.get(), "t");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(attrValue(first, "id"), "shallow");
  TreeNode *second = root->searchForTag(first, "t");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(attrValue(second, "id"), "deep");
  EXPECT_EQ(root->searchForTag(second, "t"), nullptr);
  EXPECT_EQ(root->searchForTag(nullptr, "zz"), nullptr);

  EXPECT_EQ(root->searchForMatchingNode(nullptr, "b", "t*")->getContent(), std::string("two"));
  EXPECT_EQ(root->searchForMatchingNode(nullptr, "b", "T*"), nullptr);
  EXPECT_EQ(root->searchForAttribute(nullptr, "t", "id", "d*"), second);
  EXPECT_EQ(root->searchForMatchingNode(nullptr, nullptr, "*"), nullptr);

  EXPECT_EQ(root->getNthChildWithTag(1, "b"), root->getChild(3));
  EXPECT_EQ(root->getNthChildWithTag(3, "b"), nullptr);
  EXPECT_EQ(root->getNthChildWithContent(0, "cc"), root->getChild(4));
  EXPECT_EQ(root->getNthChildWithContent(0, nullptr), nullptr);
  StringBuffer k("id"), v("shallow");
  StringPair pair(&k, &v);
  EXPECT_EQ(root->getChild("t", &pair), first);
  EXPECT_EQ(root->getChild("b", nullptr), root->getChild(1));
}

TEST(TreeNodeSearch, Base64AccumulationAndExternalParts) {
  TreePtr root = xmltest::parse("<p>QUJD<c>REVG</c><e src='ext'>1</e><f src='ext'>7</f></p>");
  DataBuffer out;
  root->accumulateBase64Content(out, nullptr);
  // Without parts the "1" and "7" contents are read as Base64 (too short to give a byte).
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out.getData2()), out.getSize()), "ABCDEF");

  ExtPtrArray parts;
  parts.m_bOwnsObjects = true;
  parts.append(new DataBuffer());
  DataBuffer *part = new DataBuffer();
  part->append("PART", 4);
  parts.append(part);
  DataBuffer out2;
  root->accumulateBase64Content(out2, &parts);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out2.getData2()), out2.getSize()), "ABCDEFPART");
}

TEST(TreeNodeDocument, EncodingDeclarationAndProlog) {
  TreePtr root(TreeNode::createRoot("r"));
  StringBuffer out;
  bool found = true;
  root->getDocEncoding(out, found);
  EXPECT_FALSE(found);
  root->setDocEncoding("utf-8");
  TreeNode *decl = root->getTreeInfo()->m_decl;
  ASSERT_NE(decl, nullptr);
  const char *name, *value;
  int nl, vl;
  ASSERT_TRUE(decl->getAttributeSet()->getAttribute(0, name, nl, value, vl));
  EXPECT_EQ(std::string(name, nl) + "=" + std::string(value, vl), "version=1.0");
  ASSERT_TRUE(decl->getAttributeSet()->getAttribute(1, name, nl, value, vl));
  EXPECT_EQ(std::string(name, nl) + "=" + std::string(value, vl), "encoding=utf-8");
  root->setDocEncoding("iso-8859-1");
  root->getDocEncoding(out, found);
  EXPECT_TRUE(found);
  EXPECT_STREQ(out.getString(), "iso-8859-1");
  EXPECT_EQ(decl->getAttributeSet()->numAttributes(), 2);
  root->getDocStandalone(out, found);
  EXPECT_FALSE(found);

  root->setDocType("<!DOCTYPE r>");
  root->setDocType("");
  EXPECT_EQ(root->getTreeInfo()->m_docType, nullptr);
  root->setProcessing("<?php ?>");
  ASSERT_NE(root->getTreeInfo()->m_processing, nullptr);

  ExtPtrArray from, to;
  from.append(TreeNode::createRoot("xml-stylesheet"));
  TreeNode::transferStyleSheets(from, to);
  EXPECT_EQ(from.getSize(), 0);
  EXPECT_EQ(to.getSize(), 1);
  to.removeAllObjects();
}

// Connections read their keys on threads of their own, each parsing documents at the same time:
// every tree made meanwhile has an id of its own.
TEST(TreeNodeBuild, TreesMadeOnSeveralThreadsAtOnceHaveIdsOfTheirOwn) {
  constexpr int kThreads = 4, kTrees = 500;
  std::vector<std::vector<unsigned>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < kTrees; ++i) {
        TreePtr root(TreeNode::createRoot("r"));
        ids[t].push_back(root->getTreeInfo()->m_treeId);
      }
    });
  for (auto &thread : threads)
    thread.join();
  std::set<unsigned> distinct;
  for (auto &some : ids)
    distinct.insert(some.begin(), some.end());
  EXPECT_EQ(distinct.size(), size_t(kThreads * kTrees));
}

TEST(TreeNodeReferences, HoldersCountAndTheLastDeletes) {
  TreeNode *root = TreeNode::createRoot("r");
  TreeNode *child = TreeNode::createNode(root, "c");
  EXPECT_TRUE(root->incTreeRefCount());
  EXPECT_TRUE(child->incTreeRefCount());
  EXPECT_EQ(root->getTreeRefCount(), 2);
  EXPECT_TRUE(root->decTreeRefCount());
  EXPECT_EQ(child->getTreeRefCount(), 1);
  // A node without holders of its own reports the imbalance.
  EXPECT_FALSE(root->decTreeRefCount());
  EXPECT_EQ(root->getTreeRefCount(), 0);
  // Deleting through any node deletes the whole tree once (ASan checks no leak, no double free).
  child->deleteTree();

  TreeNode lone("x", "y", 0);
  EXPECT_FALSE(lone.incTreeRefCount());
  EXPECT_EQ(lone.getTreeRefCount(), 0);
  EXPECT_TRUE(lone.decTreeRefCount());
  lone.deleteTree(); // no tree: nothing happens
}

TEST(TreeNodeDepth, HundredThousandLevelsBuildSearchAndDestroy) {
  const int depth = 100000;
  TreeNode *root = TreeNode::createRoot("d");
  TreeNode *n = root;
  for (int i = 0; i < depth; ++i)
    n = TreeNode::createNode(n, i == depth - 1 ? "leaf" : "d");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->getRoot(), root);
  EXPECT_EQ(root->searchForTag(nullptr, "leaf"), n);

  // Adopting the deep tree walks it without recursion as well.
  TreeNode *holder = TreeNode::createRoot("holder");
  ASSERT_TRUE(holder->appendChild2(root, 0));
  EXPECT_EQ(n->getRoot(), holder);
  delete holder;
}

} // namespace
