// The log interface's defaults, the discarding log and the two operations built on the table.
#include "sshlib/core/LogBase.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(LogNull, AcceptsEverythingAndRecordsNothing) {
  LogNull log;
  LogBase &base = log;
  StringBuffer out("unchanged");
  base.getXml(out);
  base.getHtml(out);
  base.getText(out);
  EXPECT_STREQ(out.getString(), "unchanged");
  EXPECT_TRUE(base.LogError("e"));
  EXPECT_TRUE(base.LogInfo("i"));
  EXPECT_TRUE(base.LogXml("<x/>"));
  EXPECT_TRUE(base.ClearLog());
  EXPECT_TRUE(base.EnterContext("ctx", true));
  EXPECT_TRUE(base.LeaveContext());
  EXPECT_TRUE(base.LogData("t", "v"));
  EXPECT_TRUE(base.LogDataLong("t", -1));
  EXPECT_TRUE(base.LogDataInt64("t", -1));
  EXPECT_TRUE(base.LogHex("t", 0xFFu));
  base.LogTickCount("t");
  EXPECT_TRUE(base.SaveXML(false, "/nonexistent/never-written.xml"));
  errno = ENOENT;
  base.LogLastErrorOS();
  base.LogBracketed("t", nullptr);
}

struct Recorder : LogBase {
  bool LogData(const char *tag, const char *value) override {
    lines.push_back(std::string(tag) + "=" + value);
    return true;
  }
  bool LogDataLong(const char *tag, int v) override {
    lines.push_back(std::string(tag) + "=" + std::to_string(v));
    return true;
  }
  std::vector<std::string> lines;
};

TEST(LogBase, LastErrorAndBracketedGoThroughTheTable) {
  Recorder log;
  errno = ENOENT;
  log.LogLastErrorOS();
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], "errno=" + std::to_string(ENOENT));
  EXPECT_EQ(log.lines[1], std::string("osErrorMessage=") + std::strerror(ENOENT));
  log.LogBracketed("name", "a b");
  EXPECT_EQ(log.lines[2], "name=[a b]");
  log.LogBracketed("empty", "");
  EXPECT_EQ(log.lines[3], "empty=[]");
}

} // namespace
