// The recorder: the journal of one HTTP tunnel session in a session file of
// JSON lines. The forwarder's tasks share one Recorder and call its record
// operations; each builds its line on the calling task and queues it whole,
// and session_writer_task, the file's only writer, appends the queued lines
// in order. When the last holder lets go of the Recorder, the writer writes
// what is still queued, closes the file and ends.
//
// Recording never holds up or breaks forwarding: the record operations
// never wait and never fail. The queue is bounded by the bytes of the lines
// it holds (RecorderOptions::queue_limit): while the disk lags that far
// behind, further lines are dropped, and the writer says so once. A write
// error ends recording for the session; every later line is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/channel.h"
#include "support/error.h"
#include "support/json_text.h"
#include "support/runtime.h"

namespace vostrelin::inspector {

// What the session header records.
struct SessionMeta {
  std::string proto;       // the tunnel kind, "HTTP"
  std::string hostname;    // from the command line; empty when none
  std::string remote_url;  // the public address from the handshake
};

// Lines waiting for the disk may hold this many bytes together.
inline constexpr size_t RECORDER_QUEUE_LIMIT = size_t{40} << 20;

// A body is recorded in records of at most this many bytes each, so that no
// line of a session file grows with the body: the inspector reads a line
// whole, and refuses one far longer than these (MAX_SESSION_LINE_BYTES).
// Readers append the pieces of a body in file order, so nothing is lost.
inline constexpr size_t RECORD_PIECE_BYTES = size_t{4} << 20;

struct RecorderOptions {
  size_t queue_limit = RECORDER_QUEUE_LIMIT;
  // Called once session_writer_task has closed the file and let go of the
  // queue.
  std::function<void()> on_writer_end;
};

namespace recorder_detail {
struct QueueState;
}

class Recorder {
 public:
  // Creates the sessions directory tree and a new session file, writes its
  // "session" header line and starts session_writer_task. Errors: the
  // context "создание ~/.vostrelin/sessions" when the directory cannot be
  // made, "создание файла сессии" when the file cannot be created, and the
  // bare write error when the header line cannot be written.
  // Build meta in a statement of its own (src/support/README.md, g++ 12).
  static awaitable<Result<std::shared_ptr<Recorder>>> create(std::string sessions_dir, SessionMeta meta,
                                                            uint16_t local_port);
  static awaitable<Result<std::shared_ptr<Recorder>>> create(std::string sessions_dir, SessionMeta meta,
                                                            uint16_t local_port, RecorderOptions options);

  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // The record operations. kind is "pre" for the request as received from
  // the service and "post" for the request as sent to the local service;
  // status 0 means no status could be read. req_body and res_body record
  // nothing for no bytes.
  void begin(std::string_view id, std::string_view method, std::string_view path) const;
  void req_headers(std::string_view id, std::string_view kind, std::string_view head) const;
  void req_body(std::string_view id, std::string_view kind, std::string_view body) const;
  void res_headers(std::string_view id, uint16_t status, std::string_view head) const;
  void res_body(std::string_view id, std::string_view body) const;
  void end(std::string_view id, uint16_t status, uint64_t total) const;

  // Queues record as one compact line.
  void emit(const Json& record) const;

  // The session file this recorder writes.
  const std::string& path() const { return path_; }

 private:
  Recorder(std::string path, Sender<std::string> sender, std::shared_ptr<recorder_detail::QueueState> state);

  // Queues finished lines, or drops them when the queue is over its limit
  // or the writer has ended. The lines of one record go or are dropped
  // together.
  void send_line(std::string line) const;
  void send_lines(std::vector<std::string> lines) const;
  // Takes room in the queue for lines of this cost, or says there is none.
  bool admit(size_t cost) const;

  std::string path_;
  // Sending never changes the handle itself, so const operations may send
  // from many threads at once.
  mutable Sender<std::string> sender_;
  std::shared_ptr<recorder_detail::QueueState> state_;
};

}  // namespace vostrelin::inspector
