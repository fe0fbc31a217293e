#pragma once
// The sample requests for the browser console: the "*.req.xml" files of the
// folder "auto" under the working directory.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferro {

inline constexpr const char* kSampleFolder = "auto";
inline constexpr const char* kSampleSuffix = ".req.xml";
// Bounds on what one answer carries; the installed samples are far smaller.
inline constexpr size_t kMaxSampleNames = 4096;
inline constexpr size_t kMaxSampleBytes = 1 << 20;

// The names (without the folder) of the regular files in `folder` whose
// names end in ".req.xml", sorted by name, at most kMaxSampleNames.
// Nothing when the folder cannot be read or holds no such file.
std::optional<std::vector<std::string>> ListSampleRequests(const std::string& folder);

// True for a name that stays inside the sample folder: not empty, and no
// "/", "\", ".." or NUL in it.
bool IsPlainSampleName(std::string_view name);

// The text of a sample file with every CR LF read as LF. Nothing when it is
// not a regular file that can be read, or is larger than kMaxSampleBytes.
std::optional<std::string> ReadSampleRequest(const std::string& path);

}  // namespace ferro
