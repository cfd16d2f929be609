// The service's view of a tunnel session once the handshake is done: the
// frames the client sends, read one at a time from the fake service's end,
// and the frames the service sends, built as the service builds them.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "support/fake_service.h"

namespace vostrelin::test {

struct ClientFrame {
  std::string tag;      // "PONG", "MESG", "TCPC" or "HTPC"
  std::string id;       // empty for PONG
  std::string payload;  // MESG only
  bool operator==(const ClientFrame&) const = default;
};

std::string describe(const ClientFrame& frame);

// Reads the client's frames from one connection, in order. Only the thread
// that owns the reader may read the connection.
class ClientFrames {
 public:
  explicit ClientFrames(FakeConnection& connection) : connection_(connection) {}

  // The next frame, or nothing when none is complete within the time-out
  // (or the client has closed).
  std::optional<ClientFrame> next(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Bytes received that are not yet a whole frame.
  const std::string& rest() const { return buffer_; }

 private:
  // A frame at the front of buffer_, and its length; 0 when none yet. An
  // id of digits at the very end counts as complete once `settled`.
  size_t parse(ClientFrame& out, bool settled) const;

  FakeConnection& connection_;
  std::string buffer_;
};

inline std::string mesg(std::string_view id, std::string_view payload) {
  return "MESG." + std::string(id) + "." + std::to_string(payload.size()) + "." + std::string(payload);
}

}  // namespace vostrelin::test
