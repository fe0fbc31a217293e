#pragma once
// Diagnostic lines on standard output. Each line reaches the output at once,
// whole, even when standard output is a file or a pipe (the server runs
// without a console): a line must not wait in a buffer for the next one, or
// be lost when the process is killed.
//
// A line that a host on the network can cause at will (one per datagram it
// sends) is printed through a DiagLimit of its kind: at most
// kDiagLinesPerWindow lines of the kind in each window of kDiagWindowMs, the
// rest counted and reported in one line "N similar lines suppressed (kind)".
// A flood then costs the log a few lines a second instead of one per datagram.

#include <cstdint>
#include <mutex>

// MinGW's own printf archetype is the system's, which lacks %zu and the
// like; the C++ runtime there formats as the GNU one does.
#ifdef __MINGW32__
#define FERRO_PRINTF gnu_printf
#else
#define FERRO_PRINTF printf
#endif

namespace ferro {

// printf-style; the text is written and flushed as one piece.
[[gnu::format(FERRO_PRINTF, 1, 2)]] void Diag(const char* format, ...);
// The same on standard error (start-up failures).
[[gnu::format(FERRO_PRINTF, 1, 2)]] void DiagError(const char* format, ...);

inline constexpr uint32_t kDiagLinesPerWindow = 5;
inline constexpr uint32_t kDiagWindowMs = 1000;

// One kind of line. Windows follow the current tick source (platform/tick.h):
// a window opens with the first line after the previous one closed.
class DiagLimit {
 public:
  // `kind` names the lines in the summary; a literal (it is kept, not copied).
  explicit DiagLimit(const char* kind);
  ~DiagLimit();
  DiagLimit(const DiagLimit&) = delete;
  DiagLimit& operator=(const DiagLimit&) = delete;

  // Prints the line as Diag does when the window admits it; the summary of
  // an earlier window's suppressed lines goes first.
  [[gnu::format(FERRO_PRINTF, 2, 3)]] void Print(const char* format, ...);

  // For a group of lines that go together (one request's): whether they may
  // be printed now, the group counting as one line; the summary of an
  // earlier window goes out first, as with Print.
  bool Pass();
  // The decision alone, at tick `now`: true when a line may be printed.
  // `report` receives the count of suppressed lines of a window that closed
  // and that were not yet reported (0: nothing to report).
  bool Admit(uint32_t now, uint64_t& report);
  // At tick `now`: the count of suppressed lines of a closed window not yet
  // reported (0 while the window is open); they count as reported after.
  uint64_t TakeClosed(uint32_t now);
  const char* kind() const { return kind_; }

 private:
  const char* const kind_;
  std::mutex mu_;
  bool started_ = false;
  uint32_t windowStart_ = 0;
  uint32_t printed_ = 0;
  uint64_t suppressed_ = 0;
};

// Prints the summary line of every limiter whose window closed with lines
// suppressed. Run about once a second (the engine does), so that the count
// of a flood's last second is reported though no further line of its kind
// comes.
void ReportSuppressedDiag();

}  // namespace ferro
