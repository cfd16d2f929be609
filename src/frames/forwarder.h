// What the three forwarders share: the session's frame channel, the server
// writer task (the only writer to the service once the handshake is done),
// the server reader task (reads the service, takes frames from the front of
// what arrived and hands each one to the mode's handler), and `Forwarding`,
// the skeleton every `run` entry is built on.
#pragma once

#include <asio/experimental/concurrent_channel.hpp>
#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "frames/frame.h"
#include "frames/session_tasks.h"
#include "frames/stream_halves.h"
#include "support/channel.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin::frames {

// Frames queued for the service at most; a sender waits while it is full.
inline constexpr size_t FRAME_CHANNEL_CAPACITY = 256;
// Bytes one read from the service takes at most.
inline constexpr size_t SERVICE_READ_BYTES = 65536;

// One element is one or more complete frames, written as they stand.
using FrameSender = Sender<std::string>;
using FrameReceiver = Receiver<std::string>;

// Writes every frame it receives, whole and in order, until the channel ends
// or a write fails ("Ошибка записи на сервер: ..."). Ending drops the write
// half, which shuts down the sending direction, and the receiving end, after
// which every send fails.
awaitable<void> server_writer_task(WriteHalf out, FrameReceiver frames);

// The mode's handling of one frame (never an Error frame). It owns what it
// needs: the reader's sending end, the connection table, the session data.
using MessageHandler = std::function<awaitable<Result<void>>(ServerMessage)>;

// Reads the service until end of stream, a read error ("Ошибка чтения от
// сервера: ..."), an "ERRR." frame ("Ошибка от сервера: ...") or a front that
// cannot become a frame; every complete frame of a read is handled, in
// order, before the next read. A handler's error is printed ("Ошибка
// обработки сообщения: ...") and the next frame is handled.
awaitable<void> server_reader_task(ReadHalf in, FrameTags tags, MessageHandler handler);

// One forwarding session. Built by a mode's `run` around the service
// connection; `run` starts the writer, its own tasks and the reader, then
// awaits first_end(). Destroying it, also when `run` is abandoned where it
// waits, stops every task of the session, the local readers its handlers
// started included; nothing of the session outlives it for long.
// PING and PONG mean the same in every mode: a PING is answered with PONG
// through frame_tx, a PONG needs nothing.
awaitable<Result<void>> answer_keepalive(bool ping, FrameSender& frame_tx);

// The reader's handler for one session of a mode: PING and PONG are
// answered here, every other frame goes to handle(message, frame_tx,
// session), with a sending end and the session kept for as long as the
// reader runs.
template <class Session, class Handle>
MessageHandler session_handler(FrameSender frame_tx, std::shared_ptr<Session> session, Handle handle) {
  return [frame_tx = std::move(frame_tx), session = std::move(session),
          handle](ServerMessage message) mutable -> awaitable<Result<void>> {
    if (std::holds_alternative<Ping>(message) || std::holds_alternative<Pong>(message)) {
      return answer_keepalive(std::holds_alternative<Ping>(message), frame_tx);
    }
    return handle(std::move(message), frame_tx, session);
  };
}

// What one mode adds to the shared skeleton.
struct Mode {
  FrameTags tags;
  // The reader's handler, given a sending end of the frame channel and the
  // session's task set, where the handler starts its local connections.
  std::function<MessageHandler(FrameSender, std::shared_ptr<SessionTasks>)> make_handler;
  // A task of the session beside the writer and the reader (the UDP idle
  // sweep), or none.
  std::function<awaitable<void>()> make_extra;
};

// The mode whose reader hands every frame to handle(message, frame_tx,
// session), with the session's task set kept in session->tasks.
template <class Session, class Handle>
Mode mode_for(FrameTags tags, std::shared_ptr<Session> session, Handle handle) {
  Mode mode;
  mode.tags = tags;
  mode.make_handler = [session = std::move(session), handle](FrameSender frame_tx,
                                                             std::shared_ptr<SessionTasks> tasks) {
    session->tasks = std::move(tasks);
    return session_handler(std::move(frame_tx), session, handle);
  };
  return mode;
}

// One forwarding session over the service connection: starts the writer,
// the mode's extra task and the reader, and returns once the first of them
// has ended. Returning, or being abandoned where it waits, stops every task
// of the session.
awaitable<void> forward(asio::ip::tcp::socket service, Mode mode);

class Forwarding {
 public:
  explicit Forwarding(asio::ip::tcp::socket service);
  ~Forwarding();
  Forwarding(const Forwarding&) = delete;
  Forwarding& operator=(const Forwarding&) = delete;

  // A new sending end of the frame channel.
  FrameSender frame_tx() const { return frame_tx_; }
  // Where the mode's handlers start their local readers.
  const std::shared_ptr<SessionTasks>& tasks() const { return tasks_; }

  void start_writer();
  // A task of the session whose end also ends it (the UDP sweep).
  void start(awaitable<void> task);
  void start_reader(FrameTags tags, MessageHandler handler);

  // Returns once the first of the started tasks has ended, however it ended.
  awaitable<void> first_end();

 private:
  using EndChannel = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;

  std::function<void()> on_end() const;

  asio::any_io_executor strand_;  // the service connection's tasks run here
  ReadHalf read_;
  WriteHalf write_;
  FrameSender frame_tx_;
  FrameReceiver frame_rx_;
  std::shared_ptr<SessionTasks> tasks_;
  std::shared_ptr<EndChannel> ended_;
};

}  // namespace vostrelin::frames
