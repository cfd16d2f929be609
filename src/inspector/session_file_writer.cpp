#include "inspector/session_file_writer.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "support/clock.h"
#include "support/paths.h"

namespace vostrelin::inspector {
namespace {

Error errno_error(int err) { return system_error(std::error_code(err, std::generic_category())); }

}  // namespace

SessionFile& SessionFile::operator=(SessionFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void SessionFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string session_file_name(time_t start, unsigned attempt) {
  std::string name = format_local_time(start, "%Y-%m-%dT%H-%M-%S");
  if (attempt > 0) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%02u", attempt + 1);
    name += suffix;
  }
  name += ".jsonl";
  return name;
}

Result<void> create_sessions_dir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return system_error(ec);
  return {};
}

Result<CreatedSessionFile> create_session_file(const std::string& dir, time_t start) {
  int err = EEXIST;
  for (unsigned attempt = 0; attempt < SESSION_FILE_ATTEMPTS; ++attempt) {
    std::string path = join_path(dir, session_file_name(start, attempt));
    // O_EXCL: an earlier session's journal is never reopened or truncated,
    // and a link planted under the name is not followed.
    int fd;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return CreatedSessionFile{std::move(path), SessionFile(fd)};
    err = errno;
    if (err != EEXIST) break;
  }
  return errno_error(err);
}

Result<void> write_all(const SessionFile& file, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(file.fd(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno_error(errno);
    }
    if (n == 0) return Error("write accepted no bytes");
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

}  // namespace vostrelin::inspector
