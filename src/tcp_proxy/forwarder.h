// The TCP forwarder: every connection the service opens on the tunnel's
// public port becomes one local TCP connection to 127.0.0.1 at the local
// port, with two live byte counters on the terminal.
#pragma once

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "frames/byte_counters.h"
#include "frames/forwarder.h"
#include "frames/frame.h"
#include "frames/session_tasks.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin::tcp_proxy {

inline std::optional<frames::Parsed> try_parse(std::string_view bytes) {
  return frames::try_parse(bytes, frames::TCP_TAGS);
}

// What the handler and the local readers of one TCP session share.
struct TcpSession {
  uint16_t local_port = 0;
  std::shared_ptr<frames::ByteCounters> counters;
  std::shared_ptr<frames::SessionTasks> tasks;  // local readers are started here
};

// Acts on one frame from the service. PING is answered with PONG.
awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<TcpSession>& session);

// Prints the mode line and the counter lines, then forwards until the
// service connection ends.
awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port);

}  // namespace vostrelin::tcp_proxy
