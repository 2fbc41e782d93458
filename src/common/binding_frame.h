// What both modules' script bindings share: the GpuContextWrapper class and
// its registration, argument checks that throw before anything is queued or
// touched, and the asynchronous scan worker. Each module links exactly one
// backend, whose GpuContext the wrapper owns.
#ifndef NONCESIEVE_BINDING_FRAME_H
#define NONCESIEVE_BINDING_FRAME_H

#include <nan.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "nonce_search.h"
#include "scan_limits.h"

class GpuContext;

namespace frame {

// "42 of type number", "a string", "undefined": how a bad value is named.
std::string describe(v8::Local<v8::Value> value);

// Every argument error has one shape:
// "<method>: expected <what> for <name> but received <value>".
void throw_type_error(const char* method, const char* name, const char* what,
                      v8::Local<v8::Value> received);
// `more` follows the message as it is: "; <advice>".
void throw_range_error(const char* method, const char* name, const char* what,
                       v8::Local<v8::Value> received, const std::string& more = std::string());
// A call the device's state refuses: "<method>: <text>".
void throw_error(const char* method, const std::string& text);

// Each check returns false with an exception scheduled; the handler must
// return at once.
bool arg_function(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name);
// A typed-array view or DataView of at least `length` bytes. Nothing is kept:
// a later conversion may run script code that shrinks or detaches its buffer.
bool arg_view(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
              size_t length);
// The first `length` bytes of the view info[i], copied into `out`; checked
// as arg_view checks, since the buffer may have changed since then.
bool copy_view(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
               size_t length, unsigned char* out);
// A scan of `span` nonces from `start` must stay inside the nonce field.
bool check_scan_range(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, uint64_t start,
                      uint64_t span);
// ToUint32; a missing argument is 0. Fails only when the conversion throws.
bool arg_u32(Nan::NAN_METHOD_ARGS_TYPE info, int i, uint32_t* out);
// ToInt32; a missing argument is 0.
bool arg_i32(Nan::NAN_METHOD_ARGS_TYPE info, int i, int32_t* out);
// A whole number of nonces in [0, 2^48), fractions truncated toward zero.
bool arg_start_nonce(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, uint64_t* out);
// An index below `limit` (a device ordinal, a table entry), as ToUint32 reads it.
bool arg_index(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
               uint32_t limit, const char* limit_what, uint32_t* out);

// The per-device arrays of init_devices: ids, slot counts and work sizes, read
// element by element as the script gives them. ids must be below `total`
// devices (and the table size), slot counts from 1 to MAX_DEVICE_SLOTS, and
// work sizes positive multiples of `work_multiple`, so that a scan covers
// exactly work size x granularity nonces.
struct DeviceLists {
  std::vector<int> ids, slots, work_sizes;
};
bool read_device_lists(Nan::NAN_METHOD_ARGS_TYPE info, const char* method, uint32_t total,
                       int work_multiple, DeviceLists* lists);

// The initialised device at table entry `index`, or false with a RangeError.
template <class Device>
bool lookup_device(Nan::NAN_METHOD_ARGS_TYPE info, int i, uint32_t index, const char* method,
                   const std::vector<Device*>& devices, Device** out) {
  if (index >= devices.size() || devices[index] == nullptr) {
    throw_range_error(method, "device index", "a device initialised by init_devices", info[i]);
    return false;
  }
  *out = devices[index];
  return true;
}

// The initialised device at table entry info[i], or false with a RangeError.
template <class Device>
bool arg_device(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method,
                const std::vector<Device*>& devices, Device** out,
                uint32_t* index_out = nullptr) {
  uint32_t index;
  if (!arg_index(info, i, method, "device index", DEVICE_TABLE_SIZE, "20", &index) ||
      !lookup_device(info, i, index, method, devices, out))
    return false;
  if (index_out) *index_out = index;
  return true;
}

// Scans run on the libuv pool, one per pool thread: slots beyond the pool's
// size wait for a thread. Says so once, on standard error, with the
// variable that sizes the pool.
void warn_when_pool_short(const char* method, int slots_in_use);

// The slots of the distinct devices in `active` (ids into `devices`).
template <class Device>
int slots_in_use(const std::vector<int>& active, const std::vector<Device*>& devices) {
  int total = 0;
  std::vector<bool> seen(devices.size(), false);
  for (int id : active) {
    if (id < 0 || size_t(id) >= devices.size() || seen[size_t(id)] || !devices[size_t(id)])
      continue;
    seen[size_t(id)] = true;
    total += int(devices[size_t(id)]->claims.size());
  }
  return total;
}

// ---- The class ----

// A prototype method: the receiver is already checked to be a live
// GpuContextWrapper, and `context` is its context.
typedef void (*Handler)(Nan::NAN_METHOD_ARGS_TYPE info, GpuContext* context);
struct Method {
  const char* name;
  Handler handler;
};

// What a module gives the frame.
struct ModuleSpec {
  // Async resource name of its scans, e.g. "clsieve:scan_nonces".
  const char* scan_resource;
  // The context of a new wrapper; null with an exception scheduled.
  GpuContext* (*create_context)(Nan::NAN_METHOD_ARGS_TYPE info);
  const Method* methods;
  size_t method_count;
  // What to do when discovery found no device, added to the refusal of an
  // index then; null when there is nothing to add.
  const char* no_device_hint;
};

class Environment;
// What a function of the class carries as data: its environment and, for a
// prototype method, which method it is.
struct Binding {
  Environment* env;
  const Method* method;
};

// The module's state in one Node environment (the main thread or a Worker):
// its constructor and the scans it has queued. Node tears an environment
// down with a cleanup hook, which lets the scans still in flight end first
// and drops their callbacks, so no callback runs into a dead environment
// and the environment's loop closes with nothing pending.
class Environment {
 public:
  explicit Environment(const ModuleSpec& spec) : spec(spec) {}
  const ModuleSpec& spec;
  Nan::Persistent<v8::Function> constructor;
  // Calls a scan's callback with the global object as `this`, entered with
  // the scan's resource as receiver so that the call runs in its async context.
  Nan::Persistent<v8::Function> deliver;
  // Scans queued and not yet completed; read and written on the loop thread.
  int scans = 0;
  bool stopping = false;
  uv_loop_t* loop = nullptr;
  Binding self{this, nullptr};  // the constructor's
  std::vector<Binding> methods;
};

// What the module's binding defines: its scan resource name, context and
// methods. The frame registers the module with it, in every environment.
extern const ModuleSpec kModuleSpec;

// The environment of the method being called.
Environment* environment(Nan::NAN_METHOD_ARGS_TYPE info);

// ---- Scans ----

// Everything one scan needs, captured on the script thread. The header and
// target are copies: the script may change or detach its buffers as soon as
// scan_nonces returns.
template <class Device>
struct ScanRequest {
  unsigned char header[NS_HEADER_BYTES];
  unsigned char target[NS_TARGET_BYTES];
  uint64_t start_nonce;
  Device* device;
  uint32_t slot;
  // The job the scan belongs to: the device's current job when it was queued
  // (job_number.h), so that the backend can run it on that job's block.
  uint64_t job;
};

// One scan on the libuv pool. Its slot was claimed when it was queued and is
// free again just before its callback is called, so that the callback can
// queue the slot's next scan.
template <class Device>
class NonceScanner : public Nan::AsyncWorker {
 public:
  typedef uint64_t (*ScanFn)(const ScanRequest<Device>& request);

  NonceScanner(Environment* env, Nan::Callback* callback, ScanFn scan,
               const ScanRequest<Device>& request)
      : Nan::AsyncWorker(callback, env->spec.scan_resource),
        env_(env),
        request_(request),
        result_(NOT_FOUND_NONCE),
        scan_(scan) {
    ++env_->scans;
  }
  ~NonceScanner() override { --env_->scans; }

  void Execute() override { result_ = scan_(request_); }

  void WorkComplete() override {
    request_.device->claims.release(request_.slot);
    if (env_->stopping) return;  // the environment is going away: no script runs
    Nan::AsyncWorker::WorkComplete();
  }

  void HandleOKCallback() override {
    Nan::HandleScope scope;
    v8::Local<v8::Value> argv[] = {callback->GetFunction(),
                                   Nan::New<v8::Number>(static_cast<double>(result_))};
    async_resource->runInAsyncScope(Nan::New(persistentHandle), Nan::New(env_->deliver), 2,
                                    argv);
  }

 private:
  Environment* env_;
  ScanRequest<Device> request_;
  uint64_t result_;
  ScanFn scan_;
};

// Claims a slot of device `index`, or false with an Error when a scan is in
// flight there.
template <class Device>
bool claim_slot(const char* method, uint32_t index, Device* device, uint32_t slot) {
  if (device->claims.try_claim(slot)) return true;
  throw_error(method, "slot " + std::to_string(slot) + " of device " + std::to_string(index) +
                          " already has a scan in flight");
  return false;
}

// What a backend tells queue_scan about its devices.
template <class Device>
struct ScanBackend {
  typename NonceScanner<Device>::ScanFn scan;
  // Sets the request's job (and, where the device keeps the job's block
  // itself, its header and target); false when the device has no job yet.
  bool (*take_job)(Device* device, ScanRequest<Device>* request);
  // How many consecutive nonces a scan of the device covers from its start.
  uint64_t (*nonces_per_scan)(const Device* device);
};

// scan_nonces(callback, header, target, startNonce, deviceIndex, slot): every
// argument converted and checked on the script thread, the header and target
// copied after the last conversion, the slot claimed, then one NonceScanner
// queued.
template <class Device>
void queue_scan(Nan::NAN_METHOD_ARGS_TYPE info, const std::vector<Device*>& devices,
                const ScanBackend<Device>& backend) {
  const char* method = "scan_nonces";
  ScanRequest<Device> request;
  uint32_t index, slot;
  if (!arg_function(info, 0, method, "callback") ||
      !arg_view(info, 1, method, "header", NS_HEADER_BYTES) ||
      !arg_view(info, 2, method, "target", NS_TARGET_BYTES) ||
      !arg_start_nonce(info, 3, method, &request.start_nonce) ||
      !arg_index(info, 4, method, "device index", DEVICE_TABLE_SIZE, "20", &index) ||
      !arg_index(info, 5, method, "slot", UINT32_MAX, "the device's slot count", &slot) ||
      !lookup_device(info, 4, index, method, devices, &request.device))
    return;
  Device* device = request.device;
  if (slot >= device->claims.size()) {
    throw_range_error(method, "slot", "an index below the device's slot count", info[5]);
    return;
  }
  request.slot = slot;
  if (!check_scan_range(info, 3, method, request.start_nonce, backend.nonces_per_scan(device)))
    return;
  if (!copy_view(info, 1, method, "header", NS_HEADER_BYTES, request.header) ||
      !copy_view(info, 2, method, "target", NS_TARGET_BYTES, request.target))
    return;
  if (!backend.take_job(device, &request)) {
    throw_error(method, "device " + std::to_string(index) +
                            " has not been given a block yet: call set_block first");
    return;
  }
  if (!claim_slot(method, index, device, slot)) return;
  Nan::Callback* callback = new Nan::Callback(info[0].As<v8::Function>());
  Nan::AsyncQueueWorker(
      new NonceScanner<Device>(environment(info), callback, backend.scan, request));
}

// Work of the script thread on one slot (the self-test): refused with an
// Error while a scan is in flight there, and keeps new ones off until done.
template <class Device, class Work>
bool on_slot(const char* method, uint32_t index, Device* device, uint32_t slot, Work work) {
  if (!claim_slot(method, index, device, slot)) return false;
  struct Claim {
    Device* device;
    uint32_t slot;
    ~Claim() { device->claims.release(slot); }
  } claim{device, slot};
  work();
  return true;
}

}  // namespace frame

#endif
