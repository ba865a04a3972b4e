#include "tests/support/TestSupport.h"

#include "platform/device/SoundService.h"
#include "platform/media/Image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

const std::string kResources = std::string(FERROWEN_SOURCE_DIR) + "/resources";

std::string res(const std::string &name) {
  return testsupport::readFile(kResources + "/" + name);
}

} // namespace

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
