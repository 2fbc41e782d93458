#include "device.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "embedded.h"
#include "fatal.h"
#include "job_number.h"
#include "search_block.h"

Device::~Device() {
  for (cl::CommandQueue& queue : queues)
    if (queue()) queue.finish();
}

std::mutex& opencl_discovery_lock() {
  static std::mutex* lock = new std::mutex();  // never destroyed: threads may outlive exit
  return *lock;
}

void Device::initialize() {
  inputBuffers.resize(threads);
  resultBuffers.resize(threads);
  kernels.resize(threads);
  queues.resize(threads);
  threadJobs.assign(size_t(threads), 0);
  threadLocks.reset(new std::mutex[size_t(threads)]);
  claims.reset(size_t(threads));
  {
    std::lock_guard<std::mutex> discovering(opencl_discovery_lock());
    context = cl::Context(device, nullptr, nullptr, nullptr, nullptr);
  }
  buildKernel();
  localWorkSize = 256;
  for (int i = 0; i < threads; ++i) initializeThreads(i);
}

void Device::initializeThreads(int i) {
  queues.at(i) = cl::CommandQueue(context, device, 0, nullptr);
  kernels.at(i) = cl::Kernel(program, "blake2s_hash", nullptr);

  cl_int err = CL_SUCCESS;
  inputBuffers.at(i) = cl::Buffer(context, CL_MEM_READ_ONLY, NS_BLOCK_BYTES, nullptr, &err);
  if (err != CL_SUCCESS) {
    printf("Could not create inputBuffer\n");
    fatal_exit();
  }
  resultBuffers.at(i) = cl::Buffer(context, CL_MEM_READ_WRITE, sizeof(uint64_t), nullptr, &err);
  if (err != CL_SUCCESS) {
    printf("Could not create resultBuffer\n");
    fatal_exit();
  }
  setMaxNonce(i);
  kernels.at(i).setArg(1, inputBuffers.at(i));
  kernels.at(i).setArg(2, resultBuffers.at(i));
}

void Device::initBuffers(const unsigned char* header, const unsigned char* target, int i) {
  uint32_t block[NS_BLOCK_WORDS];
  build_search_block(header, target, binaryLoaded, block);
  queues.at(i).enqueueWriteBuffer(inputBuffers.at(i), CL_TRUE, 0, NS_BLOCK_BYTES, block);
}

void Device::setBlock(const unsigned char* header, const unsigned char* target) {
  const uint64_t job = next_job_number();
  writeBlock(header, target, job);
  memcpy(jobHeader, header, sizeof(jobHeader));
  memcpy(jobTarget, target, sizeof(jobTarget));
  currentJob = job;
}

void Device::writeBlock(const unsigned char* header, const unsigned char* target, uint64_t job) {
  for (int i = 0; i < threads; ++i) {
    std::lock_guard<std::mutex> hold(threadLocks[i]);
    initBuffers(header, target, i);
    threadJobs[size_t(i)] = job;
  }
}

void Device::scan(uint64_t startNonce, int i) {
  kernels.at(i).setArg(0, cl_ulong(startNonce));
  const cl_int err = queues.at(i).enqueueNDRangeKernel(
      kernels.at(i), cl::NullRange, cl::NDRange(globalWorkSize), cl::NDRange(localWorkSize));
  if (err != CL_SUCCESS) {
    printf("%d\n", err);
    if (binaryLoaded)
      printf("Could not enqueue the prebuilt binary kernel. Try again with --usebin false to use "
             "the standard kernel.\n");
    else
      printf("Could not enqueue blake2s kernel\n");
    fatal_exit();
  }
}

void Device::startScan(const unsigned char* header, const unsigned char* target, uint64_t job,
                       uint64_t startNonce, int i) {
  threadJobs.at(size_t(i));  // a thread this device has, before its lock is taken
  std::lock_guard<std::mutex> hold(threadLocks[size_t(i)]);
  if (job != 0 && threadJobs[size_t(i)] != job) {
    initBuffers(header, target, i);
    threadJobs[size_t(i)] = job;
  }
  scan(startNonce, i);
}

uint64_t Device::readResultNonce(int i) {
  uint64_t result = maxNonce;
  const cl_int err =
      queues.at(i).enqueueReadBuffer(resultBuffers.at(i), CL_TRUE, 0, sizeof(result), &result);
  // Reporting "not found" for a range that may not have been searched would
  // silently skip it; a failed read is a GPU failure like any other.
  if (err != CL_SUCCESS) {
    printf("%d\n", err);
    printf("Could not read resultBuffer\n");
    fatal_exit();
  }
  return result;
}

int Device::setMaxNonce(int i) {
  // The reset does not wait. A fill copies its pattern when it is queued, so
  // nothing it reads can go away before it lands; a write would read host
  // memory later, and even a static sentinel goes when Node unloads the
  // module with the last environment that loaded it.
  return queues.at(i).enqueueFillBuffer(resultBuffers.at(i), maxNonce, 0, sizeof(maxNonce));
}

std::string Device::getName() {
  std::string name;
  device.getInfo(CL_DEVICE_NAME, &name);
  return std::string(name.c_str());  // some drivers pad the name with NULs
}

std::string device_key(const std::string& name, uint64_t globalMemBytes, unsigned computeUnits,
                       unsigned clockMHz) {
  const uint64_t gib = (globalMemBytes + (1ULL << 30) - 1) >> 30;
  char tail[64];
  snprintf(tail, sizeof(tail), "-%dgb-%u-%u", int(gib), computeUnits, clockMHz);
  return name + tail;
}

std::string Device::getKey() {
  cl_ulong mem = 0;
  cl_uint units = 0, clock = 0;
  device.getInfo(CL_DEVICE_GLOBAL_MEM_SIZE, &mem);
  device.getInfo(CL_DEVICE_MAX_COMPUTE_UNITS, &units);
  device.getInfo(CL_DEVICE_MAX_CLOCK_FREQUENCY, &clock);
  return device_key(getName(), mem, units, clock);
}

cl::Program Device::buildSource(const unsigned char* source, unsigned int length) {
  cl::Program::Sources sources;
  sources.push_back(std::string(reinterpret_cast<const char*>(source), length));
  cl::Program built(context, sources, nullptr);
  built.build(nullptr, nullptr, nullptr);
  return built;
}

void Device::buildKernel() {
  if (useBinary) {
    binaryLoaded = loadBinaryKernel(getBinaryFileName(), program);
    if (binaryLoaded) {
      gran = 2;
      return;
    }
  }
  program = buildSource(kernel_cl, kernel_cl_len);
}

std::string Device::getBinaryFileName() {
  std::string name = getName();
  for (char& c : name)
    if (c == ' ') c = '_';
  return name + "_bin";
}

bool Device::loadBinaryKernel(std::string imageName, cl::Program& out) {
  const OclImage* image = find_ocl_image(imageName.c_str());
  if (!image) return false;
  cl::Program::Binaries binaries;
  binaries.push_back(std::vector<unsigned char>(image->data, image->data + image->len));
  out = cl::Program(context, std::vector<cl::Device>{device}, binaries, nullptr, nullptr);
  return out.build(nullptr, nullptr, nullptr) == CL_SUCCESS;
}

void Device::saveBinary(std::string fileName, cl::Program& built) {
  size_t size = 0;
  if (clGetProgramInfo(built(), CL_PROGRAM_BINARY_SIZES, sizeof(size), &size, nullptr) !=
          CL_SUCCESS ||
      size == 0)
    return;
  std::vector<unsigned char> bytes(size);
  unsigned char* pointers[1] = {bytes.data()};
  if (clGetProgramInfo(built(), CL_PROGRAM_BINARIES, sizeof(pointers), pointers, nullptr) !=
      CL_SUCCESS)
    return;
  std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}
