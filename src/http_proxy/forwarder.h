// The HTTP forwarder: every request the service relays is rewritten by the
// session's rules and sent over a fresh local TCP connection to 127.0.0.1 at
// the local port; its response streams back unchanged.
//
// The server reader does the pure work of each request (collects and
// parses the head, holds a body back for the body rules, rewrites and
// records it) and never waits for a local connection. Once a request is
// forwarded, a task of its own on its own strand owns its local socket: it
// connects (or answers with the 504 page), writes the head and body, then
// writes the later bytes that the reader queues for it, in frame order,
// while it relays the response as "MESG." frames and finally closes the
// request with "HTPC.". One local service that accepts or reads slowly
// holds up no other request and no PING.
#pragma once

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "frames/forwarder.h"
#include "frames/frame.h"
#include "frames/local_queue.h"
#include "frames/session_tasks.h"
#include "http_proxy/request_machine.h"
#include "http_proxy/request_table.h"
#include "inspector/recorder.h"
#include "rules/rule.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin::http_proxy {

// What the handler and the request tasks of one HTTP session share.
struct HttpSession {
  uint16_t local_port = 0;
  std::shared_ptr<const SessionRules> rules;
  std::shared_ptr<inspector::Recorder> recorder;  // absent when nothing is recorded
  std::shared_ptr<frames::SessionTasks> tasks;    // request tasks are started here
  RequestMap request_map;
};

// Acts on one frame from the service (PING and PONG are answered before
// it): Open makes a fresh request, Close ends its input, Data goes to
// process_request_chunk.
awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<HttpSession>& session);

// One "MESG." payload for request id. Waits only while the request's queue
// is over its bound (at most the stall limit, after which the request is
// closed).
awaitable<Result<void>> process_request_chunk(std::string id, std::string payload, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<HttpSession>& session);

// What a request task starts with.
struct RequestJob {
  std::string id;
  uint64_t serial = 0;
  std::string method;
  std::string path;
  std::string head;  // as rewritten
  std::string body;  // written after the head when not empty
  frames::FrameSender frame_tx;
  std::shared_ptr<HttpSession> session;
  std::shared_ptr<RequestLink> link;
};

// The request task: connects to the local port (a refused connection is
// answered with the 504 page), writes head and body, then the queued bytes
// until the request's input ends, while local_reader_task relays the
// response.
awaitable<void> open_local_and_send(RequestJob job, frames::QueueReader queue);

// The response of one request, read from socket until the local service
// ends it: each read goes out as one "MESG." frame at once; then the trace
// line, the "end" record and "HTPC.".
awaitable<void> local_reader_task(asio::ip::tcp::socket& socket, const RequestJob& job);

// Prints the mode line (and the inspector address line when there is one),
// then forwards until the service connection ends.
awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port, std::vector<Rule> rules,
                    std::shared_ptr<inspector::Recorder> recorder, std::optional<std::string> inspector_line);

}  // namespace vostrelin::http_proxy
