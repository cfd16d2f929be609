#include "support/capture.h"

#include <stdio.h>
#include <unistd.h>

#include <stdexcept>

namespace vostrelin::test {

CapturedStream::CapturedStream(int fd) : fd_(fd) {
  char name[] = "/tmp/vostrelin-capture-XXXXXX";
  file_ = ::mkstemp(name);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  if (fd == STDOUT_FILENO) ::fflush(stdout);
  saved_ = ::dup(fd);
  ::dup2(file_, fd);
}

CapturedStream::~CapturedStream() {
  if (fd_ == STDOUT_FILENO) ::fflush(stdout);
  ::dup2(saved_, fd_);
  ::close(saved_);
  ::close(file_);
}

std::string CapturedStream::text() const {
  std::string out;
  char buf[65536];
  off_t at = 0;
  for (;;) {
    ssize_t n = ::pread(file_, buf, sizeof buf, at);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    at += n;
  }
  return out;
}

}  // namespace vostrelin::test
