#include "sshlib/crypto/Ltc.h"

#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"

namespace ltc {

const Indexes &ready() {
  static const Indexes idx = [] {
    ltc_mp = ltm_desc;
    Indexes i;
    i.twofish = register_cipher(&twofish_desc);
    i.blowfish = register_cipher(&blowfish_desc);
    i.md5 = register_hash(&md5_desc);
    i.sha1 = register_hash(&sha1_desc);
    i.sha256 = register_hash(&sha256_desc);
    i.sha384 = register_hash(&sha384_desc);
    i.sha512 = register_hash(&sha512_desc);
    i.sprng = register_prng(&sprng_desc);
    return i;
  }();
  return idx;
}

int hashIndex(int hashId) {
  const Indexes &i = ready();
  switch (hashId) {
  case 1:
    return i.sha1;
  case 2:
    return i.sha384;
  case 3:
    return i.sha512;
  case 5:
    return i.md5;
  case 7:
    return i.sha256;
  default:
    return -1;
  }
}

bool verdict(int err, int stat, bool &valid, const char *what, LogBase &log) {
  if (err != CRYPT_OK && err != CRYPT_INVALID_PACKET) {
    StringBuffer line(what);
    line.append(" signature check failed to run.");
    log.LogError(line.getString());
    log.LogData("reason", error_to_string(err));
    return false;
  }
  valid = err == CRYPT_OK && stat == 1;
  return true;
}

} // namespace ltc
