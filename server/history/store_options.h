#pragma once
// The store's settings from the engine's configuration file: optional lines
//   event_database=PATH       where the database lives (default: events.db
//                             in the working folder, beside cfg/)
//   event_max_count=N         events kept at most (0: no limit)
//   event_max_days=N          days an event is kept at most (0: no limit)
//   event_syslog=1            each event also goes to syslog (0: not)
// A value that does not read as its kind is ignored with a line in the log.

#include <string>
#include <string_view>

#include "history/event_store.h"

namespace ferro::history {

// Applies the lines of `plain_text` (the file's unscrambled text) to `options`.
void ApplyStoreOptions(std::string_view plain_text, StoreOptions* options);

// A whole number of at most 10 digits; false otherwise.
bool ParseCount(std::string_view text, uint64_t* out);

}  // namespace ferro::history
