// Ferroview.exe: the desktop side on Windows. The run (loader/ferroview.h)
// goes on a thread of its own while this thread serves a message-only
// window, which owns the icon in the notification area: each notice shows
// as a balloon there, and the icon goes when the program ends.
#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <thread>

#include "loader/ferroview.h"

namespace {

constexpr UINT kNoticeMessage = WM_APP + 1;  // lParam: the NoticeText to show
constexpr UINT kDoneMessage = WM_APP + 2;    // the run has ended
constexpr UINT kIconId = 1;

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// Copies `text` into a fixed field of the notification data, cut to fit.
template <size_t N>
void Put(wchar_t (&field)[N], const std::string& text) {
  const std::wstring w = Wide(text);
  const size_t n = w.size() < N ? w.size() : N - 1;
  w.copy(field, n);
  field[n] = L'\0';
}

class TrayIcon {
 public:
  void Attach(HWND window) { window_ = window; }

  void Show(const ferro::view::NoticeText& text) {
    NOTIFYICONDATAW data = Base();
    data.uFlags = NIF_ICON | NIF_TIP | NIF_INFO;
    data.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32516));  // IDI_INFORMATION
    Put(data.szTip, "Ferroview");
    Put(data.szInfoTitle, text.title);
    Put(data.szInfo, text.body);
    data.dwInfoFlags = NIIF_INFO;
    // The icon is added with the first notice, and again should the
    // notification area have lost it (it was not there yet, or restarted).
    bool shown = added_ && Shell_NotifyIconW(NIM_MODIFY, &data);
    if (!shown) shown = added_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
    std::printf("Ferroview: %s%s\n", text.title, shown ? "" : " (no notification area)");
    std::fflush(stdout);
  }

  void Remove() {
    if (!added_) return;
    NOTIFYICONDATAW data = Base();
    Shell_NotifyIconW(NIM_DELETE, &data);
    added_ = false;
  }

 private:
  NOTIFYICONDATAW Base() const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = kIconId;
    return data;
  }

  HWND window_ = nullptr;
  bool added_ = false;
};

TrayIcon tray;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kNoticeMessage:
      tray.Show(*reinterpret_cast<const ferro::view::NoticeText*>(lParam));
      return 0;
    case kDoneMessage:
      tray.Remove();
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

class WindowsDesktop final : public ferro::view::Desktop {
 public:
  explicit WindowsDesktop(HWND window) : window_(window) {}

  void Log(const std::string& text) override {
    // A windowed program shows no output; whoever started it may collect it.
    std::printf("Ferroview: %s\n", text.c_str());
    std::fflush(stdout);
  }

  bool OpenInterface(const std::string& url) override {
    const std::wstring address = Wide(url);
    // The shell's "open" of an address starts the user's default browser.
    const auto rc = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return rc > 32;
  }

  void Notify(const ferro::view::NoticeText& text) override {
    // The window's thread shows it; this one waits, so that the notices
    // and the log stay in the order of the notices.
    SendMessageW(window_, kNoticeMessage, 0, reinterpret_cast<LPARAM>(&text));
  }

 private:
  HWND window_;
};

}  // namespace

int main() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"FerroviewNotices";
  if (RegisterClassW(&windowClass) == 0) return 1;
  const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Ferroview", 0, 0, 0, 0, 0,
                                      HWND_MESSAGE, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  tray.Attach(window);

  int code = 0;
  std::thread run([&code, window] {
    // The shell's calls want a single-threaded apartment on the thread that
    // makes them.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    WindowsDesktop desktop(window);
    code = ferro::view::Run(desktop);
    if (SUCCEEDED(com)) CoUninitialize();
    PostMessageW(window, kDoneMessage, 0, 0);
  });
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  run.join();
  return code;
}
