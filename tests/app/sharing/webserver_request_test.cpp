// Reading request heads, Basic credentials, mapping request paths into a shared folder, and the
// escaping of names for pages, links and header lines.
#include "app/foundation/StringUtils.h"
#include "app/sharing/WebRequest.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/FileManager.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <utility>

namespace {

std::vector<uint8_t> bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

// Parses the text given in pieces of `step` bytes; returns the last status.
WebRequestParser::Status parseInPieces(WebRequestParser &parser, std::vector<uint8_t> &buffer,
                                       const std::string &text, size_t step) {
  WebRequestParser::Status status = WebRequestParser::Status::NeedMore;
  for (size_t i = 0; i < text.size(); i += step) {
    const std::string piece = text.substr(i, step);
    buffer.insert(buffer.end(), piece.begin(), piece.end());
    status = parser.parse(buffer);
    if (status != WebRequestParser::Status::NeedMore) break;
  }
  return status;
}

} // namespace

TEST(WebRequestLines, LinesEndAtLineFeedOrNulAndFallBackToLatin1) {
  auto buffer = bytes("GET / HTTP/1.0\r\nHost");
  EXPECT_EQ(popLineFromData(buffer), "GET / HTTP/1.0\r\n");
  EXPECT_EQ(popLineFromData(buffer), ""); // no complete line: nothing taken
  EXPECT_EQ(buffer.size(), 4u);
  buffer = bytes(std::string("a\0b\n", 4));
  EXPECT_EQ(popLineFromData(buffer), std::string("a\0", 2));
  EXPECT_EQ(popLineFromData(buffer), "b\n");
  EXPECT_TRUE(buffer.empty());
  buffer = {'c', 'a', 'f', 0xE9, '\n'}; // not UTF-8: read as ISO-8859-1
  EXPECT_EQ(popLineFromData(buffer), "caf\xC3\xA9\n");
  buffer = bytes("caf\xC3\xA9\n");
  EXPECT_EQ(popLineFromData(buffer), "caf\xC3\xA9\n");
}

TEST(WebRequestHeads, RequestLineHeadersAndBodyLeftInTheBuffer) {
  const std::string head = "\r\nPOST /Sub%20Dir/a%3Fb.txt?simple=yes%26x HTTP/1.0\r\n"
                           "HOST: example\r\n"
                           "content-length:  42\r\n"
                           "authorization: Basic YWxpY2U6cHc=\r\n"
                           "User-Agent: Mozilla (iPhone OS 5_1)\r\n"
                           "COOKIE: simple=no\r\n"
                           "Content-Type: multipart/form-data; boundary=\"q b\"; charset=x\r\n"
                           "\r\n"
                           "BODY";
  for (size_t step : {head.size(), size_t(1), size_t(5)}) {
    WebRequestParser parser;
    std::vector<uint8_t> buffer;
    ASSERT_EQ(parseInPieces(parser, buffer, head, step), WebRequestParser::Status::Complete)
        << step;
    const auto &h = parser.head();
    EXPECT_EQ(h.httpOperation, "POST");
    EXPECT_EQ(h.httpOperationLine, "POST /Sub%20Dir/a%3Fb.txt?simple=yes%26x HTTP/1.0\r\n");
    // The query is split off first; then both parts are decoded.
    EXPECT_EQ(h.httpObject, "/Sub Dir/a?b.txt");
    EXPECT_EQ(h.httpCGI, "simple=yes&x");
    EXPECT_TRUE(h.hasContentLength);
    EXPECT_EQ(h.contentLength, 42);
    EXPECT_EQ(h.authLine, "authorization: Basic YWxpY2U6cHc=\r\n");
    EXPECT_EQ(h.userAgent, "User-Agent: Mozilla (iPhone OS 5_1)\r\n");
    EXPECT_EQ(h.cookieLine, "COOKIE: simple=no\r\n");
    EXPECT_EQ(h.multipartBoundary, "--q b");
    // What follows the head stays for the body (at most the last piece's share of it).
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()),
              std::string("BODY").substr(0, buffer.size()));
  }
}

TEST(WebRequestHeads, OddRequestLinesAndValues) {
  auto parse = [](const std::string &text) {
    WebRequestParser parser;
    auto buffer = bytes(text);
    EXPECT_EQ(parser.parse(buffer), WebRequestParser::Status::Complete) << text;
    return parser.head();
  };
  // Only a path (no version), a bare line feed ending the head.
  auto h = parse("GET /x\n\n");
  EXPECT_EQ(h.httpObject, "/x");
  EXPECT_FALSE(h.httpCGI.has_value());
  // A blank inside the path stays part of it.
  EXPECT_EQ(parse("GET /a b HTTP/1.0\r\n\r\n").httpObject, "/a b");
  // More than one "?": the query ends before the last one.
  h = parse("GET /p?one?two?three HTTP/1.0\r\n\r\n");
  EXPECT_EQ(h.httpObject, "/p");
  EXPECT_EQ(h.httpCGI, "one?two");
  // An undecodable path is empty; an undecodable query is kept as sent.
  h = parse("GET /bad%zz?q=%zz HTTP/1.0\r\n\r\n");
  EXPECT_EQ(h.httpObject, "");
  EXPECT_EQ(h.httpCGI, "q=%zz");
  // Escapes stand for bytes, whatever their encoding: the name of exactly those bytes.
  EXPECT_EQ(parse("GET /%FF HTTP/1.0\r\n\r\n").httpObject, "/\xFF");
  EXPECT_EQ(parse("GET /caf%E9%2F%00 HTTP/1.0\r\n\r\n").httpObject, std::string("/caf\xE9/\0", 7));
  EXPECT_EQ(parse("GET /caf\xE9.txt HTTP/1.0\r\n\r\n").httpObject, "/caf\xE9.txt");
  EXPECT_EQ(parse("GET /a%4 HTTP/1.0\r\n\r\n").httpObject, "");
  // Lengths that are not plain numbers are no lengths.
  for (const std::string value : {"-5", "12abc", "", "0x10", "+3"}) {
    h = parse("POST / HTTP/1.0\r\nContent-Length: " + value + "\r\n\r\n");
    EXPECT_FALSE(h.hasContentLength) << value;
    EXPECT_EQ(h.contentLength, 0) << value;
    EXPECT_TRUE(h.contentLengthInvalid) << value;
  }
  h = parse("POST / HTTP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\n");
  EXPECT_GT(h.contentLength, int64_t(1) << 40);
  // Boundaries: a plain one with parameters after it, none for other types, none too long.
  EXPECT_EQ(parse("GET / HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=abc; x=y\r\n\r\n")
                .multipartBoundary,
            "--abc");
  EXPECT_EQ(
      parse("GET / HTTP/1.0\r\nContent-Type: text/plain; boundary=abc\r\n\r\n").multipartBoundary,
      "");
  EXPECT_EQ(parse("GET / HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=" +
                  std::string(300, 'b') + "\r\n\r\n")
                .multipartBoundary,
            "");
  // Lines without a colon are ignored.
  EXPECT_EQ(parse("GET / HTTP/1.0\r\nnonsense\r\nCookie: c\r\n\r\n").cookieLine, "Cookie: c\r\n");
}

// Where a body ends must be known for sure: every length given is the same number (on several
// lines or in one list), and a number is read whole, however long.
TEST(WebRequestHeads, LengthsThatLeaveTheEndOfTheBodyOpenAreMarked) {
  const int64_t most = INT64_MAX;
  const struct {
    std::string lines;
    bool has;
    int64_t length;
    bool invalid;
  } cases[] = {
      {"Content-Length: 42", true, 42, false},
      {"Content-Length: 0042", true, 42, false},
      {"Content-Length: 0", true, 0, false},
      {"Content-Length: 000", true, 0, false},
      {"Content-Length: 42\r\ncontent-length: 42", true, 42, false},
      {"Content-Length: 42\r\nContent-Length: 042", true, 42, false},
      {"Content-Length: 42, 42", true, 42, false},
      {"Content-Length: 42\r\nContent-Length: 43", true, 42, true},
      {"Content-Length: 43\r\nContent-Length: 42", true, 43, true},
      {"Content-Length: 42, 43", true, 42, true},
      {"Content-Length: 42,", true, 42, true},
      {"Content-Length: 4 2", false, 0, true},
      {"Content-Length: 42\r\nContent-Length: x", true, 42, true},
      {"Content-Length: 9223372036854775806", true, most - 1, false},
      {"Content-Length: 9223372036854775807", true, most, false},
      {"Content-Length: 9223372036854775808", true, most, false},
      {"Content-Length: 18446744073709551616", true, most, false},
      {"Content-Length: 100000000000000000000000", true, most, false},
      // Past 64 bits both, yet not the same number.
      {"Content-Length: 18446744073709551616\r\nContent-Length: 18446744073709551617", true, most,
       true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.lines);
    WebRequestParser parser;
    auto buffer = bytes("POST / HTTP/1.0\r\n" + c.lines + "\r\n\r\n");
    ASSERT_EQ(parser.parse(buffer), WebRequestParser::Status::Complete);
    EXPECT_EQ(parser.head().hasContentLength, c.has);
    EXPECT_EQ(parser.head().contentLength, c.length);
    EXPECT_EQ(parser.head().contentLengthInvalid, c.invalid);
  }
}

TEST(WebRequestHeads, HeadsThatNeverEndAreBounded) {
  {
    WebRequestParser parser; // one endless line
    std::vector<uint8_t> buffer(WebRequestParser::kMaxHeadBytes + 1, 'a');
    EXPECT_EQ(parser.parse(buffer), WebRequestParser::Status::TooLarge);
  }
  {
    WebRequestParser parser; // many short lines
    std::vector<uint8_t> buffer = bytes("GET / HTTP/1.0\r\n");
    EXPECT_EQ(parser.parse(buffer), WebRequestParser::Status::NeedMore);
    WebRequestParser::Status status = WebRequestParser::Status::NeedMore;
    for (int i = 0; i < 10000 && status == WebRequestParser::Status::NeedMore; ++i) {
      auto line = bytes("X-Filler: 0123456789\r\n");
      buffer.insert(buffer.end(), line.begin(), line.end());
      status = parser.parse(buffer);
    }
    EXPECT_EQ(status, WebRequestParser::Status::TooLarge);
  }
  {
    WebRequestParser parser; // just under the limit is fine
    std::string text =
        "GET / HTTP/1.0\r\nX: " + std::string(WebRequestParser::kMaxHeadBytes - 100, 'v') +
        "\r\n\r\n";
    auto buffer = bytes(text);
    EXPECT_EQ(parser.parse(buffer), WebRequestParser::Status::Complete);
  }
}

TEST(WebRequestCredentials, BasicCredentials) {
  const std::string good = myBase64(std::string("alice:s3cret"));
  EXPECT_TRUE(basicCredentialsMatch("Authorization: Basic " + good + "\r\n", "alice", "s3cret"));
  EXPECT_TRUE(basicCredentialsMatch("authorization: BASIC\t" + good, "alice", "s3cret"));
  EXPECT_FALSE(basicCredentialsMatch("Authorization: Basic " + good, "alice", "s3cre"));
  EXPECT_FALSE(basicCredentialsMatch("Authorization: Basic " + good, "Alice", "s3cret"));
  EXPECT_FALSE(basicCredentialsMatch("Authorization: Digest " + good, "alice", "s3cret"));
  EXPECT_FALSE(basicCredentialsMatch("Authorization: Basic", "alice", "s3cret"));
  EXPECT_FALSE(basicCredentialsMatch("Authorization: Basic ", "", ""));
  EXPECT_FALSE(basicCredentialsMatch("Authorization " + good, "alice", "s3cret"));
  // Latin-1 names in the phone's form (one byte per character), and as UTF-8.
  const std::string latin1 = "J\xF6rg:pw";
  EXPECT_TRUE(basicCredentialsMatch(
      "Authorization: Basic " + myBase64(std::vector<uint8_t>(latin1.begin(), latin1.end())),
      "J\xC3\xB6rg", "pw"));
  const std::string utf8 = "J\xC3\xB6rg:pw";
  EXPECT_TRUE(basicCredentialsMatch("Authorization: Basic " +
                                        myBase64(std::vector<uint8_t>(utf8.begin(), utf8.end())),
                                    "J\xC3\xB6rg", "pw"));
}

TEST(WebRequestPaths, RequestPathsStayInsideTheSharedFolder) {
  testsupport::TempDir tmp("ferrowen-srv9b-paths");
  const std::string root = tmp.path() + "/Documents/Files";
  platform::FileManager::createDirectory(root + "/Sub/Deeper");
  platform::FileManager::createDirectory(tmp.path() + "/Documents/FilesX");
  ASSERT_TRUE(testsupport::writeFile(root + "/Sub/a.txt", "a"));
  ASSERT_TRUE(testsupport::writeFile(tmp.path() + "/Documents/bookmarks.sql", "db"));

  EXPECT_EQ(webLocalPath(root, "/"), root);
  EXPECT_EQ(webLocalPath(root, ""), root);
  EXPECT_EQ(webLocalPath(root, "/Sub/a.txt"), root + "/Sub/a.txt");
  EXPECT_EQ(webLocalPath(root, "//Sub/./Deeper/../a.txt"), root + "/Sub/a.txt");
  EXPECT_EQ(webLocalPath(root, "/Sub/"), root + "/Sub");
  EXPECT_EQ(webLocalPath(root + "/", "Sub"), root + "/Sub");
  EXPECT_EQ(webLocalPath(root, "/missing/file"), root + "/missing/file");
  for (const std::string &outside : std::vector<std::string>{
           "/../bookmarks.sql", "/..", "/../", "/Sub/../../bookmarks.sql", "/../FilesX/x",
           "/../Files/../bookmarks.sql", "/Sub/Deeper/../../../x", std::string("/a\0b", 4)})
    EXPECT_FALSE(webLocalPath(root, outside).has_value()) << outside;

  // Links: one inside stays usable, one leading out is refused (also for items below it and
  // for missing items below it).
  ASSERT_EQ(::symlink((root + "/Sub").c_str(), (root + "/inner").c_str()), 0);
  ASSERT_EQ(::symlink((tmp.path() + "/Documents").c_str(), (root + "/outer").c_str()), 0);
  ASSERT_EQ(::symlink("../bookmarks.sql", (root + "/db").c_str()), 0);
  EXPECT_EQ(webLocalPath(root, "/inner/a.txt"), root + "/inner/a.txt");
  EXPECT_FALSE(webLocalPath(root, "/outer").has_value());
  EXPECT_FALSE(webLocalPath(root, "/outer/bookmarks.sql").has_value());
  EXPECT_FALSE(webLocalPath(root, "/outer/not-there.txt").has_value());
  EXPECT_FALSE(webLocalPath(root, "/db").has_value());
}

// Opening an item judges its path exactly as webLocalPath does, whichever way it takes (below the
// folder's descriptor, or by real paths where a link is on the way), and opens what it judged.
TEST(WebRequestPaths, OpenedItemsAreJudgedLikeTheirPaths) {
  testsupport::TempDir tmp("ferrowen-web-open");
  const std::string root = tmp.path() + "/Documents/Files";
  platform::FileManager::createDirectory(root + "/Sub/Deeper");
  ASSERT_TRUE(testsupport::writeFile(root + "/Sub/a.txt", "a"));
  ASSERT_TRUE(testsupport::writeFile(tmp.path() + "/Documents/bookmarks.sql", "db"));
  ASSERT_EQ(::symlink((root + "/Sub").c_str(), (root + "/inner").c_str()), 0);
  ASSERT_EQ(::symlink("../Files/Sub/a.txt", (root + "/back-in").c_str()), 0);
  ASSERT_EQ(::symlink((tmp.path() + "/Documents").c_str(), (root + "/outer").c_str()), 0);
  ASSERT_EQ(::symlink("../bookmarks.sql", (root + "/db").c_str()), 0);
  ASSERT_EQ(::symlink("Sub/a.txt", (root + "/loop-free").c_str()), 0);

  struct Case {
    std::string request;
    const char *content; // what the opened item holds; nullptr: a folder or nothing to open
  };
  for (const Case &c : std::vector<Case>{{"/Sub/a.txt", "a"},
                                         {"//Sub/./Deeper/../a.txt", "a"},
                                         {"/inner/a.txt", "a"},
                                         {"/back-in", "a"},
                                         {"/loop-free", "a"},
                                         {"/", nullptr},
                                         {"/Sub/", nullptr},
                                         {"/missing/file", nullptr},
                                         {"/Sub/a.txt/x", nullptr},
                                         {"/../bookmarks.sql", nullptr},
                                         {"/Sub/../../bookmarks.sql", nullptr},
                                         {"/outer", nullptr},
                                         {"/outer/bookmarks.sql", nullptr},
                                         {"/outer/not-there.txt", nullptr},
                                         {"/db", nullptr},
                                         {std::string("/a\0b", 4), nullptr}}) {
    for (int pass = 0; pass < 2; ++pass) { // the second time the folder is known already
      const auto local = webLocalPath(root, c.request);
      WebLocalItem item = webOpenLocalItem(root, c.request);
      EXPECT_EQ(item.inside, local.has_value()) << c.request;
      if (!local) {
        EXPECT_LT(item.fd, 0) << c.request;
        continue;
      }
      EXPECT_EQ(item.path, *local) << c.request;
      struct stat st {};
      const bool exists = ::stat(local->c_str(), &st) == 0;
      ASSERT_EQ(item.facts.has_value(), exists) << c.request;
      if (!exists) continue;
      EXPECT_EQ(item.facts->st_ino, st.st_ino) << c.request;
      EXPECT_EQ(S_ISDIR(item.facts->st_mode), S_ISDIR(st.st_mode)) << c.request;
      ASSERT_GE(item.fd, 0) << c.request;
      // The real paths found, as the private-keys check reads them.
      WebRealPaths real;
      webLocalPath(root, c.request, &real);
      EXPECT_EQ(item.real.item.substr(item.real.root.size()), real.item.substr(real.root.size()))
          << c.request;
      if (c.content) {
        char buf[16] = {};
        EXPECT_EQ(::read(item.fd, buf, sizeof buf), ssize_t(std::strlen(c.content)));
        EXPECT_STREQ(buf, c.content) << c.request;
      }
    }
  }
  // The descriptor goes with the item, or to whoever takes it.
  WebLocalItem a = webOpenLocalItem(root, "/Sub/a.txt");
  WebLocalItem b = std::move(a);
  EXPECT_LT(a.fd, 0);
  const int taken = b.release();
  ASSERT_GE(taken, 0);
  EXPECT_LT(b.fd, 0);
  EXPECT_EQ(::close(taken), 0);
}

// The slow way (a link on the path) opens what it checked: a part of the path turned into a link
// that leads out right after the check (the hook stands in for another process racing the
// server) is not followed, and the item's facts are not the outside file's.
TEST(WebRequestPaths, TheSlowWayOpensWhatItCheckedNotWhatTheNameLeadsToNow) {
  testsupport::TempDir tmp("ferrowen-web-swap");
  const std::string root = tmp.path() + "/Documents/Files", out = tmp.path() + "/out";
  platform::FileManager::createDirectory(out, true);
  ASSERT_TRUE(testsupport::writeFile(out + "/a.txt", "SECRET"));
  struct stat secret {};
  ASSERT_EQ(::stat((out + "/a.txt").c_str(), &secret), 0);
  static std::function<void()> swap;
  struct Case {
    const char *name;
    std::function<void()> swap;
  } cases[] = {
      {"the file becomes a link out",
       [&] {
         ASSERT_EQ(::symlink((out + "/a.txt").c_str(), (root + "/Sub/new").c_str()), 0);
         ASSERT_EQ(::rename((root + "/Sub/new").c_str(), (root + "/Sub/a.txt").c_str()), 0);
       }},
      {"its folder becomes a link out",
       [&] {
         ASSERT_EQ(::rename((root + "/Sub").c_str(), (root + "/Old").c_str()), 0);
         ASSERT_EQ(::symlink(out.c_str(), (root + "/Sub").c_str()), 0);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root); // links removed, never followed
    std::filesystem::create_directories(root + "/Sub");
    ASSERT_TRUE(testsupport::writeFile(root + "/Sub/a.txt", "inside"));
    ASSERT_EQ(::symlink("Sub", (root + "/inner").c_str()), 0); // a link on the way
    // Untouched, the item is served.
    WebLocalItem before = webOpenLocalItem(root, "/inner/a.txt");
    ASSERT_GE(before.fd, 0);
    char buf[16] = {};
    EXPECT_EQ(::read(before.fd, buf, sizeof buf - 1), 6);
    EXPECT_STREQ(buf, "inside");

    swap = c.swap;
    webItemCheckedHook = [](const std::string &) {
      auto once = std::exchange(swap, nullptr);
      if (once) once();
    };
    WebLocalItem item = webOpenLocalItem(root, "/inner/a.txt");
    webItemCheckedHook = nullptr;
    EXPECT_FALSE(swap) << "the hook ran";
    if (item.facts) {
      EXPECT_FALSE(item.facts->st_ino == secret.st_ino && item.facts->st_dev == secret.st_dev);
    }
    if (item.fd >= 0) {
      char got[16] = {};
      EXPECT_GE(::read(item.fd, got, sizeof got - 1), 0);
      EXPECT_STRNE(got, "SECRET");
    }
    // And from then on the name leads out: refused.
    EXPECT_FALSE(webOpenLocalItem(root, "/inner/a.txt").inside);
  }
}

TEST(WebRequestEscapes, TextLinksAndHeaderValues) {
  EXPECT_EQ(webHTMLEscape("<a href=\"x\">Tom & 'Jerry'</a>"),
            "&lt;a href=&quot;x&quot;&gt;Tom &amp; &#39;Jerry&#39;&lt;/a&gt;");
  EXPECT_EQ(webURLEncode("a b/c?d#e%f'g\"h:i&j+k~l.m_n-o"),
            "a%20b%2Fc%3Fd%23e%25f%27g%22h%3Ai%26j%2Bk~l.m_n-o");
  EXPECT_EQ(webURLEncode("/Sub Dir/x", true), "/Sub%20Dir/x");
  EXPECT_EQ(webURLEncode("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(webHeaderValue("a\r\nSet-Cookie: x\x7f\t\x01z"), "aSet-Cookie: xz");
}

// A query becomes one cookie and nothing more: no attribute, no second cookie, no character a
// browser would read otherwise.
TEST(WebRequestEscapes, AQueryBecomesOneCookiePair) {
  const struct {
    std::string query, cookie;
  } cases[] = {
      {"simple=yes", "simple=yes"},
      {"simple=no&x=1", "simple=no&x=1"},
      {"simple=no; Domain=attacker.example; Max-Age=99999999", "simple=no"},
      {"simple=no;Path=/evil", "simple=no"},
      {"simple=\"no\", b=2", "simple=nob=2"},
      {"simple=a b\\c", "simple=abc"},
      {"simple=yes\r\nX-Injected: yes", "simple=yesX-Injected:yes"},
      {"sim ple(x)=yes", "simplex=yes"},
      {"simple=caf\xC3\xA9", "simple=caf"},
      {"simple=", "simple="},
      {"a=b=c", "a=b=c"},
      {"=yes", ""},
      {"(;)=yes", ""},
      {"nopair", ""},
      {";simple=yes", ""},
      {"", ""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(webCookiePair(c.query), c.cookie) << c.query;
}
