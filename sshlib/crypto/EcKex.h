// Elliptic-curve Diffie-Hellman for SSH key exchange through OpenSSL: X25519 and the NIST
// curves P-256, P-384 and P-521. Also the digests the exchange hash and the key derivation use.
#pragma once

#include <cstddef>

#include "sshlib/core/DataBuffer.h"

struct evp_pkey_st;

class EcKex {
public:
  enum class Curve { X25519, P256, P384, P521 };
  EcKex() = default;
  ~EcKex();
  EcKex(const EcKex &) = delete;
  EcKex &operator=(const EcKex &) = delete;

  // Draws a new key pair; publicKey() is then our value for the INIT message (32 bytes for
  // X25519, an uncompressed point for the NIST curves).
  bool generate(Curve curve);
  const DataBuffer &publicKey() const { return public_; }
  // The shared secret with the server's value, as the SSH mpint string (length included) that
  // the exchange hash and key derivation take. Fails on a point off the curve, a value of the
  // wrong size, or an all-zero X25519 result.
  bool derive(const unsigned char *peer, size_t n, DataBuffer &sharedMpint);
  void clear();

private:
  Curve curve_ = Curve::X25519;
  evp_pkey_st *key_ = nullptr;
  DataBuffer public_;
};

// SSH digests by bit size: 1 is SHA-1, then 256, 384, 512.
bool sshDigest(int bits, const unsigned char *data, size_t n, DataBuffer &out);
// Packs a big-endian unsigned number as an SSH mpint string (length, leading zero for a set top
// bit, leading zero bytes dropped).
void sshPackMpintBytes(const unsigned char *p, size_t n, DataBuffer &out);
