// The log's bound: however much an operation logs, the log keeps its first lines, its last lines
// and the contexts still open, says how many lines it left out in their place, and stays small
// in lines as in bytes.
#include "sshlib/core/ErrorLog.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XmlText.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

std::string text(ErrorLog &log) {
  StringBuffer sb;
  log.GetText(sb);
  return sb.getString();
}

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
    ++n;
  return n;
}

// The number a "[N log entries left out]" line gives, or 0 when there is none.
unsigned long long leftOut(const std::string &rendered) {
  auto at = rendered.find(" log entries left out]");
  if (at == std::string::npos) return 0;
  auto open = rendered.rfind('[', at);
  return std::stoull(rendered.substr(open + 1, at - open - 1));
}

// No rendering of a bounded log comes near this, whatever was logged into it.
constexpr size_t kFarAboveTheBound = 4 * 1024 * 1024;

TEST(ErrorLogBound, FloodsKeepTheFirstAndLastLinesAndCountTheRest) {
  struct Case {
    const char *name;
    long lines;
    std::function<void(ErrorLog &, long)> logLine; // logs line i (text "line i")
    const char *lineText;                          // what each line renders as, before i
  } cases[] = {
      {"information lines in one context", 300000,
       [](ErrorLog &log, long i) { log.LogInfo(("line " + std::to_string(i)).c_str()); }, "line "},
      {"one line in a context of its own each", 100000,
       [](ErrorLog &log, long i) {
         log.OpenContext("readWindowAdjust");
         log.LogData("line", std::to_string(i).c_str());
         log.CloseContext();
       },
       "line: "},
      {"large values", 20000,
       [](ErrorLog &log, long i) {
         log.LogData("payload", (std::to_string(i) + std::string(10000, 'x')).c_str());
       },
       "payload: "},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    ErrorLog log;
    log.OpenContext("DownloadFile");
    log.LogInfo("first");
    for (long i = 0; i < c.lines; ++i)
      c.logLine(log, i);
    log.LogError("Failed.");
    log.CloseContext();
    const std::string t = text(log);
    EXPECT_LT(t.size(), kFarAboveTheBound);
    // Every line is there or counted as left out, and the count stands where lines went.
    const size_t kept = count(t, c.lineText);
    EXPECT_GT(kept, 0u);
    // Short lines reach the bound on lines before the one on bytes.
    EXPECT_LE(kept, ErrorLog::kMaxLeaves);
    EXPECT_EQ(kept + leftOut(t), (size_t)c.lines);
    EXPECT_EQ(leftOut(t), log.get_NumLeftOut());
    const std::string lastLine = c.lineText + std::to_string(c.lines - 1);
    ASSERT_NE(t.find("first"), std::string::npos);
    ASSERT_NE(t.find(std::string(c.lineText) + "0"), std::string::npos);
    ASSERT_NE(t.find(" log entries left out]"), std::string::npos);
    ASSERT_NE(t.find(lastLine), std::string::npos);
    EXPECT_LT(t.find(std::string(c.lineText) + "0"), t.find(" log entries left out]"));
    EXPECT_LT(t.find(" log entries left out]"), t.find(lastLine));
    EXPECT_LT(t.find(lastLine), t.find("Failed."));
    // Contexts whose lines all went are gone with them: none is left empty (one may hold the
    // count).
    EXPECT_LE(count(t, "readWindowAdjust:"), count(t, "line: ") + 1);
  }
}

TEST(ErrorLogBound, OpenContextsAndTheirLaterLinesStay) {
  ErrorLog log;
  log.OpenContext("UploadFile");
  log.LogInfo("start");
  log.OpenContext("writeDataSource");
  for (int i = 0; i < 200000; ++i)
    log.LogInfo("[SSH] Received DEBUG message");
  log.OpenContext("readWindowAdjust");
  log.LogError("Failed to read WINDOW_ADJUST...");
  log.CloseContext();
  log.CloseContext();
  log.LogError("Failed.");
  log.CloseContext();
  const std::string t = text(log);
  EXPECT_LT(t.size(), kFarAboveTheBound);
  for (const char *line : {"UploadFile:", "  start", "  writeDataSource:", "    readWindowAdjust:",
                           "      Failed to read WINDOW_ADJUST...", "  Failed."})
    EXPECT_NE(t.find(line), std::string::npos) << line;
  StringBuffer x;
  log.GetXml(x);
  EXPECT_TRUE(XmlText::isWellFormedContent(x.getString()));
}

TEST(ErrorLogBound, ClearingStartsAFreshLog) {
  Logger logger;
  logger.EnterContext("DownloadFile", true);
  for (int i = 0; i < 100000; ++i)
    logger.LogInfo("[SSH] Received GLOBAL_REQUEST");
  logger.LeaveContext();
  StringBuffer sb;
  logger.getText(sb);
  EXPECT_NE(std::string(sb.getString()).find(" log entries left out]"), std::string::npos);
  logger.ClearLog();
  logger.EnterContext("Disconnect", true);
  logger.LogInfo("Success.");
  logger.LeaveContext();
  logger.getText(sb);
  EXPECT_EQ(std::string(sb.getString()), "RazudodLog:\n  Disconnect:\n    Success.\n");
}

} // namespace
