#include "sshlib/crypto/RazudodRand.h"

#include <openssl/rand.h>

#include <climits>

#include "sshlib/core/DataBuffer.h"

bool RazudodRand::randomBytes2(unsigned int n, unsigned char *out) {
  if (n == 0) return true;
  if (n > INT_MAX) return false;
  return RAND_bytes(out, static_cast<int>(n)) == 1;
}

bool RazudodRand::randomBytes(unsigned int n, DataBuffer &out) {
  if (n == 0) return true;
  const unsigned int start = out.getSize();
  if (!out.appendCharN(0, n)) return false;
  if (randomBytes2(n, out.getData2() + start)) return true;
  out.shorten(n);
  return false;
}
