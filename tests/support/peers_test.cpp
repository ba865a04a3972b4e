// Every peer the suite starts or asks is installed where CI runs: a missing one would otherwise
// only show as the tests that need it failing one by one, or, outside CI, being skipped.
#include "tests/support/Peers.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Peers, EveryPeerTheSuiteUsesIsInstalled) {
  std::string missing;
  for (const auto &peer : testsupport::suitePeers())
    if (auto why = testsupport::missingPeer(peer)) {
      if (testsupport::peersRequired()) ADD_FAILURE() << *why;
      missing += *why + "\n";
    }
  if (!missing.empty() && !testsupport::peersRequired()) GTEST_SKIP() << missing;
}

TEST(Peers, AMissingPeerFailsWhenRequiredAndIsSkippedOtherwise) {
  const auto absent = testsupport::program("/nonexistent/ferrowen-peer", "no package");
  EXPECT_TRUE(testsupport::missingPeer(absent));
  EXPECT_FALSE(testsupport::missingPeer(testsupport::program("sh", "dash")));
  EXPECT_FALSE(testsupport::missingPeer(testsupport::pythonModule("zlib", "python3")));
  EXPECT_TRUE(testsupport::missingPeer(testsupport::pythonModule("os; import sys", "none")));
  // Under FERROWEN_REQUIRE_PEERS the absent peer is a failure, checked without failing this test.
  const char *saved = std::getenv("FERROWEN_REQUIRE_PEERS");
  const std::string old = saved ? saved : "";
  for (const char *required : {"1", "0", ""}) {
    ::setenv("FERROWEN_REQUIRE_PEERS", required, 1);
    ::testing::TestPartResultArray parts;
    bool wentOn = false;
    {
      ::testing::ScopedFakeTestPartResultReporter reporter(
          ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &parts);
      EXPECT_FALSE(testsupport::requirePeer(absent));
      // The guard at a test's top: the test goes no further either way.
      [&] {
        REQUIRE_PEER(absent);
        wentOn = true;
      }();
    }
    int failures = 0;
    for (int i = 0; i < parts.size(); ++i)
      failures += parts.GetTestPartResult(i).failed();
    EXPECT_EQ(failures, std::string(required) == "1" ? 2 : 0) << '"' << required << '"';
    EXPECT_FALSE(wentOn);
  }
  if (saved)
    ::setenv("FERROWEN_REQUIRE_PEERS", old.c_str(), 1);
  else
    ::unsetenv("FERROWEN_REQUIRE_PEERS");
}

} // namespace
