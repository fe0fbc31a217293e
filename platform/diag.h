#pragma once
// Diagnostic lines on standard output. Each line reaches the output at once,
// whole, even when standard output is a file or a pipe (the server runs
// without a console): a line must not wait in a buffer for the next one, or
// be lost when the process is killed.

namespace ferro {

// printf-style; the text is written and flushed as one piece.
[[gnu::format(printf, 1, 2)]] void Diag(const char* format, ...);
// The same on standard error (start-up failures).
[[gnu::format(printf, 1, 2)]] void DiagError(const char* format, ...);

}  // namespace ferro
