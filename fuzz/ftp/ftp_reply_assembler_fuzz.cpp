// The reply assembler on whatever a server may send, cut into reads of any size, with the
// login's lenient rules on or off. It must never fail, consume exactly the complete lines, and
// hand on only replies that hold text; past its bounds it stops and says why, and below them it
// holds no more than a line's bound of unfinished bytes.
#include "app/ftp/FTPReplyAssembler.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const bool login = data[0] & 1;
  const size_t chunk = 1 + data[1] % 64;
  data += 2;
  size -= 2;

  FTPReplyAssembler a;
  size_t linesTaken = 0;
  FTPReplyAssembler::Hooks hooks;
  hooks.isLoginTask = [&] { return login; };
  hooks.lineTaken = [&](const std::string &line) {
    // Every line ends with the byte that ended it.
    if (line.empty() || (line.back() != '\n' && line.back() != '\0')) std::abort();
    ++linesTaken;
  };
  hooks.replyComplete = [&] {
    if (a.replyText.empty()) std::abort();
    a.replyText.clear(); // as when the next command is written
  };
  size_t fed = 0;
  while (fed < size) {
    size_t n = std::min(chunk, size - fed);
    a.dataRead.insert(a.dataRead.end(), data + fed, data + fed + n);
    fed += n;
    a.doTasks(hooks);
    if (!a.failure.empty()) return 0; // the session closes here
    // What stays is one partial line at most, below the bounds.
    if (FTPReplyAssembler::hasLineToPopLineFromData(a.dataRead) ||
        a.dataRead.size() >= FTPReplyAssembler::kMaxLineBytes ||
        a.replyText.size() >= FTPReplyAssembler::kMaxReplyBytes)
      std::abort();
  }
  return 0;
}
