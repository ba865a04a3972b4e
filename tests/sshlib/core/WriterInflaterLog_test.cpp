// The tar writer's walk under a progress monitor and its verbose entry lines; the inflater's pull
// front end naming its refills over streams made by gzip.
#include <gtest/gtest.h>

#include <random>

#include "sshlib/core/ClsTar.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/InflateState2.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/ProgressMonitor.h"
#include "tests/sshlib/core/ExternalTool.h"
#include "tests/support/LogTexts.h"

using testsupport::TempDir;

namespace {

int entriesIn(const DataBuffer &tar) {
  int n = 0;
  for (unsigned int at = 0; at + 512 <= tar.getSize(); at += 512) {
    const unsigned char *b = tar.getData2() + at;
    if (std::string(reinterpret_cast<const char *>(b) + 257, 5) != "ustar") continue;
    ++n;
  }
  return n;
}

// A monitor that was aborted before the walk (a caller's monitor shared with earlier work) ends
// the walk after the entry in hand, whatever HeartbeatMs says; a live one or none does not.
TEST(TarWriterLog, WalkStopsOnAnAbortedMonitorAndNamesEachEntry) {
  TempDir dir;
  for (const char *name : {"a.txt", "b.sh", "c.bin"})
    testsupport::writeFile(dir.file(name), std::string(700, 'x'));
  ::symlink(dir.file("a.txt").c_str(), dir.file("link").c_str());
  const struct {
    const char *what;
    int heartbeatMs;
    bool monitor, aborted;
    bool ok;
    int entries;
  } cases[] = {
      {"no monitor", 0, false, false, true, 3},
      {"live monitor", 0, true, false, true, 3},
      {"aborted monitor, heartbeat 0", 0, true, true, false, 1},
      {"aborted monitor, heartbeat 100", 100, true, true, false, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ClsTar tar;
    XString root;
    root.setFromUtf8(dir.path().c_str());
    ASSERT_TRUE(tar.AddDirRoot(root));
    tar.put_HeartbeatMs(c.heartbeatMs);
    tar.put_VerboseLogging(true);
    ProgressEvent event;
    ProgressMonitor pm(&event, 0LL);
    pm.m_aborted = c.aborted;
    DataBuffer out;
    OutputDataBuffer sink(&out);
    Logger log;
    EXPECT_EQ(tar.writeTarTo(sink, c.monitor ? &pm : nullptr, log, nullptr), c.ok);
    EXPECT_EQ(entriesIn(out), c.entries);
    StringBuffer text;
    log.getText(text);
    // Links are archived as what they point to (the walk passes over them): never one here.
    int symLinkLines = 0;
    for (const std::string &line : testsupport::logLines(text.getString()))
      symLinkLines += line == "isSymbolicLink: 0";
    EXPECT_EQ(symLinkLines, c.entries) << text.getString();
  }
}

// Over 4,000,000 compressed bytes the source area is refilled: inside a block's symbols as an
// emergency refill, before a stored block's header or data as a regular one.
TEST(InflaterLog, PullFrontEndNamesItsRefills) {
  std::mt19937 rng(57);
  std::string letters(7000000, 'a');
  for (char &ch : letters)
    ch = static_cast<char>('a' + rng() % 26);
  const struct {
    const char *what;
    std::string data;
    const char *refill, *notRefill;
  } cases[] = {
      {"Huffman blocks", letters, "Emergency refill...", "Refilling source buffer..."},
      {"stored blocks", externaltool::randomBytes(rng, 4500000), "Refilling source buffer...",
       "Emergency refill..."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    int rc = -1;
    const std::string gz = externaltool::filter("gzip -n -6", c.data, &rc);
    ASSERT_EQ(rc, 0);
    // The Deflate body between gzip's 10-byte header and 8-byte trailer, larger than the area.
    const std::string body = gz.substr(10);
    ASSERT_GT(body.size(), 4000000u);
    MemoryDataSource src;
    src.initializeMemSource(body.data(), static_cast<unsigned int>(body.size()), false);
    DataBuffer out;
    OutputDataBuffer output(&out);
    FileDataSink sink;
    sink.setSink(&output);
    auto inflater = std::make_unique<InflateState2>();
    inflater->initialize(&sink);
    Logger log;
    int overrun = -1;
    ASSERT_TRUE(inflater->InflateDataDs2(src, 51, overrun, log, true));
    EXPECT_EQ(overrun, 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize()), c.data);
    StringBuffer text;
    log.getText(text);
    EXPECT_EQ(testsupport::missingLogLines(
                  text.getString(),
                  {"inflator:", c.refill, "Finished because state = -1 and lastBlock bit is set."}),
              "");
    EXPECT_FALSE(testsupport::logHasLine(text.getString(), c.notRefill));
  }
}

} // namespace
