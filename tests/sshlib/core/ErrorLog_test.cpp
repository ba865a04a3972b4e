// The log tree: its three renderings byte for byte, the pruning of empty contexts, and XML that
// stays well-formed whatever the log holds.
#include "sshlib/core/ErrorLog.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XmlText.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "FileTestDir.h"

namespace {

std::string text(ErrorLog &log) {
  StringBuffer sb;
  log.GetText(sb);
  return sb.getString();
}
std::string html(ErrorLog &log) {
  StringBuffer sb;
  log.GetHtml(sb);
  return sb.getString();
}
std::string xml(ErrorLog &log) {
  StringBuffer sb;
  log.GetXml(sb);
  return sb.getString();
}

TEST(ErrorLogRender, FreshLogInAllThreeForms) {
  ErrorLog log;
  EXPECT_EQ(text(log), "RazudodLog:\r\n");
  EXPECT_EQ(html(log), "RazudodLog:<blockquote>\r\n</blockquote>\r\n");
  EXPECT_EQ(xml(log), "<RazudodLog>\r\n</RazudodLog>\r\n");
  log.OpenContext("Connect");
  log.LogInfo("x");
  log.CloseContext();
  log.ClearLog();
  EXPECT_EQ(text(log), "RazudodLog:\r\n");
  EXPECT_EQ(xml(log), "<RazudodLog>\r\n</RazudodLog>\r\n");
}

TEST(ErrorLogRender, NestedContextsEntriesAndIndent) {
  ErrorLog log;
  log.OpenContext("Connect");
  log.LogData("host", "example");
  log.OpenContext("Auth");
  log.LogData("user", "bob");
  log.LogError("denied");
  log.CloseContext();
  log.LogInfo("done");
  log.LogDataLong("count", -5);
  log.CloseContext();
  EXPECT_EQ(text(log), "RazudodLog:\r\n"
                       "  Connect:\r\n"
                       "    host: example\r\n"
                       "    Auth:\r\n"
                       "      user: bob\r\n"
                       "      denied\r\n"
                       "    done\r\n"
                       "    count: -5\r\n");
  EXPECT_EQ(html(log), "RazudodLog:<blockquote>\r\n"
                       "Connect:<blockquote>\r\n"
                       "host: example<br>\r\n"
                       "Auth:<blockquote>\r\n"
                       "user: bob<br>\r\n"
                       "denied<br>\r\n"
                       "</blockquote>\r\n"
                       "done<br>\r\n"
                       "count: -5<br>\r\n"
                       "</blockquote>\r\n"
                       "</blockquote>\r\n");
  EXPECT_EQ(xml(log), "<RazudodLog>\r\n"
                      "<Connect>\r\n"
                      "<host>example</host>\r\n"
                      "<Auth>\r\n"
                      "<user>bob</user>\r\n"
                      "<error>denied</error>\r\n"
                      "</Auth>\r\n"
                      "<info>done</info>\r\n"
                      "<count>-5</count>\r\n"
                      "</Connect>\r\n"
                      "</RazudodLog>\r\n");
}

TEST(ErrorLogTree, EmptyContextsArePrunedExceptUnderTheRoot) {
  ErrorLog log;
  log.OpenContext("Outer");
  log.OpenContext("Inner");
  log.CloseContext();
  log.CloseContext();
  EXPECT_EQ(xml(log), "<RazudodLog>\r\n<Outer>\r\n</Outer>\r\n</RazudodLog>\r\n");
  // A closing call without an opening one leaves the root open and changes nothing.
  log.CloseContext();
  log.LogInfo("still here");
  EXPECT_EQ(text(log), "RazudodLog:\r\n  Outer:\r\n  still here\r\n");
  // Only the last child is looked at: a context with entries stays.
  log.OpenContext("A");
  log.OpenContext("B");
  log.LogInfo("b");
  log.CloseContext();
  log.CloseContext();
  EXPECT_NE(text(log).find("    B:\r\n      b\r\n"), std::string::npos);
}

TEST(ErrorLogRender, EscapingAndCData) {
  ErrorLog log;
  log.LogData("v", "a<b");
  log.LogData("amp", "x & \"y\"");
  log.LogData("cr", "one\rtwo");
  log.LogData("own", "<![CDATA[<b>]]>");
  log.LogData("lf", "l1\nl2");
  EXPECT_EQ(xml(log), "<RazudodLog>\r\n"
                      "<v><![CDATA[a<b]]></v>\r\n"
                      "<amp><![CDATA[x & \"y\"]]></amp>\r\n"
                      "<cr>one\rtwo</cr>\r\n"
                      "<own><![CDATA[<b>]]></own>\r\n"
                      "<lf><![CDATA[l1\nl2]]></lf>\r\n"
                      "</RazudodLog>\r\n");
  std::string h = html(log);
  EXPECT_NE(h.find("v: a&lt;b<br>\r\n"), std::string::npos);
  EXPECT_NE(h.find("amp: x &amp; &quot;y&quot;<br>\r\n"), std::string::npos);
  EXPECT_FALSE(LogEntry2::needsCData(nullptr));
  EXPECT_FALSE(LogEntry2::needsCData("quote \" and ' and \r"));
  EXPECT_TRUE(LogEntry2::needsCData("tab\there"));
  EXPECT_FALSE(LogEntry2::needsCData("]]> then <![CDATA["));
}

TEST(ErrorLogRender, ValuesThatWouldBreakTheXmlAreContained) {
  ErrorLog log;
  // Both markers present, but not forming a section: written raw it would end the document.
  log.LogData("a", "]]> <x> <![CDATA[");
  // A section marker inside a value that also needs wrapping.
  log.LogData("b", "x]]>y\n");
  log.LogError("bad\x01"
               "byte \xff end");
  log.LogXml("<ok a=\"1\">fine</ok>");
  log.LogXml("<broken>");
  log.LogData("1 bad:tag", "v");
  std::string x = xml(log);
  EXPECT_NE(x.find("<a><![CDATA[]]]]><![CDATA[> <x> <![CDATA[]]></a>"), std::string::npos) << x;
  EXPECT_NE(x.find("<b><![CDATA[x]]]]><![CDATA[>y\n]]></b>"), std::string::npos) << x;
  EXPECT_NE(x.find("<error>bad\xEF\xBF\xBD"
                   "byte \xEF\xBF\xBD end</error>"),
            std::string::npos);
  EXPECT_NE(x.find("\r\n<ok a=\"1\">fine</ok>\r\n"), std::string::npos);
  EXPECT_NE(x.find("\r\n<![CDATA[<broken>]]>\r\n"), std::string::npos);
  EXPECT_NE(x.find("<_1_bad_tag>v</_1_bad_tag>"), std::string::npos) << x;
}

TEST(XmlTextChecks, ContentAndNames) {
  EXPECT_TRUE(XmlText::isWellFormedContent("plain text"));
  EXPECT_TRUE(XmlText::isWellFormedContent("a<![CDATA[<&>]]>b<!-- c -->&amp;&#x41;&#65;"));
  EXPECT_TRUE(XmlText::isWellFormedContent("<a x='1' y=\"&lt;\"><b/></a><?pi data?>"));
  EXPECT_FALSE(XmlText::isWellFormedContent("<a x='1' x='2'/>"));
  EXPECT_FALSE(XmlText::isWellFormedContent("<a>"));
  EXPECT_FALSE(XmlText::isWellFormedContent("</a>"));
  EXPECT_FALSE(XmlText::isWellFormedContent("<a></b>"));
  EXPECT_FALSE(XmlText::isWellFormedContent("&nbsp;"));
  EXPECT_FALSE(XmlText::isWellFormedContent("&#0;"));
  EXPECT_FALSE(XmlText::isWellFormedContent("a ]]> b"));
  EXPECT_FALSE(XmlText::isWellFormedContent("<!-- a -- b -->"));
  EXPECT_FALSE(XmlText::isWellFormedContent("<?xml version='1.0'?>"));
  EXPECT_FALSE(XmlText::isWellFormedContent("<a b='<'/>"));
  EXPECT_FALSE(XmlText::isWellFormedContent("<p:a/>"));
  EXPECT_TRUE(XmlText::isValidName("RazudodLog"));
  EXPECT_TRUE(XmlText::isValidName("caf\xC3\xA9-1.x"));
  EXPECT_FALSE(XmlText::isValidName("9lives"));
  EXPECT_FALSE(XmlText::isValidName("a b"));
  EXPECT_FALSE(XmlText::isValidName(""));
}

// Random logs: every rendering must be accepted by xmllint.
std::string randomText(std::mt19937 &rng, bool forTag) {
  static const std::vector<std::string> pieces = {"a",
                                                  "Z",
                                                  "_",
                                                  "-",
                                                  ".",
                                                  "9",
                                                  " ",
                                                  "\t",
                                                  "\n",
                                                  "\r",
                                                  "<",
                                                  ">",
                                                  "&",
                                                  "\"",
                                                  "'",
                                                  "]]>",
                                                  "<![CDATA[",
                                                  "]]",
                                                  "<b>",
                                                  "</b>",
                                                  "&amp;",
                                                  "&#x1;",
                                                  "\xC3\xA9",
                                                  "\xE2\x82\xAC",
                                                  "\xF0\x9F\x98\x80",
                                                  "\xFF",
                                                  "\xC3",
                                                  "\xED\xA0\x80",
                                                  "\x01",
                                                  "\x1F",
                                                  "\x7F",
                                                  "\xEF\xBF\xBE",
                                                  ":",
                                                  "?",
                                                  "!",
                                                  "--",
                                                  "<!--",
                                                  "-->",
                                                  "<?",
                                                  "?>",
                                                  "=",
                                                  "x",
                                                  "y"};
  std::uniform_int_distribution<size_t> len(0, forTag ? 4 : 12);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  std::string s;
  size_t n = len(rng);
  for (size_t i = 0; i < n; ++i)
    s += pieces[pick(rng)];
  return s;
}

TEST(ErrorLogXml, RandomLogsAreWellFormedForXmllint) {
  filetest::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::mt19937 rng(20261206);
  std::string files;
  for (int doc = 0; doc < 40; ++doc) {
    Logger log;
    int depth = 0;
    std::uniform_int_distribution<int> op(0, 8);
    for (int i = 0; i < 60; ++i) {
      switch (op(rng)) {
      case 0:
        log.EnterContext(randomText(rng, true).c_str(), true);
        ++depth;
        break;
      case 1:
        if (depth > 0) {
          log.LeaveContext();
          --depth;
        }
        break;
      case 2:
        log.LogInfo(randomText(rng, false).c_str());
        break;
      case 3:
        log.LogError(randomText(rng, false).c_str());
        break;
      case 4:
        log.LogXml(randomText(rng, false).c_str());
        break;
      case 5:
        log.LogDataLong(randomText(rng, true).c_str(), static_cast<int>(rng()));
        break;
      default:
        log.LogData(randomText(rng, true).c_str(), randomText(rng, false).c_str());
        break;
      }
    }
    StringBuffer out;
    log.getXml(out);
    std::string name = dir.file("log" + std::to_string(doc) + ".xml");
    filetest::writeBytes(name, std::string(out.getString(), out.getSize()));
    files += " '" + name + "'";
  }
  std::string report;
  int rc = filetest::run("xmllint --noout" + files, &report);
  EXPECT_EQ(rc, 0) << report;
  EXPECT_EQ(report, "");
}

} // namespace
