#pragma once
// Starting other programs: the launcher starts the server and the user
// interface, and the server runs small desktop helpers (the save dialog).

#include <cstddef>
#include <string>
#include <vector>

namespace ferro {

enum class ShowMode {
  kHidden,  // no terminal: standard streams on the null device, own session
  kShown,   // inherits the caller's standard streams and session
};

// Starts the executable `path` (taken as given: relative paths resolve
// against the working directory, the search path is not used) with the
// arguments `args`, inheriting environment and working directory. Waits for
// it to end for `waitSeconds` seconds: a negative value waits without limit,
// 0 does not wait. 1 when the program was started, 0 when not.
int RunProgram(const std::string& path, const std::vector<std::string>& args, ShowMode show,
               int waitSeconds);

struct CapturedRun {
  bool started = false;  // the program could be executed
  int exitCode = -1;     // its exit code, or -1 when it ended by a signal
  std::string output;    // its standard output, at most the requested bytes
  std::string errors;    // its standard error, at most the requested bytes
};

// Runs argv[0] (looked up on the search path) to its end and collects at
// most `outputLimit` bytes of each of its standard output and standard
// error; the rest is read and dropped, so the program never blocks on a
// full pipe. Standard input is the null device.
CapturedRun RunCaptured(const std::vector<std::string>& argv, size_t outputLimit);

// True when `name` is an executable file in one of the search path's folders.
bool FindOnSearchPath(const std::string& name);

}  // namespace ferro
