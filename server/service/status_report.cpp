#include "status_report.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

#include "engine/device_set.h"
#include "engine/discovery.h"
#include "engine/engine.h"
#include "engine/monitoring.h"
#include "engine/upgrade.h"
#include "platform/version.h"

namespace ferro {
namespace {

struct SaveAsNote {
  std::mutex lock;
  uint64_t seq = 0;  // 0: no "save as" has ended yet
  std::string outcome;
  std::string detail;
};

SaveAsNote& LastSaveAs() {
  static SaveAsNote note;
  return note;
}

}  // namespace

void NoteSaveAsOutcome(std::string_view outcome, std::string_view detail) {
  SaveAsNote& note = LastSaveAs();
  std::lock_guard lock(note.lock);
  ++note.seq;
  note.outcome = outcome;
  note.detail = detail;
}

std::string StatusJson() {
  using Json = nlohmann::ordered_json;
  const UploadCounts uploads = CountUploads();
  Json save_as = nullptr;
  {
    SaveAsNote& note = LastSaveAs();
    std::lock_guard lock(note.lock);
    if (note.seq != 0) {
      save_as = Json{{"seq", note.seq}, {"outcome", note.outcome}, {"detail", note.detail}};
    }
  }
  const Json status = {{"engine_running", IsEngineRunning()},
                       {"discovered", DiscoveryListSize()},
                       {"watched", WatchedAgentCount()},
                       {"upgrade_running", uploads.active != 0},
                       {"upgrade_waiting", uploads.queued},
                       {"upgrade_done", uploads.done},
                       {"upgrade_failed", uploads.failed},
                       {"device_set_timeout_ms", kDeviceSetTimeoutMs},
                       {"version", VersionText()},
                       {"save_as", std::move(save_as)}};
  // A dialog's reason may hold bytes that are not UTF-8: they become U+FFFD.
  return status.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace ferro
