#include <malloc.h>

#include "platform/memory.h"

namespace ferro {

void ReleaseFreeMemory() { malloc_trim(0); }

}  // namespace ferro
