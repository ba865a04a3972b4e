// LibTomCrypt for the glue sources of this folder (never included by a public header).
//
// Debian builds LibTomCrypt with the LibTomMath math provider (ltm_desc); it is selected once,
// with the ciphers, hashes and the system PRNG registered, by ltcReady(). LibTomCrypt's own key
// structures are renamed here so that the library's key records keep the names rsa_key and dsa_key.
#pragma once

class LogBase;

#ifndef LTM_DESC
#define LTM_DESC
#endif
#define rsa_key ltc_rsa_key
#define dsa_key ltc_dsa_key
#include <tomcrypt.h>
#undef rsa_key
#undef dsa_key

namespace ltc {

struct Indexes {
  int aes = -1, twofish = -1, blowfish = -1;
  int md5 = -1, sha1 = -1, sha256 = -1, sha384 = -1, sha512 = -1;
  int sprng = -1;
};

// Registers everything on first use (thread-safe); the indexes stay valid for the process.
const Indexes &ready();

// The outcome of a LibTomCrypt signature check: false (logged) when it could not run; otherwise
// valid is set.
bool verdict(int err, int stat, bool &valid, const char *what, LogBase &log);

// LibTomCrypt's hash index for one of the library's hash numbers (_ckHash); -1 when none.
int hashIndex(int hashId);

} // namespace ltc
