#pragma once
// The server's state in a few numbers, as the JSON object that GET
// /api/status answers with (main.cpp hands StatusJson to the front).

#include <string>
#include <string_view>

namespace ferro {

// {"engine_running", "discovered", "watched", "upgrade_running",
// "upgrade_waiting", "upgrade_done", "upgrade_failed", "device_set_timeout_ms",
// "version", "save_as"}: each list read under its own lock, one after the
// other. "save_as" is null until a "save as" has ended, then what the latest
// one came to (NoteSaveAsOutcome).
std::string StatusJson();

// Records how a "save as" ended, for a client that got only its errorcode:
// `outcome` is one of "saved", "cancelled", "no_dialog", "busy",
// "write_failed"; `detail` says more in words (the reason there was no
// dialog, the file and the error). Each call counts up "seq".
void NoteSaveAsOutcome(std::string_view outcome, std::string_view detail);

}  // namespace ferro
