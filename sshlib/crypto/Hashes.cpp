#include "sshlib/crypto/Hashes.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstring>
#include <string>

#include "sshlib/core/DataBuffer.h"

namespace {

const EVP_MD *mdFor(int id) {
  switch (id) {
  case 1:
    return EVP_sha1();
  case 2:
    return EVP_sha384();
  case 3:
    return EVP_sha512();
  case 5:
    return EVP_md5();
  case 7:
    return EVP_sha256();
  default:
    return nullptr;
  }
}

bool digest(const EVP_MD *md, const unsigned char *p, unsigned int n, DataBuffer &out) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!md || EVP_Digest(p, n, d, &len, md, nullptr) != 1) return false;
  return out.append(d, len);
}

} // namespace

void Sha1::sha1_db(const DataBuffer &in, DataBuffer &out) {
  digest(EVP_sha1(), in.getData2(), in.getSize(), out);
}

void Sha1::sha1_bytes(const unsigned char *p, unsigned int n, DataBuffer &out) {
  digest(EVP_sha1(), p, n, out);
}

void Sha2::calcSha256(const DataBuffer &in, DataBuffer &out) {
  digest(EVP_sha256(), in.getData2(), in.getSize(), out);
}

void Sha2::calcSha256_bytes(const unsigned char *p, unsigned int n, DataBuffer &out) {
  digest(EVP_sha256(), p, n, out);
}

int _ckHash::hashId(const char *name) {
  if (!name) return 0;
  std::string s;
  for (const char *c = name; *c; ++c)
    if (*c != '-') s += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  if (s == "sha1") return 1;
  if (s == "sha384") return 2;
  if (s == "sha512") return 3;
  if (s == "md5") return 5;
  if (s == "sha256") return 7;
  return 0;
}

unsigned int _ckHash::hashLen(int id) {
  const EVP_MD *md = mdFor(id);
  return md ? static_cast<unsigned int>(EVP_MD_get_size(md)) : 0;
}

bool _ckHash::doHash(const unsigned char *p, unsigned int n, int id, DataBuffer &out) {
  return digest(mdFor(id), p, n, out);
}
