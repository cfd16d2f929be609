// The UDP forwarder: every connection id the service relays datagrams for
// gets one local UDP socket bound to 0.0.0.0 and connected to 127.0.0.1 at
// the local port, with two live byte counters on the terminal. UDP mode has
// no open or close frames: the first datagram of an id makes its socket,
// and an id goes after a failed send, a failed receive or a minute without
// traffic (the idle sweep).
//
// Each socket is owned by one task, which sends the id's queued datagrams
// and relays every datagram the local service sends back.
#pragma once

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frames/byte_counters.h"
#include "frames/connection_table.h"
#include "frames/forwarder.h"
#include "frames/frame.h"
#include "frames/local_queue.h"
#include "frames/session_tasks.h"
#include "support/clock.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin::udp_proxy {

// An entry of `udp_sockets`. The socket itself belongs to the id's task;
// the entry holds the way to it and the time of the id's last datagram in
// either direction, which the task refreshes too.
struct LocalUdpEntry {
  frames::QueueWriter datagrams;
  std::shared_ptr<std::atomic<uint64_t>> last_activity;
  frames::TaskHandle reader;
  uint64_t serial = 0;
};

// What the handler, the socket tasks and the sweep of one UDP session share.
struct UdpSession {
  uint16_t local_port = 0;
  std::shared_ptr<frames::ByteCounters> counters;
  std::shared_ptr<frames::SessionTasks> tasks;  // socket tasks run here
  frames::ConnectionTable<LocalUdpEntry> udp_sockets;
};

// Acts on one frame from the service (PING and PONG are answered before
// it): a datagram goes out through its id's socket. Never fails.
awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<UdpSession>& session);

// The queue of the id's socket, made (bound, connected, its task started)
// when the id has none; nothing when the socket cannot be made (the reason
// is printed).
std::shared_ptr<frames::LocalQueue> obtain_socket(const std::string& id, frames::FrameSender& frame_tx,
                                                  const std::shared_ptr<UdpSession>& session);

// One id's socket: sends what is queued, relays what comes back. Ends at a
// failed send or receive (removing only its own entry), or when stopped by
// the sweep or the end of the session, then quietly.
awaitable<void> local_udp_reader_task(std::string id, uint64_t serial, asio::ip::udp::socket socket,
                                      frames::QueueReader datagrams,
                                      std::shared_ptr<std::atomic<uint64_t>> last_activity,
                                      frames::FrameSender frame_tx, std::shared_ptr<UdpSession> session);

// Every sweep period: removes the ids idle for longer than the idle limit,
// each with its line, and stops their tasks, which closes their sockets.
// Runs until the session stops it.
awaitable<void> udp_idle_sweep_task(std::shared_ptr<UdpSession> session);

// The ids of `map` idle for longer than `limit` at `now`.
std::vector<std::string> idle_ids(frames::ConnectionTable<LocalUdpEntry>::Map& map, uint64_t now, uint64_t limit);

// Prints the mode line and the counter lines, then forwards until the
// service connection ends.
awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port);

}  // namespace vostrelin::udp_proxy
