// Diffie-Hellman: both ends agree on K in the fixed groups, and every number a server controls
// is checked before it is used.
#include "sshlib/crypto/RazudodDh.h"

#include "sshlib/core/DataBuffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

unsigned int *num(unsigned int v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v >> 24),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  return RazudodBignum::fromBytes(b, 4);
}

// p + delta (delta may be negative), as a new number.
unsigned int *around(const unsigned int *p, int delta) {
  MpInt m;
  RazudodBignum::bignumToMpInt(p, &m);
  if (delta >= 0)
    EXPECT_EQ(mp_add_d(&m, static_cast<mp_digit>(delta), &m), MP_OKAY);
  else
    EXPECT_EQ(mp_sub_d(&m, static_cast<mp_digit>(-delta), &m), MP_OKAY);
  return RazudodBignum::mpIntToBignum(&m);
}

TEST(RazudodDh, BothEndsAgreeOnKInFixedGroups) {
  for (int group : {2, 14}) {
    RazudodDh a, b;
    a.UseOakleyGroup(group);
    b.UseOakleyGroup(group);
    EXPECT_EQ(RazudodBignum::bitcount(a.get_p()), group == 14 ? 2048 : 1024);
    ASSERT_TRUE(a.create_E(320));
    ASSERT_TRUE(b.create_E(2048));
    ASSERT_TRUE(a.find_K(b.get_e()));
    ASSERT_TRUE(b.find_K(a.get_e()));
    EXPECT_EQ(RazudodBignum::compare(a.get_K(), b.get_K()), 0);
    EXPECT_NE(RazudodBignum::compare(a.get_e(), b.get_e()), 0);
    // The exponent is gone once K is known.
    EXPECT_FALSE(a.find_K(b.get_e()));
  }
}

TEST(RazudodDh, RefusesOutOfRangePeerValues) {
  RazudodDh a;
  a.UseOakleyGroup(14);
  // f must lie strictly between 1 and p-1.
  for (int delta : {-1, 0, 1}) {
    ASSERT_TRUE(a.create_E(256));
    unsigned int *f = around(a.get_p(), delta);
    EXPECT_FALSE(a.find_K(f)) << delta;
    EXPECT_EQ(a.get_K(), nullptr);
    RazudodBignum::freebn(f);
  }
  for (unsigned int v : {0u, 1u}) {
    ASSERT_TRUE(a.create_E(256));
    unsigned int *f = num(v);
    EXPECT_FALSE(a.find_K(f)) << v;
    RazudodBignum::freebn(f);
  }
  EXPECT_FALSE(a.find_K(nullptr));
  EXPECT_FALSE(a.create_E(0));
  EXPECT_FALSE(a.create_E(10001));
}

TEST(RazudodDh, ChecksServerGroups) {
  RazudodDh fixed;
  fixed.UseOakleyGroup(14);
  const unsigned int *p14 = fixed.get_p();
  struct Case {
    unsigned int *p, *g;
    bool ok;
  } cases[] = {
      {RazudodBignum::copybn(p14), num(5), true},
      {RazudodBignum::copybn(p14), num(1), false},          // g = 1
      {RazudodBignum::copybn(p14), around(p14, -1), false}, // g = p-1
      {around(p14, 1), num(2), false},                      // even p
      {num(0xFFFFFFFB), num(2), false},                     // far too small
      {nullptr, num(2), false},
  };
  for (Case &c : cases) {
    RazudodDh d;
    d.replace_p(c.p);
    d.replace_g(c.g);
    EXPECT_EQ(d.create_E(320), c.ok) << RazudodBignum::bitcount(c.p);
    RazudodDh peer;
    if (c.ok) {
      peer.replace_p(RazudodBignum::copybn(c.p));
      peer.replace_g(RazudodBignum::copybn(c.g));
      ASSERT_TRUE(peer.create_E(320));
      ASSERT_TRUE(d.find_K(peer.get_e()));
      ASSERT_TRUE(peer.find_K(d.get_e()));
      EXPECT_EQ(RazudodBignum::compare(d.get_K(), peer.get_K()), 0);
    }
  }
}

TEST(RazudodBignum, MpintFormatting) {
  struct Case {
    std::vector<unsigned char> in, mpint;
  } cases[] = {{{}, {}},
               {{0, 0}, {}},
               {{0x7f}, {0x7f}},
               {{0x80}, {0, 0x80}},
               {{0, 1, 2, 3, 4}, {1, 2, 3, 4}},
               {{0xde, 0xad, 0xbe, 0xef, 0x01}, {0, 0xde, 0xad, 0xbe, 0xef, 0x01}}};
  for (const Case &c : cases) {
    unsigned int *bn =
        RazudodBignum::fromBytes(c.in.data(), static_cast<unsigned int>(c.in.size()));
    DataBuffer out;
    RazudodBignum::ssh2_mpint_fmt(bn, out);
    EXPECT_EQ(std::vector<unsigned char>(out.getData2(), out.getData2() + out.getSize()), c.mpint);
    MpInt m;
    ASSERT_TRUE(RazudodBignum::bignumToMpInt(bn, &m));
    unsigned int *back = RazudodBignum::mpIntToBignum(&m);
    EXPECT_EQ(RazudodBignum::compare(bn, back), 0);
    EXPECT_EQ(RazudodBignum::bitcount(bn), mp_count_bits(&m));
    RazudodBignum::freebn(bn);
    RazudodBignum::freebn(back);
  }
}

} // namespace
