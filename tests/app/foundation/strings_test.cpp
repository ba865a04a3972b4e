#include "FoundationFixture.h"

#include "app/foundation/StringUtils.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

#include <cstdio>

using Bytes = std::vector<uint8_t>;
#include <sys/stat.h>

TEST(StringSearch, CaseInsensitiveCutting) {
  EXPECT_TRUE(myContains("Hello World", "WORLD"));
  EXPECT_FALSE(myContains("Hello", ""));
  EXPECT_TRUE(myStartsWith("Hello", "hE"));
  EXPECT_FALSE(myStartsWith("Hello", ""));
  EXPECT_FALSE(myStartsWith("xHello", "hello"));
  EXPECT_TRUE(myEndsWith("photo.JPG", ".jpg"));
  EXPECT_FALSE(myEndsWith("photo.JPG", ""));
  EXPECT_FALSE(myEndsWith("a.jpg.txt", ".jpg"));
  EXPECT_TRUE(myEndsWith("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89")); // accented letters fold too

  EXPECT_EQ(mySubStringAfterString("a=b=c", "="), "b=c");
  EXPECT_EQ(mySubStringAfterString("abc", "x"), "abc");
  EXPECT_EQ(mySubStringAfterFirstStringTrim("key: value ", ":"), " value ");
  EXPECT_EQ(mySubStringAfterFirstStringBlankOK("host/dir/x", "/"), "/dir/x");
  EXPECT_EQ(mySubStringAfterFirstStringBlankOK("host", "/"), "");
  EXPECT_EQ(mySubStringBeforeFirstString("a.b.c", "."), "a");
  EXPECT_EQ(mySubStringBeforeFirstString("abc", "."), "abc");
  EXPECT_EQ(mySubStringBeforeString("a.b.c", "."), "a.b");
  EXPECT_EQ(mySubStringBeforeAfterString("257 \"/dir \"x\"\" is current", "\""), "/dir \"x\"");
  EXPECT_EQ(myStringSuffixAfterString("a.b.TXT", "."), "TXT");
  EXPECT_EQ(myStringSuffixAfterString("abc", "."), "");
  EXPECT_EQ(myStringAfterStringSelfIfNotFound("/a/b", "/"), "b");
  EXPECT_EQ(myStringAfterStringSelfIfNotFound("b", "/"), "b");
  EXPECT_EQ(mySubStringAfterString("FILENAME=x", "filename="), "x");
  EXPECT_EQ(myTrimWS(" \t\r\n text with  blanks \xC2\xA0\n"), "text with  blanks");
  EXPECT_EQ(myTrimWS(" \n "), "");
}

TEST(StringSearch, SqlQuoting) {
  EXPECT_EQ(mySQL("O'Brien's"), "O''Brien''s");
  EXPECT_EQ(mySQLw("  O'Brien  \n"), "O''Brien");
  EXPECT_EQ(mySQL("''"), "''''");
}

TEST(FileNames, ExtensionsAndDisplayForms) {
  EXPECT_EQ(myFileType("README"), "README");
  EXPECT_EQ(myFileType("archive.tar.gz"), "gz");
  EXPECT_EQ(myFileType("photo.JPG.old"), "jpg");
  EXPECT_EQ(myFileType("Report.TXT.old"), "txt");
  EXPECT_EQ(myFileType("a.old"), "a");
  EXPECT_EQ(myFileType("x."), "");
  EXPECT_EQ(myFName("a.b.c"), "a.b");
  EXPECT_EQ(myFName("abc"), "abc");
  EXPECT_EQ(myBetterFileName("index.html.OLD"), "index.html");
  EXPECT_EQ(myBetterFileName("index.html"), "index.html");
  // The cut never leaves "", "." or "..": the result is joined to a folder's path.
  for (const char *name : {".old", "..old", "...OLD"})
    EXPECT_EQ(myBetterFileName(name), name);

  EXPECT_EQ(myShortenedFileName("abcdefghij.txt"), "abcdefghij.txt"); // 14 characters
  EXPECT_EQ(myShortenedFileName("abcdefghijklmnop.txt"), "abcdefghij...txt");
  EXPECT_EQ(myShortenedFileName("a.verylongextension"), "a....verylongextension");
  EXPECT_EQ(
      myShortenedFileName("\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4"
                          "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4.doc"),
      "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4...doc");

  EXPECT_EQ(myEllipseAfter("abc", 3), "abc\xE2\x80\xA6");
  EXPECT_EQ(myEllipseAfter("ab", 3), "ab");
  EXPECT_EQ(myEllipseAfter("\xC3\xA4\xC3\xB6\xC3\xBC", 2), "\xC3\xA4\xC3\xB6\xE2\x80\xA6");

  EXPECT_EQ(stringFromPathComponents({"/", "a", "b", "c"}, 2, 2), ".");
  EXPECT_EQ(stringFromPathComponents({"/", "a", "b", "c"}, 1, 3), "a/b");
  EXPECT_EQ(stringFromPathComponents({"/", "a", "b", "c"}, 0, 2), "/a");

  EXPECT_EQ(myStringMonthToInteger("Jan"), 1);
  EXPECT_EQ(myStringMonthToInteger("dec"), 12);
  EXPECT_EQ(myStringMonthToInteger("Foo"), 1);
  EXPECT_EQ(myStringMonthToInteger(""), 1);
  EXPECT_EQ(myIntToMonth(1), "Jan");
  EXPECT_EQ(myIntToMonth(12), "Dec");
  EXPECT_EQ(myIntToMonth(0), "???");
  EXPECT_EQ(myIntToMonth(13), "???");
}

TEST(Numbers, SizesAndDecimalTexts) {
  EXPECT_EQ(myFileSize(0), "");
  EXPECT_EQ(myFileSize(999), "999 B");
  EXPECT_EQ(myFileSize(1000), "1.0 KB");
  EXPECT_EQ(myFileSize(1048576), "1.0 MB");
  EXPECT_EQ(myFileSize(3.0 * 1024 * 1024 * 1024), "3072.0 MB");
  EXPECT_EQ(itostr(42), "42");
  EXPECT_EQ(itostr(-7), "-7");
  EXPECT_EQ(itostr(5000000000LL), "5000000000");
  EXPECT_EQ(numtostr(21), "21");
}

TEST(Encodings, Base64BothWays) {
  EXPECT_EQ(myBase64(std::string("user:pass")), "dXNlcjpwYXNz");
  EXPECT_EQ(myBase64(std::string("a")), "YQ==");
  EXPECT_EQ(myBase64(std::string("ab")), "YWI=");
  EXPECT_EQ(myBase64(std::string("")), "");
  EXPECT_EQ(myBase64(std::string("\xC3\xA9")), "6Q=="); // Latin-1 byte of the character
  EXPECT_EQ(myBase64(Bytes{0xFF, 0x00, 0x10}), "/wAQ");
  EXPECT_EQ(myBase64(Bytes{}), "");
  EXPECT_EQ(myBase64(Bytes{'a'}), "YQ==");

  EXPECT_FALSE(myFromBase64("").has_value());
  EXPECT_EQ(*myFromBase64("dXNlcjpwYXNz"), (Bytes{'u', 's', 'e', 'r', ':', 'p', 'a', 's', 's'}));
  EXPECT_EQ(*myFromBase64("YQ=="), (Bytes{'a'}));
  EXPECT_EQ(*myFromBase64("YWI="), (Bytes{'a', 'b'}));
  EXPECT_EQ(*myFromBase64("/wAQ"), (Bytes{0xFF, 0x00, 0x10}));
  EXPECT_EQ(*myFromBase64("YQ"), (Bytes{'a'})); // a short group: first byte only

  EXPECT_EQ(_6BitChar('A'), 0);
  EXPECT_EQ(_6BitChar('/'), 63);
  EXPECT_EQ(_6BitChar('='), 0);
  EXPECT_EQ(_6BitChar('*'), -1);
  EXPECT_EQ(_6BitChar(0x100 + 'B'), 1);
}

TEST(Lists, MoveObject) {
  std::vector<int> v{0, 1, 2, 3, 4};
  moveObjectAtIndex(v, 0, 3);
  EXPECT_EQ(v, (std::vector<int>{1, 2, 0, 3, 4}));
  moveObjectAtIndex(v, 4, 0);
  EXPECT_EQ(v, (std::vector<int>{4, 1, 2, 0, 3}));
  moveObjectAtIndex(v, 1, 5);
  EXPECT_EQ(v, (std::vector<int>{4, 2, 0, 3, 1}));
  moveObjectAtIndex(v, 9, 0); // out of range: nothing
  EXPECT_EQ(v.size(), 5u);
}

class ResourceLookups : public FoundationTest {};

TEST_F(ResourceLookups, MimeTypesAndFileFacts) {
  // A type the table does not hold is logged as the table's own fault would be.
  const struct {
    const char *name, *type;
    bool logged;
  } types[] = {{"index.HTML", "text/html", false},
               {"photo.jpg.old", "image/jpeg", false},
               {"a.zip", "application/zip", false},
               {"a.unknownext", "application/octet-stream", true},
               {"noextension", "application/octet-stream", true}};
  for (const auto &t : types) {
    platform::LogCapture log(platform::Log::Sink::System);
    EXPECT_EQ(myMimeType(t.name), t.type) << t.name;
    EXPECT_EQ(log.contains("****** Dude!  Check that mime-types.plist is included properly"),
              t.logged)
        << t.name;
  }
  {
    platform::Paths::setResources(tmpPath());
    platform::LogCapture log(platform::Log::Sink::System);
    EXPECT_EQ(myMimeType("index.html"), "application/octet-stream");
    EXPECT_TRUE(log.contains("Check that mime-types.plist is included properly"));
  }

  const std::string file = tmpPath() + "/f.bin";
  testsupport::writeFile(file, std::string(1234, 'x'));
  EXPECT_EQ(sizeOfFileAtPath(file), 1234u);
  EXPECT_EQ(sizeOfFileAtPath(tmpPath() + "/missing"), 0u);
  // A sparse file past 4 GiB keeps its full size.
  const std::string big = tmpPath() + "/big.bin";
  FILE *f = std::fopen(big.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(::fseeko(f, 5000000000LL, SEEK_SET), 0);
  std::fputc('x', f);
  std::fclose(f);
  EXPECT_EQ(sizeOfFileAtPath(big), 5000000001u);

  protectFile(file);
  EXPECT_EQ(platform::FileManager::attributesOfItem(file)->permissions, 0600u);
  auto old = platform::DeviceProfile::iPhone();
  old.systemVersion = "3.1.3";
  platform::DeviceProfile::setCurrent(old);
  ::chmod(file.c_str(), 0644);
  protectFile(file);
  EXPECT_EQ(platform::FileManager::attributesOfItem(file)->permissions, 0644u);
}
