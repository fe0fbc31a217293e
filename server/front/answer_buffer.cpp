#include "answer_buffer.h"

#include <utility>

#include "platform/tick.h"

namespace ferro {

std::string AnswerBuffers::Take(size_t bytes, uint32_t now) {
  std::string out;
  if (bytes >= kSpareAnswerMinBytes && spare_.capacity() >= bytes) {
    out.swap(spare_);
    out.clear();
    last_used_ = now;
  }
  out.reserve(bytes);
  return out;
}

void AnswerBuffers::Give(std::string spent, uint32_t now) {
  if (spent.capacity() < kSpareAnswerMinBytes || spent.capacity() <= spare_.capacity()) return;
  if (held_ > budget_ || spent.capacity() > budget_ - held_) return;
  spare_.swap(spent);
  last_used_ = now;
}  // the smaller one is released here

void AnswerBuffers::ReleaseIdle(uint32_t now) {
  if (spare_.capacity() < kSpareAnswerMinBytes ||
      !TickReached(now, last_used_ + kSpareAnswerIdleMs))
    return;
  std::string().swap(spare_);
}

bool AnswerBuffers::Fits(size_t bytes) {
  if (held_ > budget_ || bytes > budget_ - held_) return false;
  if (spare_.capacity() > budget_ - held_ - bytes) std::string().swap(spare_);
  return true;
}

AnswerBuffers& FrontAnswerBuffers() {
  static AnswerBuffers buffers;
  return buffers;
}

}  // namespace ferro
