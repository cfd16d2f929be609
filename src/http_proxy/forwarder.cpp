#include "http_proxy/forwarder.h"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>

#include <array>
#include <utility>
#include <variant>

#include "frames/local_io.h"
#include "http_proxy/records.h"
#include "http_proxy/response.h"
#include "http_proxy/trace.h"
#include "support/build_settings.h"
#include "support/output.h"

namespace vostrelin::http_proxy {
namespace {

using namespace asio::experimental::awaitable_operators;
using Action = ChunkOutcome::Action;

std::string write_failed(std::string_view id, std::string_view why) {
  return "reqId=" + std::string(id) + ": ошибка записи в local: " + std::string(why) + "\n";
}

// The request's records, when the session records.
std::optional<RecorderSink> sink_for(const HttpSession& session, const std::string& id) {
  if (!session.recorder) return std::nullopt;
  return RecorderSink(*session.recorder, id);
}

// Closes the local socket when the task ends, however it ends: the link
// that holds it may stay in the table until the service's Close.
struct SocketCloser {
  asio::ip::tcp::socket& socket;
  ~SocketCloser() {
    asio::error_code ignored;
    socket.close(ignored);
  }
};

// The local port refused the connection: the request is answered with the
// 504 page (its head alone for HEAD), recorded like a response.
awaitable<void> answer_gateway_timeout(const RequestJob& job, const std::error_code& ec) {
  const HttpSession& session = *job.session;
  write_stderr("reqId=" + job.id + ": не удалось подключиться к :" + std::to_string(session.local_port) + " — " +
               ec.message() + "\n");
  std::string response = gateway_timeout_response(job.method);
  print_trace(504, job.method, job.path, response.size());
  if (session.recorder) {
    size_t head_size = response.find("\r\n\r\n") + 4;
    session.recorder->res_headers(job.id, 504, std::string_view(response).substr(0, head_size));
    // Nothing is recorded for the empty rest of a HEAD answer.
    session.recorder->res_body(job.id, std::string_view(response).substr(head_size));
    session.recorder->end(job.id, 504, response.size());
  }
  frames::FrameSender frame_tx = job.frame_tx;
  // The writer has ended: the session is over.
  if (!co_await frame_tx.send(frames::data_frame(job.id, response))) co_return;
  co_await frame_tx.send(frames::http_close_frame(job.id));
}

// The request's later bytes, queue to socket, until its input ends; then
// the sending direction is shut down. A failed write ends the request: its
// entry goes, and the response ends with what has arrived.
awaitable<void> send_queued(asio::ip::tcp::socket& socket, frames::LocalQueue& queue, const RequestJob& job) {
  std::error_code ec = co_await frames::write_queue(queue, socket, [](size_t) {});
  asio::error_code ignored;
  if (!ec) {
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    co_return;
  }
  // Stopped with the session, or broken off by the reader, which has said
  // why.
  if (frames::is_stop(ec) || job.link->stalled) co_return;
  write_stderr(write_failed(job.id, ec.message()));
  job.session->request_map.remove_own(job.id, job.serial);
  queue.abandon();
  socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
}

}  // namespace

awaitable<void> local_reader_task(asio::ip::tcp::socket& socket, const RequestJob& job) {
  std::optional<RecorderSink> sink = sink_for(*job.session, job.id);
  ResponseTracker response(sink ? &*sink : nullptr);
  frames::FrameSender frame_tx = job.frame_tx;
  std::string frame;
  auto take = [&](std::string_view bytes) {
    response.take(bytes);
    frame = frames::data_frame(job.id, bytes);
  };
  for (;;) {
    asio::error_code ec = co_await frames::read_local(socket, take);
    if (frames::is_stop(ec)) co_return;
    if (!ec) {
      // The writer has ended: the session is over, nothing more is said.
      if (!co_await frame_tx.send(std::move(frame))) co_return;
      continue;
    }
    if (ec != asio::error::eof) {
      write_stderr("reqId=" + job.id + ": ошибка чтения от local: " + ec.message() + "\n");
    }
    break;
  }
  print_trace(response.status(), job.method, job.path, response.total());
  response.finish();
  co_await frame_tx.send(frames::http_close_frame(job.id));
}

awaitable<void> open_local_and_send(RequestJob job, frames::QueueReader queue) {
  asio::ip::tcp::socket& socket = *job.link->socket;
  SocketCloser closer{socket};
  asio::ip::tcp::endpoint local(asio::ip::address_v4::loopback(), job.session->local_port);
  auto [connect_ec] = co_await socket.async_connect(local, as_tuple_awaitable);
  if (job.link->stalled) {
    // Broken off while connecting; the reader has said why.
    co_await job.frame_tx.send(frames::http_close_frame(job.id));
    co_return;
  }
  if (connect_ec) {
    if (frames::is_stop(connect_ec)) co_return;
    co_await answer_gateway_timeout(job, connect_ec);
    co_return;
  }
  asio::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);

  // Head and body go out whole before the response is read.
  std::array<asio::const_buffer, 2> first = {asio::buffer(job.head), asio::buffer(job.body)};
  auto [write_ec, written] = co_await asio::async_write(socket, first, as_tuple_awaitable);
  (void)written;
  if (write_ec) {
    if (frames::is_stop(write_ec) && !job.link->stalled) co_return;
    if (!job.link->stalled) {
      write_stderr("Ошибка обработки сообщения: " + write_ec.message() + "\n");
      job.session->request_map.remove_own(job.id, job.serial);
    }
    co_await job.frame_tx.send(frames::http_close_frame(job.id));
    co_return;
  }
  std::string().swap(job.head);
  std::string().swap(job.body);

  socket.non_blocking(true, ignored);
  auto both = send_queued(socket, *queue, job) && local_reader_task(socket, job);
  co_await std::move(both);
}

awaitable<Result<void>> process_request_chunk(std::string id, std::string payload, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<HttpSession>& session) {
  std::optional<RecorderSink> sink = sink_for(*session, id);
  RecordSink* records = sink ? &*sink : nullptr;
  ChunkOutcome out;
  RequestState gone;  // destroyed after the lock is released
  std::shared_ptr<frames::LocalQueue> queue;
  std::shared_ptr<RequestLink> link;
  uint64_t serial = 0;
  // The server reader's loop: a request's task runs elsewhere, so its
  // connect and close never hold up the frames of every other request.
  asio::any_io_executor reader = co_await asio::this_coro::executor;
  // The reader's own work on the request runs under the table's lock; the
  // only other user of the table is a request task removing its own entry.
  session->request_map.with([&](RequestMap::Map& map) {
    auto it = map.find(id);
    // Never opened, closed, or removed: the bytes are dropped.
    if (it == map.end()) return;
    RequestState& state = it->second;
    out = advance_request(state, id, std::move(payload), *session->rules, records);
    switch (out.action) {
      case Action::None:
        break;
      case Action::TooLarge:
        gone = std::move(state);
        map.erase(it);
        break;
      case Action::Forward: {
        auto started = std::make_shared<frames::LocalQueue>();
        auto strand = worker_strand_apart_from(reader);
        state.link = std::make_shared<RequestLink>();
        state.link->strand = strand;
        state.link->socket = std::make_shared<asio::ip::tcp::socket>(strand);
        state.local_writer = frames::QueueWriter(started);
        RequestJob job{id, state.serial, state.method, state.path, std::move(out.head), std::move(out.body),
                       frame_tx, session, state.link};
        state.task = session->tasks->spawn(strand, open_local_and_send(std::move(job), frames::QueueReader(started)));
        break;
      }
      case Action::Push:
        queue = state.local_writer.queue();
        link = state.link;
        serial = state.serial;
        break;
    }
  });
  for (const std::string& message : out.messages) write_stderr(message);
  if (out.action == Action::TooLarge) {
    // A failed send means the writer has ended; the session is over anyway.
    co_await frame_tx.send(frames::http_close_frame(id));
    co_return Result<void>();
  }
  // Without a queue the request never reached a local connection; a queue
  // whose task has ended (a 504 answer, a failed write) drops the bytes.
  if (out.action != Action::Push || !queue) co_return Result<void>();
  frames::LocalQueue::Push pushed = co_await queue->push(out.body, local_stall_limit());
  if (pushed == frames::LocalQueue::Push::Stalled && session->request_map.remove_own(id, serial)) {
    write_stderr(write_failed(id, frames::STALLED_STREAM));
    queue->abandon();
    RequestLink::break_off(link);
  }
  co_return Result<void>();
}

awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<HttpSession>& session) {
  if (frames::Open* open = std::get_if<frames::Open>(&message)) {
    RequestState fresh;
    fresh.head_buf.reserve(2048);
    fresh.has_body_rules = session->rules->has_body_rules;
    fresh.serial = session->request_map.next_serial();
    RequestState replaced;
    session->request_map.with([&](RequestMap::Map& map) {
      RequestState& entry = map[open->id];
      replaced = std::move(entry);
      entry = std::move(fresh);
    });
    // An earlier request under the id: its input ends here, while its
    // response still goes out under the same id.
    co_return Result<void>();
  }
  if (frames::Close* close = std::get_if<frames::Close>(&message)) {
    session->request_map.take(close->id);
    co_return Result<void>();
  }
  if (frames::Data* data = std::get_if<frames::Data>(&message)) {
    co_return co_await process_request_chunk(std::move(data->id), std::move(data->payload), frame_tx, session);
  }
  co_return Result<void>();
}

awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port, std::vector<Rule> rules,
                    std::shared_ptr<inspector::Recorder> recorder, std::optional<std::string> inspector_line) {
  write_stdout("HTTP режим: проброс HTTP трафика на локальный порт " + std::to_string(local_port) + " (правил: " +
               std::to_string(rules.size()) + ")\n");
  if (inspector_line) write_stdout(*inspector_line + "\n");

  auto session = std::make_shared<HttpSession>();
  session->local_port = local_port;
  // Compiled once: every request of the session uses the same rules.
  session->rules = std::make_shared<const SessionRules>(std::move(rules));
  session->recorder = std::move(recorder);

  frames::Mode mode = frames::mode_for(frames::HTTP_TAGS, session, &handle_server_message);
  co_await frames::forward(std::move(service), std::move(mode));
}

}  // namespace vostrelin::http_proxy
