// The packet reader and dispatcher over arbitrary bytes: no crash, no read past a packet, and
// every payload within the bounds the reader enforces.
#include <cstdlib>

#include "fuzz/ssh/SshFuzzSocket.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/ssh/SshChannel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  SshTransport t;
  LogNull log;
  // The first byte chooses plain packets or packets under aes128-cbc with hmac-sha1.
  if (data[0] & 1) {
    t.pendingCipherIn = 2;
    t.pendingMacIn = 1;
    t.encKeyServerToClient.appendCharN(3, 16);
    t.ivServerToClient.appendCharN(4, 16);
    t.macKeyServerToClient.appendCharN(5, 20);
    t.installIncomingKeys(log);
  }
  if (!feedTransport(t, data + 1, size - 1)) return 0;
  SshChannel ch;
  t.channelOpened(3, 4);
  for (int i = 0; i < 50 && t.socket.isSock(); ++i) {
    DataBuffer out;
    unsigned int type = 0;
    bool eof, close, disc, satisfied;
    SocketReadFailInfo fi;
    bool ok = t.generalizedRead(i % 2 ? 99 : 3, 0, 0, &ch, eof, close, out, type, disc, nullptr,
                                log, fi, satisfied, false);
    if (out.getSize() > SshTransport::kMaxPacketLength) std::abort();
    if (!ok) break;
  }
  return 0;
}
