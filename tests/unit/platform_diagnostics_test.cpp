// Diagnostic lines reach their file at once, lines a flood could repeat are
// limited per kind and the rest counted, and what a broken lock order does
// in the product (report once, go on) and in tests (end the program).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#endif

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/diag.h"
#include "platform/ordered_mutex.h"
#include "platform/tick.h"

namespace ferro {
namespace {

// Every test program ends at a broken lock order, whatever the build.
const bool kLockOrderFatalInTests = [] {
  SetLockOrderFatal(true);
  return true;
}();

// Points file descriptor `fd` at a fresh temporary file for the object's
// life; Text() reads what reached the file, without flushing anything.
class Redirect {
 public:
  explicit Redirect(int fd) : fd_(fd), saved_(dup(fd)) {
#ifdef _WIN32
    // Windows removes no open file: this one goes when its last handle does.
    static int count = 0;
    const std::string path =
        (std::filesystem::temp_directory_path() /
         ("ferro-diag-" + std::to_string(::_getpid()) + "-" + std::to_string(count++)))
            .string();
    file_ = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY,
                  _S_IREAD | _S_IWRITE);
#else
    char path[] = "/tmp/ferro-diag-XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
#endif
    dup2(file_, fd_);
  }
  ~Redirect() {
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
  }
#ifdef _WIN32
  // No pread: read from the start, then put the offset, which the
  // redirected descriptor shares, back where it was. The C runtime writes a
  // line end as CR LF there; the lines are compared without the CR.
  std::string Text() const {
    std::string out;
    char buf[512];
    int n;
    const long long was = _lseeki64(file_, 0, SEEK_CUR);
    _lseeki64(file_, 0, SEEK_SET);
    while ((n = _read(file_, buf, sizeof buf)) > 0) {
      for (int i = 0; i < n; ++i) {
        if (buf[i] != '\r') out.push_back(buf[i]);
      }
    }
    _lseeki64(file_, was, SEEK_SET);
    return out;
  }
#else
  std::string Text() const {
    std::string out;
    char buf[512];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(file_, buf, sizeof buf, at)) > 0) {
      out.append(buf, static_cast<size_t>(n));
      at += n;
    }
    return out;
  }
#endif

 private:
  int fd_;
  int saved_;
  int file_ = -1;
};

TEST(PlatformDiagnostics, EveryLineReachesAFileAtOnce) {
  std::fflush(stdout);
  Redirect out(STDOUT_FILENO);
  Diag("receive trap number : %u \n", 7u);
  EXPECT_EQ(out.Text(), "receive trap number : 7 \n");
  // A text without a line end does not wait for the next one.
  Diag("a invalid hdp response packet received");
  EXPECT_EQ(out.Text(), "receive trap number : 7 \na invalid hdp response packet received");
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(PlatformDiagnostics, RepeatedLinesAreLimitedPerKindAndTheRestAreCounted) {
  // The windows run across the wrap of the tick count.
  ManualTickSource clock(0xFFFFFE00u);
  SetTickSource(&clock);
  std::fflush(stdout);
  {
    Redirect out(STDOUT_FILENO);
    DiagLimit traps("flood kind");
    DiagLimit other("quiet kind");
    for (int i = 0; i < 1000; ++i) traps.Print("trap %d\n", i);
    other.Print("other line\n");  // a kind of its own: not held back by the flood
    clock.Advance(kDiagWindowMs - 1);
    traps.Print("still the first window\n");
    EXPECT_EQ(out.Text(), "trap 0\ntrap 1\ntrap 2\ntrap 3\ntrap 4\nother line\n");

    // The next window: the count of the last one first, then the line.
    clock.Advance(1);
    for (int i = 0; i < 8; ++i) traps.Print("next %d\n", i);
    std::string text = out.Text();
    EXPECT_NE(text.find("other line\n996 similar lines suppressed (flood kind)\nnext 0\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(Occurrences(text, "next "), kDiagLinesPerWindow);

    // With no further line of the kind, the periodic report brings the
    // count out once the window is over, and only once.
    ReportSuppressedDiag();
    EXPECT_EQ(Occurrences(out.Text(), "(flood kind)"), 1u);
    clock.Advance(kDiagWindowMs);
    ReportSuppressedDiag();
    ReportSuppressedDiag();
    text = out.Text();
    EXPECT_EQ(Occurrences(text, "3 similar lines suppressed (flood kind)\n"), 1u) << text;
    EXPECT_EQ(Occurrences(text, "(quiet kind)"), 0u);
    traps.Print("after the flood\n");
    EXPECT_TRUE(out.Text().ends_with("(flood kind)\nafter the flood\n")) << out.Text();
  }
  SetTickSource(nullptr);
}

TEST(PlatformDiagnostics, ABrokenLockOrderInTheProductIsReportedOnceAndGoesOn) {
  OrderedMutex outer(2, "outer");
  OrderedMutex inner(5, "inner");
  const uint32_t before = LockOrderViolations();
  std::fflush(stderr);
  Redirect err(STDERR_FILENO);
  SetLockOrderFatal(false);
  for (int i = 0; i < 3; ++i) {
    std::lock_guard b(inner);
    std::lock_guard a(outer);  // taken all the same
  }
  SetLockOrderFatal(true);
  EXPECT_EQ(LockOrderViolations() - before, 3u);
  const std::string text = err.Text();
  if (before == 0) {
    EXPECT_EQ(text,
              "lock order broken: taking outer (rank 2) while holding ranks 0x00000020 "
              "(reported once; going on)\n");
  } else {
    EXPECT_EQ(text, "");  // this process reported its first one already
  }
  EXPECT_EQ(HeldLockRanks(), 0u);
}

}  // namespace
}  // namespace ferro
