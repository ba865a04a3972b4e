// Diffie-Hellman for the SSH key exchange, over LibTomMath.
//
// The group is a fixed one (UseOakleyGroup) or one the server sent (replace_p, replace_g). The
// numbers a peer controls are checked before use: a server group must have an odd p of 1024 to
// 8192 bits and 1 < g < p-1; the server's f must lie in 1 < f < p-1; a K of 0 or 1 is refused.
// The private exponent is wiped as soon as K is known, and with the object.
#pragma once

#include "sshlib/crypto/RazudodBignum.h"

class RazudodDh {
public:
  RazudodDh();
  ~RazudodDh();
  RazudodDh(const RazudodDh &) = delete;
  RazudodDh &operator=(const RazudodDh &) = delete;

  // 14: MODP group 14 (RFC 3526, 2048 bits); anything else: Oakley group 2 (RFC 2409, 1024 bits).
  void UseOakleyGroup(int group);
  // Take ownership of a server's prime or generator (null frees nothing new), freeing the old
  // one and the derived values.
  void replace_p(unsigned int *p);
  void replace_g(unsigned int *g);

  // Draws a private exponent x of `bits` bits (1..10,000) and computes e = g^x mod p. False when
  // the group is unusable, the size is out of range or the arithmetic fails.
  bool create_E(int bits);
  // K = f^x mod p; false (and no K) when f or K is out of range or no exponent was drawn.
  bool find_K(const unsigned int *f);

  // The values, owned by this object (null until made).
  const unsigned int *get_p() const { return m_p; }
  const unsigned int *get_g() const { return m_g; }
  const unsigned int *get_e() const { return m_e; }
  const unsigned int *get_K() const { return m_K; }

  // A fixed group, or the 2..8192-bit odd prime rule for one from a server.
  bool groupIsValid() const;

private:
  void clearDerived();
  unsigned int *m_p = nullptr;
  unsigned int *m_g = nullptr;
  unsigned int *m_e = nullptr;
  unsigned int *m_K = nullptr;
  bool m_haveX = false;
  bool m_fixedGroup = false;
  mp_int m_x;
};
