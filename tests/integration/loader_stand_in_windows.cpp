// A stand-in for a program the loader starts on Windows: it writes how it
// was started to NAME.started in its working directory (NAME: its own file
// name), so that the loader can be checked without the real server.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  std::string name(path, n);
  name = name.substr(name.find_last_of("\\/") + 1);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : -1;
  const std::string report = name + ".started";
  std::FILE* f = std::fopen((report + ".tmp").c_str(), "w");
  if (f == nullptr) return 1;
  std::fprintf(f, "show=%d\n", show);
  std::fclose(f);
  return MoveFileA((report + ".tmp").c_str(), report.c_str()) ? 0 : 1;
}
