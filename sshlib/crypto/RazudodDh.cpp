#include "sshlib/crypto/RazudodDh.h"

#include <cstdlib>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/crypto/RazudodRand.h"

namespace {

// RFC 2409 section 6.2 (Oakley group 2) and RFC 3526 section 3 (MODP group 14).
const char kGroup2[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B2251"
    "4A08798E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F4"
    "4C42E9A637ED6B0BFF5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FF"
    "FFFFFFFFFFFFFF";
const char kGroup14[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404"
    "DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406"
    "B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE45B3DC2007CB8A163BF0598DA48361C55D39A69163FA8FD"
    "24CF5F83655D23DCA3AD961C62F356208552BB9ED529077096966D670C354E4ABC9804F1746C08CA18217C32905E46"
    "2E36CE3BE39E772C180E86039B2783A2EC07A28FB5C55DF06F4C52C9DE2BCBF6955817183995497CEA956AE515D226"
    "1898FA051015728E5A8AACAA68FFFFFFFFFFFFFFFF";

unsigned int *fromHex(const char *hex) {
  MpInt m;
  if (mp_read_radix(&m, hex, 16) != MP_OKAY) return nullptr;
  return RazudodBignum::mpIntToBignum(&m);
}

// 1 < v < p-1.
bool strictlyInside(const mp_int &v, const mp_int &p) {
  MpInt pm1;
  if (mp_sub_d(&p, 1, &pm1) != MP_OKAY) return false;
  return mp_cmp_d(&v, 1) == MP_GT && mp_cmp(&v, &pm1) == MP_LT;
}

} // namespace

RazudodDh::RazudodDh() {
  if (mp_init(&m_x) != MP_OKAY) std::abort();
  UseOakleyGroup(2);
}

RazudodDh::~RazudodDh() {
  clearDerived();
  mp_clear(&m_x);
  RazudodBignum::freebn(m_p);
  RazudodBignum::freebn(m_g);
}

void RazudodDh::clearDerived() {
  mp_zero(&m_x); // mp_zero also wipes the digits
  m_haveX = false;
  RazudodBignum::freebn(m_e);
  RazudodBignum::freebn(m_K);
  m_e = m_K = nullptr;
}

void RazudodDh::UseOakleyGroup(int group) {
  clearDerived();
  RazudodBignum::freebn(m_p);
  RazudodBignum::freebn(m_g);
  m_p = fromHex(group == 14 ? kGroup14 : kGroup2);
  const unsigned char two = 2;
  m_g = RazudodBignum::fromBytes(&two, 1);
  m_fixedGroup = true;
}

void RazudodDh::replace_p(unsigned int *p) {
  clearDerived();
  RazudodBignum::freebn(m_p);
  m_p = p;
  m_fixedGroup = false;
}

void RazudodDh::replace_g(unsigned int *g) {
  clearDerived();
  RazudodBignum::freebn(m_g);
  m_g = g;
  m_fixedGroup = false;
}

bool RazudodDh::groupIsValid() const {
  if (!m_p || !m_g) return false;
  MpInt p, g;
  if (!RazudodBignum::bignumToMpInt(m_p, &p) || !RazudodBignum::bignumToMpInt(m_g, &g))
    return false;
  if (m_fixedGroup) return true;
  const int bits = mp_count_bits(&p);
  return bits >= 1024 && bits <= 8192 && mp_isodd(&p) && strictlyInside(g.v, p.v);
}

bool RazudodDh::create_E(int bits) {
  clearDerived();
  if (bits < 1 || bits > 10000 || !groupIsValid()) return false;
  MpInt p, g, e, pm1;
  if (!RazudodBignum::bignumToMpInt(m_p, &p) || !RazudodBignum::bignumToMpInt(m_g, &g) ||
      mp_sub_d(&p, 1, &pm1) != MP_OKAY)
    return false;
  const unsigned int nbytes = static_cast<unsigned int>((bits + 7) / 8);
  for (int attempt = 0; attempt < 16; ++attempt) {
    DataBuffer rnd;
    if (!RazudodRand::randomBytes(nbytes, rnd)) return false;
    // Exactly `bits` bits: clear what lies above, set the top bit.
    const int extra = static_cast<int>(nbytes * 8) - bits;
    unsigned char *r = rnd.getData2();
    r[0] &= static_cast<unsigned char>(0xFF >> extra);
    r[0] |= static_cast<unsigned char>(0x80 >> extra);
    const bool ok = RazudodMp::read_unsigned_bin(m_x, r, nbytes);
    rnd.secureClear();
    if (!ok) return false;
    // An exponent as wide as p is reduced into 2 .. p-2.
    if (mp_cmp(&m_x, &pm1) != MP_LT && mp_mod(&m_x, &pm1, &m_x) != MP_OKAY) return false;
    if (mp_cmp_d(&m_x, 1) != MP_GT) continue;
    if (mp_exptmod(&g, &m_x, &p, &e) != MP_OKAY) return false;
    if (!strictlyInside(e.v, p.v)) continue;
    m_e = RazudodBignum::mpIntToBignum(&e);
    m_haveX = m_e != nullptr;
    return m_haveX;
  }
  return false;
}

bool RazudodDh::find_K(const unsigned int *f) {
  RazudodBignum::freebn(m_K);
  m_K = nullptr;
  if (!m_haveX || !f || !m_p) return false;
  MpInt p, fv, k;
  bool ok = RazudodBignum::bignumToMpInt(m_p, &p) && RazudodBignum::bignumToMpInt(f, &fv) &&
            strictlyInside(fv.v, p.v) && mp_exptmod(&fv, &m_x, &p, &k) == MP_OKAY &&
            mp_cmp_d(&k, 1) == MP_GT;
  if (ok) m_K = RazudodBignum::mpIntToBignum(&k);
  // The exponent has served its one purpose.
  mp_zero(&m_x);
  m_haveX = false;
  return ok && m_K;
}
