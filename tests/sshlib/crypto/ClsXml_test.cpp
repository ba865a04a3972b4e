// The XML object: loading (text, files, the file-name shortcut), cursor moves and shared trees
// whose nodes outlive the object that loaded them, reading, the path language, and binary
// contents through Base64, AES (encrypted by the openssl command) and raw Deflate (from zlib).
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TreeNode.h"
#include "sshlib/core/XString.h"
#include "sshlib/crypto/ClsXml.h"
#include "tests/sshlib/core/ExternalTool.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

const char *kDoc = "<?xml version='1.0'?>"
                   "<root id=' 7 '>"
                   "<a n='1'><b>first</b><b k='v'>second</b><c>42x</c></a>"
                   "<a n='2'><b>third</b><d>needle</d></a>"
                   "<e>leaf</e>"
                   "</root>";

std::string lastError(ClsXml &x) {
  StringBuffer sb;
  x.GetTextLog(sb);
  return sb.getString();
}

std::string path(ClsXml &x, const char *p, bool *ok = nullptr) {
  XString in, out;
  in.setFromUtf8(p);
  const bool r = x.RazudodPath(in, out);
  if (ok) *ok = r;
  return out.getUtf8();
}

std::string str(const DataBuffer &db) {
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

// A node whose content is the given text.
void setContent(ClsXml &x, const std::string &text) {
  std::string doc = "<bin>" + text + "</bin>";
  ASSERT_TRUE(x.LoadXmlUtf8(doc.c_str(), true));
}

std::string base64(const std::string &bytes) {
  return externaltool::filter("base64 -w 76", bytes);
}

TEST(ClsXmlLoad, NewObjectsTextFilesAndFailures) {
  ClsXml x;
  StringBuffer out;
  ASSERT_TRUE(x.GetXml(out));
  EXPECT_STREQ(out.getString(), "\r\n<unnamed />\r\n");
  EXPECT_EQ(x.get_NumChildren(), 0);

  ASSERT_TRUE(x.LoadXmlUtf8(kDoc, false));
  EXPECT_TRUE(x.TagEquals("root"));
  EXPECT_EQ(x.get_NumChildren(), 3);
  // Text without an element is a failure that keeps the document.
  EXPECT_FALSE(x.LoadXmlUtf8("just words", false));
  EXPECT_FALSE(x.LoadXmlUtf8(nullptr, false));
  EXPECT_TRUE(x.TagEquals("root"));

  externaltool::Scratch dir;
  ASSERT_TRUE(dir.ok());
  const std::string file = dir.file("key.XML");
  externaltool::writeBytes(file, "<key>  k  </key>");
  ASSERT_TRUE(x.LoadXmlUtf8(("  " + file + " ").c_str(), true));
  EXPECT_TRUE(x.TagEquals("key"));
  EXPECT_STREQ(x.get_Content(), "k");
  EXPECT_NE(lastError(x).find("Success."), std::string::npos);
  EXPECT_NE(lastError(x).find("filename"), std::string::npos);

  // Text holding "<" is XML even when it ends with ".xml".
  ASSERT_TRUE(x.LoadXmlUtf8("<t>a.xml</t><!-- x.xml", false));
  EXPECT_TRUE(x.TagEquals("t"));
  EXPECT_FALSE(x.LoadXmlFileUtf8(dir.file("missing.xml").c_str(), false));
  EXPECT_NE(lastError(x).find("Failed."), std::string::npos);
  EXPECT_TRUE(x.TagEquals("t"));
  ASSERT_TRUE(x.LoadXmlFileUtf8(file.c_str(), false));
  EXPECT_STREQ(x.get_Content(), "  k  ");
}

TEST(ClsXmlCursor, MovesAndSharedTreesOutliveTheirLoader) {
  auto x = std::make_unique<ClsXml>();
  ASSERT_TRUE(x->LoadXmlUtf8(kDoc, false));
  EXPECT_FALSE(x->NextSibling2());
  EXPECT_FALSE(x->GetParent2());
  ASSERT_TRUE(x->FirstChild2());
  EXPECT_EQ(x->GetAttrValueI("n"), 1);
  ASSERT_TRUE(x->NextSibling2());
  EXPECT_EQ(x->GetAttrValueI(" n "), 2);
  ASSERT_TRUE(x->GetChild2(1));
  EXPECT_TRUE(x->TagEquals("d"));
  EXPECT_FALSE(x->GetChild2(5));
  EXPECT_FALSE(x->FirstChild2());
  ASSERT_TRUE(x->GetParent2());
  x->GetRoot2();
  EXPECT_TRUE(x->TagEquals("root"));
  x->GetRoot2();
  EXPECT_TRUE(x->TagEquals("root"));

  std::unique_ptr<ClsXml> child(x->GetChild(2));
  std::unique_ptr<ClsXml> self(x->GetSelf());
  ASSERT_TRUE(child && self);
  EXPECT_EQ(x->GetChild(9), nullptr);
  EXPECT_STREQ(child->get_Content(), "leaf");
  EXPECT_EQ(x->getCurrentNode()->getTreeRefCount(), 3);

  // The loader moves on to another document, then goes away: the others keep the tree.
  ASSERT_TRUE(x->LoadXmlUtf8("<other/>", false));
  EXPECT_EQ(child->getCurrentNode()->getTreeRefCount(), 2);
  x.reset();
  EXPECT_STREQ(child->get_Content(), "leaf");
  ASSERT_TRUE(child->GetParent2());
  EXPECT_EQ(child->get_NumChildren(), 3);
  // Clearing one holder leaves the other's document intact.
  EXPECT_TRUE(self->Clear());
  EXPECT_TRUE(self->TagEquals("unnamed"));
  EXPECT_TRUE(child->TagEquals("root"));
  EXPECT_EQ(child->getCurrentNode()->getTreeRefCount(), 1);
  // The last holder frees the tree (ASan reports a leak or a double free otherwise).
  child.reset();

  // An object made on a node that is not in a tree keeps its own empty document.
  TreeNode lone("x", nullptr, 0);
  std::unique_ptr<ClsXml> made(ClsXml::createNode(&lone, 0));
  EXPECT_TRUE(made->TagEquals("unnamed"));
  std::unique_ptr<ClsXml> none(ClsXml::createNode(nullptr, 0));
  EXPECT_TRUE(none->TagEquals("unnamed"));
}

TEST(ClsXmlRead, ContentsAttributesAndComparisons) {
  ClsXml x;
  ASSERT_TRUE(x.LoadXmlUtf8(kDoc, false));
  EXPECT_EQ(x.GetAttrValueI("id"), 7);
  EXPECT_EQ(x.GetAttrValueI("nope"), 0);
  EXPECT_TRUE(x.HasAttrWithValue(" id ", " 7 "));
  EXPECT_FALSE(x.HasAttrWithValue("id", "7"));
  StringBuffer out("keep");
  EXPECT_TRUE(x.get_Content(out));
  EXPECT_STREQ(out.getString(), "keep"); // no content: left as it was
  EXPECT_TRUE(x.GetChildContent("e", out));
  EXPECT_STREQ(out.getString(), "leaf");
  EXPECT_FALSE(x.GetChildContent("zz", out));
  EXPECT_EQ(out.getSize(), 0);
  EXPECT_TRUE(x.ChildContentEquals(" e ", "leaf"));
  EXPECT_FALSE(x.ChildContentEquals("e", "Leaf"));
  EXPECT_FALSE(x.ChildContentEquals("zz", ""));
  EXPECT_TRUE(x.ContentEquals(""));
  EXPECT_TRUE(x.ContentEquals(nullptr));
  EXPECT_FALSE(x.TagEquals("Root"));
  ASSERT_TRUE(x.FirstChild2());
  ASSERT_TRUE(x.GetChild2(2));
  EXPECT_EQ(x.get_ContentI(), 42);
  EXPECT_EQ(x.get_ContentSize(), 3);
  EXPECT_TRUE(x.get_Content(out));
  EXPECT_STREQ(out.getString(), "42x");
  EXPECT_TRUE(x.GetXml(out));
  EXPECT_STREQ(out.getString(), "\r\n<c>42x</c>\r\n");
}

TEST(ClsXmlPath, StepsCommandsAndInvalidSteps) {
  ClsXml x;
  ASSERT_TRUE(x.LoadXmlUtf8(kDoc, false));
  bool ok = false;
  EXPECT_EQ(path(x, "a|b|*", &ok), "first");
  EXPECT_TRUE(ok);
  EXPECT_EQ(path(x, "a|b[1]|*", &ok), "second");
  EXPECT_EQ(path(x, "a[1]|b|*", &ok), "third");
  EXPECT_EQ(path(x, "a|b[1]|(k)", &ok), "v");
  EXPECT_EQ(path(x, "/T/d|*", &ok), "needle");
  EXPECT_EQ(path(x, "/C/b,th*|..|(n)", &ok), "2");
  EXPECT_EQ(path(x, "/A/b,k,v|*", &ok), "second");
  EXPECT_EQ(path(x, "||e|*", &ok), "leaf");
  EXPECT_EQ(path(x, "a|{second}|(k)", &ok), "v");
  // The tag in front of "{" must match as well.
  EXPECT_EQ(path(x, "a|c{second}|*", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(path(x, "a|b{second}|*", &ok), "second");
  EXPECT_TRUE(ok);

  // Failures and non-moves.
  EXPECT_EQ(path(x, "..|*", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(path(x, "/A/b,k|*", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_NE(lastError(x).find("InvalidCmd"), std::string::npos);
  EXPECT_EQ(path(x, "a|{second|*", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_NE(lastError(x).find("InvalidCmd"), std::string::npos);
  EXPECT_EQ(path(x, "a|(missing)", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(path(x, "a|?", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(path(x, "zz|*", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(path(x, "a|", &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(path(x, "", &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(x.TagEquals("root"));
  XString r;
  EXPECT_FALSE(x.razudodPath(nullptr, r, x.m_log));

  // "$" moves the object itself.
  EXPECT_EQ(path(x, "a|b[1]|$", &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_STREQ(x.get_Content(), "second");
  EXPECT_EQ(path(x, "$", &ok), "");
  EXPECT_STREQ(x.get_Content(), "second");
  EXPECT_EQ(x.getCurrentNode()->getTreeRefCount(), 1);
}

TEST(ClsXmlBinary, DecodeDecryptInflateAndFailingSteps) {
  ClsXml x;
  DataBuffer out;
  out.append("untouched", 9);
  EXPECT_TRUE(x.GetBinaryContent(out, true, true, "pw"));
  EXPECT_EQ(str(out), "untouched");

  const std::string plain = "binary \x01\x02\xFF content, repeated repeated repeated";
  setContent(x, base64(plain));
  EXPECT_TRUE(x.GetBinaryContent(out, false, false, nullptr));
  EXPECT_EQ(str(out), plain);

  // Not Base64 at all, a stray "=", a length no group can make.
  for (const char *bad : {"not base64!", "QU=JD", "QUJDR"}) {
    setContent(x, bad);
    out.append("x", 1);
    EXPECT_FALSE(x.GetBinaryContent(out, false, false, nullptr)) << bad;
    EXPECT_EQ(out.getSize(), 0u);
  }

  // Encrypted with the all-zero key and IV of a default cipher.
  const std::string enc =
      externaltool::filter("openssl enc -aes-128-cbc -K 00000000000000000000000000000000 -iv "
                           "00000000000000000000000000000000",
                           plain);
  setContent(x, base64(enc));
  EXPECT_TRUE(x.GetBinaryContent(out, false, true, ""));
  EXPECT_EQ(str(out), plain);
  EXPECT_FALSE(x.GetBinaryContent(out, false, true, "password"));
  EXPECT_NE(lastError(x).find("pass phrase"), std::string::npos);
  EXPECT_EQ(out.getSize(), 0u);
  // Plain data is no ciphertext.
  setContent(x, base64(std::string(32, 'z')));
  EXPECT_FALSE(x.GetBinaryContent(out, false, true, nullptr));

  const std::string raw = externaltool::filter(
      "/usr/bin/python3 -c \"import sys,zlib;c=zlib.compressobj(9,zlib.DEFLATED,-15);"
      "sys.stdout.buffer.write(c.compress(sys.stdin.buffer.read())+c.flush())\"",
      plain);
  ASSERT_FALSE(raw.empty());
  setContent(x, base64(raw));
  EXPECT_TRUE(x.GetBinaryContent(out, true, false, nullptr));
  EXPECT_EQ(str(out), plain);
  // A truncated stream fails.
  setContent(x, base64(raw.substr(0, raw.size() / 2)));
  EXPECT_FALSE(x.GetBinaryContent(out, true, false, nullptr));
  // Decrypted, then inflated.
  const std::string both =
      externaltool::filter("openssl enc -aes-128-cbc -K 00000000000000000000000000000000 -iv "
                           "00000000000000000000000000000000",
                           raw);
  setContent(x, base64(both));
  EXPECT_TRUE(x.GetBinaryContent(out, true, true, nullptr));
  EXPECT_EQ(str(out), plain);
}

TEST(ClsXmlDepth, DeepDocumentLoadWriteAndFree) {
  const int depth = 100000;
  std::string doc;
  for (int i = 0; i < depth; ++i)
    doc += "<d>";
  for (int i = 0; i < depth; ++i)
    doc += "</d>";
  auto x = std::make_unique<ClsXml>();
  ASSERT_TRUE(x->LoadXmlUtf8(doc.c_str(), false));
  XString in, r;
  in.setFromUtf8("/T/nothere|*");
  EXPECT_FALSE(x->RazudodPath(in, r));
  StringBuffer out;
  ASSERT_TRUE(x->GetXml(out));
  EXPECT_GT(out.getSize(), depth * 8);
  x.reset();
}

} // namespace
