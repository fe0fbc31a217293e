#pragma once
// The JSON answers of the history's endpoints (the front serves them):
//   EventsAnswer     GET /api/events?FILTERS
//   InventoryAnswer  GET /api/inventory[?offline=1]
//   ForgetAnswer     DELETE /api/inventory?mac=MAC
// Each takes the request's query string as sent.

#include <string>
#include <string_view>
#include <vector>

#include "history/event_store.h"

namespace ferro::history {

struct Answer {
  int status = 200;
  std::string json;
};

Answer EventsAnswer(EventStore& store, std::string_view query);
// `watched`: the MACs ("00:11:22:aa:bb:cc") of the agents watched now.
Answer InventoryAnswer(EventStore& store, std::string_view query,
                       const std::vector<std::string>& watched);
Answer ForgetAnswer(EventStore& store, std::string_view query);

}  // namespace ferro::history
