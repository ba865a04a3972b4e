// Downloading and uploading 1 GiB over SFTP to a local sshd, by the library's client and by
// OpenSSH's sftp in turn, both forced to aes256-cbc and hmac-sha1, each timed from before its
// connection to the end of its transfer. Each row shows both median rates and their ratio (ours /
// OpenSSH; above 1 is faster than OpenSSH's sftp).
//   bench_sftp_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sshlib/crypto/ClsSshKey.h"
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

struct Setup {
  TempDir dir{"ferrowen-sftp-bench"};
  std::string keyPath = sshHostKey("rsa", 2048);
  std::string keys = dir.file("authorized_keys");
  std::unique_ptr<SshPeer> peer;
  std::string src = dir.file("src");
  Setup() {
    runCommand("ssh-keygen -y -f '" + keyPath + "' > '" + keys + "'");
    SshPeerOptions o;
    o.ciphers = "aes256-cbc";
    o.macs = "hmac-sha1";
    o.authorizedKeys = keys;
    peer = SshPeer::sshd(o);
    if (!peer->started()) fail(peer->why());
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

// OpenSSH's sftp running one command in batch mode.
void openSsh(const std::string &command) {
  Setup &s = setup();
  std::string batch = s.dir.file("batch");
  writeFile(batch, command + "\n");
  std::string cmd =
      "sftp -q -b '" + batch + "' -i '" + s.keyPath +
      "' -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
      "-o Ciphers=aes256-cbc -o MACs=hmac-sha1 -o HostKeyAlgorithms=+ssh-rsa "
      "-o PubkeyAcceptedAlgorithms=+ssh-rsa -o KexAlgorithms=+diffie-hellman-group14-sha1 -P " +
      std::to_string(s.peer->port()) + " root@127.0.0.1 >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) fail("OpenSSH sftp failed: " + cmd);
}

// One transfer by the library, timed as OpenSSH's sftp is timed: from before the connection to
// the end of the transfer (connect, key exchange, login, SFTP start, transfer).
double ours(bool upload) {
  Setup &s = setup();
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
  if (!key.loadKeyFile(s.keyPath.c_str(), sftp.m_log) || !sftpConnect(sftp, s.peer->port()) ||
      !sftp.AuthenticatePk(xs(a, "root"), &key, nullptr) || !sftp.InitializeSftp(nullptr))
    fail("session: " + logText(sftp));
  bool ok = upload ? sftp.UploadFileByName(xs(a, "/dev/null"), xs(b, s.src), nullptr)
                   : sftp.DownloadFileByName(xs(a, s.src), xs(b, "/dev/null"), nullptr);
  sftp.Disconnect();
  double took = seconds(t0);
  if (!ok) fail("transfer: " + logText(sftp));
  return took;
}

double theirs(bool upload) {
  Setup &s = setup();
  auto t0 = std::chrono::steady_clock::now();
  openSsh(upload ? "put '" + s.src + "' /dev/null" : "get '" + s.src + "' /dev/null");
  return seconds(t0);
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
  const bool upload = state.range(0) == 1;
  const int runs = std::getenv("FERROWEN_SFTP_BENCH_RUNS")
                       ? std::atoi(std::getenv("FERROWEN_SFTP_BENCH_RUNS"))
                       : 3;
  std::vector<double> oursS, theirsS;
  for (auto _ : state) {
    for (int i = 0; i < runs; ++i) {
      oursS.push_back(ours(upload));
      theirsS.push_back(theirs(upload));
    }
  }
  const double mib = static_cast<double>(kSize) / kMiB;
  const double o = median(oursS), t = median(theirsS);
  state.counters["ours_MiB_s"] = mib / o;
  state.counters["openssh_MiB_s"] = mib / t;
  state.counters["ratio"] = t / o;
  state.counters["runs"] = runs;
  state.SetLabel(upload ? "upload" : "download");
}
BENCHMARK(BM_Sftp)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace
