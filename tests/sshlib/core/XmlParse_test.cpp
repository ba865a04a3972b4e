// The XML parser: its forgiving rules on odd input, entity decoding once per text run, the prolog,
// charset normalisation of files, and agreement with libxml2 on random well-formed documents.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/ParseEngine.h"
#include "sshlib/core/ProgressEvent.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TreeNode.h"
#include "tests/sshlib/core/XmlTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using xmltest::parse;
using xmltest::TreePtr;

namespace {

std::string attr(TreeNode *n, const char *name) {
  StringBuffer v;
  if (!n->getAttributeValue(name, v)) return "<none>";
  return v.getString();
}

std::string logText(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

TEST(XmlParseText, RunsEntitiesBlanksAndCData) {
  // One run is decoded once: an escaped entity stays an entity.
  TreePtr a = parse("<a>x &amp;lt; y</a>");
  EXPECT_STREQ(a->getContent(), "x &lt; y");
  // Runs around a child are joined by one blank, and each keeps its own decoding.
  TreePtr b = parse("<a>p &amp;lt;<b/>q &amp;amp; &lt;</a>");
  EXPECT_STREQ(b->getContent(), "p &lt; q &amp; <");
  ASSERT_EQ(b->getNumChildren(), 1);
  EXPECT_STREQ(b->getChild(0)->getTag(), "b");
  TreePtr all = parse("<a>&lt;&gt;&quot;&apos;&amp;&#65;</a>");
  EXPECT_STREQ(all->getContent(), "<>\"'&&#65;");

  EXPECT_STREQ(parse("<a>  x  </a>", true)->getContent(), "x");
  EXPECT_STREQ(parse("<a>  x  </a>", false)->getContent(), "  x  ");
  EXPECT_EQ(parse("<a>\n  <b/>\n</a>")->getContentSize(), 0);

  TreePtr c = parse("<a><![CDATA[1]2]]>tail</a>");
  EXPECT_STREQ(c->getContent(), "1]2");
  EXPECT_TRUE(c->isCData());
  // Adjacent sections join without a blank; CDATA text is never entity-decoded.
  TreePtr d = parse("<a><![CDATA[x]]]]><![CDATA[>&amp;]]></a>");
  EXPECT_STREQ(d->getContent(), "x]]>&amp;");
  TreePtr e = parse("<a>t<![CDATA[&lt;]]></a>");
  EXPECT_STREQ(e->getContent(), "t&lt;");
  TreePtr f = parse("<a><![CDATA[unterminated");
  EXPECT_STREQ(f->getContent(), "unterminated");
}

TEST(XmlParseTags, AttributesOddMarkupAndRoots) {
  TreePtr a = parse("<a b=c d='e'>");
  ASSERT_TRUE(a);
  EXPECT_EQ(attr(a.get(), "b"), "c d=");
  EXPECT_EQ(attr(a.get(), "e"), "");
  EXPECT_EQ(a->getAttributeSet()->numAttributes(), 2);

  EXPECT_EQ(attr(parse("<a 1x='v'/>").get(), "A1x"), "v");
  EXPECT_EQ(attr(parse("<a k=\"&lt;&amp;gt;&quot;\"/>").get(), "k"), "<&gt;\"");
  EXPECT_EQ(attr(parse("<a k = 'x y' />").get(), "k"), "x y");
  EXPECT_EQ(attr(parse("<a flag other='1'/>").get(), "flag"), "");

  // Closing tags are not compared with the open element.
  TreePtr m = parse("<a></b>");
  EXPECT_STREQ(m->getTag(), "a");
  EXPECT_EQ(m->getNumChildren(), 0);
  // A later top-level element replaces an earlier one.
  EXPECT_STREQ(parse("<a/><b/>")->getTag(), "b");
  // Open elements at the end are closed; the outermost is the root.
  TreePtr open = parse("<r><x><y>text");
  EXPECT_STREQ(open->getTag(), "r");
  EXPECT_STREQ(open->getChild(0)->getChild(0)->getContent(), "text");
  // A finished root wins over an unfinished second tree (ASan: the second is freed).
  EXPECT_STREQ(parse("<a/><b><c>")->getTag(), "a");
  EXPECT_EQ(parse("no markup at all"), nullptr);
  EXPECT_EQ(parse(""), nullptr);
  EXPECT_EQ(parse("<"), nullptr);
  TreePtr comment = parse("<a><!-- <b/> --><c/><!x></a>");
  ASSERT_EQ(comment->getNumChildren(), 1);
  EXPECT_STREQ(comment->getChild(0)->getTag(), "c");
}

TEST(XmlParseErrors, LoggedProblems) {
  Logger log;
  EXPECT_EQ(parse("<!-- never closed", false, &log), nullptr);
  EXPECT_NE(logText(log).find("Unclosed comment"), std::string::npos);

  Logger log2;
  TreePtr t = parse("<a><b></b<c/></a>", false, &log2);
  EXPECT_NE(logText(log2).find("Error in closing tag"), std::string::npos);
  EXPECT_NE(logText(log2).find("error_tag"), std::string::npos);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->getNumChildren(), 2);

  Logger log3;
  TreePtr d = parse("<!DOCTYPE r [ <!ELEMENT r ANY>", false, &log3);
  EXPECT_NE(logText(log3).find("Failed to parse DTD"), std::string::npos);

  TreeNode *root = nullptr;
  StringBuffer sb("<a/>");
  EXPECT_FALSE(TreeNode::customParseString(sb, nullptr, nullptr, nullptr, false));
  EXPECT_TRUE(TreeNode::customParseString(sb, nullptr, nullptr, &root, false));
  delete root;
}

TEST(XmlParseProlog, DeclarationStyleSheetsDocTypeAndInstructions) {
  TreePtr t = parse("<?xml version='1.0' encoding=\"UTF-8\" standalone='yes'?>\n"
                    "<?xml-stylesheet type=\"text/xsl\" href=\"s.xsl\"?>\n"
                    "<!DOCTYPE r [<!ELEMENT r ANY><!ENTITY e \"<x>\">]>\n"
                    "<?php x ?>\n<r/>");
  ASSERT_TRUE(t);
  TreeInfo *info = t->getTreeInfo();
  ASSERT_NE(info->m_decl, nullptr);
  EXPECT_STREQ(info->m_decl->getTag(), "xml");
  EXPECT_EQ(attr(info->m_decl, "version"), "1.0");
  EXPECT_EQ(attr(info->m_decl, "encoding"), "UTF-8");
  EXPECT_EQ(attr(info->m_decl, "standalone"), "yes");
  ASSERT_EQ(info->m_styleSheets->getSize(), 1);
  TreeNode *ss = static_cast<TreeNode *>(info->m_styleSheets->elementAt(0));
  EXPECT_EQ(attr(ss, "href"), "s.xsl");
  ASSERT_NE(info->m_docType, nullptr);
  EXPECT_STREQ(info->m_docType->getString(),
               "<!DOCTYPE r [<!ELEMENT r ANY><!ENTITY e \"<x>\">]>\n");
  ASSERT_NE(info->m_processing, nullptr);
  EXPECT_STREQ(info->m_processing->getString(), "<?php x ?>\n");

  // A declaration that no tree takes is freed; a second root gets only what was read again.
  EXPECT_EQ(parse("<?xml version='1.0'?>"), nullptr);
  TreePtr two = parse("<?xml version='1.0'?><a/><b/>");
  EXPECT_EQ(two->getTreeInfo()->m_decl, nullptr);
}

TEST(XmlParseEngine, CursorOperationsStopAtTheEnd) {
  ParseEngine pe;
  pe.append("ab<c>d]]>e");
  pe.append(nullptr);
  StringBuffer out;
  pe.captureToNextChar('<', out);
  EXPECT_STREQ(out.getString(), "ab");
  EXPECT_TRUE(pe.seekAndCopy("]]>", out));
  EXPECT_STREQ(out.getString(), "ab<c>d]]>");
  EXPECT_FALSE(pe.seekAndSkipExact("zz"));
  EXPECT_TRUE(pe.skipUntilChar2('x', 'y')); // reached the end
  EXPECT_TRUE(pe.atEnd());
  pe.skip(5);
  pe.advance();
  EXPECT_TRUE(pe.atEnd());

  ParseEngine depth;
  depth.append("!DOCTYPE [<a><b>]>rest");
  StringBuffer dt;
  EXPECT_TRUE(depth.seekAndCopyToClosing('<', '>', 1, dt));
  EXPECT_STREQ(dt.getString(), "!DOCTYPE [<a><b>]>");
  StringBuffer none;
  EXPECT_EQ(depth.captureToNext("", none), 0);
  EXPECT_EQ(depth.captureToNext("t", none), 3);
  EXPECT_STREQ(none.getString(), "res");

  ParseBuffer pb;
  ASSERT_NE(pb.m_buffer, nullptr);
  std::memcpy(pb.m_buffer, "abcdef", 7);
  pb.m_count = 6;
  pb.discard(2);
  EXPECT_STREQ(pb.m_buffer, "cdef");
  pb.discardAll();
  EXPECT_EQ(pb.m_count, 0);
}

TEST(XmlParseFiles, CharsetNormalisation) {
  externaltool::Scratch dir;
  ASSERT_TRUE(dir.ok());
  auto load = [&dir](const std::string &bytes, Logger *log = nullptr) {
    externaltool::writeBytes(dir.file("doc.xml"), bytes);
    TreeNode *root = nullptr;
    EXPECT_TRUE(TreeNode::customParseFile(dir.file("doc.xml").c_str(), log, nullptr, &root, false));
    return TreePtr(root);
  };
  // ISO-8859-1 is converted; the declaration keeps its name.
  TreePtr latin = load("<?xml version='1.0' encoding='ISO-8859-1'?><r>caf\xE9</r>");
  EXPECT_STREQ(latin->getContent(), "caf\xC3\xA9");
  StringBuffer enc;
  bool found = false;
  latin->getDocEncoding(enc, found);
  EXPECT_STREQ(enc.getString(), "ISO-8859-1");

  // UTF-16 with either mark, and UTF-8 with a mark.
  std::string utf16le("\xFF\xFE", 2), utf16be("\xFE\xFF", 2);
  const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>\xE2\x82\xAC</r>";
  const std::string le = externaltool::filter("iconv -f UTF-8 -t UTF-16LE", text);
  const std::string be = externaltool::filter("iconv -f UTF-8 -t UTF-16BE", text);
  ASSERT_FALSE(le.empty());
  TreePtr l = load(utf16le + le);
  EXPECT_STREQ(l->getContent(), "\xE2\x82\xAC");
  l->getDocEncoding(enc, found);
  EXPECT_STREQ(enc.getString(), "utf-8");
  EXPECT_STREQ(load(utf16be + be)->getContent(), "\xE2\x82\xAC");
  EXPECT_STREQ(load("\xEF\xBB\xBF<r>x</r>")->getContent(), "x");

  // A charset the tables cannot convert is refused by name: the bytes stay as they were, as for
  // any name the library does not know.
  Logger log;
  TreePtr kept = load("<?xml version='1.0' encoding='x-iscii-de'?><r>k\xE9</r>", &log);
  ASSERT_TRUE(kept);
  EXPECT_STREQ(kept->getContent(), "k\xE9");
  // GB18030 is converted as itself, its four-byte codes included.
  EXPECT_STREQ(
      load("<?xml version='1.0' encoding='gb18030'?><r>\x94\x39\xFC\x36</r>")->getContent(),
      "\xF0\x9F\x98\x80");

  // Unknown names and files that cannot be read.
  EXPECT_STREQ(load("<?xml encoding='no-such-set'?><r>\xE9</r>")->getContent(), "\xE9");
  TreeNode *root = nullptr;
  EXPECT_FALSE(
      TreeNode::customParseFile(dir.file("missing.xml").c_str(), nullptr, nullptr, &root, false));
  externaltool::writeBytes(dir.file("empty.xml"), "");
  EXPECT_FALSE(
      TreeNode::customParseFile(dir.file("empty.xml").c_str(), nullptr, nullptr, &root, false));
  DataBuffer empty;
  EXPECT_FALSE(TreeNode::convertXmlToUtf8(empty, nullptr));
}

class PctRecorder : public ProgressEvent {
public:
  void UpdatePct(int pct, bool &abort) override {
    pcts.push_back(pct);
    abort = false;
  }
  std::vector<int> pcts;
};

TEST(XmlParseProgress, PercentsRiseAtClosingTagsAndEndAtHundred) {
  std::string doc = "<r>";
  for (int i = 0; i < 200; ++i)
    doc += "<item>" + std::to_string(i) + "</item>";
  doc += "</r>";
  PctRecorder rec;
  ProgressMonitor pm(&rec, 1u);
  StringBuffer sb(doc.c_str());
  TreeNode *root = nullptr;
  ASSERT_TRUE(TreeNode::customParseString(sb, nullptr, &pm, &root, false));
  TreePtr t(root);
  EXPECT_EQ(t->getNumChildren(), 200);
  ASSERT_GE(rec.pcts.size(), 10u);
  EXPECT_TRUE(std::is_sorted(rec.pcts.begin(), rec.pcts.end()));
  EXPECT_EQ(rec.pcts.back(), 100);

  // An empty text drops the monitor: no events at all.
  PctRecorder none;
  ProgressMonitor pm2(&none, 1u);
  StringBuffer empty;
  ASSERT_TRUE(TreeNode::customParseString(empty, nullptr, &pm2, &root, false));
  EXPECT_EQ(root, nullptr);
  EXPECT_TRUE(none.pcts.empty());
}

TEST(XmlParseOracle, RandomDocumentsMatchLibxml2) {
  xmltest::DocGen gen(20261206);
  int compared = 0;
  for (int i = 0; i < 150; ++i) {
    const std::string doc = gen.document(i % 2 == 0);
    int status = -1;
    const std::string expected = xmltest::xmllintCanonical(doc, &status);
    ASSERT_EQ(status, 0) << doc;
    TreePtr t = parse(doc);
    ASSERT_TRUE(t) << doc;
    EXPECT_EQ(xmltest::canonical(t.get()), expected) << doc;
    ++compared;
  }
  EXPECT_EQ(compared, 150);
}

TEST(XmlParseDepth, HundredThousandLevels) {
  const int depth = 100000;
  std::string doc;
  doc.reserve(depth * 8 + 16);
  for (int i = 0; i < depth; ++i)
    doc += "<d>";
  doc += "leaf";
  for (int i = 0; i < depth; ++i)
    doc += "</d>";
  TreePtr t = parse(doc);
  ASSERT_TRUE(t);
  TreeNode *n = t.get();
  int levels = 0;
  while (n->getNumChildren() == 1) {
    n = n->getChild(0);
    ++levels;
  }
  EXPECT_EQ(levels, depth - 1);
  EXPECT_STREQ(n->getContent(), "leaf");
  // Unclosed, the whole chain is closed at the end and freed with the root.
  TreePtr unclosed = parse(doc.substr(0, depth * 3));
  ASSERT_TRUE(unclosed);
}

} // namespace
