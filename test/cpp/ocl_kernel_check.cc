// Runs the OpenCL kernels, as the module embeds them, on the first OpenCL
// device (PoCL on a CPU will do) and compares the result slot with the host
// reference.
#define CL_HPP_TARGET_OPENCL_VERSION 120
#define CL_HPP_MINIMUM_OPENCL_VERSION 120
#define CL_HPP_ENABLE_EXCEPTIONS
#include <CL/opencl.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "embedded.h"
#include "hex.h"
#include "reference.h"
#include "search_block.h"
#include "test_util.h"

namespace {

const uint64_t kNone = ~0ull;  // the slot's value when nothing won
const size_t kLocal = 256;

struct KernelCase {
  const char* file;
  const unsigned char* source;
  uint32_t gran;
  bool extended;
};

void PrintTo(const KernelCase& c, std::ostream* os) { *os << c.file; }

struct Device {
  cl::Context context;
  cl::Device device;
  cl::CommandQueue queue;
};

// One device for the whole run; null when the machine has no OpenCL.
Device* device() {
  static std::unique_ptr<Device> dev = []() -> std::unique_ptr<Device> {
    try {
      std::vector<cl::Platform> platforms;
      cl::Platform::get(&platforms);
      for (auto& p : platforms) {
        std::vector<cl::Device> devices;
        p.getDevices(CL_DEVICE_TYPE_ALL, &devices);
        if (devices.empty()) continue;
        auto d = std::make_unique<Device>();
        d->device = devices[0];
        d->context = cl::Context(d->device);
        d->queue = cl::CommandQueue(d->context, d->device);
        return d;
      }
    } catch (const cl::Error&) {
      // No ICD or no platform: the tests skip.
    }
    return nullptr;
  }();
  return dev.get();
}

class OclKernel : public ::testing::TestWithParam<KernelCase> {
 protected:
  void SetUp() override {
    dev_ = device();
    if (!dev_) GTEST_SKIP() << "no OpenCL device";
    program_ = cl::Program(dev_->context, reinterpret_cast<const char*>(GetParam().source));
    try {
      program_.build({dev_->device}, "-cl-std=CL1.2");
    } catch (const cl::Error&) {
      FAIL() << program_.getBuildInfo<CL_PROGRAM_BUILD_LOG>(dev_->device);
    }
    kernel_ = cl::Kernel(program_, "blake2s_hash");
  }

  std::vector<uint32_t> block(const std::vector<unsigned char>& header, uint64_t target3) const {
    std::vector<unsigned char> target(32, 0);
    for (int i = 0; i < 8; ++i) target[24 + i] = uint8_t(target3 >> (8 * i));
    std::vector<uint32_t> b(NS_BLOCK_WORDS);
    build_search_block(header.data(), target.data(), GetParam().extended, b.data());
    return b;
  }

  uint64_t launch(const std::vector<uint32_t>& b, uint64_t start, size_t threads) {
    cl::Buffer data(dev_->context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, size_t(NS_BLOCK_BYTES),
                    const_cast<uint32_t*>(b.data()));
    uint64_t slot = kNone;
    cl::Buffer result(dev_->context, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR, sizeof(slot), &slot);
    kernel_.setArg(0, cl_ulong(start));
    kernel_.setArg(1, data);
    kernel_.setArg(2, result);
    dev_->queue.enqueueNDRangeKernel(kernel_, cl::NullRange, cl::NDRange(threads),
                                     cl::NDRange(kLocal));
    dev_->queue.enqueueReadBuffer(result, CL_TRUE, 0, sizeof(slot), &slot);
    return slot;
  }

  std::vector<uint64_t> winners(const std::vector<uint32_t>& b, uint64_t start, size_t threads) {
    return reference_winners(b.data(), start, uint32_t(threads), GetParam().gran,
                             GetParam().extended);
  }

  // The slot holds one of the reference winners, or kNone when there is none.
  void expect_reference(const std::vector<uint32_t>& b, uint64_t start, size_t threads) {
    const std::vector<uint64_t> want = winners(b, start, threads);
    const uint64_t got = launch(b, start, threads);
    if (want.empty()) {
      EXPECT_EQ(got, kNone) << "start " << start;
    } else {
      EXPECT_NE(std::find(want.begin(), want.end(), got), want.end())
          << "start " << start << " got " << got;
    }
  }

  // The nonce of [lo, lo + n) with the lowest h3; a target of h3 + 1 makes it
  // the only winner of any range inside that window.
  uint64_t best_nonce(const std::vector<uint32_t>& b, uint64_t lo, uint64_t n, uint64_t* h3) {
    uint64_t best = lo;
    *h3 = kNone;
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t h = ns_nonce_h3(b.data(), lo + i, GetParam().extended);
      if (h < *h3) *h3 = h, best = lo + i;
    }
    return best;
  }

  Device* dev_ = nullptr;
  cl::Program program_;
  cl::Kernel kernel_;
};

// Bytes 284-285 are ORed with the nonce's bits 32-47.
std::vector<unsigned char> marked_header() { return selftest_header(0x5a, 0xc3); }

TEST_P(OclKernel, SelfTestJobMatchesTheReference) {
  std::vector<uint32_t> b(NS_BLOCK_WORDS);
  build_search_block(selftest_header().data(), from_hex(SELFTEST_TARGET_HEX).data(),
                     GetParam().extended, b.data());
  expect_reference(b, SELFTEST_START_NONCE, 1 << 16);
}

TEST_P(OclKernel, ZeroTargetLeavesTheSlotAlone) {
  EXPECT_EQ(launch(block(selftest_header(), 0), SELFTEST_START_NONCE, 1 << 16), kNone);
}

// About one nonce in 64 wins; the slot must hold one of them, wherever the
// nonce's high half and the header's bytes 284-285 meet in m7.
TEST_P(OclKernel, EasyTargetReportsAWinner) {
  const std::vector<unsigned char> plain = selftest_header();
  const std::vector<unsigned char> marked = marked_header();
  const uint64_t easy = 0x0400000000000000ull;
  for (const auto* header : {&plain, &marked}) {
    const std::vector<uint32_t> b = block(*header, easy);
    const uint64_t starts[] = {SELFTEST_START_NONCE, (1ull << 32) + 77, (1ull << 32) - 1000,
                               (1ull << 48) - 3000, ~0ull - 1500};
    for (uint64_t start : starts) {
      ASSERT_FALSE(winners(b, start, 4096).empty());
      expect_reference(b, start, 4096);
    }
  }
}

// One winner, hashed exactly: found at h3 + 1, at any target with a higher
// high half and at a target with the same high half and a higher low half;
// not at h3 (the compare is strict), h3 - 1 nor its high half alone; found as the first
// and the last nonce of a launch, not just outside it (threads * gran nonces).
TEST_P(OclKernel, SingleWinnerAndRangeEdges) {
  const std::vector<unsigned char> plain = selftest_header();
  const std::vector<unsigned char> marked = marked_header();
  const uint64_t span = kLocal * GetParam().gran;
  int cases = 0;
  const uint64_t bases[] = {SELFTEST_START_NONCE, (1ull << 32) - 2 * span, (1ull << 48) - 2 * span,
                            0x0000a5a5deadbeefull, ~0ull - 2 * span};
  for (uint64_t base : bases) {
    for (const auto* header : {&plain, &marked}) {
      std::vector<uint32_t> b = block(*header, 0);
      uint64_t h3;
      // The window is 4 spans wide; the middle two hold the winner's ranges.
      const uint64_t w = best_nonce(b, base, 4 * span, &h3);
      const uint64_t off = w - base;
      if (off < span || off >= 3 * span) continue;
      ++cases;
      const std::vector<uint64_t> only{w};
      b = block(*header, h3 + 1);
      ASSERT_EQ(winners(b, w - span / 2, kLocal), only);
      EXPECT_EQ(launch(b, w - span / 2, kLocal), w) << base;
      EXPECT_EQ(launch(b, w, kLocal), w) << "first " << base;
      EXPECT_EQ(launch(b, w - (span - 1), kLocal), w) << "last " << base;
      EXPECT_EQ(launch(b, w + 1, kLocal), kNone) << "before " << base;
      EXPECT_EQ(launch(b, w - span, kLocal), kNone) << "past " << base;
      if ((h3 >> 32) != 0xffffffffu) {
        b = block(*header, (h3 | 0xffffffffull) + 1);
        ASSERT_EQ(winners(b, w - span / 2, kLocal), only);
        EXPECT_EQ(launch(b, w - span / 2, kLocal), w) << "higher high half " << base;
      }
      // Word 7 tied: word 6 decides.
      if (uint32_t(h3) != 0xffffffffu) {
        b = block(*header, h3 | 0xffffffffull);
        ASSERT_EQ(winners(b, w - span / 2, kLocal), only);
        EXPECT_EQ(launch(b, w - span / 2, kLocal), w) << "word 7 tied " << base;
      }
      EXPECT_EQ(launch(block(*header, h3 & ~0xffffffffull), w - span / 2, kLocal), kNone) << base;
      EXPECT_EQ(launch(block(*header, h3), w - span / 2, kLocal), kNone) << base;
      if (uint32_t(h3) != 0) {
        EXPECT_EQ(launch(block(*header, h3 - 1), w - span / 2, kLocal), kNone) << base;
      }
    }
  }
  // The windows are fixed, so this only guards against edits that skip them all.
  EXPECT_GE(cases, 4);
}

INSTANTIATE_TEST_SUITE_P(Kernels, OclKernel,
                         ::testing::Values(KernelCase{"kernel.cl", kernel_cl, 1, false},
                                           KernelCase{"kernel_gran2.cl", kernel_gran2_cl, 2, true}),
                         [](const ::testing::TestParamInfo<KernelCase>& info) {
                           return std::string(info.param.gran == 1 ? "Gran1" : "Gran2");
                         });

}  // namespace
