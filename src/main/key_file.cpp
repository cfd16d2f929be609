#include "main/key_file.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "main/build_settings.h"
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

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

std::optional<std::string> home_dir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return std::string(home);

  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  for (;;) {
    int rc = ::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    break;
  }
  if (found == nullptr || found->pw_dir == nullptr || *found->pw_dir == '\0') return std::nullopt;
  return std::string(found->pw_dir);
}

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
