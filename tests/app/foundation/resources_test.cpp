#include "tests/support/TestSupport.h"

#include "app/foundation/ResourceImage.h"

#include "platform/device/SoundService.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/media/Image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kResources = std::string(FERROWEN_SOURCE_DIR) + "/resources";

std::string res(const std::string &name) {
  return testsupport::readFile(kResources + "/" + name);
}

// The source text without its comments (a comment may name a picture as an example); string and
// character literals are kept whole.
std::string withoutComments(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      const size_t start = i;
      for (++i; i < text.size() && text[i] != c && text[i] != '\n'; ++i)
        if (text[i] == '\\') ++i;
      out.append(text, start, i - start + 1);
    } else if (text.compare(i, 2, "//") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
      out += '\n';
    } else if (text.compare(i, 2, "/*") == 0) {
      i = text.find("*/", i + 2);
      if (i == std::string::npos) break;
      ++i;
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

// Every picture the code of app/ and platform/ asks for by a fixed name, with the file that names
// it: quoted ".png" names anywhere, and the names handed to the calls that take a picture's name
// (the phone finds "name" as "name.png"). A name that is glued to more text ("tab-progress-" +
// n) is a family, checked apart.
// The string literals handed straight to a call whose arguments start at `from` (nested calls and
// literals glued to more text left out): "a.png" and both sides of `x ? "a" : "b"`.
std::vector<std::string> plainArguments(const std::string &code, size_t from) {
  std::vector<std::string> out;
  int depth = 0;
  for (size_t i = from; i < code.size() && depth >= 0; ++i) {
    const char c = code[i];
    if (c == '(' || c == '{' || c == '[') ++depth;
    if (c == ')' || c == '}' || c == ']') --depth;
    if (c == ';') break;
    if (c != '"') continue;
    const size_t end = code.find('"', i + 1);
    if (end == std::string::npos) break;
    const auto before = code.find_last_not_of(" \t\n", i - 1);
    const auto after = code.find_first_not_of(" \t\n", end + 1);
    const bool glued = (before != std::string::npos && code[before] == '+') ||
                       (after != std::string::npos && code[after] == '+');
    if (depth == 0 && !glued) out.push_back(code.substr(i + 1, end - i - 1));
    i = end;
  }
  return out;
}

// Every picture the code of app/ and platform/ asks for by a fixed name, with the file that names
// it: quoted ".png" names anywhere, and the names handed to the calls that take a picture's name
// (the phone finds "name" as "name.png").
std::map<std::string, std::string> imageNamesInCode() {
  static const std::regex pngName(R"re("([A-Za-z0-9_@.\-]+\.png)")re");
  static const std::regex imageCall(
      R"re((setImage|setImageName|setBackgroundImage|withImage|imageNamed|resourceImageNamed|ImageView>)\()re");
  std::map<std::string, std::string> names;
  for (const char *top : {"app", "platform"}) {
    for (const auto &entry : std::filesystem::recursive_directory_iterator(
             std::string(FERROWEN_SOURCE_DIR) + "/" + top)) {
      const auto ext = entry.path().extension();
      if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
      const std::string code = withoutComments(testsupport::readFile(entry.path().string()));
      const std::string where = entry.path().filename().string();
      for (std::sregex_iterator it(code.begin(), code.end(), pngName), end; it != end; ++it)
        names.emplace((*it)[1], where);
      for (std::sregex_iterator it(code.begin(), code.end(), imageCall), end; it != end; ++it)
        for (const auto &name : plainArguments(code, size_t(it->position(0) + it->length(0))))
          if (!name.empty()) names.emplace(name, where);
    }
  }
  return names;
}

} // namespace

// The pictures a screen shows are looked up by name while it draws: a missing one is a blank
// square (or a placeholder) in front of the person.
TEST(Resources, EveryImageTheCodeNamesIsThere) {
  // Names the sharing server's pages use for the icons it writes into its folder: written, not
  // read from the resources.
  std::set<std::string> written = {"dir.png",          "image_doc.png",    "sound_doc.png",
                                   "video_doc.png",    "text_doc.png",     "iso_doc.png",
                                   "windows_app.png",  "plain_doc.png",    "document.png",
                                   "document_xls.png", "document_ppt.png", "document_zip.png"};
  // Types, not pictures: the pasteboard's type of PNG bytes.
  written.insert("public.png");
  auto names = imageNamesInCode();
  ASSERT_GT(names.size(), 20u) << "the scan of the sources found (almost) nothing";
  // Names made while running: the browser tab's page-loading spinner, frame by frame.
  for (int frame = 0; frame < 12; ++frame)
    names.emplace("tab-progress-" + std::to_string(frame) + ".png", "ValtryWebBrowserView.cpp");
  for (const auto &[name, where] : names) {
    if (written.count(name)) continue;
    const bool bare = name.find('.') == std::string::npos;
    const std::string file = kResources + "/" + name + (bare ? ".png" : "");
    const auto image = platform::media::Image::imageWithContentsOfFile(file);
    EXPECT_TRUE(image && image->pixelWidth() > 0) << name << " (named in " << where << ")";
  }
}

// A double-resolution twin shows the same picture with twice the pixels each way: a twin of
// another size would be drawn at the wrong size on a screen of scale 2.
TEST(Resources, DoubleResolutionTwinsMatchTheirPicture) {
  size_t twins = 0;
  for (const auto &entry : std::filesystem::directory_iterator(kResources)) {
    const std::string name = entry.path().filename().string();
    const auto at = name.rfind("@2x.png");
    if (at == std::string::npos || at + 7 != name.size()) continue;
    const auto sharp = platform::media::Image::imageWithContentsOfFile(entry.path().string());
    const auto plain = platform::media::Image::imageWithContentsOfFile(kResources + "/" +
                                                                       name.substr(0, at) + ".png");
    ASSERT_TRUE(sharp && plain) << name;
    EXPECT_EQ(sharp->size(), plain->size()) << name;
    EXPECT_EQ(sharp->pixelWidth(), 2 * plain->pixelWidth()) << name;
    ++twins;
  }
  EXPECT_GT(twins, 0u);
}

// Screens ask for their pictures on every redraw: a missing one is looked for once, logged once,
// and found as soon as it is registered; a bare name is its ".png" file.
TEST(ResourceImageLookup, AMissIsLoggedOnceAndNotLookedForAgain) {
  testsupport::TempDir dir("ferrowen-res-miss");
  platform::Paths::setResources(dir.path());
  auto &registry = platform::media::ImageRegistry::shared();
  registry.clear();
  const auto copy = [&](const std::string &from, const std::string &to) {
    ASSERT_TRUE(testsupport::writeFile(dir.file(to), res(from))) << to;
  };
  copy("3-folder.png", "gallery-dir.png");
  {
    platform::LogCapture log(platform::Log::Sink::System);
    for (int redraw = 0; redraw < 50; ++redraw) {
      EXPECT_FALSE(resourceImageNamed("no-such.png"));
      EXPECT_FALSE(registry.imageNamed("no-such"));
    }
    size_t mentions = 0;
    for (const auto &line : log.lines())
      mentions += line.find("no-such") != std::string::npos;
    EXPECT_EQ(mentions, 2u) << "one line for each name, whatever the number of redraws";

    // A file that turns up later is not looked for: the miss stands until the name is
    // registered or the resources move.
    copy("3-folder.png", "no-such.png");
    EXPECT_FALSE(resourceImageNamed("no-such.png"));
    auto drawn = platform::media::Image::imageWithContentsOfFile(dir.file("no-such.png"));
    registry.registerImage("no-such.png", drawn);
    EXPECT_EQ(registry.imageNamed("no-such.png"), drawn);

    // Names as the phone takes them: bare names are PNG files.
    auto bare = resourceImageNamed("gallery-dir");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->name, "gallery-dir");
    EXPECT_EQ(bare->image->pixelSize(), resourceImageNamed("gallery-dir.png")->image->pixelSize());

    // A name that carries text from elsewhere (a site's host) reaches the log escaped.
    EXPECT_FALSE(registry.imageNamed("tab-icon-evil\r\nInjected: line"));
    for (const auto &line : log.lines())
      EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_TRUE(log.contains("tab-icon-evil\\x0d\\x0aInjected"));

    // Names from outside without end (a host per page) neither flood the log nor grow the
    // registry without bound; they still find nothing.
    log.clear();
    const size_t asked = 5000;
    for (size_t i = 0; i < asked; ++i)
      EXPECT_FALSE(registry.imageNamed("tab-icon-host" + std::to_string(i) + ".example"));
    EXPECT_LT(log.count(), asked / 2);
    EXPECT_FALSE(registry.imageNamed("tab-icon-host1.example"));
  }
  // Another resources folder is looked in afresh.
  testsupport::TempDir other("ferrowen-res-miss2");
  ASSERT_TRUE(testsupport::writeFile(other.file("only-here.png"), res("3-folder.png")));
  platform::Paths::setResources(dir.path());
  EXPECT_FALSE(registry.imageNamed("only-here.png"));
  platform::Paths::setResources(other.path());
  EXPECT_TRUE(registry.imageNamed("only-here.png"));
  registry.clear();
  platform::Paths::setResources("");
}

TEST(Resources, EveryNamedFileIsThere) {
  const char *const names[] = {
      // Icons loaded at start and written to the sharing folder.
      "left-arrow24.png", "3-doc-binary.png", "3-doc-blank.png", "blank.png", "blank24.png",
      "selected-row-4-48a.png", "3-doc-audio.png", "3-doc-video.png", "3-doc-image.png",
      "3-doc-txt.png", "3-doc-html.png", "3-doc-asp.png", "3-doc-js.png", "3-doc-css.png",
      "3-doc-php.png", "3-doc-zip.png", "3-doc-doc.png", "3-doc-xls.png", "3-doc-ppt.png",
      "3-folder.png", "3-folder-cloud.png", "3-folder-photo.png", "3-folder-sync.png", "disk48.png",
      "upload.png", "tooltip-arrow-up.png", "badge-back.png",
      // Sharing templates.
      "favicon.ico", "404.html", "header.html", "footer.html", "styles.css", "scripts-js.txt",
      "header-pc.html", "footer-pc.html", "styles-pc.css", "multifile-js.txt",
      // Help pages shown by the connections and the connect screen.
      "error-530.html", "error-530-anon.html", "error-no-ftps.html", "error-sftp-keys.html",
      "error-sftp-login.html", "error-sftp-timeout.html", "error-sftp-refused.html",
      "error-timeout.html", "error-timeout-192.html", "error-timeout-data.html",
      "error-timeout-data-ssl.html", "error-timeout-data192.html", "error-timeout-data192-ssl.html",
      // Documents, lookup tables and the seed database.
      "About-Saved-Files.rtf", "About-Shared-with-iTunes.rtf", "mime-types.plist", "bookmarks.sql"};
  for (const char *name : names) {
    const std::string data = res(name);
    EXPECT_FALSE(data.empty()) << name;
    const std::string n = name;
    if (n.size() > 4 && n.substr(n.size() - 4) == ".png") {
      const auto image = platform::media::Image::imageWithContentsOfFile(kResources + "/" + n);
      EXPECT_TRUE(image && image->pixelWidth() > 0) << name;
    }
    // Whole pages end the document; the headers open it for the rows and the footer.
    if (n.size() > 5 && n.substr(n.size() - 5) == ".html" && n.rfind("header", 0) != 0) {
      EXPECT_NE(data.find("</html>"), std::string::npos) << name;
    }
    if (n.size() > 4 && n.substr(n.size() - 4) == ".rtf") {
      EXPECT_EQ(data.rfind("{\\rtf1", 0), 0u) << name;
    }
  }
  // The stubs the arrow and the badge are drawn from have the sizes the screens stretch them to.
  const auto arrow =
      platform::media::Image::imageWithContentsOfFile(kResources + "/tooltip-arrow-up.png");
  ASSERT_TRUE(arrow);
  EXPECT_EQ(arrow->pixelSize(), (platform::media::PixelSize{20, 10}));
  const auto badge =
      platform::media::Image::imageWithContentsOfFile(kResources + "/badge-back.png");
  ASSERT_TRUE(badge);
  EXPECT_GE(badge->pixelWidth(), 19); // left cap 9, one stretchable column, right side
}

TEST(Resources, TemplatesCarryThePlaceholdersTheServerFills) {
  for (const char *header : {"header.html", "header-pc.html"}) {
    const std::string text = res(header);
    for (const char *ph : {"**TITLE**", "**IPHONENAME**", "**PATH**", "**UP**"})
      EXPECT_NE(text.find(ph), std::string::npos) << header << " " << ph;
    EXPECT_NE(text.find("<table"), std::string::npos) << header;
  }
  for (const char *footer : {"footer.html", "footer-pc.html"}) {
    const std::string text = res(footer);
    EXPECT_NE(text.find("</table>"), std::string::npos) << footer;
    // Uploads post a multipart body to the folder shown.
    EXPECT_NE(text.find("method=\"post\" enctype=\"multipart/form-data\""), std::string::npos);
    EXPECT_NE(text.find("action=\"**PATH**\""), std::string::npos) << footer;
    EXPECT_NE(text.find("type=\"file\""), std::string::npos) << footer;
    EXPECT_NE(text.find("**APPNAME**"), std::string::npos) << footer;
  }
  // The layout links switch through the query the server turns into a cookie.
  EXPECT_NE(res("footer.html").find("?simple=no"), std::string::npos);
  EXPECT_NE(res("footer-pc.html").find("?simple=yes"), std::string::npos);
  // The pages load what the sharing folder holds under its stored names.
  EXPECT_NE(res("header-pc.html").find("/multifile.js"), std::string::npos);
  EXPECT_NE(res("header-pc.html").find("/styles-pc.css"), std::string::npos);
  EXPECT_NE(res("header.html").find("/styles.css"), std::string::npos);
  EXPECT_NE(res("header.html").find("/scripts.js"), std::string::npos);
  EXPECT_NE(res("footer-pc.html").find("ferrowenMultiFile"), std::string::npos);
  EXPECT_NE(res("multifile-js.txt").find("function ferrowenMultiFile"), std::string::npos);
  EXPECT_NE(res("footer-pc.html").find("ferrowenUploadStarted"), std::string::npos);
  EXPECT_NE(res("scripts-js.txt").find("function ferrowenUploadStarted"), std::string::npos);
}

TEST(Resources, GeneratorsReproduceTheCommittedFiles) {
  testsupport::TempDir out("ferrowen-app5a-res");
  int rc = -1;
  testsupport::runCommand("/usr/bin/python3 '" + std::string(FERROWEN_SOURCE_DIR) +
                              "/tools/draw_images.py' '" + out.path() + "' 2>&1",
                          &rc);
  ASSERT_EQ(rc, 0);
  size_t compared = 0;
  for (const auto &entry : std::filesystem::directory_iterator(out.path())) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.substr(name.size() - 4) == ".png") {
      // Compared as pictures, so that another zlib build may pack the same pixels differently.
      const auto made = platform::media::Image::imageWithContentsOfFile(entry.path().string());
      const auto kept = platform::media::Image::imageWithContentsOfFile(kResources + "/" + name);
      ASSERT_TRUE(made && kept) << name;
      EXPECT_EQ(made->pixelSize(), kept->pixelSize()) << name;
      EXPECT_TRUE(made->pixels() == kept->pixels()) << name;
    } else {
      EXPECT_EQ(testsupport::readFile(entry.path().string()).substr(0, 14), res(name).substr(0, 14))
          << name;
    }
    ++compared;
  }
  EXPECT_GE(compared, 27u);

  testsupport::runCommand("sh '" + std::string(FERROWEN_SOURCE_DIR) +
                              "/tools/make_seed_database.sh' '" + out.file("seed.sql") + "' 2>&1",
                          &rc);
  ASSERT_EQ(rc, 0);
  const auto schema = [](const std::string &file) {
    return testsupport::runCommand("sqlite3 '" + file + "' .schema");
  };
  EXPECT_EQ(schema(out.file("seed.sql")), schema(kResources + "/bookmarks.sql"));
  EXPECT_EQ(testsupport::runCommand("sqlite3 '" + kResources +
                                    "/bookmarks.sql' "
                                    "'SELECT count(*) FROM bookmark'"),
            "0\n");
}

TEST(Resources, KeyRowSoundsArePlayableAiffMadeByTheirGenerator) {
  testsupport::TempDir out("ferrowen-revplat-sounds");
  int rc = -1;
  testsupport::runCommand("/usr/bin/python3 '" + std::string(FERROWEN_SOURCE_DIR) +
                              "/tools/make_sounds.py' '" + out.path() + "' 2>&1",
                          &rc);
  ASSERT_EQ(rc, 0);
  for (const char *name : {"keypress.aif", "shift.aif"}) {
    const std::string data = res(name);
    ASSERT_GT(data.size(), 54u) << name;
    // A whole AIFF file: the form's length covers the rest, the common chunk comes first, and
    // its frame count matches the 16-bit mono samples that follow.
    EXPECT_EQ(data.substr(0, 4), "FORM") << name;
    EXPECT_EQ(data.substr(8, 4), "AIFF") << name;
    const auto be32 = [&](size_t at) {
      return (static_cast<uint32_t>(static_cast<uint8_t>(data[at])) << 24) |
             (static_cast<uint32_t>(static_cast<uint8_t>(data[at + 1])) << 16) |
             (static_cast<uint32_t>(static_cast<uint8_t>(data[at + 2])) << 8) |
             static_cast<uint32_t>(static_cast<uint8_t>(data[at + 3]));
    };
    EXPECT_EQ(be32(4), data.size() - 8) << name;
    EXPECT_EQ(data.substr(12, 4), "COMM") << name;
    const uint32_t frames = be32(22);
    EXPECT_GT(frames, 0u) << name;
    EXPECT_EQ(data.substr(38, 4), "SSND") << name;
    EXPECT_EQ(be32(42), 8 + 2 * frames) << name;
    EXPECT_EQ(testsupport::readFile(out.file(name)), data)
        << name << " is not what the generator makes";

    platform::SystemSoundID id = 0;
    EXPECT_EQ(platform::SoundService::shared().createSystemSound(kResources + "/" + name, &id), 0)
        << name;
    EXPECT_NE(id, 0u) << name;
    platform::SoundService::shared().disposeSystemSound(id);
  }
}
