// The web inspector's HTTP server: a listener on 127.0.0.1 that answers one
// GET per connection with the index of sessions, a session page, a request
// page or the logo, and closes the connection. Everything shown is read from
// the session files at the moment of the request.
#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin::inspector {

using asio::ip::tcp;

// Largest head accepted without its blank line; the receive buffer grows
// from 8192 bytes by doubling and never holds more than twice this.
inline constexpr size_t HEAD_LIMIT = 65536;
inline constexpr size_t HEADER_SLOTS = 32;

// Connections served at once. Each holds a descriptor, and the tunnel needs
// descriptors of its own (the service connection, local connections,
// session files) whatever the inspector's clients do: beyond the bound, new
// connections wait in the listener's backlog, which costs the process none.
// A connection waits there only while every place is taken by connections
// that have their request heads: when some are still reading theirs, the
// one that has waited longest is closed to make room, so that connections
// held open without a request never keep a request out.
inline constexpr size_t MAX_CONNECTIONS = 256;
// A connection whose request head is not complete this long after it was
// accepted is closed without an answer.
inline constexpr std::chrono::milliseconds HEAD_TIMEOUT{30000};

struct ServeLimits {
  size_t max_connections = MAX_CONNECTIONS;  // at least 1
  std::chrono::milliseconds head_timeout = HEAD_TIMEOUT;
};

// MAX_CONNECTIONS, or a quarter of the descriptors the process may open
// when that is fewer, so that the bound stays well below the limit.
size_t connection_bound();

// A listener on 127.0.0.1 at port (address reuse, backlog 1024,
// close-on-exec), on the worker pool. Fails with the system's error under
// "не удалось занять порт инспектора 127.0.0.1:" + port.
Result<tcp::acceptor> bind(uint16_t port);

// Accepts connections for as long as the process runs, each served by a
// task of its own, at most limits.max_connections at once; when all places
// are taken and another connection waits, the connection that has waited
// longest for its request head, if any, is closed without an answer.
awaitable<void> serve(tcp::acceptor listener, std::string sessions_dir, ServeLimits limits = {});

// Reads one request head, answers it and returns; an error means no answer
// (or only part of one) was sent. A head not complete within head_timeout
// ends it quietly, without an answer. Runs on the executor of the calling
// task, which must be a strand: the time-out races the reads there.
awaitable<Result<void>> handle_connection(tcp::socket& stream, const std::string& sessions_dir,
                                          std::chrono::milliseconds head_timeout = HEAD_TIMEOUT);

// An answer before it is written.
struct Answer {
  uint16_t status = 200;
  std::string_view content_type;
  std::string body;
};

// The answer to a request head that has arrived whole: received holds the
// bytes read, its blank line included (and whatever came after it). Reads
// the session files the answer needs; an error means there is no answer to
// give.
awaitable<Result<Answer>> answer_request(std::string_view received, const std::string& sessions_dir);

// 1 to 64 bytes, each an ASCII letter or digit, "-", "_" or ".".
bool is_safe_id(std::string_view id);

// Whether a Host header names this machine's loopback: "127.0.0.1" or
// "localhost" (any letter case), with or without a port. Any other name
// means the request came through a name that merely resolves here, as a
// page of another site would send it.
bool is_loopback_host(std::string_view host);

// Which resource a path names (the query is cut off first).
struct Route {
  enum Kind { Logo, Index, Session, Request, NotFound } kind = NotFound;
  std::string_view session_id;
  std::string_view request_id;
};
Route route_of(std::string_view path);

// The head of every answer.
std::string response_head(uint16_t status, std::string_view content_type, size_t content_length);

}  // namespace vostrelin::inspector
