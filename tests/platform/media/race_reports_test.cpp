// Under ThreadSanitizer the font libraries, which are not built with it, have their own races
// left out of the reports (tests/tsan.supp), but only theirs: a race on our own memory is still
// reported when one of those libraries runs our code, and when GLib, Pango or HarfBuzz reads that
// memory (through the C library) while our code writes it.
#include "platform/media/BitmapContext.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <hb.h>
#include <pango/pango.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__SANITIZE_THREAD__)

namespace {

int written = 0;

// Our code, run by GLib on a thread GLib made.
gpointer writeFromGLib(gpointer) {
  written = 1;
  return nullptr;
}

char buffer[4096];

// GLib's copy of our buffer, made on a thread GLib made: memcpy called by GLib reads it.
gpointer copyWithGLib(gpointer) {
  g_free(g_memdup2(buffer, sizeof buffer));
  return nullptr;
}

[[noreturn]] void raceWithACopyByGLib() {
  platform::media::BitmapContext::create(1, 1);
  GThread *thread = g_thread_new("copier", copyWithGLib, nullptr);
  for (int round = 0; round < 64; ++round)
    std::memset(buffer, round, sizeof buffer);
  g_thread_join(thread);
  std::fprintf(stderr, "raced\n");
  std::fflush(stderr);
  std::_Exit(0);
}

// Pango's and HarfBuzz's copies of our buffer, made on a thread GLib made.
gpointer copyWithPango(gpointer) {
  PangoFontDescription *font = pango_font_description_new();
  pango_font_description_set_family(font, buffer);
  pango_font_description_free(font);
  return nullptr;
}
gpointer copyWithHarfBuzz(gpointer) {
  hb_blob_destroy(
      hb_blob_create(buffer, sizeof buffer, HB_MEMORY_MODE_DUPLICATE, nullptr, nullptr));
  return nullptr;
}

// Our buffer written while a thread copies it with the given library's call.
[[noreturn]] void raceWithACopyBy(gpointer (*copy)(gpointer)) {
  platform::media::BitmapContext::create(1, 1);
  std::memset(buffer, 'a', sizeof buffer - 1);
  GThread *thread = g_thread_new("copier", copy, nullptr);
  for (int round = 0; round < 64; ++round)
    std::memset(buffer, 'a' + round % 20, sizeof buffer - 1);
  g_thread_join(thread);
  std::fprintf(stderr, "raced\n");
  std::fflush(stderr);
  std::_Exit(0);
}
[[noreturn]] void raceWithACopyByPango() {
  raceWithACopyBy(copyWithPango);
}
[[noreturn]] void raceWithACopyByHarfBuzz() {
  raceWithACopyBy(copyWithHarfBuzz);
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

TEST(RaceReports, ARaceOnOurMemoryIsReportedThoughAFontLibraryTakesPart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child reads the test tree's suppressions, as the sanitizer test run does.
  const std::string options =
      std::string("suppressions=") + FERROWEN_SOURCE_DIR + "/tests/tsan.supp";
  ASSERT_EQ(setenv("TSAN_OPTIONS", options.c_str(), 1), 0);
  const struct {
    const char *what;
    void (*race)();
    const char *report;
  } cases[] = {
      {"our code run by GLib", raceInACallbackOfGLib,
       "WARNING: ThreadSanitizer: data race.*writeFromGLib.*raced"},
      {"our buffer copied by GLib", raceWithACopyByGLib,
       "WARNING: ThreadSanitizer: data race.*raceWithACopyByGLib.*raced"},
      {"our buffer copied by Pango", raceWithACopyByPango,
       "WARNING: ThreadSanitizer: data race.*raceWithACopyBy.*raced"},
      {"our buffer copied by HarfBuzz", raceWithACopyByHarfBuzz,
       "WARNING: ThreadSanitizer: data race.*raceWithACopyBy.*raced"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(c.race(), ::testing::ExitedWithCode(0), c.report);
  }
}

#endif
