#pragma once
// Handing freed memory back to the system.

namespace ferro {

// Returns the free memory the allocator still holds to the system, after a
// large list was emptied (otherwise a flood leaves the process at its peak).
void ReleaseFreeMemory();

// Keeps the memory of answers built and freed on every request (a static
// file, a list of a few thousand agents) with the process between requests,
// instead of mapping and faulting it in afresh each time. Call once at start.
void KeepAnswerMemory();

}  // namespace ferro
