// The monotonic tick on Linux: CLOCK_MONOTONIC in milliseconds, cut to 32 bits.
#include <time.h>

#include "platform/tick.h"

namespace ferro {

uint32_t MonotonicTickSource::Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

}  // namespace ferro
