// The Khronos C++ wrapper, configured once for every clsieve file: OpenCL 1.2
// API only, no C++ exceptions (addons are built without them).
#ifndef NONCESIEVE_OCL_OPENCL_H
#define NONCESIEVE_OCL_OPENCL_H

#ifndef CL_HPP_TARGET_OPENCL_VERSION
#define CL_HPP_TARGET_OPENCL_VERSION 120
#endif
#ifndef CL_HPP_MINIMUM_OPENCL_VERSION
#define CL_HPP_MINIMUM_OPENCL_VERSION 120
#endif
#ifndef CL_TARGET_OPENCL_VERSION
#define CL_TARGET_OPENCL_VERSION 120
#endif
#include <CL/opencl.hpp>

#endif
