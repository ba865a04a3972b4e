// Runs the system's own encoders and decoders (coreutils, sharutils, Python, iconv) as oracles
// for the library's codings. Every call works in a private temporary folder.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace externaltool {

class Scratch {
public:
  Scratch() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ferrowen-core-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~Scratch() {
    if (!path_.empty()) {
      const std::string cmd = "rm -rf '" + path_ + "'";
      if (std::system(cmd.c_str()) != 0) {
      }
    }
  }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  bool ok() const { return !path_.empty(); }

private:
  std::string path_;
};

inline void writeBytes(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string readBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Feeds input to a shell command and returns its standard output; *status gets the exit code.
inline std::string filter(const std::string &command, const std::string &input,
                          int *status = nullptr) {
  Scratch s;
  writeBytes(s.file("in"), input);
  const std::string cmd =
      "(" + command + ") < '" + s.file("in") + "' > '" + s.file("out") + "' 2>/dev/null";
  const int rc = std::system(cmd.c_str());
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return readBytes(s.file("out"));
}

inline std::string randomBytes(std::mt19937 &rng, size_t n) {
  std::string s(n, '\0');
  for (auto &c : s)
    c = static_cast<char>(rng() & 0xFF);
  return s;
}

} // namespace externaltool
