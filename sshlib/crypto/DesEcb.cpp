#include "sshlib/crypto/DesEcb.h"

#include <cstring>

#include "sshlib/crypto/Ltc.h"

bool DesEcb::encryptBlock(const unsigned char key[8], const unsigned char in[8],
                          unsigned char out[8]) {
  symmetric_key sk;
  if (des_setup(key, 8, 0, &sk) != CRYPT_OK) return false;
  bool ok = des_ecb_encrypt(in, out, &sk) == CRYPT_OK;
  des_done(&sk);
  std::memset(&sk, 0, sizeof sk);
  return ok;
}
