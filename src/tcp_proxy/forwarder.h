// The TCP forwarder: every connection the service opens on the tunnel's
// public port becomes one local TCP connection to 127.0.0.1 at the local
// port, with two live byte counters on the terminal.
//
// Each local connection is one task that owns its socket: it connects,
// writes what the service sends for its id (taken from the id's queue, in
// frame order) and relays what the local service answers as "MESG." frames.
// The server reader only routes frames to the queues, so one local peer that
// connects or reads slowly holds up no other id and no PING.
#pragma once

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "frames/byte_counters.h"
#include "frames/connection_table.h"
#include "frames/forwarder.h"
#include "frames/frame.h"
#include "frames/local_queue.h"
#include "frames/session_tasks.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin::tcp_proxy {

// An entry of `connections`: the way into one local connection. Dropping it
// (removal, replacement by a new Open of the id, the end of the table) ends
// the connection's input: once what is queued has been written, its sending
// direction is shut down, while its answers still reach the service.
struct LocalConnection {
  frames::QueueWriter to_local;
  frames::TaskHandle task;
  uint64_t serial = 0;
};

// What the handler and the local connections of one TCP session share.
struct TcpSession {
  uint16_t local_port = 0;
  std::shared_ptr<frames::ByteCounters> counters;
  std::shared_ptr<frames::SessionTasks> tasks;  // local connections run here
  frames::ConnectionTable<LocalConnection> connections;
};

// Acts on one frame from the service (PING and PONG are answered before
// it): Open starts a local connection, Data is queued for it, Close ends
// its input.
awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<TcpSession>& session);

// One local connection of the session, from the connect to the end of both
// directions. Reports its own failures; removes only its own entry.
awaitable<void> local_reader_task(std::string id, uint64_t serial, frames::QueueReader to_local,
                                  frames::FrameSender frame_tx, std::shared_ptr<TcpSession> session);

// Prints the mode line and the counter lines, then forwards until the
// service connection ends.
awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port);

}  // namespace vostrelin::tcp_proxy
