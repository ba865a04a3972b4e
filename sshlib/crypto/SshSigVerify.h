// Checks a server's host-key signature through OpenSSL: RSA with SHA-256 or SHA-512
// ("rsa-sha2-256", "rsa-sha2-512"), Ed25519 and ECDSA over the NIST curves.
#pragma once

#include <cstddef>
#include <string>

// The key blob's own type name ("ssh-rsa", "ssh-ed25519", "ecdsa-sha2-nistp256", ...), or empty
// when the blob does not start with a readable name.
std::string sshKeyBlobType(const unsigned char *blob, size_t n);

// True when sig (string algorithm name, string signature) is sigAlg's valid signature of data by
// the key in keyBlob. why says what failed.
bool sshVerifySignature(const char *sigAlg, const unsigned char *keyBlob, size_t keyLen,
                        const unsigned char *sig, size_t sigLen, const unsigned char *data,
                        size_t dataLen, std::string &why);

// Size in bits of an Ed25519 or ECDSA key blob (256, 384, 521), 0 when it is neither.
int sshEcKeyBits(const unsigned char *blob, size_t n);
