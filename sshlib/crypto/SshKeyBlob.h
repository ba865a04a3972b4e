// SSH wire form of RSA and DSA keys: public-key blobs ("ssh-rsa" e n; "ssh-dss" p q g y), the
// private-part blobs of key files (RSA d p q iqmp; DSA x), and their conversion to and from the
// XML key text of the key records. Key type numbers: 0 RSA, 1 DSA.
//
// The transport's key-blob operations have exactly these signatures and forward here.
#pragma once

class DataBuffer;
class LogBase;
class StringBuffer;
class rsa_key;
class dsa_key;

#include "sshlib/crypto/RazudodBignum.h"

class SshKeyBlob {
public:
  static bool xmlToPublicKeyBlob(StringBuffer &xml, DataBuffer &blob, LogBase &log);
  static bool xmlToPrivateKeyBlob(StringBuffer &xml, DataBuffer &blob, LogBase &log);
  static bool publicKeyBlobToXml(DataBuffer &blob, StringBuffer &xml, int &keyType,
                                 unsigned int &exponent, LogBase &log);
  static bool privateKeyBlobToXml(int keyType, DataBuffer &blob, unsigned int exponent,
                                  StringBuffer &xml, LogBase &log);

  // Public blobs straight from the key records.
  static bool rsaPublicBlob(const rsa_key &key, DataBuffer &blob);
  static bool dsaPublicBlob(const dsa_key &key, DataBuffer &blob);

  // SSH wire primitives over a byte buffer. Readers advance idx and fail on a short buffer.
  static void appendUint32(unsigned int v, DataBuffer &out);
  static void appendString(const unsigned char *p, unsigned int n, DataBuffer &out);
  static void appendString(const char *s, DataBuffer &out);
  static bool appendMpInt(const mp_int &v, DataBuffer &out);
  static bool readUint32(const DataBuffer &in, unsigned int &idx, unsigned int &v);
  static bool readString(const DataBuffer &in, unsigned int &idx, DataBuffer &out);
  // An mpint as an unsigned magnitude; a negative one (top bit set) is refused.
  static bool readMpInt(const DataBuffer &in, unsigned int &idx, mp_int &v);
};
