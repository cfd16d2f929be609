#include "support/output.h"

#include <cerrno>
#include <mutex>
#include <unistd.h>

namespace vostrelin {
namespace {

std::mutex& stream_lock(int fd) {
  static std::mutex out, err;
  return fd == STDOUT_FILENO ? out : err;
}

void write_all(int fd, std::string_view message) {
  std::lock_guard<std::mutex> guard(stream_lock(fd));
  const char* p = message.data();
  size_t left = message.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void write_stdout(std::string_view message) { write_all(STDOUT_FILENO, message); }
void write_stderr(std::string_view message) { write_all(STDERR_FILENO, message); }

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace vostrelin
