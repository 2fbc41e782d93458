// What both modules' script bindings share: argument checks that throw
// before anything is queued or touched, and the asynchronous scan worker.
#ifndef NONCESIEVE_BINDING_FRAME_H
#define NONCESIEVE_BINDING_FRAME_H

#include <nan.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "nonce_search.h"
#include "scan_limits.h"

namespace frame {

// "42 of type number", "a string", "undefined": how a bad value is named.
std::string describe(v8::Local<v8::Value> value);

// Every argument error has one shape:
// "<method>: expected <what> for <name> but received <value>".
void throw_type_error(const char* method, const char* name, const char* what,
                      v8::Local<v8::Value> received);
void throw_range_error(const char* method, const char* name, const char* what,
                       v8::Local<v8::Value> received);

// Each check returns false with an exception scheduled; the handler must
// return at once.
bool arg_function(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name);
bool arg_bytes(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
               size_t min_length, unsigned char** data);
// ToUint32; a missing argument is 0. Fails only when the conversion throws.
bool arg_u32(Nan::NAN_METHOD_ARGS_TYPE info, int i, uint32_t* out);
// ToInt32; a missing argument is 0.
bool arg_i32(Nan::NAN_METHOD_ARGS_TYPE info, int i, int32_t* out);
// A whole number of nonces in [0, 2^64), fractions truncated toward zero.
bool arg_start_nonce(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, uint64_t* out);
// An index below `limit` (a device ordinal, a table entry), as ToUint32 reads it.
bool arg_index(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
               uint32_t limit, const char* limit_what, uint32_t* out);

// The per-device arrays of init_devices: ids, slot counts and work sizes, read
// element by element as the script gives them. ids must be below `total`
// devices (and the table size); counts and sizes must not be negative.
struct DeviceLists {
  std::vector<int> ids, slots, work_sizes;
};
bool read_device_lists(Nan::NAN_METHOD_ARGS_TYPE info, const char* method, uint32_t total,
                       DeviceLists* lists);

// The initialised device at table entry info[i], or false with a RangeError.
template <class Device>
bool arg_device(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method,
                const std::vector<Device*>& devices, Device** out) {
  uint32_t index;
  if (!arg_index(info, i, method, "device index", DEVICE_TABLE_SIZE, "20", &index)) return false;
  if (index >= devices.size() || devices[index] == nullptr) {
    throw_range_error(method, "device index", "a device initialised by init_devices", info[i]);
    return false;
  }
  *out = devices[index];
  return true;
}

// Construct call or plain call of a wrapper class: a plain call constructs
// through the stored constructor with the first argument.
void construct_plain(Nan::NAN_METHOD_ARGS_TYPE info, v8::Local<v8::Function> constructor);

struct Method {
  const char* name;
  Nan::FunctionCallback handler;
};

// Defines the class GpuContextWrapper (one internal field) with these
// prototype methods in this order, each refusing a receiver that is not an
// instance; stores its constructor and exports it on `target`.
void export_wrapper_class(v8::Local<v8::Object> target, Nan::FunctionCallback construct,
                          std::initializer_list<Method> methods,
                          Nan::Persistent<v8::Function>* constructor);

// Everything one scan needs, captured on the script thread.
template <class Device>
struct ScanRequest {
  const unsigned char* header;
  unsigned char* target;
  uint64_t start_nonce;
  Device* device;
  uint32_t slot;
  // The job the scan belongs to: the device's current job when it was queued
  // (job_number.h), so that the backend can run it on that job's block.
  uint64_t job;
};

// One scan on the libuv pool. It holds the header and target buffers until
// its callback has run, so a script that drops them early cannot pull the
// memory away from the backend.
template <class Device>
class NonceScanner : public Nan::AsyncWorker {
 public:
  typedef uint64_t (*ScanFn)(const ScanRequest<Device>& request);

  NonceScanner(Nan::Callback* callback, ScanFn scan, const ScanRequest<Device>& request)
      : Nan::AsyncWorker(callback, "nan:AsyncWorker"),
        request_(request),
        result_(NOT_FOUND_NONCE),
        scan_(scan) {}
  ~NonceScanner() override {}

  void Execute() override { result_ = scan_(request_); }

  void HandleOKCallback() override {
    Nan::HandleScope scope;
    v8::Local<v8::Value> argv[] = {Nan::New<v8::Number>(static_cast<double>(result_))};
    callback->Call(1, argv, async_resource);
  }

 private:
  ScanRequest<Device> request_;
  uint64_t result_;
  ScanFn scan_;
};

// What a backend tells queue_scan about its devices.
template <class Device>
struct ScanBackend {
  typename NonceScanner<Device>::ScanFn scan;
  uint32_t (*slot_count)(const Device* device);
  uint64_t (*current_job)(const Device* device);
};

// scan_nonces(callback, header, target, startNonce, deviceIndex, slot): every
// argument checked on the script thread, then one NonceScanner queued.
template <class Device>
void queue_scan(Nan::NAN_METHOD_ARGS_TYPE info, const std::vector<Device*>& devices,
                const ScanBackend<Device>& backend) {
  const char* method = "scan_nonces";
  ScanRequest<Device> request;
  if (!arg_function(info, 0, method, "callback") ||
      !arg_bytes(info, 1, method, "header", NS_HEADER_BYTES,
                 const_cast<unsigned char**>(&request.header)) ||
      !arg_bytes(info, 2, method, "target", NS_TARGET_BYTES, &request.target) ||
      !arg_start_nonce(info, 3, method, &request.start_nonce) ||
      !arg_device(info, 4, method, devices, &request.device) ||
      !arg_index(info, 5, method, "slot", backend.slot_count(request.device),
                 "the device's slot count", &request.slot))
    return;
  request.job = backend.current_job(request.device);

  Nan::Callback* callback = new Nan::Callback(info[0].As<v8::Function>());
  NonceScanner<Device>* worker = new NonceScanner<Device>(callback, backend.scan, request);
  worker->SaveToPersistent("header", info[1]);
  worker->SaveToPersistent("target", info[2]);
  Nan::AsyncQueueWorker(worker);
}

}  // namespace frame

#endif
