// Downloading and uploading 1 GiB over SFTP to a local sshd with Debian's default settings, by
// the library's client and by OpenSSH's sftp in turn, each timed from before its connection to
// the end of its transfer. Two ciphers: chacha20-poly1305@openssh.com, which both clients choose
// against the stock server, and aes128-gcm@openssh.com, the only cipher a second server offers.
// Each row shows both median rates, their ratio (ours / OpenSSH; above 1 is faster than
// OpenSSH's sftp) and the CPU seconds each client used per run (ours: this process; OpenSSH's:
// sftp and the ssh it runs).
//   bench_sftp_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/SftpPeers.h"

namespace {

using namespace testsupport;
constexpr double kMiB = 1024.0 * 1024.0;
// 1 GiB unless FERROWEN_SFTP_BENCH_MIB asks for another size.
const long long kSize = std::getenv("FERROWEN_SFTP_BENCH_MIB")
                            ? std::atoll(std::getenv("FERROWEN_SFTP_BENCH_MIB")) << 20
                            : 1LL << 30;

[[noreturn]] void fail(const std::string &why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::abort();
}

const char *const kCiphers[] = {"chacha20-poly1305@openssh.com", "aes128-gcm@openssh.com"};

struct Setup {
  TempDir dir{"ferrowen-sftp-bench"};
  std::string keyPath = sshHostKey("rsa", 2048);
  std::string keys = dir.file("authorized_keys");
  // One server a cipher: stock, and stock but for its cipher list.
  std::unique_ptr<SshPeer> peers[2];
  std::string src = dir.file("src");
  Setup() {
    runCommand("ssh-keygen -y -f '" + keyPath + "' > '" + keys + "'");
    for (int i = 0; i < 2; ++i) {
      SshPeerOptions o;
      if (i == 1) o.ciphers = kCiphers[1];
      o.authorizedKeys = keys;
      peers[i] = SshPeer::sshd(o);
      if (!peers[i]->started()) fail(peers[i]->why());
    }
    // A sparse file: it takes no room on a shared disk, and reading it costs what any file
    // in the page cache costs. What arrives goes to /dev/null on both sides; byte-exact
    // transfers are the tests' matter.
    runCommand("truncate -s " + std::to_string(kSize) + " '" + src + "'");
  }
};

Setup &setup() {
  static Setup s;
  return s;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double cpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return (double)u.ru_utime.tv_sec + (double)u.ru_stime.tv_sec +
         ((double)u.ru_utime.tv_usec + (double)u.ru_stime.tv_usec) / 1e6;
}

struct Run {
  double seconds = 0, cpu = 0;
};

// OpenSSH's sftp running one command in batch mode, with its default algorithms.
void openSsh(int peer, const std::string &command) {
  Setup &s = setup();
  std::string batch = s.dir.file("batch");
  writeFile(batch, command + "\n");
  std::string cmd = "sftp -q -b '" + batch + "' -i '" + s.keyPath +
                    "' -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -P " +
                    std::to_string(s.peers[peer]->port()) + " root@127.0.0.1 >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) fail("OpenSSH sftp failed: " + cmd);
}

// One transfer by the library, timed as OpenSSH's sftp is timed: from before the connection to
// the end of the transfer (connect, key exchange, login, SFTP start, transfer).
Run ours(int peer, bool upload) {
  Setup &s = setup();
  const double cpu0 = cpuSeconds(RUSAGE_SELF);
  auto t0 = std::chrono::steady_clock::now();
  ClsSFtp sftp;
  // FERROWEN_SFTP_SEND_AHEAD: WRITE requests kept unanswered (the library's default else).
  // FERROWEN_SFTP_READ_AHEAD: READ requests kept in flight (the library's default else).
  // FERROWEN_SFTP_WINDOW: the session channel's window in bytes (the library's default else).
  if (const char *n = std::getenv("FERROWEN_SFTP_WINDOW"))
    sftp.channelInitialWindow = (unsigned int)std::atol(n);
  if (const char *n = std::getenv("FERROWEN_SFTP_SEND_AHEAD"))
    sftp.sendAheadMaxCount = std::atoi(n);
  if (const char *n = std::getenv("FERROWEN_SFTP_READ_AHEAD")) sftp.readAheadCount = std::atoi(n);
  ClsSshKey key;
  XString a, b;
  if (!key.loadKeyFile(s.keyPath.c_str(), sftp.m_log) ||
      !sftpConnect(sftp, s.peers[peer]->port()) ||
      !sftp.AuthenticatePk(xs(a, "root"), &key, nullptr) || !sftp.InitializeSftp(nullptr))
    fail("session: " + logText(sftp));
  if (sftp.transport->activeCipherOut !=
      (peer == 0 ? SshTransport::kCipherChaCha20Poly1305 : SshTransport::kCipherAes128Gcm))
    fail("the session did not choose " + std::string(kCiphers[peer]));
  bool ok = upload ? sftp.UploadFileByName(xs(a, "/dev/null"), xs(b, s.src), nullptr)
                   : sftp.DownloadFileByName(xs(a, s.src), xs(b, "/dev/null"), nullptr);
  sftp.Disconnect();
  Run r{seconds(t0), cpuSeconds(RUSAGE_SELF) - cpu0};
  if (!ok) fail("transfer: " + logText(sftp));
  return r;
}

Run theirs(int peer, bool upload) {
  Setup &s = setup();
  const double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
  auto t0 = std::chrono::steady_clock::now();
  openSsh(peer, upload ? "put '" + s.src + "' /dev/null" : "get '" + s.src + "' /dev/null");
  return {seconds(t0), cpuSeconds(RUSAGE_CHILDREN) - cpu0};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// FERROWEN_SFTP_BENCH_RUNS pairs of runs (3 by default), ours and OpenSSH's in turn, so that
// both meet the same state of a shared machine; the medians are compared.
void BM_Sftp(benchmark::State &state) {
  setup();
  const int peer = (int)state.range(0);
  const bool upload = state.range(1) == 1;
  const int runs = std::getenv("FERROWEN_SFTP_BENCH_RUNS")
                       ? std::atoi(std::getenv("FERROWEN_SFTP_BENCH_RUNS"))
                       : 3;
  std::vector<double> oursS, theirsS, oursCpu, theirsCpu;
  for (auto _ : state) {
    for (int i = 0; i < runs; ++i) {
      Run o = ours(peer, upload), t = theirs(peer, upload);
      oursS.push_back(o.seconds);
      oursCpu.push_back(o.cpu);
      theirsS.push_back(t.seconds);
      theirsCpu.push_back(t.cpu);
    }
  }
  const double mib = static_cast<double>(kSize) / kMiB;
  const double o = median(oursS), t = median(theirsS);
  state.counters["ours_MiB_s"] = mib / o;
  state.counters["openssh_MiB_s"] = mib / t;
  state.counters["ratio"] = t / o;
  state.counters["ours_cpu_s"] = median(oursCpu);
  state.counters["openssh_cpu_s"] = median(theirsCpu);
  state.counters["runs"] = runs;
  state.SetLabel(std::string(upload ? "upload " : "download ") + kCiphers[peer]);
}
BENCHMARK(BM_Sftp)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace
