// The clsieve module: GpuContextWrapper over the OpenCL backend.
#include <nan.h>

#include "binding_frame.h"
#include "gpucontext.h"
#include "runner.h"

namespace {

uint32_t thread_count(const Device* device) { return uint32_t(device->threads); }

uint64_t scan(const frame::ScanRequest<Device>& r) {
  return opencl_scan_nonces_for_job(r.header, r.target, r.start_nonce, r.device, r.slot,
                                    r.job);
}

// The job a scan belongs to is the one set when it was queued.
uint64_t current_job(const Device* device) { return device->currentJob.load(); }

const frame::ScanBackend<Device> kBackend = {scan, thread_count, current_job};

}  // namespace

class GpuContextWrapper : public Nan::ObjectWrap {
 public:
  static NAN_MODULE_INIT(Init) {
    frame::export_wrapper_class(target, New, {
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
    }, &constructor());
  }

 private:
  explicit GpuContextWrapper(GpuContext* context) : context_(context) {}
  // The context and its devices stay alive for the life of the process, so
  // scans still in flight when the wrapper is collected keep valid devices.
  ~GpuContextWrapper() override {}

  static Nan::Persistent<v8::Function>& constructor() {
    static Nan::Persistent<v8::Function> my_constructor;
    return my_constructor;
  }

  static GpuContext* Context(Nan::NAN_METHOD_ARGS_TYPE info) {
    return Nan::ObjectWrap::Unwrap<GpuContextWrapper>(info.Holder())->context_;
  }

  static NAN_METHOD(New) {
    if (!info.IsConstructCall()) {
      frame::construct_plain(info, Nan::New(constructor()));
      return;
    }
    // Read once, here: a script may change the environment between contexts.
    std::string vendor, type_name;
    cl_device_type type;
    if (!discovery_from_environment(&vendor, &type, &type_name)) {
      const std::string message = "GpuContextWrapper: CLSIEVE_DEVICE_TYPE must be gpu, cpu, "
                                  "accelerator or all, not \"" + type_name + "\"";
      return Nan::ThrowRangeError(message.c_str());
    }
    GpuContextWrapper* wrapper = new GpuContextWrapper(new GpuContext(vendor, type));
    wrapper->Wrap(info.This());
    info.GetReturnValue().Set(info.This());
  }

  static NAN_METHOD(GetTotalDevices) {
    info.GetReturnValue().Set(int(Context(info)->clDevices.size()));
  }

  static NAN_METHOD(GetBatchSize) {
    GpuContext* context = Context(info);
    uint32_t index, count;
    if (!frame::arg_index(info, 0, "get_batch_size", "device index",
                          uint32_t(context->clDevices.size()), "get_total_devices()", &index) ||
        !frame::arg_u32(info, 1, &count))
      return;
    const uint64_t size = context->getBatchSize(int(index), int(count));
    info.GetReturnValue().Set(int32_t(uint32_t(size)));
  }

  static NAN_METHOD(GetGran) {
    Device* device;
    if (!frame::arg_device(info, 0, "get_gran", Context(info)->devices, &device)) return;
    info.GetReturnValue().Set(device->gran);
  }

  static NAN_METHOD(GetKey) {
    Device* device;
    if (!frame::arg_device(info, 0, "get_key", Context(info)->devices, &device)) return;
    info.GetReturnValue().Set(Nan::New(device->getKey().c_str()).ToLocalChecked());
  }

  static NAN_METHOD(InitDevices) {
    GpuContext* context = Context(info);
    frame::DeviceLists lists;
    if (!frame::read_device_lists(info, "init_devices", uint32_t(context->clDevices.size()),
                                  &lists))
      return;
    const bool useBinary = Nan::To<bool>(info[3]).FromMaybe(false);
    std::vector<int> localSizes(lists.ids.size(), 256);
    info.GetReturnValue().Set(
        context->initDevices(lists.ids, lists.slots, lists.work_sizes, localSizes, useBinary));
  }

  static NAN_METHOD(Update) {
    Device* device;
    uint32_t a, b;
    if (!frame::arg_device(info, 0, "update", Context(info)->devices, &device) ||
        !frame::arg_u32(info, 1, &a) || !frame::arg_u32(info, 2, &b))
      return;
    device->update(int(a), int(b));
  }

  static NAN_METHOD(ScanNonces) {
    frame::queue_scan<Device>(info, Context(info)->devices, kBackend);
  }

  static NAN_METHOD(SetBlock) {
    unsigned char* header;
    unsigned char* target;
    if (!frame::arg_bytes(info, 0, "set_block", "header", NS_HEADER_BYTES, &header) ||
        !frame::arg_bytes(info, 1, "set_block", "target", NS_TARGET_BYTES, &target))
      return;
    Context(info)->setBlock(header, target);
    info.GetReturnValue().Set(0);
  }

  static NAN_METHOD(Test) {
    Device* device;
    if (!frame::arg_device(info, 0, "test", Context(info)->devices, &device)) return;
    info.GetReturnValue().Set(opencl_test(device));
  }

  static NAN_METHOD(Benchmark) {
    Device* device;
    int32_t value;
    if (!frame::arg_device(info, 0, "benchmark", Context(info)->devices, &device) ||
        !frame::arg_i32(info, 1, &value))
      return;
    info.GetReturnValue().Set(Nan::New<v8::Number>(opencl_benchmark(device, value)));
  }

  GpuContext* context_;
};

NODE_MODULE(clsieve, GpuContextWrapper::Init)
