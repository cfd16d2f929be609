// The file side of recording: the sessions directory, the creation of a
// session file under a name of its own, and whole writes. Every call here
// blocks; the recorder runs them on the blocking pool.
//
// A session file is named by the local time at which it is created. Two
// sessions can start within the same second (two client processes, or the
// clock set back at the end of summer time); an existing file is never
// opened again or truncated, and the later session takes the same name with
// "-02", "-03", ... up to "-99" before ".jsonl". The suffixed names still
// pass the inspector's id check, and in the inspector's newest-first order
// (descending bytes, a longer id before its own prefix) each one comes
// before the names it had to avoid.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "support/error.h"

namespace vostrelin::inspector {

inline constexpr unsigned SESSION_FILE_ATTEMPTS = 99;

// An open session file, closed when its owner goes.
class SessionFile {
 public:
  SessionFile() = default;
  explicit SessionFile(int fd) : fd_(fd) {}
  SessionFile(SessionFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  SessionFile& operator=(SessionFile&& other) noexcept;
  SessionFile(const SessionFile&) = delete;
  SessionFile& operator=(const SessionFile&) = delete;
  ~SessionFile() { close(); }

  int fd() const { return fd_; }
  // Errors of close are of no use to anyone here: every write has already
  // been handed to the system and checked.
  void close();

 private:
  int fd_ = -1;
};

struct CreatedSessionFile {
  std::string path;
  SessionFile file;
};

// "%Y-%m-%dT%H-%M-%S" of start in local time; attempt 0 adds nothing,
// attempt n adds "-" and n + 1 in two digits; then ".jsonl".
std::string session_file_name(time_t start, unsigned attempt);

// The directory with all its missing parents; one that exists is fine.
Result<void> create_sessions_dir(const std::string& dir);

// Creates a session file in dir that did not exist before, for writing
// only (permission bits 0666 before the umask). Fails with the system's
// error, "File exists" once every name for start is taken.
Result<CreatedSessionFile> create_session_file(const std::string& dir, time_t start);

// Writes every byte, repeating partial writes; a write that accepts no
// bytes is a failure.
Result<void> write_all(const SessionFile& file, std::string_view bytes);

}  // namespace vostrelin::inspector
