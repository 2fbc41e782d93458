// A nan async worker that does nothing: the floor under any scan's round trip
// through the libuv pool, built the same way as the modules.
#include <nan.h>

class BareWorker : public Nan::AsyncWorker {
 public:
  explicit BareWorker(Nan::Callback* callback) : Nan::AsyncWorker(callback) {}
  void Execute() override {}
  void HandleOKCallback() override {
    Nan::HandleScope scope;
    v8::Local<v8::Value> argv[] = {Nan::New<v8::Number>(0)};
    callback->Call(1, argv, async_resource);
  }
};

NAN_METHOD(Run) {
  if (!info[0]->IsFunction()) return Nan::ThrowTypeError("run: expected a function");
  Nan::AsyncQueueWorker(new BareWorker(new Nan::Callback(info[0].As<v8::Function>())));
}

NAN_MODULE_INIT(Init) { Nan::SetMethod(target, "run", Run); }

NODE_MODULE(bare_worker, Init)
