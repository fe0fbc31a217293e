#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/termination.h"

namespace ferro {

void OnTerminationSignal(void (*handler)(int signal)) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  std::thread([set, handler] {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) return;
    if (handler != nullptr) handler(signal);
    std::fflush(nullptr);
    std::_Exit(128 + signal);
  }).detach();
}

}  // namespace ferro
