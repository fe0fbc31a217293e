#include "status_report.h"

#include <cstdint>
#include <cstdio>
#include <mutex>

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

const char* Bool(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;  // UTF-8 passes as it is
        }
    }
  }
  out += '"';
  return out;
}

void NoteSaveAsOutcome(std::string_view outcome, std::string_view detail) {
  SaveAsNote& note = LastSaveAs();
  std::lock_guard lock(note.lock);
  ++note.seq;
  note.outcome = outcome;
  note.detail = detail;
}

std::string StatusJson() {
  const bool running = IsEngineRunning();
  const size_t discovered = DiscoveryListSize();
  const size_t watched = WatchedAgentCount();
  const UploadCounts uploads = CountUploads();
  std::string save_as = "null";
  {
    SaveAsNote& note = LastSaveAs();
    std::lock_guard lock(note.lock);
    if (note.seq != 0) {
      save_as = "{\"seq\":" + std::to_string(note.seq) +
                ",\"outcome\":" + JsonString(note.outcome) +
                ",\"detail\":" + JsonString(note.detail) + "}";
    }
  }
  return std::string("{\"engine_running\":") + Bool(running) +
         ",\"discovered\":" + std::to_string(discovered) +
         ",\"watched\":" + std::to_string(watched) +
         ",\"upgrade_running\":" + Bool(uploads.active != 0) +
         ",\"upgrade_waiting\":" + std::to_string(uploads.queued) +
         ",\"upgrade_done\":" + std::to_string(uploads.done) +
         ",\"upgrade_failed\":" + std::to_string(uploads.failed) +
         ",\"device_set_timeout_ms\":" + std::to_string(kDeviceSetTimeoutMs) +
         ",\"version\":" + JsonString(VersionText()) + ",\"save_as\":" + save_as + "}";
}

}  // namespace ferro
