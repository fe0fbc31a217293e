// Ferrolink server: the back end of the management utility. It makes sure
// only one server runs, then serves SOAP and GET requests on TCP 64567 and
// notices on the loopback push channel for the life of the process. The
// engine starts later, on the user interface's call.

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine/upgrade.h"
#include "front/access_rule.h"
#include "front/firmware_store.h"
#include "front/soap_front.h"
#include "front/status_endpoint.h"
#include "platform/instance_lock.h"
#include "platform/memory.h"
#include "platform/termination.h"
#include "service/status_report.h"

namespace {

constexpr const char* kUsage =
    "usage: Ferrolink [--admin-group GROUP]\n"
    "  --admin-group GROUP  members of GROUP may change settings, files and devices\n"
    "                       like the server's own user (default: nobody else)\n";

// The absolute path of the working folder, or empty when it cannot be told.
std::string WorkingFolder() {
  char path[PATH_MAX];
  return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string();
}

// Whether an upload running now sends the file at `path`.
bool UpgradeSendsFile(const std::string& path) {
  uint8_t mac[6];
  uint32_t ip = 0;
  return ferro::FindUpgradingAgent(mac, &ip) == 1 && path == ferro::GetUpgradeParameters().path;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--admin-group") == 0 && i + 1 < argc) {
      ferro::SetAdministratorsGroup(argv[++i]);
    } else {
      std::fputs(kUsage, stderr);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
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
  // GET /api/status: the front serves what the service layer reports.
  ferro::SetStatusProvider(ferro::StatusJson);
  // Uploaded firmware images live beside cfg/ under the working folder (the
  // program folder when started by the loader or the service unit).
  const std::string folder = WorkingFolder();
  static ferro::FirmwareStore firmware(folder.empty() ? std::string() : folder + "/firmware",
                                       UpgradeSendsFile);
  ferro::RunServer(folder.empty() ? nullptr : &firmware);
}
