// The C runtime's heap on Windows grows and shrinks by itself; the only
// useful request is to hand back whole free regions after a flood.
#include <malloc.h>

#include "platform/memory.h"

namespace ferro {

void ReleaseFreeMemory() { _heapmin(); }

// The heap keeps freed blocks for reuse without being told.
void KeepAnswerMemory() {}

}  // namespace ferro
