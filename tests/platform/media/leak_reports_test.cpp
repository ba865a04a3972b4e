// Under AddressSanitizer a leak check runs at the end of every program, with the test run's
// suppressions (tests/lsan.supp). They leave out fontconfig's own patterns only: a program that
// drew text ends without a report, and memory our code takes through GLib, Pango or HarfBuzz and
// never gives back is reported.
#include "platform/media/BitmapContext.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <hb.h>
#include <pango/pango.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(__SANITIZE_ADDRESS__)

namespace {

// Text drawn and measured the way the screens do, so the font libraries hold what they hold
// when a screen has drawn.
void drawSomeText() {
  auto ctx = platform::media::BitmapContext::create(200, 40);
  platform::media::FontSpec font;
  font.size = 14;
  ctx->drawText("Ferrowen \u00e9t\u00e9 \u65e5\u672c", {4, 4}, font, 190, 0,
                platform::media::LineBreak::TruncateTail);
  platform::media::measureText("Saved Files", font, 0, 0, platform::media::LineBreak::WordWrap);
}

// Each leaks a few results of one library's calls. (The unwinder stops inside the library, whose
// code keeps no frame pointers, so a report names the library's function, not always ours.)
__attribute__((noinline)) void leakThroughGLib() {
  for (int i = 0; i < 5; ++i)
    (void)g_strdup("kept by nobody");
}
__attribute__((noinline)) void leakThroughPango() {
  PangoFontDescription *font = pango_font_description_from_string("Sans Bold 12");
  for (int i = 0; i < 5; ++i)
    (void)pango_font_description_to_string(font);
  pango_font_description_free(font);
}
__attribute__((noinline)) void leakThroughHarfBuzz() {
  for (int i = 0; i < 5; ++i)
    (void)hb_buffer_create();
}

// The program ends as a program does (exit, its end-of-process steps, then the leak check).
[[noreturn]] void endAfter(void (*leak)()) {
  drawSomeText();
  if (leak) leak();
  std::fflush(stderr);
  std::exit(0);
}

bool endedCleanly(int status) {
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
bool endedWithAReport(int status) {
  return !endedCleanly(status);
}

// The child reads the test tree's suppressions, as the test run does.
void useTheTestRunsSuppressions() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string options =
      std::string("suppressions=") + FERROWEN_SOURCE_DIR + "/tests/lsan.supp";
  ASSERT_EQ(setenv("LSAN_OPTIONS", options.c_str(), 1), 0);
}

} // namespace

TEST(LeakReports, AProgramThatDrewTextEndsWithoutAReport) {
  useTheTestRunsSuppressions();
  EXPECT_EXIT(endAfter(nullptr), endedCleanly, "");
}

TEST(LeakReports, OurLeakThroughAFontLibraryIsReported) {
  useTheTestRunsSuppressions();
  const struct {
    const char *library;
    void (*leak)();
    const char *report;
  } cases[] = {
      {"GLib", leakThroughGLib, "LeakSanitizer: detected memory leaks.*libglib"},
      {"Pango", leakThroughPango, "LeakSanitizer: detected memory leaks.*libglib"},
      {"HarfBuzz", leakThroughHarfBuzz, "LeakSanitizer: detected memory leaks.*hb_buffer_create"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.library);
    EXPECT_EXIT(endAfter(c.leak), endedWithAReport, c.report);
  }
}

#endif
