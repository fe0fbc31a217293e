#include "fault.h"

namespace ferro {

std::string TooFewWatchedReason(int asked, size_t watched) {
  return "monitorNum " + std::to_string(asked) + " asks for more agents than are watched (" +
         std::to_string(watched) + ")";
}

}  // namespace ferro
