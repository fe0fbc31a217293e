#include "platform/diag.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/tick.h"

namespace ferro {
namespace {

void Write(std::FILE* out, const char* format, va_list args) {
  // One locked stream operation per line, so that lines of different
  // threads never interleave, then out to the system at once.
#ifdef _WIN32
  _lock_file(out);
  std::vfprintf(out, format, args);
  std::fflush(out);
  _unlock_file(out);
#else
  flockfile(out);
  std::vfprintf(out, format, args);
  std::fflush(out);
  funlockfile(out);
#endif
}

void PrintSummary(uint64_t suppressed, const char* kind) {
  Diag("%" PRIu64 " similar lines suppressed (%s)\n", suppressed, kind);
}

// Every live limiter, for ReportSuppressedDiag. Never destroyed: limiters
// are function statics that may outlive any other static.
struct LimitRegistry {
  std::mutex mu;  // taken before a limiter's own
  std::vector<DiagLimit*> limits;
};
LimitRegistry& Registry() {
  static auto* registry = new LimitRegistry;
  return *registry;
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

DiagLimit::DiagLimit(const char* kind) : kind_(kind) {
  LimitRegistry& r = Registry();
  std::lock_guard lock(r.mu);
  r.limits.push_back(this);
}

DiagLimit::~DiagLimit() {
  LimitRegistry& r = Registry();
  std::lock_guard lock(r.mu);
  std::erase(r.limits, this);
}

bool DiagLimit::Admit(uint32_t now, uint64_t& report) {
  std::lock_guard lock(mu_);
  report = 0;
  if (!started_ || TickElapsed(now, windowStart_, kDiagWindowMs)) {
    report = suppressed_;
    suppressed_ = 0;
    started_ = true;
    windowStart_ = now;
    printed_ = 0;
  }
  if (printed_ < kDiagLinesPerWindow) {
    ++printed_;
    return true;
  }
  ++suppressed_;
  return false;
}

uint64_t DiagLimit::TakeClosed(uint32_t now) {
  std::lock_guard lock(mu_);
  if (suppressed_ == 0 || !TickElapsed(now, windowStart_, kDiagWindowMs)) return 0;
  const uint64_t count = suppressed_;
  suppressed_ = 0;
  return count;
}

bool DiagLimit::Pass() {
  uint64_t report = 0;
  const bool admitted = Admit(GetTick(), report);
  if (report != 0) PrintSummary(report, kind_);
  return admitted;
}

void DiagLimit::Print(const char* format, ...) {
  if (!Pass()) return;
  va_list args;
  va_start(args, format);
  Write(stdout, format, args);
  va_end(args);
}

void ReportSuppressedDiag() {
  const uint32_t now = GetTick();
  LimitRegistry& r = Registry();
  std::lock_guard lock(r.mu);
  for (DiagLimit* limit : r.limits) {
    if (const uint64_t count = limit->TakeClosed(now)) PrintSummary(count, limit->kind());
  }
}

}  // namespace ferro
