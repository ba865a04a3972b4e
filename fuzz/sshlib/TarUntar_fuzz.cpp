// The untar engine over arbitrary archives: no crash, the check-only pass and the streaming
// reader (which, matching nothing, writes nothing) end the same way whatever the chunk sizes.
#include <cstdint>
#include <cstdlib>

#include "sshlib/core/ClsTar.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/LogNull.h"

namespace {
bool stream(const uint8_t *data, size_t size, size_t chunk) {
  ClsTar tar;
  XString pattern;
  pattern.setFromUtf8("\x01no entry matches this\x01");
  tar.put_UntarMatchPattern(pattern);
  tar.setMatchPatternExactFlag();
  LogNull log;
  tar.BeginStreamingUntar(log);
  bool ok = true, finished = false;
  for (size_t at = 0; at < size && ok; at += chunk)
    ok = tar.StreamingUntarNext(
        data + at, static_cast<unsigned>(size - at < chunk ? size - at : chunk), finished, log);
  return tar.FinishStreamingUntar(log) && ok;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  ClsTar tar;
  LogNull log;
  MemoryDataSource src;
  src.initializeMemSource(reinterpret_cast<const char *>(data), static_cast<unsigned>(size), false);
  if (tar._untar(src, false, log, nullptr, nullptr) < -1) std::abort();
  const size_t chunk = size ? data[size - 1] % 37 + 1 : 1;
  if (stream(data, size, size ? size : 1) != stream(data, size, chunk)) std::abort();
  return 0;
}
