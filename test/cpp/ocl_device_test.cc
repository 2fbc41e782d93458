// The OpenCL backend's Device on the first OpenCL device found (PoCL on a
// CPU in CI), with an image table the test fills itself: the prebuilt-image
// path end to end, and the fallbacks to the source kernel.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "embedded.h"
#include "gpucontext.h"
#include "hex.h"
#include "reference.h"
#include "runner.h"
#include "scan_limits.h"
#include "search_block.h"
#include "test_util.h"

// The module's table lookup, replaced: images the test captured or made up.
namespace {
std::map<std::string, std::vector<unsigned char>>& test_images() {
  static std::map<std::string, std::vector<unsigned char>> images;
  return images;
}
}  // namespace

const OclImage* find_ocl_image(const char* name) {
  static OclImage found;
  auto it = test_images().find(name);
  if (it == test_images().end()) return nullptr;
  found = {it->first.c_str(), it->second.data(), unsigned(it->second.size())};
  return &found;
}

namespace {

GpuContext& context() {
  static GpuContext ctx("", CL_DEVICE_TYPE_ALL);
  return ctx;
}

class OclDevice : public testing::Test {
 protected:
  void SetUp() override {
    if (context().clDevices.empty()) GTEST_SKIP() << "no OpenCL device";
    test_images().clear();
  }

  // A device as initDevices makes it.
  static std::unique_ptr<Device> make(bool useBinary, int threads = 2, uint64_t work = 256) {
    std::unique_ptr<Device> d(new Device());
    d->device = context().clDevices[0];
    d->threads = threads;
    d->globalWorkSize = work;
    d->useBinary = useBinary;
    d->initialize();
    return d;
  }

  // The two-nonce kernel compiled for this device, as a user would capture it.
  static std::vector<unsigned char> capture_two_nonce_image() {
    Device d;
    d.device = context().clDevices[0];
    d.context = cl::Context(d.device, nullptr, nullptr, nullptr, nullptr);
    cl::Program program = d.buildSource(kernel_gran2_cl, kernel_gran2_cl_len);
    const std::string file = testing::TempDir() + "/" + d.getBinaryFileName();
    d.saveBinary(file, program);
    std::ifstream in(file, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    return bytes;
  }

  // Scans `ranges` ranges and checks each result against the reference.
  static void expect_scans_match_reference(Device* d, uint32_t gran, bool extended) {
    std::vector<unsigned char> header = from_hex(SELFTEST_HEADER_HEX);
    std::vector<unsigned char> target = from_hex(SELFTEST_TARGET_HEX);
    target[31] = 0x01;  // about one nonce in 256 wins
    d->setBlock(header.data(), target.data());
    uint32_t block[NS_BLOCK_WORDS];
    build_search_block(header.data(), target.data(), extended, block);
    const uint32_t work = uint32_t(d->globalWorkSize);
    int found = 0;
    for (int i = 0; i < 40; ++i) {
      const uint64_t start = (1ull << 40) + uint64_t(i) * work * gran;
      const uint64_t got = opencl_scan_nonces(header.data(), target.data(), start, d, i % 2);
      const std::vector<uint64_t> winners = reference_winners(block, start, work, gran, extended);
      if (winners.empty()) {
        EXPECT_EQ(got, NOT_FOUND_NONCE) << start;
      } else {
        ++found;
        EXPECT_TRUE(reference_accepts(block, start, work, gran, extended, got)) << start;
      }
    }
    EXPECT_GT(found, 20);
  }
};

TEST_F(OclDevice, CapturedImageLoadsWithTwoNoncesPerWorkItem) {
  Device probe;
  probe.device = context().clDevices[0];
  const std::vector<unsigned char> image = capture_two_nonce_image();
  ASSERT_FALSE(image.empty());
  test_images()[probe.getBinaryFileName()] = image;

  std::unique_ptr<Device> d = make(true);
  EXPECT_TRUE(d->binaryLoaded);
  EXPECT_EQ(d->gran, 2);
  expect_scans_match_reference(d.get(), 2, true);

  // A launch of 256 work items covers 512 nonces: with the lowest hash of a
  // window as the only winner, a range ending on it finds it and the range
  // after it finds nothing.
  std::vector<unsigned char> header = from_hex(SELFTEST_HEADER_HEX);
  std::vector<unsigned char> target(32, 0);
  uint32_t block[NS_BLOCK_WORDS];
  build_search_block(header.data(), target.data(), true, block);
  uint64_t best = 0;
  for (uint64_t base = 5000000;; base += 4096) {
    best = base;
    for (uint64_t n = base; n < base + 4096; ++n)
      if (ns_nonce_h3(block, n, true) < ns_nonce_h3(block, best, true)) best = n;
    if (best >= base + 511 && best + 512 < base + 4096) break;
  }
  const uint64_t start = best - 511;
  const uint64_t h3 = ns_nonce_h3(block, best, true);
  for (int i = 0; i < 8; ++i) target[24 + i] = uint8_t((h3 + 1) >> (8 * i));
  d->setBlock(header.data(), target.data());
  EXPECT_EQ(opencl_scan_nonces(nullptr, nullptr, start, d.get(), 0), best);
  EXPECT_EQ(opencl_scan_nonces(nullptr, nullptr, start + 512, d.get(), 0), NOT_FOUND_NONCE);
}

TEST_F(OclDevice, ImageThatDoesNotBuildFallsBackToTheSource) {
  Device probe;
  probe.device = context().clDevices[0];
  test_images()[probe.getBinaryFileName()] = std::vector<unsigned char>(4096, 0x5A);
  std::unique_ptr<Device> d = make(true);
  EXPECT_FALSE(d->binaryLoaded);
  EXPECT_EQ(d->gran, 1);
  expect_scans_match_reference(d.get(), 1, false);
}

TEST_F(OclDevice, SourceKernelWithoutImagesOrWhenImagesAreNotAllowed) {
  std::unique_ptr<Device> without = make(true);
  EXPECT_FALSE(without->binaryLoaded);
  EXPECT_EQ(without->gran, 1);
  expect_scans_match_reference(without.get(), 1, false);

  Device probe;
  probe.device = context().clDevices[0];
  test_images()[probe.getBinaryFileName()] = capture_two_nonce_image();
  std::unique_ptr<Device> refused = make(false);
  EXPECT_FALSE(refused->binaryLoaded);
  EXPECT_EQ(refused->gran, 1);
}

TEST_F(OclDevice, ImageNamesAreTheDeviceNameWithBlanksReplaced) {
  Device d;
  d.device = context().clDevices[0];
  std::string expected = d.getName();
  for (char& c : expected)
    if (c == ' ') c = '_';
  EXPECT_EQ(d.getBinaryFileName(), expected + "_bin");
  // Only an exact name matches.
  test_images()["gfx900_bin"] = {1, 2, 3};
  cl::Program program;
  d.context = cl::Context(d.device, nullptr, nullptr, nullptr, nullptr);
  EXPECT_FALSE(d.loadBinaryKernel("GFX900_bin", program));
  EXPECT_FALSE(d.loadBinaryKernel("gfx900__bin", program));
  EXPECT_FALSE(d.loadBinaryKernel("gfx900_bin", program));  // found, but does not build
}

TEST_F(OclDevice, ZeroThreadsCreateNothing) {
  std::unique_ptr<Device> d = make(false, 0);
  EXPECT_TRUE(d->queues.empty());
  EXPECT_TRUE(d->kernels.empty());
  std::vector<unsigned char> header(286), target(32);
  d->setBlock(header.data(), target.data());  // nothing to write to
}

// The module refuses such work sizes; the device's own guard still ends the
// process with the enqueue status and the kernel's message.
TEST_F(OclDevice, AnEnqueueFailureEndsTheProcessWithTheKernelMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::unique_ptr<Device> d = make(false, 1, 1000);
        dup2(2, 1);  // the messages go to standard output
        opencl_scan_nonces(nullptr, nullptr, 0, d.get(), 0);
      },
      testing::ExitedWithCode(1), "(^|\n)-?[0-9]+\nCould not enqueue blake2s kernel\n$");
}

TEST(OclKeyAndBatchSize, Formulas) {
  const uint64_t GiB = 1ull << 30;
  EXPECT_EQ(device_key("Ellesmere", 8 * GiB, 36, 1340), "Ellesmere-8gb-36-1340");
  EXPECT_EQ(device_key("x", 4 * GiB, 1, 2), "x-4gb-1-2");
  EXPECT_EQ(device_key("x", 4 * GiB + 1, 1, 2), "x-5gb-1-2");
  EXPECT_EQ(device_key("x", uint64_t(8.1 * double(GiB)), 1, 2), "x-9gb-1-2");

  const uint64_t cap = 4404019200ull;
  const struct {
    uint64_t mem;
    int count;
    uint64_t batch;
  } cases[] = {{8 * GiB, 1, 6720}, {8 * GiB, 2, 13107}, {8 * GiB, 0, 0},
               {4 * GiB, 1, 6553}, {4 * GiB, 3, 6553}, {16 * GiB, 4, 26214},
               {8 * GiB, -1, 13107}};
  for (const auto& c : cases)
    EXPECT_EQ(batch_size_for_memory(c.mem, cap, c.count), c.batch) << c.mem << " x" << c.count;
}

}  // namespace
