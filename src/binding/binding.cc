// The nvsieve module: GpuContextWrapper over the CUDA backend.
#include <nan.h>

#include <cstdlib>
#include <string>

#include "binding_frame.h"
#include "device.h"
#include "kernel_choice.h"
#include "runner.h"

namespace {

uint64_t scan(const frame::ScanRequest<Device>& r) {
  return cuda_scan_nonces_for_job(r.header, const_cast<unsigned char*>(r.target), r.start_nonce,
                                  r.device, r.slot, r.job);
}

// The job a scan belongs to is the one set when it was queued; its block is
// built from the header and target the scan carries.
bool take_job(Device* device, frame::ScanRequest<Device>* r) {
  r->job = device->currentJob.load();
  return true;
}

// Whole blocks of threads, one nonce each.
uint64_t nonces_per_scan(const Device* device) {
  if (device->jobsPerBlock <= 0) return 0;
  const uint64_t perBlock = uint64_t(device->jobsPerBlock);
  return uint64_t(device->cudaThreads) / perBlock * perBlock;
}

const frame::ScanBackend<Device> kBackend = {scan, take_job, nonces_per_scan};

GpuContext* create_context(Nan::NAN_METHOD_ARGS_TYPE) {
  // The search kernel every launch uses, named by NVSIEVE_KERNEL.
  const char* kernel = getenv("NVSIEVE_KERNEL");
  if (const char* refused = cuda_choose_kernel(kernel)) {
    const std::string message =
        std::string("GpuContextWrapper: ") + refused + ", not \"" + kernel + "\"";
    Nan::ThrowRangeError(message.c_str());
    return nullptr;
  }
  GpuContext* context = new GpuContext();
  cuda_set_flags();
  context->setTotalDevices();
  return context;
}

// An ordinal the runtime knows: refused before any CUDA call, which would
// end the process.
bool Ordinal(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context, const char* method,
             uint32_t* ordinal) {
  return frame::arg_index(info, 0, method, "device ordinal", uint32_t(context->totalDevices),
                          "get_total_devices()", ordinal);
}

void GetTotalDevices(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  info.GetReturnValue().Set(context->totalDevices);
}

void GetBatchSize(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  uint32_t ordinal;
  if (!Ordinal(info, context, "get_batch_size", &ordinal)) return;
  info.GetReturnValue().Set(context->getBatchSize(int(ordinal)));
}

void GetGran(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  uint32_t ordinal;
  if (!Ordinal(info, context, "get_gran", &ordinal)) return;
  info.GetReturnValue().Set(context->getGran(int(ordinal)));
}

void InitDevices(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  frame::DeviceLists lists;
  // A launch is whole blocks of threads: a work size must be a multiple.
  if (!frame::read_device_lists(info, "init_devices", uint32_t(context->totalDevices),
                                CUDA_JOBS_PER_BLOCK, &lists))
    return;
  std::vector<unsigned long> workSizes(lists.work_sizes.begin(), lists.work_sizes.end());
  info.GetReturnValue().Set(context->initDevices(lists.ids, lists.slots, workSizes));
  frame::warn_when_pool_short("init_devices",
                              frame::slots_in_use(context->activeDevices, context->devices));
}

void ScanNonces(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  frame::queue_scan<Device>(info, context->devices, kBackend);
}

void SetBlock(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  context->setBlock();
  info.GetReturnValue().Set(0);
}

void Benchmark(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  Device* device;
  uint32_t a, b, c;
  if (!frame::arg_device(info, 0, "benchmark", context->devices, &device) ||
      !frame::arg_u32(info, 1, &a) || !frame::arg_u32(info, 2, &b) ||
      !frame::arg_u32(info, 3, &c))
    return;
  info.GetReturnValue().Set(Nan::New<v8::Number>(cuda_benchmark(device, a, b, c)));
}

void Update(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  Device* device;
  uint32_t a, b;
  if (!frame::arg_device(info, 0, "update", context->devices, &device) ||
      !frame::arg_u32(info, 1, &a) || !frame::arg_u32(info, 2, &b))
    return;
  device->updateA = int(a);
  device->updateB = int(b);
}

void GetKey(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  uint32_t ordinal;
  if (!Ordinal(info, context, "get_key", &ordinal)) return;
  info.GetReturnValue().Set(Nan::New(cuda_get_key(ordinal).c_str()).ToLocalChecked());
}

void CreateBuffers(Nan::NAN_METHOD_ARGS_TYPE, GpuContext* context) {
  for (int id : context->activeDevices) context->devices.at(size_t(id))->createBuffers();
}

void CreateBenchmarkBuffers(Nan::NAN_METHOD_ARGS_TYPE, GpuContext* context) {
  for (int id : context->activeDevices) context->devices.at(size_t(id))->createBenchmarkBuffers();
}

void ResetDevice(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  Device* device;
  if (!frame::arg_device(info, 0, "reset_device", context->devices, &device)) return;
  device->reset();
}

void Test(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  uint32_t index;
  Device* device;
  if (!frame::arg_device(info, 0, "test", context->devices, &device, &index)) return;
  // The self-test scans on slot 0: not while a scan is in flight there.
  if (frame::on_slot("test", index, device, 0, [&] { cuda_test(device); }))
    info.GetReturnValue().Set(0);
}

const frame::Method kMethods[] = {
    {"get_total_devices", GetTotalDevices},
    {"get_batch_size", GetBatchSize},
    {"get_gran", GetGran},
    {"init_devices", InitDevices},
    {"scan_nonces", ScanNonces},
    {"set_block", SetBlock},
    {"benchmark", Benchmark},
    {"update", Update},
    {"get_key", GetKey},
    {"create_buffers", CreateBuffers},
    {"create_benchmark_buffers", CreateBenchmarkBuffers},
    {"reset_device", ResetDevice},
    {"test", Test},
};

}  // namespace

const frame::ModuleSpec frame::kModuleSpec = {"nvsieve:scan_nonces", create_context, kMethods,
                                              sizeof(kMethods) / sizeof(kMethods[0]), nullptr};
