#pragma once
// Naming threads, so that per-thread tools (top -H, ps -L, /proc/<pid>/task)
// show which engine thread uses the CPU.

namespace ferro {

// Names the calling thread; the system may cut the name (15 bytes on Linux).
void NameCurrentThread(const char* name);

}  // namespace ferro
