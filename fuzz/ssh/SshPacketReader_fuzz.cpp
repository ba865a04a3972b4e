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
  // The first byte chooses plain packets or packets under aes128-cbc with hmac-sha1,
  // chacha20-poly1305, aes128-gcm or aes128-ctr with hmac-sha2-256-etm.
  static const struct {
    int cipher, mac, keyLen, ivLen, macKeyLen;
  } modes[] = {{0, 0, 0, 0, 0},
               {2, 1, 16, 16, 20},
               {SshTransport::kCipherChaCha20Poly1305, 0, 64, 0, 0},
               {SshTransport::kCipherAes128Gcm, 0, 16, 12, 0},
               {SshTransport::kCipherAes128Ctr, SshTransport::kMacSha256Etm, 16, 16, 32}};
  const auto &m = modes[data[0] % 5];
  if (m.cipher != 0) {
    t.pendingCipherIn = m.cipher;
    t.pendingMacIn = m.mac;
    t.encKeyServerToClient.appendCharN(3, (unsigned int)m.keyLen);
    t.ivServerToClient.appendCharN(4, (unsigned int)m.ivLen);
    t.macKeyServerToClient.appendCharN(5, (unsigned int)m.macKeyLen);
    t.installIncomingKeys(log);
  }
  if (!feedTransport(t, data + 1, size - 1)) return 0;
  SshChannel ch, other;
  other.clientChannelNum = 3;
  other.serverChannelNum = 4;
  t.channelOpened(other);
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
