// The end signals on Windows: a console control handler. Ctrl-C and
// Ctrl-Break come as CTRL_C_EVENT / CTRL_BREAK_EVENT, a closed console
// window, a log-off and a shut-down as the other three. The system runs
// the handler on a thread of its own; for the close, log-off and shut-down
// events it ends the process when the handler returns (or after a few
// seconds), so the handler does its work and ends the process itself.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/termination.h"

namespace ferro {
namespace {

void (*g_handler)(int) = nullptr;
volatile LONG g_running = 0;

// The Linux signal the event stands for, so the handler and the exit code
// read the same on both systems.
int SignalOf(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return SIGINT;
    case CTRL_CLOSE_EVENT:
      return 1;  // the terminal went away (SIGHUP)
    default:
      return SIGTERM;  // log-off, shut-down
  }
}

BOOL WINAPI OnControl(DWORD event) {
  // A second event while the first is handled waits for it to end the process.
  if (InterlockedExchange(&g_running, 1) != 0) {
    Sleep(INFINITE);
    return TRUE;
  }
  const int signal = SignalOf(event);
  if (g_handler != nullptr) g_handler(signal);
  std::fflush(nullptr);
  std::_Exit(128 + signal);
}

}  // namespace

void OnTerminationSignal(void (*handler)(int signal)) {
  g_handler = handler;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

}  // namespace ferro
