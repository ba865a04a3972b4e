// The SFTP client across a link with a round trip (a delaying relay on loopback) against asyncssh
// serving the same file whole and in READ answers of at most 32 KiB: the capped server is not
// read at less than half the rate of the whole one. A ratio of two runs on one machine, never a
// time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "tests/support/DelayRelay.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

// Seconds one download of `remote` takes across the relay (the best of two), after the login.
double downloadSeconds(int readCap, const std::string &file, const std::string &local) {
  TempDir root{"ferrowen-linkroot"}, logs{"ferrowen-linklog"};
  runCommand("cp '" + file + "' '" + root.file("f") + "'");
  SftpPeerOptions o;
  o.readCap = readCap;
  const int port = freeTcpPort();
  Process server = startAsyncSftp(port, root.path(), o, logs.path());
  DelayRelay relay(port, std::chrono::milliseconds(20));
  ClsSFtp s;
  EXPECT_EQ(sftpSession(s, relay.port()), "");
  double best = 1e9;
  for (int i = 0; i < 2; ++i) {
    XString a, b;
    auto t0 = std::chrono::steady_clock::now();
    bool ok = s.DownloadFileByName(xs(a, "/f"), xs(b, local), nullptr);
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    EXPECT_TRUE(ok) << logText(s);
    EXPECT_EQ(sha256Of(local), sha256Of(file));
  }
  return best;
}

TEST(SftpLink, AServerThatAnswersLessIsReadAtTheRateOfOneThatAnswersWhole) {
  TempDir dir;
  const std::string file = dir.file("src");
  makeDataFile(file, 16 << 20);
  const double whole = downloadSeconds(0, file, dir.file("got"));
  const double capped = downloadSeconds(32768, file, dir.file("got"));
  std::printf("whole %.2f s, capped %.2f s\n", whole, capped);
  EXPECT_LT(capped, 2 * whole);
}

} // namespace
