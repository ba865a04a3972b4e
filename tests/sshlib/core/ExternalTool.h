// Runs the system's own encoders and decoders (coreutils, sharutils, Python, iconv) as oracles
// for the library's codings. Every call works in a private temporary folder.
#pragma once

#include "tests/sshlib/core/FileTestDir.h"

#include <cstdlib>
#include <random>
#include <string>
#include <sys/wait.h>

namespace externaltool {

using Scratch = testsupport::TempDir;
using filetest::readBytes;
using filetest::writeBytes;

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
