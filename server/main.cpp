// Ferrolink server: the back end of the management utility. It makes sure
// only one server runs, then serves SOAP and GET requests on TCP 64567 and
// notices on the loopback push channel for the life of the process. The
// engine starts later, on the user interface's call (or at launch, when
// asked for: --start-engine).
//
// This file is the one place where the layers are wired together: none of
// them reaches another except through what is handed to it here. In order:
//
//   start                                    its stop
//   end signals -> engine stop               SIGINT, SIGTERM, SIGHUP (Windows:
//                                            console control events): engine
//                                            stop, then exit
//   the one-server lock                      the system's, at exit
//   engine hooks: protocol work, traps       run by the engine stop
//   event history: store, sinks, endpoints   "server_stop" and the last
//                                            writes, on either way out
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
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_config.h"
#include "engine/engine_state.h"
#include "engine/events.h"
#include "engine/monitoring.h"
#include "engine/notices.h"
#include "engine/protocol_hooks.h"
#include "engine/traps.h"
#include "engine/upgrade.h"
#include "front/access_rule.h"
#include "front/firmware_store.h"
#include "front/front.h"
#include "front/history_endpoint.h"
#include "front/metrics_endpoint.h"
#include "front/push_channel.h"
#include "front/soap_front.h"
#include "front/status_endpoint.h"
#include "history/event_store.h"
#include "history/json_answers.h"
#include "history/store_options.h"
#include "net/adapters.h"
#include "platform/instance_lock.h"
#include "platform/memory.h"
#include "platform/socket.h"
#include "platform/termination.h"
#include "platform/version.h"
#include "service/metrics_report.h"
#include "service/status_report.h"
#include "service/unattended.h"

namespace {

constexpr const char* kUsage =
    "usage: Ferrolink [--admin-group GROUP] [--trust-local-users] [--event-db PATH]\n"
    "                 [--event-max-count N] [--event-max-days N] [--syslog|--no-syslog]\n"
    "                 [--start-engine] [--keep-watched-list] [--interfaces NAME,...]\n"
    "  --admin-group GROUP  members of GROUP may change settings, files and devices\n"
    "                       like the server's own user (default: nobody else)\n"
    "  --trust-local-users  every caller on this machine may change them, whoever\n"
    "                       it is (default: off; for a machine of one user, or a\n"
    "                       system that cannot tell a caller's user)\n"
    "  --event-db PATH      the event history's database (default: events.db in the\n"
    "                       working folder, beside cfg/)\n"
    "  --event-max-count N  events kept at most (default 1000000; 0: no limit)\n"
    "  --event-max-days N   days an event is kept at most (default 365; 0: no limit)\n"
#ifdef _WIN32
    "  --syslog             (Linux only: Windows has no local syslog)\n"
#else
    "  --syslog             each event also goes to syslog (facility daemon)\n"
#endif
    "  --no-syslog          ... or not (the default)\n"
    "  --start-engine       start the engine at launch, as a client's\n"
    "                       EngineLayerStartup would (--no-start-engine: on the\n"
    "                       client's call only, the default)\n"
    "  --keep-watched-list  keep the watched list across restarts in watched.cfg in\n"
    "                       the working folder: written on every change, loaded\n"
    "                       when the engine starts (--no-keep-watched-list: not,\n"
    "                       the default)\n"
    "  --interfaces LIST    the engine uses only these interfaces (names, joined by\n"
    "                       commas); the others get no sockets (default, or an\n"
    "                       empty LIST: every interface)\n"
    "  --version            print the version and end\n"
    "These options may also stand in cfg/define.ecf as event_database=,\n"
    "event_max_count=, event_max_days=, event_syslog=1, engine_start=1,\n"
    "watched_list_keep=1 and interfaces=LIST; the command line wins.\n";

// The absolute path of the working folder, or empty when it cannot be told.
std::string WorkingFolder() {
#ifdef _WIN32
  // In UTF-8, as the firmware store names its files.
  std::error_code error;
  const std::u8string path = std::filesystem::current_path(error).u8string();
  return error ? std::string() : std::string(path.begin(), path.end());
#else
  char path[PATH_MAX];
  return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string();
#endif
}

// Whether an upload running now sends the file at `path`.
bool UpgradeSendsFile(const std::string& path) {
  uint8_t mac[6];
  uint32_t ip = 0;
  return ferro::FindUpgradingAgent(mac, &ip) == 1 && path == ferro::GetUpgradeParameters().path;
}

// The server's settings that cfg/define.ecf holds (the event history's and
// the unattended running's), applied to the options (a missing or damaged
// file changes nothing).
void ApplyEcfOptions(ferro::history::StoreOptions* options, ferro::UnattendedOptions* unattended) {
  std::ifstream in(ferro::kEngineConfigPath, std::ios::binary);
  if (!in) return;
  std::string bytes;
  bytes.resize(ferro::kConfigFileMaxBytes + 2);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  const ferro::ConfigBuffer buffer = ferro::ReadConfigText(bytes);
  if (!ferro::ConfigBufferValid(buffer)) return;
  const std::string text = ferro::ConfigUnscramble(buffer.text());
  ferro::history::ApplyStoreOptions(text, options);
  ferro::ApplyUnattendedOptions(text, unattended);
}

ferro::history::EventStore* g_store = nullptr;

void KeepEvent(ferro::EngineEvent&& e) {
  ferro::history::Event event;
  event.kind = std::string(e.kind);
  if (e.mac) event.mac = *e.mac;
  event.address = std::move(e.address);
  event.text = std::move(e.text);
  event.fields = e.fields.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  g_store->Record(std::move(event));
}

void KeepAgentNote(ferro::AgentNote&& note) {
  using What = ferro::history::AgentSighting::What;
  ferro::history::AgentSighting s;
  s.mac = note.mac;
  switch (note.what) {
    case ferro::AgentNote::What::kAnswered:
      s.what = What::kAnswered;
      break;
    case ferro::AgentNote::What::kSilent:
      s.what = What::kSilent;
      break;
    case ferro::AgentNote::What::kDiscoveryEnded:
      s.what = What::kDiscoveryEnded;
      s.time_ms = note.startedMs;
      break;
  }
  s.has_record = note.hasRecord;
  s.address = std::move(note.address);
  s.name = std::move(note.name);
  s.model = std::move(note.model);
  s.firmware = std::move(note.firmware);
  g_store->NoteAgent(std::move(s));
}

// The last event, and what is queued written (a few seconds at most: a
// database that hangs must not keep the process from ending).
void StopHistory(const char* why) {
  ferro::history::Event event;
  event.kind = "server_stop";
  event.text = std::string("server stopping (") + why + ")";
  event.fields = nlohmann::json{{"reason", why}}.dump();
  g_store->Record(std::move(event));
  g_store->Flush(3000);
}

std::vector<std::string> WatchedMacs() {
  std::vector<std::string> macs;
  ferro::WatchedAgent node;
  for (size_t i = 0; ferro::GetWatchedAgent(i, node) != 0; ++i) {
    ferro::history::Mac mac;
    std::memcpy(mac.data(), node.record.macAddr, mac.size());
    macs.push_back(ferro::history::FormatMac(mac));
  }
  return macs;
}

ferro::JsonAnswer Front(ferro::history::Answer a) { return {a.status, std::move(a.json)}; }

bool ParseCountOption(const char* text, uint64_t* out) {
  return ferro::history::ParseCount(text, out);
}

}  // namespace

int main(int argc, char** argv) {
  ferro::history::StoreOptions store_options;
  store_options.path = ferro::history::kDefaultDatabaseName;
  // The file's settings first, so that the command line wins.
  std::optional<std::string> db_option;
  std::optional<uint64_t> max_count, max_days;
  std::optional<bool> syslog_option;
  std::optional<bool> start_engine, keep_watched_list;
  std::optional<std::vector<std::string>> interfaces;
  bool trust_local_users = false;
  for (int i = 1; i < argc; ++i) {
    uint64_t n = 0;
    if (std::strcmp(argv[i], "--admin-group") == 0 && i + 1 < argc) {
      ferro::SetAdministratorsGroup(argv[++i]);
    } else if (std::strcmp(argv[i], "--trust-local-users") == 0) {
      trust_local_users = true;
    } else if (std::strcmp(argv[i], "--event-db") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      db_option = argv[++i];
    } else if (std::strcmp(argv[i], "--event-max-count") == 0 && i + 1 < argc &&
               ParseCountOption(argv[i + 1], &n)) {
      max_count = n;
      ++i;
    } else if (std::strcmp(argv[i], "--event-max-days") == 0 && i + 1 < argc &&
               ParseCountOption(argv[i + 1], &n) && n <= UINT32_MAX) {
      max_days = n;
      ++i;
    } else if (std::strcmp(argv[i], "--syslog") == 0 || std::strcmp(argv[i], "--no-syslog") == 0) {
      syslog_option = std::strcmp(argv[i], "--syslog") == 0;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("Ferrolink %s\n", ferro::VersionText());
      return 0;
    } else if (std::strcmp(argv[i], "--start-engine") == 0 ||
               std::strcmp(argv[i], "--no-start-engine") == 0) {
      start_engine = std::strcmp(argv[i], "--start-engine") == 0;
    } else if (std::strcmp(argv[i], "--keep-watched-list") == 0 ||
               std::strcmp(argv[i], "--no-keep-watched-list") == 0) {
      keep_watched_list = std::strcmp(argv[i], "--keep-watched-list") == 0;
    } else if (std::strcmp(argv[i], "--interfaces") == 0 && i + 1 < argc) {
      interfaces = ferro::SplitAdapterNames(argv[++i]);
    } else {
      std::fputs(kUsage, stderr);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  // Ended by a signal, the server still stops its engine: its uploads go
  // and with them the static ARP entries pinned for them.
  ferro::OnTerminationSignal([](int) {
    ferro::StopEngine();
    ferro::ServerStopping("signal");
  });
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
  if (!ferro::StartSockets()) {
    std::fprintf(stderr, "Ferrolink: the sockets library cannot start; ending.\n");
    return -1;
  }
  if (trust_local_users) {
    ferro::SetTrustLocalUsers(true);
    std::printf(
        "Trusting local users: every caller on this machine may change settings, files "
        "and devices (--trust-local-users).\n");
    std::fflush(stdout);
  }
  ferro::KeepAnswerMemory();
  // The event history: in the working folder unless moved. Never
  // destroyed, so that an engine thread still running at exit never meets
  // a dead store.
  ferro::UnattendedOptions unattended;
  ApplyEcfOptions(&store_options, &unattended);
  if (start_engine) unattended.startEngine = *start_engine;
  if (keep_watched_list) unattended.keepWatchedList = *keep_watched_list;
  if (interfaces) unattended.interfaces = std::move(*interfaces);
  if (db_option) store_options.path = *db_option;
  if (max_count) store_options.max_events = *max_count;
  if (max_days) store_options.max_days = static_cast<uint32_t>(*max_days);
  if (syslog_option) store_options.syslog = *syslog_option;
#ifdef _WIN32
  if (store_options.syslog) {
    std::printf(
        "Windows has no local syslog: the events go to the event history and this log "
        "only.\n");
    std::fflush(stdout);
  }
#endif
  g_store = new ferro::history::EventStore(store_options);
  ferro::history::SetProcessStore(g_store);
  ferro::SetEventSinks(KeepEvent, KeepAgentNote);
  ferro::SetServerStopHook(StopHistory);
  ferro::SetHistoryProviders(
      [](std::string_view query) { return Front(ferro::history::EventsAnswer(*g_store, query)); },
      [](std::string_view query) {
        return Front(ferro::history::InventoryAnswer(*g_store, query, WatchedMacs()));
      },
      [](std::string_view query) { return Front(ferro::history::ForgetAnswer(*g_store, query)); });
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
  ferro::SetEventCountsProvider([] {
    return ferro::EventCounts{ferro::history::EventsWritten(), ferro::history::EventsLost()};
  });
  // Uploaded firmware images live beside cfg/ under the working folder (the
  // program folder when started by the loader or the service unit).
  const std::string folder = WorkingFolder();
  if (unattended.keepWatchedList) {
    const std::string kept =
        (folder.empty() ? std::string() : folder + "/") + ferro::kKeptWatchedListName;
    ferro::KeepWatchedListIn(kept);
    std::printf("Keeping the watched list in %s.\n", kept.c_str());
  }
  if (!unattended.interfaces.empty()) {
    std::string names;
    for (const std::string& name : unattended.interfaces) {
      names += (names.empty() ? "" : ", ") + name;
    }
    std::printf("The engine uses only these interfaces: %s.\n", names.c_str());
    ferro::LimitAdapters(unattended.interfaces);
  }
  std::fflush(stdout);
  static ferro::FirmwareStore firmware(folder.empty() ? std::string() : folder + "/firmware",
                                       UpgradeSendsFile);
  // The one service context, alive for the whole process, and the front's
  // two ports (each ends the process when another program holds it).
  static struct soap service;
  ferro::InitServiceContext(&service);
  const ferro::SocketHandle listener = ferro::OpenServiceListener(&service);
  ferro::OpenPushChannel();
  // The engine's notices ("trap", "device_set", "app_exit") travel on the
  // push channel.
  ferro::SetNoticeSink(ferro::PushSend);

  {
    ferro::history::Event start;
    start.kind = "server_start";
    start.text = std::string("server started (version ") + ferro::VersionText() + ")";
    start.fields = nlohmann::json{{"version", ferro::VersionText()},
                                  {"pid", static_cast<int64_t>(::getpid())},
                                  {"database", store_options.path},
                                  {"syslog", store_options.syslog},
                                  {"start_engine", unattended.startEngine},
                                  {"keep_watched_list", unattended.keepWatchedList},
                                  {"interfaces", unattended.interfaces}}
                       .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    g_store->Record(std::move(start));
  }
  std::printf("Orvex Engine is starting.\n");
  std::fflush(stdout);
  // As if a client had called EngineLayerStartup once the ports were open.
  if (unattended.startEngine) ferro::StartEngineAtLaunch();
  ferro::SoapHandler handler(&service, folder.empty() ? nullptr : &firmware);
  ferro::Front front(listener, handler);
  front.Run();
}
