#include "platform/diag.h"

#include <cstdarg>
#include <cstdio>

namespace ferro {
namespace {

void Write(std::FILE* out, const char* format, va_list args) {
  // One locked stream operation per line, so that lines of different
  // threads never interleave, then out to the system at once.
  flockfile(out);
  std::vfprintf(out, format, args);
  std::fflush(out);
  funlockfile(out);
}

}  // namespace

void Diag(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(stdout, format, args);
  va_end(args);
}

void DiagError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(stderr, format, args);
  va_end(args);
}

}  // namespace ferro
