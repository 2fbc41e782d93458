// The per-nonce arithmetic and the CUDA kernels' per-thread code (default and
// balanced), checked against the full BLAKE2s-256 digest. Built twice: as the host runs it, and
// with NS_DEVICE_MIRRORS as the GPU runs it (byte permutes and funnel shifts
// through host mirrors of the intrinsics, with the selectors and shift counts
// the GPU build uses).
#include <gtest/gtest.h>

#include <vector>

#include "search_block.h"
#include "test_util.h"

#if defined(NS_DEVICE_MIRRORS)
using namespace ns_device_path;
#endif

namespace {

std::vector<uint32_t> block_for(const std::vector<unsigned char>& header, bool extended,
                                uint64_t target3 = 0) {
  std::vector<unsigned char> target(32, 0);
  for (int i = 0; i < 8; ++i) target[24 + i] = uint8_t(target3 >> (8 * i));
  std::vector<uint32_t> b(NS_BLOCK_WORDS);
  build_search_block(header.data(), target.data(), extended, b.data());
  return b;
}

void set_target3(std::vector<uint32_t>* block, uint64_t t) {
  (*block)[NS_WORD_TARGET + 6] = uint32_t(t);
  (*block)[NS_WORD_TARGET + 7] = uint32_t(t >> 32);
}

// A header with bits set in bytes 284-285, so the ORed high half matters.
std::vector<unsigned char> marked_header() { return selftest_header(0x0F, 0x80); }

// A 1 the compiler cannot see, as the balanced kernel receives it.
uint32_t unseen_one() {
  static volatile uint32_t one = 1;
  return one;
}

// h3 as the balanced kernel forms it (its adds as b * one + a).
uint64_t balanced_h3(const std::vector<uint32_t>& block, uint64_t nonce, bool extended,
                     uint32_t one = unseen_one()) {
  uint64_t h3 = 0;
  ns_nonce_test<false, true>(block.data(), nonce, extended, 0, &h3, one);
  return h3;
}

TEST(NoncePath, GoldenH3Values) {
  const std::vector<unsigned char> header = selftest_header();
  struct Case {
    uint64_t nonce, h3;
  } cases[] = {{0, 0x19EC5359807E4FF3ull},
               {1, 0x97E90B0870C65918ull},
               {0x123456789ABCull, 0xE74D9D0E19E87904ull}};
  for (bool extended : {false, true}) {
    const std::vector<uint32_t> block = block_for(header, extended);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "nonce " << c.nonce << " extended " << extended);
      EXPECT_EQ(ns_nonce_h3(block.data(), c.nonce, extended), c.h3);
      EXPECT_EQ(balanced_h3(block, c.nonce, extended), c.h3);
      EXPECT_EQ(digest_h3(with_nonce(header, c.nonce)), c.h3);
    }
  }
}

TEST(NoncePath, EveryNonceMatchesTheFullDigest) {
  const std::vector<unsigned char> header = marked_header();
  for (bool extended : {false, true}) {
    const std::vector<uint32_t> block = block_for(header, extended);
    uint64_t nonce = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 300; ++i) {
      nonce = nonce * 6364136223846793005ull + 1442695040888963407ull;
      const uint64_t n48 = nonce >> 16;
      const uint64_t want = digest_h3(with_nonce(header, n48));
      ASSERT_EQ(ns_nonce_h3(block.data(), n48, extended), want) << n48 << " extended " << extended;
      ASSERT_EQ(balanced_h3(block, n48, extended), want) << n48 << " extended " << extended;
    }
  }
}

TEST(NoncePath, BasicAndExtendedBlocksAreNotInterchangeable) {
  const std::vector<unsigned char> header = selftest_header();
  EXPECT_NE(ns_nonce_h3(block_for(header, true).data(), 0, false), 0x19EC5359807E4FF3ull);
  EXPECT_NE(ns_nonce_h3(block_for(header, false).data(), 0, true), 0x19EC5359807E4FF3ull);
}

// The balanced form does go through `one`: with any other value it hashes wrong.
TEST(NoncePath, BalancedAddsUseTheOneTheyAreGiven) {
  const std::vector<uint32_t> block = block_for(selftest_header(), true);
  EXPECT_EQ(balanced_h3(block, 0, true, 1), 0x19EC5359807E4FF3ull);
  EXPECT_NE(balanced_h3(block, 0, true, 2), 0x19EC5359807E4FF3ull);
  EXPECT_NE(balanced_h3(block, 0, true, 0), 0x19EC5359807E4FF3ull);
}

// The early test on hash word 7 must give exactly the strict 64-bit compare:
// targets around h3, ties on word 7 (word 6 decides) and on all 64 bits.
TEST(NoncePath, WinsIsTheStrictCompareOfAll64Bits) {
  const std::vector<unsigned char> header = marked_header();
  int ties_on_word7 = 0;
  for (bool extended : {false, true}) {
    std::vector<uint32_t> block = block_for(header, extended);
    for (uint64_t nonce : {0ull, 1ull, 935033ull, 0x123456789ABCull, 0xFFFFFFFFull}) {
      const uint64_t h3 = digest_h3(with_nonce(header, nonce));
      const uint64_t h7 = h3 >> 32, h6 = h3 & 0xFFFFFFFFu;
      const uint64_t targets[] = {
          h3 - 1, h3, h3 + 1,                       // around h3: h3 itself loses
          h7 << 32, (h7 << 32) | 0xFFFFFFFFu,       // word 7 tied, word 6 decides
          (h7 << 32) | (h6 - 1), (h7 << 32) | (h6 + 1),
          (h7 + 1) << 32, ((h7 - 1) << 32) | 0xFFFFFFFFu,  // word 7 alone decides
          0, ~0ull};
      for (uint64_t t : targets) {
        set_target3(&block, t);
        SCOPED_TRACE(testing::Message() << std::hex << "nonce " << nonce << " h3 " << h3
                                        << " target " << t << " extended " << extended);
        EXPECT_EQ(ns_nonce_wins(block.data(), nonce, extended), t > h3);
        EXPECT_EQ(ns_nonce_wins<true>(block.data(), nonce, extended, unseen_one()), t > h3);
        uint64_t tested = 0;
        EXPECT_EQ(ns_nonce_test<false>(block.data(), nonce, extended, t, &tested), t > h3);
        EXPECT_EQ(tested, h3);
        ties_on_word7 += (t >> 32) == h7;
      }
    }
  }
  EXPECT_GT(ties_on_word7, 40);
}

// A slot that keeps every store, in order.
struct RecordingSlot {
  std::vector<uint64_t> stores;
  RecordingSlot& operator=(uint64_t nonce) {
    stores.push_back(nonce);
    return *this;
  }
};

struct Coord {
  uint32_t x, y, z;
};

// Runs a kernel's per-thread code for every thread of a grid, in order.
template <bool kBalanced>
RecordingSlot run_grid(const std::vector<uint32_t>& block, Coord grid, Coord dim, uint64_t start) {
  RecordingSlot slot;
  const uint32_t one = unseen_one();
  for (uint32_t bz = 0; bz < grid.z; ++bz)
    for (uint32_t by = 0; by < grid.y; ++by)
      for (uint32_t bx = 0; bx < grid.x; ++bx)
        for (uint32_t tz = 0; tz < dim.z; ++tz)
          for (uint32_t ty = 0; ty < dim.y; ++ty)
            for (uint32_t tx = 0; tx < dim.x; ++tx)
              ns_cuda_thread<kBalanced>(Coord{bx, by, bz}, dim, Coord{tx, ty, tz}, start,
                                        block.data(), &slot, one);
  return slot;
}

TEST(CudaThread, EachThreadTestsStartPlusItsIndexInX) {
  std::vector<uint32_t> block = block_for(selftest_header(), true, ~0ull);  // every nonce wins
  struct Case {
    Coord grid, dim;
    uint64_t start;
  } cases[] = {
      {{3, 1, 1}, {64, 1, 1}, 1000},
      {{2, 1, 1}, {32, 1, 1}, ~0ull - 40},  // wraps past 2^64
      {{2, 2, 1}, {16, 2, 1}, 5},           // y repeats the nonces of x
  };
  for (const Case& c : cases) {
    std::vector<uint64_t> want;
    for (uint32_t by = 0; by < c.grid.y; ++by)
      for (uint32_t bx = 0; bx < c.grid.x; ++bx)
        for (uint32_t ty = 0; ty < c.dim.y; ++ty)
          for (uint32_t tx = 0; tx < c.dim.x; ++tx) want.push_back(c.start + bx * c.dim.x + tx);
    EXPECT_EQ(run_grid<false>(block, c.grid, c.dim, c.start).stores, want) << c.start;
    EXPECT_EQ(run_grid<true>(block, c.grid, c.dim, c.start).stores, want) << "balanced " << c.start;
  }
  // The index is a 32-bit value: block 2^19 of 2^13 threads is index 0 again.
  RecordingSlot slot;
  ns_cuda_thread<false>(Coord{1u << 19, 0, 0}, Coord{1u << 13, 1, 1}, Coord{3, 0, 0}, 77,
                        block.data(), &slot);
  EXPECT_EQ(slot.stores, std::vector<uint64_t>{80});
}

TEST(CudaThread, OnlyTheWinnerStores) {
  const std::vector<unsigned char> header = marked_header();
  const uint64_t start = (1ull << 40) + 12345;
  const Coord grid{4, 1, 1}, dim{64, 1, 1};
  // The nonce of the launch with the lowest h3; a target one above makes it
  // the only winner, and a target equal to it leaves none.
  uint64_t best = start, best_h3 = ~0ull;
  for (uint64_t n = start; n < start + 256; ++n) {
    const uint64_t h = digest_h3(with_nonce(header, n));
    if (h < best_h3) best_h3 = h, best = n;
  }
  std::vector<uint32_t> block = block_for(header, true, best_h3 + 1);
  EXPECT_EQ(run_grid<false>(block, grid, dim, start).stores, std::vector<uint64_t>{best});
  EXPECT_EQ(run_grid<true>(block, grid, dim, start).stores, std::vector<uint64_t>{best});
  set_target3(&block, best_h3);
  EXPECT_TRUE(run_grid<false>(block, grid, dim, start).stores.empty());
  EXPECT_TRUE(run_grid<true>(block, grid, dim, start).stores.empty());
}

#if defined(NS_DEVICE_MIRRORS)
// The mirrors against the intrinsics' documented semantics.
TEST(DeviceMirrors, BytePerm) {
  const uint32_t x = 0x33221100, y = 0x77665544;
  struct Case {
    uint32_t selector, want;
  } cases[] = {{0x3210, 0x33221100}, {0x7654, 0x77665544}, {0x0123, 0x00112233},
               {0x4567, 0x44556677}, {0x5140, 0x55114400}, {0xBA98, 0x33221100}};  // bit 3 unused
  for (const Case& c : cases) EXPECT_EQ(ns_byte_perm(x, y, c.selector), c.want) << c.selector;
  // Rotations right by one and two bytes.
  EXPECT_EQ(ns_rotr_selector(1), 0x0321u);
  EXPECT_EQ(ns_rotr_selector(2), 0x1032u);
}

TEST(DeviceMirrors, FunnelShiftRightWraps) {
  const uint32_t lo = 0x89ABCDEF, hi = 0x01234567;
  struct Case {
    uint32_t shift, want;
  } cases[] = {{0, lo}, {4, 0x789ABCDE}, {31, 0x02468ACF}, {32, lo}, {36, 0x789ABCDE}};
  for (const Case& c : cases) EXPECT_EQ(ns_funnelshift_r(lo, hi, c.shift), c.want) << c.shift;
}
#endif

// Every rotation G uses, as the build under test forms it.
TEST(NoncePath, RotationsTurnRight) {
  uint32_t x = 0x9E3779B9;
  for (int i = 0; i < 64; ++i) {
    x = x * 1664525u + 1013904223u;
    EXPECT_EQ(ns_rotr<16>(x), (x >> 16) | (x << 16));
    EXPECT_EQ(ns_rotr<12>(x), (x >> 12) | (x << 20));
    EXPECT_EQ(ns_rotr<8>(x), (x >> 8) | (x << 24));
    EXPECT_EQ(ns_rotr<7>(x), (x >> 7) | (x << 25));
  }
}

}  // namespace
