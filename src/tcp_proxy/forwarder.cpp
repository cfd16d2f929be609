#include "tcp_proxy/forwarder.h"

#include <asio/experimental/awaitable_operators.hpp>

#include <string>
#include <system_error>
#include <utility>
#include <variant>

#include "frames/local_io.h"
#include "support/build_settings.h"
#include "support/output.h"

namespace vostrelin::tcp_proxy {
namespace {

using namespace asio::experimental::awaitable_operators;

// What the two directions of one connection tell each other; both run on
// the connection's strand.
struct Ends {
  bool close_sent = false;  // "TCPC." has gone to the service
  bool broken = false;      // writing failed: the connection is over
};

// The service's bytes, queue to socket, until the queue ends; then the
// sending direction is shut down.
awaitable<void> to_local(const std::string& id, uint64_t serial, frames::LocalQueue& queue,
                         asio::ip::tcp::socket& socket, frames::FrameSender& frame_tx, TcpSession& session,
                         Ends& ends) {
  frames::ByteCounters& counters = *session.counters;
  std::error_code ec = co_await frames::write_queue(queue, socket, [&counters](size_t n) {
    counters.to_local += n;
    counters.print_stats();
  });
  asio::error_code ignored;
  if (!ec) {
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    co_return;
  }
  if (frames::is_stop(ec) || ends.broken) co_return;
  ends.broken = true;
  write_stderr("Ошибка записи в локальное подключение " + id + ": " + ec.message() + "\n");
  session.connections.remove_own(id, serial);
  queue.abandon();
  // The reading direction ends quietly.
  socket.cancel(ignored);
  if (!ends.close_sent) {
    ends.close_sent = true;
    co_await frame_tx.send(frames::tcp_close_frame(id));
  }
}

// The local service's bytes, socket to frames, until its end of stream.
awaitable<void> from_local(const std::string& id, uint64_t serial, asio::ip::tcp::socket& socket,
                           frames::FrameSender& frame_tx, TcpSession& session, Ends& ends) {
  std::string frame;
  auto take = [&](std::string_view bytes) {
    session.counters->from_local += bytes.size();
    session.counters->print_stats();
    frame = frames::data_frame(id, bytes);
  };
  for (;;) {
    asio::error_code ec = co_await frames::read_local(socket, take);
    if (ends.broken || frames::is_stop(ec)) co_return;
    if (!ec) {
      // The writer has ended: the session is over.
      if (!co_await frame_tx.send(std::move(frame))) co_return;
      continue;
    }
    if (ec != asio::error::eof) {
      write_stderr("Ошибка чтения от локального подключения " + id + ": " + ec.message() + "\n");
    }
    if (!ends.close_sent) {
      ends.close_sent = true;
      co_await frame_tx.send(frames::tcp_close_frame(id));
    }
    // Removing the entry ends the input: what is queued still goes out.
    session.connections.remove_own(id, serial);
    co_return;
  }
}

}  // namespace

awaitable<void> local_reader_task(std::string id, uint64_t serial, frames::QueueReader queue,
                                  frames::FrameSender frame_tx, std::shared_ptr<TcpSession> session) {
  asio::ip::tcp::socket socket(co_await asio::this_coro::executor);
  asio::ip::tcp::endpoint local(asio::ip::address_v4::loopback(), session->local_port);
  auto [ec] = co_await socket.async_connect(local, as_tuple_awaitable);
  Ends ends;
  // A connection closed by the reader for taking nothing ends with its
  // close frame, sent once both directions have stopped, so that no frame
  // of the connection follows it. It never waits: the task has been stopped.
  auto close_if_stalled = [&] {
    if (queue->stalled() && !ends.close_sent) frame_tx.try_send(frames::tcp_close_frame(id));
  };
  if (ec) {
    if (frames::is_stop(ec)) {
      close_if_stalled();
      co_return;
    }
    write_stderr("Не удалось подключиться к локальному порту " + std::to_string(session->local_port) + ": " +
                 ec.message() + "\n");
    co_await frame_tx.send(frames::tcp_close_frame(id));
    session->connections.remove_own(id, serial);
    co_return;
  }
  asio::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.non_blocking(true, ignored);
  auto both = to_local(id, serial, *queue, socket, frame_tx, *session, ends) &&
              from_local(id, serial, socket, frame_tx, *session, ends);
  try {
    co_await std::move(both);
  } catch (const std::system_error& stopped) {
    // A wait started after the stop ends the direction that made it.
    if (!frames::is_stop(stopped.code())) throw;
  }
  close_if_stalled();
}

awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<TcpSession>& session) {
  if (frames::Open* open = std::get_if<frames::Open>(&message)) {
    auto queue = std::make_shared<frames::LocalQueue>();
    uint64_t serial = session->connections.next_serial();
    LocalConnection replaced;
    session->connections.with([&](auto& map) {
      LocalConnection& entry = map[open->id];
      replaced = std::move(entry);
      entry.to_local = frames::QueueWriter(queue);
      entry.serial = serial;
      entry.task = session->tasks->spawn(
          local_reader_task(open->id, serial, frames::QueueReader(queue), frame_tx, session));
    });
    // The earlier connection of a reopened id: its input ends here.
    co_return Result<void>();
  }
  if (frames::Close* close = std::get_if<frames::Close>(&message)) {
    session->connections.take(close->id);
    co_return Result<void>();
  }
  if (frames::Data* data = std::get_if<frames::Data>(&message)) {
    std::shared_ptr<frames::LocalQueue> queue;
    frames::TaskHandle task;
    uint64_t serial = 0;
    session->connections.with([&](auto& map) {
      if (auto it = map.find(data->id); it != map.end()) {
        queue = it->second.to_local.queue();
        task = it->second.task;
        serial = it->second.serial;
      }
    });
    // Unknown ids drop their bytes, as do connections that have failed.
    if (!queue) co_return Result<void>();
    frames::LocalQueue::Push pushed = co_await queue->push(data->payload, local_stall_limit());
    if (pushed == frames::LocalQueue::Push::Stalled && session->connections.remove_own(data->id, serial)) {
      write_stderr("Ошибка записи в локальное подключение " + data->id + ": " + std::string(frames::STALLED_STREAM) +
                   "\n");
      queue->stall();
      task.stop();
    }
    co_return Result<void>();
  }
  co_return Result<void>();
}

awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port) {
  write_stdout("TCP режим: проброс TCP трафика на локальный порт " + std::to_string(local_port) + "\n");
  auto session = std::make_shared<TcpSession>();
  session->local_port = local_port;
  session->counters = std::make_shared<frames::ByteCounters>();
  write_stdout(frames::stats_lines(0, 0));

  frames::Mode mode = frames::mode_for(frames::TCP_TAGS, session, &handle_server_message);
  co_await frames::forward(std::move(service), std::move(mode));
}

}  // namespace vostrelin::tcp_proxy
