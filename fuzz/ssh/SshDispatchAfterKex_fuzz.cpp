// The dispatcher of a connection whose first key exchange is over, fed messages a server chose
// (in the clear, so that every handler is in reach): no crash, keys put in force only by a whole
// exchange (which needs the first exchange's host key to sign it, so never here), and nothing
// kept past its bound: queued messages, answers held during a re-key, data beyond a window.
//
// Input: one byte of settings, then messages, each as one byte choosing the read that takes it
// (its wait code), a 16-bit big-endian length and the payload.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/ssh/SshFuzzSocket.h"
#include "sshlib/core/Logger.h"
#include "sshlib/ssh/SshChannel.h"

namespace {

void framePlain(const uint8_t *payload, unsigned int n, std::string &out) {
  unsigned int unpadded = n + 5, pad = 8 - unpadded % 8;
  if (pad < 4) pad += 8;
  unsigned int len = n + 1 + pad;
  out += {(char)(len >> 24), (char)(len >> 16), (char)(len >> 8), (char)len, (char)pad};
  out.append((const char *)payload, n);
  out.append(pad, '\0');
}

void check(bool ok) {
  if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t settings = data[0];
  std::string wire;
  std::vector<int> waits;
  static const int kWaits[] = {3, 99, 6, 9, 5, 1, 7, 3};
  for (size_t at = 1; at + 3 <= size;) {
    unsigned int n = (unsigned int)data[at + 1] << 8 | data[at + 2];
    if (n == 0 || at + 3 + n > size) break;
    waits.push_back(kWaits[data[at] % 8]);
    framePlain(data + at + 3, n, wire);
    at += 3 + n;
  }
  SshTransport t;
  Logger log;
  // As after the first exchange: its session identifier and host key (which no input can sign
  // for), the algorithms a re-key would put in force, and two open channels.
  t.initialKexDone = true;
  t.strictKex = settings & 1;
  t.kexAlgorithm = SshTransport::kKexCurve25519;
  t.hostKeyAlgorithm = SshTransport::kHostEd25519;
  t.sessionId.appendCharN(0x5a, 32);
  t.firstHostKeyBlob.appendCharN(0x17, 51);
  t.pendingCipherIn = t.pendingCipherOut = SshTransport::kCipherAes128Gcm;
  if (!feedTransport(t, (const uint8_t *)wire.data(), wire.size())) return 0;
  SshChannel a, b;
  a.clientChannelNum = 0;
  b.clientChannelNum = 1;
  b.serverChannelNum = 7;
  for (SshChannel *c : {&a, &b}) {
    c->initialWindowSize = c->m_curClientWinSize = settings & 2 ? 4096 : 1 << 20;
    c->m_curServerWinSize = 1000;
    t.channelOpened(*c);
  }
  for (size_t i = 0; i < waits.size() + 4 && t.socket.isSock(); ++i) {
    const int wait = waits.empty() ? 3 : waits[i % waits.size()];
    DataBuffer out;
    unsigned int type = 0;
    bool eof, close, disc, satisfied;
    SocketReadFailInfo fi;
    SshChannel *ch = wait == 1 || wait == 7 ? nullptr : (settings & 4 ? &b : &a);
    bool ok = t.generalizedRead(wait, 0, 0, ch, eof, close, out, type, disc, nullptr, log, fi,
                                satisfied, false);
    check(t.activeCipherIn == 0 && t.activeCipherOut == 0);
    check(t.queuedMessages.getSize() <= SshTransport::kMaxQueuedMessages);
    check(t.queuedControlBytes <= SshTransport::kMaxQueuedControlBytes);
    check(t.heldReplies.size() <= SshTransport::kMaxHeldReplies);
    for (SshChannel *c : {&a, &b})
      check(c->m_unreadBytes <= c->m_curClientWinSize);
    if (!ok) break;
  }
  return 0;
}
