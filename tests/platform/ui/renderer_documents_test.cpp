// What the browser front end makes of a document a web view opens (shown as itself, as a page or
// as text) and of the answers a page sends back for the application's scripts.
#include "platform/ui/RendererFiles.h"
#include "platform/ui/RendererServer.h"

#include <gtest/gtest.h>

using namespace platform::ui::detail;
using namespace std::string_literals;

TEST(RendererDocuments, TypeByFirstBytesThenByNameAndHtmlOnlyByName) {
  struct Case {
    std::string head, name, type;
    bool itself;
  } cases[] = {
      {"\x89PNG\r\n\x1a\nrest", "photo.png", "image/png", true},
      // The bytes decide for pictures and PDF files, whatever the name says.
      {"\x89PNG\r\n\x1a\nrest", "named.txt", "image/png", true},
      {"\xff\xd8\xff\xe0", "IMG_1.JPG", "image/jpeg", true},
      {"GIF89a..", "a", "image/gif", true},
      {"RIFF\x10\0\0\0WEBPVP8 "s, "x.bin", "image/webp", true},
      {"%PDF-1.7\n", "manual", "application/pdf", true},
      // A name alone: movies and sounds by it; text and unknown bytes are no picture.
      {"\0\0\0\x18"
       "ftypmp42"s,
       "clip.mp4", "video/mp4", true},
      {"ID3", "song.mp3", "audio/mpeg", true},
      {"plain words", "notes.txt", "text/plain; charset=utf-8", false},
      {"BMW and more", "cars.txt", "text/plain; charset=utf-8", false},
      {"RIFF\x10\0\0\0WAVE"s, "x.bin", "application/octet-stream", false},
      // Markup is a page only when its name says so, never by its bytes.
      {"<html><script>", "page.html", "text/html; charset=utf-8", false},
      {"<html><script>", "page.txt", "text/plain; charset=utf-8", false},
      {"<svg onload=x>", "drawing.svg", "image/svg+xml", true},
      {"", "empty.png", "image/png", true},
  };
  for (auto &c : cases) {
    EXPECT_EQ(documentTypeFor(c.head, c.name), c.type) << c.name;
    EXPECT_EQ(isShownAsItself(c.type), c.itself) << c.type;
  }
}

TEST(RendererDocuments, ScriptAnswersAreReadStrictly) {
  auto m = readPageMessage(R"({"renderer":"scriptResult","id":7,"call":42,"value":"T\u00edtle"})");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->renderer, "scriptResult");
  EXPECT_EQ(m->id, 7u);
  EXPECT_EQ(m->call, 42u);
  EXPECT_EQ(m->value, "T\xc3\xadtle");
  for (const char *bad : {R"({"renderer":"scriptResult","id":7,"call":"42","value":"x"})",
                          R"({"renderer":"scriptResult","id":7,"call":1.5,"value":"x"})",
                          R"({"renderer":"scriptResult","id":7,"call":4,"value":{"a":1}})",
                          R"({"renderer":"scriptResult","id":7,"call":4,"value":3})"})
    EXPECT_FALSE(readPageMessage(bad)) << bad;
}
