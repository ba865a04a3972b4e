// DSA for SSH over LibTomCrypt: raw signatures, fingerprints, XML key text.
#pragma once

#include "sshlib/crypto/PkKeys.h"

class DataBuffer;

class Dsa {
public:
  // False when the check cannot run; otherwise valid tells whether (r, s) signs the hash.
  static bool verify_hash_raw(mp_int &r, mp_int &s, const unsigned char *hash, unsigned int n,
                              dsa_key &key, bool &valid, LogBase &log);
  // out is cleared and receives r then s, each a 20-byte unsigned big-endian number. Keys whose
  // q is not 160 bits are refused (their r and s do not fit); false with nothing written.
  static bool sign_hash_for_ssh(const unsigned char *hash, unsigned int n, dsa_key &key,
                                DataBuffer &out, LogBase &log);
  // "ssh-dss <bits> <md5 of the public blob as colon-separated lower-case hex>", appended.
  static bool calc_fingerprint(dsa_key &key, StringBuffer &out);
  // "DSAKeyValue" XML (appended): P, Q, G, Y and, unless publicOnly, X.
  static bool keyToXml(dsa_key &key, bool publicOnly, StringBuffer &out, bool unused, LogBase &log);
  static bool xmlToKey(StringBuffer &xml, dsa_key &key, bool unused, LogBase &log);
};
