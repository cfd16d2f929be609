// Raw TCP on loopback for tests of servers: a blocking client with bounded
// waits, and a capture of the process's standard error for messages that
// server tasks write there.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace vostrelin::test {

class LoopbackClient {
 public:
  // Connects to 127.0.0.1:port; throws when that fails.
  explicit LoopbackClient(uint16_t port);
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  void send(std::string_view bytes);
  void shutdown_write();
  // Closes with a reset instead of an orderly end.
  void reset();

  // Everything until the peer ends the stream. closed() tells whether it did
  // so within the time-out.
  std::string read_to_end(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool closed() const { return closed_; }

  // Whether a byte or the end of the stream arrives within the time-out.
  bool readable_within(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
  bool closed_ = false;
};

// Sends request and returns all that comes back until the server closes.
std::string round_trip(uint16_t port, std::string_view request);

// A free TCP port on 127.0.0.1 at the moment of the call.
uint16_t free_port();

// Redirects file descriptor 2 into a temporary file for the object's life.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string text() const;
  // True once the captured text holds needle, within the time-out.
  bool wait_for(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  int saved_ = -1;
  std::string path_;
};

}  // namespace vostrelin::test
