// Thread names on Windows: SetThreadDescription, which debuggers and
// Process Explorer show. It exists from Windows 10 1607 on, so it is looked
// up at run time; on older systems threads stay unnamed.
#include <windows.h>

#include <string>

#include "platform/thread_name.h"

namespace ferro {

void NameCurrentThread(const char* name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set = [] {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    return reinterpret_cast<SetDescription>(reinterpret_cast<void*>(proc));
  }();
  if (set == nullptr || name == nullptr) return;
  // Names are short ASCII words; anything else is cut at the first odd byte.
  std::wstring wide;
  for (const char* p = name; *p != '\0' && wide.size() < 63; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x7F) break;
    wide.push_back(static_cast<wchar_t>(c));
  }
  set(GetCurrentThread(), wide.c_str());
}

}  // namespace ferro
