#pragma once
// Short notices from the engine to the user interface ("trap", "device_set").
// The engine only names the notice; the server installs the sink that
// delivers it (the push channel), so the engine needs no knowledge of it.

#include <string_view>

namespace ferro {

using NoticeSink = int (*)(std::string_view text);

// Installs the sink (nullptr: notices are dropped).
void SetNoticeSink(NoticeSink sink);
// Hands `text` to the sink; returns its result, or -1 without a sink.
int SendNotice(std::string_view text);

}  // namespace ferro
