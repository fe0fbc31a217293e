#include "sample_requests.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace ferro {

std::optional<std::vector<std::string>> ListSampleRequests(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  std::vector<std::string> names;
  const std::string_view suffix = kSampleSuffix;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (name.size() <= suffix.size() || !name.ends_with(suffix)) continue;
    if (!it->is_regular_file(ec) || ec) continue;
    names.push_back(std::move(name));
    if (names.size() == kMaxSampleNames) break;
  }
  if (names.empty()) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

bool IsPlainSampleName(std::string_view name) {
  return !name.empty() &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos &&
         name.find("..") == std::string_view::npos;
}

std::optional<std::string> ReadSampleRequest(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string raw;
  raw.resize(kMaxSampleBytes + 1);
  in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
  if (in.bad()) return std::nullopt;
  raw.resize(static_cast<size_t>(in.gcount()));
  if (raw.size() > kMaxSampleBytes) return std::nullopt;
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text.push_back(raw[i]);
  }
  return text;
}

}  // namespace ferro
