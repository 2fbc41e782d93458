#include "blake2s.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct KatRow {
  int keylen;
  int outlen;
  int msglen;
  const char* digest;
};

const KatRow kKat[] = {
#include "blake2s_kat.inc"
};

std::vector<uint8_t> kat_message(int n) {
  std::vector<uint8_t> m(n);
  for (int i = 0; i < n; ++i) m[i] = uint8_t(i * 7 + 3);
  return m;
}

std::vector<uint8_t> kat_key(int n) {
  std::vector<uint8_t> k(n);
  for (int i = 0; i < n; ++i) k[i] = uint8_t(i);
  return k;
}

TEST(Blake2s, Rfc7693AppendixB_abc) {
  uint8_t out[32];
  ASSERT_EQ(blake2s(out, 32, "abc", 3, nullptr, 0), 0);
  EXPECT_EQ(to_hex(out, 32), "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982");
}

// RFC 7693 Appendix E: a hash over unkeyed and keyed digests of many lengths.
void selftest_seq(uint8_t* out, size_t len, uint32_t seed) {
  uint32_t a = 0xDEAD4BAD * seed, b = 1;
  for (size_t i = 0; i < len; i++) {
    const uint32_t t = a + b;
    a = b;
    b = t;
    out[i] = (t >> 24) & 0xFF;
  }
}

TEST(Blake2s, Rfc7693AppendixE_SelfTest) {
  const size_t md_len[4] = {16, 20, 28, 32};
  const size_t in_len[6] = {0, 3, 64, 65, 255, 1024};
  uint8_t in[1024], md[32], key[32];
  blake2s_state ctx;
  ASSERT_EQ(blake2s_init(&ctx, 32), 0);
  for (size_t outlen : md_len) {
    for (size_t inlen : in_len) {
      selftest_seq(in, inlen, uint32_t(inlen));
      ASSERT_EQ(blake2s(md, outlen, in, inlen, nullptr, 0), 0);
      blake2s_update(&ctx, md, outlen);
      selftest_seq(key, outlen, uint32_t(outlen));
      ASSERT_EQ(blake2s(md, outlen, in, inlen, key, outlen), 0);
      blake2s_update(&ctx, md, outlen);
    }
  }
  ASSERT_EQ(blake2s_final(&ctx, md, 32), 0);
  EXPECT_EQ(to_hex(md, 32), "6a411f08ce25adcdfb02aba641451cec53c598b24f4fc787fbdc88797f4c1dfe");
}

TEST(Blake2s, EveryKeyAndDigestLengthMatchesHashlib) {
  for (const KatRow& row : kKat) {
    SCOPED_TRACE(testing::Message() << "key " << row.keylen << " out " << row.outlen << " msg "
                                    << row.msglen);
    const std::vector<uint8_t> msg = kat_message(row.msglen);
    const std::vector<uint8_t> key = kat_key(row.keylen);
    uint8_t out[32];
    ASSERT_EQ(blake2s(out, row.outlen, msg.data(), msg.size(), key.data(), key.size()), 0);
    EXPECT_EQ(to_hex(out, row.outlen), row.digest);

    // The incremental interface gives the same, fed a byte at a time.
    blake2s_state S;
    ASSERT_EQ(row.keylen ? blake2s_init_key(&S, row.outlen, key.data(), key.size())
                         : blake2s_init(&S, row.outlen),
              0);
    for (uint8_t byte : msg) blake2s_update(&S, &byte, 1);
    uint8_t out2[32];
    ASSERT_EQ(blake2s_final(&S, out2, row.outlen), 0);
    EXPECT_EQ(to_hex(out2, row.outlen), row.digest);
  }
}

TEST(Blake2s, PiecesGiveTheSameDigest) {
  const std::vector<uint8_t> msg = kat_message(1000);
  uint8_t whole[32];
  ASSERT_EQ(blake2s(whole, 32, msg.data(), msg.size(), nullptr, 0), 0);
  for (size_t piece : {1, 63, 64, 65}) {
    SCOPED_TRACE(piece);
    blake2s_state S;
    blake2s_init(&S, 32);
    for (size_t at = 0; at < msg.size(); at += piece)
      blake2s_update(&S, msg.data() + at, std::min(piece, msg.size() - at));
    uint8_t out[32];
    ASSERT_EQ(blake2s_final(&S, out, 32), 0);
    EXPECT_EQ(0, memcmp(out, whole, 32));
  }
}

TEST(Blake2s, AFullBlockStaysPendingUntilMoreInput) {
  blake2s_state S;
  blake2s_init(&S, 32);
  uint32_t h_before[8];
  memcpy(h_before, S.h, sizeof(h_before));
  const std::vector<uint8_t> msg = kat_message(65);
  blake2s_update(&S, msg.data(), 64);
  EXPECT_EQ(S.buflen, 64u);
  EXPECT_EQ(S.t[0], 0u);
  EXPECT_EQ(0, memcmp(S.h, h_before, sizeof(h_before)));
  blake2s_update(&S, msg.data() + 64, 1);
  EXPECT_EQ(S.buflen, 1u);
  EXPECT_EQ(S.t[0], 64u);
}

// The byte counter is 64 bits in two words: the low word wraps into the high
// one, on every compression and at finalisation, and the high word reaches
// the compression (v13). A message of 4 GiB would show it; setting the low
// word just below 2^32 shows it at once.
TEST(Blake2s, ByteCounterCarriesIntoItsHighWord) {
  const std::vector<uint8_t> msg = kat_message(129);
  blake2s_state S;
  blake2s_init(&S, 32);
  S.t[0] = 0xFFFFFFC0u;  // 64 bytes below 2^32
  blake2s_update(&S, msg.data(), 129);  // two blocks compressed, one byte pending
  EXPECT_EQ(S.t[0], 64u);
  EXPECT_EQ(S.t[1], 1u);

  blake2s_state F;
  blake2s_init(&F, 32);
  F.t[0] = 0xFFFFFFF0u;
  blake2s_update(&F, msg.data(), 30);
  uint8_t out[32];
  ASSERT_EQ(blake2s_final(&F, out, 32), 0);
  EXPECT_EQ(F.t[0], 14u);
  EXPECT_EQ(F.t[1], 1u);

  // The same blocks with the high word set give another chaining value.
  auto chained = [&](uint32_t high_word, blake2s_state* state) {
    blake2s_init(state, 32);
    state->t[0] = 0x7FFFFFC0u;
    state->t[1] = high_word;
    blake2s_update(state, msg.data(), 129);
  };
  blake2s_state low, high;
  chained(0, &low);
  chained(1, &high);
  EXPECT_EQ(low.t[0], high.t[0]);
  EXPECT_NE(0, memcmp(low.h, high.h, sizeof(low.h)));
}

TEST(Blake2s, ErrorResults) {
  blake2s_state S;
  uint8_t out[32];
  const uint8_t key[33] = {1};
  EXPECT_EQ(blake2s_init(&S, 0), -1);
  EXPECT_EQ(blake2s_init(&S, 33), -1);
  EXPECT_EQ(blake2s_init_key(&S, 32, nullptr, 4), -1);
  EXPECT_EQ(blake2s_init_key(&S, 32, key, 0), -1);
  EXPECT_EQ(blake2s_init_key(&S, 32, key, 33), -1);
  EXPECT_EQ(blake2s(out, 32, "abc", 3, key, 33), -1);
  EXPECT_EQ(blake2s(out, 0, "abc", 3, nullptr, 0), -1);
  EXPECT_EQ(blake2s(out, 33, "abc", 3, nullptr, 0), -1);
  EXPECT_EQ(blake2s(nullptr, 32, "abc", 3, nullptr, 0), -1);
  EXPECT_EQ(blake2s(out, 32, nullptr, 3, nullptr, 0), -1);
  EXPECT_EQ(blake2s(out, 32, "abc", 3, nullptr, 1), -1);

  // A null input of length 0 is the empty message.
  ASSERT_EQ(blake2s(out, 32, nullptr, 0, nullptr, 0), 0);
  EXPECT_EQ(to_hex(out, 32), "69217a3079908094e11121d042354a7c1f55b6482ca1a51e1b250dfd1ed0eef9");

  blake2s_init(&S, 32);
  EXPECT_EQ(blake2s_final(&S, out, 16), -1);  // shorter than the digest
  EXPECT_EQ(blake2s_final(&S, nullptr, 32), -1);
  EXPECT_EQ(blake2s_final(&S, out, 32), 0);
  EXPECT_EQ(blake2s_final(&S, out, 32), -1);  // already finalised
}

TEST(Blake2s, FinalNeverCopiesMoreThanTheDigest) {
  blake2s_state S;
  blake2s_init(&S, 32);
  uint8_t out[40];
  memset(out, 0xAB, sizeof(out));
  ASSERT_EQ(blake2s_final(&S, out, sizeof(out)), 0);
  for (size_t i = 32; i < sizeof(out); ++i) EXPECT_EQ(out[i], 0xAB);
}

// Finishes the last block's compression from a midstate, every word, so that
// the result can be compared with a full digest.
void finish_from_midstate(const blake2s_midstate& ms, const uint8_t* last_block, bool extended,
                          uint8_t digest[32]) {
  static const uint8_t sigma[10][16] = {
      {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
      {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
      {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
      {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
      {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
      {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
      {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
      {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
      {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
      {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
  };
  auto rotr = [](uint32_t w, int c) { return (w >> c) | (w << (32 - c)); };
  uint32_t m[16];
  memcpy(m, last_block, 64);
  uint32_t v[16];
  memcpy(v, ms.v, sizeof(v));
  auto g = [&](int a, int b, int c, int d, uint32_t x, uint32_t y, int from_step) {
    if (from_step <= 0) v[a] = v[a] + v[b] + x;
    if (from_step <= 1) v[d] = rotr(v[d] ^ v[a], 16);
    if (from_step <= 2) v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 12);
    v[a] = v[a] + v[b] + y;
    v[d] = rotr(v[d] ^ v[a], 8);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 7);
  };
  g(3, 7, 11, 15, m[6], m[7], 0);
  g(0, 5, 10, 15, m[8], m[9], extended ? 1 : 0);
  g(1, 6, 11, 12, m[10], m[11], extended ? 2 : 0);
  g(2, 7, 8, 13, m[12], m[13], 0);
  g(3, 4, 9, 14, m[14], m[15], 0);
  for (int r = 1; r < 10; ++r) {
    const uint8_t* s = sigma[r];
    g(0, 4, 8, 12, m[s[0]], m[s[1]], 0);
    g(1, 5, 9, 13, m[s[2]], m[s[3]], 0);
    g(2, 6, 10, 14, m[s[4]], m[s[5]], 0);
    g(3, 7, 11, 15, m[s[6]], m[s[7]], 0);
    g(0, 5, 10, 15, m[s[8]], m[s[9]], 0);
    g(1, 6, 11, 12, m[s[10]], m[s[11]], 0);
    g(2, 7, 8, 13, m[s[12]], m[s[13]], 0);
    g(3, 4, 9, 14, m[s[14]], m[s[15]], 0);
  }
  for (int i = 0; i < 8; ++i) {
    const uint32_t w = ms.h[i] ^ v[i] ^ v[i + 8];
    memcpy(digest + 4 * i, &w, 4);
  }
}

TEST(Blake2sPartial, FinishingTheCompressionGivesTheDigest) {
  // Last blocks of 1 to 32 bytes after 0 to 4 full blocks.
  for (size_t len : {1, 17, 30, 32, 65, 94, 96, 200, 286, 288}) {
    for (bool extended : {false, true}) {
      SCOPED_TRACE(testing::Message() << "len " << len << " extended " << extended);
      const std::vector<uint8_t> msg = kat_message(int(len));
      blake2s_midstate ms;
      ASSERT_EQ(blake2s_partial(32, msg.data(), msg.size(), &ms, extended), 0);
      uint8_t last[64] = {0};
      const size_t last_len = len % 64 == 0 ? 64 : len % 64;
      memcpy(last, msg.data() + len - last_len, last_len);
      uint8_t finished[32], expected[32];
      finish_from_midstate(ms, last, extended, finished);
      ASSERT_EQ(blake2s(expected, 32, msg.data(), msg.size(), nullptr, 0), 0);
      EXPECT_EQ(to_hex(finished, 32), to_hex(expected, 32));
    }
  }
}

TEST(Blake2sPartial, VariantsDifferOnlyInV0V1V12) {
  const std::vector<uint8_t> msg = kat_message(286);
  blake2s_midstate basic, extended;
  ASSERT_EQ(blake2s_partial(32, msg.data(), msg.size(), &basic, false), 0);
  ASSERT_EQ(blake2s_partial(32, msg.data(), msg.size(), &extended, true), 0);
  EXPECT_EQ(0, memcmp(basic.h, extended.h, sizeof(basic.h)));
  for (int i = 0; i < 16; ++i) {
    if (i == 0 || i == 1 || i == 12)
      EXPECT_NE(basic.v[i], extended.v[i]) << i;
    else
      EXPECT_EQ(basic.v[i], extended.v[i]) << i;
  }
}

TEST(Blake2sPartial, ErrorResults) {
  blake2s_midstate ms;
  memset(&ms, 0x5A, sizeof(ms));
  const blake2s_midstate untouched = ms;
  EXPECT_EQ(blake2s_partial(32, "abc", 3, nullptr, false), -1);
  EXPECT_EQ(blake2s_partial(32, nullptr, 3, &ms, false), -1);
  EXPECT_EQ(blake2s_partial(0, "abc", 3, &ms, false), -1);
  EXPECT_EQ(blake2s_partial(33, "abc", 3, &ms, true), -1);
  EXPECT_EQ(0, memcmp(&ms, &untouched, sizeof(ms)));
}

}  // namespace
