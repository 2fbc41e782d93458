#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "blake2s.h"
#include "hex.h"
#include "reference.h"
#include "search_block.h"
#include "test_util.h"

namespace {

struct SelfTestJob {
  std::vector<unsigned char> header = from_hex(SELFTEST_HEADER_HEX);
  std::vector<unsigned char> target = from_hex(SELFTEST_TARGET_HEX);

  std::vector<uint32_t> block(bool extended) const { return block_for(header, target, extended); }

  static std::vector<uint32_t> block_for(const std::vector<unsigned char>& h,
                                         const std::vector<unsigned char>& t, bool extended) {
    std::vector<uint32_t> b(NS_BLOCK_WORDS);
    build_search_block(h.data(), t.data(), extended, b.data());
    return b;
  }
};

TEST(SearchBlock, GoldenWordsOfTheSelfTestJob) {
  SelfTestJob job;
  ASSERT_EQ(job.header.size(), 286u);
  ASSERT_EQ(job.target.size(), 32u);
  const std::vector<uint32_t> basic = job.block(false);
  const std::vector<uint32_t> ext = job.block(true);

  const uint32_t m_words[8] = {0x8C690000, 0x00000000, 0x00040000, 0xE5380000,
                               0x974A6202, 0x00000005, 0x00000000, 0x00000000};
  const uint32_t ss[8] = {0x9CBADC8D, 0xD7BF2FC8, 0x168CE397, 0xA224AA6C,
                          0xCE4CC1DA, 0x1583A276, 0x6B0D8A4D, 0xF41E56B1};
  const uint32_t vs[16] = {0xCB70342B, 0x3E650BD6, 0x7D59A2B1, 0xA224AA6C, 0x66BFD12D, 0xBAC0F18B,
                           0x4457840B, 0xF41E56B1, 0x8C170377, 0x0B9EFC45, 0x4FB6D764, 0xA54FF53A,
                           0x55067692, 0x9584D77D, 0x2994EB5A, 0x5BE0CD19};
  for (const auto* b : {&basic, &ext}) {
    for (int i = 0; i < 8; ++i) EXPECT_EQ((*b)[64 + i], m_words[i]) << i;
    EXPECT_EQ((*b)[78], 0xB4AFCD6Du);
    EXPECT_EQ((*b)[79], 0x000000A4u);
    EXPECT_EQ(ns_target3(b->data()), 0x000000A4B4AFCD6Dull);
    for (int i = 0; i < 8; ++i) EXPECT_EQ((*b)[80 + i], ss[i]) << i;
    EXPECT_EQ((*b)[91], (*b)[83]);
    EXPECT_EQ((*b)[95], (*b)[87]);
    EXPECT_EQ((*b)[99], 0xA54FF53Au);
    EXPECT_EQ((*b)[103], 0x5BE0CD19u);
  }
  for (int i = 0; i < 16; ++i) EXPECT_EQ(basic[88 + i], vs[i]) << i;
  for (int i = 0; i < 16; ++i) {
    const uint32_t want = i == 0 ? 0x863125B6 : i == 1 ? 0x82BC8FE1 : i == 12 ? 0xF973D7BA : vs[i];
    EXPECT_EQ(ext[88 + i], want) << i;
  }
  // The header itself, then two zero bytes.
  EXPECT_EQ(0, memcmp(basic.data(), job.header.data(), 286));
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(basic.data())[286], 0);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(basic.data())[287], 0);
}

std::vector<int> changed_words(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  std::vector<int> changed;
  for (int i = 0; i < NS_BLOCK_WORDS; ++i)
    if (a[i] != b[i]) changed.push_back(i);
  return changed;
}

TEST(SearchBlock, NonceBytesChangeOnlyWords70And71) {
  SelfTestJob job;
  for (bool extended : {false, true}) {
    std::vector<unsigned char> other = job.header;
    for (int i = 280; i < 286; ++i) other[i] = uint8_t(0x11 * (i - 279));
    EXPECT_EQ(changed_words(job.block(extended), SelfTestJob::block_for(other, job.target, extended)),
              (std::vector<int>{70, 71}));
  }
}

TEST(SearchBlock, TargetBytesChangeOnlyWords72To79) {
  SelfTestJob job;
  for (bool extended : {false, true}) {
    std::vector<unsigned char> other = job.target;
    for (auto& byte : other) byte ^= 0xFF;
    EXPECT_EQ(changed_words(job.block(extended), SelfTestJob::block_for(job.header, other, extended)),
              (std::vector<int>{72, 73, 74, 75, 76, 77, 78, 79}));
  }
}

TEST(NonceSearch, TheComparisonIsStrict) {
  SelfTestJob job;
  std::vector<uint32_t> block = job.block(false);
  const uint64_t h3 = 0x19EC5359807E4FF3ull;  // nonce 0
  auto set_target3 = [&](uint64_t t) {
    block[78] = uint32_t(t);
    block[79] = uint32_t(t >> 32);
  };
  set_target3(h3);
  EXPECT_TRUE(reference_winners(block.data(), 0, 1, 1, false).empty());
  set_target3(h3 + 1);
  EXPECT_EQ(reference_winners(block.data(), 0, 1, 1, false), std::vector<uint64_t>{0});
  // The lower 192 bits of the target never matter.
  for (int w = 72; w < 78; ++w) block[w] = 0;
  EXPECT_EQ(reference_winners(block.data(), 0, 1, 1, false), std::vector<uint64_t>{0});
}

std::vector<uint32_t> everything_wins(bool extended) {
  SelfTestJob job;
  std::vector<uint32_t> block = job.block(extended);
  block[78] = block[79] = 0xFFFFFFFF;
  return block;
}

TEST(NonceSearch, Gran2CoversTwoNoncesPerThread) {
  const std::vector<uint32_t> block = everything_wins(true);
  EXPECT_EQ(reference_winners(block.data(), 1000, 3, 2, true),
            (std::vector<uint64_t>{1000, 1001, 1002, 1003, 1004, 1005}));
  // The product 2 * jobId is formed in 32 bits.
  EXPECT_EQ(ns_thread_nonce(7, 0x80000000u, 2), 7u);
  EXPECT_EQ(ns_thread_nonce(7, 0x80000001u, 2), 9u);
}

TEST(NonceSearch, StartNonceWrapsAt2To64) {
  const std::vector<uint32_t> block = everything_wins(false);
  EXPECT_EQ(reference_winners(block.data(), ~0ull - 1, 4, 1, false),
            (std::vector<uint64_t>{~0ull - 1, ~0ull, 0, 1}));
  EXPECT_TRUE(reference_accepts(block.data(), ~0ull - 1, 4, 1, false, 1));
  EXPECT_FALSE(reference_accepts(block.data(), ~0ull - 1, 4, 1, false, 2));
}

TEST(NonceSearch, WinnersAreExactlyTheNoncesBelowTheTargetByTheFullDigest) {
  // An easy target (about one nonce in 64 wins) over a range of the self-test
  // job: the reference finds every winner and nothing else.
  SelfTestJob job;
  job.target[31] = 0x04;
  for (bool extended : {false, true}) {
    const std::vector<uint32_t> block = job.block(extended);
    const uint64_t target3 = ns_target3(block.data());
    std::vector<uint64_t> expected;
    for (uint64_t n = SELFTEST_START_NONCE; n < SELFTEST_START_NONCE + 2048; ++n)
      if (digest_h3(with_nonce(job.header, n)) < target3) expected.push_back(n);
    EXPECT_GT(expected.size(), 10u);
    EXPECT_EQ(reference_winners(block.data(), SELFTEST_START_NONCE, 2048, 1, extended), expected);
    EXPECT_EQ(reference_winners(block.data(), SELFTEST_START_NONCE, 1024, 2, extended), expected);
  }
}

TEST(CudaSelfTest, DigestOfTheHeaderWithItsNonce) {
  SelfTestJob job;
  std::vector<unsigned char> header = job.header;
  for (int i = 0; i < 6; ++i) header[280 + i] = uint8_t(CUDA_SELFTEST_NONCE >> (8 * i));
  EXPECT_EQ(header[284], 0x0F);
  uint8_t d[32];
  ASSERT_EQ(blake2s(d, 32, header.data(), header.size(), nullptr, 0), 0);
  EXPECT_EQ(to_hex(d, 32), "4cb5e21d6d359af8c6b592b1df1019eeb6b45055ef12019fe27e75e81a62be2a");
}

}  // namespace
