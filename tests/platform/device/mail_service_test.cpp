// The mail hand-over: a message with attachments goes to xdg-email as separate arguments, the
// attachments written where the mail program can read them.
#include "platform/device/MailService.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/Paths.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace platform;

TEST(MailServiceTest, HandsTheMessageToXdgEmailArgumentByArgument) {
  testsupport::TempDir tmp;
  Paths::setHome(tmp.path() + "/home");
  // A stand-in xdg-email that writes each argument on a line of its own.
  ASSERT_TRUE(testsupport::writeFile(tmp.file("xdg-email"),
                                     "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"" +
                                         tmp.file("args") + ".part\"\nmv \"" + tmp.file("args") +
                                         ".part\" \"" + tmp.file("args") + "\"\n"));
  ASSERT_EQ(::chmod(tmp.file("xdg-email").c_str(), 0755), 0);
  testsupport::EnvGuard env;
  env.set("PATH", (tmp.path() + ":/usr/bin:/bin").c_str());
  ASSERT_TRUE(MailService::canSendMail());

  MailMessage m;
  m.toRecipients = {"help@example.org", "--evil"};
  m.subject = "Log for Ferrowen 3.0";
  m.body = "text; $(no shell)";
  m.attachments.push_back({{'l', 'o', 'g'}, "text/plain", "../../Ferrowen.log"});
  ASSERT_TRUE(MailService::send(m));
  for (int i = 0; i < 500 && testsupport::readFile(tmp.file("args")).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string args = testsupport::readFile(tmp.file("args"));
  const std::string attached =
      args.substr(args.find("--attach\n") + 9, args.find("\nhelp@") - args.find("--attach\n") - 9);
  EXPECT_EQ(args, "--utf8\n--subject\nLog for Ferrowen 3.0\n--body\ntext; $(no shell)\n--attach\n" +
                      attached + "\nhelp@example.org\n")
      << "a recipient that reads as an option is left out";
  EXPECT_EQ(attached.rfind(Paths::tmp() + "/mail-", 0), 0u);
  EXPECT_EQ(attached.substr(attached.rfind('/')), "/Ferrowen.log") << "the name stays inside";
  EXPECT_EQ(testsupport::readFile(attached), "log");

  // Without a mail program nothing is claimed sent.
  env.set("PATH", "/nonexistent");
  EXPECT_FALSE(MailService::canSendMail());
  EXPECT_FALSE(MailService::send(m));
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
    ASSERT_TRUE(MailService::send(m));
    for (int i = 0; i < 500 && !std::filesystem::exists(tmp.file("body")); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(testsupport::readFile(tmp.file("body")), c.text) << c.html;
  }
  Paths::setHome("");
}
