// Runs a libFuzzer target without libFuzzer (g++ builds): every file of the seed corpus, then a
// bounded number of inputs made by mutating the seeds with a fixed-seed generator, so that CI
// replays the same inputs each time. Usage: <target> --runs=N [corpus-dir]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  long runs = 10000;
  std::vector<std::vector<uint8_t>> seeds;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--runs=", 7) == 0) {
      runs = std::strtol(argv[i] + 7, nullptr, 10);
      continue;
    }
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(argv[i], ec)) {
      std::ifstream in(e.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  for (const auto &s : seeds) LLVMFuzzerTestOneInput(s.data(), s.size());
  if (seeds.empty()) seeds.emplace_back();

  std::mt19937_64 rng(0x5eed);
  for (long r = 0; r < runs; ++r) {
    std::vector<uint8_t> in = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < edits; ++k) {
      const size_t pos = in.empty() ? 0 : rng() % (in.size() + 1);
      switch (rng() % 4) {
      case 0: // insert random bytes
        in.insert(in.begin() + static_cast<long>(pos), 1 + rng() % 16, static_cast<uint8_t>(rng()));
        break;
      case 1: // overwrite a byte
        if (!in.empty()) in[pos % in.size()] = static_cast<uint8_t>(rng());
        break;
      case 2: // delete a run
        if (!in.empty()) {
          const size_t n = std::min(in.size() - pos % in.size(), 1 + rng() % 16);
          in.erase(in.begin() + static_cast<long>(pos % in.size()),
                   in.begin() + static_cast<long>(pos % in.size() + n));
        }
        break;
      default: // truncate
        in.resize(pos);
        break;
      }
    }
    LLVMFuzzerTestOneInput(in.data(), in.size());
  }
  std::printf("fuzz driver: %zu seeds, %ld generated inputs, no failure\n", seeds.size(), runs);
  return 0;
}
