#ifndef NONCESIEVE_OCL_RUNNER_H
#define NONCESIEVE_OCL_RUNNER_H

#include <cstdint>

class Device;

// One complete scan on one thread of a device; the block must already be on
// the device (setBlock). Returns the nonce found or 2^53 - 1.
uint64_t opencl_scan_nonces(const unsigned char* header, unsigned char* target,
                            uint64_t startNonce, Device* device, unsigned int thread);
// The same scan for job `job` (job_number.h): when the thread holds another
// job's block, it first writes this job's from `header` and `target`. Job 0
// scans whatever block the thread holds.
uint64_t opencl_scan_nonces_for_job(const unsigned char* header, unsigned char* target,
                                    uint64_t startNonce, Device* device, unsigned int thread,
                                    uint64_t job);
// Timed self-test on thread 0: prints "<ms> ms" and "Result: <nonce>".
int opencl_test(Device* device);
double opencl_benchmark(Device* device, int);

#endif
