// Mail and "Open In" handed to the desktop's own xdg-email and xdg-open (xdg-utils, as Debian
// ships them), with no desktop session: the program the user chose ($MAILER, $BROWSER) is a
// stand-in that keeps what it was given, or one that fails. Whether the hand-over worked is what
// xdg-utils says by its exit status; an empty subject is no reason for it to fail.
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"

#include "tests/support/Peers.h"
#include "tests/support/TestSupport.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>

using namespace platform;

namespace {

constexpr auto kLimit = std::chrono::seconds(30);

// Waits for the answer of a hand-over started with `start`.
bool answered(const std::function<void(std::function<void(bool)>)> &start) {
  auto answer = std::make_shared<std::optional<bool>>();
  start([answer](bool ok) { *answer = ok; });
  EXPECT_TRUE(
      RunLoop::main()->runUntil([&] { return answer->has_value(); }, testsupport::scaled(kLimit)));
  return answer->value_or(false);
}

class DesktopHandOverTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    Paths::setHome(tmp.path() + "/home");
    // No desktop session: xdg-utils use the program the user named, or fail.
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION",
                             "XDG_SESSION_DESKTOP", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
                             "MAILER", "BROWSER"})
      env.set(name, nullptr);
    env.set("PATH", "/usr/bin:/bin");
    env.set("XDG_DATA_HOME", (tmp.path() + "/data").c_str());
    env.set("XDG_CONFIG_HOME", (tmp.path() + "/config").c_str());
    keeper = tmp.file("keeper");
    ASSERT_TRUE(testsupport::writeFile(keeper, "#!/bin/sh\nprintf '%s' \"$1\" > '" +
                                                   tmp.file("kept") + "'\n"));
    ASSERT_EQ(::chmod(keeper.c_str(), 0755), 0);
  }
  void TearDown() override { Paths::setHome(""); }
  testsupport::TempDir tmp;
  testsupport::EnvGuard env;
  std::string keeper;
};

} // namespace

TEST_F(DesktopHandOverTest, XdgEmailTakesAMessageWithOrWithoutASubject) {
  REQUIRE_PEER(testsupport::program("/usr/bin/xdg-email", "xdg-utils"));
  MailMessage bare; // a file mailed with no words of its own
  bare.attachments.push_back({{'p', 'n', 'g'}, "image/png", "picture.png"});
  MailMessage log;
  log.toRecipients = {"help@example.org"};
  log.subject = "Log for Ferrowen";
  log.body = "Please describe";
  struct Case {
    const char *what;
    const MailMessage &message;
    std::vector<std::string> in, notIn; // parts of the mailto address the mail program gets
  } cases[] = {
      {"a file alone", bare, {"mailto:?", "attach=", "picture.png"}, {"subject=", "body="}},
      {"the log",
       log,
       {"mailto:help@example.org?", "subject=Log%20for%20Ferrowen", "body=Please%20describe"},
       {"attach="}},
  };
  env.set("MAILER", keeper.c_str());
  for (const Case &c : cases) {
    std::remove(tmp.file("kept").c_str());
    EXPECT_TRUE(answered([&](auto done) { MailService::send(c.message, done); })) << c.what;
    const std::string address = testsupport::readFile(tmp.file("kept"));
    for (auto &part : c.in)
      EXPECT_NE(address.find(part), std::string::npos) << c.what << ": " << address;
    for (auto &part : c.notIn)
      EXPECT_EQ(address.find(part), std::string::npos) << c.what << ": " << address;
  }
  // The mail program the user named fails: the message was not sent, and the log says why.
  env.set("MAILER", "/bin/false");
  LogCapture said(Log::Sink::System);
  EXPECT_FALSE(answered([&](auto done) { MailService::send(log, done); }));
  EXPECT_TRUE(said.contains("Mail: the mail program did not take the message"));
}

TEST_F(DesktopHandOverTest, XdgOpenSaysWhenNoProgramOpensTheFile) {
  REQUIRE_PEER(testsupport::program("/usr/bin/xdg-open", "xdg-utils"));
  const std::string file = tmp.file("report.ferrowen-data");
  ASSERT_TRUE(testsupport::writeFile(file, std::string("\x01\x02\x03", 3)));
  env.set("BROWSER", keeper.c_str());
  EXPECT_TRUE(answered([&](auto done) { DocumentInteraction::openInMenu(file, done); }));
  EXPECT_EQ(testsupport::readFile(tmp.file("kept")), file);
  // The program the user named cannot open it (nor can anything else here).
  env.set("BROWSER", "/bin/false");
  LogCapture said(Log::Sink::System);
  EXPECT_FALSE(answered([&](auto done) { DocumentInteraction::openInMenu(file, done); }));
  EXPECT_TRUE(said.contains("Open In: no program opened the file"));
}
