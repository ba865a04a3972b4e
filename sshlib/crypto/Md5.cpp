#include "sshlib/crypto/Md5.h"

#include <openssl/evp.h>

#include <cstring>

#include "sshlib/core/StringBuffer.h"

Md5::Md5() = default;

Md5::~Md5() = default;

void Md5::digestBytes(const unsigned char *p, unsigned int n, unsigned char *out) {
  static const unsigned char empty = 0;
  unsigned int len = 0;
  if (EVP_Digest(p ? p : &empty, p ? n : 0, out, &len, EVP_md5(), nullptr) != 1 || len != 16)
    std::memset(out, 0, 16);
}

void Md5::digestString(const StringBuffer &text, unsigned char *out) {
  digestBytes(reinterpret_cast<const unsigned char *>(text.getString()),
              static_cast<unsigned int>(text.getSize()), out);
}
