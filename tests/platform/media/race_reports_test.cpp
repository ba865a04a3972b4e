// Under ThreadSanitizer the font libraries, which are not built with it, have their own races
// left out of the reports (tests/tsan.supp and the suppressions built into the media layer), but
// only theirs: a race of our own code is still reported when one of those libraries runs it.
#include "platform/media/BitmapContext.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(__SANITIZE_THREAD__)

namespace {

int written = 0;

// Our code, run by GLib on a thread GLib made.
gpointer writeFromGLib(gpointer) {
  written = 1;
  return nullptr;
}

[[noreturn]] void raceInACallbackOfGLib() {
  // The media layer (and its built-in suppressions) are in this program.
  platform::media::BitmapContext::create(1, 1);
  GThread *thread = g_thread_new("racer", writeFromGLib, nullptr);
  written = 2;
  g_thread_join(thread);
  std::fprintf(stderr, "raced\n");
  std::fflush(stderr);
  std::_Exit(0);
}

} // namespace

TEST(RaceReports, ARaceOfOurOwnCodeIsReportedThoughAFontLibraryRunsIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child reads the test tree's suppressions, as the sanitizer test run does.
  const std::string options =
      std::string("suppressions=") + FERROWEN_SOURCE_DIR + "/tests/tsan.supp";
  ASSERT_EQ(setenv("TSAN_OPTIONS", options.c_str(), 1), 0);
  EXPECT_EXIT(raceInACallbackOfGLib(), ::testing::ExitedWithCode(0),
              "WARNING: ThreadSanitizer: data race.*writeFromGLib.*raced");
}

#endif
