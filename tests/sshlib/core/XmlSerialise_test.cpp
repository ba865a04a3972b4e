// Writing trees as XML: the fixed layout byte for byte, escaping of contents and attribute values,
// CDATA holding "]]>", output that libxml2 accepts and that parses back to the same tree, and a
// document deeper than the call stack.
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TreeNode.h"
#include "tests/sshlib/core/XmlTestUtil.h"

#include <gtest/gtest.h>

#include <string>

using xmltest::parse;
using xmltest::serialise;
using xmltest::TreePtr;

namespace {

TEST(XmlWriteLayout, PrologIndentationAndEndTags) {
  TreePtr r(TreeNode::createRoot("r"));
  r->setDocEncoding("x"); // creates the declaration with version 1.0
  r->getTreeInfo()->m_decl->removeAttribute("encoding");
  TreeNode::createNode(r.get(), "a")->getOrCreateContentSb()->append("x");
  TreeNode::createNode(r.get(), "b");
  EXPECT_EQ(serialise(r.get()), "<?xml version=\"1.0\" ?>\r\n"
                                "\r\n"
                                "<r>\r\n"
                                "    <a>x</a>\r\n"
                                "    <b />\r\n"
                                "</r>\r\n");

  // standalone goes last, and the prolog parts follow the declaration in order.
  TreePtr p = parse("<?xml standalone=\"yes\" encoding=\"utf-8\"?><?xml-stylesheet href='a'?>"
                    "<?xml-stylesheet?><!DOCTYPE r><?pi x?><r>t\n</r>");
  EXPECT_EQ(serialise(p.get()), "<?xml encoding=\"utf-8\" standalone=\"yes\" ?>\r\n"
                                "<?xml-stylesheet href=\"a\" ?>\r\n"
                                "<!DOCTYPE r>\n\r\n"
                                "<?pi x?>\n\r\n"
                                "\r\n"
                                "<r>t\n</r>\r\n");

  // Content ending in a line end puts an indented end tag on its own line; an empty tag is
  // written as "nothing"; a subtree is written without the prolog.
  TreePtr q = parse("<?xml version='1.0'?><q><i>line\n</i><i>same</i><><c/></></q>");
  EXPECT_EQ(serialise(q->getChild(0)), "\r\n<i>line\n</i>\r\n");
  EXPECT_EQ(serialise(q.get()), "<?xml version=\"1.0\" ?>\r\n\r\n<q>\r\n"
                                "    <i>line\n    </i>\r\n"
                                "    <i>same</i>\r\n"
                                "    <nothing>\r\n"
                                "        <c />\r\n"
                                "    </nothing>\r\n"
                                "</q>\r\n");
  StringBuffer omit;
  q->createXML(omit, 1, 0, true);
  EXPECT_EQ(std::string(omit.getString()).rfind("<q>", 0), 0u);

  // A lone node that belongs to no tree writes nothing.
  TreeNode lone("x", "y", 0);
  StringBuffer none;
  lone.createXML(none, 0, 0, false);
  EXPECT_EQ(none.getSize(), 0);
}

TEST(XmlWriteLayout, IndentationIsCappedAtFiftyLevels) {
  TreeNode *root = TreeNode::createRoot("l0");
  TreeNode *n = root;
  for (int i = 1; i <= 60; ++i)
    n = TreeNode::createNode(n, ("l" + std::to_string(i)).c_str());
  const std::string out = serialise(root);
  EXPECT_NE(out.find("\r\n" + std::string(200, ' ') + "<l60 />\r\n"), std::string::npos);
  EXPECT_NE(out.find("\r\n" + std::string(200, ' ') + "<l50>"), std::string::npos);
  EXPECT_EQ(out.find(std::string(201, ' ')), std::string::npos);
  delete root;
}

TEST(XmlWriteEscaping, ContentsAttributesAndCData) {
  TreePtr r(TreeNode::createRoot("r"));
  TreeNode::createNode(r.get(), "c")->getOrCreateContentSb()->append("a<b & 'c' \"d\" >");
  TreeNode *a = TreeNode::createNode(r.get(), "a");
  a->addAttribute("ref", "a&#38;b");
  a->addAttribute("hex", "&#x4a;");
  a->addAttribute("amp", "a&b");
  a->addAttribute("bad", "&#;&#x;&#12");
  a->addAttribute("q", "\"<'>");
  a->addAttribute("empty", "");
  const std::string out = serialise(r.get());
  EXPECT_NE(out.find("<c>a&lt;b &amp; &apos;c&apos; &quot;d&quot; &gt;</c>"), std::string::npos);
  EXPECT_NE(out.find("<a ref=\"a&#38;b\" hex=\"&#x4a;\" amp=\"a&amp;b\" "
                     "bad=\"&amp;#;&amp;#x;&amp;#12\" q=\"&quot;&lt;&apos;&gt;\" empty=\"\" />"),
            std::string::npos)
      << out;
  EXPECT_EQ(xmltest::xmllintCheck(out), 0) << out;

  // CDATA holding the end marker is split into sections that read back as the same text.
  TreePtr c(TreeNode::createRoot("c"));
  c->getOrCreateContentSb()->append("x]]>y]]>");
  c->setCData(true);
  const std::string cd = serialise(c.get());
  EXPECT_EQ(cd, "\r\n<c><![CDATA[x]]]]><![CDATA[>y]]]]><![CDATA[>]]></c>\r\n");
  EXPECT_EQ(xmltest::xmllintCheck(cd), 0);
  EXPECT_STREQ(parse(cd)->getContent(), "x]]>y]]>");
  EXPECT_EQ(xmltest::xmllintCanonical(cd), "<c>x]]&gt;y]]&gt;</c>");
}

TEST(XmlWriteRoundTrip, RandomDocumentsAreAcceptedAndStable) {
  xmltest::DocGen gen(77031);
  for (int i = 0; i < 120; ++i) {
    const std::string doc = gen.document(i % 3 == 0);
    TreePtr first = parse(doc);
    ASSERT_TRUE(first) << doc;
    const std::string out = serialise(first.get());
    ASSERT_EQ(xmltest::xmllintCheck(out), 0) << out;
    // libxml2 reads our output as the same tree we hold.
    EXPECT_EQ(xmltest::xmllintCanonical(out), xmltest::canonical(first.get())) << out;
    TreePtr second = parse(out);
    ASSERT_TRUE(second);
    EXPECT_EQ(xmltest::canonical(second.get()), xmltest::canonical(first.get())) << out;
    EXPECT_EQ(serialise(second.get()), out);
  }
}

TEST(XmlWriteDepth, HundredThousandLevelsWriteAndReadBack) {
  const int depth = 100000;
  std::string doc;
  for (int i = 0; i < depth; ++i)
    doc += "<d>";
  doc += "x";
  for (int i = 0; i < depth; ++i)
    doc += "</d>";
  TreePtr t = parse(doc);
  ASSERT_TRUE(t);
  const std::string out = serialise(t.get());
  EXPECT_NE(out.find(std::string(200, ' ') + "<d>x</d>\r\n"), std::string::npos);
  TreePtr back = parse(out);
  ASSERT_TRUE(back);
  int levels = 0;
  for (TreeNode *n = back.get(); n->getNumChildren() == 1; n = n->getChild(0))
    ++levels;
  EXPECT_EQ(levels, depth - 1);
}

} // namespace
