#include "inspector/recorder.h"

#include <asio/detached.hpp>

#include <optional>

#include "inspector/record_lines.h"
#include "inspector/session_file_writer.h"
#include "support/clock.h"
#include "support/output.h"

namespace vostrelin::inspector {

namespace recorder_detail {

// Shared by the recorder's senders and its writer.
struct QueueState {
  size_t limit = RECORDER_QUEUE_LIMIT;
  // Bytes of the lines sent and not yet written, each counted with
  // LINE_OVERHEAD for its string and queue node.
  std::atomic<size_t> queued{0};
  // Set by a sender that dropped a line over the limit; the writer reports
  // it once.
  std::atomic<bool> dropped{false};
  bool drop_reported = false;  // the writer's own
  std::function<void()> on_writer_end;
};

}  // namespace recorder_detail

namespace {

using recorder_detail::QueueState;

constexpr size_t LINE_OVERHEAD = 64;
// The writer hands lines to the blocking pool in batches of about this
// size: one hand-off per line costs more than the write itself.
constexpr size_t WRITE_BATCH_BYTES = 256 * 1024;

void report_drops(QueueState& state) {
  if (state.drop_reported || !state.dropped.load(std::memory_order_relaxed)) return;
  state.drop_reported = true;
  write_stderr("inspector: запись на диск не успевает, часть событий сессии пропущена\n");
}

// Writes queued lines until every sender is gone or a write fails.
awaitable<void> write_queued_lines(Receiver<std::string>& lines, const SessionFile& file, QueueState& state) {
  for (;;) {
    std::optional<std::string> first = co_await lines.receive();
    if (!first) co_return;
    std::string batch = std::move(*first);
    size_t cost = batch.size() + LINE_OVERHEAD;
    while (batch.size() < WRITE_BATCH_BYTES) {
      std::optional<std::string> more = lines.try_receive();
      if (!more) break;
      batch += *more;
      cost += more->size() + LINE_OVERHEAD;
    }
    Result<void> written = co_await run_blocking([&file, &batch] { return write_all(file, batch); });
    state.queued.fetch_sub(cost, std::memory_order_relaxed);
    if (!written) {
      write_stderr("inspector: ошибка записи события: " + written.error().message() + "\n");
      co_return;
    }
    report_drops(state);
  }
}

// The file's only writer. Lines reach the file in queue order through
// unbuffered writes, so each write error shows at the line that caused it
// and nothing is left to flush at the end.
awaitable<void> session_writer_task(Receiver<std::string> lines, SessionFile file, std::shared_ptr<QueueState> state) {
  try {
    co_await write_queued_lines(lines, file, *state);
  } catch (const std::exception& e) {
    // Recording ends as after a write error.
    write_stderr("inspector: ошибка записи события: " + std::string(e.what()) + "\n");
  }
  file.close();
  report_drops(*state);
  // From here on every send fails and its line is dropped.
  lines = Receiver<std::string>();
  if (state->on_writer_end) state->on_writer_end();
}

// Steps of creation that touch the disk, run on the blocking pool.
Result<CreatedSessionFile> start_session_file(const std::string& dir, const SessionMeta& meta,
                                              uint16_t local_port) {
  if (Result<void> made = create_sessions_dir(dir); !made) {
    return std::move(made).context("создание ~/.vostrelin/sessions").error();
  }
  Result<CreatedSessionFile> created = create_session_file(dir, wall_clock_now().tv_sec);
  if (!created) return std::move(created).context("создание файла сессии");
  // The header's time is a reading of its own, taken once the file is open.
  std::string header = session_line(rfc3339_now(), meta.proto, meta.hostname, local_port, meta.remote_url);
  if (Result<void> written = write_all(created->file, header); !written) return std::move(written).error();
  return created;
}

// The records of a body, one per piece of at most RECORD_PIECE_BYTES.
template <class MakeLine>
std::vector<std::string> body_lines(std::string_view body, MakeLine make_line) {
  std::vector<std::string> lines;
  lines.reserve((body.size() + RECORD_PIECE_BYTES - 1) / RECORD_PIECE_BYTES);
  for (size_t at = 0; at < body.size(); at += RECORD_PIECE_BYTES) {
    lines.push_back(make_line(body.substr(at, RECORD_PIECE_BYTES)));
  }
  return lines;
}

// Building a line only allocates; should even that fail, the record is
// lost rather than the request.
template <class Send>
void record_or_drop(Send send) noexcept {
  try {
    send();
  } catch (const std::exception&) {
  }
}

}  // namespace

Recorder::Recorder(std::string path, Sender<std::string> sender, std::shared_ptr<QueueState> state)
    : path_(std::move(path)), sender_(std::move(sender)), state_(std::move(state)) {}

awaitable<Result<std::shared_ptr<Recorder>>> Recorder::create(std::string sessions_dir, SessionMeta meta,
                                                             uint16_t local_port) {
  // Built beforehand: no temporaries inside co_await (src/support/README.md).
  RecorderOptions options;
  co_return co_await create(std::move(sessions_dir), std::move(meta), local_port, std::move(options));
}

awaitable<Result<std::shared_ptr<Recorder>>> Recorder::create(std::string sessions_dir, SessionMeta meta,
                                                             uint16_t local_port, RecorderOptions options) {
  // The pool hands results back through a default-constructed value, which
  // Result has not; hence the optional.
  std::optional<Result<CreatedSessionFile>> started =
      co_await run_blocking([&]() -> std::optional<Result<CreatedSessionFile>> {
        try {
          return start_session_file(sessions_dir, meta, local_port);
        } catch (const std::exception& e) {
          return Result<CreatedSessionFile>(Error(e.what()).context("создание файла сессии"));
        }
      });
  if (!*started) co_return std::move(*started).error();
  CreatedSessionFile created = std::move(**started);

  // The header is written before the queue exists, so it is always first.
  auto state = std::make_shared<QueueState>();
  state->limit = options.queue_limit;
  state->on_writer_end = std::move(options.on_writer_end);
  auto [sender, receiver] = make_channel<std::string>(worker_executor(), UNBOUNDED);
  asio::co_spawn(worker_executor(), session_writer_task(std::move(receiver), std::move(created.file), state),
                 asio::detached);
  co_return std::shared_ptr<Recorder>(new Recorder(std::move(created.path), std::move(sender), std::move(state)));
}

bool Recorder::admit(size_t cost) const {
  size_t before = state_->queued.fetch_add(cost, std::memory_order_relaxed);
  // Lines bigger than the limit still go when nothing else waits: the limit
  // is there for a lagging disk, not for one large body.
  if (before != 0 && before + cost > state_->limit) {
    state_->queued.fetch_sub(cost, std::memory_order_relaxed);
    state_->dropped.store(true, std::memory_order_relaxed);
    return false;
  }
  return true;
}

void Recorder::send_line(std::string line) const {
  const size_t cost = line.size() + LINE_OVERHEAD;
  if (!admit(cost)) return;
  if (!sender_.try_send(std::move(line))) state_->queued.fetch_sub(cost, std::memory_order_relaxed);
}

void Recorder::send_lines(std::vector<std::string> lines) const {
  size_t cost = 0;
  for (const std::string& line : lines) cost += line.size() + LINE_OVERHEAD;
  if (!admit(cost)) return;
  for (std::string& line : lines) {
    const size_t one = line.size() + LINE_OVERHEAD;
    if (!sender_.try_send(std::move(line))) state_->queued.fetch_sub(one, std::memory_order_relaxed);
  }
}


void Recorder::begin(std::string_view id, std::string_view method, std::string_view path) const {
  record_or_drop([&] { send_line(begin_line(id, rfc3339_now(), method, path)); });
}

void Recorder::req_headers(std::string_view id, std::string_view kind, std::string_view head) const {
  record_or_drop([&] { send_line(req_headers_line(id, kind, head)); });
}

void Recorder::req_body(std::string_view id, std::string_view kind, std::string_view body) const {
  if (body.empty()) return;
  record_or_drop([&] {
    send_lines(body_lines(body, [&](std::string_view piece) { return req_body_line(id, kind, piece); }));
  });
}

void Recorder::res_headers(std::string_view id, uint16_t status, std::string_view head) const {
  record_or_drop([&] { send_line(res_headers_line(id, status, head)); });
}

void Recorder::res_body(std::string_view id, std::string_view body) const {
  if (body.empty()) return;
  record_or_drop([&] {
    send_lines(body_lines(body, [&](std::string_view piece) { return res_body_line(id, piece); }));
  });
}

void Recorder::end(std::string_view id, uint16_t status, uint64_t total) const {
  record_or_drop([&] { send_line(end_line(id, status, total, rfc3339_now())); });
}

void Recorder::emit(const Json& record) const {
  record_or_drop([&] {
    std::string line = json_text(record);
    line += '\n';
    send_line(std::move(line));
  });
}

}  // namespace vostrelin::inspector
