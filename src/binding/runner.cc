// Every call nvsieve makes into the CUDA driver. Work is issued on the
// calling thread's per-thread default stream, so scans on different pool
// threads do not serialise; each device is driven through its primary
// context, which is what the CUDA runtime would use too.
#include "runner.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>

#include "blake2s.h"
#include "cuda_driver.h"
#include "device.h"
#include "fatal.h"
#include "hex.h"
#include "kernel_blake.h"
#include "nonce_search.h"
#include "scan_limits.h"

namespace {

const int kGlobal = -1;

// A failed call names the runner function and its call site, on standard
// error, and ends the process. `ordinal` < 0 gives the message without a GPU.
[[noreturn]] void fail(const char* func, int line, int ordinal, const std::string& text) {
  if (ordinal >= 0)
    fprintf(stderr, "GPU#%d: Cuda error in func '%s' at line %i : %s.\n", ordinal, func, line,
            text.c_str());
  else
    fprintf(stderr, "Cuda error in func '%s' at line %i : %s.\n", func, line, text.c_str());
  fatal_exit();
}

void check(CUresult status, const char* func, int line, int ordinal) {
  if (status != CUDA_SUCCESS) fail(func, line, ordinal, cuda_driver_error_text(status));
}

// The driver's entry points; a driver that cannot be used ends the process
// with the message of the call site that needed it.
const CudaDriverApi& driver(const char* func, int line, int ordinal) {
  const CudaDriverApi* api = nullptr;
  check(cuda_driver(&api), func, line, ordinal);
  return *api;
}

// What nvsieve keeps of one GPU: its primary context and the kernel module
// loaded there. Shared by every Device record of the GPU in the process.
struct CudaGpu {
  std::mutex lock;  // taken by whoever retains the context or loads the module
  CUdevice device = 0;
  // Read without the lock by scans making it current.
  std::atomic<CUcontext> context{nullptr};
  bool load_tried = false;
  CUresult load_status = CUDA_SUCCESS;
  std::string load_failure;  // what each image got, when neither loaded
  CudaModule module;
};

// Never destroyed: pool threads may still use one on the way out.
CudaGpu& gpu(int ordinal) {
  static std::mutex* lock = new std::mutex();
  static std::map<int, CudaGpu*>* gpus = new std::map<int, CudaGpu*>();
  std::lock_guard<std::mutex> guard(*lock);
  CudaGpu*& g = (*gpus)[ordinal];
  if (!g) g = new CudaGpu();
  return *g;
}

struct Properties {
  std::string name;
  uint64_t totalGlobalMem = 0;
  int major = 0;
  int minor = 0;
};

CUresult read_properties(const CudaDriverApi& cu, int ordinal, Properties* p) {
  CUdevice dev;
  CUresult e = cu.cuDeviceGet(&dev, ordinal);
  char name[256] = {};
  size_t mem = 0;
  if (e == CUDA_SUCCESS) e = cu.cuDeviceGetName(name, sizeof(name) - 1, dev);
  if (e == CUDA_SUCCESS) e = cu.cuDeviceTotalMem(&mem, dev);
  if (e == CUDA_SUCCESS)
    e = cu.cuDeviceGetAttribute(&p->major, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, dev);
  if (e == CUDA_SUCCESS)
    e = cu.cuDeviceGetAttribute(&p->minor, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, dev);
  p->name.assign(name, strnlen(name, sizeof(name)));
  p->totalGlobalMem = mem;
  return e;
}

Properties properties(unsigned int ordinal, const char* func, int line) {
  Properties p;
  check(read_properties(driver(func, line, int(ordinal)), int(ordinal), &p), func, line,
        int(ordinal));
  return p;
}

// No image runs below compute capability 3.5 (Kepler's sm_35).
bool below_floor(const Properties& p) { return p.major * 10 + p.minor < 35; }

// Makes the GPU's primary context current on the calling thread, retaining
// it first (g.lock held).
CUresult enter_locked(const CudaDriverApi& cu, int ordinal, CudaGpu& g) {
  CUresult e = CUDA_SUCCESS;
  if (!g.context) {
    CUcontext retained = nullptr;
    e = cu.cuDeviceGet(&g.device, ordinal);
    if (e == CUDA_SUCCESS) e = cu.cuDevicePrimaryCtxRetain(&retained, g.device);
    if (e == CUDA_SUCCESS) g.context = retained;
  }
  return e == CUDA_SUCCESS ? cu.cuCtxSetCurrent(g.context) : e;
}

void make_current(const CudaDriverApi& cu, CudaGpu& g, int ordinal, const char* func, int line) {
  if (CUcontext context = g.context) {
    check(cu.cuCtxSetCurrent(context), func, line, ordinal);
    return;
  }
  std::lock_guard<std::mutex> guard(g.lock);
  check(enter_locked(cu, ordinal, g), func, line, ordinal);
}

// What to install so that a GPU of this generation runs one of the images.
std::string what_to_install(const Properties& p) {
  if (below_floor(p)) return "nvsieve needs a GPU of compute capability 3.5 or newer";
  if (p.major == 3) return "install the NVIDIA driver R470 (the last branch for Kepler GPUs)";
  if (p.major * 10 + p.minor < 75)
    return "install an NVIDIA driver R580 (the last branch for Maxwell, Pascal and Volta GPUs)";
  return "install NVIDIA driver R580 or newer";
}

// Loads the module on the GPU once (its context made current); the outcome
// is kept, with the reason for a failure, so that every caller sees the same
// answer. Never ends the process: the callers decide.
CudaGpu& load(const CudaDriverApi& cu, unsigned int ordinal) {
  CudaGpu& g = gpu(int(ordinal));
  std::lock_guard<std::mutex> guard(g.lock);
  if (g.load_tried) return g;
  g.load_tried = true;
  Properties p;
  g.load_status = read_properties(cu, int(ordinal), &p);
  if (g.load_status == CUDA_SUCCESS) g.load_status = enter_locked(cu, int(ordinal), g);
  if (g.load_status != CUDA_SUCCESS) {
    g.load_failure = cuda_driver_error_text(g.load_status);
    return g;
  }
  std::string why;
  g.load_status = below_floor(p) ? CUDA_ERROR_NO_BINARY_FOR_GPU
                                 : cuda_load_kernels(cu, p.major * 10 + p.minor, &g.module, &why);
  if (g.load_status != CUDA_SUCCESS) {
    char cc[64];
    snprintf(cc, sizeof(cc), " (compute capability %d.%d)", p.major, p.minor);
    g.load_failure = p.name + cc + " on a driver for " + cuda_version_text(cuda_driver_version()) +
                     " runs none of nvsieve's code" + (why.empty() ? "" : ": " + why) + "; " +
                     what_to_install(p);
  }
  return g;
}

// Launch, wait, read the slot, re-arm it after a find. The caller holds the
// GPU's block lock, so the block cannot change under the kernel.
uint64_t launch_and_collect(const CudaDriverApi& cu, const CudaModule& m, Device* device,
                            unsigned long startNonce, unsigned int slot) {
  const unsigned int blocks = unsigned(device->cudaThreads / unsigned(device->jobsPerBlock));
  const CUdeviceptr result_slot = CUdeviceptr(device->resultSlots.at(slot));
  // An empty grid tests nothing; launching it would only be refused.
  if (blocks > 0) {
    // A launch that fails would otherwise look like a range without a winner.
    check(launch_blake2s_hash(cu, m, blocks, unsigned(device->jobsPerBlock), startNonce,
                              result_slot),
          "cuda_scan_nonces", 176, device->deviceId);
  }
  // A fault of the kernel shows here, and is reported here.
  check(cu.cuStreamSynchronize(CU_STREAM_PER_THREAD), "cuda_scan_nonces", 180, device->deviceId);

  uint64_t found = 0;
  check(cu.cuMemcpyDtoHAsync(&found, result_slot, sizeof(found), CU_STREAM_PER_THREAD),
        "cuda_scan_nonces", 191, device->deviceId);
  check(cu.cuStreamSynchronize(CU_STREAM_PER_THREAD), "cuda_scan_nonces", 192, device->deviceId);
  if (found == ~0ULL) return NOT_FOUND_NONCE;
  check(cu.cuMemsetD8Async(result_slot, 0xFF, sizeof(uint64_t), CU_STREAM_PER_THREAD),
        "cuda_scan_nonces", 200, device->deviceId);
  check(cu.cuStreamSynchronize(CU_STREAM_PER_THREAD), "cuda_scan_nonces", 201, device->deviceId);
  return found;
}

}  // namespace

void cuda_load_module(const Device* device) {
  const CudaDriverApi& cu = driver("cuda_load_module", 108, device->deviceId);
  const CudaGpu& g = load(cu, unsigned(device->deviceId));
  if (g.load_status != CUDA_SUCCESS) fail("cuda_load_module", 109, device->deviceId, g.load_failure);
}

void cuda_init_device(Device* device, int slot, unsigned long) {
  const CudaDriverApi& cu = driver("cuda_init_device", 112, device->deviceId);
  make_current(cu, gpu(device->deviceId), device->deviceId, "cuda_init_device", 112);
  CUdeviceptr memory = 0;
  check(cu.cuMemAlloc(&memory, sizeof(uint64_t)), "cuda_init_device", 114, device->deviceId);
  device->resultSlots.at(slot) = reinterpret_cast<uint64_t*>(memory);
  check(cu.cuMemsetD8Async(memory, 0xFF, sizeof(uint64_t), CU_STREAM_PER_THREAD),
        "cuda_init_device", 116, device->deviceId);
  check(cu.cuStreamSynchronize(CU_STREAM_PER_THREAD), "cuda_init_device", 117, device->deviceId);
}

void cuda_free_slot(const Device* device, uint64_t* slot) {
  if (slot == nullptr) return;
  const CudaDriverApi& cu = driver("cuda_free_slot", 130, device->deviceId);
  make_current(cu, gpu(device->deviceId), device->deviceId, "cuda_free_slot", 130);
  check(cu.cuMemFree(CUdeviceptr(slot)), "cuda_free_slot", 131, device->deviceId);
}

// The reset takes the module with it: it is loaded again at once, so that
// the next scan finds its kernels.
void cuda_reset_device(const Device* device) {
  const CudaDriverApi& cu = driver("cuda_reset_device", 124, device->deviceId);
  CudaGpu& g = gpu(device->deviceId);
  make_current(cu, g, device->deviceId, "cuda_reset_device", 124);
  std::lock_guard<std::mutex> guard(g.lock);
  check(cu.cuDevicePrimaryCtxReset(g.device), "cuda_reset_device", 125, device->deviceId);
  g.context = nullptr;
  check(enter_locked(cu, device->deviceId, g), "cuda_reset_device", 126, device->deviceId);
  if (g.load_tried && g.load_status == CUDA_SUCCESS) {
    std::string why;
    Properties p;
    check(read_properties(cu, device->deviceId, &p), "cuda_reset_device", 127, device->deviceId);
    check(cuda_load_kernels(cu, p.major * 10 + p.minor, &g.module, &why), "cuda_reset_device",
          127, device->deviceId);
  }
}

uint64_t cuda_scan_nonces(const unsigned char* header, unsigned char* target,
                          unsigned long startNonce, Device* device, unsigned int slot) {
  return cuda_scan_nonces_for_job(header, target, startNonce, device, slot,
                                  device->currentJob.load());
}

uint64_t cuda_scan_nonces_for_job(const unsigned char* header, unsigned char* target,
                                  unsigned long startNonce, Device* device, unsigned int slot,
                                  uint64_t job) {
  const CudaDriverApi& cu = driver("cuda_scan_nonces", 158, device->deviceId);
  CudaGpu& g = gpu(device->deviceId);
  make_current(cu, g, device->deviceId, "cuda_scan_nonces", 158);
  const CudaModule& m = g.module;
  GpuBlock& block = gpu_block(device->deviceId);
  {
    std::shared_lock<std::shared_mutex> shared(block.lock);
    if (block.uploaded == job && device->slotsGeneration == block.generation)
      return launch_and_collect(cu, m, device, startNonce, slot);
  }
  // The GPU holds another job's block, or was reset since this record's
  // slots were made: put both right, and launch before letting go, so that
  // every upload is followed by the scan that made it.
  std::unique_lock<std::shared_mutex> alone(block.lock);
  if (device->slotsGeneration != block.generation) device->remakeSlots(block.generation);
  if (block.uploaded != job) {
    // A block that did not arrive would be searched as if it had.
    check(set_init_data(cu, m, header, target), "cuda_scan_nonces", 170, device->deviceId);
    check(cu.cuStreamSynchronize(CU_STREAM_PER_THREAD), "cuda_scan_nonces", 171,
          device->deviceId);
    block.uploaded = job;
  }
  return launch_and_collect(cu, m, device, startNonce, slot);
}

int cuda_get_total_devices() {
  const CudaDriverApi& cu = driver("cuda_get_total_devices", 209, kGlobal);
  int count = 0;
  check(cu.cuDeviceGetCount(&count), "cuda_get_total_devices", 209, kGlobal);
  return count;
}

int cuda_get_batch_size(unsigned int ordinal) {
  const Properties prop = properties(ordinal, "cuda_get_batch_size", 215);
  if (below_floor(prop)) return 0;
  return int(double(prop.totalGlobalMem) * 0.8 / 524288.0);
}

// 0 where no image runs: scans there would never find anything.
int cuda_get_gran(unsigned int ordinal) {
  const Properties prop = properties(ordinal, "cuda_get_gran", 225);
  if (below_floor(prop)) return 0;
  const CudaDriverApi& cu = driver("cuda_get_gran", 225, int(ordinal));
  return load(cu, ordinal).load_status == CUDA_SUCCESS ? 1 : 0;
}

int cuda_get_jobsperblock(unsigned int ordinal) {
  properties(ordinal, "cuda_get_jobsperblock", 241);
  return CUDA_JOBS_PER_BLOCK;
}

std::string cuda_get_device_name(unsigned int ordinal) {
  return properties(ordinal, "cuda_get_device_name", 255).name;
}

std::string cuda_get_key(unsigned int ordinal) {
  std::string key = properties(ordinal, "cuda_get_key", 262).name;
  for (char& c : key)
    if (c == ' ') c = '_';
  // The memory is read as the key has always read it, though the key ends at
  // the "_" after the name.
  cuda_get_device_mem(ordinal);
  return key + "_";
}

uint64_t cuda_get_device_mem(unsigned int ordinal) {
  return properties(ordinal, "cuda_get_device_mem", 273).totalGlobalMem;
}

// The blocking-sync flag goes on every GPU's primary context before any is
// used. A context already active (a second wrapper in the process) keeps the
// flag the first one set.
void cuda_set_flags() {
  const CudaDriverApi& cu = driver("cuda_set_flags", 278, kGlobal);
  int count = 0;
  check(cu.cuDeviceGetCount(&count), "cuda_set_flags", 278, kGlobal);
  for (int i = 0; i < count; ++i) {
    CUdevice dev;
    check(cu.cuDeviceGet(&dev, i), "cuda_set_flags", 278, kGlobal);
    const CUresult e = cu.cuDevicePrimaryCtxSetFlags(dev, CU_CTX_SCHED_BLOCKING_SYNC);
    if (e != CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE) check(e, "cuda_set_flags", 278, kGlobal);
  }
}

CudaReport cuda_report() {
  CudaReport r;
  const CudaDriverApi* cu = nullptr;
  const CUresult status = cuda_driver(&cu);
  r.driverVersion = cuda_driver_version();
  int count = 0;
  if (status == CUDA_SUCCESS) {
    const CUresult e = cu->cuDeviceGetCount(&count);
    if (e != CUDA_SUCCESS) r.problem = cuda_driver_error_text(e);
  } else {
    r.problem = cuda_driver_error_text(status);
  }
  for (int i = 0; r.problem.empty() && i < count; ++i) {
    CudaReport::Gpu d;
    Properties p;
    const CUresult e = read_properties(*cu, i, &p);
    if (e != CUDA_SUCCESS) {
      d.failure = cuda_driver_error_text(e);
    } else {
      d.name = p.name;
      d.major = p.major;
      d.minor = p.minor;
      d.totalGlobalMem = p.totalGlobalMem;
      CudaGpu& g = load(*cu, unsigned(i));
      if (g.load_status == CUDA_SUCCESS) d.image = g.module.image;
      else d.failure = g.load_failure;
    }
    r.gpus.push_back(d);
  }
  return r;
}

void cuda_test(Device* device) {
  unsigned char header[NS_HEADER_BYTES];
  unsigned char target[NS_TARGET_BYTES];
  HexToBin(SELFTEST_HEADER_HEX, header, sizeof(header));
  HexToBin(SELFTEST_TARGET_HEX, target, sizeof(target));
  for (int i = 0; i < 6; ++i) header[280 + i] = uint8_t(CUDA_SELFTEST_NONCE >> (8 * i));

  uint8_t digest[BLAKE2S_OUTBYTES];
  blake2s(digest, sizeof(digest), header, sizeof(header), nullptr, 0);
  for (uint8_t byte : digest) printf("%02x", byte);
  printf("\n");
  fflush(stdout);

  // The test is a job of its own: it scans the self-test block whatever job
  // the device holds, and the job's next scan puts the job's block back.
  const uint64_t job = next_job_number();
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) cuda_scan_nonces_for_job(header, target, 0, device, 0, job);
  const auto end = std::chrono::steady_clock::now();
  const double ms =
      double(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count()) / 1000000;
  std::cout << ms << " ms" << std::endl;

  printf("Result: %lu\n",
         (unsigned long)cuda_scan_nonces_for_job(header, target, 0, device, 0, job));
  printf("Expected Result: %lu\n", (unsigned long)CUDA_SELFTEST_EXPECTED);
  fflush(stdout);
}

double cuda_benchmark(Device*, unsigned int, unsigned int, unsigned int) { return 0.0; }
