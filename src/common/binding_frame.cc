#include "binding_frame.h"

#include <cmath>

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
                       v8::Local<v8::Value> received) {
  Nan::ThrowRangeError(message(method, name, what, received).c_str());
}

bool arg_function(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name) {
  if (info[i]->IsFunction()) return true;
  throw_type_error(method, name, "a function", info[i]);
  return false;
}

bool arg_bytes(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
               size_t min_length, unsigned char** data) {
  if (!info[i]->IsArrayBufferView()) {
    throw_type_error(method, name, "a Buffer or typed array", info[i]);
    return false;
  }
  v8::Local<v8::ArrayBufferView> view = info[i].As<v8::ArrayBufferView>();
  if (view->ByteLength() < min_length) {
    const std::string what = "at least " + std::to_string(min_length) + " bytes";
    throw_range_error(method, name, what.c_str(), info[i]);
    return false;
  }
  *data = static_cast<unsigned char*>(view->Buffer()->Data()) + view->ByteOffset();
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
  if (d < 0 || d >= 18446744073709551616.0) {
    throw_range_error(method, "start nonce", "a number from 0 to 2^64 - 1", info[i]);
    return false;
  }
  *out = static_cast<uint64_t>(std::trunc(d));
  return true;
}

bool arg_index(Nan::NAN_METHOD_ARGS_TYPE info, int i, const char* method, const char* name,
               uint32_t limit, const char* limit_what, uint32_t* out) {
  // A negative number would wrap to a large index under ToUint32; refuse it
  // by name rather than as a huge value.
  if (info[i]->IsNumber() && info[i].As<v8::Number>()->Value() < 0) {
    const std::string what = std::string("an index below ") + limit_what;
    throw_range_error(method, name, what.c_str(), info[i]);
    return false;
  }
  if (!arg_u32(info, i, out)) return false;
  if (*out >= limit) {
    const std::string what = std::string("an index below ") + limit_what;
    throw_range_error(method, name, what.c_str(), info[i]);
    return false;
  }
  return true;
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
                       DeviceLists* lists) {
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
      throw_range_error(method, "device id", id_what.c_str(), id_value);
      return false;
    }
    if (slot < 0) {
      throw_range_error(method, "slot count", "a count of 0 or more", slot_value);
      return false;
    }
    if (size < 0) {
      throw_range_error(method, "work size", "a size of 0 or more", size_value);
      return false;
    }
    lists->ids.push_back(id);
    lists->slots.push_back(slot);
    lists->work_sizes.push_back(size);
  }
  return true;
}

void construct_plain(Nan::NAN_METHOD_ARGS_TYPE info, v8::Local<v8::Function> constructor) {
  v8::Local<v8::Value> argv[1] = {info[0]};
  v8::Local<v8::Object> instance;
  if (Nan::NewInstance(constructor, 1, argv).ToLocal(&instance)) {
    info.GetReturnValue().Set(instance);
  }
}

void export_wrapper_class(v8::Local<v8::Object> target, Nan::FunctionCallback construct,
                          std::initializer_list<Method> methods,
                          Nan::Persistent<v8::Function>* constructor) {
  v8::Local<v8::FunctionTemplate> tpl = Nan::New<v8::FunctionTemplate>(construct);
  tpl->SetClassName(Nan::New("GpuContextWrapper").ToLocalChecked());
  tpl->InstanceTemplate()->SetInternalFieldCount(1);
  // nan gives each method a receiver signature and its name as class name.
  for (const Method& method : methods) Nan::SetPrototypeMethod(tpl, method.name, method.handler);
  v8::Local<v8::Function> function = Nan::GetFunction(tpl).ToLocalChecked();
  constructor->Reset(function);
  Nan::Set(target, Nan::New("GpuContextWrapper").ToLocalChecked(), function);
}

}  // namespace frame
