#include "sshlib/crypto/Md4.h"

#include "sshlib/crypto/Ltc.h"

void Md4::digestBytes(const unsigned char *p, unsigned int n, unsigned char *out) {
  static const unsigned char empty = 0;
  hash_state st;
  md4_init(&st);
  md4_process(&st, p ? p : &empty, p ? n : 0);
  md4_done(&st, out);
}
