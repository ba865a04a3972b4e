// bcrypt_pbkdf: the pass-phrase key derivation of OpenSSH's private-key files. Each round hashes
// the pass phrase and salt with SHA-512 and runs them through Blowfish's expensive key schedule
// ("eksblowfish"); the output bytes are spread across the rounds' blocks so that every byte of a
// long key costs the full work.
#pragma once

#include <cstddef>
#include <cstdint>

// The Blowfish state, with the key schedule steps bcrypt needs beside the plain cipher.
class Blowfish {
public:
  Blowfish() { initState(); }
  ~Blowfish();
  Blowfish(const Blowfish &) = delete;
  Blowfish &operator=(const Blowfish &) = delete;

  // Back to the digits of pi.
  void initState();
  // The ordinary key schedule: key into the P-array, then the state encrypts itself.
  void expand0(const uint8_t *key, size_t keyLen);
  // The salted schedule: as expand0, but each block encrypted is first mixed with the salt.
  void expand(const uint8_t *salt, size_t saltLen, const uint8_t *key, size_t keyLen);
  void encipher(uint32_t &l, uint32_t &r) const;

private:
  uint32_t f(uint32_t x) const;
  uint32_t m_p[18];
  uint32_t m_s[4][256];
};

namespace BcryptPbkdf {

// Writes keyLen bytes into key. False when an argument is out of range (no pass phrase bytes is
// allowed; rounds must be at least 1, key length 1 to 1024, salt 1 to 1024 bytes).
bool derive(const uint8_t *pass, size_t passLen, const uint8_t *salt, size_t saltLen,
            unsigned int rounds, uint8_t *key, size_t keyLen);

} // namespace BcryptPbkdf
