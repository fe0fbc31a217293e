// A stand-in for Windows' netsh.exe, put in place of Wine's (whose firewall
// commands do nothing): it appends its command line, in UTF-8, as one line
// to the file that FERRO_NETSH_LOG names, and ends with the exit code that
// FERRO_NETSH_EXIT gives (0 without it), so that the installer's firewall
// commands, and what it does when they fail, can be checked.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  const wchar_t* line = GetCommandLineW();
  const int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return 1;
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), size, nullptr, nullptr);
  text.resize(static_cast<size_t>(size) - 1);
  const char* log = std::getenv("FERRO_NETSH_LOG");
  if (log == nullptr) return 1;
  std::FILE* f = std::fopen(log, "ab");
  if (f == nullptr) return 1;
  std::fprintf(f, "%s\n", text.c_str());
  std::fclose(f);
  const char* code = std::getenv("FERRO_NETSH_EXIT");
  return code != nullptr ? std::atoi(code) : 0;
}
