// Captures what the process writes to one of its standard streams while the
// object lives, by pointing the descriptor at a temporary file.
#pragma once

#include <string>

namespace vostrelin::test {

class CapturedStream {
 public:
  explicit CapturedStream(int fd);  // STDOUT_FILENO or STDERR_FILENO
  ~CapturedStream();
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;

  // Everything written so far.
  std::string text() const;

 private:
  int fd_;
  int saved_;
  int file_;
};

}  // namespace vostrelin::test
