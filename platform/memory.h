#pragma once
// Handing freed memory back to the system.

namespace ferro {

// Returns the free memory the allocator still holds to the system, after a
// large list was emptied (otherwise a flood leaves the process at its peak).
void ReleaseFreeMemory();

}  // namespace ferro
