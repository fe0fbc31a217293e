#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace ferro {
namespace {

// argv as the C interface wants it; the strings stay owned by `args`.
std::vector<char*> ArgvOf(const std::string& first, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(first.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Spawn settings that undo what the caller may have changed for itself: the
// child starts with default signal handling and an empty signal mask.
class SpawnAttributes {
 public:
  explicit SpawnAttributes(bool ownSession) {
    posix_spawnattr_init(&attr_);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownSession) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attr_, flags);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

int RunProgram(const std::string& path, const std::vector<std::string>& args, ShowMode show,
               int waitSeconds) {
  FileActions actions;
  if (show == ShowMode::kHidden) {
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), 1, 2);
  }
  SpawnAttributes attr(show == ShowMode::kHidden);
  std::vector<char*> argv = ArgvOf(path, args);
  pid_t pid = -1;
  // posix_spawn (not posix_spawnp): the name is never looked up on the path.
  if (posix_spawn(&pid, path.c_str(), actions.get(), attr.get(), argv.data(), environ) != 0) {
    return 0;
  }

  if (waitSeconds < 0) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  while (waitSeconds > 0 && std::chrono::steady_clock::now() < deadline) {
    int status;
    if (waitpid(pid, &status, WNOHANG) != 0) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Not waited for (any more): a watcher collects its exit status whenever
  // it comes, so the program never lingers as a zombie of this process.
  std::thread([pid] {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return 1;
}

CapturedRun RunCaptured(const std::vector<std::string>& argv, size_t outputLimit) {
  CapturedRun run;
  if (argv.empty()) return run;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return run;
  }
  FileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), out[1], 1);
  posix_spawn_file_actions_adddup2(actions.get(), err[1], 2);
  // Nothing else of this process (listening sockets, agent sockets) leaks
  // into the helper.
  posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  SpawnAttributes attr(false);
  const std::vector<std::string> rest(argv.begin() + 1, argv.end());
  std::vector<char*> args = ArgvOf(argv[0], rest);
  pid_t pid = -1;
  const int rc =
      posix_spawnp(&pid, argv[0].c_str(), actions.get(), attr.get(), args.data(), environ);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    return run;
  }
  run.started = true;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.output, &run.errors};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      std::string& sink = *sinks[i];
      sink.append(buf, std::min(static_cast<size_t>(n), outputLimit - sink.size()));
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return run;
  }
  run.exitCode = ExitCodeOf(status);
  return run;
}

bool FindOnSearchPath(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return false;
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate.append("/").append(name);
    if (access(candidate.c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace ferro
