// The bench's stand-in for the tunnelling service: a control listener on
// 127.0.0.1, the service's side of the handshake, and a reader of the
// client's forwarding frames that hands payload bytes over in place (no
// copy, no per-frame allocation), so that the service side is never what
// limits a measurement.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net.h"

namespace vostrelin::bench {

// What the client sends after the handshake: "PONG" (bare), "MESG.id.n."
// with n payload bytes, "TCPC.id" (ends where the next frame begins) and
// "HTPC.id.". Payload arrives in pieces as it is read; `last` marks the
// piece that ends a frame.
struct ClientFrameEvents {
  std::function<void(std::string_view id, const char* bytes, size_t n, bool last)> data;
  std::function<void(std::string_view id)> tcp_close;
  // The bytes fed so far end inside a "TCPC." frame (its id may still be
  // empty or short): that frame ends only with the first byte of the next
  // one, which the client may not send for a long time. Called once per
  // such frame, at the end of the feed that leaves it open, with its id so
  // far; a PING then makes the client's PONG end it.
  std::function<void(std::string_view id)> tcp_close_pending;
  std::function<void(std::string_view id)> http_close;
  std::function<void()> pong;
};

class ClientFrameParser {
 public:
  ClientFrameEvents events;
  // False once the bytes can no longer be client frames (then `fault` says
  // why); the parser takes nothing more after that.
  bool feed(const char* p, size_t n);
  std::string fault;

 private:
  enum class State { Tag, Dot, MesgId, MesgLen, Payload, TcpcId, HtpcId };
  State state_ = State::Tag;
  char tag_[4] = {};
  int tag_len_ = 0;
  int kind_ = 0;
  std::string id_;
  bool close_told_ = false;  // tcp_close_pending was called for the current close frame
  uint64_t length_ = 0;
  int digits_ = 0;
  uint64_t left_ = 0;
};

// The service's end of one control connection, after the handshake.
class ControlLink {
 public:
  explicit ControlLink(int fd) : fd_(fd) {}
  ~ControlLink();
  ControlLink(const ControlLink&) = delete;
  ControlLink& operator=(const ControlLink&) = delete;

  // One whole write, serialised with other writers; false at an error or
  // after the time-out.
  bool send(std::string_view bytes, std::chrono::milliseconds timeout = 10s);

  // Reads what is there (waiting at most `wait`) and feeds it to the
  // parser. False at end of stream, an error or a parser fault.
  bool pump(ClientFrameParser& parser, std::chrono::milliseconds wait);

  // Sends "PING." and reads until the answer (the frames in between go to
  // the parser's handlers as usual). False after the time-out.
  bool ping(ClientFrameParser& parser, std::chrono::milliseconds timeout = 5s);

  int fd() const { return fd_; }
  bool closed() const { return closed_; }

 private:
  int fd_;
  std::mutex write_mutex_;
  bool closed_ = false;
  std::vector<char> buffer_ = std::vector<char>(1 << 20);
};

// Listens for the client's control connection and plays the handshake.
class ServiceListener {
 public:
  ServiceListener();
  ~ServiceListener();
  uint16_t port() const { return port_; }
  bool ok() const { return fd_ >= 0; }

  // Waits for the client to connect and answers its handshake; the reply to
  // "CONN" names `public_address`. Nothing when the client does not come or
  // does not finish in time (then `error` says where it stopped). `rules`
  // are the bytes sent as the rule frames.
  std::unique_ptr<ControlLink> accept_session(const std::string& public_address,
                                              std::chrono::milliseconds timeout, std::string& error,
                                              std::string_view rules = "RULE.0.");

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A background thread that keeps feeding one parser from a link until
// stopped, so that the client's frames are taken in as fast as they come.
class LinkReader {
 public:
  LinkReader(ControlLink& link, ClientFrameParser& parser);
  ~LinkReader();
  void stop();
  // CPU seconds used by the reading thread (valid after stop()).
  double cpu_seconds() const { return cpu_seconds_; }
  bool ended() const { return ended_.load(); }

 private:
  ControlLink& link_;
  ClientFrameParser& parser_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  double cpu_seconds_ = 0;
  std::thread thread_;
};

}  // namespace vostrelin::bench
