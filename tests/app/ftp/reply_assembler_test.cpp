#include "app/ftp/FTPReplyAssembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds bytes and collects the replies that come out complete.
struct Feeder {
  FTPReplyAssembler a;
  bool login = false;
  std::vector<std::pair<int, std::string>> replies;
  std::vector<std::string> replyBytes;
  std::vector<std::string> lines;

  void feed(const std::string &bytes) {
    a.dataRead.insert(a.dataRead.end(), bytes.begin(), bytes.end());
    FTPReplyAssembler::Hooks hooks;
    hooks.isLoginTask = [this] { return login; };
    hooks.lineTaken = [this](const std::string &l) { lines.push_back(l); };
    hooks.replyComplete = [this] {
      replies.emplace_back(a.iReplyCode, a.replyText);
      replyBytes.push_back(a.replyBytes);
      a.replyText.clear(); // as when the next command is written
      a.replyBytes.clear();
    };
    a.doTasks(hooks);
  }
};

TEST(ReplyAssembler, MultiLineRepliesAreOneReplyWithEveryLine) {
  Feeder f;
  f.login = true;
  f.feed("220-Welcome\r\n220-line two\r\n220 ready\r\n");
  ASSERT_EQ(f.replies.size(), 1u);
  EXPECT_EQ(f.replies[0].first, 220);
  EXPECT_EQ(f.replies[0].second, "220-Welcome\r\n220-line two\r\n220 ready\r\n");
  EXPECT_TRUE(f.a.welcomeComplete);
  EXPECT_EQ(f.lines.size(), 3u);

  // Lines beginning with a blank continue the reply (the features list).
  f.feed("211-Features:\r\n MODE Z\r\n UTF8\r\n211 End\r\n");
  ASSERT_EQ(f.replies.size(), 2u);
  EXPECT_EQ(f.replies[1].first, 211);
  EXPECT_NE(f.replies[1].second.find(" MODE Z\r\n"), std::string::npos);
  EXPECT_NE(f.replies[1].second.find(" UTF8\r\n"), std::string::npos);

  // Outside the login too, a text line without a code inside an open reply continues it.
  f.login = false;
  f.feed("214-The following commands are recognized\r\nUSER PASS ACCT\r\n214 Help OK.\r\n");
  ASSERT_EQ(f.replies.size(), 3u);
  EXPECT_EQ(f.replies[2].first, 214);
  EXPECT_NE(f.replies[2].second.find("USER PASS ACCT"), std::string::npos);
}

TEST(ReplyAssembler, PartialLinesWaitAndBareLineEndsWork) {
  Feeder f;
  f.login = true;
  f.feed("22");
  EXPECT_TRUE(f.replies.empty());
  EXPECT_EQ(f.a.dataRead.size(), 2u); // the partial line waits
  f.feed("0 rea");
  EXPECT_TRUE(f.replies.empty());
  f.feed("dy\n331 pass\n");
  ASSERT_EQ(f.replies.size(), 2u);
  EXPECT_EQ(f.replies[0], std::make_pair(220, std::string("220 ready\n")));
  EXPECT_EQ(f.replies[1].first, 331);

  // Stray line ends before a reply are skipped during the login.
  f.feed("\n\n\n230 in\r\n");
  ASSERT_EQ(f.replies.size(), 3u);
  EXPECT_EQ(f.replies[2].second, "230 in\r\n");
}

TEST(ReplyAssembler, ShortAndUncodedLines) {
  Feeder f;
  f.login = true;
  // During the login a short text line that ends what has arrived, after a coded line of the
  // same read, completes a reply of its own (the code stays that of the last coded line).
  f.feed("220-hi\r\n220 x\r\nok\n");
  ASSERT_EQ(f.replies.size(), 2u);
  EXPECT_EQ(f.replies[1], std::make_pair(220, std::string("ok\n")));
  // Alone in its read, it waits for the coded line that follows.
  f.feed("ok\n");
  EXPECT_EQ(f.replies.size(), 2u);
  f.feed("331 more\r\n");
  ASSERT_EQ(f.replies.size(), 3u);
  EXPECT_EQ(f.replies[2].second, "ok\n331 more\r\n");

  // Outside the login, a line without a code and without an open reply is a reply of code 0
  // (the task logic ends the session on it).
  Feeder g;
  g.feed("garbage here\r\n");
  ASSERT_EQ(g.replies.size(), 1u);
  EXPECT_EQ(g.replies[0].first, 0);

  // A zero byte ends a line as a LF does.
  Feeder h;
  std::string withZero("200 a");
  withZero.push_back('\0');
  h.feed(withZero);
  ASSERT_EQ(h.replies.size(), 1u);
  EXPECT_EQ(h.replies[0].first, 200);
}

TEST(ReplyAssembler, LinesAreDecodedAsUtf8ElseLatin1) {
  FTPReplyAssembler::Bytes data{'2', '5', '7', ' ', '"', 0xE9, '"', '\n', 'x'};
  EXPECT_TRUE(FTPReplyAssembler::hasLineToPopLineFromData(data));
  EXPECT_EQ(FTPReplyAssembler::popLineFromData(data, false), "257 \"\xC3\xA9\"\n");
  EXPECT_EQ(data.size(), 1u);
  EXPECT_FALSE(FTPReplyAssembler::hasLineToPopLineFromData(data));
  EXPECT_EQ(FTPReplyAssembler::popLineFromData(data, false), "");
  FTPReplyAssembler::Bytes utf8{'2', '5', '7', ' ', 0xC3, 0xA9, '\r', '\n'};
  EXPECT_EQ(FTPReplyAssembler::popLineFromData(utf8, false), "257 \xC3\xA9\r\n");
  EXPECT_EQ(FTPReplyAssembler::replyCodeOf("150 x"), 150);
  EXPECT_EQ(FTPReplyAssembler::replyCodeOf(" MODE Z"), 0);
}

// A reply keeps the bytes the server sent beside the text it was read as: a folder a "PWD" reply
// names goes back in those bytes (each line read as UTF-8, else as ISO Latin-1).
TEST(ReplyAssembler, RepliesKeepTheirBytes) {
  Feeder f;
  f.feed("257-\"/caf\xE9\"\r\n257 \"/caf\xC3\xA9\" is current\r\n226 x\n");
  ASSERT_EQ(f.replies.size(), 2u);
  EXPECT_EQ(f.replies[0].second, "257-\"/caf\xC3\xA9\"\r\n257 \"/caf\xC3\xA9\" is current\r\n");
  EXPECT_EQ(f.replyBytes[0], "257-\"/caf\xE9\"\r\n257 \"/caf\xC3\xA9\" is current\r\n");
  EXPECT_EQ(f.replyBytes[1], "226 x\n");
  f.a.reset();
  EXPECT_TRUE(f.a.replyBytes.empty());
}

} // namespace
