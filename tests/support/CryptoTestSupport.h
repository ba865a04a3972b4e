// Byte helpers for the cryptography tests: hex in and out of the library's buffers, random bytes
// from a seeded generator, and files for the openssl/ssh-keygen/puttygen oracles.
#pragma once

#include <random>
#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "tests/support/TestSupport.h"

namespace testsupport {

inline void hexTo(const std::string &hex, DataBuffer &out) {
  out.clear();
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.appendChar(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
}

inline std::string hexOf(const unsigned char *p, unsigned int n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (unsigned int i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

inline std::string hexOf(const DataBuffer &db) {
  return hexOf(db.getData2(), db.getSize());
}

inline std::string bytesOf(const DataBuffer &db) {
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

inline void randomFill(std::mt19937 &rng, unsigned int n, DataBuffer &out) {
  out.clear();
  for (unsigned int i = 0; i < n; ++i)
    out.appendChar(static_cast<unsigned char>(rng()));
}

// Writes the buffer to a file, runs the command (which may read it), returns its standard output.
inline std::string runOn(const std::string &path, const DataBuffer &in, const std::string &command,
                         int *rc = nullptr) {
  writeFile(path, bytesOf(in));
  return runCommand(command, rc);
}

// A log that keeps its error lines, for tests of the texts an operation reports.
class ErrorLines : public LogBase {
public:
  bool LogError(const char *s) override {
    errors += s;
    errors += "\n";
    return true;
  }
  bool has(const std::string &text) const { return errors.find(text) != std::string::npos; }
  std::string errors;
};

} // namespace testsupport
