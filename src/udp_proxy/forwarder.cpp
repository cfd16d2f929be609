#include "udp_proxy/forwarder.h"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "frames/local_io.h"
#include "support/build_settings.h"
#include "support/output.h"
#include "support/text.h"

namespace vostrelin::udp_proxy {
namespace {

using namespace asio::experimental::awaitable_operators;

// Set once one direction has failed: the other ends quietly.
struct Ends {
  bool over = false;
};

// Datagrams queued for the service in one hand-off at most, and their
// frames' bytes: a burst from the local side crosses to the writer at once.
constexpr size_t DATAGRAMS_PER_HANDOFF = 64;
constexpr size_t HANDOFF_BYTES = 64 * 1024;
// Datagrams sent to the local socket before the reading direction runs.
constexpr size_t SENDS_PER_TURN = 64;

awaitable<void> to_local(const std::string& id, uint64_t serial, frames::LocalQueue& queue,
                         asio::ip::udp::socket& socket, UdpSession& session, Ends& ends) {
  asio::any_io_executor strand = co_await asio::this_coro::executor;
  std::vector<std::string> batch;
  size_t since_yield = 0;
  for (;;) {
    batch.clear();
    if (!co_await queue.take(batch, 256 * 1024)) co_return;
    for (std::string& datagram : batch) {
      if (ends.over) co_return;
      // The answers to these datagrams arrive on the same socket, whose
      // receive buffer holds a few hundred: the reading direction gets its
      // turn every few sends, or a burst would overflow it.
      if (++since_yield == SENDS_PER_TURN) {
        since_yield = 0;
        co_await asio::post(strand, use_awaitable);
        if (ends.over) co_return;
      }
      // Sent at once where the socket takes it; a wait only when it cannot.
      asio::error_code ec;
      size_t n = socket.send(asio::buffer(datagram), 0, ec);
      while (ec == asio::error::would_block) {
        auto [waited] = co_await socket.async_wait(asio::ip::udp::socket::wait_write, as_tuple_awaitable);
        if (ends.over || frames::is_stop(waited)) co_return;
        ec = waited;
        if (!ec) n = socket.send(asio::buffer(datagram), 0, ec);
      }
      queue.written(datagram.size());
      if (ends.over) co_return;
      if (ec) {
        ends.over = true;
        write_stderr("Ошибка отправки в локальный UDP-порт " + std::to_string(session.local_port) +
                     " (connId=" + escape_controls(id) + "): " + ec.message() + "\n");
        session.udp_sockets.remove_own(id, serial);
        asio::error_code ignored;
        socket.cancel(ignored);
        co_return;
      }
      session.counters->to_local += n;
      session.counters->print_stats();
    }
  }
}

// Every datagram the local socket holds now, up to the hand-off bounds, as
// frames appended to `out` (each counted as it is taken). Would-block
// once at least one datagram is taken is no error.
asio::error_code receive_burst(const std::string& id, asio::ip::udp::socket& socket, std::string& out,
                               UdpSession& session) {
  for (size_t taken = 0; taken < DATAGRAMS_PER_HANDOFF && out.size() < HANDOFF_BYTES; ++taken) {
    std::span<char> buffer = frames::thread_read_buffer(frames::DATAGRAM_BYTES);
    asio::error_code ec;
    size_t n = socket.receive(asio::buffer(buffer.data(), buffer.size()), 0, ec);
    if (ec) return taken > 0 && ec == asio::error::would_block ? asio::error_code() : ec;
    session.counters->from_local += n;
    session.counters->print_stats();
    frames::append_data_frame(out, id, std::string_view(buffer.data(), n));
  }
  return {};
}

awaitable<void> from_local(const std::string& id, uint64_t serial, asio::ip::udp::socket& socket,
                           std::atomic<uint64_t>& last_activity, frames::FrameSender& frame_tx,
                           UdpSession& session, Ends& ends) {
  std::string burst;
  for (;;) {
    burst.clear();
    asio::error_code ec = receive_burst(id, socket, burst, session);
    if (burst.empty() && ec == asio::error::would_block) {
      auto [waited] = co_await socket.async_wait(asio::ip::udp::socket::wait_read, as_tuple_awaitable);
      if (ends.over || frames::is_stop(waited)) co_return;
      if (!waited) continue;
      ec = waited;
    }
    if (ends.over) co_return;
    if (!burst.empty()) {
      last_activity.store(now_ms());
      // The writer has ended: nothing comes back any more, the entry stays.
      if (!co_await frame_tx.send(std::move(burst))) co_return;
    }
    if (ec) {
      ends.over = true;
      write_stderr("Ошибка чтения локального UDP-сокета " + escape_controls(id) + ": " + ec.message() + "\n");
      session.udp_sockets.remove_own(id, serial);
      co_return;
    }
  }
}

}  // namespace

awaitable<void> local_udp_reader_task(std::string id, uint64_t serial, asio::ip::udp::socket socket,
                                      frames::QueueReader datagrams,
                                      std::shared_ptr<std::atomic<uint64_t>> last_activity,
                                      frames::FrameSender frame_tx, std::shared_ptr<UdpSession> session) {
  Ends ends;
  auto both = to_local(id, serial, *datagrams, socket, *session, ends) &&
              from_local(id, serial, socket, *last_activity, frame_tx, *session, ends);
  co_await std::move(both);
}

std::shared_ptr<frames::LocalQueue> obtain_socket(const std::string& id, frames::FrameSender& frame_tx,
                                                  const std::shared_ptr<UdpSession>& session) {
  // Bind and connect are immediate calls with numeric addresses, so they are
  // made under the table lock: two datagrams of a new id make one socket.
  return session->udp_sockets.with([&](auto& map) -> std::shared_ptr<frames::LocalQueue> {
    if (auto it = map.find(id); it != map.end()) {
      it->second.last_activity->store(now_ms());
      return it->second.datagrams.queue();
    }
    asio::any_io_executor strand = worker_strand();
    asio::ip::udp::socket socket(strand);
    asio::error_code ec;
    socket.open(asio::ip::udp::v4(), ec);
    if (!ec) socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), 0), ec);
    if (ec) {
      write_stderr("Не удалось забиндить локальный UDP-сокет: " + ec.message() + "\n");
      return nullptr;
    }
    std::string port = std::to_string(session->local_port);
    socket.connect(asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), session->local_port), ec);
    if (ec) {
      write_stderr("Не удалось привязать локальный UDP к 127.0.0.1:" + port + ": " + ec.message() + "\n");
      return nullptr;
    }
    socket.non_blocking(true, ec);
    auto queue = std::make_shared<frames::LocalQueue>();
    auto last_activity = std::make_shared<std::atomic<uint64_t>>(now_ms());
    LocalUdpEntry& entry = map[id];
    entry.datagrams = frames::QueueWriter(queue);
    entry.last_activity = last_activity;
    entry.serial = session->udp_sockets.next_serial();
    entry.reader = session->tasks->spawn(strand, local_udp_reader_task(id, entry.serial, std::move(socket),
                                                                       frames::QueueReader(queue), last_activity,
                                                                       frame_tx, session));
    return queue;
  });
}

awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<UdpSession>& session) {
  if (frames::Data* data = std::get_if<frames::Data>(&message)) {
    // A socket whose task has just failed has already left the table, so a
    // second look makes the id a new one.
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::shared_ptr<frames::LocalQueue> queue = obtain_socket(data->id, frame_tx, session);
      if (!queue) break;
      frames::LocalQueue::Push pushed = co_await queue->push(data->payload, local_stall_limit());
      if (pushed == frames::LocalQueue::Push::Gone) continue;
      if (pushed == frames::LocalQueue::Push::Stalled) {
        session->udp_sockets.with([&](auto& map) {
          auto it = map.find(data->id);
          if (it == map.end() || it->second.datagrams.queue() != queue) return;
          write_stderr("Ошибка отправки в локальный UDP-порт " + std::to_string(session->local_port) +
                       " (connId=" + escape_controls(data->id) + "): " + std::string(frames::STALLED_DATAGRAMS) +
                       "\n");
          it->second.reader.stop();
          map.erase(it);
        });
      }
      break;
    }
    co_return Result<void>();
  }
  co_return Result<void>();
}

std::vector<std::string> idle_ids(frames::ConnectionTable<LocalUdpEntry>::Map& map, uint64_t now, uint64_t limit) {
  std::vector<std::string> ids;
  for (auto& [id, entry] : map) {
    uint64_t last = entry.last_activity->load();
    uint64_t idle = last <= now ? now - last : 0;
    if (idle > limit) ids.push_back(id);
  }
  return ids;
}

awaitable<void> udp_idle_sweep_task(std::shared_ptr<UdpSession> session) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  const uint64_t limit = udp_idle_limit_ms();
  for (;;) {
    timer.expires_after(udp_sweep_period());
    co_await timer.async_wait(use_awaitable);
    uint64_t now = now_ms();
    std::vector<LocalUdpEntry> gone;
    session->udp_sockets.with([&](auto& map) {
      for (const std::string& id : idle_ids(map, now, limit)) {
        write_stderr("UDP: connId=" + escape_controls(id) + " закрыт по idle-таймауту\n");
        auto it = map.find(id);
        it->second.reader.stop();
        gone.push_back(std::move(it->second));
        map.erase(it);
      }
    });
  }
}

awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port) {
  write_stdout("UDP режим: проброс UDP трафика на локальный порт " + std::to_string(local_port) + "\n");
  auto session = std::make_shared<UdpSession>();
  session->local_port = local_port;
  session->counters = std::make_shared<frames::ByteCounters>();
  write_stdout(frames::stats_lines(0, 0));

  frames::Mode mode = frames::mode_for(frames::UDP_TAGS, session, &handle_server_message);
  mode.make_extra = [session] { return udp_idle_sweep_task(session); };
  co_await frames::forward(std::move(service), std::move(mode));
}

}  // namespace vostrelin::udp_proxy
