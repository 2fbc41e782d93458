// CUDA addon entry point. The search functions get exported here as they land.
#include <nan.h>

#include "runner.h"

NAN_MODULE_INIT(Init) {
  (void)target;
}

NODE_MODULE(nvsieve, Init)
