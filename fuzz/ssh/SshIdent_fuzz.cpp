// The server identification reader over arbitrary bytes: no crash, lines and their number stay
// bounded, and what is stored is an identification without its line end.
#include <cstdlib>
#include <cstring>

#include "fuzz/ssh/SshFuzzSocket.h"
#include "sshlib/core/LogNull.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  SshTransport t;
  LogNull log;
  if (!feedTransport(t, data, size)) return 0;
  if (t.readServerVersion(nullptr, log)) {
    const char *id = t.serverIdent.getString();
    if (std::strncmp(id, "SSH-", 4) != 0) std::abort();
    if ((unsigned int)t.serverIdent.getSize() > SshTransport::kMaxIdentLineLen) std::abort();
    char last = t.serverIdent.lastChar();
    if (last == '\r' || last == '\n') std::abort();
  }
  return 0;
}
