// KEXINIT and the other message parsers over arbitrary payloads: no crash, and a successful
// negotiation chooses only algorithms we offer.
#include <cstdint>
#include <cstdlib>

#include "sshlib/core/LogNull.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DataBuffer msg;
  msg.append(data, (unsigned int)size);
  LogNull log;
  SshTransport t;
  if (t.parseKexInit(msg, log) &&
      (t.pendingCipherIn < 1 || t.pendingCipherIn > 8 || t.pendingCipherOut < 1 ||
       t.pendingCipherOut > 8 || t.pendingMacIn > 2 || t.pendingMacOut > 2))
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
