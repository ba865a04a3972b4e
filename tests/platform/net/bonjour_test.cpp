#include "tests/platform/net/NetTestSupport.h"
#include "tests/support/TestSupport.h"

#include "platform/net/BonjourService.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::net;

namespace {

class BonjourTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    loop = RunLoop::current();
  }
  testsupport::TempDir dir{"ferrowen-bonjour"};
  // The Avahi client reaches its daemon over the system bus: pointing the bus at a socket that
  // does not exist makes "no daemon answers" certain, whatever the machine runs.
  testsupport::ScopedEnv bus{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.file("no-bus")};
  std::shared_ptr<RunLoop> loop;
};

struct Results {
  std::vector<std::string> published;
  std::vector<BonjourError> failed;
};

void watch(BonjourService &s, Results &r) {
  s.setCallbacks([&r](const std::string &name) { r.published.push_back(name); },
                 [&r](const BonjourError &e) { r.failed.push_back(e); });
}

} // namespace

TEST_F(BonjourTest, WithoutADaemonPublicationFailsWithAReasonAndNeverPretends) {
  auto service = BonjourService::create("local", "_Ferrowen-FTPServer._tcp.", "", 2121);
  Results results;
  watch(*service, results);
  service->publish(loop);
  EXPECT_TRUE(results.failed.empty()) << "results come through the loop, not inside publish()";
  ASSERT_TRUE(loop->runUntil([&] { return !results.failed.empty(); },
                             testsupport::scaled(nettest::kLimit)));
  loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(100)));
  EXPECT_TRUE(results.published.empty());
  ASSERT_EQ(results.failed.size(), 1u);
  EXPECT_EQ(results.failed[0].code, BonjourError::NotFound);
  EXPECT_NE(results.failed[0].message.find("Avahi"), std::string::npos)
      << results.failed[0].message;
  EXPECT_EQ(service->type(), "_Ferrowen-FTPServer._tcp");
  EXPECT_EQ(service->port(), 2121);

  // It can be asked again, and fails again the same way.
  service->publish(loop);
  ASSERT_TRUE(loop->runUntil([&] { return results.failed.size() == 2; },
                             testsupport::scaled(nettest::kLimit)));
  service->stop();
}

TEST_F(BonjourTest, BadTypeIsRefusedAndStopSilencesAPendingAnswer) {
  auto bad = BonjourService::create("", "", "", 8080);
  Results results;
  watch(*bad, results);
  bad->publish(loop);
  ASSERT_TRUE(loop->runUntil([&] { return !results.failed.empty(); },
                             testsupport::scaled(nettest::kLimit)));
  EXPECT_EQ(results.failed[0].code, BonjourError::BadArgument);

  auto stopped = BonjourService::create("local", "_Ferrowen-WebServer._tcp.", "", 8080);
  Results quiet;
  watch(*stopped, quiet);
  stopped->publish(loop);
  stopped->stop(); // before the loop delivered the failure
  loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(100)));
  EXPECT_TRUE(quiet.failed.empty());
  EXPECT_TRUE(quiet.published.empty());
}
