// Packet protection of one direction of an SSH connection through OpenSSL: AES in counter mode,
// AES-GCM (the length in clear, authenticated as associated data), OpenSSH's
// chacha20-poly1305 (ChaCha20 with two keys and a Poly1305 tag) and HMAC over SHA-1, MD5 and
// SHA-2. Each object keeps its OpenSSL contexts from key set-up to the end, so that a packet
// costs no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

struct evp_cipher_ctx_st;
struct evp_mac_ctx_st;

class SshPacketCipher {
public:
  enum class Kind { None, Ctr, Gcm, ChaCha };
  SshPacketCipher() = default;
  ~SshPacketCipher();
  SshPacketCipher(const SshPacketCipher &) = delete;
  SshPacketCipher &operator=(const SshPacketCipher &) = delete;

  // key: 16, 24 or 32 bytes for Ctr, 16 or 32 for Gcm, 64 for ChaCha; iv: 16 for Ctr, 12 for
  // Gcm, none for ChaCha.
  bool init(Kind kind, const unsigned char *key, size_t keyLen, const unsigned char *iv,
            size_t ivLen, bool encrypt);
  void reset();
  Kind kind() const { return kind_; }

  // Counter mode: the stream runs on across packets.
  bool ctr(unsigned char *data, size_t n);

  // GCM over one packet: the first 4 bytes (the length) are authenticated, the rest encrypted
  // (or decrypted) in place. open() checks the tag before it decrypts.
  bool gcmSeal(unsigned char *packet, size_t n, unsigned char tag[16]);
  bool gcmOpen(unsigned char *packet, size_t n, const unsigned char tag[16]);

  // chacha20-poly1305: the length field alone (under the header key), and the whole packet.
  bool chachaLength(uint32_t seq, const unsigned char in[4], unsigned char out[4]);
  bool chachaSeal(uint32_t seq, unsigned char *packet, size_t n, unsigned char tag[16]);
  // Checks the tag over the packet as received (length still encrypted), then decrypts all but
  // the length field.
  bool chachaOpen(uint32_t seq, unsigned char *packet, size_t n, const unsigned char tag[16]);

private:
  bool chachaPolyKey(uint32_t seq, unsigned char polyKey[32]);
  bool poly1305(const unsigned char key[32], const unsigned char *data, size_t n,
                unsigned char tag[16]);
  static void chachaIv(uint32_t counter, uint32_t seq, unsigned char iv[16]);

  Kind kind_ = Kind::None;
  bool encrypt_ = true;
  evp_cipher_ctx_st *main_ = nullptr;
  evp_cipher_ctx_st *header_ = nullptr;
  evp_mac_ctx_st *poly_ = nullptr;
  unsigned char gcmIv_[12] = {};
};

// HMAC of (sequence number, data) with a fixed key.
class SshMac {
public:
  enum class Hash { Sha1, Md5, Sha256, Sha512 };
  SshMac() = default;
  ~SshMac();
  SshMac(const SshMac &) = delete;
  SshMac &operator=(const SshMac &) = delete;

  bool init(Hash hash, const unsigned char *key, size_t keyLen);
  void reset();
  bool ready() const { return ctx_ != nullptr; }
  size_t size() const { return size_; }
  // out receives size() bytes.
  bool compute(uint32_t seq, const unsigned char *data, size_t n, unsigned char *out);

private:
  evp_mac_ctx_st *ctx_ = nullptr;
  size_t size_ = 0;
};

// Compares in time that depends only on n.
bool sshConstantTimeEquals(const unsigned char *a, const unsigned char *b, size_t n);
