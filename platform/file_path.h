#pragma once
// File names, reading a regular file, and whole-file writes.

#include <cstddef>
#include <cstdio>
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

// Whether `path` names a regular file (a link is followed). Never waits on
// the file.
bool IsRegularFile(const std::string& path);

// Opens the regular file at `path` for reading (binary); a link is followed.
// Never waits on the file: a FIFO without a writer or a device is given up at
// once rather than waited on. Null when the file cannot be opened or is not a
// regular file, with errno telling why (EISDIR for a folder, EINVAL for any
// other kind of file).
std::FILE* OpenRegularFile(const std::string& path);

// Replaces the file at `path` with exactly `bytes`: they go to a new file in
// the same folder, which then takes the old one's place in one step. On any
// failure the old file (if any) is untouched, no temporary file stays behind,
// and the result is false. A replaced file keeps its permission bits; a link
// at `path` is followed, so the file it points to is replaced. Only a regular
// file is replaced: anything else at `path` (a folder, a FIFO, a device) is
// left as it is and refused, errno EISDIR or EINVAL as above.
bool ReplaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace ferro
