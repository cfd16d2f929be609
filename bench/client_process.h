// The client under measurement: the loopback-built variant of the program,
// started as a user would start it (mode and local port), pointed at the
// bench's fake service, with its standard output drained continuously so
// that the counter redraws never block it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "net.h"

namespace vostrelin::bench {

// Where the client's standard output goes.
enum class Output {
  File,      // a file in the bench's working directory
  Terminal,  // a pseudo-terminal whose other end the bench reads and drops
  Inherit,   // the bench's own standard output (the playground)
};

class ClientProcess {
 public:
  // `home` holds the key file; `env` adds to the environment.
  ClientProcess(const std::string& program, const std::string& mode, uint16_t local_port, uint16_t service_port,
                const std::string& home, Output output, const std::map<std::string, std::string>& env);
  ~ClientProcess();
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Ctrl+C, then a bounded wait; a client that does not stop is killed.
  void stop();

  // User plus system CPU seconds of the whole process, from /proc.
  double cpu_seconds() const;
  // Resident size in KiB, from /proc.
  long rss_kib() const;
  // Threads and open descriptors of the process, from /proc; -1 when it
  // cannot be read.
  long thread_count() const;
  long open_descriptors() const;
  // What the client wrote on standard error so far.
  std::string error_text() const;

 private:
  pid_t pid_ = -1;
  int pty_master_ = -1;
  std::string err_path_;
  std::atomic<bool> draining_{false};
  std::thread drain_;
};

// Peak resident size of a process, sampled every few milliseconds while
// the object lives.
class RssSampler {
 public:
  explicit RssSampler(const ClientProcess& process);
  ~RssSampler();
  long peak_kib();

 private:
  const ClientProcess& process_;
  std::atomic<bool> stop_{false};
  std::atomic<long> peak_{0};
  std::thread thread_;
};

}  // namespace vostrelin::bench
