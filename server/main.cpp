// Ferrolink server: the back end of the management utility. It makes sure
// only one server runs, then serves SOAP and GET requests on TCP 64567 and
// notices on the loopback push channel for the life of the process. The
// engine starts later, on the user interface's call.

#include <cstdio>

#include "front/soap_front.h"
#include "platform/instance_lock.h"

int main() {
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
  ferro::RunServer();
}
