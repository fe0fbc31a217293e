// Starting programs on Windows with CreateProcessA. Only the handles named
// here reach a child (the standard streams it is given), never the server's
// sockets or files.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace ferro {
namespace {

// One argument as the C runtime of the child splits its command line: in
// quotes when it is empty or holds a space, a tab or a quote, with quotes
// and the backslashes before them escaped.
void AppendArgument(std::string& line, const std::string& arg) {
  if (!line.empty()) line.push_back(' ');
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    line += arg;
    return;
  }
  line.push_back('"');
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    line.append(backslashes, '\\');
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, '\\');
  line.push_back('"');
}

std::string CommandLine(const std::string& first, const std::vector<std::string>& args) {
  std::string line;
  AppendArgument(line, first);
  for (const std::string& a : args) AppendArgument(line, a);
  return line;
}

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE* out() {
    reset();
    return &h_;
  }
  void reset() {
    if (h_ != nullptr) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_;
};

// The null device, inheritable, for a child's standard stream.
HANDLE OpenNull(DWORD access) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                     nullptr);
}

struct Started {
  Handle process;
  Handle thread;
};

// Starts `line` (with `application` as the executable when given; the
// search path is used only without it). With `streams`, the child gets
// exactly those three handles as its standard input, output and error and
// inherits nothing else; without, it inherits no handle and shares the
// caller's console.
bool Start(const char* application, std::string line, const HANDLE* streams, DWORD creation,
           WORD show, Started& started) {
  STARTUPINFOEXA info{};
  info.StartupInfo.cb = sizeof info;
  info.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
  info.StartupInfo.wShowWindow = show;
  std::unique_ptr<char[]> attributes;
  LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
  HANDLE inherit[3] = {};
  DWORD inheritCount = 0;
  if (streams != nullptr) {
    info.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    info.StartupInfo.hStdInput = streams[0];
    info.StartupInfo.hStdOutput = streams[1];
    info.StartupInfo.hStdError = streams[2];
    for (int i = 0; i < 3; ++i) {
      if (std::find(inherit, inherit + inheritCount, streams[i]) == inherit + inheritCount) {
        inherit[inheritCount++] = streams[i];
      }
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    attributes.reset(new char[size]);
    list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.get());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                   inheritCount * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return false;
    }
    info.lpAttributeList = list;
    creation |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION pi{};
  const BOOL ok =
      CreateProcessA(application, line.data(), nullptr, nullptr, streams != nullptr ? TRUE : FALSE,
                     creation, nullptr, nullptr, &info.StartupInfo, &pi);
  if (list != nullptr) DeleteProcThreadAttributeList(list);
  if (!ok) return false;
  *started.process.out() = pi.hProcess;
  *started.thread.out() = pi.hThread;
  return true;
}

}  // namespace

int RunProgram(const std::string& name, const std::vector<std::string>& args, ShowMode show,
               int waitSeconds) {
  // The same name starts the same program on both systems: "./Ferrolink"
  // is Ferrolink.exe here (CreateProcess adds no extension to a path).
  const size_t base = name.find_last_of("\\/");
  const bool bare = name.find('.', base == std::string::npos ? 0 : base + 1) == std::string::npos;
  const std::string path = bare ? name + ".exe" : name;
  Started started;
  if (show == ShowMode::kHidden) {
    // No console of its own, no window, standard streams on the null device.
    Handle in(OpenNull(GENERIC_READ)), out(OpenNull(GENERIC_WRITE));
    if (in.get() == nullptr || out.get() == nullptr) return 0;
    const HANDLE streams[3] = {in.get(), out.get(), out.get()};
    if (!Start(path.c_str(), CommandLine(path, args), streams,
               CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, SW_HIDE, started)) {
      return 0;
    }
  } else if (!Start(path.c_str(), CommandLine(path, args), nullptr, 0, SW_SHOWNORMAL, started)) {
    return 0;
  }
  if (waitSeconds != 0) {
    const DWORD limit =
        waitSeconds < 0 ? INFINITE : static_cast<DWORD>(std::min(waitSeconds, 86400)) * 1000u;
    WaitForSingleObject(started.process.get(), limit);
  }
  // Closing the handles does not end the program; Windows keeps no zombie.
  return 1;
}

CapturedRun RunCaptured(const std::vector<std::string>& argv, size_t outputLimit) {
  CapturedRun run;
  if (argv.empty()) return run;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  Handle outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(outRead.out(), outWrite.out(), &sa, 0) ||
      !CreatePipe(errRead.out(), errWrite.out(), &sa, 0)) {
    return run;
  }
  // Only the child's ends are inherited.
  SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead.get(), HANDLE_FLAG_INHERIT, 0);
  Handle in(OpenNull(GENERIC_READ));
  if (in.get() == nullptr) return run;
  const HANDLE streams[3] = {in.get(), outWrite.get(), errWrite.get()};
  const std::vector<std::string> rest(argv.begin() + 1, argv.end());
  Started started;
  const bool ok =
      Start(nullptr, CommandLine(argv[0], rest), streams, CREATE_NO_WINDOW, SW_HIDE, started);
  // The pipes end when the child's copies of the write ends close.
  outWrite.reset();
  errWrite.reset();
  in.reset();
  if (!ok) return run;
  run.started = true;
  // Each pipe is drained on its own so that the child never blocks on one.
  auto drain = [outputLimit](HANDLE pipe, std::string& sink) {
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) {
      sink.append(buf, std::min(static_cast<size_t>(n), outputLimit - sink.size()));
    }
  };
  std::thread errors(drain, errRead.get(), std::ref(run.errors));
  drain(outRead.get(), run.output);
  errors.join();
  WaitForSingleObject(started.process.get(), INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(started.process.get(), &code)) run.exitCode = static_cast<int>(code);
  return run;
}

bool FindOnSearchPath(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/:") != std::string::npos) return false;
  // CreateProcess adds ".exe" to a name without an extension.
  const std::string file = name.find('.') == std::string::npos ? name + ".exe" : name;
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    const size_t semicolon = rest.find(';');
    const std::string_view dir = rest.substr(0, semicolon);
    if (!dir.empty()) {
      std::string candidate(dir);
      if (candidate.back() != '\\' && candidate.back() != '/') candidate.push_back('\\');
      candidate += file;
      const DWORD attributes = GetFileAttributesA(candidate.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return true;
      }
    }
    if (semicolon == std::string_view::npos) break;
    rest.remove_prefix(semicolon + 1);
  }
  return false;
}

}  // namespace ferro
