// Ferrolink server: the back end of the management utility. It makes sure
// only one server runs, listens for SOAP and GET requests on TCP 64567,
// opens the loopback push channel and serves requests one at a time for the
// life of the process. The engine starts later, on the user interface's call.

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "engine/notices.h"
#include "platform/instance_lock.h"
#include "push_channel.h"
#include "soapH.h"
#include "soap_front.h"

int main() {
  if (ferro::AcquireInstanceLock("Ferrolink") == ferro::InstanceLockResult::kAlreadyExists) {
    return 0;
  }

  // The one service context, alive for the whole process.
  static struct soap service;
  ferro::InitServiceContext(&service);

  const SOAP_SOCKET master =
      soap_bind(&service, nullptr, ferro::kServicePort, ferro::kServiceBacklog);
  if (!soap_valid_socket(master)) {
    soap_print_fault(&service, stderr);
    std::exit(-1);
  }
  std::printf("Socket connection successful: master socket = %d\n", master);
  std::fflush(stdout);

  std::thread(ferro::PushThread).detach();
  // The engine's notices ("trap", "device_set") travel on the push channel.
  ferro::SetNoticeSink(ferro::PushSend);

  std::printf("Orvex Engine is starting.\n");
  std::fflush(stdout);

  for (;;) {
    const SOAP_SOCKET client = soap_accept(&service);
    if (!soap_valid_socket(client)) {
      soap_print_fault(&service, stderr);
      std::exit(-1);
    }
    ferro::ServeAcceptedConnection(&service);
  }
}
