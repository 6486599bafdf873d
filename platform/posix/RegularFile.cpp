#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace platform {
namespace {

class OpenFile {
 public:
  explicit OpenFile(int descriptor) : descriptor_(descriptor) {}
  ~OpenFile() {
    if (descriptor_ >= 0) close(descriptor_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int Descriptor() const { return descriptor_; }

 private:
  int descriptor_;
};

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
  if (opened.Descriptor() < 0) Fail(errno, "cannot open");
  struct stat status {};
  if (fstat(opened.Descriptor(), &status) != 0) Fail(errno, "cannot read");
  if (S_ISDIR(status.st_mode)) Fail(EISDIR, "cannot read");
  if (!S_ISREG(status.st_mode)) throw std::runtime_error("cannot read: not a regular file");
  std::string text;
  char block[4096];
  for (;;) {
    const ssize_t got = read(opened.Descriptor(), block, sizeof(block));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail(errno, "cannot read");
    if (got == 0) return text;
    text.append(block, static_cast<std::size_t>(got));
    if (text.size() > maxBytes) {
      throw std::runtime_error("larger than " + std::to_string(maxBytes) + " bytes");
    }
  }
}

}  // namespace platform
