// Unpacking a large archive (about 256 MiB in 2,048 files, plain and gzip) by the library's tar
// object and, in the same iteration, by GNU tar. Each row shows both rates and their ratio
// (ours / GNU tar; above 1 is faster than GNU tar).
//   bench_untar_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "sshlib/core/ClsTar.h"

namespace {

namespace fs = std::filesystem;
const fs::path kWork = fs::temp_directory_path() / "ferrowen-untar-bench";
constexpr double kMiB = 1024.0 * 1024.0;

void run(const std::string &cmd) {
  if (std::system(cmd.c_str()) != 0) std::abort();
}

// The work folder goes when the program ends.
struct WorkCleanup {
  ~WorkCleanup() {
    std::error_code ec;
    fs::remove_all(kWork, ec);
  }
} cleanup;

// Built once: half random, half text-like data, so that gzip has something to do.
const fs::path &archive() {
  static const fs::path tarFile = [] {
    fs::remove_all(kWork);
    fs::create_directories(kWork / "src");
    const std::string src = (kWork / "src").string();
    run("cd '" + src +
        "' && for d in $(seq 0 15); do mkdir d$d; for f in $(seq 0 127); do "
        "if [ $((f % 2)) = 0 ]; then head -c 131072 /dev/urandom; else yes \"line $d $f\" | "
        "head -c 131072; fi > d$d/f$f; done; done");
    run("tar -C '" + src + "' -cf '" + (kWork / "a.tar").string() + "' . && gzip -1 -k '" +
        (kWork / "a.tar").string() + "'");
    return kWork / "a.tar";
  }();
  return tarFile;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_Untar(benchmark::State &state) {
  const bool gz = state.range(0) == 1;
  const std::string file = archive().string() + (gz ? ".gz" : "");
  const double mib = static_cast<double>(fs::file_size(archive())) / kMiB;
  double ours = 0, gnu = 0;
  for (auto _ : state) {
    fs::remove_all(kWork / "o1");
    fs::remove_all(kWork / "o2");
    fs::create_directories(kWork / "o2");
    auto t0 = std::chrono::steady_clock::now();
    ClsTar tar;
    XString dir, path;
    dir.setFromUtf8((kWork / "o1").string().c_str());
    path.setFromUtf8(file.c_str());
    tar.put_UntarFromDir(dir);
    if (!(gz ? tar.UntarGz(path, nullptr) : tar.Untar(path, nullptr) >= 0)) std::abort();
    const double a = seconds(t0);
    t0 = std::chrono::steady_clock::now();
    run("tar -C '" + (kWork / "o2").string() + "' -x" + (gz ? "z" : "") + "f '" + file + "'");
    const double b = seconds(t0);
    state.SetIterationTime(a);
    ours += a;
    gnu += b;
  }
  state.counters["ours_MiBps"] = mib * state.iterations() / ours;
  state.counters["gnutar_MiBps"] = mib * state.iterations() / gnu;
  state.counters["ratio"] = gnu / ours;
  state.SetLabel(gz ? "tar.gz" : "tar");
}

BENCHMARK(BM_Untar)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
