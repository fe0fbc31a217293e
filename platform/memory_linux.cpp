#include <malloc.h>

#include "platform/memory.h"

namespace ferro {

void ReleaseFreeMemory() { malloc_trim(0); }

void KeepAnswerMemory() {
  // By default blocks of a few hundred KiB get mappings of their own (or are
  // trimmed off the heap top when freed): every answer of that size then
  // costs a page fault per page and an unmap. Blocks below 4 MiB come from
  // the heap, and up to 16 MiB of it stay when free. The largest lists still
  // get their own mappings, and ReleaseFreeMemory still hands back
  // everything after a flood.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
}

}  // namespace ferro
