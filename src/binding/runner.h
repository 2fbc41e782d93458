// The CUDA runner: every call nvsieve makes into the CUDA driver. A failed
// call prints its message on standard error and ends the process (status 1).
#ifndef NONCESIEVE_CUDA_RUNNER_H
#define NONCESIEVE_CUDA_RUNNER_H

#include <cstdint>
#include <string>
#include <vector>

class Device;

// Threads of a launch's block; a launch is a whole number of blocks.
const int CUDA_JOBS_PER_BLOCK = 512;

// Loads the kernel module on the device's GPU (once per GPU), so that a JIT
// compile by the driver does not fall into the first scan; a GPU that runs
// neither image ends the process with the reason.
void cuda_load_module(const Device* device);
void cuda_init_device(Device* device, int slot, unsigned long size);
void cuda_reset_device(const Device* device);
uint64_t cuda_scan_nonces(const unsigned char* header, unsigned char* target,
                          unsigned long startNonce, Device* device, unsigned int slot);
// The same scan for job `job` (job_number.h): when the GPU holds another
// job's block, it first uploads this one's from `header` and `target`.
uint64_t cuda_scan_nonces_for_job(const unsigned char* header, unsigned char* target,
                                  unsigned long startNonce, Device* device, unsigned int slot,
                                  uint64_t job);
int cuda_get_total_devices();
int cuda_get_batch_size(unsigned int ordinal);
int cuda_get_gran(unsigned int ordinal);
int cuda_get_jobsperblock(unsigned int ordinal);
std::string cuda_get_device_name(unsigned int ordinal);
std::string cuda_get_key(unsigned int ordinal);
uint64_t cuda_get_device_mem(unsigned int ordinal);
void cuda_set_flags();
void cuda_test(Device* device);
double cuda_benchmark(Device* device, unsigned int, unsigned int, unsigned int);
// Releases result slot memory (a replaced slot); a failure is reported like
// any other, so that it is not left pending for the next call to trip over.
void cuda_free_slot(const Device* device, uint64_t* slot);

// What the driver and each GPU offer, gathered without ending the process
// (isAvailable and the device listing read it).
struct CudaReport {
  struct Gpu {
    std::string name;
    int major = 0;
    int minor = 0;
    uint64_t totalGlobalMem = 0;
    std::string image;    // what runs: "SASS sm_86", "PTX, compiled by the driver"
    std::string failure;  // why nothing runs, when image is empty
  };
  int driverVersion = 0;  // the CUDA version of the driver, 12020 for 12.2; 0 none
  std::string problem;    // why the driver cannot be used at all
  std::vector<Gpu> gpus;
};
CudaReport cuda_report();

#endif
