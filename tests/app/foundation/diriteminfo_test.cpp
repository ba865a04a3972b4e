#include "FoundationFixture.h"

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/Globals.h"

#include "platform/foundation/FileManager.h"

#include <algorithm>
#include <chrono>
#include <unistd.h>

namespace {

std::shared_ptr<DirItemInfo> entry(const std::string &name, const std::string &size = "",
                                   bool folder = false, long long seconds = 0) {
  auto e = std::make_shared<DirItemInfo>();
  e->setName(name);
  e->size = size;
  e->isDirectory = folder;
  if (seconds) e->date = platform::WallTime{std::chrono::seconds(seconds)};
  return e;
}

std::vector<std::string> names(const DirItemList &list) {
  std::vector<std::string> out;
  for (const auto &e : list)
    out.push_back(e->name());
  return out;
}

DirItemList sorted(DirItemList list, int (DirItemInfo::*cmp)(const DirItemInfo &) const) {
  std::stable_sort(list.begin(), list.end(),
                   [cmp](const auto &a, const auto &b) { return ((*a).*cmp)(*b) < 0; });
  return list;
}

} // namespace

class DirItem : public FoundationTest {};

TEST_F(DirItem, TypesFromTheExtension) {
  struct Case {
    const char *name;
    int type, subtype;
  } cases[] = {
      {"archive.tar.gz", 10, 0},
      {"archive.gz", 6, 0},
      {"Notes.TXT", 3, 5},
      {"report.pdf.old", 8, 3},
      {"x.old", 7, 0},
      {"README", 7, 0},
      {"zip", 9, 0},
      {"photo.JPEG", 1, 0},
      {"song.aif", 2, 0},
      {"clip.3gp", 5, 0},
      {"disk.iso", 4, 0},
      {"bundle.tb2", 10, 0},
      {"old.TAR.Z", 10, 0},
      {"font.ttf", 6, 0},
      {"setup.msi", 6, 0},
      {"sheet.numbers", 8, 1},
      {"letter.pages", 8, 2},
      {"talk.key", 8, 4},
      {"page.webarchive", 8, 3},
      {"data.csv", 3, 5},
      {"trailing.", 7, 0},
      {"a.pn", 7, 0},
      {"a.png.txt", 3, 5},
      {".profile", 7, 0},
  };
  for (const auto &c : cases) {
    DirItemInfo e;
    e.setName(c.name);
    EXPECT_EQ(e.fileType(), c.type) << c.name;
    EXPECT_EQ(e.fileSubType(), c.subtype) << c.name;
    EXPECT_EQ(e.name(), c.name);
  }
  DirItemInfo e;
  e.setName("letter.doc");
  EXPECT_EQ(e.fileSubType(), 2);
  e.setName("photo.png"); // the subtype of the old name does not linger
  EXPECT_EQ(e.fileType(), 1);
  EXPECT_EQ(e.fileSubType(), 0);

  DirItemInfo fresh;
  EXPECT_EQ(fresh.fileType(), 0);
  EXPECT_FALSE(fresh.validDirectoryItem());
  for (const char *n : {".", ".."}) {
    fresh.setName(n);
    EXPECT_FALSE(fresh.validDirectoryItem()) << n;
  }
  fresh.setName(".profile");
  EXPECT_TRUE(fresh.validDirectoryItem());
}

TEST_F(DirItem, SizeTexts) {
  const std::pair<const char *, const char *> files[] = {
      {"0", ""},
      {"999", "999 B"},
      {"1000", "1.0 KB"},
      {"1048575", "1024.0 KB"},
      {"1048576", "1.0 MB"},
      {"", ""},
      {"5000000000", "4768.4 MB"},
  };
  for (const auto &[size, shown] : files) {
    auto e = entry("f.bin", size);
    e->setupSizeDisplay();
    EXPECT_EQ(e->sizeDisplay, shown) << size;
  }
  auto folder = entry("dir", "", true);
  folder->setupSizeDisplay();
  EXPECT_EQ(folder->sizeDisplay, "");
  folder->fileCount = 3;
  folder->setupSizeDisplay();
  EXPECT_EQ(folder->sizeDisplay, "3");
  auto cloud = entry("doc.pdf", "123456");
  cloud->isDownloading = true;
  cloud->downloadPct = 42;
  cloud->setupSizeDisplay();
  EXPECT_EQ(cloud->sizeDisplay, "42%");
}

TEST_F(DirItem, SixComparatorsKeepFoldersFirst) {
  const DirItemList list = {entry("b.txt", "10", false, 300), entry("Zdir", "", true, 100),
                            entry("a.txt", "9", false, 200),  entry("C.txt", "1000", false, 100),
                            entry("adir", "", true, 400),     entry("nodate", "5")};
  using S = std::vector<std::string>;
  EXPECT_EQ(names(sorted(list, &DirItemInfo::compareByName)),
            (S{"adir", "Zdir", "a.txt", "b.txt", "C.txt", "nodate"}));
  EXPECT_EQ(names(sorted(list, &DirItemInfo::compareByNameDescending)),
            (S{"Zdir", "adir", "nodate", "C.txt", "b.txt", "a.txt"}));
  EXPECT_EQ(names(sorted(list, &DirItemInfo::compareBySize)),
            (S{"Zdir", "adir", "nodate", "a.txt", "b.txt", "C.txt"}));
  EXPECT_EQ(names(sorted(list, &DirItemInfo::compareBySizeDescending)),
            (S{"Zdir", "adir", "C.txt", "b.txt", "a.txt", "nodate"}));
  EXPECT_EQ(names(sorted(list, &DirItemInfo::compareByDate)),
            (S{"Zdir", "adir", "nodate", "C.txt", "a.txt", "b.txt"}));
  EXPECT_EQ(names(sorted(list, &DirItemInfo::compareByDateDescending)),
            (S{"adir", "Zdir", "b.txt", "a.txt", "C.txt", "nodate"}));

  // Results are -1, 0 or 1, and the two forms are mirror images apart from the folder rule.
  auto a = entry("same", "7"), b = entry("SAME", "7"), dir = entry("dir", "", true);
  EXPECT_EQ(a->compareByName(*b), 0);
  EXPECT_EQ(a->compareBySize(*b), 0);
  EXPECT_EQ(dir->compareByNameDescending(*a), -1);
  EXPECT_EQ(a->compareBySizeDescending(*dir), 1);
  // Sizes beyond 32 bits compare by value.
  EXPECT_EQ(entry("x", "4294967296")->compareBySize(*entry("y", "4294967295")), 1);
}

TEST_F(DirItem, Filter) {
  const DirItemList list = {entry("IMG_0001.JPG", "2048"), entry("notes.txt", "1000"),
                            entry("readme.TXT", "999"), entry("ABC-report.pdf", "5000000000"),
                            entry("img folder", "", true)};
  using S = std::vector<std::string>;
  EXPECT_EQ(names(subarrayWithCompareString(list, "")).size(), 5u);
  EXPECT_EQ(names(subarrayWithCompareString(list, ">1000")),
            (S{"IMG_0001.JPG", "notes.txt", "ABC-report.pdf"}));
  EXPECT_EQ(names(subarrayWithCompareString(list, ">4294967296")), (S{"ABC-report.pdf"}));
  EXPECT_EQ(names(subarrayWithCompareString(list, ">")).size(), 5u);
  EXPECT_EQ(names(subarrayWithCompareString(list, "<999")), (S{"readme.TXT", "img folder"}));
  EXPECT_EQ(names(subarrayWithCompareString(list, "<")),
            (S{"IMG_0001.JPG", "notes.txt", "readme.TXT", "img folder"}));
  EXPECT_EQ(names(subarrayWithCompareString(list, " txt")), (S{"notes.txt", "readme.TXT"}));
  EXPECT_EQ(names(subarrayWithCompareString(list, "img ")), (S{"IMG_0001.JPG", "img folder"}));
  EXPECT_EQ(names(subarrayWithCompareString(list, " jpg ")), (S{"IMG_0001.JPG"})); // end wins
  EXPECT_EQ(names(subarrayWithCompareString(list, "abc")), (S{"ABC-report.pdf"}));
  EXPECT_EQ(names(subarrayWithCompareString(list, "g f")), (S{"img folder"}));
  EXPECT_TRUE(subarrayWithCompareString(list, "zzz").empty());
  // The receiver is left alone and entries are shared, not copied.
  const auto kept = subarrayWithCompareString(list, "notes");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0], list[1]);
  EXPECT_EQ(list.size(), 5u);
}

TEST_F(DirItem, IconsForPagesAndScreens) {
  InitGlobals();
  const std::tuple<const char *, const char *, ResourceImageRef *> cases[] = {
      {"a.gif", "3-doc-image.png", &imageImage},
      {"a.mp3", "3-doc-audio.png", &imageSound},
      {"a.txt", "3-doc-txt.png", &imageText},
      {"a.ASPX", "3-doc-txt.png", &imageTextAsp},
      {"a.shtml", "3-doc-txt.png", &imageTextHtml},
      {"a.xml", "3-doc-txt.png", &imageTextHtml},
      {"a.css", "3-doc-txt.png", &imageTextCss},
      {"a.js", "3-doc-txt.png", &imageTextJs},
      {"a.php", "3-doc-txt.png", &imageTextPhp},
      {"a.iso", "3-doc-binary.png", &imageISO},
      {"a.exe", "3-doc-binary.png", &imageWindows},
      {"a.mov", "3-doc-video.png", &imageVideo},
      {"a.zip", "3-doc-zip.png", &imageZip},
      {"a.tgz", "3-doc-zip.png", &imageZip},
      {"a.xlsx", "3-doc-xls.png", &imageDocumentXls},
      {"a.pptx", "3-doc-ppt.png", &imageDocumentPpt},
      {"a.rtf", "3-doc-doc.png", &imageDocument},
      {"a.pdf", "3-doc-doc.png", &imageDocument},
      {"a.xyz", "3-doc-blank.png", &imageOther},
  };
  for (const auto &[name, page, image] : cases) {
    auto e = entry(name);
    EXPECT_EQ(e->imageNameForType(), page) << name;
    EXPECT_EQ(e->imageForFileType(), *image) << name;
  }
  EXPECT_EQ(entry("Cloud Files", "", true)->imageForFileType(), imageFolderCloud);
  EXPECT_EQ(entry("Photo Library", "", true)->imageForFileType(), imageFolderPhotos);
  EXPECT_EQ(entry("Shared with iTunes", "", true)->imageForFileType(), imageFolderiTunes);
  EXPECT_EQ(entry("a.gif", "", true)->imageForFileType(), imageFolder);
}

TEST_F(DirItem, CountsFilesBelowAFolderOnceEvenThroughLinkLoops) {
  using platform::FileManager;
  const std::string root = tmpPath() + "/count";
  FileManager::createDirectory(root + "/a/b");
  testsupport::writeFile(root + "/one", "1");
  testsupport::writeFile(root + "/a/two", "2");
  testsupport::writeFile(root + "/a/b/three", "3");
  ASSERT_EQ(::symlink("../..", (root + "/a/b/up").c_str()), 0);    // back to the top
  ASSERT_EQ(::symlink("two", (root + "/a/file-link").c_str()), 0); // a link to a file: nothing
  const std::string outside = tmpPath() + "/outside";
  FileManager::createDirectory(outside);
  testsupport::writeFile(outside + "/four", "4");
  ASSERT_EQ(::symlink(outside.c_str(), (root + "/out").c_str()), 0);

  DirItemInfo e;
  e.isDirectory = true;
  e.recountSubFolderItems(root);
  EXPECT_EQ(e.fileCount, 4);
  e.recountSubFolderItems(root); // starts again from 0
  EXPECT_EQ(e.fileCount, 4);
  e.countSubFolderItems(root + "/a/b"); // adds
  EXPECT_EQ(e.fileCount, 4 + 4);
  e.recountSubFolderItems(tmpPath() + "/missing");
  EXPECT_EQ(e.fileCount, 0);
}
