// KEXINIT and the other message parsers over arbitrary payloads: no crash, and a successful
// negotiation chooses only algorithms we offer.
#include <cstdint>
#include <cstdlib>

#include "sshlib/core/LogNull.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

namespace {
// A cipher we offer (the CBC and arcfour ones, then the CTR, GCM and ChaCha20 ones), with a MAC
// we offer; an authenticated cipher takes no MAC.
bool offered(int cipher, int mac) {
  if (cipher < 1 || cipher > SshTransport::kCipherChaCha20Poly1305) return false;
  if (SshTransport::isAeadCipher(cipher)) return mac == 0;
  return mac >= 0 && mac <= SshTransport::kMacSha512Etm;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DataBuffer msg;
  msg.append(data, (unsigned int)size);
  LogNull log;
  SshTransport t;
  if (t.parseKexInit(msg, log) &&
      !(offered(t.pendingCipherIn, t.pendingMacIn) && offered(t.pendingCipherOut, t.pendingMacOut)))
    std::abort();
  unsigned int code = 0, ch = 0, exit = 0, idx = 0;
  StringBuffer text;
  XString x, y;
  bool b = false;
  SshChannel channel;
  DataBuffer d;
  SshTransport::parseDisconnect(msg, code, text, log);
  SshTransport::parseGlobalRequest(msg, x, b, log);
  SshTransport::parseBannerMsg(msg, x, y, log);
  SshTransport::parseChannelOpenSuccess(msg, channel, log);
  SshTransport::parseChannelOpenFailure(msg, code, text, log);
  SshTransport::parseExitStatus2(msg, ch, text, exit);
  SshTransport::parseExtendedData(msg, ch, code, d, log);
  unsigned int *bn = SshTransport::parseBignum(msg, idx, log);
  RazudodBignum::freebn(bn);
  if (SshTransport::parseString(msg, idx, text) && text.getSize() > 65000) std::abort();
  return 0;
}
