#include <malloc.h>

#include "platform/memory.h"

namespace ferro {

void ReleaseFreeMemory() { malloc_trim(0); }

void KeepAnswerMemory() {
  // By default blocks of a few hundred KiB get mappings of their own (or are
  // trimmed off the heap top when freed): every answer of that size then
  // costs a page fault per page and an unmap. A list of 10,000 agents is a
  // block of some 15 MiB, built and freed on every call. Blocks up to the
  // allocator's largest setting (32 MiB) come from the heap, and as much of
  // it stays when free. Larger blocks still get their own mappings, and
  // ReleaseFreeMemory still hands back everything after a flood.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
}

}  // namespace ferro
