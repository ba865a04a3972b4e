// Throughput of the SSH cipher engine (AES-256-CBC, chained across 16 KiB packets as the
// transport runs it) and of its HMAC-SHA1, beside `openssl speed` on the same block size. Each
// benchmark prints our bytes per second, openssl's and the ratio (ours / openssl).
//   bench_crypto_bench --benchmark_counters_tabular=true
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/crypto/ClsCrypt.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr unsigned int kPacket = 16384;

// The k-bytes-per-second figure of `openssl speed` for one algorithm at kPacket bytes.
double opensslSpeed(const char *args) {
  const std::string cmd = "openssl speed -seconds 1 -bytes " + std::to_string(kPacket) + " " +
                          std::string(args) + " 2>/dev/null";
  FILE *p = ::popen(cmd.c_str(), "r");
  if (!p) return 0;
  char line[512];
  std::string last;
  while (std::fgets(line, sizeof line, p))
    last = line;
  ::pclose(p);
  const size_t at = last.find_last_of(' ');
  return at == std::string::npos ? 0 : std::atof(last.c_str() + at + 1) * 1000.0;
}

using Clock = std::chrono::steady_clock;

// Our figure is taken before openssl runs.
void report(benchmark::State &state, Clock::time_point start, const char *opensslArgs) {
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  const double opensslBytesPerSec = opensslSpeed(opensslArgs);
  const double bytes = static_cast<double>(state.iterations()) * kPacket;
  const double ours = secs > 0 ? bytes / secs : 0;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["ours_B/s"] = ours;
  state.counters["openssl_B/s"] = opensslBytesPerSec;
  state.counters["ratio"] = opensslBytesPerSec > 0 ? ours / opensslBytesPerSec : 0;
}

void BM_ClsCrypt_Aes256Cbc(benchmark::State &state) {
  ClsCrypt c;
  DataBuffer key, iv, in, out;
  key.appendCharN(0x42, 32);
  iv.appendCharN(0x24, 16);
  in.appendCharN(0x5a, kPacket);
  c.put_CryptAlgorithm("aes");
  c.put_KeyLength(256);
  c.put_SecretKey(key);
  c.put_IV(iv);
  c.put_LastChunk(false);
  LogNull log;
  bool first = true;
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    c.put_FirstChunk(first);
    first = false;
    out.clear();
    c.encrypt(in, out, nullptr, log);
    benchmark::DoNotOptimize(out.getData2());
  }
  report(state, start, "-evp aes-256-cbc");
}

void BM_ClsCrypt_HmacSha1(benchmark::State &state) {
  ClsCrypt c;
  DataBuffer key, in, out;
  key.appendCharN(0x11, 20);
  in.appendCharN(0x5a, kPacket);
  c.put_HashAlgorithm("sha1");
  c.SetHmacKeyBytes(key);
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    c.HmacBytes(in, out);
    benchmark::DoNotOptimize(out.getData2());
  }
  report(state, start, "-hmac sha1");
}

BENCHMARK(BM_ClsCrypt_Aes256Cbc);
BENCHMARK(BM_ClsCrypt_HmacSha1);

} // namespace
