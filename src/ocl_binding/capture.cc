// clsieve_capture [folder]: compiles the two-nonce kernel for every OpenCL
// device found and writes each program binary under the device's image name
// (src/ocl_binding/images by default). Rebuilding the module embeds them; a
// device whose name matches then loads its image when init_devices allows
// prebuilt images. Devices are found as the module finds them, so
// CLSIEVE_PLATFORM_VENDOR and CLSIEVE_DEVICE_TYPE apply here too.
#include <cstdio>
#include <string>

#include "device.h"
#include "embedded.h"
#include "gpucontext.h"

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : "src/ocl_binding/images";
  std::string vendor, type_name;
  cl_device_type type;
  if (!discovery_from_environment(&vendor, &type, &type_name)) {
    fprintf(stderr, "clsieve_capture: CLSIEVE_DEVICE_TYPE must be gpu, cpu, accelerator or all\n");
    return 2;
  }
  GpuContext context(vendor, type);
  if (context.clDevices.empty()) {
    fprintf(stderr, "clsieve_capture: no OpenCL device found (see CLSIEVE_PLATFORM_VENDOR and "
                    "CLSIEVE_DEVICE_TYPE)\n");
    return 1;
  }
  int failures = 0;
  for (const cl::Device& found : context.clDevices) {
    Device device;
    device.device = found;
    device.context = cl::Context(found, nullptr, nullptr, nullptr, nullptr);
    cl::Program program = device.buildSource(kernel_gran2_cl, kernel_gran2_cl_len);
    const std::string file = folder + "/" + device.getBinaryFileName();
    device.saveBinary(file, program);
    FILE* written = fopen(file.c_str(), "rb");
    if (written) {
      fclose(written);
      printf("%s: wrote %s\n", device.getName().c_str(), file.c_str());
    } else {
      fprintf(stderr, "%s: could not build the kernel or write %s\n", device.getName().c_str(),
              file.c_str());
      ++failures;
    }
  }
  return failures ? 1 : 0;
}
