// One OpenCL device as clsieve drives it: its own context and program, and a
// few independent scan lanes ("threads"), each with its own queue, kernel
// object, block buffer and result slot, so that scans of one device can run
// from several pool threads at once without sharing anything.
#ifndef NONCESIEVE_OCL_DEVICE_H
#define NONCESIEVE_OCL_DEVICE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nonce_search.h"
#include "opencl.h"
#include "slot_claims.h"

// Held by platform and device discovery and by the context creation that
// follows: OpenCL platforms (PoCL among them) do not survive two threads
// discovering at once, and a module's Workers may construct their contexts at
// the same moment. One for the whole process, whichever environment asks.
std::mutex& opencl_discovery_lock();

class Device {
 public:
  cl::Context context;
  cl::Program program;
  cl::Device device;
  std::vector<cl::CommandQueue> queues;
  std::vector<cl::Kernel> kernels;
  std::vector<cl::Buffer> inputBuffers;
  std::vector<cl::Buffer> resultBuffers;
  int threads = 0;
  // The no-result sentinel, which setMaxNonce puts in a result slot.
  static constexpr uint64_t maxNonce = ~0ULL;
  bool useBinary = false;
  uint64_t globalWorkSize = 0;
  uint64_t localWorkSize = 256;
  bool binaryLoaded = false;
  int gran = 1;
  // Jobs are numbered (job_number.h). The device keeps the current job's
  // header and target; a scan carries a copy of them, taken when it is
  // queued, with the job's number. Each thread's buffer holds the block of
  // threadJobs[i]; a scan for another job rewrites it first (startScan), so
  // a scan queued before a set_block never runs on the newer block, and a
  // self-test never leaves its block behind. 0: no block given yet.
  std::atomic<uint64_t> currentJob{0};
  unsigned char jobHeader[NS_HEADER_BYTES] = {};
  unsigned char jobTarget[NS_TARGET_BYTES] = {};
  std::vector<uint64_t> threadJobs;
  // Keeps a thread's block write and kernel enqueue together.
  std::unique_ptr<std::mutex[]> threadLocks;
  // Which threads have a scan in flight (the script keeps it to one each).
  SlotClaims claims;

  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  // Work still queued (the result slot's reset does not wait) lands before
  // the queues and buffers it uses go.
  ~Device();

  void initialize();
  void initializeThreads(int thread);
  void initBuffers(const unsigned char* header, const unsigned char* target, int thread);
  // A new job: its block on every thread.
  void setBlock(const unsigned char* header, const unsigned char* target);
  // The block of job `job` on every thread, without making it the current job.
  void writeBlock(const unsigned char* header, const unsigned char* target, uint64_t job);
  void scan(uint64_t startNonce, int thread);
  // Enqueues the kernel of a scan of job `job` on `thread`, first writing
  // that job's block from `header` and `target` when the thread holds
  // another one. Job 0 scans whatever block the thread holds.
  void startScan(const unsigned char* header, const unsigned char* target, uint64_t job,
                 uint64_t startNonce, int thread);
  uint64_t readResultNonce(int thread);
  int setMaxNonce(int thread);
  std::string getName();
  std::string getKey();
  void update(int, int) {}

  // Kernel programs: the embedded source, or a prebuilt image for this device.
  void buildKernel();
  std::string getBinaryFileName();
  bool loadBinaryKernel(std::string imageName, cl::Program& program);
  void saveBinary(std::string fileName, cl::Program& program);
  // Builds OpenCL C source for this device's context (status not checked;
  // a program that failed to build shows at the first enqueue).
  cl::Program buildSource(const unsigned char* source, unsigned int length);
};

// Device key: name-<memory in GiB rounded up>gb-<compute units>-<clock MHz>.
std::string device_key(const std::string& name, uint64_t globalMemBytes, unsigned computeUnits,
                       unsigned clockMHz);

#endif
