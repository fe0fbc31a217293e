// The monotonic tick on Windows: the system's millisecond tick count, which
// wraps every 49.7 days exactly like the 32-bit ticks of the rest of the
// program. Its resolution is the system timer's (10 to 16 ms).
#include <windows.h>

#include "platform/tick.h"

namespace ferro {

uint32_t MonotonicTickSource::Now() { return static_cast<uint32_t>(GetTickCount()); }

}  // namespace ferro
