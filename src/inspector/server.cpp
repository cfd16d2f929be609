#include "inspector/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/experimental/concurrent_channel.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <tuple>
#include <variant>

#include "inspector/assets.h"
#include "inspector/pages.h"
#include "inspector/reader.h"
#include "support/http_head.h"
#include "support/output.h"
#include "support/paths.h"

namespace vostrelin::inspector {
namespace {

constexpr size_t INITIAL_BUFFER = 8192;
constexpr int BACKLOG = 1024;

// After a failed accept the loop pauses this long before the next one. A
// failure such as a full descriptor table persists while the connection
// waits in the backlog, and retrying at once would spin and flood standard
// error.
constexpr std::chrono::milliseconds ACCEPT_PAUSE(100);

constexpr std::string_view HTML = "text/html; charset=utf-8";
constexpr std::string_view TEXT = "text/plain; charset=utf-8";
constexpr std::string_view PNG = "image/png";

std::string_view reason_phrase(uint16_t status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    default: return "";
  }
}

awaitable<Result<void>> write_response(tcp::socket& stream, uint16_t status, std::string_view content_type,
                                       std::string_view body) {
  std::string head = response_head(status, content_type, body.size());
  std::array<asio::const_buffer, 2> buffers = {asio::buffer(head), asio::buffer(body)};
  auto [ec, n] = co_await asio::async_write(stream, buffers, as_tuple_awaitable);
  (void)n;
  if (ec) co_return system_error(ec);
  co_return Result<void>();
}

Answer html(uint16_t status, std::string body) { return Answer{status, HTML, std::move(body)}; }

Answer text(uint16_t status, std::string_view body) { return Answer{status, TEXT, std::string(body)}; }

// Whether the session file exists; a test that fails counts as no.
awaitable<bool> file_exists(const std::string& path) {
  co_return co_await run_blocking([&path] {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  });
}

std::string session_file(const std::string& sessions_dir, std::string_view session_id) {
  return join_path(sessions_dir, std::string(session_id) + ".jsonl");
}

awaitable<Result<Answer>> serve_index(const std::string& sessions_dir) {
  Result<std::vector<SessionSummary>> sessions = co_await list_sessions(sessions_dir);
  if (!sessions) co_return std::move(sessions).error();
  co_return html(200, render_index(*sessions));
}

awaitable<Result<Answer>> serve_session(const std::string& sessions_dir, std::string_view session_id) {
  if (!is_safe_id(session_id)) co_return text(400, "Bad session id");
  std::string path = session_file(sessions_dir, session_id);
  if (!co_await file_exists(path)) co_return text(404, "Session not found");
  Result<SessionContent> content = co_await load_session(std::move(path));
  if (!content) co_return std::move(content).error();
  co_return html(200, render_session(session_id, content->header, content->requests));
}

awaitable<Result<Answer>> serve_request(const std::string& sessions_dir, std::string_view session_id,
                                        std::string_view request_id) {
  if (!is_safe_id(session_id) || !is_safe_id(request_id)) co_return text(400, "Bad id");
  std::string path = session_file(sessions_dir, session_id);
  if (!co_await file_exists(path)) co_return text(404, "Session not found");
  Result<std::optional<RequestDetail>> detail = co_await load_request_detail(std::move(path), std::string(request_id));
  if (!detail) co_return std::move(detail).error();
  if (!detail->has_value()) co_return text(404, "Request not found");
  co_return html(200, render_request(session_id, **detail));
}

// The places for connections served at once: one token per connection in
// a channel of that capacity. The accept loop puts one in before each
// accept, waiting while all are taken; a connection's end takes it out.
class ConnectionSlots {
 public:
  ConnectionSlots(const asio::any_io_executor& executor, size_t count) : tokens_(executor, count) {}

  bool try_take() { return tokens_.try_send(asio::error_code{}, true); }
  awaitable<void> take() { co_await tokens_.async_send(asio::error_code{}, true, use_awaitable); }

  // A stopping runtime has abandoned the wait the token would go to.
  void give_back() {
    if (!runtime_stopping()) tokens_.try_receive([](asio::error_code, bool) {});
  }

 private:
  asio::experimental::concurrent_channel<void(asio::error_code, bool)> tokens_;
};

// Gives a connection's place back when its task ends, however it ends.
struct SlotHeld {
  explicit SlotHeld(std::shared_ptr<ConnectionSlots> held) : slots(std::move(held)) {}
  SlotHeld(const SlotHeld&) = delete;
  SlotHeld& operator=(const SlotHeld&) = delete;
  ~SlotHeld() { slots->give_back(); }
  std::shared_ptr<ConnectionSlots> slots;
};

// What the accept loop knows of one connection reading its request head.
struct HeadWait {
  explicit HeadWait(const asio::any_io_executor& executor) : strand(executor), deadline(executor) {}

  // The connection's strand. The deadline is set before the connection's
  // task starts and from then on touched only there; it ends the head read
  // at the head time-out, or at once when the connection gives way.
  const asio::any_io_executor strand;
  asio::steady_timer deadline;

  // Guarded by the mutex of the HeadWaits it was added to.
  enum State { Reading, Read, GaveWay } state = Reading;
  std::list<std::shared_ptr<HeadWait>>::iterator place;  // while Reading
};

// The connections still reading their request heads, oldest first: when
// every place is taken and another connection waits, the one that has
// waited longest for its head gives way. A connection that has its head is
// answered whatever comes. The accept loop and the connection tasks run on
// different strands, so a mutex guards the list and the states; the
// decision is made under it, and whichever comes first, the connection
// reporting its head or the accept loop choosing it, decides.
class HeadWaits {
 public:
  // A connection just accepted, whose head is due within head_timeout.
  std::shared_ptr<HeadWait> add(const asio::any_io_executor& strand, std::chrono::milliseconds head_timeout) {
    auto wait = std::make_shared<HeadWait>(strand);
    wait->deadline.expires_after(head_timeout);
    std::lock_guard lock(mutex_);
    wait->place = reading_.insert(reading_.end(), wait);
    return wait;
  }

  // The connection has stopped reading its head, with or without one.
  // False when it was told to give way first: it then ends without an
  // answer. Later calls answer as the first did.
  bool head_done(HeadWait& wait) {
    std::lock_guard lock(mutex_);
    if (wait.state == HeadWait::GaveWay) return false;
    if (wait.state == HeadWait::Reading) {
      wait.state = HeadWait::Read;
      reading_.erase(wait.place);
    }
    return true;
  }

  // Tells the connection that has waited longest for its head to give way:
  // its deadline comes at once, on its own strand, and it ends, giving back
  // its place. False when every connection has its head.
  bool give_way() {
    std::shared_ptr<HeadWait> oldest;
    {
      std::lock_guard lock(mutex_);
      if (reading_.empty()) return false;
      oldest = std::move(reading_.front());
      reading_.pop_front();
      oldest->state = HeadWait::GaveWay;
    }
    // Posted after the connection's start (its task was spawned on the same
    // strand before it could be chosen); and a deadline moved to now ends a
    // wait begun later as well as one under way.
    asio::post(oldest->strand, [oldest] { oldest->deadline.expires_after(std::chrono::steady_clock::duration::zero()); });
    return true;
  }

 private:
  std::mutex mutex_;
  std::list<std::shared_ptr<HeadWait>> reading_;
};

// Takes a connection out of the HeadWaits when its task ends, however it
// ends, so that one which has gone is never the one told to give way.
struct HeadWaitHeld {
  HeadWaitHeld(std::shared_ptr<HeadWaits> waits, std::shared_ptr<HeadWait> wait)
      : waits(std::move(waits)), wait(std::move(wait)) {}
  HeadWaitHeld(const HeadWaitHeld&) = delete;
  HeadWaitHeld& operator=(const HeadWaitHeld&) = delete;
  ~HeadWaitHeld() { waits->head_done(*wait); }
  std::shared_ptr<HeadWaits> waits;
  std::shared_ptr<HeadWait> wait;
};

awaitable<Result<void>> serve_connection(tcp::socket& stream, const std::string& sessions_dir, HeadWaits& waits,
                                         HeadWait& wait);

awaitable<void> connection_task(tcp::socket accepted, std::shared_ptr<const std::string> sessions_dir,
                                std::shared_ptr<ConnectionSlots> slots, std::shared_ptr<HeadWaits> waits,
                                std::shared_ptr<HeadWait> wait) {
  // Destroyed in reverse order: the connection is closed, then leaves the
  // head waits, then gives back its place, so that the accept loop never
  // counts a place free while its descriptor is open, nor waits for one
  // that a connection already gone was told to give back.
  SlotHeld held{std::move(slots)};
  HeadWaitHeld head{waits, wait};
  tcp::socket stream = std::move(accepted);
  try {
    Result<void> r = co_await serve_connection(stream, *sessions_dir, *waits, *wait);
    if (!r) write_stderr("inspector: ошибка обработки запроса: " + r.error().message() + "\n");
  } catch (const std::exception& e) {
    write_stderr(std::string("inspector: ошибка обработки запроса: ") + e.what() + "\n");
  }
}

// How reading a request head ended.
struct HeadRead {
  enum Outcome { Complete, Ended, TooLarge, Failed } outcome = Ended;
  asio::error_code error;  // Failed
};

// Reads until the held bytes contain the blank line that ends a head.
awaitable<HeadRead> read_head(tcp::socket& stream, std::string& buffer, size_t& fill) {
  for (;;) {
    if (fill == buffer.size()) buffer.resize(buffer.size() * 2);
    auto [ec, n] =
        co_await stream.async_read_some(asio::buffer(buffer.data() + fill, buffer.size() - fill), as_tuple_awaitable);
    if (ec == asio::error::eof) co_return HeadRead{HeadRead::Ended, {}};
    if (ec) co_return HeadRead{HeadRead::Failed, ec};
    if (n == 0) co_return HeadRead{HeadRead::Ended, {}};
    // The blank line may straddle the previous read's end.
    size_t from = fill >= 3 ? fill - 3 : 0;
    fill += n;
    if (fill >= 4 && std::string_view(buffer.data(), fill).find("\r\n\r\n", from) != std::string_view::npos) {
      co_return HeadRead{HeadRead::Complete, {}};
    }
    if (fill > HEAD_LIMIT) co_return HeadRead{HeadRead::TooLarge, {}};
  }
}

}  // namespace

bool is_safe_id(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

bool is_loopback_host(std::string_view host) {
  std::string_view name = host;
  if (size_t colon = host.rfind(':'); colon != std::string_view::npos) {
    name = host.substr(0, colon);
    for (char c : host.substr(colon + 1)) {
      if (c < '0' || c > '9') return false;
    }
  }
  return name == "127.0.0.1" || ascii_iequals(name, "localhost");
}

Route route_of(std::string_view path) {
  std::string_view route = path.substr(0, path.find('?'));
  if (route == "/logo.png") return {Route::Logo, {}, {}};
  if (route == "/") return {Route::Index, {}, {}};
  if (route.starts_with("/s/")) {
    std::string_view rest = route.substr(3);
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return {Route::Session, rest, {}};
    std::string_view tail = rest.substr(slash);
    if (tail.starts_with("/r/")) return {Route::Request, rest.substr(0, slash), tail.substr(3)};
  }
  return {Route::NotFound, {}, {}};
}

std::string response_head(uint16_t status, std::string_view content_type, size_t content_length) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " ";
  head += reason_phrase(status);
  head += "\r\nContent-Type: ";
  head += content_type;
  head += "\r\nContent-Length: " + std::to_string(content_length);
  head += "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  return head;
}

awaitable<Result<void>> handle_connection(tcp::socket& stream, const std::string& sessions_dir,
                                          std::chrono::milliseconds head_timeout) {
  // Alone: nothing ever tells it to give way.
  HeadWaits alone;
  asio::any_io_executor strand = co_await asio::this_coro::executor;
  std::shared_ptr<HeadWait> wait = alone.add(strand, head_timeout);
  co_return co_await serve_connection(stream, sessions_dir, alone, *wait);
}

namespace {

// handle_connection for a connection of the accept loop: the head read ends
// at the wait's deadline, and the connection answers only if it has not
// been told to give way by the time its head read ends.
awaitable<Result<void>> serve_connection(tcp::socket& stream, const std::string& sessions_dir, HeadWaits& waits,
                                         HeadWait& wait) {
  using namespace asio::experimental::awaitable_operators;
  std::string buffer(INITIAL_BUFFER, '\0');
  size_t fill = 0;
  // Whichever ends first cancels the other: a head that comes in time stops
  // the timer, a timer that runs out stops the read.
  auto race = read_head(stream, buffer, fill) || wait.deadline.async_wait(as_tuple_awaitable);
  std::variant<HeadRead, std::tuple<asio::error_code>> raced = co_await std::move(race);
  // Told to give way, even with its head just in: closed without an answer.
  if (!waits.head_done(wait)) co_return Result<void>();
  // Too slow: the connection closes without an answer.
  if (raced.index() == 1) co_return Result<void>();
  HeadRead read = std::get<0>(raced);
  switch (read.outcome) {
    case HeadRead::Ended:
      co_return Result<void>();
    case HeadRead::Failed:
      co_return system_error(read.error);
    case HeadRead::TooLarge:
      co_return co_await write_response(stream, 413, TEXT, "Payload Too Large");
    case HeadRead::Complete:
      break;
  }

  Result<Answer> answer = co_await answer_request(std::string_view(buffer.data(), fill), sessions_dir);
  if (!answer) co_return std::move(answer).error();
  co_return co_await write_response(stream, answer->status, answer->content_type, answer->body);
}

}  // namespace

awaitable<Result<Answer>> answer_request(std::string_view received, const std::string& sessions_dir) {
  std::array<HttpHeaderField, HEADER_SLOTS> slots;
  HttpRequestHead head = parse_request_head(received, slots);
  if (head.status == HttpHeadStatus::Invalid) co_return text(400, "Bad Request");

  // Only a page of this machine may read recorded traffic: a site the user
  // visits can point a name of its own at 127.0.0.1, but its requests then
  // carry that name.
  for (const HttpHeaderField& field : head.headers) {
    if (ascii_iequals(field.name, "Host") && !is_loopback_host(field.value)) {
      co_return text(403, "Forbidden");
    }
  }

  if (head.method.value_or("GET") != "GET") co_return text(405, "Method Not Allowed");

  Route route = route_of(head.target.value_or("/"));
  switch (route.kind) {
    case Route::Logo:
      co_return Answer{200, PNG, std::string(logo_png())};
    case Route::Index:
      co_return co_await serve_index(sessions_dir);
    case Route::Session:
      co_return co_await serve_session(sessions_dir, route.session_id);
    case Route::Request:
      co_return co_await serve_request(sessions_dir, route.session_id, route.request_id);
    case Route::NotFound:
      break;
  }
  co_return text(404, "Not Found");
}

Result<tcp::acceptor> bind(uint16_t port) {
  auto failure = [port](const std::error_code& ec) {
    return system_error(ec).context("не удалось занять порт инспектора 127.0.0.1:" + std::to_string(port));
  };
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failure(std::error_code(errno, std::system_category()));

  tcp::acceptor listener(worker_executor());
  asio::error_code ec;
  listener.assign(tcp::v4(), fd, ec);
  if (ec) {
    ::close(fd);
    return failure(ec);
  }
  listener.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) listener.bind(tcp::endpoint(asio::ip::address_v4::loopback(), port), ec);
  if (!ec) listener.listen(BACKLOG, ec);
  if (ec) return failure(ec);
  return listener;
}

size_t connection_bound() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return MAX_CONNECTIONS;
  return std::clamp<size_t>(static_cast<size_t>(limit.rlim_cur / 4), 1, MAX_CONNECTIONS);
}

namespace {

// Whether a connection waits in the listener's backlog.
bool connection_pending(tcp::acceptor& listener) {
  pollfd ready{listener.native_handle(), POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0;
}

// Returns once a connection waits in the listener's backlog. The runtime's
// wait sees only connections that come once it has begun, so one already
// waiting is looked for first. None comes unseen in between: this runs on
// the listener's own loop, which takes in the listener's readiness only
// after this step has begun the wait.
awaitable<void> until_connection_pending(tcp::acceptor& listener) {
  if (connection_pending(listener)) co_return;
  co_await listener.async_wait(tcp::acceptor::wait_read, as_tuple_awaitable);
}

// Runs on the listener's loop (see until_connection_pending).
awaitable<void> accept_connections(tcp::acceptor listener, std::string sessions_dir, ServeLimits limits) {
  auto dir = std::make_shared<const std::string>(std::move(sessions_dir));
  auto slots = std::make_shared<ConnectionSlots>(listener.get_executor(), std::max<size_t>(limits.max_connections, 1));
  auto waits = std::make_shared<HeadWaits>();
  asio::steady_timer pause(listener.get_executor());
  for (;;) {
    if (!slots->try_take()) {
      // All places taken: nothing need change before a connection comes.
      co_await until_connection_pending(listener);
      if (!slots->try_take()) {
        // The connection that has waited longest for its head makes room.
        // While every connection has its head, the newcomer waits in the
        // backlog until one has been answered.
        waits->give_way();
        co_await slots->take();
      }
    }
    auto [ec, stream] = co_await listener.async_accept(as_tuple_awaitable);
    if (ec) {
      slots->give_back();
      write_stderr("inspector: ошибка accept: " + ec.message() + "\n");
      pause.expires_after(ACCEPT_PAUSE);
      co_await pause.async_wait(as_tuple_awaitable);
      continue;
    }
    // Accepted descriptors are not marked close-on-exec by the runtime.
    ::fcntl(stream.native_handle(), F_SETFD, FD_CLOEXEC);
    // A strand per connection: its reads and its head timer race there. The
    // connection waits for its head from now on, in the order of accepts.
    asio::any_io_executor strand = asio::make_strand(listener.get_executor());
    std::shared_ptr<HeadWait> wait = waits->add(strand, limits.head_timeout);
    asio::co_spawn(strand, connection_task(std::move(stream), dir, slots, waits, std::move(wait)), asio::detached);
  }
}

}  // namespace

awaitable<void> serve(tcp::acceptor listener, std::string sessions_dir, ServeLimits limits) {
  // The loop handles accept errors itself; what escapes it ends the
  // inspector, and is said so.
  try {
    asio::any_io_executor loop = listener.get_executor();
    auto accepting = asio::co_spawn(loop, accept_connections(std::move(listener), std::move(sessions_dir), limits),
                                    use_awaitable);
    co_await std::move(accepting);
  } catch (const std::exception& e) {
    write_stderr("inspector: ошибка accept: " + std::string(e.what()) + "\n");
  }
}

}  // namespace vostrelin::inspector
