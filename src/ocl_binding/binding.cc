// The clsieve module: GpuContextWrapper over the OpenCL backend.
#include <nan.h>

#include <cstring>

#include "binding_frame.h"
#include "gpucontext.h"
#include "runner.h"

namespace {

// The local size of every launch: a work size must be a whole number of them.
const int kLocalWorkSize = 256;

uint64_t scan(const frame::ScanRequest<Device>& r) {
  return opencl_scan_nonces_for_job(r.header, const_cast<unsigned char*>(r.target),
                                    r.start_nonce, r.device, r.slot, r.job);
}

// A scan searches the block that set_block gave the device for the job that
// is current when it is queued, whatever buffers the script passes it.
bool take_job(Device* device, frame::ScanRequest<Device>* r) {
  r->job = device->currentJob.load();
  if (r->job == 0) return false;
  memcpy(r->header, device->jobHeader, sizeof(r->header));
  memcpy(r->target, device->jobTarget, sizeof(r->target));
  return true;
}

uint64_t nonces_per_scan(const Device* device) {
  return device->globalWorkSize * uint64_t(device->gran);
}

const frame::ScanBackend<Device> kBackend = {scan, take_job, nonces_per_scan};

GpuContext* create_context(Nan::NAN_METHOD_ARGS_TYPE) {
  // Read once, here: a script may change the environment between contexts.
  std::string vendor, type_name;
  cl_device_type type;
  if (!discovery_from_environment(&vendor, &type, &type_name)) {
    const std::string message = "GpuContextWrapper: CLSIEVE_DEVICE_TYPE must be gpu, cpu, "
                                "accelerator or all, not \"" + type_name + "\"";
    Nan::ThrowRangeError(message.c_str());
    return nullptr;
  }
  return new GpuContext(vendor, type);
}

void GetTotalDevices(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  info.GetReturnValue().Set(int(context->clDevices.size()));
}

void GetBatchSize(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  uint32_t index, count;
  if (!frame::arg_index(info, 0, "get_batch_size", "device index",
                        uint32_t(context->clDevices.size()), "get_total_devices()", &index) ||
      !frame::arg_u32(info, 1, &count))
    return;
  const uint64_t size = context->getBatchSize(int(index), int(count));
  info.GetReturnValue().Set(int32_t(uint32_t(size)));
}

void GetGran(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  Device* device;
  if (!frame::arg_device(info, 0, "get_gran", context->devices, &device)) return;
  info.GetReturnValue().Set(device->gran);
}

void GetKey(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  Device* device;
  if (!frame::arg_device(info, 0, "get_key", context->devices, &device)) return;
  info.GetReturnValue().Set(Nan::New(device->getKey().c_str()).ToLocalChecked());
}

void InitDevices(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  frame::DeviceLists lists;
  if (!frame::read_device_lists(info, "init_devices", uint32_t(context->clDevices.size()),
                                kLocalWorkSize, &lists))
    return;
  const bool useBinary = Nan::To<bool>(info[3]).FromMaybe(false);
  std::vector<int> localSizes(lists.ids.size(), kLocalWorkSize);
  info.GetReturnValue().Set(
      context->initDevices(lists.ids, lists.slots, lists.work_sizes, localSizes, useBinary));
  frame::warn_when_pool_short("init_devices",
                              frame::slots_in_use(context->activeDevices, context->devices));
}

void Update(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  Device* device;
  uint32_t a, b;
  if (!frame::arg_device(info, 0, "update", context->devices, &device) ||
      !frame::arg_u32(info, 1, &a) || !frame::arg_u32(info, 2, &b))
    return;
  device->update(int(a), int(b));
}

void ScanNonces(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  frame::queue_scan<Device>(info, context->devices, kBackend);
}

void SetBlock(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  unsigned char header[NS_HEADER_BYTES];
  unsigned char target[NS_TARGET_BYTES];
  if (!frame::copy_view(info, 0, "set_block", "header", NS_HEADER_BYTES, header) ||
      !frame::copy_view(info, 1, "set_block", "target", NS_TARGET_BYTES, target))
    return;
  context->setBlock(header, target);
  info.GetReturnValue().Set(0);
}

void Test(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  uint32_t index;
  Device* device;
  if (!frame::arg_device(info, 0, "test", context->devices, &device, &index)) return;
  // The self-test scans on thread 0: not while a scan is in flight there.
  int result = 0;
  if (frame::on_slot("test", index, device, 0, [&] { result = opencl_test(device); }))
    info.GetReturnValue().Set(result);
}

void Benchmark(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context) {
  Device* device;
  int32_t value;
  if (!frame::arg_device(info, 0, "benchmark", context->devices, &device) ||
      !frame::arg_i32(info, 1, &value))
    return;
  info.GetReturnValue().Set(Nan::New<v8::Number>(opencl_benchmark(device, value)));
}

const frame::Method kMethods[] = {
    {"get_total_devices", GetTotalDevices},
    {"get_batch_size", GetBatchSize},
    {"get_gran", GetGran},
    {"get_key", GetKey},
    {"init_devices", InitDevices},
    {"update", Update},
    {"scan_nonces", ScanNonces},
    {"set_block", SetBlock},
    {"test", Test},
    {"benchmark", Benchmark},
};

}  // namespace

const frame::ModuleSpec frame::kModuleSpec = {
    "clsieve:scan_nonces", create_context, kMethods, sizeof(kMethods) / sizeof(kMethods[0]),
    "no OpenCL device was found: clsieve uses the GPUs of AMD's OpenCL platforms unless "
    "CLSIEVE_PLATFORM_VENDOR (part of a platform's vendor name; empty for every platform) and "
    "CLSIEVE_DEVICE_TYPE (gpu, cpu, accelerator or all) say otherwise, read when a "
    "GpuContextWrapper is constructed"};
