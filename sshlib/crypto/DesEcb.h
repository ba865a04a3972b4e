// Single DES on one 8-byte block (FIPS 46-3), needed by NTLMv1 proxy authentication, through
// LibTomCrypt (OpenSSL 3 keeps single DES in its legacy provider).
#pragma once

class DesEcb {
public:
  // Encrypts the block in under the 8-byte key (parity bits ignored) into out; false when the
  // cipher cannot be set up.
  static bool encryptBlock(const unsigned char key[8], const unsigned char in[8],
                           unsigned char out[8]);
};
