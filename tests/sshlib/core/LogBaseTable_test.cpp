// The two log operations built on the table: what they hand to the log's own entries.
#include "sshlib/core/LogBase.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

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
