// Small blocking-socket helpers shared by the bench's fake service, its
// local servers and its direct load generators. Everything is on 127.0.0.1,
// and every wait that could hang has a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vostrelin::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A socket bound to 127.0.0.1 at a port of the system's choosing (or at
// `port` when it is not 0); for SOCK_STREAM it also listens. -1 on failure.
int bind_loopback(int type, uint16_t& port, int backlog = 4096);

// A TCP connection to 127.0.0.1:port, TCP_NODELAY set; -1 on failure.
int connect_loopback(uint16_t port);

// A UDP socket connected to 127.0.0.1:port; -1 on failure.
int udp_connected(uint16_t port);

// Sends every byte, waiting for room until the deadline. False on an error
// or when the deadline passes first.
bool send_all(int fd, const void* data, size_t size, Clock::time_point deadline);
inline bool send_all(int fd, std::string_view bytes, Clock::time_point deadline) {
  return send_all(fd, bytes.data(), bytes.size(), deadline);
}

// Waits for fd to become readable; false when the time passes first.
bool wait_readable(int fd, std::chrono::milliseconds timeout);

// Seconds of CPU the calling thread has used.
double thread_cpu_seconds();

// Asks the kernel for large socket buffers (falls back to what it allows).
void large_buffers(int fd, int bytes);

// Starts a detached-by-owner thread with a small stack, for servers that
// keep one thread per idle connection. Returns the pthread handle.
unsigned long spawn_small_thread(std::function<void()> body);
void join_thread(unsigned long handle);

}  // namespace vostrelin::bench
