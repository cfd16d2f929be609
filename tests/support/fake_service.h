// A stand-in for the tunnelling service: a server on 127.0.0.1 at a port of
// the system's choosing (so tests run side by side) that plays the service's
// side of each accepted connection from a script. Blocking sockets, one
// thread per connection, and a time-out on every wait, so a test that goes
// wrong fails instead of hanging.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vostrelin::test {

using namespace std::chrono_literals;

// The service's end of one connection.
class FakeConnection {
 public:
  explicit FakeConnection(int fd);
  FakeConnection(const FakeConnection&) = delete;
  FakeConnection& operator=(const FakeConnection&) = delete;

  // One write of all the bytes, then a wait until the client has read them
  // (its receive queue is empty again), so that they never share a read
  // with whatever is sent next. The wait gives up after a second.
  void send(std::string_view bytes);
  // One write, without waiting for the client to read it.
  void send_now(std::string_view bytes);

  // What the client sent that has not been taken yet, or what arrives
  // within the time-out. Nothing when nothing came in time; the empty text
  // once the client has closed its side (then closed_by_client() is true).
  std::optional<std::string> read_some(std::chrono::milliseconds timeout = 5s);

  // Takes exactly expected.size() bytes (waiting up to the time-out for
  // them) and tells whether they are exactly these.
  bool expect(std::string_view expected, std::chrono::milliseconds timeout = 5s);

  // Waits for the client to close its side, keeping what arrives meanwhile.
  bool wait_closed(std::chrono::milliseconds timeout = 5s);

  // Ends the connection at once (the client reads end of stream).
  void close();
  // Makes the connection end with a reset instead, when the handler
  // returns (the client's pending read fails).
  void reset_on_close();

  bool closed_by_client() const { return eof_; }
  // Every byte the client sent, in order.
  const std::string& received() const { return received_; }

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);
  void wait_until_read();

  int fd_;
  std::string pending_;
  std::string received_;
  bool eof_ = false;
};

class FakeService {
 public:
  using Handler = std::function<void(FakeConnection&)>;

  // Listens at once; each accepted connection runs handler on a thread of
  // its own and is closed when handler returns.
  explicit FakeService(Handler handler);
  // Stops accepting, ends the open connections and joins every thread.
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  uint16_t port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }

  // Connections accepted so far.
  size_t connections() const { return accepted_.load(); }
  // Waits until at least n connections have been accepted.
  bool wait_connections(size_t n, std::chrono::milliseconds timeout = 10s);
  // Waits until at least n handlers have returned.
  bool wait_handled(size_t n, std::chrono::milliseconds timeout = 10s);

 private:
  void accept_loop();
  void serve(int fd);

  Handler handler_;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<size_t> accepted_{0};
  std::thread acceptor_;

  std::mutex mutex_;
  std::condition_variable changed_;
  size_t handled_ = 0;
  std::set<int> open_fds_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
};

// The service's side of the handshake. Each reply goes out in its own
// write; a reply that is absent makes the service close the connection at
// that step instead of answering.
struct HandshakeScript {
  std::optional<std::string> ehlo = "EHLO.1";
  std::optional<std::string> auth = "AUTH.OK";
  std::optional<std::string> opts = "OPTS.OK";
  // Sent after the options reply, each in its own write: whole frames,
  // pieces of frames, or several frames glued together.
  std::vector<std::string> rule_writes = {"RULE.0."};
  // Close after the rule writes instead of waiting for "CONN".
  bool close_after_rules = false;
  std::optional<std::string> conn = "CONN.demo.tunnel.example";
  // Where the script closes, end the connection with a reset.
  bool reset = false;
};

struct HandshakeLog {
  // Each message the client sent, in order.
  std::vector<std::string> messages;
  // The client closed the connection while the service waited for its next
  // message.
  bool client_closed = false;
  // Every step of the script was played, the reply to "CONN" included.
  bool completed = false;
};

// Plays the script on one connection: reads each message of the client and
// answers it as the script says. Returns when the script ends, the client
// closes, or a message does not come within the time-out.
HandshakeLog play_handshake(FakeConnection& connection, const HandshakeScript& script);

}  // namespace vostrelin::test
