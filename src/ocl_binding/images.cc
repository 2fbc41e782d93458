#include <cstring>

#include "embedded.h"

const OclImage* find_ocl_image(const char* name) {
  for (unsigned int i = 0; i < ocl_image_count; ++i)
    if (strcmp(ocl_images[i].name, name) == 0) return &ocl_images[i];
  return nullptr;
}
