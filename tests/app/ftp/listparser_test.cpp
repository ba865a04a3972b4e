// The listing parser against hand-written lines of every style and against listings captured
// from real servers (pyftpdlib, vsftpd, proftpd) and from DOS, VMS and NetWare servers.
#include "app/ftp/FTPListParser.h"
#include "app/ftp/FTPReplyAssembler.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/DateFormatter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using platform::DateComponents;
using platform::GregorianCalendar;

namespace {

DateComponents day(int year, int month, int dayOfMonth) {
  DateComponents c;
  c.year = year;
  c.month = month;
  c.day = dayOfMonth;
  return c;
}

class ListParserTest : public ::testing::Test {
protected:
  testsupport::ScopedEnv tz{"TZ", std::string("UTC")};

  // Year, month, day, hour, minute of an entry's date (local time).
  static std::vector<int> dateOf(const DirItemInfo &item) {
    if (!item.date) return {};
    DateComponents c = GregorianCalendar::components(*item.date);
    return {c.year, c.month, c.day, c.hour, c.minute};
  }

  static std::vector<std::string> fixtureLines(const std::string &name) {
    std::ifstream in(std::string(FERROWEN_SOURCE_DIR) + "/tests/app/ftp/fixtures/" + name,
                     std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
      lines.push_back(line + "\n");
    return lines;
  }

  static std::vector<std::shared_ptr<DirItemInfo>> parseAll(FTPListParser &parser,
                                                            const std::vector<std::string> &lines) {
    std::vector<std::shared_ptr<DirItemInfo>> items;
    for (const auto &line : lines)
      if (auto item = parser.parseDirectoryLine(line)) items.push_back(item);
    return items;
  }

  static std::shared_ptr<DirItemInfo> find(const std::vector<std::shared_ptr<DirItemInfo>> &items,
                                           const std::string &name) {
    for (const auto &item : items)
      if (item->name() == name) return item;
    return nullptr;
  }
};

TEST_F(ListParserTest, UnixLineKeepsBlanksInNameAndFindsEveryField) {
  FTPListParser parser(day(2026, 12, 6));
  auto item = parser.parseDirectoryLine(
      "-rw-r--r--    1 joe      staff        1234 Mar  3 10:15 my file.txt\r\n");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->name(), "my file.txt");
  EXPECT_EQ(item->owner, "joe");
  EXPECT_EQ(item->group, "staff");
  EXPECT_EQ(item->size, "1234");
  EXPECT_EQ(item->attrib, "-rw-r--r--");
  EXPECT_FALSE(item->isDirectory);
  EXPECT_EQ(dateOf(*item), (std::vector<int>{2026, 3, 3, 10, 15}));
  EXPECT_TRUE(parser.canDoChmod);

  // Runs of blanks inside a name survive as they are.
  item = parser.parseDirectoryLine("-rw-r--r-- 1 joe staff 5 Mar 3 10:15 two  blanks   here\n");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->name(), "two  blanks   here");
}

// A name is every byte after the single blank that ends the date, up to the line end: blanks (and
// other white space) at either end of it are its own, so "trail.txt " and "trail.txt" are two
// files. Only NetWare pads before the name.
TEST_F(ListParserTest, BlanksAtEitherEndOfANameAreTheNames) {
  const std::string unix = "-rw-r--r--    1 joe      staff          20 Dec 10 03:30 ";
  const std::string dosFolder = "01-12-10  03:25PM       <DIR>          ";
  struct Case {
    const char *what;
    std::string line;
    int serverType;
    std::string name, linksTo;
  } cases[] = {
      {"a blank at the end", unix + "trail.txt \r\n", FTPListParser::kUnix, "trail.txt "},
      {"a blank at the start", unix + " lead.txt\r\n", FTPListParser::kUnix, " lead.txt"},
      {"blanks at both ends", unix + "  both  \n", FTPListParser::kUnix, "  both  "},
      {"nothing but blanks", unix + "   \r\n", FTPListParser::kUnix, "   "},
      {"a tab at the end", unix + "tab\t\n", FTPListParser::kUnix, "tab\t"},
      {"a name that starts with -", unix + "-rf \n", FTPListParser::kUnix, "-rf "},
      {"after a year", "-rw-r--r-- 1 u g 20 Dec 10  2025  lead.txt\n", FTPListParser::kUnix,
       " lead.txt"},
      {"no group column", "-rw-r--r-- 1 joe 1234 Mar 3 2009  notes \n", FTPListParser::kUnix,
       " notes "},
      {"a link", "lrwxrwxrwx 1 u g 9 Nov 2 09:00  a  -> b \n", FTPListParser::kUnix, " a ", "b "},
      {"the last line without its line end", unix + "end ", FTPListParser::kUnix, "end "},
      {"DOS file", "12-31-99  12:05AM                 1024  lead.txt \r\n", FTPListParser::kDos,
       " lead.txt "},
      {"DOS folder", dosFolder + " Web Site \r\n", FTPListParser::kDos, " Web Site "},
      {"DOS folder, one blank", "01-12-10  03:25PM <DIR> Web\r\n", FTPListParser::kDos, "Web"},
      {"NetWare", "d [R----F--] supervisor   512   Jan 16 18:53    login \r\n",
       FTPListParser::kNetware, "login "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FTPListParser parser(day(2026, 12, 6));
    parser.iServerType = c.serverType;
    auto item = parser.parseDirectoryLine(c.line, c.line, platform::Encoding::UTF8);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->name(), c.name);
    EXPECT_EQ(item->nameBytes(), c.name);
    EXPECT_EQ(item->linksTo, c.linksTo);
  }
  // In another encoding the name's bytes are the line's own, blanks included.
  FTPListParser parser(day(2026, 12, 6));
  const std::string raw = unix + " caf\xE9 \r\n";
  auto item = parser.parseDirectoryLine(
      FTPReplyAssembler::decodeLine(reinterpret_cast<const uint8_t *>(raw.data()), raw.size(), true,
                                    0),
      raw, platform::Encoding::ISOLatin1);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->name(), " caf\xC3\xA9 ");
  EXPECT_EQ(item->nameBytes(), " caf\xE9 ");
}

TEST_F(ListParserTest, LineWithoutGroupColumnIsShifted) {
  FTPListParser parser(day(2026, 12, 6));
  auto item = parser.parseDirectoryLine("-rw-r--r-- 1 joe 1234 Mar 3 2009 notes\r\n");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->name(), "notes");
  EXPECT_EQ(item->owner, "joe");
  EXPECT_EQ(item->group, "joe");
  EXPECT_EQ(item->size, "1234");
  EXPECT_EQ(dateOf(*item), (std::vector<int>{2009, 3, 3, 12, 0}));

  // The same with a name of two words.
  item = parser.parseDirectoryLine("-rw-r--r-- 1 joe 1234 Mar 3 2009 my notes\r\n");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->name(), "my notes");
}

TEST_F(ListParserTest, YearOfATimeIsInferredFromToday) {
  FTPListParser parser(day(2026, 6, 5));
  auto yearOf = [&](const std::string &monthDay) {
    auto item = parser.parseDirectoryLine("-rw-r--r-- 1 u g 10 " + monthDay + " 08:00 f.txt\n");
    return item ? dateOf(*item).at(0) : 0;
  };
  EXPECT_EQ(yearOf("Dec 30"), 2025);
  EXPECT_EQ(yearOf("Jun 6"), 2026);
  EXPECT_EQ(yearOf("Jun 7"), 2025); // two days ahead is too far for clock skew
  EXPECT_EQ(yearOf("Jun 8"), 2025);
  EXPECT_EQ(yearOf("Jan 1"), 2026);
  EXPECT_EQ(yearOf("Jul 1"), 2025);

  // A month name where the day should stand replaces the month; the day follows it.
  auto item = parser.parseDirectoryLine("-rw-r--r-- 1 u g 10 x Mar 3 08:00 f.txt\n");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->name(), "f.txt");
  EXPECT_EQ(dateOf(*item), (std::vector<int>{2026, 3, 3, 8, 0}));
}

TEST_F(ListParserTest, TodayIsTheParsersNotAFixedOne) {
  // A long-lived connection takes today's date for each listing: the same line parsed by a
  // parser made in a later year gets that year.
  const std::string line = "-rw-r--r-- 1 u g 10 Nov 20 08:00 f.txt\n";
  FTPListParser early(day(2026, 12, 6));
  FTPListParser later(day(2027, 12, 6));
  EXPECT_EQ(dateOf(*early.parseDirectoryLine(line)).at(0), 2026);
  EXPECT_EQ(dateOf(*later.parseDirectoryLine(line)).at(0), 2027);
  // todayNow follows the process clock.
  DateComponents now = FTPListParser::todayNow();
  DateComponents real = GregorianCalendar::components(std::chrono::system_clock::now());
  EXPECT_EQ(now.year, real.year);
}

TEST_F(ListParserTest, DosLinesSwitchStyleAndReadAmPm) {
  FTPListParser parser(day(2026, 12, 6));
  auto folder = parser.parseDirectoryLine("01-12-10  03:25PM       <DIR>          Web Site\r\n");
  EXPECT_EQ(parser.iServerType, FTPListParser::kDos);
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->name(), "Web Site");
  EXPECT_TRUE(folder->isDirectory);
  EXPECT_EQ(folder->size, "");
  EXPECT_EQ(dateOf(*folder), (std::vector<int>{2010, 1, 12, 15, 25}));

  auto file = parser.parseDirectoryLine("12-31-99  12:05AM                 1024 a.txt\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->name(), "a.txt");
  EXPECT_EQ(file->size, "1024");
  // 12:05AM is five past midnight.
  EXPECT_EQ(dateOf(*file), (std::vector<int>{1999, 12, 31, 0, 5}));

  auto noon = parser.parseDirectoryLine("07-04-70  12:30PM                 1 b.txt\r\n");
  ASSERT_TRUE(noon);
  EXPECT_EQ(dateOf(*noon), (std::vector<int>{2070, 7, 4, 12, 30}));
  auto seventyOne = parser.parseDirectoryLine("07-04-71  11:59AM                 1 c.txt\r\n");
  ASSERT_TRUE(seventyOne);
  EXPECT_EQ(dateOf(*seventyOne), (std::vector<int>{1971, 7, 4, 11, 59}));
  // Four-digit years and a 24-hour time (IIS can be told to list so).
  auto iso = parser.parseDirectoryLine("11-20-2026  18:40    5000000000 big file.iso\r\n");
  ASSERT_TRUE(iso);
  EXPECT_EQ(iso->name(), "big file.iso");
  EXPECT_EQ(iso->size, "5000000000");
  EXPECT_EQ(dateOf(*iso), (std::vector<int>{2026, 11, 20, 18, 40}));
  // A date that does not split into three parts dates nothing.
  auto odd = parser.parseDirectoryLine("2026/11/20  06:40PM     12 odd.txt\r\n");
  ASSERT_TRUE(odd);
  EXPECT_FALSE(odd->date);

  // The style stays DOS until a "total" line says otherwise.
  EXPECT_FALSE(parser.parseDirectoryLine("total 24\r\n"));
  EXPECT_EQ(parser.iServerType, FTPListParser::kUnix);
}

TEST_F(ListParserTest, TotalShortLinesDotsAndHiddenEntries) {
  FTPListParser parser(day(2026, 12, 6));
  EXPECT_FALSE(parser.parseDirectoryLine("total 24\r\n"));
  EXPECT_FALSE(parser.parseDirectoryLine("-rw x y\r\n")); // 9 characters
  EXPECT_FALSE(parser.parseDirectoryLine(""));
  EXPECT_FALSE(parser.parseDirectoryLine("drwxr-xr-x 2 u g 4096 Dec 1 10:00 .\n"));
  EXPECT_FALSE(parser.parseDirectoryLine("drwxr-xr-x 2 u g 4096 Dec 1 10:00 ..\n"));
  const std::string hidden = "-rw-r--r-- 1 u g 10 Dec 1 10:00 .profile\n";
  EXPECT_TRUE(parser.parseDirectoryLine(hidden));
  parser.showHiddenFiles = false;
  EXPECT_FALSE(parser.parseDirectoryLine(hidden));
  // A NetWare connection keeps its style through a "total" line.
  FTPListParser netware(day(2026, 12, 6));
  netware.iServerType = FTPListParser::kNetware;
  EXPECT_FALSE(netware.parseDirectoryLine("total 8\r\n"));
  EXPECT_EQ(netware.iServerType, FTPListParser::kNetware);
}

TEST_F(ListParserTest, LinksFoldersAndTheFolderWord) {
  FTPListParser parser(day(2026, 12, 6));
  auto link = parser.parseDirectoryLine("lrwxrwxrwx 1 root root 9 Nov 2 09:00 site -> /srv/site\n");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->name(), "site");
  EXPECT_EQ(link->linksTo, "/srv/site");
  EXPECT_TRUE(link->isDirectory);
  EXPECT_TRUE(link->isLink);
  // A target that itself holds the arrow: the text between the first and the second.
  link = parser.parseDirectoryLine("lrwxrwxrwx 1 root root 9 Nov 2 09:00 a -> b -> c\n");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->name(), "a");
  EXPECT_EQ(link->linksTo, "b");
  // An arrow in a plain file's name is part of the name.
  auto file = parser.parseDirectoryLine("-rw-r--r-- 1 u g 9 Nov 2 09:00 x -> y\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->name(), "x -> y");
  EXPECT_TRUE(file->linksTo.empty());

  auto dir = parser.parseDirectoryLine("drwxr-xr-x 2 u g 4096 Nov 2 09:00 pub\n");
  ASSERT_TRUE(dir);
  EXPECT_TRUE(dir->isDirectory);
  EXPECT_FALSE(dir->isLink);

  // Old Mac servers: "folder" and an item count in place of link count, owner and group.
  auto mac =
      parser.parseDirectoryLine("drwxrwxrwx               folder        2 May 10  1996 network\n");
  ASSERT_TRUE(mac);
  EXPECT_EQ(mac->name(), "network");
  EXPECT_EQ(mac->group, "folder");
  EXPECT_EQ(mac->size, "2");
  EXPECT_EQ(dateOf(*mac), (std::vector<int>{1996, 5, 10, 12, 0}));
}

TEST_F(ListParserTest, NetwareLinesHaveNoLinkCountOrGroup) {
  FTPListParser parser(day(2026, 12, 6));
  parser.iServerType = FTPListParser::kNetware;
  auto dir = parser.parseDirectoryLine(
      "d [R----F--] supervisor            512       Jan 16 18:53    login\r\n");
  ASSERT_TRUE(dir);
  EXPECT_EQ(parser.iServerType, FTPListParser::kNetware);
  EXPECT_EQ(dir->name(), "login");
  EXPECT_TRUE(dir->isDirectory);
  EXPECT_EQ(dir->attrib, "[R----F--]");
  EXPECT_EQ(dir->owner, "supervisor");
  EXPECT_EQ(dir->size, "512");
  EXPECT_EQ(dateOf(*dir), (std::vector<int>{2026, 1, 16, 18, 53}));
  EXPECT_FALSE(parser.canDoChmod);

  auto file = parser.parseDirectoryLine(
      "- [RWCEAFMS] rhesus             214059       Oct 20  2009    cx dll.txt\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->name(), "cx dll.txt");
  EXPECT_FALSE(file->isDirectory);
  EXPECT_EQ(file->size, "214059");
  EXPECT_EQ(dateOf(*file), (std::vector<int>{2009, 10, 20, 12, 0}));

  // A NetWare server that lists UNIX style after all is recognised by the mode text.
  auto unix = parser.parseDirectoryLine("-rw-r--r-- 1 joe staff 77 Oct 20 2009 plain.txt\r\n");
  EXPECT_EQ(parser.iServerType, FTPListParser::kUnix);
  ASSERT_TRUE(unix);
  EXPECT_EQ(unix->attrib, "-rw-r--r--");
  auto next = parser.parseDirectoryLine("-rw-r--r-- 1 joe staff 78 Oct 20 2009 next.txt\r\n");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->name(), "next.txt");
  EXPECT_EQ(next->group, "staff");
  EXPECT_EQ(next->size, "78");
}

TEST_F(ListParserTest, SizesBeyondFourGigabytesStayWhole) {
  FTPListParser parser(day(2026, 12, 6));
  auto item = parser.parseDirectoryLine("-rw-r--r-- 1 u g 6442450944 Nov 2 09:00 disk.img\n");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->size, "6442450944");
}

TEST_F(ListParserTest, MalformedLinesYieldNothingOrPartialEntries) {
  FTPListParser parser(day(2026, 12, 6));
  // Too few fields: no name, no entry.
  EXPECT_FALSE(parser.parseDirectoryLine("-rw-r--r-- 1 u g 10 Nov\n"));
  EXPECT_FALSE(parser.parseDirectoryLine("          \r\n"));
  EXPECT_FALSE(parser.parseDirectoryLine("\t\t\t\t\t\t\t\t\t\t\t\n"));
  // Absurd numbers do not upset the calendar.
  auto item =
      parser.parseDirectoryLine("-rw-r--r-- 1 u g 10 Nov 99999999999 99999999999 huge.txt\n");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->name(), "huge.txt");
  item = parser.parseDirectoryLine("-rw-r--r-- 1 u g 10 Nov -2147483648 -2147483649:-9 neg.txt\n");
  ASSERT_TRUE(item);
  FTPListParser dos(day(2026, 12, 6));
  dos.iServerType = FTPListParser::kDos;
  item =
      dos.parseDirectoryLine("99999999999-99999999999-99999999999  99999999999:99999PM 1 x.bin\n");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->name(), "x.bin");
  // Bytes that are not UTF-8 do not stop the parser.
  item = parser.parseDirectoryLine("-rw-r--r-- 1 u g 10 Nov 2 09:00 caf\xe9.txt\n");
  ASSERT_TRUE(item);
}

// --- Listings captured from real servers -------------------------------------------------------

TEST_F(ListParserTest, PyftpdlibListing) {
  FTPListParser parser(day(2026, 12, 6));
  auto items = parseAll(parser, fixtureLines("pyftpdlib-list.txt"));
  auto file = find(items, "my file.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size, "1234");
  EXPECT_EQ(dateOf(*file), (std::vector<int>{2026, 11, 20, 14, 5}));
  auto old = find(items, "old.tar.gz");
  ASSERT_TRUE(old);
  EXPECT_EQ(dateOf(*old), (std::vector<int>{2009, 3, 3, 12, 0}));
  auto big = find(items, "big.iso");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->size, "5368709120");
  auto folder = find(items, "Web Site");
  ASSERT_TRUE(folder);
  EXPECT_TRUE(folder->isDirectory);
  auto link = find(items, "site");
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->isLink);
  EXPECT_EQ(link->linksTo, "/srv/site");
  EXPECT_TRUE(find(items, "na\xc3\xafve.txt"));
  EXPECT_TRUE(find(items, ".profile"));
  EXPECT_FALSE(find(items, "."));
  EXPECT_TRUE(parser.canDoChmod);
}

TEST_F(ListParserTest, VsftpdListing) {
  FTPListParser parser(day(2026, 12, 6));
  auto items = parseAll(parser, fixtureLines("vsftpd-list-la.txt"));
  auto file = find(items, "my file.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size, "1234");
  EXPECT_EQ(dateOf(*file), (std::vector<int>{2026, 11, 20, 14, 5}));
  EXPECT_TRUE(find(items, ".profile"));
  EXPECT_EQ(find(items, "big.iso")->size, "5368709120");
  EXPECT_EQ(dateOf(*find(items, "old.tar.gz")), (std::vector<int>{2009, 3, 3, 12, 0}));
  EXPECT_EQ(find(items, "site")->linksTo, "/srv/site");
  EXPECT_TRUE(find(items, "Web Site")->isDirectory);
  EXPECT_FALSE(find(items, ".."));
}

TEST_F(ListParserTest, ProftpdListing) {
  FTPListParser parser(day(2026, 12, 6));
  auto items = parseAll(parser, fixtureLines("proftpd-list-la.txt"));
  auto file = find(items, "my file.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size, "1234");
  EXPECT_EQ(dateOf(*file), (std::vector<int>{2026, 11, 20, 14, 5}));
  EXPECT_EQ(find(items, "big.iso")->size, "5368709120");
  EXPECT_EQ(dateOf(*find(items, "old.tar.gz")), (std::vector<int>{2009, 3, 3, 12, 0}));
  EXPECT_EQ(find(items, "site")->linksTo, "/srv/site");
  EXPECT_TRUE(find(items, "Web Site")->isDirectory);
  EXPECT_TRUE(find(items, "na\xc3\xafve.txt"));
}

TEST_F(ListParserTest, DosVmsAndNetwareListings) {
  FTPListParser dos(day(2026, 12, 6));
  auto items = parseAll(dos, fixtureLines("dos-list.txt"));
  EXPECT_EQ(dos.iServerType, FTPListParser::kDos);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_TRUE(find(items, "aspnet_client")->isDirectory);
  EXPECT_EQ(find(items, "iisstart.htm")->size, "689");
  EXPECT_EQ(dateOf(*find(items, "midnight.log")), (std::vector<int>{2021, 2, 28, 0, 15}));
  EXPECT_EQ(find(items, "big backup.bak")->size, "5368709120");

  FTPListParser netware(day(2026, 12, 6));
  netware.iServerType = FTPListParser::kNetware;
  items = parseAll(netware, fixtureLines("netware-list.txt"));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(netware.iServerType, FTPListParser::kNetware);
  EXPECT_TRUE(find(items, "PUBLIC")->isDirectory);
  EXPECT_EQ(find(items, "AUTOEXEC.NCF")->size, "1287");
  EXPECT_EQ(find(items, "AUTOEXEC.NCF")->owner, "ADMIN");

  // A VMS server listing in UNIX form parses like UNIX; its native lines give no entries.
  FTPListParser vms(day(2026, 12, 6));
  vms.iServerType = FTPListParser::kVms;
  items = parseAll(vms, fixtureLines("vms-list.txt"));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(find(items, "login.com")->size, "1024");
  EXPECT_TRUE(find(items, "archive.dir")->isDirectory);
}

} // namespace

namespace {

// Every form of line yields its entry's name in the bytes the server sent for it: the line is
// read as the connection reads it (the folder encoding, else UTF-8, else ISO Latin-1), and the
// name's bytes are the line's own behind the name's characters.
TEST_F(ListParserTest, NamesKeepTheBytesTheServerSentForThem) {
  const std::string unix = "-rw-r--r--   1 joe  staff   5 Mar  3 10:15 ";
  const std::string dos = "01-12-10  03:25PM       <DIR>          ";
  struct Case {
    const char *what;
    std::string raw;
    int serverType;
    uint32_t folderEncoding;
    std::string name, bytes;
  } cases[] = {
      {"UTF-8", unix + "caf\xC3\xA9.txt\r\n", FTPListParser::kUnix, 0, "caf\xC3\xA9.txt",
       "caf\xC3\xA9.txt"},
      {"Latin-1", unix + "caf\xE9.txt\r\n", FTPListParser::kUnix, 0, "caf\xC3\xA9.txt",
       "caf\xE9.txt"},
      {"a Windows-1252 byte", unix + "\x80 euro\r\n", FTPListParser::kUnix, 0, "\xC2\x80 euro",
       "\x80 euro"},
      // Another column holds the byte UTF-8 lacks: the line reads as Latin-1, the name as well.
      {"UTF-8 name, Latin-1 owner", "-rw-r--r-- 1 jos\xE9 staff 5 Mar 3 10:15 caf\xC3\xA9\r\n",
       FTPListParser::kUnix, 0, "caf\xC3\x83\xC2\xA9", "caf\xC3\xA9"},
      {"blanks kept", unix + "a  caf\xE9 b.txt\n", FTPListParser::kUnix, 0, "a  caf\xC3\xA9 b.txt",
       "a  caf\xE9 b.txt"},
      {"blanks before the line", "   " + unix + "x\xE9\n", FTPListParser::kUnix, 0, "x\xC3\xA9",
       "x\xE9"},
      {"a link", "lrwxrwxrwx 1 u g 9 Nov 2 09:00 caf\xE9 -> /srv/caf\xE9\r\n", FTPListParser::kUnix,
       0, "caf\xC3\xA9", "caf\xE9"},
      {"no group column", "-rw-r--r-- 1 joe 1234 Mar 3 2009 n\xF6tes\n", FTPListParser::kUnix, 0,
       "n\xC3\xB6tes", "n\xF6tes"},
      {"DOS", dos + "Caf\xE9 Web\r\n", FTPListParser::kDos, 0, "Caf\xC3\xA9 Web", "Caf\xE9 Web"},
      {"NetWare", "- [RWCEAFMS] rhesus 214059 Oct 20  2009    cx d\xFCll.txt\r\n",
       FTPListParser::kNetware, 0, "cx d\xC3\xBCll.txt", "cx d\xFCll.txt"},
      // A folder encoding chosen in the settings: the name's bytes are that encoding's.
      {"Shift_JIS", unix + "\x83\x65\x83\x58\x83\x67.txt\r\n", FTPListParser::kUnix,
       uint32_t(platform::Encoding::ShiftJIS), "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt",
       "\x83\x65\x83\x58\x83\x67.txt"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FTPListParser parser(day(2026, 12, 6));
    parser.iServerType = c.serverType;
    platform::Encoding readIn = platform::Encoding::UTF8;
    const std::string line =
        FTPReplyAssembler::decodeLine(reinterpret_cast<const uint8_t *>(c.raw.data()), c.raw.size(),
                                      true, c.folderEncoding, &readIn);
    auto item = parser.parseDirectoryLine(line, c.raw, readIn);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->name(), c.name);
    EXPECT_EQ(item->nameBytes(), c.bytes);
  }
}

} // namespace
