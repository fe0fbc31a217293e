#include "engine/notices.h"

#include <atomic>

namespace ferro {
namespace {
std::atomic<NoticeSink> g_sink{nullptr};
}  // namespace

void SetNoticeSink(NoticeSink sink) { g_sink.store(sink); }

int SendNotice(std::string_view text) {
  const NoticeSink sink = g_sink.load();
  return sink == nullptr ? -1 : sink(text);
}

}  // namespace ferro
