#pragma once
// The memory of answers. One budget bounds what all connections hold for
// their answers at once (an answer that would pass it is refused), so that
// clients that never read cannot grow the server without bound.
//
// And one spare buffer for large answers. A list of thousands of agents
// makes an answer of tens of MiB; taken fresh for every request, such a
// buffer costs a new mapping, a page fault per page and an unmap each time,
// which is more than writing the answer into it. The front hands a large
// answer's buffer back once it is sent, the next large answer is written
// into it, and the spare goes back to the system when no answer has used it
// for a while, or when the budget needs its room.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ferro {

// Below this a buffer comes from the allocator's heap anyway: not kept.
inline constexpr size_t kSpareAnswerMinBytes = 1u << 20;
// A spare unused for this long is released.
inline constexpr uint32_t kSpareAnswerIdleMs = 2000;
// What answers may hold at once unless the front is told otherwise.
inline constexpr size_t kDefaultAnswerBudget = size_t{256} << 20;

class AnswerBuffers {
 public:
  // An empty text with room for `bytes`: the spare when it is large enough.
  std::string Take(size_t bytes, uint32_t now);
  // A sent answer: kept as the spare when it is large (the larger of it and
  // the current spare stays) and the budget has room for it, released
  // otherwise.
  void Give(std::string spent, uint32_t now);
  // Releases the spare once it was idle for kSpareAnswerIdleMs.
  void ReleaseIdle(uint32_t now);

  size_t SpareCapacity() const { return spare_.capacity(); }

  void SetBudget(size_t bytes) { budget_ = bytes; }
  size_t Budget() const { return budget_; }
  // Whether `bytes` more may be held within the budget; the spare is
  // released when only it stands in the way.
  bool Fits(size_t bytes);
  // A connection's holding changes from `before` to `after` bytes.
  void Hold(size_t before, size_t after) { held_ = held_ - before + after; }
  // What connections hold, without the spare.
  size_t Held() const { return held_; }

 private:
  std::string spare_;
  uint32_t last_used_ = 0;
  size_t budget_ = kDefaultAnswerBudget;
  size_t held_ = 0;
};

// The process's one set, used by the front's thread only.
AnswerBuffers& FrontAnswerBuffers();

}  // namespace ferro
