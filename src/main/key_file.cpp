#include "main/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "support/build_settings.h"
#include "support/text.h"

namespace vostrelin {
namespace {

std::optional<std::string> executable_path() {
  std::string buf(4096, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

// The directory that holds path, or nothing for "/" and names without one.
std::optional<std::string> parent_dir(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  if (path == "/" || slash == std::string::npos) return std::nullopt;
  if (slash == 0) return std::string("/");
  return path.substr(0, slash);
}

}  // namespace

Result<std::string> locate_key_file_among(const std::optional<std::string>& executable,
                                          const std::optional<std::string>& home) {
  std::vector<std::string> candidates;
  if (executable) {
    if (std::optional<std::string> dir = parent_dir(*executable)) {
      candidates.push_back(join_path(*dir, KEY_FILE_NAME));
    }
  }
  if (home) {
    candidates.push_back(join_path(*home, KEY_FILE_NAME));
    candidates.push_back(join_path(join_path(*home, ".vostrelin"), KEY_FILE_NAME));
  }

  for (const std::string& path : candidates) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return path;
  }

  std::string message = "Файл vostrelin.key не найден\n\nИскали в:\n";
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (i > 0) message += "\n";
    message += "  ";
    message += utf8_lossy(candidates[i]);
  }
  message += "\n\nЕщё нет токена? Получите бесплатно на ";
  message += SIGNUP_URL;
  return Error(std::move(message));
}

Result<std::string> locate_key_file() { return locate_key_file_among(executable_path(), home_dir()); }

Result<std::string> read_access_token(const std::string& path) {
  constexpr std::string_view READ_FAILED = "Не удалось прочитать файл ключа";
  const auto os_error = [&](int code) {
    return Error(std::error_code(code, std::generic_category()).message()).context(std::string(READ_FAILED));
  };
  // Non-blocking open, so a named pipe in the key file's place cannot hold
  // the session; only regular files are read (a directory fails on read).
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
    ::close(fd);
    return Error("not a regular file").context(std::string(READ_FAILED));
  }
  std::string content;
  std::array<char, 4096> chunk;
  for (;;) {
    ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      ::close(fd);
      return os_error(code);
    }
    if (n == 0) break;
    if (content.size() + static_cast<size_t>(n) > MAX_KEY_FILE_BYTES) {
      ::close(fd);
      return Error("the key file holds more than 1 MiB").context(std::string(READ_FAILED));
    }
    content.append(chunk.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  if (!is_valid_utf8(content)) {
    return Error("the key file is not valid UTF-8").context(std::string(READ_FAILED));
  }
  return std::string(trim_unicode_whitespace(content));
}

Result<std::string> sessions_dir() {
  std::optional<std::string> home = home_dir();
  if (!home) return Error("Не удалось получить домашнюю директорию");
  return join_path(join_path(*home, ".vostrelin"), "sessions");
}

uint16_t inspector_port() {
  const char* value = std::getenv("VOSTRELIN_INSPECTOR_PORT");
  if (value == nullptr || !is_valid_utf8(value)) return DEFAULT_INSPECTOR_PORT;
  // Port 0 would make the system pick a port that no message could name, so
  // it counts as invalid like any other value outside 1..65535.
  std::optional<uint64_t> port = parse_unsigned(value, 65535);
  if (!port || *port == 0) return DEFAULT_INSPECTOR_PORT;
  return static_cast<uint16_t>(*port);
}

}  // namespace vostrelin
