#include "FoundationFixture.h"

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/Globals.h"

#include "platform/foundation/FileManager.h"

#include <chrono>
#include <sys/stat.h>

using platform::FileManager;

namespace {

const char *const kIcons[] = {
    "disk48.png",       "upload.png",       "dir.png",      "image_doc.png",
    "sound_doc.png",    "video_doc.png",    "text_doc.png", "iso_doc.png",
    "windows_app.png",  "plain_doc.png",    "document.png", "document_xls.png",
    "document_ppt.png", "document_zip.png", "blank.png",    "left-arrow24.png",
};
// The per-type icons the folder pages of the web server name for files.
const char *const kTypeIcons[] = {
    "3-doc-image.png", "3-doc-audio.png", "3-doc-txt.png", "3-doc-binary.png", "3-doc-video.png",
    "3-doc-zip.png",   "3-doc-ppt.png",   "3-doc-doc.png", "3-doc-xls.png",    "3-doc-blank.png",
};
const char *const kTemplates[] = {
    "favicon.ico", "404.html",       "header.html",    "footer.html",   "styles.css",
    "scripts.js",  "header-pc.html", "footer-pc.html", "styles-pc.css", "multifile.js",
};

std::string resource(const std::string &name) {
  return std::string(FERROWEN_SOURCE_DIR) + "/resources/" + name;
}

} // namespace

class Globals : public FoundationTest {
protected:
  std::string web(const std::string &name = "") const {
    return documents() + "/WebServer" + (name.empty() ? "" : "/" + name);
  }
};

TEST_F(Globals, FirstLaunchBuildsFoldersTemplatesAndHelp) {
  InitGlobals();
  EXPECT_EQ(globalTempPath, documents() + "/Downloads");
  EXPECT_TRUE(FileManager::isDirectory(globalTempPath));
  EXPECT_TRUE(FileManager::isDirectory(documents() + "/Files"));
  EXPECT_EQ(globalUserDefaults, &platform::UserDefaults::standard());
  EXPECT_TRUE(tempFilesToCleanup.empty());

  const auto names = FileManager::contentsOfDirectory(web());
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(names->size(), 36u);
  for (const char *icon : kIcons)
    EXPECT_TRUE(FileManager::fileExists(web(icon))) << icon;
  for (const char *icon : kTypeIcons)
    EXPECT_TRUE(FileManager::fileExists(web(icon))) << icon;
  // Every icon a folder page can name for a file is there.
  for (const char *file : {"a.gif", "a.mp3", "a.txt", "a.php", "a.iso", "a.exe", "a.mov", "a.tgz",
                           "a.xlsx", "a.pptx", "a.rtf", "a.pdf", "a.xyz", "noextension"}) {
    DirItemInfo item;
    item.setName(file);
    EXPECT_TRUE(FileManager::fileExists(web(item.imageNameForType()))) << file;
  }
  for (const char *name : kTemplates)
    EXPECT_TRUE(FileManager::fileExists(web(name))) << name;
  // Icons are the images loaded at start, written as PNG; the scripts come from their "-js.txt"
  // resources.
  const auto samePicture = [&](const std::string &written, const std::string &source) {
    const auto a = platform::media::Image::imageWithContentsOfFile(web(written));
    const auto b = platform::media::Image::imageWithContentsOfFile(resource(source));
    return a && b && a->pixelSize() == b->pixelSize() && a->pixels() == b->pixels();
  };
  EXPECT_TRUE(samePicture("dir.png", "3-folder.png"));
  EXPECT_TRUE(samePicture("windows_app.png", "3-doc-binary.png"));
  EXPECT_TRUE(samePicture("left-arrow24.png", "left-arrow24.png"));
  EXPECT_TRUE(samePicture("disk48.png", "disk48.png"));
  EXPECT_TRUE(samePicture("3-doc-zip.png", "3-doc-zip.png"));
  EXPECT_FALSE(samePicture("3-doc-zip.png", "3-doc-xls.png"));
  EXPECT_FALSE(samePicture("dir.png", "3-doc-binary.png"));
  EXPECT_EQ(testsupport::readFile(web("scripts.js")),
            testsupport::readFile(resource("scripts-js.txt")));
  EXPECT_EQ(testsupport::readFile(web("multifile.js")),
            testsupport::readFile(resource("multifile-js.txt")));
  EXPECT_EQ(testsupport::readFile(web("dir.png")).substr(1, 3), "PNG");

  EXPECT_TRUE(FileManager::fileExists(documents() + "/Files/About-Saved-Files.rtf"));
  EXPECT_TRUE(FileManager::fileExists(documents() + "/About-Shared-with-iTunes.rtf"));
  EXPECT_EQ(globalUserDefaults->stringForKey("TemplateVersions").value_or(""), "1");
  platform::UserDefaults::resetStandard(); // stored on disk, not only in memory
  EXPECT_EQ(platform::UserDefaults::standard().stringForKey("TemplateVersions").value_or(""), "1");

  // Every icon global was loaded, and the three that share images share them.
  for (const auto *image :
       {&imageUpFolder, &imageISO,         &imageWindows,      &imageOther,       &imageBlank,
        &imageBlank24,  &imageSelectedRow, &imageSound,        &imageVideo,       &imageImage,
        &imageText,     &imageTextHtml,    &imageTextAsp,      &imageTextJs,      &imageTextCss,
        &imageTextPhp,  &imageZip,         &imageDocument,     &imageDocumentXls, &imageDocumentPpt,
        &imageFolder,   &imageFolderCloud, &imageFolderPhotos, &imageFolderiTunes})
    EXPECT_TRUE(*image && (*image)->image && (*image)->image->pixelWidth() > 0);
  EXPECT_EQ(imageISO->name, "3-doc-binary.png");
  EXPECT_EQ(imageWindows->name, "3-doc-binary.png");
  EXPECT_EQ(imageOther->name, "3-doc-blank.png");
}

TEST_F(Globals, LaterLaunchRestoresOnlyWhatIsMissing) {
  InitGlobals();
  // The user edits an icon and a template, deletes a template and the help document.
  testsupport::writeFile(web("dir.png"), "my icon");
  testsupport::writeFile(web("styles.css"), "my styles");
  FileManager::removeItem(web("header.html"));
  FileManager::removeItem(documents() + "/Files/About-Saved-Files.rtf");

  platform::UserDefaults::resetStandard();
  InitGlobals();
  EXPECT_EQ(testsupport::readFile(web("header.html")),
            testsupport::readFile(resource("header.html")));
  EXPECT_EQ(testsupport::readFile(web("dir.png")), "my icon");
  EXPECT_EQ(testsupport::readFile(web("styles.css")), "my styles");
  EXPECT_FALSE(FileManager::fileExists(documents() + "/Files/About-Saved-Files.rtf"));
}

TEST_F(Globals, OldHelpArchiveIsReplaced) {
  InitGlobals();
  FileManager::removeItem(documents() + "/Files/About-Saved-Files.rtf");
  testsupport::writeFile(documents() + "/Files/Help.webarchive", "old");
  InitGlobals();
  EXPECT_FALSE(FileManager::fileExists(documents() + "/Files/Help.webarchive"));
  EXPECT_TRUE(FileManager::fileExists(documents() + "/Files/About-Saved-Files.rtf"));
}

TEST_F(Globals, OlderTemplateVersionRebuildsTheSharingFolder) {
  InitGlobals();
  testsupport::writeFile(web("header.html"), "customised");
  testsupport::writeFile(web("extra.html"), "extra");
  globalUserDefaults->setObject("0", "TemplateVersions");
  InitGlobals();
  EXPECT_EQ(testsupport::readFile(web("header.html")),
            testsupport::readFile(resource("header.html")));
  EXPECT_FALSE(FileManager::fileExists(web("extra.html")));
  EXPECT_EQ(globalUserDefaults->stringForKey("TemplateVersions").value_or(""), "1");
  // A fresh folder brings the help documents back too.
  EXPECT_TRUE(FileManager::fileExists(documents() + "/Files/About-Saved-Files.rtf"));
}

TEST_F(Globals, MissingResourcesLeaveFilesMissingWithoutHarm) {
  const std::string empty = tmpPath() + "/no-resources";
  FileManager::createDirectory(empty);
  platform::Paths::setResources(empty);
  platform::media::ImageRegistry::shared().clear();
  InitGlobals();
  EXPECT_EQ(imageFolder, nullptr);
  EXPECT_TRUE(FileManager::isDirectory(web()));
  EXPECT_FALSE(FileManager::fileExists(web("header.html")));
  // A later start with the resources in place fills the gaps.
  platform::Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
  platform::media::ImageRegistry::shared().clear();
  InitGlobals();
  EXPECT_TRUE(FileManager::fileExists(web("header.html")));
  EXPECT_TRUE(FileManager::fileExists(web("left-arrow24.png")));
}

TEST_F(Globals, DeviceFactsAndFormats) {
  auto profile = platform::DeviceProfile::iPad();
  profile.systemVersion = "3.2";
  platform::DeviceProfile::setCurrent(profile);
  InitGlobals();
  EXPECT_TRUE(iPAD);
  EXPECT_EQ(osMajorVersion, 3);
  EXPECT_EQ(myTextInputFont.size, platform::ui::Font::systemFontSize() + 3);
  EXPECT_TRUE(myTextInputFont.name.empty());
  EXPECT_EQ(currentLocalFolder, "");
  EXPECT_EQ(showFolderExtra, 1);
  EXPECT_EQ(showFolderIcon, 1);

  profile = platform::DeviceProfile::iPhone();
  profile.systemVersion = "13.0";
  platform::DeviceProfile::setCurrent(profile);
  InitGlobals();
  EXPECT_FALSE(iPAD);
  EXPECT_EQ(osMajorVersion, 2);

  // 2009-02-13 23:31:30 UTC
  const platform::WallTime t{std::chrono::seconds(1234567890)};
  EXPECT_EQ(dateFormatHTTP->stringFromDate(t), "Fri, 13 Feb 2009 23:31:30");
  EXPECT_EQ(dateFormatHTTPLog->stringFromDate(t), "13/Feb/2009:23:31:30");
  testsupport::ScopedEnv tz("TZ", "UTC");
  EXPECT_EQ(dateFormatDateOnly->stringFromDate(t), "2009-02-13");
  EXPECT_EQ(dateFormatDateOnlyNicely->stringFromDate(t), "Feb. 13, 2009");
  EXPECT_FALSE(dateOutputFormat->stringFromDate(t).empty());
}

TEST_F(Globals, CopiesOfReadOnlyResourcesCanBeChanged) {
  const std::string installed = tmpPath() + "/installed";
  ASSERT_TRUE(FileManager::copyItem(std::string(FERROWEN_SOURCE_DIR) + "/resources", installed));
  for (const char *name : {"header.html", "About-Saved-Files.rtf", "scripts-js.txt"})
    ::chmod((installed + "/" + name).c_str(), 0444);
  platform::Paths::setResources(installed);
  InitGlobals();
  for (const std::string &path :
       {web("header.html"), web("scripts.js"), documents() + "/Files/About-Saved-Files.rtf"}) {
    const auto attributes = FileManager::attributesOfItem(path);
    ASSERT_TRUE(attributes) << path;
    EXPECT_TRUE(attributes->permissions & 0200) << path;
  }
}
