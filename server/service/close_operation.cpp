// GSoapClose: the user interface ends the server.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "engine/engine.h"
#include "front/push_channel.h"
#include "soapH.h"

// Tells the user interface "app_exit", gives it half a second, stops the
// engine and ends the process with code 0. The request gets no answer.
int ns__GSoapClose(struct soap*, int, std::string, unsigned int&) {
  std::printf("GSoapClose begin. \n");
  std::fflush(stdout);
  ferro::PushSend("app_exit");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ferro::StopEngine();
  std::fflush(nullptr);
  std::_Exit(0);
}
