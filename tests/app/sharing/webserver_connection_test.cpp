// The web sharing server over loopback sockets: folder pages, files, the shared folder's limits,
// authentication, other methods, headers built from the request, uploads and the log.
#include "tests/app/sharing/WebServerFixture.h"

#include "app/foundation/DirItemInfo.h"
#include "app/sharing/WebRequest.h"
#include "tests/support/FarTimes.h"
#include "tests/support/FewDescriptors.h"
#include "tests/support/Peers.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Text.h"
#include "tests/support/TimeScale.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

using platform::FileManager;

class WebServerConnectionTest : public WebServerTest {};

TEST_F(WebServerConnectionTest, FolderPagesEscapeNamesEncodeLinksAndNameIconsThatExist) {
  makeFile("plain.txt", "hello");
  makeFile("a<b>&'q\".txt", "x");
  makeFile("sp ace#?.jpg", "jpeg");
  makeFile("song.mp3", "mp3");
  makeFile("sheet.xls", "xls");
  makeFile("Sub Folder/inner.pdf", "pdf");

  const WebReply top = get("/");
  ASSERT_EQ(top.status, 200) << top.raw;
  EXPECT_TRUE(top.closed);
  EXPECT_EQ(top.header("content-type"), "text/html");
  EXPECT_EQ(top.header("connection"), "close");
  EXPECT_EQ(top.header("server"), "Ferrowen/3.0");
  EXPECT_EQ(std::stoul(top.header("content-length")), top.body.size());
  // The top folder has the blank image in place of the up link.
  EXPECT_NE(top.body.find("<img src='/blank.png' width=24 height=24 />"), std::string::npos);
  EXPECT_EQ(top.body.find("left-arrow24.png"), std::string::npos);
  // Names are text, links are percent-encoded; nothing a name holds opens markup.
  EXPECT_NE(top.body.find("<a href='a%3Cb%3E%26%27q%22.txt'>a&lt;b&gt;&amp;&#39;q&quot;.txt</a>"),
            std::string::npos)
      << top.body;
  EXPECT_EQ(top.body.find("a<b>"), std::string::npos);
  EXPECT_NE(top.body.find("<a href='sp%20ace%23%3F.jpg'>sp ace#?.jpg</a>"), std::string::npos);
  EXPECT_NE(top.body.find("<a href='Sub%20Folder/'><img src='/dir.png'"), std::string::npos);
  EXPECT_NE(top.body.find("<td class='size'>5 B</td>"), std::string::npos);
  // Folders come first.
  EXPECT_LT(top.body.find("Sub Folder"), top.body.find("plain.txt"));

  // Every icon the page names can be fetched.
  size_t pos = 0;
  int icons = 0;
  while ((pos = top.body.find("<img src='/", pos)) != std::string::npos) {
    pos += 11;
    const std::string icon = top.body.substr(pos, top.body.find('\'', pos) - pos);
    const WebReply r = get("/" + icon);
    EXPECT_EQ(r.status, 200) << icon;
    EXPECT_EQ(r.header("content-type"), "image/png") << icon;
    EXPECT_EQ(r.body.substr(1, 3), "PNG") << icon;
    ++icons;
  }
  EXPECT_EQ(icons, 8); // blank, disk, folder, upload and four file types

  // A deeper folder links up to "..", and its path is in the page escaped and encoded.
  const WebReply sub = get("/Sub%20Folder/");
  ASSERT_EQ(sub.status, 200);
  EXPECT_NE(sub.body.find("<a href='..'><img src='/left-arrow24.png'"), std::string::npos);
  EXPECT_NE(sub.body.find("inner.pdf"), std::string::npos);
  EXPECT_NE(sub.body.find("action=\"/Sub%20Folder/\""), std::string::npos) << sub.body;
  settle();
  EXPECT_EQ(WebServer::liveCount(), 0u);
}

TEST_F(WebServerConnectionTest, NothingOutsideSavedFilesAndNoPrivateKeys) {
  ASSERT_TRUE(testsupport::writeFile(platform::Paths::documents() + "/bookmarks.sql", "SECRET"));
  makeFile("PrivateKeys/id.pem", "KEY");
  makeFile("ok.txt", "fine");
  // A link inside Saved Files that leads out of it.
  ASSERT_EQ(::symlink(platform::Paths::documents().c_str(), file("docs").c_str()), 0);

  for (const std::string target :
       {"/../bookmarks.sql", "/%2e%2e/bookmarks.sql", "/..%2Fbookmarks.sql",
        "/a/../../bookmarks.sql", "/../", "/%2E%2E/", "/./../Files/../bookmarks.sql",
        "/docs/bookmarks.sql", "/docs/", "/PrivateKeys/id.pem", "/privatekeys/id.pem",
        "/PrivateKeys/../PrivateKeys/id.pem", "/ok.txt%00.png"}) {
    const WebReply r = get(target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.body.find("SECRET"), std::string::npos) << target;
    EXPECT_EQ(r.body.find("KEY"), std::string::npos) << target;
    EXPECT_EQ(r.body.find("bookmarks.sql"), std::string::npos) << target;
  }
  // The keys folder lists nothing.
  const WebReply keys = get("/PrivateKeys/");
  EXPECT_EQ(keys.status, 200);
  EXPECT_EQ(keys.body.find("id.pem"), std::string::npos);
  // Links (from an unpacked archive, say) that name the folder or a key by another name.
  ASSERT_EQ(::symlink("PrivateKeys", file("keys").c_str()), 0);
  ASSERT_EQ(::symlink("PrivateKeys/id.pem", file("key.pem").c_str()), 0);
  for (const std::string target : {"/keys/id.pem", "/key.pem", "/keys/../key.pem"}) {
    const WebReply r = get(target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.body.find("KEY"), std::string::npos) << target;
  }
  const WebReply linked = get("/keys/");
  EXPECT_EQ(linked.status, 200);
  EXPECT_EQ(linked.body.find("id.pem"), std::string::npos);
  // Going up and down again inside Saved Files is fine.
  EXPECT_EQ(get("/PrivateKeys/../ok.txt").body, "fine");
  // Templates are served beside Saved Files, but not past their folder either.
  EXPECT_EQ(get("/styles.css").status, 200);
  EXPECT_EQ(get("/../WebServer/styles.css").status, 404);
}

TEST_F(WebServerConnectionTest, FilesMissingFilesAndFoldersWithoutTheirSlash) {
  makeFile("Docs/report one.txt", std::string(10000, 'r'));
  ::utimensat(AT_FDCWD, file("Docs/report one.txt").c_str(),
              std::array<timespec, 2>{timespec{0, UTIME_OMIT}, timespec{1700000000, 0}}.data(), 0);
  const WebReply f = get("/Docs/report%20one.txt");
  ASSERT_EQ(f.status, 200);
  EXPECT_EQ(f.body, std::string(10000, 'r'));
  EXPECT_EQ(f.header("content-length"), "10000");
  EXPECT_EQ(f.header("content-type"), "text/plain");
  EXPECT_EQ(f.header("last-modified"), "Tue, 14 Nov 2023 22:13:20 GMT");
  EXPECT_EQ(f.header("cache-control"), "max-age=3600");
  // A file dated past the clock's reach (touched to the year 2300) is listed and sent, dated at
  // the clock's last day.
  makeFile("Docs/far.txt", "far");
  ASSERT_TRUE(testsupport::setModificationTime(file("Docs/far.txt"), testsupport::kYear2300));
  const WebReply far = get("/Docs/far.txt");
  ASSERT_EQ(far.status, 200);
  EXPECT_NE(far.header("last-modified").find(std::to_string(testsupport::kLastClockYear)),
            std::string::npos)
      << far.header("last-modified");
  const WebReply listing = get("/Docs/");
  ASSERT_EQ(listing.status, 200);
  EXPECT_NE(listing.body.find("far.txt"), std::string::npos);

  // A missing file gets the templates' 404 page with status 404.
  const WebReply missing = get("/nothing-here.txt");
  EXPECT_EQ(missing.status, 404);
  EXPECT_NE(missing.body.find("Not Found"), std::string::npos);
  EXPECT_EQ(missing.body, testsupport::readFile(webFile("404.html")));
  // ... or the short page when that is missing too.
  ASSERT_TRUE(FileManager::removeItem(webFile("404.html")));
  const WebReply bare = get("/nothing-here.txt");
  EXPECT_EQ(bare.status, 404);
  EXPECT_EQ(bare.body, "File Not Found");
  // A missing folder.
  EXPECT_EQ(get("/NoSuchFolder/").status, 404);
  // A file asked for as a folder.
  EXPECT_EQ(get("/Docs/report%20one.txt/").status, 404);
  // A folder without its slash is sent to the folder page.
  const WebReply redirect = get("/Docs");
  EXPECT_EQ(redirect.status, 301);
  EXPECT_EQ(redirect.header("location"), "/Docs/");
  // ... on this server, whatever slashes the request doubled (a leading "//" names a host).
  ASSERT_TRUE(FileManager::createDirectory(file("evil.example"), true));
  for (const std::string target : {"//evil.example", "/%2Fevil.example", "///evil.example"}) {
    const WebReply r = get(target);
    EXPECT_EQ(r.status, 301) << target;
    EXPECT_EQ(r.header("location"), "/evil.example/") << target;
  }
  EXPECT_EQ(get("//Docs").header("location"), "/Docs/");
  // Nor can a folder page's upload form be sent to another host that way.
  const WebReply page = get("//elsewhere.example/../");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body.find("action=\"//"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("action=\"/elsewhere.example/../\""), std::string::npos) << page.body;
}

TEST_F(WebServerConnectionTest, StatusLinesCarryTheirReasonAndErrorsAreNotCached) {
  makeFile("a.txt", "A");
  makeFile("Docs/b.txt", "B");
  const struct {
    const char *name;
    std::string request;
    int status;
    const char *reason;
  } cases[] = {
      {"file", "GET /a.txt HTTP/1.0\r\n\r\n", 200, "OK"},
      {"folder page", "GET /Docs/ HTTP/1.0\r\n\r\n", 200, "OK"},
      {"folder without its slash", "GET /Docs HTTP/1.0\r\n\r\n", 301, "Moved Permanently"},
      {"missing file, templates' page", "GET /gone.txt HTTP/1.0\r\n\r\n", 404, "Not Found"},
      {"missing folder", "GET /Gone/ HTTP/1.0\r\n\r\n", 404, "Not Found"},
      {"other method", "PUT /a.txt HTTP/1.0\r\n\r\n", 501, "Not Implemented"},
      {"post without length",
       "POST / HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=b\r\n\r\n", 411,
       "Length Required"},
      {"head without end", "GET / HTTP/1.0\r\nX-Long: " + std::string(70000, 'x'), 400,
       "Bad Request"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const WebReply r = exchange({c.request});
    EXPECT_EQ(r.statusLine, "HTTP/1.0 " + std::to_string(c.status) + " " + c.reason) << r.raw;
    if (c.status >= 400) {
      // Shown afresh once the file is there.
      EXPECT_EQ(r.header("cache-control"), "no-store") << r.headerText;
      EXPECT_EQ(r.header("expires"), "") << r.headerText;
    } else {
      EXPECT_EQ(r.header("cache-control").find("no-store"), std::string::npos) << r.headerText;
    }
  }
  // The file replies themselves keep their hour in caches.
  EXPECT_EQ(get("/a.txt").header("cache-control"), "max-age=3600");
  EXPECT_NE(get("/a.txt").header("expires"), "");
  // Logins refused: the same.
  setSharing("alice", "s3cret");
  const WebReply refused = get("/a.txt");
  EXPECT_EQ(refused.statusLine, "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(refused.header("cache-control"), "no-store");
}

TEST_F(WebServerConnectionTest, BasicAuthenticationAndBadLogins) {
  setSharing("alice", "s3cret");
  set(kiPhoneNameKey, "Test Phone");
  makeFile("a.txt", "A");

  const WebReply none = get("/a.txt");
  EXPECT_EQ(none.status, 401);
  EXPECT_EQ(none.body, "Login Required!");
  EXPECT_EQ(none.header("www-authenticate"), "Basic Realm=\"Test Phone\"");
  EXPECT_EQ(delegate->badLoginCount(), 0);

  const std::string good = myBase64(std::string("alice:s3cret"));
  EXPECT_EQ(get("/a.txt", "Authorization: Basic " + good + "\r\n").body, "A");
  // Header names and the scheme are matched without regard to case.
  EXPECT_EQ(get("/a.txt", "authorization: basic " + good + "\r\n").body, "A");
  EXPECT_EQ(get("/a.txt", "AUTHORIZATION:Basic   " + good + "  \r\n").body, "A");
  EXPECT_EQ(delegate->badLoginCount(), 0);

  const WebReply wrong =
      get("/a.txt", "Authorization: Basic " + myBase64(std::string("alice:nope")) + "\r\n");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(delegate->badLoginCount(), 1);
  get("/a.txt", "Authorization: Bearer " + good + "\r\n");
  EXPECT_EQ(delegate->badLoginCount(), 2);

  // A name outside Latin-1 works the way current clients send it (UTF-8).
  setSharing("\xC3\xA9t\xC3\xA9", "\xE2\x82\xACuro");
  const std::string utf8 = "\xC3\xA9t\xC3\xA9:\xE2\x82\xACuro";
  EXPECT_EQ(get("/a.txt", "Authorization: Basic " +
                              myBase64(std::vector<uint8_t>(utf8.begin(), utf8.end())) + "\r\n")
                .body,
            "A");
}

TEST_F(WebServerConnectionTest, OtherMethodsAreRefusedAndTheConnectionCloses) {
  makeFile("a.txt", "A");
  for (const std::string method : {"HEAD", "PUT", "DELETE", "OPTIONS", "get", "BREW"}) {
    const WebReply r = exchange({method + " /a.txt HTTP/1.0\r\nHost: x\r\n\r\n"});
    EXPECT_EQ(r.status, 501) << method;
    EXPECT_TRUE(r.closed) << method;
  }
  // A head that never ends is refused before it grows without bound.
  const WebReply huge = exchange({"GET / HTTP/1.0\r\nX-Long: " + std::string(70000, 'x')});
  EXPECT_EQ(huge.status, 400);
  EXPECT_TRUE(huge.closed);
  // A request cut off before its head ended just closes.
  EXPECT_TRUE(exchange({"GET / HT"}, std::chrono::milliseconds(0), 0).raw.empty());
  settle();
  EXPECT_EQ(WebServer::liveCount(), 0u);
  EXPECT_EQ(get("/a.txt").body, "A");
}

TEST_F(WebServerConnectionTest, QueryAndCookiesChooseTheLayoutWithoutHeaderInjection) {
  const std::string iPhone =
      "User-Agent: Mozilla/5.0 (iPhone; CPU iPhone OS 5_1 like Mac OS X) Safari\r\n";
  const std::string desktop = "user-agent: Mozilla/5.0 (X11; Linux x86_64) Firefox/115.0\r\n";
  auto isPC = [](const WebReply &r) { return r.body.find("/styles-pc.css") != std::string::npos; };
  auto isSimple = [](const WebReply &r) { return r.body.find("/styles.css") != std::string::npos; };
  EXPECT_TRUE(isSimple(get("/", iPhone)));
  EXPECT_TRUE(isPC(get("/", desktop)));
  EXPECT_TRUE(isSimple(get("/", desktop + "Cookie: simple=yes\r\n")));
  EXPECT_TRUE(isPC(get("/", iPhone + "cookie: simple=no\r\n")));
  // The query wins over the cookie and becomes the cookie.
  const WebReply chosen = get("/?simple=yes", desktop + "Cookie: simple=no\r\n");
  EXPECT_TRUE(isSimple(chosen));
  EXPECT_EQ(chosen.header("set-cookie"), "simple=yes; path=/;");
  // Whatever the query decodes to, no line break reaches the head.
  const WebReply injected = get("/?simple=yes%0d%0aX-Injected:%20yes%0aSet-Cookie:%20evil=1");
  EXPECT_EQ(injected.headers.count("x-injected"), 0u) << injected.headerText;
  EXPECT_EQ(injected.headerText.find("\r\nSet-Cookie: evil"), std::string::npos);
  EXPECT_EQ(injected.header("set-cookie"), "simple=yesX-Injected:yesSet-Cookie:evil=1; path=/;");
  // Nor does any attribute: the query is one name=value pair, up to its first ";".
  for (const std::string attributes :
       {"%3B%20Domain=attacker.example;%20Max-Age=99999999", ";Domain=attacker.example"}) {
    SCOPED_TRACE(attributes);
    const WebReply lasting = get("/?simple=no" + attributes, iPhone);
    EXPECT_TRUE(isPC(lasting));
    EXPECT_EQ(lasting.header("set-cookie"), "simple=no; path=/;");
    makeFile("c.txt", "C");
    EXPECT_EQ(get("/c.txt?simple=no" + attributes).header("set-cookie"), "simple=no");
  }
  // The query is split off before decoding: an escaped "?" is part of the name.
  makeFile("what?.txt", "Q");
  const WebReply q = get("/what%3F.txt?simple=no");
  EXPECT_EQ(q.body, "Q");
  EXPECT_EQ(q.header("set-cookie"), "simple=no");
  // The path in the page is text.
  FileManager::createDirectory(file("<script>x"));
  const WebReply page = get("/%3Cscript%3Ex/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body.find("<script>x"), std::string::npos);
  EXPECT_NE(page.body.find("&lt;script&gt;x"), std::string::npos);
}

TEST_F(WebServerConnectionTest, UploadsAreStoredExactlyWhateverThePieces) {
  FileManager::createDirectory(file("In Box"));
  std::string binary;
  for (int i = 0; i < 70000; ++i)
    binary += char((i * 7919) % 256);
  // Content that looks almost like a delimiter.
  const std::string tricky = "line\r\n--XyZzY-b0undar\r\n--XyZzY\r\nend\r\n";
  const std::string body =
      multipartBody({{"one.bin", binary}, {"two.txt", tricky}, {"empty.txt", ""}});
  const std::string request = postHead("/In%20Box/", body.size()) + body;
  // One piece, and small pieces that split every delimiter somewhere.
  for (size_t piece : {request.size(), size_t(7), size_t(4093)}) {
    std::vector<std::string> pieces;
    for (size_t i = 0; i < request.size(); i += piece)
      pieces.push_back(request.substr(i, piece));
    const WebReply r = exchange(pieces);
    ASSERT_EQ(r.status, 200) << piece;
    EXPECT_NE(r.body.find("one.bin"), std::string::npos);
    EXPECT_EQ(testsupport::readFile(file("In Box/one.bin")), binary) << piece;
    EXPECT_EQ(testsupport::readFile(file("In Box/two.txt")), tricky) << piece;
    EXPECT_TRUE(FileManager::fileExists(file("In Box/empty.txt")));
    EXPECT_EQ(testsupport::readFile(file("In Box/empty.txt")), "");
    ASSERT_TRUE(FileManager::removeItem(file("In Box/one.bin")));
  }
  // Nothing is left besides the files.
  EXPECT_EQ(FileManager::contentsOfDirectory(file("In Box")).value().size(), 2u);
}

TEST_F(WebServerConnectionTest, UploadsNeverEscapeLoginOrLeaveHalfFiles) {
  makeFile("keep.txt", "original");
  // File names cannot lead out of the folder.
  {
    const std::string body = multipartBody({{"../../escape.txt", "E"}, {"..\\win.txt", "W"}});
    const WebReply r = exchange({postHead("/", body.size()) + body});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(testsupport::readFile(file("escape.txt")), "E");
    EXPECT_EQ(testsupport::readFile(file("win.txt")), "W");
    EXPECT_FALSE(FileManager::fileExists(platform::Paths::documents() + "/escape.txt"));
  }
  {
    const std::string body = multipartBody({{"x.txt", "X"}});
    EXPECT_EQ(exchange({postHead("/../", body.size()) + body}).status, 500);
    EXPECT_EQ(exchange({postHead("/NoFolder/", body.size()) + body}).status, 500);
    EXPECT_FALSE(FileManager::fileExists(platform::Paths::documents() + "/x.txt"));
    const std::string dots = multipartBody({{"..", "X"}});
    EXPECT_EQ(exchange({postHead("/", dots.size()) + dots}).status, 500);
  }
  // A POST without credentials stores nothing.
  setSharing("alice", "pw");
  {
    const std::string body = multipartBody({{"keep.txt", "overwritten"}, {"new.txt", "N"}});
    const WebReply r = exchange({postHead("/", body.size()) + body});
    EXPECT_EQ(r.status, 401);
    const WebReply wrong =
        exchange({postHead("/", body.size(),
                           "Authorization: Basic " + myBase64(std::string("alice:no")) + "\r\n") +
                  body});
    EXPECT_EQ(wrong.status, 401);
    settle();
    EXPECT_EQ(testsupport::readFile(file("keep.txt")), "original");
    EXPECT_FALSE(FileManager::fileExists(file("new.txt")));
  }
  const std::string auth = "Authorization: Basic " + myBase64(std::string("alice:pw")) + "\r\n";
  // A body cut off by the client: the file it would have replaced stays, no piece is left.
  {
    const std::string body = multipartBody({{"keep.txt", std::string(50000, 'z')}});
    const std::string request = postHead("/", body.size(), auth) + body;
    exchange({request.substr(0, request.size() - 20000)}, std::chrono::milliseconds(0), 0);
    settle();
    EXPECT_EQ(testsupport::readFile(file("keep.txt")), "original");
    const auto names = FileManager::contentsOfDirectory(root).value();
    for (const auto &name : names)
      EXPECT_EQ(name.find(".upload-"), std::string::npos) << name;
  }
  // A body whose length ends before the closing delimiter: the open part is dropped.
  {
    const std::string body = multipartBody({{"keep.txt", "changed"}});
    const std::string cut = body.substr(0, body.find("changed") + 7);
    const WebReply r = exchange({postHead("/", cut.size(), auth) + cut});
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(testsupport::readFile(file("keep.txt")), "original");
  }
  // A complete upload replaces the file.
  {
    const std::string body = multipartBody({{"keep.txt", "replaced"}});
    EXPECT_EQ(exchange({postHead("/", body.size(), auth) + body}).status, 200);
    EXPECT_EQ(testsupport::readFile(file("keep.txt")), "replaced");
  }
  // No length: the end of the body cannot be known.
  {
    const WebReply r = exchange({"POST / HTTP/1.0\r\n" + auth +
                                 "Content-Type: multipart/form-data; boundary=b\r\n\r\n--b--\r\n"});
    EXPECT_EQ(r.status, 411);
  }
  // Into the keys folder, a file is its owner's alone.
  {
    FileManager::createDirectory(file("PrivateKeys"));
    const std::string body = multipartBody({{"id.pem", "KEY"}});
    EXPECT_EQ(exchange({postHead("/PrivateKeys/", body.size(), auth) + body}).status, 200);
    struct stat st {};
    ASSERT_EQ(::stat(file("PrivateKeys/id.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST_F(WebServerConnectionTest, LogLinesWhenTheLogsAreOn) {
  makeFile("a.txt", "AAA");
  get("/a.txt");
  EXPECT_FALSE(FileManager::fileExists(file("Logs/access_log")));
  set("WebServerLogs", "1");
  get("/a.txt");
  get("/missing%0d%0aX");
  const std::string access = testsupport::readFile(file("Logs/access_log"));
  const std::string errors = testsupport::readFile(file("Logs/error_log"));
  EXPECT_TRUE(access.starts_with("127.0.0.1 - - [")) << access;
  EXPECT_NE(access.find(" -0000] \"GET /a.txt HTTP/1.0\" 200 3\r\n"), std::string::npos) << access;
  // The 404 page of the templates, with the decoded line break kept out of the log line.
  EXPECT_NE(errors.find("\"GET /missing%0d%0aX HTTP/1.0\" 404 "), std::string::npos) << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1);
}

TEST_F(WebServerConnectionTest, ClientsThatLeaveEarlyAreLetGo) {
  makeFile("big.bin", std::string(8 << 20, 'b'));
  // Gone after the first bytes of a large file, gone before sending anything, gone mid-head.
  const WebReply partial = exchange({"GET /big.bin HTTP/1.0\r\n\r\n"}, {}, 100000);
  EXPECT_GE(partial.raw.size(), 100000u);
  EXPECT_FALSE(partial.closed);
  exchange({}, {}, 0);
  exchange({"GET /big.b"}, {}, 0);
  settle();
  EXPECT_EQ(WebServer::liveCount(), 0u);
  // The server still answers in full.
  const WebReply whole = get("/big.bin");
  EXPECT_EQ(whole.body.size(), size_t(8 << 20));
}

TEST_F(WebServerConnectionTest, UploadsArrivingAtOnceKeepTheirOwnContent) {
  // Upload A: its head and most of its body, the rest held back.
  const std::string content(20000, 'A');
  const std::string bodyA = multipartBody({{"a.txt", content}});
  const std::string requestA = postHead("/", bodyA.size()) + bodyA;
  const size_t held = 5000;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(::send(fd, requestA.data(), requestA.size() - held, MSG_NOSIGNAL),
            ssize_t(requestA.size() - held));
  std::string piece;
  ASSERT_TRUE(platform::RunLoop::main()->runUntil(
      [&] {
        for (const auto &name :
             FileManager::contentsOfDirectory(root).value_or(std::vector<std::string>{}))
          if (name.starts_with(".upload-")) piece = name;
        return !piece.empty();
      },
      testsupport::scaled(std::chrono::seconds(20))));

  // Upload B names A's piece (it shows in the folder page): refused, A's piece untouched.
  const std::string bodyB = multipartBody({{piece, "B"}});
  EXPECT_EQ(exchange({postHead("/", bodyB.size()) + bodyB}).status, 500);
  // A file planted under the name the next piece would get is not written into either.
  const size_t dash = piece.rfind('-'), dot = piece.rfind('.');
  ASSERT_TRUE(dash != std::string::npos && dot > dash) << piece;
  const std::string planted =
      piece.substr(0, dash + 1) +
      std::to_string(std::stoul(piece.substr(dash + 1, dot - dash - 1)) + 1) + ".part";
  makeFile(planted, "planted");
  const std::string bodyC = multipartBody({{"c.txt", "C"}});
  EXPECT_EQ(exchange({postHead("/", bodyC.size()) + bodyC}).status, 200);
  EXPECT_EQ(testsupport::readFile(file("c.txt")), "C");
  EXPECT_EQ(testsupport::readFile(file(planted)), "planted");

  // A completes with its own content.
  const std::string rest = requestA.substr(requestA.size() - held);
  const WebReply a = await(std::async(std::launch::async, [fd, rest] {
    ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    std::string raw;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
      raw.append(buffer, size_t(n));
    ::close(fd);
    return parseWebReply(raw, n == 0);
  }));
  EXPECT_EQ(a.status, 200);
  EXPECT_TRUE(testsupport::readFile(file("a.txt")) == content);
  EXPECT_FALSE(FileManager::fileExists(file(piece)));
}

TEST_F(WebServerConnectionTest, WhatIsSentIsWhatWasCheckedAndOnlyPlainFilesAreSent) {
  makeFile("Sub/a.txt", "inner");
  makeFile("b.txt", "bee");
  // Links that stay inside, however they are written, serve their target.
  ASSERT_EQ(::symlink(file("Sub/a.txt").c_str(), file("absolute").c_str()), 0);
  ASSERT_EQ(::symlink("../Files/Sub/a.txt", file("out-and-in").c_str()), 0);
  ASSERT_EQ(::symlink("Sub", file("SubLink").c_str()), 0);
  for (const std::string target : {"/Sub/a.txt", "/absolute", "/out-and-in", "/SubLink/a.txt"}) {
    const WebReply r = get(target);
    EXPECT_EQ(r.status, 200) << target;
    EXPECT_EQ(r.body, "inner") << target;
  }
  // A pipe never ends (nor does a device): it is not served, and the server does not wait on it.
  ASSERT_EQ(::mkfifo(file("pipe").c_str(), 0644), 0);
  const WebReply pipe = get("/pipe");
  EXPECT_EQ(pipe.status, 404);
  EXPECT_EQ(pipe.body, "File Not Found");
  EXPECT_EQ(get("/b.txt").body, "bee") << "the server goes on";
  // A file replaced by a link that leads out is refused from then on, and one put back is served.
  ASSERT_TRUE(testsupport::writeFile(platform::Paths::documents() + "/outside.txt", "SECRET"));
  ASSERT_EQ(::unlink(file("b.txt").c_str()), 0);
  ASSERT_EQ(::symlink("../outside.txt", file("b.txt").c_str()), 0);
  EXPECT_EQ(get("/b.txt").status, 404);
  ASSERT_EQ(::unlink(file("b.txt").c_str()), 0);
  makeFile("b.txt", "bee again");
  EXPECT_EQ(get("/b.txt").body, "bee again");
}

// A name that another process swaps between a file and a link that leads out while it is fetched
// never serves the outside file, whichever way the request takes (straight below the folder, or
// through a link): what is sent is what was checked. The hook swaps it at the worst moment, right
// after the check; the loop races a swapping thread the way another process would.
TEST_F(WebServerConnectionTest, ANameSwappedForALinkOutWhileFetchedNeverServesTheOutside) {
  ASSERT_TRUE(testsupport::writeFile(platform::Paths::documents() + "/outside.txt", "SECRET"));
  ASSERT_EQ(::symlink(".", file("here").c_str()), 0);
  auto makeSwap = [&] {
    ::unlink(file("swap.txt").c_str()); // never written through a link
    makeFile("swap.txt", "inside");
    ::unlink(file("link.tmp").c_str());
    ASSERT_EQ(::symlink("../outside.txt", file("link.tmp").c_str()), 0);
  };
  static std::function<void()> swapNow;
  webItemCheckedHook = [](const std::string &) {
    if (auto once = std::exchange(swapNow, nullptr)) once();
  };
  for (const std::string target : {"/swap.txt", "/here/swap.txt"}) {
    makeSwap();
    swapNow = [&] { ::rename(file("link.tmp").c_str(), file("swap.txt").c_str()); };
    const WebReply r = get(target);
    EXPECT_FALSE(swapNow) << target << ": the hook ran";
    EXPECT_EQ(r.body.find("SECRET"), std::string::npos) << target;
    EXPECT_TRUE(r.status == 404 || r.body == "inside") << target << " " << r.status;
  }
  webItemCheckedHook = nullptr;

  makeSwap();
  ASSERT_TRUE(testsupport::writeFile(file("file.tmp"), "inside"));
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    // Bounded like the fetches: it ends on its own if the test does not stop it.
    for (int i = 0; i < 200000 && !stop; ++i) {
      if (i % 2) {
        ::symlink("../outside.txt", file("link.tmp").c_str());
        ::rename(file("link.tmp").c_str(), file("swap.txt").c_str());
      } else {
        testsupport::writeFile(file("file.tmp"), "inside");
        ::rename(file("file.tmp").c_str(), file("swap.txt").c_str());
      }
    }
  });
  int served = 0, refused = 0;
  for (int i = 0; i < 150; ++i) {
    for (const std::string target : {"/swap.txt", "/here/swap.txt"}) {
      const WebReply r = get(target);
      EXPECT_EQ(r.body.find("SECRET"), std::string::npos) << target << " (fetch " << i << ")";
      (r.status == 200 ? served : refused) += 1;
    }
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(served + refused, 300);
}

// An upload the disk cannot take is answered with a page that says why in words and leads back
// to the folder it was sent to; nothing of it stays there.
// Out of descriptors, a client the server cannot take is told so ("503" with the reason, as an
// HTTP reply that ends) before its connection is closed, never just reset; with descriptors back
// it is served.
TEST_F(WebServerConnectionTest, OutOfDescriptorsAClientIsToldWhy) {
  RUN_IN_DESCRIPTOR_CHILD();
  makeFile("a.txt", "A");
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  platform::RunLoop::main()->runPending();
  std::string heard;
  bool ended = false;
  {
    testsupport::DescriptorHog hog(0);
    ASSERT_TRUE(hog.ok());
    ASSERT_TRUE(testsupport::connectToLoopback(client, port));
    // Its request is there before the server looks (as a browser's is): the answer still comes.
    const std::string request = "GET /a.txt HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL),
              ssize_t(request.size()));
    platform::RunLoop::main()->runUntil(
        [&] {
          char buf[4096];
          ssize_t n;
          while ((n = ::recv(client, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            heard.append(buf, size_t(n));
          ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
          return ended;
        },
        testsupport::scaled(std::chrono::seconds(20)));
  }
  ::close(client);
  EXPECT_TRUE(ended);
  const WebReply reply = parseWebReply(heard, true);
  const std::string reason =
      "Cannot take the connection: Too many open files. Please try again later.";
  EXPECT_EQ(reply.statusLine, "HTTP/1.0 503 Service Unavailable") << heard;
  EXPECT_EQ(reply.body, reason);
  EXPECT_EQ(reply.header("content-length"), std::to_string(reason.size()));
  EXPECT_EQ(reply.header("connection"), "close");
  EXPECT_EQ(WebServer::liveCount(), 0u) << "a client turned away takes no place";
  EXPECT_EQ(get("/a.txt").body, "A");
}

// A request whose length leaves the end of its body open (not a number, two that differ) or
// names a body no disk here could hold is answered at once, before any body is waited for.
TEST_F(WebServerConnectionTest, LengthsItCannotTakeAreAnsweredAtOnce) {
  // Nothing is cut by time here: an answer that comes, comes from the request itself.
  platform::Clock::install(std::make_shared<platform::ManualClock>());
  const std::string form = "Content-Type: multipart/form-data; boundary=XyZzY-b0undary\r\n";
  const struct {
    const char *what;
    std::string request;
    int status;
  } cases[] = {
      {"10^23", "POST / HTTP/1.0\r\n" + form + "Content-Length: 100000000000000000000000\r\n", 413},
      {"2^64", "POST / HTTP/1.0\r\n" + form + "Content-Length: 18446744073709551616\r\n", 413},
      {"2^63 - 1", "POST / HTTP/1.0\r\n" + form + "Content-Length: 9223372036854775807\r\n", 413},
      {"a GET with such a body", "GET / HTTP/1.0\r\nContent-Length: 9223372036854775807\r\n", 413},
      {"two lengths that differ",
       "POST / HTTP/1.0\r\n" + form + "Content-Length: 5\r\nContent-Length: 6\r\n", 400},
      {"a list that differs", "POST / HTTP/1.0\r\n" + form + "Content-Length: 6, 5\r\n", 400},
      {"not a number", "POST / HTTP/1.0\r\n" + form + "Content-Length: five\r\n", 400},
      {"below zero", "POST / HTTP/1.0\r\n" + form + "Content-Length: -1\r\n", 400},
      {"a GET with lengths that differ",
       "GET / HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n", 400},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const WebReply r = exchange({c.request + "\r\n"});
    EXPECT_EQ(r.status, c.status) << r.raw;
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.header("connection"), "close");
  }
  settle();
  EXPECT_EQ(WebServer::liveCount(), 0u);
  // The same length given twice is one length: the upload is stored.
  const std::string body = multipartBody({{"twice.txt", "T"}});
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  const WebReply stored = exchange({postHead("/", body.size(), length) + body});
  EXPECT_EQ(stored.status, 200) << stored.raw;
  EXPECT_EQ(testsupport::readFile(file("twice.txt")), "T");
}

// On a disk of 64 KiB: a body larger than the disk is refused at once ("413"); one the disk could
// hold but has no room for now fails as it is written, and the page says why.
TEST_F(WebServerConnectionTest, UploadTheDiskCannotTakeSaysWhyAndLeadsBack) {
  makeFile("small & full/.keep", "");
  const std::string folder = file("small & full");
  const bool mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") == 0;
  REQUIRE_MACHINE(mounted,
                  "a small file system for Saved Files needs root: " << std::strerror(errno));
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{folder};
  const std::string tooBig = multipartBody({{"big <1>.bin", std::string(64 * 1024, 'x')}});
  const WebReply refused = exchange({postHead("/small%20%26%20full/", tooBig.size()) + tooBig});
  EXPECT_EQ(refused.status, 413) << refused.raw;
  EXPECT_EQ(FileManager::contentsOfDirectory(folder)->size(), 0u);
  // Half the disk taken: a body of three quarters of it fits the disk, not the room left.
  ASSERT_TRUE(testsupport::writeFile(folder + "/half.bin", std::string(32 * 1024, 'h')));
  const std::string body = multipartBody({{"big <1>.bin", std::string(48 * 1024, 'x')}});
  const WebReply reply = exchange({postHead("/small%20%26%20full/", body.size()) + body});
  EXPECT_EQ(reply.status, 500);
  EXPECT_NE(reply.body.find("Upload Failed"), std::string::npos) << reply.body;
  EXPECT_NE(reply.body.find("&quot;big &lt;1&gt;.bin&quot; could not be stored: No space left on "
                            "device."),
            std::string::npos)
      << reply.body;
  EXPECT_NE(reply.body.find("<a href='/small%20%26%20full/'>"), std::string::npos) << reply.body;
  EXPECT_EQ(FileManager::contentsOfDirectory(folder)->size(), 1u) << "nothing of it stays";
}

// A path, once its %XX are undone, names the file of exactly those bytes: "caf%E9.txt" is the
// Latin-1 name, "caf%C3%A9.txt" the UTF-8 one, "dir%E9/" a folder; the page links each entry by
// its bytes (and shows it as text), and every link serves what it names.
TEST_F(WebServerConnectionTest, APathReachesTheFileOfItsBytesAndEveryLinkWorks) {
  makeFile("caf\xE9.txt", "latin-1 file");
  makeFile("caf\xC3\xA9.txt", "utf-8");
  makeFile("dir\xE9/in\xE9.txt", "inside");
  makeFile("PrivateKeys/key\xE9.pem", "PRIVATE");
  const struct {
    const char *target;
    int status;
    std::string body;
  } cases[] = {
      {"/caf%E9.txt", 200, "latin-1 file"},
      {"/caf%e9.txt", 200, "latin-1 file"},
      {"/caf%C3%A9.txt", 200, "utf-8"},
      {"/caf\xE9.txt", 200, "latin-1 file"}, // the byte sent as it is
      {"/dir%E9/in%E9.txt", 200, "inside"},
      {"/dir%C3%A9/in%E9.txt", 404, "File Not Found"},
      {"/dir%E9/..%2F..%2Fdir%E9/in%E9.txt", 404, "File Not Found"},
      {"/caf%E9.txt%00", 404, "File Not Found"},
      {"/caf%E.txt", 404, "File Not Found"},
      {"/PrivateKeys/key%E9.pem", 404, "File Not Found"},
      {"/dir%E9/../PrivateKeys/key%E9.pem", 404, "File Not Found"},
  };
  for (const auto &c : cases) {
    const WebReply r = get(c.target);
    EXPECT_EQ(r.status, c.status) << c.target;
    if (c.status == 200) {
      EXPECT_EQ(r.body, c.body) << c.target;
    }
  }
  const std::string page = get("/").body;
  for (const char *shown : {">caf\xC3\xA9.txt</a>", "href='caf%E9.txt'", "href='caf%C3%A9.txt'",
                            "href='dir%E9/'", ">dir\xC3\xA9</a>"})
    EXPECT_NE(page.find(shown), std::string::npos) << shown << "\n" << page;
  const WebReply folder = get("/dir%E9/");
  EXPECT_EQ(folder.status, 200);
  EXPECT_NE(folder.body.find("href='in%E9.txt'"), std::string::npos) << folder.body;
  // A folder asked for without its "/" is sent on to its own bytes.
  const WebReply moved = get("/dir%E9");
  EXPECT_EQ(moved.status, 301);
  EXPECT_EQ(moved.header("location"), "/dir%E9/");
  // An upload into that folder lands there.
  const std::string body = multipartBody({{"up.txt", "uploaded"}});
  EXPECT_EQ(exchange({postHead("/dir%E9/", body.size()) + body}).status, 200);
  EXPECT_EQ(testsupport::readFile(file("dir\xE9/up.txt")), "uploaded");
  // A file name sent in Latin-1 stores that name (its look-alike stays as it was); a page that
  // names it shows it as text.
  const std::string latin = multipartBody({{"caf\xE9.txt", "replaced"}});
  EXPECT_EQ(exchange({postHead("/", latin.size()) + latin}).status, 200);
  EXPECT_EQ(testsupport::readFile(file("caf\xE9.txt")), "replaced");
  EXPECT_EQ(testsupport::readFile(file("caf\xC3\xA9.txt")), "utf-8");
  const WebReply refused = exchange({postHead("/missing%E9/", latin.size()) + latin});
  EXPECT_EQ(refused.status, 500);
  EXPECT_NE(refused.body.find("The folder to store &quot;caf\xC3\xA9.txt&quot; in does not exist."),
            std::string::npos)
      << refused.body;
}

// Header lines another reader could take otherwise are refused with 400: a line folded onto the
// one before, a blank between a name and its colon, a control character (a NUL among them).
TEST_F(WebServerConnectionTest, HeaderLinesThatMustNotStandAreRefused) {
  makeFile("a.txt", "A");
  const struct {
    const char *what;
    std::string headers;
    int status;
  } cases[] = {
      {"sound", "Host: x\r\nAccept: */*\r\n", 200},
      {"folded onto the line before", "Host: x\r\n Content-Length: 5\r\n", 400},
      {"folded with a tab", "Accept: */*\r\n\tx\r\n", 400},
      {"folded first line", " Accept: */*\r\n", 400},
      {"blank before the colon", "Content-Length : 0\r\n", 400},
      {"tab before the colon", "Host\t: x\r\n", 400},
      {"a NUL in a value", std::string("Host: a\0b\r\n", 11), 400},
      {"a control character", "Host: a\x01z\r\n", 400},
      {"DEL", "Accept: a\x7F\r\n", 400},
      {"a lone CR", "Accept: a\rb\r\n", 400},
  };
  for (const auto &c : cases) {
    const WebReply r = exchange({"GET /a.txt HTTP/1.0\r\n" + c.headers + "\r\n"});
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.raw;
    if (c.status == 200) {
      EXPECT_EQ(r.body, "A") << c.what;
    }
  }
  // A folded credential is no credential.
  setSharing("sam", "pw");
  const std::string auth = "Authorization: Basic " + myBase64(std::string("sam:pw")) + "\r\n";
  EXPECT_EQ(get("/a.txt", auth).status, 200);
  EXPECT_EQ(get("/a.txt", "X-Note: a\r\n " + auth).status, 400);
}

// A file or folder that is there but cannot be opened for want of a descriptor is answered "503"
// with the reason, never "not found"; with descriptors back it is served.
TEST_F(WebServerConnectionTest, ShortOfDescriptorsWhatExistsIsUnavailableNotMissing) {
  RUN_IN_DESCRIPTOR_CHILD();
  makeFile("shared.txt", "shared bytes");
  makeFile("sub/in.txt", "in");
  const char *targets[] = {"/shared.txt", "/sub/", "/", "/dir.png"};
  std::vector<int> clients;
  for (size_t i = 0; i < std::size(targets); ++i) {
    clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_GE(clients.back(), 0);
  }
  platform::RunLoop::main()->runPending();
  std::vector<std::string> heard(std::size(targets));
  {
    // One descriptor left: the connection is accepted with it, and none is left for the file.
    testsupport::DescriptorHog hog(1);
    ASSERT_TRUE(hog.ok());
    for (size_t i = 0; i < std::size(targets); ++i) {
      hog.takeAll();
      hog.release(1);
      ASSERT_TRUE(testsupport::connectToLoopback(clients[i], port));
      const std::string request = std::string("GET ") + targets[i] + " HTTP/1.0\r\n\r\n";
      ASSERT_EQ(::send(clients[i], request.data(), request.size(), MSG_NOSIGNAL),
                ssize_t(request.size()));
      platform::RunLoop::main()->runUntil(
          [&] {
            char buf[4096];
            ssize_t n;
            while ((n = ::recv(clients[i], buf, sizeof buf, MSG_DONTWAIT)) > 0)
              heard[i].append(buf, size_t(n));
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
          },
          testsupport::scaled(std::chrono::seconds(20)));
      settle();
      platform::RunLoop::main()->runPending();
    }
  }
  for (int fd : clients)
    ::close(fd);
  const std::string reason = "Cannot open the file: Too many open files. Please try again later.";
  for (size_t i = 0; i < std::size(targets); ++i) {
    const WebReply reply = parseWebReply(heard[i], true);
    EXPECT_EQ(reply.statusLine, "HTTP/1.0 503 Service Unavailable") << targets[i] << heard[i];
    EXPECT_EQ(reply.body, reason) << targets[i];
  }
  EXPECT_EQ(get("/shared.txt").body, "shared bytes");
  EXPECT_EQ(get("/sub/").status, 200);
}
