// Key files made by ssh-keygen, openssl and puttygen load and give the same public key as
// ssh-keygen; RSA and DSA signatures interoperate with openssl in both directions; the key blob
// and XML conversions keep their rules.
#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/crypto/Dsa.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/Rsa2.h"
#include "sshlib/crypto/SshKeyBlob.h"
#include "tests/support/CryptoTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <type_traits>

namespace {

using namespace testsupport;

const char kPass[] = "Correct horse 7";

class SshKeyFiles : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir("ferrowen-keys");
    writeFile(dir_->file("pass"), kPass);
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::string sh(const std::string &cmd) {
    int rc = -1;
    std::string out = runCommand(cmd, &rc);
    EXPECT_EQ(rc, 0) << cmd;
    return out;
  }
  static std::string f(const std::string &name) { return dir_->file(name); }

  // A base key (private PEM, its .pub beside it), made on first use.
  static std::string base(const std::string &name) {
    const std::string path = f(name);
    if (!readFile(path).empty()) return path;
    const std::map<std::string, std::string> make = {
        {"rsa1024", "openssl genrsa -traditional -out {} 1024"},
        {"rsa2048", "ssh-keygen -q -m PEM -N '' -t rsa -b 2048 -f {}"},
        {"rsa3072", "ssh-keygen -q -m PEM -N '' -t rsa -b 3072 -f {}"},
        {"rsa4096", "openssl genrsa -traditional -out {} 4096"},
        {"dsa", "ssh-keygen -q -m PEM -N '' -t dsa -f {}"}};
    std::string cmd = make.at(name);
    cmd.replace(cmd.find("{}"), 2, path);
    sh(cmd + " 2>/dev/null && chmod 600 " + path + " && ssh-keygen -y -f " + path + " > " + path +
       ".pub");
    return path;
  }

  // The public blob that ssh-keygen derives from the base key.
  static std::string keygenBlob(const std::string &base) {
    std::string line = readFile(f(base) + ".pub");
    const size_t a = line.find(' ') + 1, b = line.find(' ', a);
    DataBuffer blob;
    ContentCoding cc;
    std::string b64 = line.substr(a, b - a);
    cc.decodeBase64ToDb(b64.c_str(), static_cast<int>(b64.size()), blob);
    return hexOf(blob);
  }

  static void load(ClsSshKey &key, const std::string &path, const char *pass, bool expectOk,
                   LogBase &log) {
    key.put_Password(pass);
    EXPECT_EQ(key.loadKeyFile(path.c_str(), log), expectOk) << path;
  }

  // The private key of a key file, as its record.
  template <class Key> static void privateKey(const std::string &path, Key &out) {
    ClsSshKey key;
    LogNull log;
    load(key, path, "", true, log);
    if constexpr (std::is_same_v<Key, dsa_key>)
      ASSERT_TRUE(key.toDsaKey(out, log));
    else
      ASSERT_TRUE(key.toRsaKey(out, log));
  }

  static TempDir *dir_;
};
TempDir *SshKeyFiles::dir_ = nullptr;

TEST_F(SshKeyFiles, EveryFormLoadsTheSamePublicKeyAsSshKeygen) {
  const std::string pf = " --new-passphrase " + f("pass");
  struct Form {
    const char *base, *name;
    std::string make; // {in} and {out} are replaced by paths
    const char *pass;
    bool isPrivate;
  } forms[] = {
      {"rsa2048", "pem", "cp {in} {out}", "", true},
      {"dsa", "pem", "cp {in} {out}", "", true},
      {"rsa3072", "pem-aes128",
       "cp {in} {out} && ssh-keygen -q -p -m PEM -N '" + std::string(kPass) + "' -f {out}", kPass,
       true},
      {"rsa2048", "pem-aes256",
       "openssl rsa -traditional -aes256 -passout file:" + f("pass") +
           " -in {in} -out {out} 2>/dev/null",
       kPass, true},
      {"dsa", "pem-des3",
       "openssl dsa -des3 -passout file:" + f("pass") + " -in {in} -out {out} 2>/dev/null", kPass,
       true},
      {"rsa2048", "p8", "openssl pkcs8 -topk8 -nocrypt -in {in} -out {out}", "", true},
      {"rsa1024", "p8-aes",
       "openssl pkcs8 -topk8 -v2 aes-256-cbc -passout file:" + f("pass") + " -in {in} -out {out}",
       kPass, true},
      {"dsa", "p8-des3",
       "openssl pkcs8 -topk8 -v2 des3 -passout file:" + f("pass") + " -in {in} -out {out}", kPass,
       true},
      {"rsa2048", "ppk", "puttygen {in} -O private -o {out} --ppk-param version=2", "", true},
      {"rsa3072", "ppk-aes", "puttygen {in} -O private -o {out} --ppk-param version=2" + pf, kPass,
       true},
      {"dsa", "ppk-aes", "puttygen {in} -O private -o {out} --ppk-param version=2" + pf, kPass,
       true},
      {"rsa2048", "rfc4716", "ssh-keygen -e -f {in}.pub > {out}", "", false},
      {"dsa", "openssh-pub", "cp {in}.pub {out}", "", false},
  };
  for (const Form &form : forms) {
    const std::string out = f(std::string(form.base) + "." + form.name);
    std::string cmd = form.make;
    for (auto [tag, v] : {std::pair{"{in}", base(form.base)}, {"{out}", out}})
      for (size_t at; (at = cmd.find(tag)) != std::string::npos;)
        cmd.replace(at, std::strlen(tag), v);
    sh(cmd);
    ClsSshKey key;
    ErrorLines log;
    load(key, out, form.pass, true, log);
    SCOPED_TRACE(out + " " + log.errors);
    DataBuffer blob;
    ASSERT_TRUE(key.getPublicKeyBlob(blob, log));
    EXPECT_EQ(hexOf(blob), keygenBlob(form.base));
    EXPECT_EQ(key.get_IsPrivateKey(), form.isPrivate);
    EXPECT_EQ(key.get_IsDsaKey(), std::string(form.base) == "dsa");
    rsa_key rsa;
    dsa_key dsa;
    EXPECT_EQ(key.get_IsDsaKey() ? key.toDsaKey(dsa, log) : key.toRsaKey(rsa, log), form.isPrivate);
    if (!form.isPrivate) {
      EXPECT_TRUE(log.has("Requires a private key..."));
    }
    EXPECT_EQ(key.isUsableForLogin(log), form.isPrivate);
    EXPECT_EQ(log.has("Requires a private key, not a public key."), !form.isPrivate);
    // Fingerprints as ssh-keygen shows them.
    StringBuffer fp;
    if (key.get_IsDsaKey()) {
      dsa_key pub;
      StringBuffer xml;
      ASSERT_TRUE(key.toXml(true, xml, log) && Dsa::xmlToKey(xml, pub, false, log));
      Dsa::calc_fingerprint(pub, fp);
    } else {
      rsa_key pub;
      StringBuffer xml;
      ASSERT_TRUE(key.toXml(true, xml, log) && Rsa2::xmlToKey(xml, pub, false, log));
      Rsa2::calc_fingerprint(pub, fp);
    }
    const std::string keygen = sh("ssh-keygen -l -E md5 -f " + f(form.base) + ".pub");
    // "2048 MD5:aa:bb:... comment (RSA)" against "ssh-rsa 2048 aa:bb:...".
    const std::string bits = keygen.substr(0, keygen.find(' '));
    const std::string hex = keygen.substr(keygen.find("MD5:") + 4, 47);
    EXPECT_EQ(fp.getString(),
              std::string(key.get_IsDsaKey() ? "ssh-dss " : "ssh-rsa ") + bits + " " + hex);
  }
}

TEST_F(SshKeyFiles, WrongOrMissingPasswordsAndDamagedFilesAreRefused) {
  const std::string ppk = f("rsa2048.ppk-x"), pem = f("rsa2048.pem-x");
  sh("puttygen " + base("rsa2048") + " -O private -o " + ppk + " --ppk-param version=2 " +
     "--new-passphrase " + f("pass"));
  sh("openssl pkcs8 -topk8 -v2 aes-128-cbc -passout file:" + f("pass") + " -in " + f("rsa2048") +
     " -out " + pem);
  std::string damaged = readFile(ppk);
  damaged[damaged.find("Comment: ") + 9] ^= 1;
  writeFile(f("damaged.ppk"), damaged);
  struct Case {
    std::string path;
    const char *pass, *error;
  } cases[] = {
      {ppk, "wrong", "Wrong password for the PuTTY key file"},
      {ppk, "", "no password was given"},
      {pem, "wrong", "wrong password"},
      {pem, "", "no password was given"},
      {f("damaged.ppk"), kPass, "Wrong password"},
      {f("pass"), "", "Unrecognized key file format."},
      {f("missing"), "", "Failed to read the key file."},
  };
  for (const Case &c : cases) {
    ClsSshKey key;
    ErrorLines log;
    load(key, c.path, c.pass, false, log);
    EXPECT_TRUE(log.has(c.error)) << c.path << ": " << log.errors;
    EXPECT_FALSE(key.hasKey());
    EXPECT_FALSE(key.isUsableForLogin(log));
    EXPECT_TRUE(log.has("The SSH key object did not contain a loaded private key."));
  }
}

// DER SEQUENCE { INTEGER r, INTEGER s } and back, for openssl's DSA signatures.
std::string derOfRs(const DataBuffer &rs) {
  std::string body;
  for (unsigned int half = 0; half < 2; ++half) {
    std::string v(reinterpret_cast<const char *>(rs.getData2()) + half * 20, 20);
    while (v.size() > 1 && v[0] == 0)
      v.erase(0, 1);
    if (static_cast<unsigned char>(v[0]) & 0x80) v.insert(0, 1, '\0');
    body += '\x02';
    body += static_cast<char>(v.size());
    body += v;
  }
  return std::string("\x30", 1) + static_cast<char>(body.size()) + body;
}

bool rsOfDer(const std::string &der, mp_int &r, mp_int &s) {
  size_t at = 2;
  for (mp_int *m : {&r, &s}) {
    if (at + 2 > der.size() || der[at] != 0x02) return false;
    const size_t n = static_cast<unsigned char>(der[at + 1]);
    if (!RazudodMp::read_unsigned_bin(*m,
                                      reinterpret_cast<const unsigned char *>(der.data()) + at + 2,
                                      static_cast<unsigned int>(n)))
      return false;
    at += 2 + n;
  }
  return true;
}

TEST_F(SshKeyFiles, SignaturesInteroperateWithOpenssl) {
  DataBuffer data, hash;
  data.append("exchange hash stand-in", 22);
  Sha1::sha1_db(data, hash);
  writeFile(f("data"), bytesOf(data));
  for (const char *base : {"rsa1024", "rsa2048", "rsa3072", "rsa4096", "dsa"}) {
    SCOPED_TRACE(base);
    const bool dsa = std::string(base) == "dsa";
    LogNull log;
    sh("openssl pkey -in " + SshKeyFiles::base(base) + " -pubout -out " + f(base) + ".pubpem");
    // Ours, checked by openssl.
    DataBuffer sig;
    rsa_key rk;
    dsa_key dk;
    if (dsa)
      privateKey(SshKeyFiles::base(base), dk);
    else
      privateKey(SshKeyFiles::base(base), rk);
    if (dsa) {
      ASSERT_TRUE(Dsa::sign_hash_for_ssh(hash.getData2(), 20, dk, sig, log));
      ASSERT_EQ(sig.getSize(), 40u);
      writeFile(f("sig"), derOfRs(sig));
    } else {
      ASSERT_TRUE(Rsa2::padAndSignHash(hash.getData2(), 20, 1, _ckHash::hashId("sha1"), 0, rk, 1,
                                       false, sig, log));
      EXPECT_EQ(sig.getSize(), static_cast<unsigned int>((rk.get_ModulusBitLen() + 7) / 8));
      writeFile(f("sig"), bytesOf(sig));
    }
    sh("openssl dgst -sha1 -verify " + f(base) + ".pubpem -signature " + f("sig") + " " +
       f("data"));
    // openssl's, checked by us; then a changed hash fails.
    sh("openssl dgst -sha1 -sign " + f(base) + " -out " + f("sig") + " " + f("data"));
    const std::string theirs = readFile(f("sig"));
    for (int flip = 0; flip < 2; ++flip) {
      bool valid = !flip;
      hash.getData2()[0] ^= static_cast<unsigned char>(flip);
      if (dsa) {
        MpInt r, s;
        ASSERT_TRUE(rsOfDer(theirs, r, s));
        ASSERT_TRUE(Dsa::verify_hash_raw(r, s, hash.getData2(), 20, dk, valid, log));
      } else {
        ASSERT_TRUE(Rsa2::verifyHashSsh(reinterpret_cast<const unsigned char *>(theirs.data()),
                                        static_cast<unsigned int>(theirs.size()), hash.getData2(),
                                        20, valid, rk, log));
      }
      EXPECT_EQ(valid, !flip);
      hash.getData2()[0] ^= static_cast<unsigned char>(flip);
    }
  }
}

TEST_F(SshKeyFiles, RsaSignatureLengthIsCheckedAgainstTheModulus) {
  LogNull log;
  rsa_key rk;
  privateKey(base("rsa1024"), rk);
  // Find a message whose signature begins with a zero byte: without it, it must still verify.
  DataBuffer sig, hash;
  for (unsigned int i = 0; i < 5000; ++i) {
    hash.clear();
    sig.clear();
    Sha1::sha1_bytes(reinterpret_cast<const unsigned char *>(&i), sizeof i, hash);
    ASSERT_TRUE(Rsa2::padAndSignHash(hash.getData2(), 20, 1, 1, 0, rk, 1, false, sig, log));
    if (sig.getData2()[0] == 0) break;
  }
  ASSERT_EQ(sig.getData2()[0], 0);
  bool valid = false;
  ASSERT_TRUE(Rsa2::verifyHashSsh(sig.getData2() + 1, sig.getSize() - 1, hash.getData2(), 20, valid,
                                  rk, log));
  EXPECT_TRUE(valid);
  DataBuffer longer;
  longer.appendChar(0);
  longer.append(sig);
  ASSERT_TRUE(Rsa2::verifyHashSsh(longer.getData2(), longer.getSize(), hash.getData2(), 20, valid,
                                  rk, log));
  EXPECT_FALSE(valid);
  // A peer's oversized key is refused before any work.
  ASSERT_EQ(mp_mul_2d(&rk.N, 16000, &rk.N), MP_OKAY);
  EXPECT_FALSE(
      Rsa2::verifyHashSsh(sig.getData2(), sig.getSize(), hash.getData2(), 20, valid, rk, log));
  ASSERT_EQ(mp_div_2d(&rk.N, 16000, &rk.N, nullptr), MP_OKAY);
  // The signing errors the callers report.
  struct Case {
    unsigned int hashLen;
    int padding, hashId;
    const char *error;
  } cases[] = {{0, 1, 1, "Null or empty input"},
               {20, 2, 1, "Invalid padding selection"},
               {20, 1, _ckHash::hashId("none"), "No OID available for selected hash algorithm"}};
  for (const Case &c : cases) {
    ErrorLines errs;
    DataBuffer out;
    EXPECT_FALSE(Rsa2::padAndSignHash(hash.getData2(), c.hashLen, c.padding, c.hashId, 0, rk, 1,
                                      false, out, errs));
    EXPECT_TRUE(errs.has(c.error)) << errs.errors;
  }
}

TEST_F(SshKeyFiles, DsaKeysWithWideQCannotSignForSsh) {
  sh("openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:2048 -out " + f("dsap") +
     " 2>/dev/null && openssl genpkey -paramfile " + f("dsap") + " -out " + f("dsa2048") +
     " 2>/dev/null");
  ErrorLines log;
  dsa_key dk;
  privateKey(f("dsa2048"), dk);
  DataBuffer hash, sig;
  hash.appendCharN(7, 20);
  sig.appendChar(1);
  EXPECT_FALSE(Dsa::sign_hash_for_ssh(hash.getData2(), 20, dk, sig, log));
  EXPECT_EQ(sig.getSize(), 0u);
}

TEST(SshKeyBlob, ConversionRules) {
  ErrorLines log;
  StringBuffer xml("<Other><Modulus>AQ==</Modulus></Other>");
  DataBuffer blob;
  EXPECT_FALSE(SshKeyBlob::xmlToPublicKeyBlob(xml, blob, log));
  EXPECT_TRUE(log.has("XML root tag must be RSAKeyValue or DSAKeyValue"));
  // An RSA blob with a 40-bit exponent reports its low 32 bits; XML and back gives the blob.
  rsa_key k;
  const unsigned char e[] = {0x01, 0x00, 0x00, 0x01, 0x01}, n[] = {0xC5, 0x11, 0x13};
  RazudodMp::read_unsigned_bin(k.e, e, 5);
  RazudodMp::read_unsigned_bin(k.N, n, 3);
  ASSERT_TRUE(SshKeyBlob::rsaPublicBlob(k, blob));
  int type = -1;
  unsigned int exponent = 0;
  ASSERT_TRUE(SshKeyBlob::publicKeyBlobToXml(blob, xml, type, exponent, log));
  EXPECT_EQ(type, 0);
  EXPECT_EQ(exponent, 0x00000101u);
  DataBuffer again;
  ASSERT_TRUE(SshKeyBlob::xmlToPublicKeyBlob(xml, again, log));
  EXPECT_EQ(hexOf(again), hexOf(blob));
  // Any name without "rsa" is read as DSA; a short blob fails.
  DataBuffer dss;
  SshKeyBlob::appendString("x-unknown", dss);
  for (int i = 0; i < 4; ++i)
    SshKeyBlob::appendString(e, 5, dss);
  ASSERT_TRUE(SshKeyBlob::publicKeyBlobToXml(dss, xml, type, exponent, log));
  EXPECT_EQ(type, 1);
  EXPECT_TRUE(xml.beginsWith("<DSAKeyValue>"));
  dss.shorten(1);
  EXPECT_FALSE(SshKeyBlob::publicKeyBlobToXml(dss, xml, type, exponent, log));
}

} // namespace
