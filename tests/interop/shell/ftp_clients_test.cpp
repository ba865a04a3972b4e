// The FTP sharing server against real clients on loopback: Python's ftplib command by command,
// curl, lftp mirroring a tree in and out, many clients at once, and the ferrowen program itself
// serving with its settings on. The server runs on this process's main run loop (or in the
// program); each client is a child process started from a worker thread.
#include "tests/app/sharing/FtpTestClient.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TimeScale.h"

#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/TCPServer.h"
#include "app/sharing/FTPServer.h"
#include "app/shell/FerrowenAppDelegate.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <future>
#include <random>

using namespace platform;
using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::runCommand;
using testsupport::writeFile;

namespace {

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s)
    c = char(gen() & 0xFF);
  return s;
}

// Runs a shell command on a worker thread while the main run loop serves.
std::string serveWhile(const std::string &command, int *exitCode = nullptr) {
  auto future = std::async(std::launch::async, [command] {
    int code = -1;
    std::string out = runCommand(command, &code);
    return std::make_pair(out, code);
  });
  RunLoop::main()->runUntil([&] { return future.wait_for(0s) == std::future_status::ready; },
                            testsupport::scaled(240s));
  auto result = future.get();
  if (exitCode) *exitCode = result.second;
  return result.first;
}

} // namespace

class FTPClientsTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    tmp = std::make_unique<testsupport::TempDir>("ferrowen-srv9a-interop");
    Paths::setHome(tmp->path() + "/home");
    Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
    UserDefaults::resetStandard();
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    InitGlobals();
    RegisterDefaultSettings();
    TCPServer::setPortOverride(FerrowenAppDelegate::kFTPServerPort, 0);
    Application::shared().reset();
    delegate = std::make_shared<FerrowenAppDelegate>();
    Application::shared().setDelegate(delegate);
    root = Paths::documents() + "/Files";
    delegate->startFTPServer();
    ASSERT_NE(delegate->ftpServerListener(), nullptr);
    port = delegate->ftpServerListener()->port();
    url = "ftp://127.0.0.1:" + std::to_string(port);
  }
  void TearDown() override {
    FTPServer::disconnectAll();
    Application::shared().setDelegate(nullptr);
    delegate.reset();
    RunLoop::main()->runPending();
    Application::shared().reset();
    TCPServer::setPortOverride(FerrowenAppDelegate::kFTPServerPort, std::nullopt);
    Paths::setHome("");
    Paths::setResources("");
    UserDefaults::resetStandard();
    globalUserDefaults = &UserDefaults::standard();
    tmp.reset();
  }
  std::string python(const std::string &script, int *exitCode = nullptr) {
    std::string path = tmp->file("client.py");
    writeFile(path, script);
    return serveWhile("/usr/bin/python3 " + path + " " + std::to_string(port) + " 2>&1", exitCode);
  }
  std::string lftp(const std::string &commands, int *exitCode = nullptr) {
    return serveWhile("cd " + tmp->path() +
                          " && lftp -c 'set ftp:prefer-epsv no; set ftp:use-mlsd no; "
                          "set ftp:ssl-allow no; set net:max-retries 2; set net:timeout 20; "
                          "open -u anonymous,x " +
                          url + "; " + commands + "' 2>&1",
                      exitCode);
  }

  std::unique_ptr<testsupport::TempDir> tmp;
  std::shared_ptr<FerrowenAppDelegate> delegate;
  std::string root, url;
  int port = 0;
};

TEST_F(FTPClientsTest, FtplibCommandByCommand) {
  globalUserDefaults->setObject("sam", kFileShareUserKey);
  globalUserDefaults->setObject(myEncryptString1("pa ss"), kFileSharePassKey);
  writeFile(root + "/hello.txt", "hello world\n");
  std::string out = python(R"PY(
import ftplib, io, sys
f = ftplib.FTP()
print(f.connect('127.0.0.1', int(sys.argv[1]), timeout=20))
print(f.sendcmd('USER sam'))
print(f.sendcmd('PASS pa ss'))
print(f.sendcmd('SYST'))
print(f.pwd())
print(f.mkd('docs'))
print(f.cwd('docs'))
print(f.storbinary('STOR a.txt', io.BytesIO(b'0123456789' * 1000)))
print(f.size('a.txt'))
print(f.sendcmd('MFMT 20200102030405 a.txt'))
print(f.sendcmd('MDTM a.txt'))
print(f.rename('a.txt', 'b.txt'))
print(f.nlst())
buf = io.BytesIO()
print(f.retrbinary('RETR b.txt', buf.write, rest=9990))
print(buf.getvalue())
print(f.sendcmd('CDUP'))
try:
    f.sendcmd('RETR ../../bookmarks.sql')
except ftplib.error_perm as e:
    print('refused', e)
print(f.sendcmd('NOOP'))
print(f.delete('docs/b.txt'))
print(f.rmd('docs'))
print(f.quit())
)PY");
  EXPECT_EQ(out, "220 Ferrowen v3.0 ready...\n"
                 "331 Please specify the password.\n"
                 "230 Login successful.\n"
                 "215 UNIX Type: L8\n"
                 "/\n"
                 "/docs\n"
                 "250 CWD command successful.\n"
                 "226 File Received OK, (10000 bytes).\n"
                 "10000\n"
                 "213 ModifyTime=20200102030405\n"
                 "213 20200102030405\n"
                 "250 Renamed OK.\n"
                 "['b.txt']\n"
                 "226 Transfer complete.\n"
                 "b'0123456789'\n"
                 "250 CDUP command successful.\n"
                 "refused 550 ../../bookmarks.sql: Bad path argument.\n"
                 "200 Command OK.\n"
                 "250 Deleted.\n"
                 "250 Deleted.\n"
                 "221 Goodbye.\n");
  EXPECT_EQ(delegate->badLoginCount(), 0);
}

// What a client names is all that goes, and the current folder is kept in its normal form: Python's
// ftplib sends blanks for a name, folders to DELE and RMD, names that are not there (a failure to
// it, never "Deleted."), and a long path of "./" over and over;
// lftp removes a tree the way it does (files with DELE, then each emptied folder with RMD).
TEST_F(FTPClientsTest, DeletesOnlyWhatIsNamedAndKeepsTheFolderNormal) {
  for (const char *folder : {"/photos/sub", "/tree/x/y"})
    ASSERT_TRUE(FileManager::createDirectory(root + folder));
  writeFile(root + "/photos/a.jpg", "a");
  writeFile(root + "/photos/sub/b.jpg", "b");
  writeFile(root + "/tree/x/y/z.txt", "z");
  writeFile(root + "/tree/top.txt", "t");
  int code = -1;
  std::string out = python(R"PY(
import ftplib, sys
f = ftplib.FTP()
f.connect('127.0.0.1', int(sys.argv[1]), timeout=20)
f.login()
print(f.cwd('photos'))
for line in ['DELE   ', 'RMD', 'DELE sub', 'RMD sub', 'RMD a.jpg', 'DELE /etc/passwd', 'RMD gone']:
    try:
        print(f.sendcmd(line))
    except ftplib.error_perm as e:
        print(e)
dots = 'CWD ' + './' * 30000
for _ in range(100):
    f.sendcmd(dots)
print(f.pwd())
print(f.delete('sub/b.jpg'), f.rmd('sub'), f.nlst())
f.quit()
)PY",
                           &code);
  EXPECT_EQ(out, "250 CWD command successful.\n"
                 "501 Syntax error in parameters or arguments.\n"
                 "501 Syntax error in parameters or arguments.\n"
                 "550 Error deleting file.\n"
                 "550 Error deleting folder.\n"
                 "550 Error deleting folder.\n"
                 "550 File not found.\n"
                 "550 File not found.\n"
                 "/photos\n"
                 "250 Deleted. 250 Deleted. ['a.jpg']\n");
  EXPECT_EQ(readFile(root + "/photos/a.jpg"), "a");

  out = lftp("rm -r /tree", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_FALSE(FileManager::fileExists(root + "/tree"));
  EXPECT_TRUE(FileManager::isDirectory(root + "/photos"));
}

TEST_F(FTPClientsTest, CurlListsUploadsResumesRenamesCreatesFoldersAndKeepsTimes) {
  std::string content = randomBytes(1500000, 7);
  writeFile(tmp->file("local.bin"), content);
  writeFile(root + "/listed.txt", "x");
  int code = -1;
  std::string curl = "curl -sS --disable-epsv --max-time 60 ";
  std::string listing = serveWhile(curl + url + "/", &code);
  EXPECT_EQ(code, 0) << listing;
  EXPECT_NE(listing.find(" listed.txt"), std::string::npos) << listing;

  std::string out =
      serveWhile(curl + "-T " + tmp->file("local.bin") + " " + url + "/up.bin", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_TRUE(readFile(root + "/up.bin") == content);

  // A download broken off after 1000 bytes resumes where it stopped.
  writeFile(tmp->file("part.bin"), content.substr(0, 1000));
  out = serveWhile(curl + "-C - -o " + tmp->file("part.bin") + " " + url + "/up.bin", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_TRUE(readFile(tmp->file("part.bin")) == content);

  out = serveWhile(curl + "-Q 'RNFR up.bin' -Q 'RNTO moved.bin' " + url + "/", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_TRUE(FileManager::fileExists(root + "/moved.bin"));
  EXPECT_FALSE(FileManager::fileExists(root + "/up.bin"));

  out = serveWhile(curl + "--ftp-create-dirs -T " + tmp->file("local.bin") + " " + url +
                       "/deep/er/file.bin",
                   &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_TRUE(readFile(root + "/deep/er/file.bin") == content);

  // -R gives the download the server's time, read with MDTM (UTC).
  auto when = WallTime(std::chrono::seconds(1262304000)); // 2010-01-01 00:00:00 UTC
  ASSERT_TRUE(FileManager::setModificationDate(root + "/moved.bin", when));
  out = serveWhile(curl + "-R -o " + tmp->file("timed.bin") + " " + url + "/moved.bin", &code);
  EXPECT_EQ(code, 0) << out;
  struct stat st;
  ASSERT_EQ(::stat(tmp->file("timed.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1262304000);

  // Traversal through curl's literal paths is refused.
  out = serveWhile(curl + "--path-as-is " + url + "/../bookmarks.sql", &code);
  EXPECT_NE(code, 0) << out;
}

TEST_F(FTPClientsTest, LftpListsAndMirrorsATreeBothWaysByteForByte) {
  // A tree to send: nested folders, an empty one, names with blanks, a larger file.
  std::string src = tmp->file("src");
  FileManager::createDirectory(src + "/a/b c/d");
  FileManager::createDirectory(src + "/empty");
  writeFile(src + "/top.txt", "top\n");
  writeFile(src + "/a/one.bin", randomBytes(700000, 11));
  writeFile(src + "/a/b c/two words.txt", "two words\n");
  writeFile(src + "/a/na\xC3\xAFve \xE2\x82\xAC.txt", "utf-8 name\n");
  writeFile(src + "/a/b c/d/three", randomBytes(5000, 12));
  int code = -1;
  std::string out = lftp("mirror -R src /tree", &code);
  EXPECT_EQ(code, 0) << out;
  std::string diff = runCommand("diff -r " + src + " " + root + "/tree 2>&1", &code);
  EXPECT_EQ(code, 0) << diff;

  std::string listing = lftp("cls -l /tree/a", &code);
  EXPECT_EQ(code, 0) << listing;
  EXPECT_NE(listing.find("one.bin"), std::string::npos) << listing;
  EXPECT_NE(listing.find("b c"), std::string::npos) << listing;

  out = lftp("mirror /tree back", &code);
  EXPECT_EQ(code, 0) << out;
  diff = runCommand("diff -r " + src + " " + tmp->file("back") + " 2>&1", &code);
  EXPECT_EQ(code, 0) << diff;
}

TEST_F(FTPClientsTest, LftpMirrorsHundredsOfSmallFilesFromTheServer) {
  // Each file is a "150" and a "226" with no command between: both must go out at once.
  std::string tree = root + "/many";
  FileManager::createDirectory(tree + "/sub");
  for (int i = 0; i < 300; ++i)
    writeFile(tree + (i % 3 ? "/f" : "/sub/f") + std::to_string(i) + ".txt",
              randomBytes(size_t(i * 37 % 2000), unsigned(i)));
  int code = -1;
  std::string out = lftp("mirror --parallel=1 /many back", &code);
  EXPECT_EQ(code, 0) << out;
  std::string diff = runCommand("diff -r " + tree + " " + tmp->file("back") + " 2>&1", &code);
  EXPECT_EQ(code, 0) << diff;
}

TEST_F(FTPClientsTest, ManyClientsAtOnceAndTheServerAnswersAfterwards) {
  std::string content = randomBytes(2 * 1024 * 1024, 21);
  writeFile(root + "/shared.bin", content);
  for (int i = 0; i < 20; ++i)
    writeFile(root + "/f" + std::to_string(i) + ".txt", std::to_string(i));
  int code = -1;
  std::string out = python(R"PY(
import ftplib, hashlib, sys, threading
port = int(sys.argv[1])
want = hashlib.sha256(open(sys.argv[0].replace('client.py', 'home/Documents/Files/shared.bin'), 'rb').read()).hexdigest()
lock = threading.Lock()
results = {'list': 0, 'get': 0, 'errors': []}
start = threading.Barrier(220, timeout=60)

def lister():
    try:
        f = ftplib.FTP()
        f.connect('127.0.0.1', port, timeout=60)
        start.wait()
        f.login()
        names = f.nlst()
        f.quit()
        with lock:
            if len(names) >= 21: results['list'] += 1
            else: results['errors'].append('short listing %d' % len(names))
    except Exception as e:
        with lock: results['errors'].append('list: %r' % e)

def getter():
    try:
        f = ftplib.FTP()
        f.connect('127.0.0.1', port, timeout=60)
        start.wait()
        f.login()
        h = hashlib.sha256()
        f.retrbinary('RETR shared.bin', h.update)
        f.quit()
        with lock:
            if h.hexdigest() == want: results['get'] += 1
            else: results['errors'].append('bad download')
    except Exception as e:
        with lock: results['errors'].append('get: %r' % e)

threads = [threading.Thread(target=lister) for _ in range(200)] + [threading.Thread(target=getter) for _ in range(20)]
for t in threads: t.start()
for t in threads: t.join()
f = ftplib.FTP()
f.connect('127.0.0.1', port, timeout=20)
f.login()
print(results['list'], results['get'], f.sendcmd('NOOP'), results['errors'][:3])
f.quit()
)PY",
                           &code);
  EXPECT_EQ(out, "200 20 200 Command OK. []\n");
  RunLoop::main()->runUntil([] { return FTPServer::liveCount() == 0; }, testsupport::scaled(30s));
  EXPECT_EQ(FTPServer::liveCount(), 0u) << "handlers outlived their clients";
}

// A folder of thousands of files listed by many ftplib sessions at once: every listing names
// every file, once, and is the listing a session alone gets. Then the session limit: with every
// place taken by stalled clients, ftplib is told "421" at connect and may log in once they left.
TEST_F(FTPClientsTest, FtplibSessionsListABigFolderTogetherAndTheLimitRefusesCleanly) {
  ASSERT_TRUE(FileManager::createDirectory(root + "/big", true));
  for (int i = 0; i < 3000; ++i)
    writeFile(root + "/big/" + (i % 2 ? "Name " : "name_") + std::to_string(i) + ".dat",
              std::string(size_t(i % 50), 'd'));
  int code = -1;
  std::string out = python(R"PY(
import ftplib, os, re, sys, threading
port = int(sys.argv[1])
folder = sys.argv[0].replace('client.py', 'home/Documents/Files/big')
names = set(os.listdir(folder))
line = re.compile(r'^-[-r][-w][-x][-r][-w][-x][-r][-w][-x]    1 .{8} .{8} +(\d+) [A-Z][a-z]{2} \d\d (\d\d:\d\d| \d{4}) (.+)$')

def listing():
    f = ftplib.FTP()
    f.connect('127.0.0.1', port, timeout=60)
    f.login()
    lines, nlst = [], f.nlst('big')
    f.retrlines('LIST big', lines.append)
    f.quit()
    return lines, nlst

alone = listing()
shown = [line.match(l) for l in alone[0]]
assert all(shown), [l for l, m in zip(alone[0], shown) if not m][:3]
assert sorted(m.group(3) for m in shown) == sorted(names), 'LIST names'
assert all(int(m.group(1)) == os.path.getsize(os.path.join(folder, m.group(3))) for m in shown)
assert sorted(alone[1]) == sorted(names), 'NLST names'

results, errors, lock = [], [], threading.Lock()
start = threading.Barrier(30, timeout=60)
def together():
    try:
        start.wait()
        got = listing()
        with lock: results.append(got == alone)
    except Exception as e:
        with lock: errors.append(repr(e))
threads = [threading.Thread(target=together) for _ in range(30)]
for t in threads: t.start()
for t in threads: t.join()
print(len(names), sum(results), len(results), errors[:3])
)PY",
                           &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(out, "3000 30 30 []\n");

  // Every place taken by clients that connect and say nothing.
  std::vector<std::unique_ptr<ftptest::Client>> stalled;
  for (size_t i = 0; i < ftptest::kServedAtOnce; ++i) {
    stalled.push_back(std::make_unique<ftptest::Client>(port));
    ASSERT_TRUE(stalled.back()->connected());
    if (i % 64 == 0) RunLoop::main()->runPending(); // accepted before the backlog fills
  }
  RunLoop::main()->runUntil([] { return FTPServer::liveCount() == ftptest::kServedAtOnce; },
                            testsupport::scaled(60s));
  ASSERT_EQ(FTPServer::liveCount(), ftptest::kServedAtOnce);
  const std::string client = R"PY(
import ftplib, sys
f = ftplib.FTP()
try:
    print(f.connect('127.0.0.1', int(sys.argv[1]), timeout=20))
    print(f.login())
    f.quit()
except ftplib.error_temp as e:
    print('refused:', e)
)PY";
  out = python(client, &code);
  EXPECT_EQ(out, "refused: 421 Too many connections. Please try again later.\n");
  stalled.clear();
  RunLoop::main()->runUntil([] { return FTPServer::liveCount() == 0; }, testsupport::scaled(60s));
  out = python(client, &code);
  EXPECT_EQ(out, "220 Ferrowen v3.0 ready...\n230 Login successful.\n");
}

// Every client reaches each of two look-alike names by its bytes: "caf\xE9.txt" (Latin-1) and
// "caf\xC3\xA9.txt" (UTF-8) side by side, each client downloads both (each its own content),
// renames the Latin-1 one, deletes the UTF-8 one, uploads a Latin-1 name and makes a Latin-1
// folder; afterwards the share holds exactly what each asked for.
TEST_F(FTPClientsTest, FtplibCurlAndLftpEachReachTheFileOfTheBytesTheySend) {
  const std::string latin = "caf\xE9.txt", utf8 = "caf\xC3\xA9.txt";
  writeFile(tmp->file("new.txt"), "uploaded");
  const struct Client {
    const char *name;
    std::function<std::string()> run;
  } clients[] = {
      {"ftplib",
       [this] {
         return python(R"PY(
import ftplib, io, sys
f = ftplib.FTP(encoding='latin-1')
f.connect('127.0.0.1', int(sys.argv[1]), timeout=20 * float(__import__('os').environ.get('FERROWEN_TEST_TIME_SCALE', '1')))
f.login()
for name in ('caf\xe9.txt', 'caf\xc3\xa9.txt'):
    got = io.BytesIO()
    f.retrbinary('RETR ' + name, got.write)
    print(got.getvalue().decode())
f.rename('caf\xe9.txt', 'ren\xe9.txt')
f.delete('caf\xc3\xa9.txt')
f.storbinary('STOR new\xe9.txt', io.BytesIO(b'uploaded'))
f.mkd('dir\xe9')
f.cwd('dir\xe9')
print(f.pwd() == '/dir\xe9')
f.quit()
)PY");
       }},
      {"curl",
       [this] {
         const std::string curl =
             "curl -sS --disable-epsv -m " + std::to_string(60 * testsupport::timeScale()) + " ";
         std::string out;
         for (const char *name : {"caf%E9.txt", "caf%C3%A9.txt"})
           out += serveWhile(curl + url + "/" + name) + "\n";
         out += serveWhile(curl +
                           "-Q \"$(printf 'RNFR caf\\351.txt')\" -Q \"$(printf 'RNTO "
                           "ren\\351.txt')\" -Q \"$(printf 'DELE caf\\303\\251.txt')\" " +
                           url + "/ -o /dev/null");
         out += serveWhile(curl + "-T " + tmp->file("new.txt") + " " + url + "/new%E9.txt");
         out += serveWhile(curl + "--ftp-create-dirs -T " + tmp->file("new.txt") + " " + url +
                           "/dir%E9/x.txt");
         out +=
             serveWhile(curl + "-Q \"$(printf 'DELE dir\\351/x.txt')\" " + url + "/ -o /dev/null");
         return out + "True\n";
       }},
      {"lftp",
       [this] {
         // The names go out as they stand: no conversion between character sets.
         writeFile(
             tmp->file("script.lftp"),
             "set ftp:use-utf8 off; set ftp:charset ''; set file:charset ''\n"
             "set ftp:prefer-epsv no; set ftp:use-mlsd no; set ftp:ssl-allow no\n"
             "set net:max-retries 2; set net:timeout " +
                 std::to_string(20 * testsupport::timeScale()) +
                 "\n"
                 "open -u anonymous,x " +
                 url +
                 "\n"
                 "get caf\xE9.txt -o got1\nget caf\xC3\xA9.txt -o got2\n"
                 "mv caf\xE9.txt ren\xE9.txt\nrm caf\xC3\xA9.txt\nput new.txt -o new\xE9.txt\n"
                 "mkdir dir\xE9\ncd dir\xE9\n");
         const std::string out = serveWhile("cd " + tmp->path() + " && lftp -f script.lftp 2>&1");
         return out + readFile(tmp->file("got1")) + "\n" + readFile(tmp->file("got2")) + "\nTrue\n";
       }},
  };
  for (const auto &client : clients) {
    SCOPED_TRACE(client.name);
    FileManager::removeItem(root);
    ASSERT_TRUE(FileManager::createDirectory(root, true));
    writeFile(root + "/" + latin, "latin-1 file");
    writeFile(root + "/" + utf8, "utf-8");
    EXPECT_EQ(client.run(), "latin-1 file\nutf-8\nTrue\n");
    EXPECT_EQ(readFile(root + "/ren\xE9.txt"), "latin-1 file");
    EXPECT_FALSE(FileManager::fileExists(root + "/" + latin));
    EXPECT_FALSE(FileManager::fileExists(root + "/" + utf8));
    EXPECT_EQ(readFile(root + "/new\xE9.txt"), "uploaded");
    EXPECT_TRUE(FileManager::isDirectory(root + "/dir\xE9"));
  }
}

// A named pipe in the share is no file to send or to fill: RETR and STOR of it are answered
// "550" at once, while nothing opens its other end, and the web server and a new FTP login
// answer meanwhile (the program was never held in open()).
TEST_F(FTPClientsTest, ANamedPipeIsRefusedAndNothingWaitsForIt) {
  delegate->startWebServer();
  ASSERT_NE(delegate->webServerListener(), nullptr);
  const int webPort = delegate->webServerListener()->port();
  writeFile(root + "/a.txt", "A");
  ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0644), 0);
  std::string out =
      serveWhile("/usr/bin/python3 - " + std::to_string(port) + " " + std::to_string(webPort) +
                 " '" + root + "/pipe' 2>&1 <<'PY'\n" + R"PY(
import ftplib, http.client, io, os, sys
port, web, pipe = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
wait = 10 * float(os.environ.get('FERROWEN_TEST_TIME_SCALE', '1'))
f = ftplib.FTP()
f.connect('127.0.0.1', port, timeout=wait)
f.login()
for command in ('RETR pipe', 'STOR pipe'):
    try:
        if command.startswith('RETR'):
            f.retrbinary(command, lambda b: None)
        else:
            f.storbinary(command, io.BytesIO(b'x'))
        print(command, 'served')
    except ftplib.error_perm as e:
        print(command, e)
    except OSError as e:
        # Held: the other end opened at last, so the server (and this test) can go on.
        os.close(os.open(pipe, os.O_RDWR))
        print(command, 'held', e)
        break
    c = http.client.HTTPConnection('127.0.0.1', web, timeout=wait)
    c.request('GET', '/a.txt')
    print('web', c.getresponse().status)
    g = ftplib.FTP()
    g.connect('127.0.0.1', port, timeout=wait)
    print('login', g.login())
    g.quit()
f.quit()
)PY" + "PY\n");
  EXPECT_EQ(out, "RETR pipe 550 Not a regular file.\n"
                 "web 200\n"
                 "login 230 Login successful.\n"
                 "STOR pipe 550 Not a regular file.\n"
                 "web 200\n"
                 "login 230 Login successful.\n");
  struct stat st;
  ASSERT_EQ(::lstat((root + "/pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe stays as it was";
}

// The program itself: settings on, a port moved for the test, a session, then SIGTERM.
TEST(FerrowenProgramSharing, ServesSavedFilesWhenTheSettingIsOnAndStopsCleanly) {
  testsupport::TempDir home("ferrowen-srv9a-program");
  ASSERT_TRUE(writeFile(home.file("Preferences.json"), "{\"FTPServer\": \"1\"}"));
  int port = testsupport::freeTcpPort();
  testsupport::Process program(
      {std::string(FERROWEN_BINARY_DIR) + "/ferrowen"}, home.path(),
      {{"FERROWEN_HOME", home.path()},
       {"FERROWEN_PORT_OVERRIDES", "2121=" + std::to_string(port)},
       {"FERROWEN_RESOURCES", std::string(FERROWEN_SOURCE_DIR) + "/resources"}});
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(testsupport::waitForTcpPort(port)) << program.errors();
  std::string script = home.file("c.py");
  writeFile(script, R"PY(
import ftplib, io, sys
f = ftplib.FTP()
f.connect('127.0.0.1', int(sys.argv[1]), timeout=20)
f.login()
f.storbinary('STOR shared.txt', io.BytesIO(b'shared'))
print(f.size('shared.txt'))
print(f.quit())
)PY");
  int code = -1;
  std::string out =
      runCommand("/usr/bin/python3 " + script + " " + std::to_string(port) + " 2>&1", &code);
  EXPECT_EQ(out, "6\n221 Goodbye.\n");
  EXPECT_EQ(readFile(home.path() + "/Documents/Files/shared.txt"), "shared");
  int status = program.stop(10s);
  ASSERT_TRUE(WIFEXITED(status)) << program.errors();
  EXPECT_EQ(WEXITSTATUS(status), 0) << program.errors();
}

// The program takes the whole descriptor limit the system grants it: started under a soft limit of
// 64 (the hard limit stays), it serves more clients at once than 64 descriptors could hold.
TEST(FerrowenProgramSharing, RaisesItsDescriptorLimitAndServesMoreClientsThanTheLowOneHolds) {
  testsupport::TempDir home("ferrowen-srv9a-limit");
  ASSERT_TRUE(writeFile(home.file("Preferences.json"), "{\"FTPServer\": \"1\"}"));
  ASSERT_TRUE(FileManager::createDirectory(home.path() + "/Documents/Files"));
  ASSERT_TRUE(writeFile(home.path() + "/Documents/Files/hello.txt", "hello"));
  int port = testsupport::freeTcpPort();
  // The soft limit is lowered for the program alone (a shell that then becomes the program).
  testsupport::Process program(
      {"/bin/bash", "-c", "ulimit -S -n 64 && exec \"$0\"",
       std::string(FERROWEN_BINARY_DIR) + "/ferrowen"},
      home.path(),
      {{"FERROWEN_HOME", home.path()},
       {"FERROWEN_RENDERER", "0"},
       {"FERROWEN_PORT_OVERRIDES", "2121=" + std::to_string(port)},
       {"FERROWEN_RESOURCES", std::string(FERROWEN_SOURCE_DIR) + "/resources"}});
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(testsupport::waitForTcpPort(port)) << program.errors();
  std::string limits = readFile("/proc/" + std::to_string(program.pid()) + "/limits");
  rlimit mine{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &mine), 0);
  const std::string hard = std::to_string(mine.rlim_max);
  EXPECT_NE(
      limits.find("Max open files            " + hard + std::string(21 - hard.size(), ' ') + hard),
      std::string::npos)
      << limits;

  std::string script = home.file("c.py");
  writeFile(script, R"PY(
import ftplib, sys
port = int(sys.argv[1])
sessions, got = [], 0
for _ in range(100):
    f = ftplib.FTP()
    f.connect('127.0.0.1', port, timeout=20)
    f.login()
    sessions.append(f)
for f in sessions:
    lines = []
    f.retrlines('RETR hello.txt', lines.append)
    got += lines == ['hello']
for f in sessions:
    f.quit()
print(len(sessions), got)
)PY");
  int code = -1;
  std::string out =
      runCommand("/usr/bin/python3 " + script + " " + std::to_string(port) + " 2>&1", &code);
  EXPECT_EQ(out, "100 100\n");
  int status = program.stop(10s);
  ASSERT_TRUE(WIFEXITED(status)) << program.errors();
  EXPECT_EQ(WEXITSTATUS(status), 0) << program.errors();
}
