// The logger (tag normalisation, typed values, renderings, the debug log file, saving) and the
// public-object base that frames every public call with it.
#include "sshlib/core/ClsBase.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "FileTestDir.h"

namespace {

bool endsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string textOf(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

TEST(LoggerValues, TagNormalisationAndTypedValues) {
  Logger log;
  EXPECT_TRUE(log.LogData("  my tag\there \r\n", "v"));
  EXPECT_FALSE(log.LogData(" \t\r\n ", "lost"));
  EXPECT_FALSE(log.LogDataLong("   ", 1));
  EXPECT_FALSE(log.LogDataInt64("", 1));
  EXPECT_FALSE(log.LogHex(" ", 1));
  EXPECT_TRUE(log.LogData("nullValue", nullptr));
  EXPECT_TRUE(log.LogHex("hex", 255));
  EXPECT_TRUE(log.LogDataLong("long", -1));
  EXPECT_TRUE(log.LogDataInt64("big", -9000000000LL));
  EXPECT_TRUE(log.LogDataInt64("min", LLONG_MIN));
  EXPECT_TRUE(log.LogInfo(nullptr));
  EXPECT_TRUE(log.LogError(nullptr));
  EXPECT_TRUE(log.LogXml(nullptr));
  EXPECT_EQ(textOf(log), "RazudodLog:\n"
                         "  my_tag\there: v\n"
                         "  nullValue: (NULL)\n"
                         "  hex: 0xff\n"
                         "  long: -1\n"
                         "  big: -9000000000\n"
                         "  min: -9223372036854775808\n");
  log.LogTickCount(" tick ");
  std::string t = textOf(log);
  std::string last = t.substr(t.rfind("  tick: ") + 8);
  EXPECT_FALSE(last.empty());
  EXPECT_EQ(last.find_first_not_of("0123456789abcdef\n"), std::string::npos) << last;
}

TEST(LoggerRender, LineEndsAreLfAndClearStartsAgain) {
  Logger log;
  log.EnterContext("Op", true);
  log.LogData("k", "a\r\nb");
  log.LeaveContext();
  StringBuffer sb;
  log.getHtml(sb);
  EXPECT_EQ(std::string(sb.getString()),
            "RazudodLog:<blockquote>\nOp:<blockquote>\nk: a\nb<br>\n</blockquote>\n"
            "</blockquote>\n");
  sb.setString("old");
  log.getXml(sb);
  EXPECT_EQ(std::string(sb.getString()),
            "<RazudodLog>\n<Op>\n<k><![CDATA[a\nb]]></k>\n</Op>\n</RazudodLog>\n");
  log.ClearLog();
  EXPECT_EQ(textOf(log), "RazudodLog:\n");
}

TEST(LoggerDebugFile, MirrorsContextsAndLinesWithIndent) {
  filetest::TempDir dir;
  std::string path = dir.file("caf\xC3\xA9 debug.log");
  {
    Logger log;
    log.EnterContext("Connect", true);
    log.LogInfo("not mirrored: no path yet");
    log.LeaveContext();
    EXPECT_FALSE(filetest::exists(path));
    log.m_debugLogFilePath.setFromUtf8(path.c_str());
    log.EnterContext("Connect", true);
    log.LogData("host name", "example");
    log.LogDataLong("port", 22);
    log.EnterContext("Auth", false);
    log.LogError("denied");
    log.LogDataInt64("notMirrored", 5);
    log.LogHex("notMirrored", 5);
    log.LogXml("<notMirrored/>");
    log.LeaveContext();
    log.LeaveContext();
    log.LeaveContext(); // unbalanced: depth stays at 0
    log.LogInfo("after");
  }
  // Written to the file named by the UTF-8 bytes, and never truncated by the logger.
  EXPECT_EQ(filetest::readBytes(path), "Connect:\n"
                                       "    host_name: example\n"
                                       "    port: 22\n"
                                       "    Auth:\n"
                                       "        denied\n"
                                       "        (leaveContext)\n"
                                       "    (leaveContext)\n"
                                       "(leaveContext)\n"
                                       "after\n");
  Logger again;
  again.m_debugLogFilePath.setFromUtf8(path.c_str());
  again.LogInfo("appended");
  EXPECT_EQ(filetest::readBytes(path).substr(0, 9), "Connect:\n");
  EXPECT_NE(filetest::readBytes(path).find("after\nappended\n"), std::string::npos);
  // A path that cannot be opened loses the line but not the tree entry.
  Logger broken;
  broken.m_debugLogFilePath.setFromUtf8(dir.file("missing/dir/x.log").c_str());
  EXPECT_TRUE(broken.LogInfo("kept"));
  EXPECT_EQ(textOf(broken), "RazudodLog:\n  kept\n");
}

TEST(LoggerSave, SaveXmlWritesTheRenderingToAUtf8Path) {
  filetest::TempDir dir;
  Logger log;
  log.EnterContext("Op", true);
  log.LogInfo("Success.");
  log.LeaveContext();
  std::string path = dir.file("r\xC3\xA9sultat.xml");
  EXPECT_TRUE(log.SaveXML(false, path.c_str()));
  EXPECT_EQ(filetest::readBytes(path),
            "<RazudodLog>\n<Op>\n<info>Success.</info>\n</Op>\n</RazudodLog>\n");
  EXPECT_FALSE(log.SaveXML(false, dir.file("no/such/dir.xml").c_str()));
}

// A public object whose operations follow the frame every public call uses.
class Sample : public ClsBase {
public:
  bool Work(bool succeed) {
    enterContextBase("Work");
    m_log.LogData("argument", succeed ? "yes" : "no");
    if (!succeed) m_log.LogError("Index out of range");
    logSuccessFailure(succeed);
    m_log.LeaveContext();
    return succeed;
  }
};

TEST(ClsBaseFrame, LastErrorShowsOnlyTheLatestCall) {
  Sample s;
  EXPECT_TRUE(s.isValidClsBase());
  s.exceptionInfo().setString("stale");
  s.Work(false);
  s.Work(true);
  EXPECT_EQ(s.exceptionInfo().getSize(), 0);
  XString text;
  s.GetTextLogX(text, false);
  std::string t = text.getUtf8();
  EXPECT_EQ(t.rfind("RazudodLog:\n  Work:\n    DllDate: Aug  9 2011\n", 0), 0u) << t;
  EXPECT_NE(t.find("    Username: "), std::string::npos);
  EXPECT_NE(t.find("    Architecture: Little Endian; 64-bit\n"), std::string::npos) << t;
  EXPECT_NE(t.find("    Language: "), std::string::npos);
  EXPECT_EQ(t.find("Index out of range"), std::string::npos);
  EXPECT_TRUE(endsWith(t, "\n    argument: yes\n    Success.\n")) << t;
  EXPECT_EQ(t.find('\r'), std::string::npos);

  s.Work(false);
  XString crlf;
  s.GetTextLogX(crlf, true);
  std::string c = crlf.getUtf8();
  EXPECT_TRUE(endsWith(c, "\n    argument: no\r\n    Index out of range\r\n    Failed.\r\n")) << c;
  XString xml;
  s.GetXmlLogX(xml, false);
  EXPECT_NE(std::string(xml.getUtf8()).find("<error>Failed.</error>\n</Work>\n"),
            std::string::npos);
  XString html;
  s.GetHtmlLogX(html, false);
  EXPECT_NE(std::string(html.getUtf8()).find("Failed.<br>\n"), std::string::npos);
  StringBuffer sb("old");
  s.GetTextLog(sb);
  EXPECT_EQ(std::string(sb.getString()).rfind("RazudodLog:\n", 0), 0u);
}

TEST(ClsBaseFrame, UsernameIsHostColonLogin) {
  Sample s;
  s.Work(true);
  StringBuffer sb;
  s.GetTextLog(sb);
  std::string t = sb.getString();
  size_t at = t.find("    Username: ");
  ASSERT_NE(at, std::string::npos);
  std::string user = t.substr(at + 14, t.find('\n', at) - at - 14);
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  const char *login = getlogin();
  std::string expect = host[0] ? std::string(host) + ":" : std::string();
  expect += login ? login : "";
  EXPECT_EQ(user, expect);
}

TEST(ClsBaseFrame, SaveLastErrorAndDebugLogPath) {
  filetest::TempDir dir;
  Sample s;
  s.Work(true);
  EXPECT_FALSE(s.SaveXmlLog(nullptr));
  EXPECT_FALSE(s.SaveXmlLog(" \t "));
  std::string saved = dir.file("last.xml");
  EXPECT_TRUE(s.SaveXmlLog(("  " + saved + "\n").c_str()));
  std::string x = filetest::readBytes(saved);
  EXPECT_EQ(x.rfind("<RazudodLog>\n<Work>\n<DllDate>Aug  9 2011</DllDate>\n", 0), 0u) << x;
  EXPECT_FALSE(s.SaveXmlLog(dir.file("missing/last.xml").c_str()));

  std::string debugPath = dir.file("debug.log");
  XString p;
  p.setFromUtf8(debugPath.c_str());
  s.put_DebugLogFilePath(p);
  XString back;
  s.get_DebugLogFilePath(back);
  EXPECT_STREQ(back.getUtf8(), debugPath.c_str());
  s.Work(true);
  s.Work(false);
  std::string d = filetest::readBytes(debugPath);
  EXPECT_EQ(d.rfind("Work:\n    DllDate: Aug  9 2011\n", 0), 0u) << d;
  EXPECT_NE(d.find("    Success.\n    (leaveContext)\nWork:\n"), std::string::npos) << d;
  EXPECT_TRUE(endsWith(d, "    Index out of range\n    Failed.\n    (leaveContext)\n")) << d;
  XString empty;
  s.put_DebugLogFilePath(empty);
  size_t before = d.size();
  s.Work(true);
  EXPECT_EQ(filetest::readBytes(debugPath).size(), before);
}

} // namespace
