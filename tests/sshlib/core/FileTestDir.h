// A private temporary folder per test, and small file helpers, for the tests of the file layer,
// outputs, data sources and the log files.
#pragma once

#include "tests/support/TestSupport.h"

#include <filesystem>
#include <string>

namespace filetest {

using TempDir = testsupport::TempDir;

inline void writeBytes(const std::string &path, const std::string &data) {
  testsupport::writeFile(path, data);
}

inline std::string readBytes(const std::string &path) {
  return testsupport::readFile(path);
}

inline bool exists(const std::string &path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Runs a shell command; returns its exit status and, in *out, what it wrote (both streams).
inline int run(const std::string &command, std::string *out = nullptr) {
  int status = -1;
  std::string text = testsupport::runCommand(command + " 2>&1", &status);
  if (out) *out = std::move(text);
  return status;
}

} // namespace filetest
