// The nvsieve module: GpuContextWrapper over the CUDA backend.
#include <nan.h>

#include "binding_frame.h"
#include "device.h"
#include "runner.h"

namespace {

uint32_t slot_count(const Device* device) { return uint32_t(device->bufferCount); }

uint64_t scan(const frame::ScanRequest<Device>& r) {
  return cuda_scan_nonces_for_job(r.header, r.target, r.start_nonce, r.device, r.slot,
                                  r.job);
}

// The job a scan belongs to is the one set when it was queued.
uint64_t current_job(const Device* device) { return device->currentJob.load(); }

const frame::ScanBackend<Device> kBackend = {scan, slot_count, current_job};

}  // namespace

class GpuContextWrapper : public Nan::ObjectWrap {
 public:
  static NAN_MODULE_INIT(Init) {
    frame::export_wrapper_class(target, New, {
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

  // An ordinal the runtime knows: refused before any CUDA call, which would
  // end the process.
  static bool Ordinal(Nan::NAN_METHOD_ARGS_TYPE info, const char* method, uint32_t* ordinal) {
    return frame::arg_index(info, 0, method, "device ordinal",
                            uint32_t(Context(info)->totalDevices), "get_total_devices()", ordinal);
  }

  static NAN_METHOD(New) {
    if (!info.IsConstructCall()) {
      frame::construct_plain(info, Nan::New(constructor()));
      return;
    }
    GpuContext* context = new GpuContext();
    cuda_set_flags();
    context->setTotalDevices();
    GpuContextWrapper* wrapper = new GpuContextWrapper(context);
    wrapper->Wrap(info.This());
    info.GetReturnValue().Set(info.This());
  }

  static NAN_METHOD(GetTotalDevices) { info.GetReturnValue().Set(Context(info)->totalDevices); }

  static NAN_METHOD(GetBatchSize) {
    uint32_t ordinal;
    if (!Ordinal(info, "get_batch_size", &ordinal)) return;
    info.GetReturnValue().Set(Context(info)->getBatchSize(int(ordinal)));
  }

  static NAN_METHOD(GetGran) {
    uint32_t ordinal;
    if (!Ordinal(info, "get_gran", &ordinal)) return;
    info.GetReturnValue().Set(Context(info)->getGran(int(ordinal)));
  }

  static NAN_METHOD(InitDevices) {
    GpuContext* context = Context(info);
    frame::DeviceLists lists;
    if (!frame::read_device_lists(info, "init_devices", uint32_t(context->totalDevices), &lists))
      return;
    std::vector<unsigned long> workSizes(lists.work_sizes.begin(), lists.work_sizes.end());
    info.GetReturnValue().Set(context->initDevices(lists.ids, lists.slots, workSizes));
  }

  static NAN_METHOD(ScanNonces) {
    frame::queue_scan<Device>(info, Context(info)->devices, kBackend);
  }

  static NAN_METHOD(SetBlock) {
    Context(info)->setBlock();
    info.GetReturnValue().Set(0);
  }

  static NAN_METHOD(Benchmark) {
    Device* device;
    uint32_t a, b, c;
    if (!frame::arg_device(info, 0, "benchmark", Context(info)->devices, &device) ||
        !frame::arg_u32(info, 1, &a) || !frame::arg_u32(info, 2, &b) ||
        !frame::arg_u32(info, 3, &c))
      return;
    info.GetReturnValue().Set(Nan::New<v8::Number>(cuda_benchmark(device, a, b, c)));
  }

  static NAN_METHOD(Update) {
    Device* device;
    uint32_t a, b;
    if (!frame::arg_device(info, 0, "update", Context(info)->devices, &device) ||
        !frame::arg_u32(info, 1, &a) || !frame::arg_u32(info, 2, &b))
      return;
    device->updateA = int(a);
    device->updateB = int(b);
  }

  static NAN_METHOD(GetKey) {
    uint32_t ordinal;
    if (!Ordinal(info, "get_key", &ordinal)) return;
    info.GetReturnValue().Set(Nan::New(cuda_get_key(ordinal).c_str()).ToLocalChecked());
  }

  static NAN_METHOD(CreateBuffers) {
    GpuContext* context = Context(info);
    for (int id : context->activeDevices) context->devices.at(size_t(id))->createBuffers();
  }

  static NAN_METHOD(CreateBenchmarkBuffers) {
    GpuContext* context = Context(info);
    for (int id : context->activeDevices)
      context->devices.at(size_t(id))->createBenchmarkBuffers();
  }

  static NAN_METHOD(ResetDevice) {
    Device* device;
    if (!frame::arg_device(info, 0, "reset_device", Context(info)->devices, &device)) return;
    device->reset();
  }

  static NAN_METHOD(Test) {
    Device* device;
    if (!frame::arg_device(info, 0, "test", Context(info)->devices, &device)) return;
    cuda_test(device);
    info.GetReturnValue().Set(0);
  }

  GpuContext* context_;
};

NODE_MODULE(nvsieve, GpuContextWrapper::Init)
