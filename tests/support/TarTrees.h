// Folder trees for archive tests: a sample tree with long names, sizes around block boundaries
// and sub-second times, and the comparison of two trees by content (diff -r) and file times.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/TestSupport.h"

namespace tartrees {

// Runs a shell command; true when it exited 0.
inline bool sh(const std::string &cmd) {
  int rc = -1;
  testsupport::runCommand("(" + cmd + ") >/dev/null 2>&1", &rc);
  return rc == 0;
}

// Names up to maxName bytes long (100, 101, 155+100 and 256+ when allowed).
inline void makeSampleTree(const std::string &root, size_t maxName) {
  namespace fs = std::filesystem;
  const std::string deep =
      std::string(99, 'p') + "/" + std::string(55, 'q') + "/" + std::string(100, 'n');
  const std::string names[] = {"a.txt",
                               "empty",
                               "sub/one",
                               "sub/two/three.bin",
                               std::string(100, 'x'),
                               std::string(50, 'y') + "/" + std::string(50, 'z'),
                               deep,
                               std::string(99, 'q') + "/" + std::string(160, 'r')};
  int i = 0;
  for (const std::string &n : names) {
    ++i;
    if (n.size() > maxName) continue;
    fs::create_directories(fs::path(root + "/" + n).parent_path());
    std::string data;
    for (size_t k = 0, size = (i == 2 ? 0 : i * 20011 + (i % 3) * 512); k < size; ++k)
      data.push_back(static_cast<char>('a' + (k * 7 + i) % 26));
    testsupport::writeFile(root + "/" + n, data);
    sh("touch -d '2021-03-0" + std::to_string(i % 9 + 1) + " 10:00:00.25' '" + root + "/" + n +
       "'");
  }
  // Times outside the octal fields: before 1970 and past 2242.
  if (maxName >= 1000) {
    for (const char *when : {"-86400", "9000000000"}) {
      testsupport::writeFile(root + "/t" + when, when);
      sh("touch -d @" + std::string(when) + " '" + root + "/t" + when + "'");
    }
  }
  // Incompressible data, so that compressed archives outgrow the decoders' buffers.
  sh("head -c 300000 /dev/urandom > '" + root + "/random.bin'");
  fs::create_directories(root + "/emptydir");
}

// Same files with the same contents and whole-second modification times.
inline bool sameTree(const std::string &a, const std::string &b, std::string *why = nullptr) {
  namespace fs = std::filesystem;
  if (!sh("diff -r '" + a + "' '" + b + "'")) {
    if (why) *why = testsupport::runCommand("diff -rq '" + a + "' '" + b + "' 2>&1");
    return false;
  }
  for (const auto &e : fs::recursive_directory_iterator(a)) {
    if (!e.is_regular_file()) continue;
    const fs::path other = fs::path(b) / fs::relative(e.path(), a);
    auto secs = [](const fs::path &p) {
      return std::chrono::floor<std::chrono::seconds>(fs::last_write_time(p).time_since_epoch())
          .count();
    };
    if (secs(e.path()) != secs(other)) {
      if (why)
        *why = "time differs: " + other.string() + " " + std::to_string(secs(e.path())) + " " +
               std::to_string(secs(other));
      return false;
    }
  }
  return true;
}

// Runs a Python script (Debian's interpreter, for tarfile and zipfile) in dir; true when it
// exited 0.
inline bool python(const std::string &dir, const std::string &script) {
  testsupport::writeFile(dir + "/make.py", script);
  return sh("cd '" + dir + "' && /usr/bin/python3 make.py");
}

// A free-space query for the unpackers that sees a disk with `budget` bytes beyond `margin`
// left once everything now below folder is counted, shrinking as files are written there.
inline std::function<int64_t(int)> smallDisk(const std::string &folder, int64_t budget,
                                             int64_t margin) {
  namespace fs = std::filesystem;
  auto used = [folder] {
    int64_t total = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != decltype(it)();
         it.increment(ec))
      if (it->is_regular_file(ec) && !it->is_symlink(ec))
        total += static_cast<int64_t>(it->file_size(ec));
    return total;
  };
  const int64_t start = used();
  return [=](int) { return margin + budget - (used() - start); };
}

} // namespace tartrees
