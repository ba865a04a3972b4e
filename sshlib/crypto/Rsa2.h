// RSA for SSH: PKCS #1 v1.5 signatures over LibTomCrypt, fingerprints, XML key text.
#pragma once

#include "sshlib/crypto/PkKeys.h"

class DataBuffer;

class Rsa2 {
public:
  // False when the check cannot run (no key, an unknown hash size); otherwise valid tells whether
  // the signature (PKCS #1 v1.5 with a DigestInfo for the hash's size: 16 MD5, 20 SHA-1, 32
  // SHA-256, 48 SHA-384, 64 SHA-512) matches. A signature shorter than the modulus is taken with
  // zero bytes in front; a longer one is invalid. Moduli over 16384 bits are refused.
  static bool verifyHashSsh(const unsigned char *sig, unsigned int sigLen,
                            const unsigned char *hash, unsigned int hashLen, bool &valid,
                            rsa_key &key, LogBase &log);
  // Signs the hash: padding 1 (PKCS #1 v1.5 with the DigestInfo of hashId), keyType 1 (the
  // private key). Appends the signature, left-padded with zero bytes to the modulus length.
  static bool padAndSignHash(const unsigned char *hash, unsigned int hashLen, int padding,
                             int hashId, int saltLen, rsa_key &key, int keyType, bool unused,
                             DataBuffer &out, LogBase &log);
  // "ssh-rsa <bits> <md5 of the public blob as colon-separated lower-case hex>", appended.
  static bool calc_fingerprint(rsa_key &key, StringBuffer &out);
  // "RSAKeyValue" XML (appended): Modulus, Exponent; unless publicOnly, P, Q, DP, DQ, InverseQ, D.
  static bool keyToXml(rsa_key &key, bool publicOnly, StringBuffer &out, bool unused, LogBase &log);
  // Reads "RSAKeyValue" XML; a private key needs D, P and Q (missing CRT values are computed).
  static bool xmlToKey(StringBuffer &xml, rsa_key &key, bool unused, LogBase &log);
  // Completes a private key from p, q, e, d and q^-1 mod p: N, dP, dQ.
  static bool calc_dq_dq(mp_int &p, mp_int &q, mp_int &e, mp_int &d, mp_int &iqmp, rsa_key &key);
};
