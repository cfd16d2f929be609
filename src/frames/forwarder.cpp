#include "frames/forwarder.h"

#include <asio/strand.hpp>
#include <asio/write.hpp>

#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "frames/pending.h"
#include "support/output.h"

namespace vostrelin::frames {
namespace {

// Frames already queued go out in one write, up to these bounds: a hand-off
// through the channel costs more than the write of a small frame.
constexpr size_t BATCH_FRAMES = 64;
constexpr size_t BATCH_BYTES = 256 * 1024;

// The session has stopped its tasks: the rest of the batch (from byte
// `sent` on) and what is still queued go out as far as the connection takes
// them at once, in order; the rest is dropped. Nothing waits, so a service
// that reads nothing cannot hold the task.
void send_rest_without_waiting(WriteHalf& out, FrameReceiver& frames, std::vector<std::string>& batch,
                               size_t sent = 0) {
  while (std::optional<std::string> more = frames.try_receive()) batch.push_back(std::move(*more));
  asio::error_code ec;
  out.socket().non_blocking(true, ec);
  for (const std::string& frame : batch) {
    if (ec) break;
    if (sent >= frame.size()) {
      sent -= frame.size();
      continue;
    }
    size_t left = frame.size() - sent;
    size_t written = asio::write(out.socket(), asio::buffer(frame.data() + sent, left), ec);
    sent = 0;
    // Whatever follows a frame cut short would only break the service's front.
    if (!ec && written < left) break;
  }
}

}  // namespace

awaitable<void> server_writer_task(WriteHalf out, FrameReceiver frames) {
  std::vector<std::string> batch;
  std::vector<asio::const_buffer> buffers;
  for (;;) {
    // A stopped task's next co_await would throw, so a stop is looked for
    // before each one.
    asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) {
      send_rest_without_waiting(out, frames, batch);
      break;
    }
    std::optional<std::string> first = co_await frames.receive();
    if (!first) break;
    size_t bytes = first->size();
    batch.push_back(std::move(*first));
    while (batch.size() < BATCH_FRAMES && bytes < BATCH_BYTES) {
      std::optional<std::string> more = frames.try_receive();
      if (!more) break;
      bytes += more->size();
      batch.push_back(std::move(*more));
    }
    // The receive is not cancelled with the task: a stop during it shows here.
    state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) {
      send_rest_without_waiting(out, frames, batch);
      break;
    }
    buffers.clear();
    for (const std::string& frame : batch) buffers.push_back(asio::buffer(frame));
    auto [ec, written] = co_await asio::async_write(out.socket(), buffers, as_tuple_awaitable);
    if (ec) {
      if (is_stop(ec)) {
        // Stopped part way through the batch.
        send_rest_without_waiting(out, frames, batch, written);
      } else {
        write_stderr("Ошибка записи на сервер: " + ec.message() + "\n");
      }
      break;
    }
    batch.clear();
    if (written < bytes) {
      write_stderr("Ошибка записи на сервер: write zero\n");
      break;
    }
  }
  // Leaving drops the write half and the receiving end: the sending
  // direction shuts down and every later send fails.
}

awaitable<Result<void>> answer_keepalive(bool ping, FrameSender& frame_tx) {
  // A failed send means the writer has ended; the session is over anyway.
  if (ping) co_await frame_tx.send(pong_frame());
  co_return Result<void>();
}

awaitable<void> server_reader_task(ReadHalf in, FrameTags tags, MessageHandler handler) {
  std::vector<char> buffer(SERVICE_READ_BYTES);
  Pending pending(tags);
  for (;;) {
    auto [ec, n] = co_await in.socket().async_read_some(asio::buffer(buffer), as_tuple_awaitable);
    if (ec) {
      if (ec != asio::error::eof && !is_stop(ec)) write_stderr("Ошибка чтения от сервера: " + ec.message() + "\n");
      co_return;
    }
    pending.append(std::string_view(buffer.data(), n));
    for (;;) {
      FrontScan scan = pending.next();
      if (std::holds_alternative<NeedMore>(scan)) break;
      if (Malformed* bad = std::get_if<Malformed>(&scan)) {
        write_stderr(bad->reason + "\n");
        co_return;
      }
      ServerMessage message = std::move(std::get<Parsed>(scan).message);
      if (Error* error = std::get_if<Error>(&message)) {
        write_stderr("Ошибка от сервера: " + error->text + "\n");
        co_return;
      }
      Result<void> handled = co_await handler(std::move(message));
      if (!handled) write_stderr("Ошибка обработки сообщения: " + handled.error().message() + "\n");
    }
  }
}

// Everything here lives on the worker pool, also the channel that tells of
// a task's end: the tasks' completion handlers hold it, and they may outlive
// the main thread's context when the process ends after Ctrl+C.
Forwarding::Forwarding(asio::ip::tcp::socket service)
    : strand_(asio::make_strand(service.get_executor())),
      tasks_(SessionTasks::create()),
      ended_(std::make_shared<EndChannel>(worker_executor(), 4)) {
  // Frames go out as soon as they are queued; the writer already gathers
  // what is waiting into one write.
  asio::error_code ignored;
  service.set_option(asio::ip::tcp::no_delay(true), ignored);
  std::tie(read_, write_) = split(std::move(service));
  std::tie(frame_tx_, frame_rx_) = make_channel<std::string>(worker_executor(), FRAME_CHANNEL_CAPACITY);
}

Forwarding::~Forwarding() { tasks_->stop(); }

std::function<void()> Forwarding::on_end() const {
  return [ended = ended_] { ended->try_send(asio::error_code{}, true); };
}

void Forwarding::start_writer() {
  tasks_->spawn(strand_, server_writer_task(std::move(write_), std::move(frame_rx_)), on_end());
}

void Forwarding::start(awaitable<void> task) { tasks_->spawn(std::move(task), on_end()); }

void Forwarding::start_reader(FrameTags tags, MessageHandler handler) {
  tasks_->spawn(strand_, server_reader_task(std::move(read_), tags, std::move(handler)), on_end());
}

awaitable<void> forward(asio::ip::tcp::socket service, Mode mode) {
  Forwarding forwarding(std::move(service));
  forwarding.start_writer();
  MessageHandler handler = mode.make_handler(forwarding.frame_tx(), forwarding.tasks());
  if (mode.make_extra) forwarding.start(mode.make_extra());
  forwarding.start_reader(mode.tags, std::move(handler));
  co_await forwarding.first_end();
}

awaitable<void> Forwarding::first_end() {
  co_await ended_->async_receive(as_tuple_awaitable);
}

}  // namespace vostrelin::frames
