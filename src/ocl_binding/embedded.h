// Files compiled into clsieve by scripts/embed.js (the definitions are generated at build time).
#ifndef NONCESIEVE_OCL_EMBEDDED_H
#define NONCESIEVE_OCL_EMBEDDED_H

// OpenCL C sources. Each array has a NUL after the last byte that *_len does not count.
extern const unsigned char kernel_cl[];
extern const unsigned int kernel_cl_len;
extern const unsigned char kernel_gran2_cl[];
extern const unsigned int kernel_gran2_cl_len;

// Prebuilt device binaries from src/ocl_binding/images/, named after their file
// (gfx900_bin). Only the first ocl_image_count entries are real.
struct OclImage {
  const char* name;
  const unsigned char* data;
  unsigned int len;
};
extern const OclImage ocl_images[];
extern const unsigned int ocl_image_count;

// The image whose name is exactly `name` (case-sensitive), or null.
const OclImage* find_ocl_image(const char* name);

#endif
