#include "job_number.h"

#include <atomic>

uint64_t next_job_number() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}
