// GSoapClose: the user interface ends the server.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "engine/engine.h"
#include "engine/events.h"
#include "engine/notices.h"
#include "exchange/request_exchange.h"
#include "soapH.h"

// Answers "202 Accepted" (the operation is one-way, but every HTTP client
// waits for a status line), tells the user interface "app_exit", gives it
// half a second, stops the engine and ends the process with code 0. The
// half second is also the caller's to read its answer and close; the
// connection is closed before the process ends, so that the end cannot
// reset it under an answer not yet read.
int ns__GSoapClose(struct soap* soap, int, std::string, unsigned int&) {
  std::printf("GSoapClose begin. \n");
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const bool answered = ferro::AnswerAcceptedNow(soap);
  ferro::SendNotice("app_exit");
  if (answered && !ferro::AwaitAnswerTaken(soap, 500)) {
    std::printf("GSoapClose: the caller may not have received its answer.\n");
  }
  std::this_thread::sleep_until(start + std::chrono::milliseconds(500));
  ferro::StopEngine();
  ferro::ServerStopping("GSoapClose");
  std::fflush(nullptr);
  std::_Exit(0);
}
