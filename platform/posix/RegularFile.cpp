#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "UniqueHandle.h"

namespace tamsel::platform {
namespace {

struct FileDescriptor {
  using Handle = int;
  static bool IsValid(int descriptor) { return descriptor >= 0; }
  static void Close(int descriptor) { close(descriptor); }
};
using OpenFile = UniqueHandle<FileDescriptor>;

[[noreturn]] void Fail(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

std::filesystem::path LongPathForm(const std::filesystem::path& path) {
  return path;
}

std::string ReadRegularFile(const std::filesystem::path& file, std::size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO with no writer would wait for one.
  const OpenFile opened(open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!opened.IsValid()) Fail(errno, "cannot open");
  struct stat status {};
  if (fstat(opened.Get(), &status) != 0) Fail(errno, "cannot read");
  if (S_ISDIR(status.st_mode)) Fail(EISDIR, "cannot read");
  if (!S_ISREG(status.st_mode)) throw std::runtime_error("cannot read: not a regular file");
  std::string text;
  char block[4096];
  for (;;) {
    const ssize_t got = read(opened.Get(), block, sizeof(block));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail(errno, "cannot read");
    if (got == 0) return text;
    text.append(block, static_cast<std::size_t>(got));
    if (text.size() > maxBytes) {
      throw std::runtime_error("larger than " + std::to_string(maxBytes) + " bytes");
    }
  }
}

}  // namespace tamsel::platform
