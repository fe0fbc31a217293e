#pragma once
// One spare buffer for large answers. A list of thousands of agents makes an
// answer of tens of MiB; taken fresh for every request, such a buffer costs a
// new mapping, a page fault per page and an unmap each time, which is more
// than writing the answer into it. The front hands a large answer's buffer
// back once it is sent, the next large answer is written into it, and the
// spare goes back to the system when no answer has used it for a while.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ferro {

// Below this a buffer comes from the allocator's heap anyway: not kept.
inline constexpr size_t kSpareAnswerMinBytes = 1u << 20;
// A spare unused for this long is released.
inline constexpr uint32_t kSpareAnswerIdleMs = 2000;

class AnswerBuffers {
 public:
  // An empty text with room for `bytes`: the spare when it is large enough.
  std::string Take(size_t bytes, uint32_t now);
  // A sent answer: kept as the spare when it is large (the larger of it and
  // the current spare stays), released otherwise.
  void Give(std::string spent, uint32_t now);
  // Releases the spare once it was idle for kSpareAnswerIdleMs.
  void ReleaseIdle(uint32_t now);

  size_t SpareCapacity() const { return spare_.capacity(); }

 private:
  std::string spare_;
  uint32_t last_used_ = 0;
};

// The process's one set, used by the front's thread only.
AnswerBuffers& FrontAnswerBuffers();

}  // namespace ferro
