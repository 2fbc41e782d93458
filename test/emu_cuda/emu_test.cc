// The emulated CUDA runtime, driven through nvcc's own launch and registration
// code (probe_kernel.cu) and the public runtime calls.
#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "emu_config.h"
#include "emu_cuda.h"
#include "hex.h"
#include "probe_kernel.h"
#include "reference.h"
#include "search_block.h"

// The name cudaMemset takes under --default-stream per-thread, as nvsieve calls it.
extern "C" cudaError_t cudaMemset_ptds(void* dev_ptr, int value, size_t count);

namespace {

const unsigned long kArmed = ~0ul;

// Every test starts from the default device, no failures, nothing allocated.
class Emu : public ::testing::Test {
 protected:
  void SetUp() override { configure(nullptr, nullptr); }
  void TearDown() override { configure(nullptr, nullptr); }

  static void configure(const char* devices, const char* failures) {
    std::string error;
    ASSERT_TRUE(emu_cuda::configure(devices, failures, &error)) << error;
  }

  static unsigned long* armed_slot() {
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, 8), cudaSuccess);
    EXPECT_EQ(cudaMemset(p, 0xFF, 8), cudaSuccess);
    return static_cast<unsigned long*>(p);
  }

  static unsigned long read_slot(const unsigned long* slot) {
    unsigned long v = 0;
    EXPECT_EQ(cudaMemcpy(&v, slot, 8, cudaMemcpyDeviceToHost), cudaSuccess);
    return v;
  }
};

// The self-test job with an easy target: about one nonce in 64 wins.
std::vector<uint32_t> easy_block(unsigned char top_target_byte = 0x04) {
  unsigned char header[NS_HEADER_BYTES];
  unsigned char target[NS_TARGET_BYTES];
  EXPECT_EQ(HexToBin(SELFTEST_HEADER_HEX, header, sizeof(header)), NS_HEADER_BYTES);
  EXPECT_EQ(HexToBin(SELFTEST_TARGET_HEX, target, sizeof(target)), NS_TARGET_BYTES);
  target[31] = top_target_byte;
  std::vector<uint32_t> block(NS_BLOCK_WORDS);
  build_search_block(header, target, /*extended=*/true, block.data());
  return block;
}

TEST(EmuConfig, DevicesDefaultWhenUnset) {
  std::vector<emu_cuda::DeviceConfig> d;
  std::string error;
  ASSERT_TRUE(emu_cuda::parse_devices(nullptr, &d, &error));
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].name, "Emulated GPU");
  EXPECT_EQ(d[0].total_global_mem, 8589934592ull);
  EXPECT_EQ(d[0].major, 8);
  EXPECT_EQ(d[0].minor, 6);
  ASSERT_TRUE(emu_cuda::parse_devices("  ", &d, &error));
  EXPECT_EQ(d.size(), 1u);
}

TEST(EmuConfig, DevicesFromJson) {
  std::vector<emu_cuda::DeviceConfig> d;
  std::string error;
  ASSERT_TRUE(emu_cuda::parse_devices(
      R"( [ {"name": "GeForce \"X\" \u00e9\ud83d\ude00", "totalGlobalMem": 4294967296,
             "major": 7, "minor": 5, "extra": {"a": [1, -2.5e3, true, null]}},
            {"minor": 0, "major": 9} ] )",
      &d, &error))
      << error;
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].name, "GeForce \"X\" \xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(d[0].total_global_mem, 4294967296ull);
  EXPECT_EQ(d[0].major, 7);
  EXPECT_EQ(d[0].minor, 5);
  EXPECT_EQ(d[1].name, "Emulated GPU");
  EXPECT_EQ(d[1].total_global_mem, 8589934592ull);
  EXPECT_EQ(d[1].major, 9);
  EXPECT_EQ(d[1].minor, 0);
  ASSERT_TRUE(emu_cuda::parse_devices("[]", &d, &error));
  EXPECT_TRUE(d.empty());
}

TEST(EmuConfig, MalformedDevicesAreRejected) {
  std::vector<emu_cuda::DeviceConfig> d;
  for (const char* bad : {"{}", "[", "[{]", "[{\"major\": -1}]", "[{\"major\": 7.5}]",
                          "[{\"name\": 3}]", "[{}] x", "[{\"totalGlobalMem\": 99999999999999999999}]",
                          "[{\"name\": \"unterminated}]"}) {
    std::string error;
    EXPECT_FALSE(emu_cuda::parse_devices(bad, &d, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(EmuConfig, FailurePoints) {
  std::vector<emu_cuda::FailurePoint> f;
  std::string error;
  ASSERT_TRUE(emu_cuda::parse_failures(" cudaMalloc:3 , cudaLaunchKernel,cudaSetDeviceFlags=35",
                                       &f, &error))
      << error;
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].function, "cudaMalloc");
  EXPECT_EQ(f[0].call, 3u);
  EXPECT_EQ(f[0].code, 0);
  EXPECT_EQ(f[1].function, "cudaLaunchKernel");
  EXPECT_EQ(f[1].call, 1u);
  EXPECT_EQ(f[2].function, "cudaSetDeviceFlags");
  EXPECT_EQ(f[2].code, 35);
  ASSERT_TRUE(emu_cuda::parse_failures("", &f, &error));
  EXPECT_TRUE(f.empty());
  for (const char* bad : {"cudaMaloc", "cudaMalloc:0", "cudaMalloc:x", "cudaMalloc=0", "malloc"}) {
    EXPECT_FALSE(emu_cuda::parse_failures(bad, &f, &error)) << bad;
  }
}

TEST_F(Emu, RegistersTheKernelsAndTheConstantBlock) {
  const std::vector<std::string> kernels = emu_cuda::registered_kernels();
  EXPECT_NE(std::find(kernels.begin(), kernels.end(), "_Z12blake2s_hashmPm"), kernels.end());
  EXPECT_NE(std::find(kernels.begin(), kernels.end(), "_Z10probe_fillPj"), kernels.end());
  EXPECT_EQ(emu_cuda::registered_variable_size("d_data"), size_t(NS_BLOCK_BYTES));
  EXPECT_EQ(emu_cuda::registered_variable_size("no_such_variable"), 0u);
}

TEST_F(Emu, DevicesAndProperties) {
  configure(R"([{"name": "Card A", "totalGlobalMem": 1048576, "major": 7, "minor": 5},
                {"name": "Card B"}])",
            nullptr);
  int n = 0;
  ASSERT_EQ(cudaGetDeviceCount(&n), cudaSuccess);
  EXPECT_EQ(n, 2);
  cudaDeviceProp p;
  ASSERT_EQ(cudaGetDeviceProperties(&p, 0), cudaSuccess);
  EXPECT_STREQ(p.name, "Card A");
  EXPECT_EQ(p.totalGlobalMem, 1048576u);
  EXPECT_EQ(p.major, 7);
  EXPECT_EQ(p.minor, 5);
  EXPECT_EQ(p.maxThreadsPerBlock, 1024);
  ASSERT_EQ(cudaGetDeviceProperties(&p, 1), cudaSuccess);
  EXPECT_STREQ(p.name, "Card B");
  EXPECT_EQ(p.totalGlobalMem, 8589934592u);
  EXPECT_EQ(p.major, 8);
  EXPECT_EQ(p.minor, 6);

  EXPECT_EQ(cudaGetDeviceProperties(&p, 2), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaSetDevice(2), cudaErrorInvalidDevice);
  EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "invalid device ordinal");
  int current = -1;
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 0);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 1);

  // The current device belongs to the host thread.
  std::thread([] {
    int d = -1;
    EXPECT_EQ(cudaGetDevice(&d), cudaSuccess);
    EXPECT_EQ(d, 0);
  }).join();

  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync), cudaSuccess);
  unsigned flags = 0;
  ASSERT_EQ(cudaGetDeviceFlags(&flags), cudaSuccess);
  EXPECT_EQ(flags, unsigned(cudaDeviceScheduleBlockingSync));
  EXPECT_EQ(cudaSetDeviceFlags(0x100), cudaErrorInvalidValue);

  configure("[]", nullptr);
  n = -1;
  EXPECT_EQ(cudaGetDeviceCount(&n), cudaErrorNoDevice);
  EXPECT_EQ(n, 0);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorNoDevice), "no CUDA-capable device is detected");
}

TEST_F(Emu, MemoryBelongsToItsDeviceAndGoesWithItsReset) {
  configure(R"([{"totalGlobalMem": 4096}, {}])", nullptr);
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(cudaMalloc(&a, 1000), cudaSuccess);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 256, 0u);
  EXPECT_EQ(cudaMalloc(&b, 4000), cudaErrorMemoryAllocation);
  EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "out of memory");
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&b, 4000), cudaSuccess);
  EXPECT_EQ(emu_cuda::allocated_bytes(0), 1000u);
  EXPECT_EQ(emu_cuda::allocated_bytes(1), 4000u);

  const char text[] = "device bytes";
  char back[sizeof(text)] = {};
  ASSERT_EQ(cudaMemcpy(a, text, sizeof(text), cudaMemcpyHostToDevice), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(b, a, sizeof(text), cudaMemcpyDeviceToDevice), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(back, b, sizeof(text), cudaMemcpyDefault), cudaSuccess);
  EXPECT_STREQ(back, text);
  EXPECT_EQ(cudaMemcpy(back, static_cast<char*>(a) + 999, 2, cudaMemcpyDeviceToHost),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(back, text, 2, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(back, a, 2, static_cast<cudaMemcpyKind>(7)),
            cudaErrorInvalidMemcpyDirection);
  EXPECT_EQ(cudaMemset(static_cast<char*>(b) + 3990, 0, 11), cudaErrorInvalidValue);

  // Resetting device 1 releases b but not a.
  ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
  EXPECT_EQ(emu_cuda::allocated_bytes(1), 0u);
  EXPECT_EQ(emu_cuda::allocated_bytes(0), 1000u);
  EXPECT_EQ(cudaMemset(b, 0, 8), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(b), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(emu_cuda::allocated_bytes(0), 0u);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
}

TEST_F(Emu, EachDeviceHasItsOwnZeroedConstantBlock) {
  configure("[{}, {}]", nullptr);
  std::vector<uint32_t> mine(NS_BLOCK_WORDS), theirs(NS_BLOCK_WORDS), back(NS_BLOCK_WORDS, 7);
  for (int i = 0; i < NS_BLOCK_WORDS; ++i) {
    mine[i] = 0x1000u + i;
    theirs[i] = 0x2000u + i;
  }
  ASSERT_EQ(probe_get_block(back.data()), cudaSuccess);
  EXPECT_EQ(back, std::vector<uint32_t>(NS_BLOCK_WORDS, 0));

  ASSERT_EQ(probe_set_block(mine.data()), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(probe_get_block(back.data()), cudaSuccess);
  EXPECT_EQ(back, std::vector<uint32_t>(NS_BLOCK_WORDS, 0));
  ASSERT_EQ(probe_set_block(theirs.data()), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  ASSERT_EQ(probe_get_block(back.data()), cudaSuccess);
  EXPECT_EQ(back, mine);

  // Partial copies at an offset, as cudaMemcpyToSymbol allows.
  const uint32_t word = 0xDEADBEEF;
  ASSERT_EQ(cudaMemcpyToSymbol(probe_block_symbol(), &word, 4, 4 * 103, cudaMemcpyHostToDevice),
            cudaSuccess);
  EXPECT_EQ(cudaMemcpyToSymbol(probe_block_symbol(), &word, 4, 4 * 104, cudaMemcpyHostToDevice),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyToSymbol(&word, &word, 4, 0, cudaMemcpyHostToDevice),
            cudaErrorInvalidSymbol);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidSymbol), "invalid device symbol");
  ASSERT_EQ(probe_get_block(back.data()), cudaSuccess);
  EXPECT_EQ(back[103], word);

  // A reset zeroes this device's copy only.
  ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
  ASSERT_EQ(probe_get_block(back.data()), cudaSuccess);
  EXPECT_EQ(back, std::vector<uint32_t>(NS_BLOCK_WORDS, 0));
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(probe_get_block(back.data()), cudaSuccess);
  EXPECT_EQ(back, theirs);
}

TEST_F(Emu, LastErrorIsPerThreadAndStaysUntilTaken) {
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(5), cudaErrorInvalidDevice);
  int n = 0;
  EXPECT_EQ(cudaGetDeviceCount(&n), cudaSuccess);  // success does not clear it
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
  std::thread([] { EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess); }).join();
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  // A later failure replaces an earlier one.
  EXPECT_EQ(cudaSetDevice(5), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaMemset(nullptr, 0, 8), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(Emu, ErrorTexts) {
  EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorNoKernelImageForDevice),
               "no kernel image is available for execution on the device");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInsufficientDriver),
               "CUDA driver version is insufficient for CUDA runtime version");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
  EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(123456)), "unrecognized error code");
  EXPECT_STREQ(cudaGetErrorName(cudaErrorLaunchFailure), "cudaErrorLaunchFailure");
}

TEST_F(Emu, InjectedFailuresHitTheNthCallOnly) {
  configure(nullptr, "cudaMalloc:2,cudaMalloc:4,cudaSetDevice,cudaSetDeviceFlags=35");
  void* p[5] = {};
  EXPECT_EQ(cudaMalloc(&p[0], 8), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&p[1], 8), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaMalloc(&p[2], 8), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&p[3], 8), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaMalloc(&p[4], 8), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync), cudaErrorInsufficientDriver);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInsufficientDriver);
  EXPECT_EQ(cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync), cudaSuccess);
  // The per-thread-stream entry points count under the public name.
  configure(nullptr, "cudaMemset:2");
  unsigned long* slot = armed_slot();
  EXPECT_EQ(cudaMemset_ptds(slot, 0, 8), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset_ptds(slot, 0, 8), cudaSuccess);
}

TEST_F(Emu, InjectedFailuresCountCallsFromAllThreads) {
  configure(nullptr, "cudaGetDevice:250");
  std::atomic<int> failures(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures] {
      for (int i = 0; i < 100; ++i) {
        int d;
        if (cudaGetDevice(&d) != cudaSuccess) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 1);
}

TEST_F(Emu, LaunchFindsTheReferenceWinners) {
  const std::vector<uint32_t> block = easy_block();
  ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
  unsigned long* slot = armed_slot();
  // 25 blocks of 512 threads, as the runner launches 13107 "Cuda threads".
  for (unsigned long start : {0ul, 935033ul, 0xFFFFFFFFul - 5000, ~0ul - 6000}) {
    const std::vector<uint64_t> winners = reference_winners(block.data(), start, 25 * 512, 1, true);
    ASSERT_FALSE(winners.empty());
    probe_search(25, 512, start, slot);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(probe_sync(), cudaSuccess);
    // The winner of the highest-numbered thread, as if the threads ran in order.
    EXPECT_EQ(read_slot(slot), winners.back()) << start;
    ASSERT_EQ(cudaMemset(slot, 0xFF, 8), cudaSuccess);
  }
  // A single small block runs on the calling thread.
  const std::vector<uint64_t> few = reference_winners(block.data(), 100, 64, 1, true);
  probe_search(1, 64, 100, slot);
  EXPECT_EQ(read_slot(slot), few.empty() ? kArmed : few.back());
}

TEST_F(Emu, LaunchWithoutWinnerLeavesTheSlotArmed) {
  const std::vector<uint32_t> block = easy_block(0x00);  // target3 of 0: nothing wins
  ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
  unsigned long* slot = armed_slot();
  probe_search(16, 256, 0, slot);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(read_slot(slot), kArmed);
}

TEST_F(Emu, LaunchReadsTheBlockOfTheCurrentDevice) {
  configure("[{}, {}]", nullptr);
  const std::vector<uint32_t> easy = easy_block();
  const std::vector<uint32_t> none = easy_block(0x00);
  ASSERT_EQ(probe_set_block(easy.data()), cudaSuccess);
  unsigned long* slot0 = armed_slot();
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(probe_set_block(none.data()), cudaSuccess);
  unsigned long* slot1 = armed_slot();

  probe_search(4, 512, 0, slot1);
  EXPECT_EQ(read_slot(slot1), kArmed);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  probe_search(4, 512, 0, slot0);
  EXPECT_EQ(read_slot(slot0), reference_winners(easy.data(), 0, 2048, 1, true).back());
}

TEST_F(Emu, ConcurrentLaunchesOnSeveralThreads) {
  configure("[{}, {}]", nullptr);
  const std::vector<uint32_t> block = easy_block(0x01);
  for (int d = 0; d < 2; ++d) {
    ASSERT_EQ(cudaSetDevice(d), cudaSuccess);
    ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
  }
  std::vector<std::thread> threads;
  std::atomic<int> mismatches(0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &block, &mismatches] {
      EXPECT_EQ(cudaSetDevice(t % 2), cudaSuccess);
      unsigned long* slot = armed_slot();
      for (int i = 0; i < 5; ++i) {
        const unsigned long start = 100000ul * (t * 5 + i);
        const std::vector<uint64_t> w = reference_winners(block.data(), start, 8192, 1, true);
        probe_search_on(16, 512, start, slot, cudaStreamPerThread);
        EXPECT_EQ(probe_sync(), cudaSuccess);
        unsigned long v = 0;
        EXPECT_EQ(cudaMemcpy(&v, slot, 8, cudaMemcpyDeviceToHost), cudaSuccess);
        if (v != (w.empty() ? kArmed : w.back())) ++mismatches;
        EXPECT_EQ(cudaMemset(slot, 0xFF, 8), cudaSuccess);
      }
      EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(Emu, LaunchByPublicEntryPoint) {
  const std::vector<uint32_t> block = easy_block();
  ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
  unsigned long* slot = armed_slot();
  unsigned long start = 5000;
  void* args[] = {&start, &slot};
  ASSERT_EQ(cudaLaunchKernel(probe_search_kernel(), dim3(2), dim3(512), args, 0, nullptr),
            cudaSuccess);
  EXPECT_EQ(read_slot(slot), reference_winners(block.data(), start, 1024, 1, true).back());
  int not_a_kernel;
  EXPECT_EQ(cudaLaunchKernel(&not_a_kernel, dim3(1), dim3(1), args, 0, nullptr),
            cudaErrorInvalidDeviceFunction);
}

TEST_F(Emu, FailedLaunchesAreSeenThroughTheLastError) {
  const std::vector<uint32_t> block = easy_block();
  ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
  unsigned long* slot = armed_slot();

  probe_search(0, 512, 0, slot);  // an empty grid
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  probe_search(1, 2048, 0, slot);  // more threads per block than any device has
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  probe_search_on(1, 512, 0, slot, reinterpret_cast<cudaStream_t>(0x1234));
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  probe_search(1, 512, 0, slot + 1);  // past the end of the slot
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);

  void* out = nullptr;
  ASSERT_EQ(cudaMalloc(&out, 16), cudaSuccess);
  probe_fill_launch(static_cast<uint32_t*>(out));  // no CPU version
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDeviceFunction);

  EXPECT_EQ(read_slot(slot), kArmed);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

// The floor is the oldest image of the module build's architecture list.
TEST_F(Emu, NoKernelImageBelowTheOldestArchitectureBuilt) {
  const int below = NVSIEVE_OLDEST_ARCH - 1;
  char devices[160];
  snprintf(devices, sizeof(devices),
           R"([{"major": %d, "minor": %d}, {"major": %d, "minor": %d}, {"major": 12, "minor": 0}])",
           below / 10, below % 10, NVSIEVE_OLDEST_ARCH / 10, NVSIEVE_OLDEST_ARCH % 10);
  configure(devices, nullptr);
  const std::vector<uint32_t> block = easy_block();
  for (int d = 0; d < 3; ++d) {
    ASSERT_EQ(cudaSetDevice(d), cudaSuccess);
    ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
    unsigned long* slot = armed_slot();
    probe_search(2, 512, 0, slot);
    if (d == 0) {
      EXPECT_EQ(cudaGetLastError(), cudaErrorNoKernelImageForDevice);
      EXPECT_EQ(read_slot(slot), kArmed);
    } else {
      EXPECT_EQ(cudaGetLastError(), cudaSuccess);
      EXPECT_NE(read_slot(slot), kArmed);
    }
  }
}

TEST_F(Emu, InjectedLaunchFailure) {
  configure(nullptr, "cudaLaunchKernel:2");
  const std::vector<uint32_t> block = easy_block();
  ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
  unsigned long* slot = armed_slot();
  probe_search(2, 512, 0, slot);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaMemset(slot, 0xFF, 8), cudaSuccess);
  probe_search(2, 512, 0, slot);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorLaunchFailure);
  EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "unspecified launch failure");
  EXPECT_EQ(read_slot(slot), kArmed);  // the failed launch ran nothing
}

TEST_F(Emu, KernelHandleOutlivesADeviceReset) {
  const std::vector<uint32_t> block = easy_block();
  ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
  unsigned long* slot = armed_slot();
  probe_search(1, 512, 0, slot);  // caches the handle
  ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
  // The old slot is gone: the launch refuses it.
  probe_search(1, 512, 0, slot);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  ASSERT_EQ(probe_set_block(block.data()), cudaSuccess);
  slot = armed_slot();
  probe_search(1, 512, 0, slot);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(read_slot(slot), reference_winners(block.data(), 0, 512, 1, true).back());
}

}  // namespace
