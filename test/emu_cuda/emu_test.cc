// The emulated CUDA driver, driven through the entry points nvsieve opens,
// with the images the module build embeds (the fatbin and the portable PTX).
#include <cuda.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "emu_config.h"
#include "emu_cuda.h"
#include "hex.h"
#include "reference.h"
#include "search_block.h"

namespace {

std::string read_file(const char* path) {
  std::ifstream f(path, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  s.push_back('\0');  // the PTX as a C string
  return s;
}

const std::string& fatbin() {
  static const std::string s = read_file(NVSIEVE_FATBIN_FILE);
  return s;
}
const std::string& portable_ptx() {
  static const std::string s = read_file(NVSIEVE_PORTABLE_PTX_FILE);
  return s;
}

// Every test starts from a fresh configuration, cuInit done, device 0 current.
class Emu : public ::testing::Test {
 protected:
  void SetUp() override { configure(nullptr, nullptr, nullptr); }
  void TearDown() override {
    emu_cuda::refuse_newer_cubins(false);
    std::string error;
    emu_cuda::configure(nullptr, nullptr, nullptr, &error);
  }

  static void configure(const char* devices, const char* failures, const char* driver) {
    std::string error;
    ASSERT_TRUE(emu_cuda::configure(devices, failures, driver, &error)) << error;
    ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
    enter(0);
  }

  static CUcontext enter(int ordinal) {
    CUcontext ctx = nullptr;
    EXPECT_EQ(cuDevicePrimaryCtxRetain(&ctx, ordinal), CUDA_SUCCESS);
    EXPECT_EQ(cuCtxSetCurrent(ctx), CUDA_SUCCESS);
    return ctx;
  }

  static CUdeviceptr armed_slot() {
    CUdeviceptr p = 0;
    EXPECT_EQ(cuMemAlloc(&p, 8), CUDA_SUCCESS);
    EXPECT_EQ(cuMemsetD8Async(p, 0xFF, 8, CU_STREAM_PER_THREAD), CUDA_SUCCESS);
    return p;
  }

  static uint64_t read_slot(CUdeviceptr slot) {
    uint64_t v = 0;
    EXPECT_EQ(cuMemcpyDtoHAsync(&v, slot, 8, CU_STREAM_PER_THREAD), CUDA_SUCCESS);
    return v;
  }

  // Loads `image`, uploads `block` and launches `kernel` over blocks x 512.
  static uint64_t scan(CUmodule m, const char* kernel, const std::vector<uint32_t>& block,
                       uint64_t start, unsigned blocks) {
    CUfunction f;
    EXPECT_EQ(cuModuleGetFunction(&f, m, kernel), CUDA_SUCCESS);
    CUdeviceptr data;
    size_t bytes = 0;
    EXPECT_EQ(cuModuleGetGlobal(&data, &bytes, m, "d_data"), CUDA_SUCCESS);
    EXPECT_EQ(bytes, 416u);
    EXPECT_EQ(cuMemcpyHtoDAsync(data, block.data(), 416, CU_STREAM_PER_THREAD), CUDA_SUCCESS);
    CUdeviceptr slot = armed_slot();
    unsigned one = 1;
    void* args[] = {&start, &slot, &one};
    EXPECT_EQ(cuLaunchKernel(f, blocks, 1, 1, 512, 1, 1, 0, CU_STREAM_PER_THREAD, args, nullptr),
              CUDA_SUCCESS);
    EXPECT_EQ(cuStreamSynchronize(CU_STREAM_PER_THREAD), CUDA_SUCCESS);
    return read_slot(slot);
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
  ASSERT_TRUE(emu_cuda::parse_failures(" cuMemAlloc:3 , cuLaunchKernel,cuInit=100", &f, &error))
      << error;
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].function, "cuMemAlloc");
  EXPECT_EQ(f[0].call, 3u);
  EXPECT_EQ(f[0].code, 0);
  EXPECT_EQ(f[1].function, "cuLaunchKernel");
  EXPECT_EQ(f[1].call, 1u);
  EXPECT_EQ(f[2].function, "cuInit");
  EXPECT_EQ(f[2].code, 100);
  ASSERT_TRUE(emu_cuda::parse_failures("", &f, &error));
  EXPECT_TRUE(f.empty());
  for (const char* bad : {"cuMemAloc", "cuMemAlloc:0", "cuMemAlloc:x", "cuMemAlloc=0",
                          "cudaMalloc"}) {
    EXPECT_FALSE(emu_cuda::parse_failures(bad, &f, &error)) << bad;
  }
}

TEST(EmuConfig, DriverBranchesAndPtxIsas) {
  int v = 0;
  std::string error;
  const struct {
    const char* branch;
    int version;
  } branches[] = {{nullptr, 13000}, {"352", 7050}, {"470", 11040}, {"535", 12020}, {"580", 13000}};
  for (const auto& b : branches) {
    ASSERT_TRUE(emu_cuda::parse_driver(b.branch, &v, &error)) << error;
    EXPECT_EQ(v, b.version) << (b.branch ? b.branch : "default");
  }
  EXPECT_FALSE(emu_cuda::parse_driver("390", &v, &error));
  // The ISA of each PTX nvsieve carries, and its neighbours.
  EXPECT_EQ(emu_cuda::ptx_isa_driver(4, 3), 8000);
  EXPECT_EQ(emu_cuda::ptx_isa_driver(7, 4), 11040);
  EXPECT_EQ(emu_cuda::ptx_isa_driver(7, 5), 11050);
  EXPECT_EQ(emu_cuda::ptx_isa_driver(8, 2), 12020);
  EXPECT_EQ(emu_cuda::ptx_isa_driver(8, 3), 12030);
  EXPECT_EQ(emu_cuda::ptx_isa_driver(9, 0), 13000);
  EXPECT_EQ(emu_cuda::ptx_isa_driver(9, 1), 0);
}

TEST_F(Emu, NothingBeforeCuInit) {
  std::string error;
  ASSERT_TRUE(emu_cuda::configure(nullptr, nullptr, nullptr, &error));
  int count = -1;
  EXPECT_EQ(cuDeviceGetCount(&count), CUDA_ERROR_NOT_INITIALIZED);
  int version = 0;
  EXPECT_EQ(cuDriverGetVersion(&version), CUDA_SUCCESS);
  EXPECT_EQ(version, 13000);
  ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
  EXPECT_EQ(cuDeviceGetCount(&count), CUDA_SUCCESS);
  EXPECT_EQ(count, 1);
}

TEST_F(Emu, DevicesAndAttributes) {
  configure(R"([{"name": "Three Word Name", "totalGlobalMem": 4294967296, "major": 6, "minor": 1},
               {"major": 3, "minor": 5}])",
            nullptr, "535");
  int count = 0, v = 0;
  ASSERT_EQ(cuDeviceGetCount(&count), CUDA_SUCCESS);
  EXPECT_EQ(count, 2);
  char name[256];
  ASSERT_EQ(cuDeviceGetName(name, sizeof(name), 0), CUDA_SUCCESS);
  EXPECT_STREQ(name, "Three Word Name");
  ASSERT_EQ(cuDeviceGetName(name, 6, 0), CUDA_SUCCESS);
  EXPECT_STREQ(name, "Three");
  size_t mem = 0;
  ASSERT_EQ(cuDeviceTotalMem(&mem, 0), CUDA_SUCCESS);
  EXPECT_EQ(mem, 4294967296u);
  ASSERT_EQ(cuDeviceGetAttribute(&v, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, 1), CUDA_SUCCESS);
  EXPECT_EQ(v, 3);
  ASSERT_EQ(cuDeviceGetAttribute(&v, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, 1), CUDA_SUCCESS);
  EXPECT_EQ(v, 5);
  ASSERT_EQ(cuDriverGetVersion(&v), CUDA_SUCCESS);
  EXPECT_EQ(v, 12020);
  CUdevice dev;
  EXPECT_EQ(cuDeviceGet(&dev, 2), CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cuDeviceGet(&dev, -1), CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cuDevicePrimaryCtxSetFlags(0, CU_CTX_SCHED_BLOCKING_SYNC), CUDA_SUCCESS);
  EXPECT_EQ(cuDevicePrimaryCtxSetFlags(0, 3), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(Emu, NoDevice) {
  std::string error;
  ASSERT_TRUE(emu_cuda::configure("[]", nullptr, nullptr, &error));
  EXPECT_EQ(cuInit(0), CUDA_ERROR_NO_DEVICE);
  const char* text = nullptr;
  ASSERT_EQ(cuGetErrorString(CUDA_ERROR_NO_DEVICE, &text), CUDA_SUCCESS);
  EXPECT_STREQ(text, "no CUDA-capable device is detected");
  EXPECT_EQ(cuGetErrorString(CUresult(12345), &text), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(text, nullptr);
}

// Which image a driver of each branch loads for each generation, as a real
// driver would: SASS of the GPU's own major generation from its minor down,
// PTX whose ISA the driver knows and whose target the GPU reaches.
TEST_F(Emu, WhatEachDriverLoads) {
  const int kRefused = -1;
  const struct Case {
    const char* driver;
    int major, minor;
    bool refuse_newer_cubins;
    int fatbin;    // the binary version loaded, or kRefused
    CUresult fatbin_error;
    int portable;  // the same for the portable PTX
    CUresult portable_error = CUDA_ERROR_NO_BINARY_FOR_GPU;
  } cases[] = {
      {"580", 8, 6, false, 86, CUDA_SUCCESS, 86},
      {"580", 7, 5, false, 75, CUDA_SUCCESS, 75},
      {"580", 3, 5, false, kRefused, CUDA_ERROR_NO_BINARY_FOR_GPU, 35},
      {"580", 8, 7, false, 86, CUDA_SUCCESS, 87},
      {"580", 12, 0, false, 120, CUDA_SUCCESS, 120},
      {"580", 9, 0, true, 90, CUDA_SUCCESS, 90},  // the driver is as new as the toolkit
      {"580", 7, 0, false, kRefused, CUDA_ERROR_NO_BINARY_FOR_GPU, 70},
      {"580", 6, 1, false, kRefused, CUDA_ERROR_NO_BINARY_FOR_GPU, 61},
      {"580", 13, 0, false, 130, CUDA_SUCCESS, 130},  // a later GPU JIT-compiles nvcc's PTX
      {"535", 8, 6, false, 86, CUDA_SUCCESS, 86},
      {"535", 8, 6, true, kRefused, CUDA_ERROR_UNSUPPORTED_PTX_VERSION, 86},
      {"535", 6, 1, false, kRefused, CUDA_ERROR_UNSUPPORTED_PTX_VERSION, 61},
      {"470", 3, 5, false, kRefused, CUDA_ERROR_UNSUPPORTED_PTX_VERSION, 35},
      {"470", 3, 7, false, kRefused, CUDA_ERROR_UNSUPPORTED_PTX_VERSION, 37},
      {"470", 3, 0, false, kRefused, CUDA_ERROR_UNSUPPORTED_PTX_VERSION, kRefused},
      {"352", 5, 2, false, kRefused, CUDA_ERROR_UNSUPPORTED_PTX_VERSION, kRefused,
       CUDA_ERROR_UNSUPPORTED_PTX_VERSION},  // older than CUDA 8: not even ISA 4.3
      {"580", 3, 0, false, kRefused, CUDA_ERROR_NO_BINARY_FOR_GPU, kRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "driver " << c.driver << ", " << c.major << "." << c.minor
                                    << (c.refuse_newer_cubins ? ", newer cubins refused" : ""));
    char devices[96];
    snprintf(devices, sizeof(devices), R"([{"major": %d, "minor": %d}])", c.major, c.minor);
    configure(devices, nullptr, c.driver);
    emu_cuda::refuse_newer_cubins(c.refuse_newer_cubins);
    const struct {
      const std::string& image;
      int binary;
      CUresult error;
    } images[] = {{fatbin(), c.fatbin, c.fatbin_error},
                  {portable_ptx(), c.portable, c.portable_error}};
    for (const auto& im : images) {
      CUmodule m = nullptr;
      const CUresult e = cuModuleLoadData(&m, im.image.data());
      if (im.binary == kRefused) {
        EXPECT_EQ(e, im.error);
        continue;
      }
      ASSERT_EQ(e, CUDA_SUCCESS);
      CUfunction f;
      ASSERT_EQ(cuModuleGetFunction(&f, m, "_Z12blake2s_hashmPm"), CUDA_SUCCESS);
      int binary = 0;
      ASSERT_EQ(cuFuncGetAttribute(&binary, CU_FUNC_ATTRIBUTE_BINARY_VERSION, f), CUDA_SUCCESS);
      EXPECT_EQ(binary, im.binary);
    }
  }
}

TEST_F(Emu, ImagesThatAreNot) {
  CUmodule m;
  EXPECT_EQ(cuModuleLoadData(&m, "not an image"), CUDA_ERROR_INVALID_IMAGE);
  EXPECT_EQ(cuModuleLoadData(&m, ".version 4.3\n.target sm_35\n.entry k() { bogus.op; }"),
            CUDA_ERROR_INVALID_PTX);
  std::string newer = portable_ptx();
  newer.replace(newer.find(".version 4.3"), 12, ".version 9.9");
  EXPECT_EQ(cuModuleLoadData(&m, newer.data()), CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
}

// The same winners from the SASS (the host build) and the PTX (interpreted)
// of both kernels, and the reference's.
TEST_F(Emu, EveryImageFindsTheReferenceWinner) {
  const std::vector<uint32_t> block = easy_block();
  const uint64_t start = 0xFFFFFFF00ull;  // the range crosses 2^36; nonces above 2^32
  // SASS on 8.6; the portable PTX on 8.6 and 6.1; nvcc's PTX on a later GPU.
  const struct {
    const char* devices;
    const std::string& image;
  } runs[] = {{R"([{"major": 8, "minor": 6}])", fatbin()},
              {R"([{"major": 8, "minor": 6}])", portable_ptx()},
              {R"([{"major": 6, "minor": 1}])", portable_ptx()},
              {R"([{"major": 13, "minor": 0}])", fatbin()}};
  for (const auto& run : runs) {
    configure(run.devices, nullptr, nullptr);
    {
      CUmodule m;
      ASSERT_EQ(cuModuleLoadData(&m, run.image.data()), CUDA_SUCCESS);
      for (const char* kernel : {"_Z12blake2s_hashmPm", "_Z21blake2s_hash_balancedmPmj"}) {
        SCOPED_TRACE(testing::Message() << run.devices << " " << kernel);
        const std::vector<uint64_t> winners =
            reference_winners(block.data(), start, 1024, 1, true);
        ASSERT_FALSE(winners.empty());
        const uint64_t want = winners.back();
        EXPECT_EQ(scan(m, kernel, block, start, 2), want);
      }
    }
  }
}

TEST_F(Emu, MemoryBelongsToItsDeviceAndGoesWithItsReset) {
  configure(R"([{"totalGlobalMem": 1024}, {}])", nullptr, nullptr);
  CUdeviceptr big;
  EXPECT_EQ(cuMemAlloc(&big, 2048), CUDA_ERROR_OUT_OF_MEMORY);
  CUdeviceptr p = armed_slot();
  EXPECT_EQ(read_slot(p), ~0ull);
  EXPECT_EQ(emu_cuda::allocated_bytes(0), 8u);
  uint64_t v;
  EXPECT_EQ(cuMemcpyDtoHAsync(&v, p + 4, 8, CU_STREAM_PER_THREAD), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cuMemsetD8Async(p, 0, 8, CUstream(0x99)), CUDA_ERROR_INVALID_HANDLE);
  enter(1);  // another device's memory is not this one's
  EXPECT_EQ(cuMemcpyDtoHAsync(&v, p, 8, CU_STREAM_PER_THREAD), CUDA_ERROR_INVALID_VALUE);
  enter(0);
  CUmodule m;
  ASSERT_EQ(cuModuleLoadData(&m, fatbin().data()), CUDA_SUCCESS);
  ASSERT_EQ(cuDevicePrimaryCtxReset(0), CUDA_SUCCESS);
  EXPECT_EQ(emu_cuda::allocated_bytes(0), 0u);
  CUfunction f;
  EXPECT_EQ(cuModuleGetFunction(&f, m, "_Z12blake2s_hashmPm"), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cuMemFree(p), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(Emu, EachModuleHasItsOwnZeroedBlock) {
  configure(R"([{}, {}])", nullptr, nullptr);
  CUmodule a, b;
  ASSERT_EQ(cuModuleLoadData(&a, fatbin().data()), CUDA_SUCCESS);
  enter(1);
  ASSERT_EQ(cuModuleLoadData(&b, portable_ptx().data()), CUDA_SUCCESS);
  CUdeviceptr da, db;
  size_t n;
  ASSERT_EQ(cuModuleGetGlobal(&da, &n, a, "d_data"), CUDA_SUCCESS);
  ASSERT_EQ(cuModuleGetGlobal(&db, &n, b, "d_data"), CUDA_SUCCESS);
  EXPECT_NE(da, db);
  std::vector<uint32_t> words(104, 1);
  EXPECT_EQ(cuMemcpyDtoHAsync(words.data(), db, 416, CU_STREAM_PER_THREAD), CUDA_SUCCESS);
  EXPECT_EQ(words, std::vector<uint32_t>(104, 0));
  EXPECT_EQ(cuModuleGetGlobal(&da, &n, a, "d_dota"), CUDA_ERROR_NOT_FOUND);
}

TEST_F(Emu, LaunchesAreChecked) {
  CUmodule m;
  ASSERT_EQ(cuModuleLoadData(&m, fatbin().data()), CUDA_SUCCESS);
  CUfunction f;
  ASSERT_EQ(cuModuleGetFunction(&f, m, "_Z12blake2s_hashmPm"), CUDA_SUCCESS);
  CUdeviceptr slot = armed_slot();
  uint64_t start = 0;
  void* args[] = {&start, &slot};
  const struct {
    unsigned grid, block;
    CUstream stream;
    CUresult want;
  } cases[] = {{1, 512, CU_STREAM_PER_THREAD, CUDA_SUCCESS},
               {0, 512, CU_STREAM_PER_THREAD, CUDA_ERROR_INVALID_VALUE},
               {1, 2048, CU_STREAM_PER_THREAD, CUDA_ERROR_INVALID_VALUE},
               {1, 512, CUstream(0x77), CUDA_ERROR_INVALID_HANDLE}};
  for (const auto& c : cases)
    EXPECT_EQ(cuLaunchKernel(f, c.grid, 1, 1, c.block, 1, 1, 0, c.stream, args, nullptr), c.want)
        << c.grid << " x " << c.block;
  // A wild result pointer faults, and the context stays broken until reset.
  configure(nullptr, nullptr, nullptr);
  ASSERT_EQ(cuModuleLoadData(&m, portable_ptx().data()), CUDA_SUCCESS);
  ASSERT_EQ(cuModuleGetFunction(&f, m, "_Z12blake2s_hashmPm"), CUDA_SUCCESS);
  CUdeviceptr data;
  ASSERT_EQ(cuModuleGetGlobal(&data, nullptr, m, "d_data"), CUDA_SUCCESS);
  const std::vector<uint32_t> block = easy_block(0xFF);  // every nonce wins
  ASSERT_EQ(cuMemcpyHtoDAsync(data, block.data(), 416, CU_STREAM_PER_THREAD), CUDA_SUCCESS);
  CUdeviceptr wild = 0x1000;
  void* bad[] = {&start, &wild};
  EXPECT_EQ(cuLaunchKernel(f, 1, 1, 1, 32, 1, 1, 0, CU_STREAM_PER_THREAD, bad, nullptr),
            CUDA_SUCCESS);
  EXPECT_EQ(cuStreamSynchronize(CU_STREAM_PER_THREAD), CUDA_ERROR_ILLEGAL_ADDRESS);
  CUdeviceptr p;
  EXPECT_EQ(cuMemAlloc(&p, 8), CUDA_ERROR_ILLEGAL_ADDRESS);
  ASSERT_EQ(cuDevicePrimaryCtxReset(0), CUDA_SUCCESS);
  EXPECT_EQ(cuMemAlloc(&p, 8), CUDA_SUCCESS);
}

TEST_F(Emu, InjectedFailuresHitTheNthCallOnly) {
  configure(nullptr, "cuMemAlloc:2,cuLaunchKernel=719", nullptr);
  CUdeviceptr p;
  EXPECT_EQ(cuMemAlloc(&p, 8), CUDA_SUCCESS);
  EXPECT_EQ(cuMemAlloc(&p, 8), CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(cuMemAlloc(&p, 8), CUDA_SUCCESS);
  EXPECT_EQ(cuLaunchKernel(nullptr, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr),
            CUDA_ERROR_LAUNCH_FAILED);
}

TEST_F(Emu, ConcurrentLaunchesOnSeveralThreads) {
  CUcontext ctx = enter(0);
  CUmodule m;
  ASSERT_EQ(cuModuleLoadData(&m, fatbin().data()), CUDA_SUCCESS);
  const std::vector<uint32_t> block = easy_block();
  const uint64_t want = scan(m, "_Z12blake2s_hashmPm", block, 4096, 4);
  std::vector<uint64_t> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      cuCtxSetCurrent(ctx);  // the context is current per thread
      got[size_t(t)] = scan(m, "_Z12blake2s_hashmPm", block, 4096, 4);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(got, std::vector<uint64_t>(4, want));
}

}  // namespace
