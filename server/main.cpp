// Ferrolink server: the back end of the management utility. It makes sure
// only one server runs, then serves SOAP and GET requests on TCP 64567 and
// notices on the loopback push channel for the life of the process. The
// engine starts later, on the user interface's call.
//
// This file is the one place where the layers are wired together: none of
// them reaches another except through what is handed to it here. In order:
//
//   start                                    its stop
//   end signals -> engine stop               SIGINT, SIGTERM, SIGHUP: engine
//                                            stop, then exit
//   the one-server lock                      the system's, at exit
//   engine hooks: protocol work, traps       run by the engine stop
//   status summary: service -> front         -
//   metrics: service -> front                -
//   firmware store (front)                   -
//   service listener, push channel (front)   the system's, at exit
//   notices: engine -> push channel          -
//   serving requests, for ever (front)       -
//   engine threads: on EngineLayerStartup    GSoapClose: "app_exit" notice,
//                                            engine stop, exit 0

#include <stdsoap2.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "engine/notices.h"
#include "engine/protocol_hooks.h"
#include "engine/traps.h"
#include "engine/upgrade.h"
#include "front/access_rule.h"
#include "front/firmware_store.h"
#include "front/front.h"
#include "front/metrics_endpoint.h"
#include "front/push_channel.h"
#include "front/soap_front.h"
#include "front/status_endpoint.h"
#include "platform/instance_lock.h"
#include "platform/memory.h"
#include "platform/termination.h"
#include "service/metrics_report.h"
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
  // The engine's work on the packets it receives, its periodic passes and
  // its clean-ups at stop, and where received traps go. Only registered
  // here: the engine's threads start on EngineLayerStartup.
  ferro::InstallEngineProtocol();
  ferro::SetTrapCallback(ferro::TrapCallback, nullptr);
  // GET /api/status: the front serves what the service layer reports.
  ferro::SetStatusProvider(ferro::StatusJson);
  // GET /metrics: the engine's figures from the service layer; the front
  // adds its own SOAP request counts.
  ferro::SetMetricsProvider(ferro::WriteEngineMetrics);
  // Uploaded firmware images live beside cfg/ under the working folder (the
  // program folder when started by the loader or the service unit).
  const std::string folder = WorkingFolder();
  static ferro::FirmwareStore firmware(folder.empty() ? std::string() : folder + "/firmware",
                                       UpgradeSendsFile);
  // The one service context, alive for the whole process, and the front's
  // two ports (each ends the process when another program holds it).
  static struct soap service;
  ferro::InitServiceContext(&service);
  const int listener = ferro::OpenServiceListener(&service);
  ferro::OpenPushChannel();
  // The engine's notices ("trap", "device_set", "app_exit") travel on the
  // push channel.
  ferro::SetNoticeSink(ferro::PushSend);

  std::printf("Orvex Engine is starting.\n");
  std::fflush(stdout);
  ferro::SoapHandler handler(&service, folder.empty() ? nullptr : &firmware);
  ferro::Front front(listener, handler);
  front.Run();
}
