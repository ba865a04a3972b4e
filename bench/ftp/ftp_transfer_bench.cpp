// Throughput of a 1 GiB download and upload over loopback from vsftpd, by the FTP connection and,
// beside it, by curl doing the same. Each reports bytes per second; the two are printed side by
// side by Google Benchmark. Needs root (vsftpd starts as root) and /usr/bin/curl.
//   bench_ftp_transfer_bench --benchmark_counters_tabular=true
#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPConnection.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

extern char **environ;

using namespace platform;

namespace {

constexpr int64_t kFileSize = int64_t(1) << 30;

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool waitForPort(int port) {
  for (int i = 0; i < 200; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return true;
    ::usleep(50000);
  }
  return false;
}

// vsftpd over a folder with the 1 GiB file, anonymous logins that may upload.
struct Vsftpd {
  std::string dir, root;
  int port = 0;
  pid_t pid = -1;

  bool start() {
    passwd *ftp = ::getpwnam("ftp");
    if (::geteuid() != 0 || !ftp || ::access("/usr/sbin/vsftpd", X_OK) != 0) return false;
    char tmpl[] = "/tmp/ferrowen-ftpbench-XXXXXX";
    dir = ::mkdtemp(tmpl);
    ::chmod(dir.c_str(), 0755);
    root = dir + "/root";
    ::mkdir(root.c_str(), 0755);
    ::mkdir((root + "/pub").c_str(), 0777);
    ::chown((root + "/pub").c_str(), ftp->pw_uid, ftp->pw_gid);
    ::mkdir("/var/run/vsftpd", 0755);
    ::mkdir("/var/run/vsftpd/empty", 0755);
    // A 1 MiB random block, repeated: incompressible enough and quick to write.
    std::string block(1 << 20, '\0');
    std::mt19937 rng(1);
    for (auto &c : block)
      c = char(rng());
    std::ofstream out(root + "/pub/big.bin", std::ios::binary);
    for (int i = 0; i < 1024; ++i)
      out.write(block.data(), std::streamsize(block.size()));
    out.close();
    port = freePort();
    std::ofstream conf(dir + "/vsftpd.conf");
    conf << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port
         << "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
            "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root="
         << root
         << "\nwrite_enable=YES\nanon_upload_enable=YES\nanon_other_write_enable=YES\n"
            "anon_umask=022\npasv_enable=YES\npasv_address=127.0.0.1\n"
            "secure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=NO\nvsftpd_log_file="
         << dir << "/vsftpd.log\ndual_log_enable=NO\nssl_enable=NO\n";
    conf.close();
    std::string confPath = dir + "/vsftpd.conf";
    char *argv[] = {const_cast<char *>("/usr/sbin/vsftpd"), confPath.data(), nullptr};
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return false;
    return waitForPort(port);
  }
  ~Vsftpd() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
};

Vsftpd &server() {
  static Vsftpd s;
  static bool started = s.start();
  (void)started;
  return s;
}

// One connection on its own thread, logged in and idle.
struct Session {
  std::shared_ptr<RunLoop> loop;
  std::shared_ptr<FTPConnection> conn;

  explicit Session(int port) {
    RunLoop::makeMainThread();
    std::shared_ptr<FTPConnection> made;
    std::atomic<bool> ready{false};
    loop = startThread("ftp-bench", [&] {
      made = std::make_shared<FTPConnection>();
      ready = true;
    });
    RunLoop::main()->runUntil([&] { return ready.load(); }, seconds(10));
    conn = made;
    conn->setServerAddress("127.0.0.1:" + std::to_string(port) + "/pub");
    conn->setSkipSSL(true);
    conn->connect();
    RunLoop::main()->runUntil([&] { return conn->fIsLoggedIn() && !conn->isBusy(); }, seconds(30));
    // The report of a transfer cut by the connect's own disconnect comes half a second later.
    RunLoop::main()->runUntil([] { return false; }, seconds(0.6));
  }
  bool waitIdle() {
    RunLoop::main()->runUntil([] { return false; }, seconds(0.05));
    return RunLoop::main()->runUntil([&] { return !conn->isBusy(); }, seconds(600));
  }
  ~Session() {
    std::atomic<bool> done{false};
    auto c = std::move(conn);
    loop->perform([c, &done]() mutable {
      c->disconnectFromServer();
      c.reset();
      done = true;
    });
    c.reset();
    RunLoop::main()->runUntil([&] { return done.load(); }, seconds(10));
    loop->stop();
  }
};

void prepareHome() {
  static std::string home = [] {
    char tmpl[] = "/tmp/ferrowen-ftpbench-home-XXXXXX";
    std::string h = ::mkdtemp(tmpl);
    Paths::setHome(h);
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
    return h;
  }();
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_FerrowenDownload(benchmark::State &state) {
  Vsftpd &s = server();
  if (s.port == 0) {
    state.SkipWithError("vsftpd cannot run here (needs root)");
    return;
  }
  prepareHome();
  Session session(s.port);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    session.conn->downloadFile("big.bin", kFileSize, false, true, "/pub", false, false, 0);
    session.waitIdle();
    state.SetIterationTime(seconds(start));
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
  std::filesystem::remove(Paths::tmp() + "/big.bin");
}

void BM_FerrowenUpload(benchmark::State &state) {
  Vsftpd &s = server();
  if (s.port == 0) {
    state.SkipWithError("vsftpd cannot run here (needs root)");
    return;
  }
  prepareHome();
  Session session(s.port);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    session.conn->uploadFile("up.bin", s.root + "/pub/big.bin", "/pub", true, 0);
    session.waitIdle();
    state.SetIterationTime(seconds(start));
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
  std::filesystem::remove(s.root + "/pub/up.bin");
}

void runCurl(benchmark::State &state, const std::string &arguments) {
  Vsftpd &s = server();
  if (s.port == 0 || ::access("/usr/bin/curl", X_OK) != 0) {
    state.SkipWithError("vsftpd or curl cannot run here");
    return;
  }
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::string command = "/usr/bin/curl -s --ftp-pasv " + arguments;
    if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
    state.SetIterationTime(seconds(start));
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

std::string url(const std::string &name) {
  return "ftp://127.0.0.1:" + std::to_string(server().port) + "/pub/" + name;
}
void BM_CurlDownload(benchmark::State &state) {
  runCurl(state, "-o /dev/null " + url("big.bin"));
}
void BM_CurlUpload(benchmark::State &state) {
  runCurl(state, "-T " + server().root + "/pub/big.bin " + url("curl-up.bin"));
  std::filesystem::remove(server().root + "/pub/curl-up.bin");
}

} // namespace

BENCHMARK(BM_FerrowenDownload)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlDownload)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FerrowenUpload)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlUpload)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
