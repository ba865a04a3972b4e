// The mail hand-over: a message with attachments goes to xdg-email as separate arguments, the
// attachments written where the mail program can read them.
#include "platform/device/MailService.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <optional>

using namespace platform;

namespace {
// Hands the message on and waits for the mail program's answer.
bool sendAndWait(const MailMessage &m) {
  auto answer = std::make_shared<std::optional<bool>>();
  MailService::send(m, [answer](bool sent) { *answer = sent; });
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return answer->has_value(); },
                                        testsupport::scaled(std::chrono::seconds(20))));
  return answer->value_or(false);
}
} // namespace

// A stand-in xdg-email that writes each argument on a line of its own, and refuses an option
// whose value is empty as xdg-email does.
TEST(MailServiceTest, HandsTheMessageToXdgEmailArgumentByArgument) {
  RunLoop::makeMainThread();
  testsupport::TempDir tmp;
  Paths::setHome(tmp.path() + "/home");
  ASSERT_TRUE(testsupport::writeFile(
      tmp.file("xdg-email"),
      "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" + tmp.file("args") +
          "'\nwhile [ $# -gt 0 ]; do case \"$1\" in --subject|--body|--attach) [ -n \"$2\" ] || "
          "exit 1; shift;; esac; shift; done\n"));
  ASSERT_EQ(::chmod(tmp.file("xdg-email").c_str(), 0755), 0);
  testsupport::EnvGuard env;
  env.set("PATH", (tmp.path() + ":/usr/bin:/bin").c_str());
  ASSERT_TRUE(MailService::canSendMail());

  MailMessage full;
  full.toRecipients = {"help@example.org", "--evil"};
  full.subject = "Log for Ferrowen 3.0";
  full.body = "text; $(no shell)";
  full.attachments.push_back({{'l', 'o', 'g'}, "text/plain", "../../Ferrowen.log"});
  MailMessage bare; // a file mailed with no words of its own
  bare.attachments.push_back({{'p', 'n', 'g'}, "image/png", "picture.png"});
  struct Case {
    const char *what;
    const MailMessage &message;
    std::string args; // @ATTACHED@ stands for the attachment's path
  } cases[] = {
      {"every part", full,
       "--utf8\n--subject\nLog for Ferrowen 3.0\n--body\ntext; $(no shell)\n--attach\n@ATTACHED@"
       "\nhelp@example.org\n"},
      {"no subject, no body", bare, "--utf8\n--attach\n@ATTACHED@\n"},
  };
  for (const Case &c : cases) {
    ASSERT_TRUE(sendAndWait(c.message)) << c.what;
    std::string args = testsupport::readFile(tmp.file("args"));
    const size_t option = args.find("--attach\n");
    ASSERT_NE(option, std::string::npos) << c.what << ": " << args;
    const size_t at = option + 9;
    const std::string attached = args.substr(at, args.find('\n', at) - at);
    args.replace(at, attached.size(), "@ATTACHED@");
    EXPECT_EQ(args, c.args) << c.what << " (a recipient that reads as an option is left out)";
    EXPECT_EQ(attached.rfind(Paths::tmp() + "/mail-", 0), 0u);
    const std::string name = c.message.attachments[0].fileName;
    EXPECT_EQ(attached.substr(attached.rfind('/') + 1), name.substr(name.rfind('/') + 1))
        << "the name stays inside";
    EXPECT_EQ(testsupport::readFile(attached), std::string(c.message.attachments[0].data.begin(),
                                                           c.message.attachments[0].data.end()));
  }

  // A mail program that fails is a message not sent, and said in the log.
  ASSERT_TRUE(testsupport::writeFile(tmp.file("xdg-email"), "#!/bin/sh\nexit 4\n"));
  {
    LogCapture log(Log::Sink::System);
    EXPECT_FALSE(sendAndWait(full));
    EXPECT_TRUE(log.contains("status 4"));
  }
  // Without a mail program nothing is claimed sent.
  env.set("PATH", "/nonexistent");
  EXPECT_FALSE(MailService::canSendMail());
  EXPECT_FALSE(sendAndWait(full));
  Paths::setHome("");
}

// A message the mail program did not take leaves no folder of attachments behind; one it took
// keeps its folder, which the mail program may still read.
TEST(MailServiceTest, AMessageNotHandedOnLeavesNoAttachmentsBehind) {
  RunLoop::makeMainThread();
  testsupport::TempDir tmp;
  Paths::setHome(tmp.path() + "/home");
  testsupport::EnvGuard env;
  env.set("PATH", (tmp.path() + ":/usr/bin:/bin").c_str());
  MailMessage message;
  message.attachments.push_back({std::vector<uint8_t>(64, 'x'), "text/plain", "note.txt"});
  struct Case {
    const char *what;
    std::string program; // the stand-in xdg-email
    bool fullDisk;       // the attachment cannot be written
    bool taken;
  } cases[] = {
      {"the mail program fails", "#!/bin/sh\nexit 4\n", false, false},
      {"the mail program cannot be started", "#!/nonexistent/shell\n", false, false},
      {"the attachment cannot be written", "#!/bin/sh\nexit 0\n", true, false},
      {"the mail program takes it", "#!/bin/sh\nexit 0\n", false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Paths::tmp());
    ASSERT_TRUE(testsupport::writeFile(tmp.file("xdg-email"), c.program));
    ASSERT_EQ(::chmod(tmp.file("xdg-email").c_str(), 0755), 0);
    bool sent;
    {
      std::optional<testsupport::FileSizeLimit> full;
      if (c.fullDisk) full.emplace(16);
      sent = sendAndWait(message);
    }
    EXPECT_EQ(sent, c.taken);
    const std::string left = testsupport::listFolder(Paths::tmp());
    if (c.taken)
      EXPECT_EQ(left.rfind("mail-", 0), 0u) << left;
    else
      EXPECT_EQ(left, "");
  }
  Paths::setHome("");
}

TEST(MailServiceTest, AnHtmlBodyReachesXdgEmailAsPlainText) {
  testsupport::TempDir tmp;
  Paths::setHome(tmp.path() + "/home");
  // A stand-in xdg-email that keeps the body it was given.
  ASSERT_TRUE(testsupport::writeFile(
      tmp.file("xdg-email"), "#!/bin/sh\nwhile [ \"$1\" != --body ]; do shift; done\nprintf %s "
                             "\"$2\" > \"" +
                                 tmp.file("body") + ".part\"\nmv \"" + tmp.file("body") +
                                 ".part\" \"" + tmp.file("body") + "\"\n"));
  ASSERT_EQ(::chmod(tmp.file("xdg-email").c_str(), 0755), 0);
  testsupport::EnvGuard env;
  env.set("PATH", (tmp.path() + ":/usr/bin:/bin").c_str());
  struct Case {
    std::string html, text;
  } cases[] = {
      // The browser's "Email This Address": the link is its own text.
      {"<a href='http://h/a?x=1&amp;y=&lt;2&gt;&#39;'>http://h/a?x=1&amp;y=&lt;2&gt;&#39;</a><br "
       "/>",
       "http://h/a?x=1&y=<2>'\n"},
      // A file mailed from Saved Files with the program's link.
      {"<b>a&amp;b.txt</b> sent using <a href='https://ferrowen.example/'>Ferrowen</a>.",
       "a&b.txt sent using Ferrowen (https://ferrowen.example/)."},
      {"kept &unknown; &#1; &#x41;&#233; <br>", "kept &unknown; &#1; A\u00e9 \n"},
  };
  for (const Case &c : cases) {
    std::filesystem::remove(tmp.file("body"));
    MailMessage m;
    m.bodyIsHTML = true;
    m.body = c.html;
    ASSERT_TRUE(sendAndWait(m));
    EXPECT_EQ(testsupport::readFile(tmp.file("body")), c.text) << c.html;
  }
  Paths::setHome("");
}
