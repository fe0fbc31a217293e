#pragma once
// File names and whole-file writes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ferro {

// Longest path the file operations accept, in bytes, terminator included.
inline constexpr size_t kMaxPathBytes = 260;

// A wide path (one code point per unit) in the file system's narrow
// encoding (UTF-8 on Linux). Nothing when the path holds a zero unit or a
// unit that is no character, or when it needs more than maxBytes - 1 bytes:
// a path is used whole or not at all, never cut.
std::optional<std::string> WidePathToNative(std::wstring_view path, size_t maxBytes);

// Replaces the file at `path` with exactly `bytes`: they go to a new file in
// the same folder, which then takes the old one's place in one step. On any
// failure the old file (if any) is untouched, no temporary file stays behind,
// and the result is false. A replaced file keeps its permission bits; a link
// at `path` is followed, so the file it points to is replaced.
bool ReplaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace ferro
