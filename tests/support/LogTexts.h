// Checks on the text rendering of a library log: one entry per line, indented by its depth. A
// test names the lines it expects the way the log writes them: a text line as it stands, a named
// value as "tag: value", or as "tag:" for any value (a context's own line reads "tag:" too).
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "sshlib/core/ClsBase.h"
#include "sshlib/core/StringBuffer.h"

namespace testsupport {

inline std::vector<std::string> logLines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t b = line.find_first_not_of(" \t");
    size_t e = line.find_last_not_of(" \t\r");
    if (b != std::string::npos) lines.push_back(line.substr(b, e - b + 1));
  }
  return lines;
}

inline bool logHasLine(const std::string &text, const std::string &want) {
  const bool anyValue = !want.empty() && want.back() == ':';
  for (const std::string &line : logLines(text))
    if (line == want || (anyValue && line.rfind(want + " ", 0) == 0)) return true;
  return false;
}

// Whether the log holds the lines of `want` in that order, others allowed between them (each
// line read as logHasLine reads it).
inline bool logHasInOrder(const std::string &text, const std::vector<std::string> &want) {
  size_t k = 0;
  for (const std::string &line : logLines(text)) {
    if (k == want.size()) break;
    const std::string &w = want[k];
    const bool anyValue = !w.empty() && w.back() == ':';
    if (line == w || (anyValue && line.rfind(w + " ", 0) == 0)) ++k;
  }
  return k == want.size();
}

// How many lines of the log read exactly `want`.
inline int countLogLines(const std::string &text, const std::string &want) {
  int n = 0;
  for (const std::string &line : logLines(text))
    n += line == want;
  return n;
}

// The lines of `want` that the log lacks, one per line (empty when none is missing).
inline std::string missingLogLines(const std::string &text, const std::vector<std::string> &want) {
  std::string missing;
  for (const std::string &w : want)
    if (!logHasLine(text, w)) missing += w + "\n";
  return missing;
}

inline std::string logTextOf(ClsBase &obj) {
  StringBuffer sb;
  obj.m_log.getText(sb);
  return sb.getString();
}

} // namespace testsupport
