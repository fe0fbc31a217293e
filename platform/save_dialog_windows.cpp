// The common "save as" dialog (GetSaveFileNameA), owned by the top-level
// window of the user interface's title.
#include <windows.h>
// After windows.h, which it needs.
#include <cderr.h>
#include <commdlg.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/save_dialog.h"

namespace ferro {
namespace {

struct TitleSearch {
  std::wstring title;
  HWND found = nullptr;
};

// A browser shows a page's title followed by " - " or " — " and its own
// name, so such a window counts too.
BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<TitleSearch*>(param);
  wchar_t text[512];
  const int n = GetWindowTextW(window, text, 512);
  if (n <= 0 || !IsWindowVisible(window)) return TRUE;
  const std::wstring_view shown(text, static_cast<size_t>(n));
  const std::wstring_view& title = search->title;
  if (shown.substr(0, title.size()) != title) return TRUE;
  const std::wstring_view rest = shown.substr(title.size());
  if (rest.substr(0, 3) == L" - " || rest.substr(0, 3) == L" \u2014 ") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindOwner(const std::string& title) {
  if (title.empty()) return nullptr;
  if (HWND exact = FindWindowA(nullptr, title.c_str())) return exact;
  TitleSearch search;
  for (char c : title) search.title.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

SaveDialogResult AskSaveFileName(const SaveDialogRequest& request) {
  SaveDialogResult result;
  // The name field: the starting text, and room for any path the file
  // operations take.
  std::vector<char> name(MAX_PATH, '\0');
  request.initialName.copy(name.data(), name.size() - 1);
  // "name\0pattern\0\0"
  std::string filter = request.filterName;
  filter.push_back('\0');
  filter += request.pattern;
  filter.push_back('\0');
  filter.push_back('\0');

  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = FindOwner(request.ownerTitle);
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = name.data();
  dialog.nMaxFile = static_cast<DWORD>(name.size());
  // The dialog would otherwise move the process's working directory to
  // the chosen folder, and the server finds its configuration relative to
  // it.
  dialog.Flags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;

  // The dialog's shell parts need the calling thread in a single-threaded
  // COM apartment.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const BOOL chosen = GetSaveFileNameA(&dialog);
  const DWORD error = chosen ? 0 : CommDlgExtendedError();
  if (SUCCEEDED(com)) CoUninitialize();

  if (chosen) {
    result.confirmed = true;
    result.path = name.data();
    return result;
  }
  if (error == FNERR_BUFFERTOOSMALL) {
    result.reason = "the chosen path is longer than the dialog's buffer";
  } else if (error != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "the save dialog failed (error 0x%04lX)",
                  static_cast<unsigned long>(error));
    result.reason = text;
  }
  // error 0: the user cancelled or closed the dialog.
  return result;
}

}  // namespace ferro
