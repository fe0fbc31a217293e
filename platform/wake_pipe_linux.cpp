#include <fcntl.h>
#include <unistd.h>

#include "platform/wake_pipe.h"

namespace ferro {

WakePipe::~WakePipe() {
  if (read_ >= 0) ::close(read_);
  if (write_ >= 0) ::close(write_);
}

bool WakePipe::Open() {
  int ends[2];
  if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  read_ = ends[0];
  write_ = ends[1];
  return true;
}

void WakePipe::Signal() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(write_, &byte, 1);
}

void WakePipe::Drain() {
  char drain[64];
  while (::read(read_, drain, sizeof drain) > 0) {
  }
}

}  // namespace ferro
