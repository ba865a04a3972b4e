// Set-up of the task tests against real servers: the main thread, a private data root, doubles of
// the application's services, of the folder screen and of the transfer queue, a connection on a
// thread of its own, and the servers themselves (pyftpdlib, vsftpd, proftpd and a scripted server
// for what real servers do not do on demand), each on free loopback ports and stopped by pid.
#pragma once

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/WorkingCopy.h"
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPQueueStorage.h"
#include "tests/app/ftp/FtpConnectionThread.h"
#include "tests/interop/ftp/VsftpdPeer.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Probe.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <openssl/sha.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace taskpeers {

using namespace platform;

inline std::string sha256(const std::string &data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
  std::string hex;
  char buf[3];
  for (unsigned char c : digest) {
    snprintf(buf, sizeof buf, "%02x", c);
    hex += buf;
  }
  return hex;
}

inline std::string randomBytes(size_t n, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (auto &c : out)
    c = char(rng());
  return out;
}

// The folder screen on top of the FTP tab.
class FolderScreenDouble : public DirViewerScreen {
public:
  std::string currentWorkingDirectory() const override {
    std::lock_guard<std::mutex> lock(mutex);
    return folder;
  }
  void setCurrentWorkingDirectory(const std::string &f) override {
    std::lock_guard<std::mutex> lock(mutex);
    folder = f;
  }
  void replaceDirectory(const std::vector<std::shared_ptr<DirItemInfo>> &items) override {
    if (!RunLoop::isMainThread()) mainThreadOnly = false;
    std::lock_guard<std::mutex> lock(mutex);
    entries = items;
    ++listings;
  }
  void updateProgressText(const std::string &text) override {
    std::lock_guard<std::mutex> lock(mutex);
    texts.push_back(text);
  }
  std::vector<std::shared_ptr<DirItemInfo>> shown() const {
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
  }
  int listingCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return listings;
  }
  std::vector<std::string> progressTexts() const {
    std::lock_guard<std::mutex> lock(mutex);
    return texts;
  }
  std::shared_ptr<DirItemInfo> find(const std::string &name) const {
    for (auto &e : shown())
      if (e->name() == name) return e;
    return nullptr;
  }

  mutable std::mutex mutex;
  std::string folder;
  std::vector<std::shared_ptr<DirItemInfo>> entries;
  std::vector<std::string> texts;
  int listings = 0;
  std::atomic<bool> mainThreadOnly{true};
};

// The transfer queue: its rows in memory and the reports it got.
class QueueDouble : public BatchQueueReceiver, public FTPQueueStorage {
public:
  struct Row {
    int pk, action;
    std::string filename, path, server, protocol, localpath;
    int port;
    int64_t size;
    // The name and folder as the connection handed them (with the server's bytes).
    RemoteName remoteFilename, remotePath;
  };
  int alreadyExists(int action, const RemoteName &filename, RemoteName path, int64_t,
                    std::string server, int, const std::string &, const std::string &) override {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &r : rows)
      if (r.action == action && r.remoteFilename == filename && r.remotePath == path &&
          r.server == server)
        return r.pk;
    return -1;
  }
  int addBatchItemAction(int action, RemoteName filename, RemoteName path, int64_t size,
                         std::string server, int port, const std::string &, const std::string &,
                         const std::string &protocol, std::string localpath, bool, bool) override {
    std::lock_guard<std::mutex> lock(mutex);
    // 3 and 10 are one transfer, as in the queue.
    auto twin = [](int a) { return a == 3 ? 10 : a == 10 ? 3 : a; };
    for (auto &r : rows)
      if ((r.action == action || r.action == twin(action)) && r.remoteFilename == filename &&
          r.remotePath == path && r.server == server)
        return r.pk;
    rows.push_back({nextKey, action, filename.text(), path.text(), server, protocol, localpath,
                    port, size, filename, path});
    added.push_back(rows.back());
    return nextKey++;
  }
  int actionForBatchItemPK(int pk) const override {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &r : rows)
      if (r.pk == pk) return r.action;
    return -1;
  }
  // A finished (or dropped) item leaves the queue.
  void doneBatchItemObject(const BatchObject &o) override {
    note("done", o.primaryKey);
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].pk == o.primaryKey) rows.erase(rows.begin() + long(i));
  }
  void abortBatchItemObject(const BatchObject &o) override { note("abort", o.primaryKey); }
  void updateBatchItemObject(const BatchObject &o) override {
    std::lock_guard<std::mutex> lock(mutex);
    lastBytes = o.bytes;
  }
  void updateFileSizeBatchItemObject(const BatchObject &o) override {
    std::lock_guard<std::mutex> lock(mutex);
    lastSize = o.bytes;
  }
  std::vector<std::string> reports() const {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::vector<Row> allRows() const {
    std::lock_guard<std::mutex> lock(mutex);
    return rows;
  }
  std::vector<Row> addedRows() const {
    std::lock_guard<std::mutex> lock(mutex);
    return added;
  }
  void note(const std::string &what, int pk) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(what + ":" + std::to_string(pk));
  }

  mutable std::mutex mutex;
  std::vector<Row> rows, added;
  std::vector<std::string> events;
  int nextKey = 1;
  int64_t lastBytes = 0, lastSize = 0;
};

class ServicesDouble : public FTPAppServices {
public:
  std::shared_ptr<BatchQueueReceiver> batchView() override { return queue; }
  std::shared_ptr<DirViewerScreen> topDirViewer() override { return top; }
  void finishedTransfer() override {}
  void showErrorForTopFtpTab(const std::string &page) override { note("page:" + page); }
  void playMediaFile(const std::string &path, bool) override {
    handedOn(path);
    note("play:" + path);
  }
  void showDocumentViewer(const std::string &name, const std::string &path) override {
    handedOn(path);
    note("viewer:" + name);
  }
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    handedOn(path);
    note("editor:" + path);
    return nullptr;
  }
  // The file of that name last handed to the player, the viewer or the editor.
  std::string fileHandedOn(const std::string &name) {
    std::lock_guard<std::mutex> lock(mutex);
    return handedOn_[name];
  }
  void note(const std::string &what) {
    std::lock_guard<std::mutex> lock(mutex);
    calls_.push_back(what);
  }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls_;
  }
  int handOns() {
    int n = 0;
    for (auto &c : calls())
      if (c.rfind("play:", 0) == 0 || c.rfind("viewer:", 0) == 0 || c.rfind("editor:", 0) == 0) ++n;
    return n;
  }
  std::shared_ptr<QueueDouble> queue = std::make_shared<QueueDouble>();
  std::shared_ptr<FolderScreenDouble> top = std::make_shared<FolderScreenDouble>();

private:
  void handedOn(const std::string &path) {
    std::lock_guard<std::mutex> lock(mutex);
    handedOn_[platform::lastPathComponent(path)] = path;
  }
  std::mutex mutex;
  std::vector<std::string> calls_;
  std::map<std::string, std::string> handedOn_;
};

// Takes the errors instead of the alerts.
class ErrorDelegate : public FTPConnectionDelegate {
public:
  bool handleError(FTPConnection &, const std::string &text) override {
    std::lock_guard<std::mutex> lock(mutex);
    errors.push_back(text);
    return true;
  }
  std::vector<std::string> taken() {
    std::lock_guard<std::mutex> lock(mutex);
    return errors;
  }
  std::mutex mutex;
  std::vector<std::string> errors;
};

// One server on a free port, stopped by pid.
struct Server {
  testsupport::Process process;
  int port = 0;
  std::string root, user = "anonymous", pass;
};

class TaskPeerTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    Paths::setHome(home.path() + "/home");
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
    services = std::make_shared<ServicesDouble>();
    FTPAppServices::setShared(services);
    delegate = std::make_shared<ErrorDelegate>();
    window = std::make_shared<ui::Window>(ui::Size{320, 480});
    window->makeKeyAndVisible();
    window->setRootViewController(std::make_shared<ui::ViewController>("RootView"));
    probe = std::make_unique<ui::Probe>(window);
  }
  void TearDown() override {
    stopConnection();
    FTPAppServices::setShared(nullptr);
    RunLoop::main()->runPending();
    Paths::setHome("");
    UserDefaults::resetStandard();
  }

  std::shared_ptr<FTPConnection> startConnection(const std::string &address, bool main = true,
                                                 const std::string &user = "",
                                                 const std::string &pass = "") {
    std::shared_ptr<FTPConnection> made;
    std::mutex m;
    connLoop = startThread("ftp-task-test", [&] {
      auto c = makeConnection ? makeConnection() : std::make_shared<FTPConnection>();
      std::lock_guard<std::mutex> lock(m);
      made = c;
    });
    waitFor([&] {
      std::lock_guard<std::mutex> lock(m);
      return made != nullptr;
    });
    conn = made;
    conn->setMainConnection(main);
    conn->setDelegate(delegate);
    conn->setServerAddress(address);
    conn->setLoginUser(user);
    conn->setLoginPass(pass);
    conn->setSkipSSL(true);
    return conn;
  }
  // Connects and waits for the login's listing of the home folder.
  // With `tls`, explicit TLS is asked for.
  void connectAndList(const std::string &address, const std::string &user = "",
                      const std::string &pass = "", bool tls = false) {
    const int before = services->top->listingCount();
    services->top->setCurrentWorkingDirectory(""); // a fresh folder screen
    startConnection(address, true, user, pass);
    conn->setSkipSSL(!tls);
    conn->connect();
    ASSERT_TRUE(waitFor([&] { return services->top->listingCount() > before && idle(); }))
        << conn->transferLog();
    ASSERT_TRUE(services->top->mainThreadOnly)
        << "a listing reached the screen off the main thread";
  }

  void stopConnection() { ftptest::stopConnectionOnItsThread(conn, connLoop); }

  // Runs the main loop until `cond` holds, for at most `limitSeconds` (scaled).
  bool waitFor(const std::function<bool()> &cond, double limitSeconds = 30) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(seconds(limitSeconds)));
  }
  bool idle() { return conn && conn->iTask() == FTPConnection::kTaskIdle; }
  // Waits until the task has ended, with the main thread running meanwhile.
  bool waitIdle(double limitSeconds = 30) {
    // Let the starter reach the connection's thread first.
    waitFor([] { return false; }, 0.05);
    return waitFor([&] { return idle(); }, limitSeconds);
  }
  // Waits until a marker posted now to the connection's thread has run there (and, with
  // `thenMain`, has come back through the main thread): each thread runs its posts in order, so
  // what was posted to it before has run too, whatever the machine's speed.
  bool throughConnectionThread(bool thenMain = false, double limitSeconds = 30) {
    auto passed = std::make_shared<std::atomic<bool>>(false);
    connLoop->perform([passed, thenMain] {
      if (!thenMain)
        *passed = true;
      else
        RunLoop::main()->perform([passed] { *passed = true; });
    });
    return waitFor([passed] { return passed->load(); }, limitSeconds);
  }
  // Waits until the task and the folder listing that may follow it are over.
  void settle() {
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(waitIdle()) << conn->transferLog();
      waitFor([] { return false; }, 0.3);
      if (idle()) return;
    }
  }
  bool logHas(const std::string &text) {
    return conn && conn->transferLog().find(text) != std::string::npos;
  }
  std::vector<std::string> commandsSent() {
    std::vector<std::string> out;
    std::string log = conn->transferLog();
    size_t pos = 0;
    while ((pos = log.find(">>> ", pos)) != std::string::npos) {
      size_t end = log.find("\r\n", pos);
      out.push_back(log.substr(pos + 4, end - pos - 4));
      pos = end;
    }
    return out;
  }
  // Commands sent since the log had `mark` characters.
  std::vector<std::string> commandsSince(size_t mark) {
    std::vector<std::string> out;
    std::string log = conn->transferLog();
    size_t pos = std::min(mark, log.size());
    while ((pos = log.find(">>> ", pos)) != std::string::npos) {
      size_t end = log.find("\r\n", pos);
      out.push_back(log.substr(pos + 4, end - pos - 4));
      pos = end;
    }
    return out;
  }
  // The commands sent from the last one that starts with `from` on.
  std::vector<std::string> commandsFrom(const std::string &from) {
    auto all = commandsSent();
    for (size_t i = all.size(); i-- > 0;)
      if (all[i].rfind(from, 0) == 0) return {all.begin() + long(i), all.end()};
    return {};
  }
  std::string tmpFile(const std::string &name) { return Paths::tmp() + "/" + name; }
  // Where a file of the loopback server on `port` ("/" folder, logged in with no user name) is
  // put to be viewed or edited.
  std::string workingCopy(const std::string &name, int port) {
    return workingCopyPath(RemoteOrigin::of("ftp", "127.0.0.1", port, "", "/", name), name);
  }
  std::string savedFile(const std::string &name) { return Paths::documents() + "/Files/" + name; }

  // --- Servers --------------------------------------------------------------------------------

  std::string makeRoot(const std::string &name) {
    std::string root = home.file(name);
    ::mkdir(root.c_str(), 0777);
    ::chmod(root.c_str(), 0777);
    ::chmod(home.path().c_str(), 0755);
    return root;
  }

  // vsftpd as Debian installs it, for its local user, on a root that `fill` fills before the
  // server starts (`extra`: configuration lines added). Call under ASSERT_NO_FATAL_FAILURE.
  void startVsftpdAsInstalled(Server &s,
                              const std::function<void(const std::string &root)> &fill = {},
                              const std::string &extra = "") {
    s.root = makeRoot("vs");
    if (fill) fill(s.root);
    auto served = vsftpdpeer::serveAsInstalled(s.root, home.path(), extra);
    ASSERT_TRUE(served.ok) << served.why;
    s.process = std::move(served.process);
    s.port = served.port;
    s.user = vsftpdpeer::kUser;
    s.pass = vsftpdpeer::kPass;
  }

  // pyftpdlib with an anonymous user that may write everything; with `tls`, explicit FTPS
  // (certificate made here) that requires a protected data channel.
  Server startPyftpdlib(bool tls = false) {
    Server s;
    s.root = makeRoot("py");
    s.port = testsupport::freeTcpPort();
    std::string script = home.file("pyserver.py");
    std::string handler = "h = FTPHandler\n";
    if (tls) {
      EXPECT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
      // A session id context lets the data connections resume the control connection's session.
      handler = "class h(TLS_FTPHandler): pass\n"
                "h.certfile = '" +
                home.file("cert.pem") + "'\nh.keyfile = '" + home.file("key.pem") +
                "'\nh.tls_data_required = True\n"
                "h.get_ssl_context().set_session_id(b'ferrowen-tests')\n";
    }
    testsupport::writeFile(script, "import sys\n"
                                   "from pyftpdlib.authorizers import DummyAuthorizer\n"
                                   "from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler\n"
                                   "from pyftpdlib.servers import FTPServer\n"
                                   "a = DummyAuthorizer()\n"
                                   "a.add_anonymous(sys.argv[2], perm='elradfmwMT')\n"
                                   "a.add_user('joe', 'secret', sys.argv[2], perm='elradfmwMT')\n" +
                                       handler +
                                       "h.authorizer = a\n"
                                       "h.permit_foreign_addresses = True\n"
                                       "srv = FTPServer(('127.0.0.1', int(sys.argv[1])), h)\n"
                                       "srv.serve_forever()\n");
    s.process = testsupport::Process({"/usr/bin/python3", script, std::to_string(s.port), s.root},
                                     home.path());
    EXPECT_TRUE(testsupport::waitForTcpPort(s.port)) << s.process.errors();
    return s;
  }

  // pyftpdlib (anonymous, or joe / secret, may write) whose "FEAT" reply leaves "UTF8" out. Its
  // stock reply names UTF8, and a client then sends every name as UTF-8; many servers do not
  // announce it, and that is the case under test. With `keepBytes` it also keeps every name's bytes
  // as they are, both ways: as installed it reads a name's bytes that are not UTF-8 as "?" (and
  // cannot answer "PWD" in a folder so named), so no file named in ISO Latin-1 could be listed or
  // reached on it; servers that keep names as bytes (vsftpd) do. Everything else is as installed.
  Server startPyftpdlibWithoutUtf8(bool keepBytes = false) {
    Server s;
    s.root = makeRoot("py");
    s.port = testsupport::freeTcpPort();
    const std::string script = home.file("noutf8.py");
    testsupport::writeFile(
        script, std::string("import asynchat, sys\n"
                            "from pyftpdlib.authorizers import DummyAuthorizer\n"
                            "from pyftpdlib.handlers import FTPHandler\n"
                            "from pyftpdlib.servers import FTPServer\n"
                            "class H(FTPHandler):\n"
                            "    def ftp_FEAT(self, line):\n"
                            "        push = self.push\n"
                            "        self.push = lambda d: push(d.replace(' UTF8\\r\\n', ''))\n"
                            "        try:\n"
                            "            FTPHandler.ftp_FEAT(self, line)\n"
                            "        finally:\n"
                            "            del self.push\n") +
                    (keepBytes ? "    unicode_errors = 'surrogateescape'\n"
                                 "    def push(self, s):\n"
                                 "        asynchat.async_chat.push(self, s.encode('utf8', "
                                 "'surrogateescape'))\n"
                               : "") +
                    "a = DummyAuthorizer()\n"
                    "a.add_anonymous(sys.argv[2], perm='elradfmwMT')\n"
                    "a.add_user('joe', 'secret', sys.argv[2], perm='elradfmwMT')\n"
                    "H.authorizer = a\n"
                    "srv = FTPServer(('127.0.0.1', int(sys.argv[1])), H)\n"
                    "srv.serve_forever()\n");
    s.process = testsupport::Process({"/usr/bin/python3", script, std::to_string(s.port), s.root},
                                     home.path());
    EXPECT_TRUE(testsupport::waitForTcpPort(s.port)) << s.process.errors();
    return s;
  }

  // vsftpd with anonymous logins allowed to write; extra lines are added to its configuration.
  Server startVsftpd(const std::string &extra = "") {
    Server s;
    if (::access("/usr/sbin/vsftpd", X_OK) != 0 || ::geteuid() != 0) return s;
    passwd *ftp = ::getpwnam("ftp");
    if (!ftp) return s;
    ::mkdir("/var/run/vsftpd", 0755);
    ::mkdir("/var/run/vsftpd/empty", 0755);
    s.root = home.file("vs");
    ::mkdir(s.root.c_str(), 0755);
    std::string pub = s.root + "/pub";
    ::mkdir(pub.c_str(), 0777);
    ::chown(pub.c_str(), ftp->pw_uid, ftp->pw_gid);
    ::chmod(home.path().c_str(), 0755);
    s.port = testsupport::freeTcpPort();
    std::string conf =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
        std::to_string(s.port) +
        "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
        "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=" +
        s.root +
        "\nwrite_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
        "anon_other_write_enable=YES\nanon_umask=022\npasv_enable=YES\n"
        "pasv_address=127.0.0.1\nport_enable=YES\nconnect_from_port_20=NO\n"
        "secure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=NO\nvsftpd_log_file=" +
        home.file("vsftpd.log") + "\ndual_log_enable=NO\nssl_enable=NO\n" + extra;
    testsupport::writeFile(home.file("vsftpd.conf"), conf);
    s.process = testsupport::Process({"/usr/sbin/vsftpd", home.file("vsftpd.conf")}, home.path());
    EXPECT_TRUE(testsupport::waitForTcpPort(s.port)) << s.process.errors();
    return s;
  }

  // proftpd (unpacked beside the system) with anonymous logins and MODE Z; with `tls`, mod_tls
  // too (certificate made here).
  Server startProftpd(bool tls = false) {
    Server s;
    const std::string base = "/opt/ferrowen-peers/proftpd";
    if (::access((base + "/usr/sbin/proftpd").c_str(), X_OK) != 0 || ::geteuid() != 0) return s;
    passwd *ftp = ::getpwnam("ftp");
    if (!ftp) return s;
    s.root = home.file("pro");
    ::mkdir(s.root.c_str(), 0777);
    ::chmod(s.root.c_str(), 0777);
    ::chmod(home.path().c_str(), 0755);
    s.port = testsupport::freeTcpPort();
    std::string conf =
        "ServerType standalone\nDefaultServer on\nUseIPv6 off\n"
        "DefaultAddress 127.0.0.1\nPort " +
        std::to_string(s.port) + "\nUser nobody\nGroup nogroup\nScoreboardFile " +
        home.file("pro.score") + "\nPidFile " + home.file("pro.pid") + "\nDelayTable " +
        home.file("pro.delay") +
        "\nWtmpLog off\nUseReverseDNS off\nRequireValidShell off\n"
        "ModulePath " +
        base +
        "/usr/lib/proftpd\nLoadModule mod_deflate.c\n"
        "<IfModule mod_deflate.c>\n  DeflateEngine on\n</IfModule>\n" +
        (tls ? "LoadModule mod_tls.c\n<IfModule mod_tls.c>\n  TLSEngine on\n"
               "  TLSProtocol TLSv1.2 TLSv1.3\n  TLSRSACertificateFile " +
                   home.file("cert.pem") + "\n  TLSRSACertificateKeyFile " + home.file("key.pem") +
                   "\n  TLSVerifyClient off\n  TLSLog " + home.file("tls.log") + "\n</IfModule>\n"
             : std::string()) +
        "<Anonymous " + s.root +
        ">\n  User ftp\n  Group nogroup\n  UserAlias anonymous ftp\n"
        "  <Limit LOGIN>\n    AllowAll\n  </Limit>\n"
        "  <Limit WRITE>\n    AllowAll\n  </Limit>\n</Anonymous>\n";
    if (tls) {
      EXPECT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
    }
    testsupport::writeFile(home.file("proftpd.conf"), conf);
    s.process = testsupport::Process(
        {base + "/usr/sbin/proftpd", "-n", "-q", "-c", home.file("proftpd.conf")}, home.path());
    EXPECT_TRUE(testsupport::waitForTcpPort(s.port)) << s.process.errors();
    return s;
  }

  // pure-ftpd (unpacked beside the system) with the virtual user joe / secret owning its root;
  // with `tls`, explicit TLS is required (certificate made here). The password is stored as a
  // SHA-512 crypt hash: pure-pw's own memory-hard hash costs the server seconds per login.
  Server startPureftpd(bool tls = false) {
    Server s;
    const std::string base = "/opt/ferrowen-peers/pure-ftpd/usr", db = home.file("pure.pdb");
    passwd *ftp = ::getpwnam("ftp");
    if (::access((base + "/sbin/pure-ftpd").c_str(), X_OK) != 0 || ::geteuid() != 0 || !ftp)
      return s;
    s.root = makeRoot("pure");
    s.user = "joe";
    s.pass = "secret";
    testsupport::writeFile(home.file("pure.passwd"),
                           "joe:$6$ferrowen$8ruy76HT6x2aZaDFnmpjJujYebt3CAgBd0ldk317qbvmyc/KgOqGvVr"
                           "bbzDxAXYDpvUzwKkr6RsXOZ.ksdKJK.:" +
                               std::to_string(ftp->pw_uid) + ":" + std::to_string(ftp->pw_gid) +
                               "::" + s.root + "/./::::::::::::\n");
    testsupport::runCommand(base + "/bin/pure-pw mkdb " + db + " -f " + home.file("pure.passwd"));
    s.port = testsupport::freeTcpPort();
    std::vector<std::string> argv{base + "/sbin/pure-ftpd",
                                  "-S",
                                  "127.0.0.1," + std::to_string(s.port),
                                  "-l",
                                  "puredb:" + db,
                                  "-E",
                                  "-H",
                                  "-A"};
    if (tls) {
      EXPECT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
      testsupport::writeFile(home.file("pure.pem"),
                             testsupport::readFile(home.file("key.pem")) +
                                 testsupport::readFile(home.file("cert.pem")));
      argv.insert(argv.end(), {"-Y", "2", "-2", home.file("pure.pem")});
    }
    s.process = testsupport::Process(argv, home.path());
    EXPECT_TRUE(testsupport::waitForTcpPort(s.port)) << s.process.errors();
    return s;
  }

  // The scripted server (peers/scripted_transfer_server.py) with a JSON script.
  Server startScripted(const std::string &scriptJson) {
    Server s;
    s.root = makeRoot("scripted");
    s.port = testsupport::freeTcpPort();
    testsupport::writeFile(home.file("script.json"), scriptJson);
    s.process = testsupport::Process(
        {"/usr/bin/python3",
         std::string(FERROWEN_SOURCE_DIR) + "/tests/interop/ftp/peers/scripted_transfer_server.py",
         std::to_string(s.port), home.file("script.json"), s.root},
        home.path());
    EXPECT_TRUE(testsupport::waitForTcpPort(s.port)) << s.process.errors();
    return s;
  }

  static std::string address(const Server &s) { return "127.0.0.1:" + std::to_string(s.port); }

  testsupport::TempDir home{"ferrowen-ftp7"};
  std::shared_ptr<ServicesDouble> services;
  std::shared_ptr<ErrorDelegate> delegate;
  std::shared_ptr<ui::Window> window;
  std::unique_ptr<ui::Probe> probe;
  std::shared_ptr<RunLoop> connLoop;
  std::shared_ptr<FTPConnection> conn;
  // Makes the connection (on its thread); a plain FTPConnection when empty.
  std::function<std::shared_ptr<FTPConnection>()> makeConnection;
};

} // namespace taskpeers
