/* A stand-in for libnvidia-ml.so.1, for the tests: the devices and their
 * figures come from NVML_EMU_DEVICES, one device per ";"-separated entry of
 * "uuid,celsius,milliwatts,fan%,smMHz,memMHz"; a figure "-" is not supported
 * by that device, "!" fails with an unknown error. NVML_EMU_INIT=fail makes
 * nvmlInit_v2 fail as with a driver that does not run. */
#include <stdlib.h>
#include <string.h>

#define MAX_DEVICES 8
#define FIGURES 5
enum { SUCCESS = 0, UNINITIALIZED = 1, INVALID_ARGUMENT = 2, NOT_SUPPORTED = 3, NOT_FOUND = 6,
       DRIVER_NOT_LOADED = 9, UNKNOWN = 999 };
enum { NOT_GIVEN = -1, FAILS = -2 };

struct device { char uuid[64]; long figure[FIGURES]; };
static struct device devices[MAX_DEVICES];
static int count = -1;

static void load(void) {
  const char* spec = getenv("NVML_EMU_DEVICES");
  char text[1024];
  count = 0;
  if (!spec) return;
  strncpy(text, spec, sizeof text - 1);
  text[sizeof text - 1] = 0;
  for (char* entry = strtok(text, ";"); entry && count < MAX_DEVICES; entry = strtok(NULL, ";")) {
    struct device* d = &devices[count++];
    char* field = entry;
    char* comma = strchr(field, ',');
    if (comma) *comma = 0;
    strncpy(d->uuid, field, sizeof d->uuid - 1);
    for (int i = 0; i < FIGURES; i++) {
      field = comma ? comma + 1 : NULL;
      comma = field ? strchr(field, ',') : NULL;
      if (comma) *comma = 0;
      d->figure[i] = !field || *field == '-' ? NOT_GIVEN : *field == '!' ? FAILS : atol(field);
    }
  }
}

int nvmlInit_v2(void) {
  const char* init = getenv("NVML_EMU_INIT");
  if (init && strcmp(init, "fail") == 0) return DRIVER_NOT_LOADED;
  load();
  return SUCCESS;
}

int nvmlShutdown(void) { return SUCCESS; }

int nvmlDeviceGetCount_v2(unsigned* n) {
  if (count < 0) return UNINITIALIZED;
  *n = (unsigned)count;
  return SUCCESS;
}

int nvmlDeviceGetHandleByIndex_v2(unsigned index, struct device** out) {
  if (count < 0) return UNINITIALIZED;
  if (index >= (unsigned)count) return INVALID_ARGUMENT;
  *out = &devices[index];
  return SUCCESS;
}

int nvmlDeviceGetHandleByUUID(const char* uuid, struct device** out) {
  for (int i = 0; i < count; i++) {
    if (strcmp(devices[i].uuid, uuid) == 0) {
      *out = &devices[i];
      return SUCCESS;
    }
  }
  return count < 0 ? UNINITIALIZED : NOT_FOUND;
}

static int answer(struct device* d, int which, unsigned* value) {
  long v = d->figure[which];
  if (v == NOT_GIVEN) return NOT_SUPPORTED;
  if (v == FAILS) return UNKNOWN;
  *value = (unsigned)v;
  return SUCCESS;
}

int nvmlDeviceGetTemperature(struct device* d, int sensor, unsigned* c) {
  return sensor == 0 ? answer(d, 0, c) : INVALID_ARGUMENT;
}
int nvmlDeviceGetPowerUsage(struct device* d, unsigned* mw) { return answer(d, 1, mw); }
int nvmlDeviceGetFanSpeed(struct device* d, unsigned* percent) { return answer(d, 2, percent); }
int nvmlDeviceGetClockInfo(struct device* d, int clock, unsigned* mhz) {
  return clock == 1 ? answer(d, 3, mhz) : clock == 2 ? answer(d, 4, mhz) : INVALID_ARGUMENT;
}

const char* nvmlErrorString(int r) {
  switch (r) {
    case SUCCESS: return "Success";
    case INVALID_ARGUMENT: return "Invalid Argument";
    case NOT_SUPPORTED: return "Not Supported";
    case NOT_FOUND: return "Not Found";
    case DRIVER_NOT_LOADED: return "Driver Not Loaded";
    default: return "Unknown Error";
  }
}
