#pragma once

#include <string>

namespace ferro {

// The folder that holds the running executable, without a trailing
// separator. Empty when the system cannot tell.
std::string ProgramDirectory();

// The separator between a folder and what it holds.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The short (8.3) form of an existing path as the file system reports it:
// the path itself where it has no separate short form (always on Linux),
// empty when the path is empty or the system cannot convert it.
std::string ShortPath(const std::string& path);

}  // namespace ferro
