// The session logs are bounded: a server decides how many lines they get (one a message), so
// past their bound they keep their beginning and their latest lines and count the ones between.
#include <gtest/gtest.h>

#include <string>

#include "sshlib/ssh/SshTransport.h"

namespace {

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
    ++n;
  return n;
}

unsigned long long leftOut(const std::string &log) {
  auto at = log.rfind(" lines left out]");
  if (at == std::string::npos) return 0;
  auto open = log.rfind('[', at);
  return std::stoull(log.substr(open + 1, at - open - 1));
}

TEST(SshSessionLogBound, KeepsTheBeginningAndTheLatestLinesOfEitherLog) {
  for (bool sshLog : {false, true}) {
    SCOPED_TRACE(sshLog ? "the file-open log" : "the session log");
    SshTransport t;
    (sshLog ? t.keepSshLog : t.keepSessionLog) = true;
    StringBuffer &log = sshLog ? t.sshLog : t.sessionLog;
    for (int round = 0; round < 2; ++round) {
      // A second round after the log was emptied starts a fresh count.
      log.clear();
      const int lines = 400000;
      for (int i = 0; i < lines; ++i)
        t.toSessionLog("TRAN< ", ("DEBUG " + std::to_string(i)).c_str(), "\r\n");
      const std::string text = log.getString();
      EXPECT_LE(text.size(), (size_t)SshTransport::kMaxSessionLog + 100);
      EXPECT_EQ(text.find("TRAN< DEBUG 0\r\n"), 0u);
      EXPECT_NE(text.find("TRAN< DEBUG " + std::to_string(lines - 1) + "\r\n"), std::string::npos);
      EXPECT_EQ(count(text, " lines left out]"), 1u);
      EXPECT_EQ(count(text, "TRAN< DEBUG ") + leftOut(text), (size_t)lines);
      // Whole lines only, every one of them ending in CR LF.
      EXPECT_EQ(count(text, "\r\n"), count(text, "\n"));
      EXPECT_EQ(count(text, "TRAN"), count(text, "\r\n"));
    }
  }
}

} // namespace
