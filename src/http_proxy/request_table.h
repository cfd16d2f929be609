// The request table of an HTTP session: one RequestState per request id
// the service has opened, from its Open to its Close. The server reader is
// the only task that creates, fills and closes entries; a request's own
// task removes its entry (by its serial) only when writing to the local
// connection has failed.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "frames/connection_table.h"
#include "frames/local_queue.h"
#include "frames/session_tasks.h"

namespace vostrelin::http_proxy {

enum class RequestPhase {
  ReadingHeaders,  // collecting the head
  BufferingBody,   // collecting a body that the body rules will rewrite
  Streaming,       // forwarded: later bytes go to the local connection
};

// How the reader reaches a running request: the request task's strand and
// its local socket, both made by the reader when it starts the task. The
// socket is used on that strand only.
struct RequestLink {
  asio::any_io_executor strand;
  std::shared_ptr<asio::ip::tcp::socket> socket;
  bool stalled = false;  // on the strand only

  // The local service has stopped taking the request's bytes: both
  // directions of the connection are shut down, so that the request task
  // ends its writing quietly and its response with what has arrived.
  static void break_off(const std::shared_ptr<RequestLink>& link) {
    asio::post(link->strand, [link] {
      link->stalled = true;
      asio::error_code ignored;
      link->socket->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    });
  }
};

struct RequestState {
  // ReadingHeaders: every byte received so far; BufferingBody: the head.
  std::string head_buf;
  // BufferingBody: the body bytes received so far.
  std::string body_buf;
  // From the request line, for the trace line.
  std::string method;
  std::string path;
  // The way into the request's local connection, set when the request is
  // forwarded. Dropping it (Close, a new Open of the id, removal) ends the
  // request's input: what is queued is written, then the sending direction
  // of the local connection is shut down.
  frames::QueueWriter local_writer;
  bool has_body_rules = false;
  RequestPhase phase = RequestPhase::ReadingHeaders;
  // BufferingBody: the length the first content-length line declares.
  std::optional<uint64_t> declared_length;

  uint64_t serial = 0;
  frames::TaskHandle task;
  std::shared_ptr<RequestLink> link;
};

using RequestMap = frames::ConnectionTable<RequestState>;

}  // namespace vostrelin::http_proxy
