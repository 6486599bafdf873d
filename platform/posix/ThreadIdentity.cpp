#include "posix/ThreadIdentity.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tamsel::platform {
namespace {

// Field 22 of /proc/self/task/<id>/stat; 0 when the thread is gone or the file unreadable, with
// `unreadable` set when it could not be read for another reason (no file descriptor left, say).
unsigned long long StartTimeOf(pid_t id, bool& unreadable) noexcept {
  unreadable = false;
  char path[64];
  (void)std::snprintf(path, sizeof(path), "/proc/self/task/%d/stat", static_cast<int>(id));
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    unreadable = errno != ENOENT && errno != ESRCH;
    return 0;
  }
  char text[1024];
  const ssize_t length = read(file, text, sizeof(text) - 1);
  close(file);
  if (length <= 0) return 0;
  text[length] = '\0';
  // The thread's name (field 2) is in parentheses and may hold anything: start after it.
  const char* field = std::strrchr(text, ')');
  if (field == nullptr) return 0;
  for (int number = 2; number < 22 && field != nullptr; ++number) {
    field = std::strchr(field + 1, ' ');
  }
  return field != nullptr ? std::strtoull(field + 1, nullptr, 10) : 0;
}

}  // namespace

ThreadIdentity CurrentThreadIdentity() noexcept {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const auto ticksPerSecond = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
  const unsigned long long ticks =
      static_cast<unsigned long long>(now.tv_sec) * ticksPerSecond +
      static_cast<unsigned long long>(now.tv_nsec) * ticksPerSecond / 1000000000ULL;
  return {static_cast<pid_t>(syscall(SYS_gettid)), ticks};
}

bool StillRunning(const ThreadIdentity& thread) noexcept {
  if (thread.id == 0) return false;
  if (syscall(SYS_tgkill, getpid(), thread.id, 0) != 0 && errno == ESRCH) return false;
  bool unreadable = false;
  const unsigned long long startTime = StartTimeOf(thread.id, unreadable);
  if (startTime == 0) {
    // Gone since the check above; or no /proc, or no file descriptor to read it with: then
    // the id, alive a moment ago, is all there is to go by.
    return unreadable || access("/proc/self/task", F_OK) != 0;
  }
  return startTime <= thread.runningAt;
}

}  // namespace tamsel::platform
