#pragma once
// Short notices to the user interface: the engine's ("trap", "device_set")
// and the service's ("app_exit"). They only name the notice; the server
// installs the sink that delivers it (the push channel), so neither needs
// any knowledge of it.

#include <string_view>

namespace ferro {

using NoticeSink = int (*)(std::string_view text);

// Installs the sink (nullptr: notices are dropped).
void SetNoticeSink(NoticeSink sink);
// Hands `text` to the sink; returns its result, or -1 without a sink.
int SendNotice(std::string_view text);

}  // namespace ferro
