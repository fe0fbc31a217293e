#pragma once
// Orderly clean-up when the process is asked to end (Ctrl-C, a service
// stop, a closed terminal), so that state the system keeps beyond the
// process, such as pinned ARP entries, does not outlive it.

namespace ferro {

// Routes the end signals (SIGINT, SIGTERM, SIGHUP) to `handler`, which runs
// on a thread of its own where it may take locks; the process ends with
// 128 + signal number when the handler returns. Call once, from main,
// before any other thread starts (the threads inherit the blocked signals).
void OnTerminationSignal(void (*handler)(int signal));

}  // namespace ferro
