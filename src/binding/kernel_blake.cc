#include "kernel_blake.h"

#include <string.h>

#include <atomic>

#include "nonce_search.h"
#include "search_block.h"

// The images, embedded at build time (scripts/embed.js --raw). Each array has a
// NUL after its last byte, so the PTX is a C string; a build without clang
// has an empty portable PTX.
extern const unsigned char nvsieve_fatbin[];
extern const unsigned int nvsieve_fatbin_len;
extern const unsigned char nvsieve_portable_ptx[];
extern const unsigned int nvsieve_portable_ptx_len;

#ifndef NVSIEVE_SASS_ARCHS
#error "define NVSIEVE_SASS_ARCHS as scripts/cuda-archs.js --list prints it"
#endif

namespace {

std::atomic<int> g_kernel(CUDA_KERNEL_DEFAULT);

const char* const kKernelNames[CUDA_KERNEL_COUNT] = {"_Z12blake2s_hashmPm",
                                                     "_Z21blake2s_hash_balancedmPmj"};

const int kSassArchs[] = {NVSIEVE_SASS_ARCHS};

// What a GPU runs when the driver compiled a PTX image for it.
const char kJitImage[] = "PTX, compiled by the driver";

CUresult load_image(const CudaDriverApi& cu, const void* image, CudaModule* out) {
  CudaModule m;
  CUresult e = cu.cuModuleLoadData(&m.module, image);
  for (int k = 0; e == CUDA_SUCCESS && k < CUDA_KERNEL_COUNT; ++k)
    e = cu.cuModuleGetFunction(&m.kernels[k], m.module, kKernelNames[k]);
  size_t bytes = 0;
  if (e == CUDA_SUCCESS) e = cu.cuModuleGetGlobal(&m.d_data, &bytes, m.module, "d_data");
  if (e == CUDA_SUCCESS && bytes != NS_BLOCK_BYTES) e = CUDA_ERROR_INVALID_IMAGE;
  if (e == CUDA_SUCCESS) *out = m;
  return e;
}

}  // namespace

const char* cuda_choose_kernel(const char* name) {
  if (name == nullptr || name[0] == '\0' || strcmp(name, "default") == 0) {
    g_kernel = CUDA_KERNEL_DEFAULT;
  } else if (strcmp(name, "balanced") == 0) {
    g_kernel = CUDA_KERNEL_BALANCED;
  } else {
    return "NVSIEVE_KERNEL must be default or balanced";
  }
  return nullptr;
}

bool cuda_has_portable_ptx() { return nvsieve_portable_ptx_len > 0; }

CUresult cuda_load_kernels(const CudaDriverApi& cu, int arch, CudaModule* out, std::string* why) {
  const CUresult fat = load_image(cu, nvsieve_fatbin, out);
  if (fat == CUDA_SUCCESS) {
    // The driver takes the SASS of the GPU's own generation when the fatbin
    // has it (same major, no newer minor), else it compiles the PTX.
    int binary = 0;
    cu.cuFuncGetAttribute(&binary, CU_FUNC_ATTRIBUTE_BINARY_VERSION, out->kernels[0]);
    out->image = kJitImage;
    for (int sass : kSassArchs)
      if (sass == binary && sass / 10 == arch / 10 && sass <= arch)
        out->image = "SASS sm_" + std::to_string(sass);
    return fat;
  }
  *why = "the fatbin (SASS sm_" + std::to_string(kSassArchs[0]) + " and newer, PTX of the newest): " +
         cuda_driver_error_text(fat);
  if (!cuda_has_portable_ptx()) {
    *why += "; this build carries no portable PTX (it was built without clang)";
    return fat;
  }
  const CUresult ptx = load_image(cu, nvsieve_portable_ptx, out);
  if (ptx == CUDA_SUCCESS) {
    out->image = kJitImage;
    return ptx;
  }
  *why += "; the portable PTX (ISA 4.3, sm_35): " + cuda_driver_error_text(ptx);
  return ptx;
}

CUresult set_init_data(const CudaDriverApi& cu, const CudaModule& m, const unsigned char* header,
                       const unsigned char* target) {
  // A copy from pageable memory returns once the driver has staged the
  // bytes, so the block may go out of scope before the copy lands.
  uint32_t block[NS_BLOCK_WORDS];
  build_search_block(header, target, true, block);
  return cu.cuMemcpyHtoDAsync(m.d_data, block, sizeof(block), CU_STREAM_PER_THREAD);
}

CUresult launch_blake2s_hash(const CudaDriverApi& cu, const CudaModule& m, unsigned int blocks,
                             unsigned int threadsPerBlock, unsigned long startNonce,
                             CUdeviceptr resultSlot) {
  unsigned int one = 1;
  void* args[] = {&startNonce, &resultSlot, &one};
  return cu.cuLaunchKernel(m.kernels[g_kernel], blocks, 1, 1, threadsPerBlock, 1, 1, 0,
                           CU_STREAM_PER_THREAD, args, nullptr);
}
