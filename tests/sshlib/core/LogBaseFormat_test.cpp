// The log interface's formatting operations: what value each one hands to LogData or LogError.
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/RazudodSysTime.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

class RecordingLog : public LogBase {
public:
  bool LogData(const char *tag, const char *value) override {
    data.emplace_back(tag, value);
    return true;
  }
  bool LogError(const char *text) override {
    errors.emplace_back(text);
    return true;
  }
  std::vector<std::pair<std::string, std::string>> data;
  std::vector<std::string> errors;
};

TEST(LogBaseFormat, BinaryAndHexDumps) {
  RecordingLog log;
  const unsigned char bytes[] = {0x00, 0xAB, 0x10};
  log.LogBinary("bin", nullptr, 3);
  log.LogBinary("bin", bytes, 0);
  ASSERT_EQ(log.errors.size(), 2u);
  EXPECT_EQ(log.errors[0], "No binary data to log");
  EXPECT_TRUE(log.data.empty());

  log.LogBinary("bin", bytes, 3);
  log.LogDataHex("hex", bytes, 0); // logged with an empty value
  ASSERT_EQ(log.data.size(), 2u);
  EXPECT_EQ(log.data[0].first, "bin");
  EXPECT_NE(log.data[0].second.find("AB"), std::string::npos);
  EXPECT_EQ(log.data[1], std::make_pair(std::string("hex"), std::string()));
}

TEST(LogBaseFormat, ElapsedTimeOnlyForwardAndBounded) {
  RecordingLog log;
  const unsigned int now = Psdk::getTickCount();
  log.LogElapsedMs("t", now + 100000u); // a start in the future: nothing
  EXPECT_TRUE(log.data.empty());
  log.LogElapsedMs("t", now - 5u);
  ASSERT_EQ(log.data.size(), 1u);
  EXPECT_EQ(log.data[0].second.rfind("Elapsed time: ", 0), 0u);
  EXPECT_NE(log.data[0].second.find(" millisec"), std::string::npos);
}

TEST(LogBaseFormat, AnsiQuotedPrintableAndDates) {
  RecordingLog log;
  log.LogDataAnsi("a", "caf\xE9"); // é in the ANSI code page
  log.LogDataQP("q", "a=b");
  RazudodSysTime st;
  st.m_year = 2026;
  st.m_month = 12;
  st.m_day = 6;
  st.m_dayOfWeek = 0;
  st.m_hour = 21;
  st.m_minute = 30;
  log.LogSystemTime("d", st);
  ASSERT_EQ(log.data.size(), 3u);
  EXPECT_EQ(log.data[0].second, "caf\xC3\xA9");
  EXPECT_EQ(log.data[1].second, "a=3Db");
  EXPECT_NE(log.data[2].second.find("06 Dec 2026 21:30:00"), std::string::npos)
      << log.data[2].second;
}

} // namespace
