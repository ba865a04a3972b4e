// The web sharing server against real clients on loopback: curl (Basic login, multipart uploads
// of several files, traversal attempts sent as they are, the phone layout, cookies, HEAD), Python's
// http.client sending an upload in small slices with pauses, wget mirroring the pages, and many
// clients at once.
#include "tests/app/sharing/FtpTestClient.h"
#include "tests/app/sharing/WebServerFixture.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "tests/support/TimeScale.h"

#include <filesystem>
#include <fstream>

using platform::FileManager;
using namespace std::chrono_literals;

namespace {

struct CommandResult {
  std::string output;
  int exitCode = -1;
};

std::string binaryContent(size_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto &c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = char(x);
  }
  return s;
}

} // namespace

class WebServerClientsTest : public WebServerTest {
protected:
  // Runs a shell command on a worker thread while the server runs on the main loop.
  CommandResult run(const std::string &command) {
    return await(std::async(std::launch::async, [command] {
      CommandResult r;
      r.output = testsupport::runCommand(command, &r.exitCode);
      return r;
    }));
  }
  std::string url(const std::string &path) const {
    return "'http://127.0.0.1:" + std::to_string(port) + path + "'";
  }
  std::string clientFile(const std::string &name) const { return tmp_->path() + "/" + name; }
};

TEST_F(WebServerClientsTest, CurlLogsInAndUploadsSeveralFiles) {
  setSharing("alice", "s3cret");
  FileManager::createDirectory(file("Up Load"));
  const std::string a = binaryContent(300000, 1), b = "second file\r\n--not a boundary\r\n";
  ASSERT_TRUE(testsupport::writeFile(clientFile("a.bin"), a));
  ASSERT_TRUE(testsupport::writeFile(clientFile("b name.txt"), b));
  ASSERT_TRUE(testsupport::writeFile(clientFile("empty"), ""));

  const std::string form = " -F 'file1=@" + clientFile("a.bin") + "' -F 'file2=@" +
                           clientFile("b name.txt") + "' -F 'file3=@" + clientFile("empty") +
                           "' -F 'comment=hello' ";
  // Without credentials, and with wrong ones: 401, nothing stored.
  auto r = run("curl -s -o /dev/null -w '%{http_code}' -m 30" + form + url("/Up%20Load/"));
  EXPECT_EQ(r.output, "401");
  r = run("curl -s -o /dev/null -w '%{http_code}' -m 30 -u alice:wrong" + form +
          url("/Up%20Load/"));
  EXPECT_EQ(r.output, "401");
  EXPECT_EQ(delegate->badLoginCount(), 1);
  EXPECT_TRUE(FileManager::contentsOfDirectory(file("Up Load")).value().empty());

  r = run("curl -s -m 30 -u alice:s3cret -w '\\n%{http_code}'" + form + url("/Up%20Load/"));
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.output.ends_with("\n200")) << r.output;
  EXPECT_NE(r.output.find("b name.txt"), std::string::npos);
  EXPECT_EQ(testsupport::readFile(file("Up Load/a.bin")), a);
  EXPECT_EQ(testsupport::readFile(file("Up Load/b name.txt")), b);
  EXPECT_TRUE(FileManager::fileExists(file("Up Load/empty")));
  EXPECT_EQ(FileManager::contentsOfDirectory(file("Up Load")).value().size(), 3u);

  // And downloads them again.
  r = run("curl -s -f -m 30 -u alice:s3cret -o '" + clientFile("back.bin") + "' " +
          url("/Up%20Load/a.bin"));
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(testsupport::readFile(clientFile("back.bin")), a);
}

TEST_F(WebServerClientsTest, CurlTraversalAttemptsSentAsTheyAre) {
  ASSERT_TRUE(testsupport::writeFile(platform::Paths::documents() + "/bookmarks.sql", "SECRET"));
  makeFile("PrivateKeys/id_rsa.pem", "PRIVATE");
  for (const std::string path : {"/../bookmarks.sql", "/../", "/%2e%2e/bookmarks.sql",
                                 "/%2E%2E%2Fbookmarks.sql", "/./../Files/../bookmarks.sql",
                                 "/PrivateKeys/id_rsa.pem", "/PrivateKeys/../../bookmarks.sql"}) {
    const auto r = run("curl -s --path-as-is -m 30 -w '\\n%{http_code}' " + url(path));
    EXPECT_TRUE(r.output.ends_with("\n404")) << path << ": " << r.output;
    EXPECT_EQ(r.output.find("SECRET"), std::string::npos) << path;
    EXPECT_EQ(r.output.find("PRIVATE"), std::string::npos) << path;
    EXPECT_EQ(r.output.find("bookmarks.sql"), std::string::npos) << path;
  }
}

TEST_F(WebServerClientsTest, CurlLayoutsCookiesAndHead) {
  const std::string iPhone =
      " -A 'Mozilla/5.0 (iPhone; CPU iPhone OS 5_1 like Mac OS X) AppleWebKit/534.46' ";
  auto r = run("curl -s -m 30" + iPhone + url("/"));
  EXPECT_NE(r.output.find("/styles.css"), std::string::npos);
  r = run("curl -s -m 30 " + url("/"));
  EXPECT_NE(r.output.find("/styles-pc.css"), std::string::npos);

  // The query sets the cookie; the cookie keeps the layout on later pages.
  const std::string jar = clientFile("cookies.txt");
  r = run("curl -s -m 30 -c '" + jar + "'" + iPhone + url("/?simple=no"));
  EXPECT_NE(r.output.find("/styles-pc.css"), std::string::npos);
  r = run("curl -s -m 30 -b '" + jar + "'" + iPhone + url("/"));
  EXPECT_NE(r.output.find("/styles-pc.css"), std::string::npos) << r.output;
  r = run("curl -s -m 30 -c '" + jar + "' -b '" + jar + "' " + url("/?simple=yes"));
  r = run("curl -s -m 30 -b '" + jar + "' " + url("/"));
  EXPECT_NE(r.output.find("/styles.css"), std::string::npos);

  // HEAD is not served, and the answer comes at once with the connection closed.
  r = run("curl -s -I -m 20 " + url("/"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(r.output.starts_with("HTTP/1.0 501 Not Implemented")) << r.output;
}

TEST_F(WebServerClientsTest, PythonUploadInSmallSlicesWithPauses) {
  FileManager::createDirectory(file("Slow"));
  const std::string content = binaryContent(20000, 7);
  ASSERT_TRUE(testsupport::writeFile(clientFile("slow.bin"), content));
  const std::string script = R"PY(
import http.client, sys, time
port, path = int(sys.argv[1]), sys.argv[2]
data = open(path, 'rb').read()
boundary = 'PyB0undary' + 'x' * 20
body = (b'--' + boundary.encode() + b'\r\n'
        b'Content-Disposition: form-data; name="file1"; filename="slow.bin"\r\n'
        b'Content-Type: application/octet-stream\r\n\r\n' + data + b'\r\n'
        b'--' + boundary.encode() + b'\r\n'
        b'Content-Disposition: form-data; name="file2"; filename="tail.txt"\r\n\r\n'
        b'tail\r\n--' + boundary.encode() + b'--\r\n')
c = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
c.putrequest('POST', '/Slow/')
c.putheader('Content-Type', 'multipart/form-data; boundary=' + boundary)
c.putheader('Content-Length', str(len(body)))
c.endheaders()
# Slices that cut the delimiters in odd places, with pauses between them.
i, n = 0, 0
while i < len(body):
    size = [1, 7, 31, 1000, 3][n % 5]
    c.send(body[i:i + size])
    i, n = i + size, n + 1
    if n % 40 == 0:
        time.sleep(0.01)
r = c.getresponse()
page = r.read().decode('utf-8', 'replace')
print(r.status, 'slow.bin' in page, 'tail.txt' in page)
)PY";
  ASSERT_TRUE(testsupport::writeFile(clientFile("upload.py"), script));
  const auto r = run("/usr/bin/python3 '" + clientFile("upload.py") + "' " + std::to_string(port) +
                     " '" + clientFile("slow.bin") + "'");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "200 True True\n");
  EXPECT_EQ(testsupport::readFile(file("Slow/slow.bin")), content);
  EXPECT_EQ(testsupport::readFile(file("Slow/tail.txt")), "tail");
}

TEST_F(WebServerClientsTest, WgetMirrorsTheFoldersByteForByte) {
  makeFile("top.txt", "top");
  makeFile("A Folder/inner file.bin", binaryContent(100000, 3));
  makeFile("A Folder/Deeper/x#y.txt", "hash");
  makeFile("Other/semi;colon & amp's.txt", "amp");
  makeFile("Other/caf\xC3\xA9.txt", "utf8");
  const std::string mirror = clientFile("mirror");
  const auto r = run("cd '" + tmp_->path() + "' && wget -q -r -l 10 -np -nH -e robots=off " +
                     "--restrict-file-names=nocontrol -R '*\\?*' -P '" + mirror + "' " + url("/") +
                     " 2>&1; echo done");
  EXPECT_TRUE(r.output.ends_with("done\n")) << r.output;
  // Every file of Saved Files arrived, unchanged.
  int files = 0;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = std::filesystem::relative(entry.path(), root).string();
    EXPECT_EQ(testsupport::readFile(mirror + "/" + relative),
              testsupport::readFile(entry.path().string()))
        << relative;
    ++files;
  }
  EXPECT_GE(files, 5);
}

TEST_F(WebServerClientsTest, MissingFileIsReportedAsSuchAndFetchedOnceUploaded) {
  // wget reports the status's own reason and fails; curl sees no caching on the error.
  const std::string out = clientFile("later.txt");
  auto r = run("cd '" + tmp_->path() + "' && wget -O '" + out + "' " + url("/later.txt") + " 2>&1");
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("ERROR 404: Not Found."), std::string::npos) << r.output;
  r = run("curl -s -S -m 30 -D - -o /dev/null " + url("/later.txt"));
  EXPECT_TRUE(r.output.starts_with("HTTP/1.0 404 Not Found\r\n")) << r.output;
  EXPECT_NE(r.output.find("Cache-Control: no-store"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("max-age"), std::string::npos) << r.output;
  // Once the file is there, the same address gives it, with its caching headers.
  makeFile("later.txt", "arrived");
  r = run("wget -q -O '" + out + "' " + url("/later.txt") + " 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(testsupport::readFile(out), "arrived");
  r = run("curl -s -S -m 30 -D - -o /dev/null " + url("/later.txt"));
  EXPECT_TRUE(r.output.starts_with("HTTP/1.0 200 OK\r\n")) << r.output;
  EXPECT_NE(r.output.find("Cache-Control: max-age=3600"), std::string::npos) << r.output;
}

TEST_F(WebServerClientsTest, ManyClientsAtOnceAndParallelDownloads) {
  setSharing("alice", "pw");
  makeFile("listed.txt", "x");
  const std::string big = binaryContent(4 << 20, 11);
  makeFile("big.bin", big);

  // 200 clients that connect first, then all log in and list the top folder.
  const std::string script = R"PY(
import base64, socket, sys, threading
port, count = int(sys.argv[1]), int(sys.argv[2])
auth = base64.b64encode(b'alice:pw').decode()
barrier = threading.Barrier(count)
results = [None] * count
def client(i):
    try:
        s = socket.create_connection(('127.0.0.1', port), timeout=60)
        barrier.wait(timeout=60)
        s.sendall(('GET / HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n' % auth).encode())
        data = b''
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        s.close()
        results[i] = data.startswith(b'HTTP/1.0 200 ') and b'listed.txt' in data
    except Exception as e:
        results[i] = repr(e)
threads = [threading.Thread(target=client, args=(i,)) for i in range(count)]
for t in threads: t.start()
for t in threads: t.join()
print(sum(1 for r in results if r is True), [r for r in results if r is not True][:3])
)PY";
  ASSERT_TRUE(testsupport::writeFile(clientFile("many.py"), script));
  auto r = run("/usr/bin/python3 '" + clientFile("many.py") + "' " + std::to_string(port) + " 200");
  EXPECT_EQ(r.output, "200 []\n");

  // 20 downloads of one file at the same time.
  std::string command = "cd '" + tmp_->path() + "' && curl -s -f -m 120 --parallel " +
                        "--parallel-max 20 -u alice:pw";
  for (int i = 0; i < 20; ++i)
    command += " -o 'dl" + std::to_string(i) + ".bin' " + url("/big.bin");
  r = run(command);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (int i = 0; i < 20; ++i)
    EXPECT_TRUE(testsupport::readFile(clientFile("dl" + std::to_string(i) + ".bin")) == big) << i;

  // Every connection ended, and the server still answers.
  settle();
  EXPECT_EQ(WebServer::liveCount(), 0u);
  r = run("curl -s -m 30 -u alice:pw " + url("/listed.txt"));
  EXPECT_EQ(r.output, "x");
}

// A folder of thousands of files fetched by many curl clients at once: every page is, byte for
// byte, the page a client alone gets, and it names every file. Then the connection limit: with
// every place taken by stalled clients, curl gets a whole "503" page and a clean end, and the
// page again once they left.
TEST_F(WebServerClientsTest, CurlClientsFetchABigFolderTogetherAndTheLimitRefusesCleanly) {
  ASSERT_TRUE(FileManager::createDirectory(file("big")));
  for (int i = 0; i < 3000; ++i)
    makeFile("big/" + std::string(i % 2 ? "Name " : "name_") + std::to_string(i) + ".dat",
             std::string(size_t(i % 50), 'd'));
  auto r = run("curl -s -S -f -m 60 -o '" + clientFile("alone.html") + "' " + url("/big/"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string alone = testsupport::readFile(clientFile("alone.html"));
  for (int i = 0; i < 3000; i += 7) {
    const std::string name = std::string(i % 2 ? "Name%20" : "name_") + std::to_string(i) + ".dat";
    EXPECT_NE(alone.find("<a href='" + name + "'>"), std::string::npos) << name;
  }

  std::string command = "cd '" + tmp_->path() + "' && curl -s -S -f -m 120 --parallel " +
                        "--parallel-immediate --parallel-max 30";
  for (int i = 0; i < 30; ++i)
    command += " -o 'page" + std::to_string(i) + ".html' " + url("/big/");
  r = run(command);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (int i = 0; i < 30; ++i)
    EXPECT_TRUE(testsupport::readFile(clientFile("page" + std::to_string(i) + ".html")) == alone)
        << i;
  settle();

  // Every place taken by clients that send half a request.
  std::vector<int> stalled;
  for (size_t i = 0; i < ftptest::kServedAtOnce; ++i) {
    stalled.push_back(ftptest::connectLoopback(port));
    ASSERT_GE(stalled.back(), 0);
    ftptest::sendAll(stalled.back(), "GET /big/ HTTP/1.0\r\n");
    if (i % 64 == 0) platform::RunLoop::main()->runPending(); // accepted before the backlog fills
  }
  platform::RunLoop::main()->runUntil(
      [] { return WebServer::liveCount() == ftptest::kServedAtOnce; }, testsupport::scaled(60s));
  ASSERT_EQ(WebServer::liveCount(), ftptest::kServedAtOnce);
  r = run("curl -s -S -m 30 -D - " + url("/big/"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(r.output.starts_with("HTTP/1.0 503 Service Unavailable\r\n")) << r.output;
  EXPECT_TRUE(r.output.ends_with("\r\n\r\nToo many connections. Please try again later."))
      << r.output;
  for (int fd : stalled)
    ::close(fd);
  settle();
  r = run("curl -s -S -f -m 60 " + url("/big/"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(r.output == alone);
}

// Names that are not UTF-8: curl fetches "caf%E9.txt", "caf%C3%A9.txt" and the folder "dir%E9/",
// each its own file; Python's http.client follows every link the pages give, depth first, and
// each one answers with the file or folder the link's entry stands for.
TEST_F(WebServerClientsTest, LatinOneNamesAreReachedByCurlAndEveryLinkWorks) {
  makeFile("caf\xE9.txt", "latin-1 file");
  makeFile("caf\xC3\xA9.txt", "utf-8");
  makeFile("dir\xE9/only\xE9.txt", "alone");
  const struct {
    const char *path, *body;
  } fetched[] = {
      {"/caf%E9.txt", "latin-1 file"},
      {"/caf%C3%A9.txt", "utf-8"},
      {"/dir%E9/only%E9.txt", "alone"},
  };
  for (const auto &f : fetched) {
    const auto r = run("curl -s -f -m 30 " + url(f.path));
    EXPECT_EQ(r.exitCode, 0) << f.path;
    EXPECT_EQ(r.output, f.body) << f.path;
  }
  auto r = run("curl -s -f -m 30 " + url("/dir%E9/"));
  EXPECT_NE(r.output.find("href='only%E9.txt'"), std::string::npos) << r.output;

  const std::string script = clientFile("walk.py");
  ASSERT_TRUE(testsupport::writeFile(script, R"PY(
import http.client, re, sys, urllib.parse
port, root = int(sys.argv[1]), sys.argv[2]
def get(path):
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
    c.request('GET', path)
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, body
seen = []
def walk(folder):
    status, page = get(folder)
    assert status == 200, (folder, status)
    for link in re.findall(rb"<td class='desc'><a href='([^']*)'", page):
        path = folder + link.decode('ascii')
        local = root.encode() + urllib.parse.unquote_to_bytes(path)
        if path.endswith('/'):
            walk(path)
        else:
            status, body = get(path)
            seen.append((path, status, body == open(local, 'rb').read()))
walk('/')
for s in sorted(seen): print(*s)
)PY"));
  r = run("/usr/bin/python3 " + script + " " + std::to_string(port) + " '" + file("") + "'");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "/About-Saved-Files.rtf 200 True\n"
                      "/caf%C3%A9.txt 200 True\n"
                      "/caf%E9.txt 200 True\n"
                      "/dir%E9/only%E9.txt 200 True\n");
}
