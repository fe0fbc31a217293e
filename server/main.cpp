// Ferrolink server: the back end of the management utility. It makes sure
// only one server runs, then serves SOAP and GET requests on TCP 64567 and
// notices on the loopback push channel for the life of the process. The
// engine starts later, on the user interface's call.

#include <cstdio>

#include "engine/engine.h"
#include "front/soap_front.h"
#include "platform/instance_lock.h"
#include "platform/memory.h"
#include "platform/termination.h"

int main() {
  // Ended by a signal, the server still stops its engine: its uploads go
  // and with them the static ARP entries pinned for them.
  ferro::OnTerminationSignal([](int) { ferro::StopEngine(); });
  switch (ferro::AcquireInstanceLock("Ferrolink")) {
    case ferro::InstanceLockResult::kAlreadyExists:
      return 0;
    case ferro::InstanceLockResult::kError:
      std::fprintf(stderr, "instance lock unavailable in %s; running without it\n",
                   ferro::kInstanceLockFolder);
      break;
    case ferro::InstanceLockResult::kAcquired:
      break;
  }
  ferro::KeepAnswerMemory();
  ferro::RunServer();
}
