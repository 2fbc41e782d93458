#include "binding_frame.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace frame {

std::string describe(v8::Local<v8::Value> value) {
  if (value->IsUndefined()) return "undefined";
  if (value->IsNull()) return "null";
  if (value->IsNumber()) {
    Nan::Utf8String text(value);
    return std::string(*text ? *text : "?") + " of type number";
  }
  if (value->IsString()) return "a string";
  if (value->IsBoolean()) return "a boolean";
  if (value->IsSymbol()) return "a symbol";
  if (value->IsBigInt()) return "a bigint";
  if (value->IsFunction()) return "a function";
  if (value->IsArray()) return "an array";
  if (value->IsArrayBufferView()) {
    return "a view of " + std::to_string(value.As<v8::ArrayBufferView>()->ByteLength()) + " bytes";
  }
  return "an object";
}

namespace {
std::string message(const char* method, const char* name, const char* what,
                    v8::Local<v8::Value> received) {
  return std::string(method) + ": expected " + what + " for " + name + " but received " +
         describe(received);
}
}  // namespace

void throw_type_error(const char* method, const char* name, const char* what,
                      v8::Local<v8::Value> received) {
  Nan::ThrowTypeError(message(method, name, what, received).c_str());
}

void throw_range_error(const char* method, const char* name, const char* what,
                       v8::Local<v8::Value> received, const std::string& more) {
  Nan::ThrowRangeError((message(method, name, what, received) + more).c_str());
}

void throw_error(const char* method, const std::string& text) {
  Nan::ThrowError((std::string(method) + ": " + text).c_str());
}

bool arg_function(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name) {
  if (info[i]->IsFunction()) return true;
  throw_type_error(method, name, "a function", info[i]);
  return false;
}

bool arg_view(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
              size_t length) {
  if (!info[i]->IsArrayBufferView()) {
    throw_type_error(method, name, "a Buffer or typed array", info[i]);
    return false;
  }
  if (info[i].As<v8::ArrayBufferView>()->ByteLength() >= length) return true;
  const std::string what = "at least " + std::to_string(length) + " bytes";
  throw_range_error(method, name, what.c_str(), info[i]);
  return false;
}

bool copy_view(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
               size_t length, unsigned char* out) {
  if (!arg_view(info, i, method, name, length)) return false;
  // Checked just now, with no script run since: the bytes are there.
  v8::Local<v8::ArrayBufferView> view = info[i].As<v8::ArrayBufferView>();
  memcpy(out, static_cast<unsigned char*>(view->Buffer()->Data()) + view->ByteOffset(), length);
  return true;
}

bool arg_u32(Nan::NAN_METHOD_ARGS_TYPE info, int i, uint32_t* out) {
  Nan::Maybe<uint32_t> value = Nan::To<uint32_t>(info[i]);
  if (value.IsNothing()) return false;
  *out = value.FromJust();
  return true;
}

bool arg_i32(Nan::NAN_METHOD_ARGS_TYPE info, int i, int32_t* out) {
  Nan::Maybe<int32_t> value = Nan::To<int32_t>(info[i]);
  if (value.IsNothing()) return false;
  *out = value.FromJust();
  return true;
}

bool arg_start_nonce(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, uint64_t* out) {
  Nan::Maybe<double> value = Nan::To<double>(info[i]);
  if (value.IsNothing()) return false;
  const double d = value.FromJust();
  if (!std::isfinite(d)) {
    throw_type_error(method, "start nonce", "a finite number", info[i]);
    return false;
  }
  if (d < 0 || d >= double(NONCE_FIELD_LIMIT)) {
    throw_range_error(method, "start nonce", "a number from 0 to 2^48 - 1 (nonces are 48 bits)",
                      info[i]);
    return false;
  }
  *out = static_cast<uint64_t>(std::trunc(d));
  return true;
}

bool check_scan_range(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, uint64_t start,
                      uint64_t span) {
  if (start < NONCE_FIELD_LIMIT && span <= NONCE_FIELD_LIMIT - start) return true;
  const std::string n = std::to_string(span);
  const std::string what = "a number from 0 to 2^48 - " + n + " (a scan covers " + n +
                           " nonces, and nonces are 48 bits)";
  throw_range_error(method, "start nonce", what.c_str(), info[i]);
  return false;
}

namespace {
// Added to the refusal of an index when discovery found no device at all.
std::string when_none_found(uint32_t found) {
  if (found > 0 || kModuleSpec.no_device_hint == nullptr) return std::string();
  return std::string("; ") + kModuleSpec.no_device_hint;
}
}  // namespace

bool arg_index(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
               uint32_t limit, const char* limit_what, uint32_t* out) {
  // A negative number would wrap to a large index under ToUint32; refuse it
  // by name rather than as a huge value.
  const bool negative = info[i]->IsNumber() && info[i].As<v8::Number>()->Value() < 0;
  if (!negative) {
    if (!arg_u32(info, i, out)) return false;
    if (*out < limit) return true;
  }
  const std::string what = std::string("an index below ") + limit_what;
  throw_range_error(method, name, what.c_str(), info[i], when_none_found(limit));
  return false;
}

namespace {

// ToNumber, then truncation toward zero to a signed 32-bit integer.
bool trunc32(v8::Local<v8::Value> value, const char* method, const char* name, int* out) {
  Nan::Maybe<double> number = Nan::To<double>(value);
  if (number.IsNothing()) return false;
  const double d = number.FromJust();
  if (!std::isfinite(d)) {
    throw_type_error(method, name, "a finite number", value);
    return false;
  }
  const double whole = std::trunc(d);
  if (whole < -2147483648.0 || whole > 2147483647.0) {
    throw_range_error(method, name, "a 32-bit integer", value);
    return false;
  }
  *out = static_cast<int>(whole);
  return true;
}

bool element(v8::Local<v8::Array> array, uint32_t i, const char* method, const char* name,
             v8::Local<v8::Value> whole, v8::Local<v8::Value>* out) {
  if (i >= array->Length()) {
    throw_range_error(method, name, "an array as long as the ids array", whole);
    return false;
  }
  return Nan::Get(array, i).ToLocal(out);
}

}  // namespace

bool read_device_lists(Nan::NAN_METHOD_ARGS_TYPE info, const char* method, uint32_t total,
                       int work_multiple, DeviceLists* lists) {
  if (!info[0]->IsArray()) return true;  // no devices; the other arrays are not read
  if (!info[1]->IsArray()) {
    throw_type_error(method, "slot counts", "an array", info[1]);
    return false;
  }
  if (!info[2]->IsArray()) {
    throw_type_error(method, "work sizes", "an array", info[2]);
    return false;
  }
  v8::Local<v8::Array> ids = info[0].As<v8::Array>();
  v8::Local<v8::Array> slots = info[1].As<v8::Array>();
  v8::Local<v8::Array> sizes = info[2].As<v8::Array>();
  const uint32_t limit = total < DEVICE_TABLE_SIZE ? total : uint32_t(DEVICE_TABLE_SIZE);
  const std::string id_what = "an index below " + std::to_string(limit) +
                              " (the devices found, at most 20)";
  const std::string slot_what = "a count from 1 to " + std::to_string(MAX_DEVICE_SLOTS);
  const std::string size_what = "a positive multiple of " + std::to_string(work_multiple);
  // The length is read again before each element: a getter may change it.
  for (uint32_t i = 0; i < ids->Length(); ++i) {
    v8::Local<v8::Value> id_value, slot_value, size_value;
    int id, slot, size;
    if (!element(ids, i, method, "ids", info[0], &id_value) ||
        !element(slots, i, method, "slot counts", info[1], &slot_value) ||
        !element(sizes, i, method, "work sizes", info[2], &size_value) ||
        !trunc32(id_value, method, "device id", &id) ||
        !trunc32(slot_value, method, "slot count", &slot) ||
        !trunc32(size_value, method, "work size", &size))
      return false;
    if (id < 0 || uint32_t(id) >= limit) {
      throw_range_error(method, "device id", id_what.c_str(), id_value, when_none_found(total));
      return false;
    }
    if (slot < 1 || slot > MAX_DEVICE_SLOTS) {
      throw_range_error(method, "slot count", slot_what.c_str(), slot_value);
      return false;
    }
    if (size <= 0 || size % work_multiple != 0) {
      throw_range_error(method, "work size", size_what.c_str(), size_value);
      return false;
    }
    lists->ids.push_back(id);
    lists->slots.push_back(slot);
    lists->work_sizes.push_back(size);
  }
  return true;
}

void warn_when_pool_short(const char* method, int slots_in_use) {
  // libuv's own reading of the variable: unset means 4, at least 1, at most 1024.
  const char* value = getenv("UV_THREADPOOL_SIZE");
  long pool = value && *value ? strtol(value, nullptr, 10) : 4;
  if (pool < 1) pool = 1;
  if (pool > 1024) pool = 1024;
  if (slots_in_use <= pool) return;
  static std::atomic<bool> warned{false};
  if (warned.exchange(true)) return;
  fprintf(stderr,
          "%s: warning: %d slots are in use but the libuv thread pool has %ld threads, so "
          "scans wait for one another; set UV_THREADPOOL_SIZE=%d (or more) in the environment "
          "before Node starts\n",
          method, slots_in_use, pool, slots_in_use);
  fflush(stderr);
}

// ---- The class ----

namespace {

class GpuContextWrapper : public Nan::ObjectWrap {
 public:
  explicit GpuContextWrapper(GpuContext* context) : context(context) {}
  void Attach(v8::Local<v8::Object> object) { Wrap(object); }
  // The context and its devices stay alive for the life of the process, so
  // scans still in flight when the wrapper is collected keep valid devices.
  ~GpuContextWrapper() override {}
  GpuContext* const context;
};

// Construct call: a new context on the receiver. Plain call: a construct
// call of the constructor with the first argument.
void construct(Nan::NAN_METHOD_ARGS_TYPE info) {
  Environment* env = environment(info);
  if (!info.IsConstructCall()) {
    v8::Local<v8::Value> argv[1] = {info[0]};
    v8::Local<v8::Object> instance;
    if (Nan::NewInstance(Nan::New(env->constructor), 1, argv).ToLocal(&instance))
      info.GetReturnValue().Set(instance);
    return;
  }
  // Reflect.construct with another new.target can hand us a receiver
  // without the wrapper's internal field.
  if (info.This()->InternalFieldCount() < 1) {
    Nan::ThrowTypeError("GpuContextWrapper: the receiver of a construct call must be made by "
                        "GpuContextWrapper");
    return;
  }
  GpuContext* context = env->spec.create_context(info);
  if (!context) return;
  (new GpuContextWrapper(context))->Attach(info.This());
  info.GetReturnValue().Set(info.This());
}

// Every prototype method goes through here: V8's receiver check does not
// apply to construct calls, and an object can carry the prototype without
// being a wrapper.
void call_method(Nan::NAN_METHOD_ARGS_TYPE info) {
  const Method* method =
      static_cast<Binding*>(info.Data().As<v8::External>()->Value())->method;
  if (info.IsConstructCall()) {
    Nan::ThrowTypeError((std::string(method->name) + " is not a constructor").c_str());
    return;
  }
  v8::Local<v8::Object> holder = info.Holder();
  if (holder->InternalFieldCount() < 1 || Nan::GetInternalFieldPointer(holder, 0) == nullptr) {
    throw_type_error(method->name, "this", "a GpuContextWrapper", holder);
    return;
  }
  method->handler(info, Nan::ObjectWrap::Unwrap<GpuContextWrapper>(holder)->context);
}

// deliver(callback, result): the callback with the global object as `this`.
void deliver(Nan::NAN_METHOD_ARGS_TYPE info) {
  v8::Local<v8::Value> argv[1] = {info[1]};
  v8::Local<v8::Context> context = Nan::GetCurrentContext();
  // A throw goes on to the scan's callback scope, which reports it.
  v8::MaybeLocal<v8::Value> ignored =
      info[0].As<v8::Function>()->Call(context, context->Global(), 1, argv);
  (void)ignored;
}

// The environment is going away: let its scans in flight end (their
// completions run here, without calling into script), then free its state.
void cleanup(void* data) {
  Environment* env = static_cast<Environment*>(data);
  env->stopping = true;
  {
    Nan::HandleScope scope;
    while (env->scans > 0) uv_run(env->loop, UV_RUN_ONCE);
  }
  env->constructor.Reset();
  env->deliver.Reset();
  delete env;
}

}  // namespace

Environment* environment(Nan::NAN_METHOD_ARGS_TYPE info) {
  return static_cast<Binding*>(info.Data().As<v8::External>()->Value())->env;
}

namespace {

// Registers GpuContextWrapper in a new environment's exports.
void init_module(v8::Local<v8::Object> exports, const ModuleSpec& spec) {
  v8::Isolate* isolate = v8::Isolate::GetCurrent();
  Environment* env = new Environment(spec);
  env->loop = node::GetCurrentEventLoop(isolate);
  // Reserved up front: the functions keep pointers to the elements.
  env->methods.reserve(spec.method_count);
  for (size_t i = 0; i < spec.method_count; ++i) env->methods.push_back({env, &spec.methods[i]});
  node::AddEnvironmentCleanupHook(isolate, cleanup, env);

  v8::Local<v8::FunctionTemplate> tpl =
      Nan::New<v8::FunctionTemplate>(construct, Nan::New<v8::External>(&env->self));
  tpl->SetClassName(Nan::New("GpuContextWrapper").ToLocalChecked());
  tpl->InstanceTemplate()->SetInternalFieldCount(1);
  v8::Local<v8::Signature> receiver = Nan::New<v8::Signature>(tpl);
  for (Binding& binding : env->methods) {
    v8::Local<v8::FunctionTemplate> method = Nan::New<v8::FunctionTemplate>(
        call_method, Nan::New<v8::External>(&binding), receiver);
    v8::Local<v8::String> name = Nan::New(binding.method->name).ToLocalChecked();
    method->SetClassName(name);
    tpl->PrototypeTemplate()->Set(name, method);
  }
  v8::Local<v8::Function> function = Nan::GetFunction(tpl).ToLocalChecked();
  env->constructor.Reset(function);
  env->deliver.Reset(Nan::GetFunction(Nan::New<v8::FunctionTemplate>(deliver)).ToLocalChecked());
  Nan::Set(exports, Nan::New("GpuContextWrapper").ToLocalChecked(), function);
}

}  // namespace

}  // namespace frame

// Context-aware: the module loads in every environment (the main thread and
// each Worker) with state of its own.
NODE_MODULE_INIT() {
  (void)module;
  (void)context;
  frame::init_module(exports, frame::kModuleSpec);
}
