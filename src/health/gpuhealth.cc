// gpuhealth: an NVIDIA GPU's temperature, power, fan and clocks from NVML,
// the management library the driver installs (libnvidia-ml.so.1). It is
// opened with dlopen at the first read, so that nothing links against it and
// a machine without the driver still loads this addon: every figure is then
// null, with the reason.
#include <dlfcn.h>
#include <nan.h>

#include <cstdlib>
#include <string>

namespace {

// The few NVML entry points used, as the NVML API reference declares them.
typedef int nvmlReturn_t;
typedef struct nvmlDevice_st* nvmlDevice_t;
const nvmlReturn_t kNvmlSuccess = 0;
const nvmlReturn_t kNvmlNotSupported = 3;
const unsigned kTemperatureGpu = 0;
const unsigned kClockSm = 1;
const unsigned kClockMem = 2;

struct Nvml {
  nvmlReturn_t (*init)();
  nvmlReturn_t (*byIndex)(unsigned, nvmlDevice_t*);
  nvmlReturn_t (*byUuid)(const char*, nvmlDevice_t*);
  nvmlReturn_t (*temperature)(nvmlDevice_t, unsigned, unsigned*);
  nvmlReturn_t (*power)(nvmlDevice_t, unsigned*);
  nvmlReturn_t (*fan)(nvmlDevice_t, unsigned*);
  nvmlReturn_t (*clock)(nvmlDevice_t, unsigned, unsigned*);
  const char* (*errorString)(nvmlReturn_t);
  std::string failure;  // why NVML cannot be used; empty when it can
};

template <typename F>
bool bind(void* lib, const char* name, F* fn, std::string* failure) {
  *fn = reinterpret_cast<F>(dlsym(lib, name));
  if (*fn == nullptr && failure->empty()) *failure = std::string("libnvidia-ml.so.1 has no ") + name;
  return *fn != nullptr;
}

Nvml openNvml() {
  Nvml n = {};
  void* lib = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* why = dlerror();
    n.failure = std::string("NVML (libnvidia-ml.so.1, installed with the NVIDIA driver) cannot be opened: ") +
                (why ? why : "unknown reason");
    return n;
  }
  bind(lib, "nvmlInit_v2", &n.init, &n.failure);
  bind(lib, "nvmlDeviceGetHandleByIndex_v2", &n.byIndex, &n.failure);
  bind(lib, "nvmlDeviceGetHandleByUUID", &n.byUuid, &n.failure);
  bind(lib, "nvmlDeviceGetTemperature", &n.temperature, &n.failure);
  bind(lib, "nvmlDeviceGetPowerUsage", &n.power, &n.failure);
  bind(lib, "nvmlDeviceGetFanSpeed", &n.fan, &n.failure);
  bind(lib, "nvmlDeviceGetClockInfo", &n.clock, &n.failure);
  bind(lib, "nvmlErrorString", &n.errorString, &n.failure);
  if (!n.failure.empty()) return n;
  nvmlReturn_t r = n.init();
  if (r != kNvmlSuccess) n.failure = std::string("nvmlInit: ") + n.errorString(r);
  return n;
}

// Opened once per process, on the first read; never closed (the process ends first).
const Nvml& nvml() {
  static const Nvml n = openNvml();
  return n;
}

// Collects the figures of one read and why any of them is missing.
class Reading {
 public:
  // Every figure starts as null.
  explicit Reading(const Nvml& n) : n_(n), out_(Nan::New<v8::Object>()) {
    for (const char* name : {"temperature", "power", "fan", "coreClock", "memoryClock"}) {
      Nan::Set(out_, Nan::New(name).ToLocalChecked(), Nan::Null());
    }
  }

  // Sets `name` to value x scale, or null; a status other than "not
  // supported" also says why in `why`.
  void figure(const char* name, nvmlReturn_t r, unsigned value, double scale = 1) {
    if (r == kNvmlSuccess) {
      Nan::Set(out_, Nan::New(name).ToLocalChecked(), Nan::New(value * scale));
      return;
    }
    if (r != kNvmlNotSupported) problem(std::string(name) + ": " + n_.errorString(r));
  }

  void problem(const std::string& text) { why_ += (why_.empty() ? "" : "; ") + text; }

  v8::Local<v8::Object> done() {
    v8::Local<v8::Value> why = Nan::Null();
    if (!why_.empty()) why = Nan::New(why_).ToLocalChecked();
    Nan::Set(out_, Nan::New("why").ToLocalChecked(), why);
    return out_;
  }

 private:
  const Nvml& n_;
  v8::Local<v8::Object> out_;
  std::string why_;
};

// readNvml(which): which is an NVML index ("0") or a GPU UUID ("GPU-..."),
// as CUDA_VISIBLE_DEVICES names devices. Returns { temperature (°C), power
// (W), fan (%), coreClock, memoryClock (MHz), why }.
NAN_METHOD(ReadNvml) {
  if (info.Length() < 1 || !info[0]->IsString()) {
    return Nan::ThrowTypeError("readNvml: expected a device index or UUID string");
  }
  const std::string which = *Nan::Utf8String(info[0]);
  const Nvml& n = nvml();
  Reading reading(n);
  nvmlDevice_t device = nullptr;
  nvmlReturn_t found = -1;
  if (!n.failure.empty()) {
    reading.problem(n.failure);
  } else {
    char* end = nullptr;
    unsigned long index = std::strtoul(which.c_str(), &end, 10);
    bool numeric = !which.empty() && *end == '\0';
    found = numeric ? n.byIndex(static_cast<unsigned>(index), &device) : n.byUuid(which.c_str(), &device);
    if (found != kNvmlSuccess) reading.problem("NVML has no device " + which + ": " + n.errorString(found));
  }
  if (found != kNvmlSuccess) return info.GetReturnValue().Set(reading.done());
  unsigned value = 0;
  nvmlReturn_t r = n.temperature(device, kTemperatureGpu, &value);
  reading.figure("temperature", r, value);
  r = n.power(device, &value);
  reading.figure("power", r, value, 0.001);  // milliwatts
  r = n.fan(device, &value);
  reading.figure("fan", r, value);
  r = n.clock(device, kClockSm, &value);
  reading.figure("coreClock", r, value);
  r = n.clock(device, kClockMem, &value);
  reading.figure("memoryClock", r, value);
  info.GetReturnValue().Set(reading.done());
}

NAN_MODULE_INIT(Init) {
  Nan::Set(target, Nan::New("readNvml").ToLocalChecked(),
           Nan::GetFunction(Nan::New<v8::FunctionTemplate>(ReadNvml)).ToLocalChecked());
}

}  // namespace

NODE_MODULE(gpuhealth, Init)
