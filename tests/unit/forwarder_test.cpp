// The forwarder skeleton over real loopback connections: the server reader
// (frames split and glued across reads, the ends of a session and their
// messages), the server writer (order, wholeness, a failed write), the
// session's task set, and the three run entries with their lines.
#include "frames/forwarder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "frames/byte_counters.h"
#include "frames/pending.h"
#include "http_proxy/forwarder.h"
#include "support/capture.h"
#include "support/runtime_fixture.h"
#include "support/socket_pair.h"
#include "tcp_proxy/forwarder.h"
#include "udp_proxy/forwarder.h"

namespace vostrelin::frames {
namespace {

using namespace std::chrono_literals;
using test::CapturedStream;
using test::peer_read;
using test::peer_read_to_end;
using test::peer_reset;
using test::peer_write;
using test::socket_pair;
using test::SocketPair;

std::string describe(const ServerMessage& m) {
  struct {
    std::string operator()(const Open& o) { return "Open(" + o.id + ")"; }
    std::string operator()(const Close& c) { return "Close(" + c.id + ")"; }
    std::string operator()(const Data& d) { return "Data(" + d.id + "|" + d.payload + ")"; }
    std::string operator()(const Ping&) { return "Ping"; }
    std::string operator()(const Pong&) { return "Pong"; }
    std::string operator()(const Error& e) { return "Error(" + e.text + ")"; }
  } visitor;
  return std::visit(visitor, m);
}

// Waits, bounded, until pred() holds.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 10s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// What a handler saw, filled from the reader's strand and read by the test.
struct Seen {
  std::mutex mutex;
  std::vector<std::string> messages;
  void add(std::string m) {
    std::lock_guard<std::mutex> g(mutex);
    messages.push_back(std::move(m));
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> g(mutex);
    return messages;
  }
};

// Records every frame; a data frame for id "bad" fails.
MessageHandler recording_handler(std::shared_ptr<Seen> seen) {
  return [seen](ServerMessage m) -> awaitable<Result<void>> {
    seen->add(describe(m));
    if (const Data* d = std::get_if<Data>(&m); d != nullptr && d->id == "bad") co_return vostrelin::Error("nope");
    co_return Result<void>();
  };
}

class Forwarder : public test::RuntimeTest {};

enum class PeerEnd { Close, Reset, StayOpen };

TEST_F(Forwarder, ReaderHandlesFramesInOrderAndEndsAsTheServiceSays) {
  struct Case {
    const char* name;
    std::vector<std::string> writes;  // separate writes, a pause between them
    PeerEnd end;
    std::vector<std::string> handled;
    std::string err;
  } cases[] = {
      {"frames split over reads and glued in one",
       {"PING.MESG.1.3.ab", "cPONG", "MESG.2.1.z", "TCPO.7", "TCPC.7PING."},
       PeerEnd::Close,
       {"Ping", "Data(1|abc)", "Pong", "Data(2|z)", "Open(7)", "Close(7)", "Ping"},
       ""},
      {"error after other frames of the same read", {"PING.MESG.1.1.xERRR.gone PING."}, PeerEnd::StayOpen,
       {"Ping", "Data(1|x)"}, "Ошибка от сервера: gone PING.\n"},
      {"end of stream in the middle of a frame", {"PING.MESG.1.10.abc"}, PeerEnd::Close, {"Ping"}, ""},
      {"a handler error, then the next frame", {"MESG.bad.0.MESG.ok.0."}, PeerEnd::Close,
       {"Data(bad|)", "Data(ok|)"}, "Ошибка обработки сообщения: nope\n"},
      {"a front that can never become a frame", {"PING.WHAT?"}, PeerEnd::StayOpen, {"Ping"},
       "Неверный кадр от сервера (после метки нет точки): \"WHAT?\"\n"},
      {"a frame beyond the limit", {"PING.", "MESG.1.99999999999."}, PeerEnd::StayOpen, {"Ping"},
       "Кадр от сервера длиннее 16777216 байт: \"MESG.1.999999999\"\n"},
      {"a reset connection", {}, PeerEnd::Reset, {}, "Ошибка чтения от сервера: Connection reset by peer\n"},
  };
  for (const Case& c : cases) {
    SocketPair pair = socket_pair();
    auto seen = std::make_shared<Seen>();
    std::thread feeder([&] {
      for (const std::string& w : c.writes) {
        peer_write(pair.peer, w);
        std::this_thread::sleep_for(20ms);
      }
      if (c.end == PeerEnd::Close) pair.peer.shutdown(asio::ip::tcp::socket::shutdown_send);
      if (c.end == PeerEnd::Reset) peer_reset(pair.peer);
    });
    CapturedStream err(STDERR_FILENO);
    auto [read_half, write_half] = split(std::move(pair.ours));
    // The reader must end by itself, also while the peer stays connected.
    run(server_reader_task(std::move(read_half), TCP_TAGS, recording_handler(seen)));
    feeder.join();
    EXPECT_EQ(seen->get(), c.handled) << c.name;
    EXPECT_EQ(err.text(), c.err) << c.name;
  }
}

TEST_F(Forwarder, WriterKeepsFramesWholeAndInOrder) {
  constexpr int SENDERS = 4, FRAMES = 500;
  SocketPair pair = socket_pair();
  auto [read_half, write_half] = split(std::move(pair.ours));
  auto [tx, rx] = make_channel<std::string>(executor(), FRAME_CHANNEL_CAPACITY);
  std::string received;
  std::thread reader([&] { EXPECT_TRUE(peer_read_to_end(pair.peer, received)); });
  for (int s = 0; s < SENDERS; ++s) {
    asio::co_spawn(
        executor(),
        [tx = tx, s]() mutable -> awaitable<void> {
          for (int i = 0; i < FRAMES; ++i) {
            // Large enough that writes are partial and frames get batched.
            std::string payload = std::to_string(i) + ":" + std::string(1000 + i % 7, static_cast<char>('a' + s));
            co_await tx.send(data_frame("s" + std::to_string(s), payload));
          }
        },
        asio::detached);
  }
  tx.reset();
  // Ends once every sender is gone and their frames are written; ending
  // shuts down the sending direction, so the peer reads to the end.
  run(server_writer_task(std::move(write_half), std::move(rx)));
  reader.join();

  Pending pending(UDP_TAGS);
  pending.append(received);
  std::vector<int> next(SENDERS, 0);
  for (;;) {
    FrontScan scan = pending.next();
    if (!std::holds_alternative<Parsed>(scan)) break;
    const Data& d = std::get<Data>(std::get<Parsed>(scan).message);
    int s = d.id[1] - '0';
    int i = next[s]++;
    EXPECT_EQ(d.payload, std::to_string(i) + ":" + std::string(1000 + i % 7, static_cast<char>('a' + s)));
  }
  EXPECT_EQ(pending.size(), 0u);
  for (int s = 0; s < SENDERS; ++s) EXPECT_EQ(next[s], FRAMES);
}

TEST_F(Forwarder, FailedWriteEndsTheWriterAndLaterSendsFail) {
  SocketPair pair = socket_pair();
  auto [read_half, write_half] = split(std::move(pair.ours));
  auto [tx, rx] = make_channel<std::string>(executor(), FRAME_CHANNEL_CAPACITY);
  peer_reset(pair.peer);
  CapturedStream err(STDERR_FILENO);
  std::atomic<bool> writer_done{false};
  asio::co_spawn(executor(), server_writer_task(std::move(write_half), std::move(rx)),
                 [&](std::exception_ptr) { writer_done = true; });
  auto send_until_failure = [](FrameSender tx) -> awaitable<int> {
    for (int i = 0; i < 1000000; ++i) {
      if (!co_await tx.send(std::string(4096, 'x'))) co_return i;
    }
    co_return -1;
  };
  EXPECT_GE(run(send_until_failure(tx)), 0);
  ASSERT_TRUE(eventually([&] { return writer_done.load(); }));
  std::string text = err.text();
  EXPECT_EQ(text.rfind("Ошибка записи на сервер: ", 0), 0u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_FALSE(tx.try_send("PONG"));
}

// Every kind of wait a session's task may be in ends when the session stops
// its tasks, without a message. (A wait to receive from a channel ends when
// its senders, themselves tasks of the session, are gone.)
TEST_F(Forwarder, StoppingTheSessionEndsEveryWait) {
  auto tasks = SessionTasks::create();
  SocketPair pair = socket_pair();
  auto [full_tx, full_rx] = make_channel<int>(executor(), 1);
  ASSERT_TRUE(full_tx.try_send(1));
  std::atomic<int> ended{0};
  struct Mark {
    std::atomic<int>& n;
    ~Mark() { ++n; }
  };
  CapturedStream err(STDERR_FILENO);

  tasks->spawn([](std::atomic<int>& n) -> awaitable<void> {
    Mark mark{n};
    asio::steady_timer timer(co_await asio::this_coro::executor, 1h);
    co_await timer.async_wait(use_awaitable);
  }(ended));
  tasks->spawn([](std::atomic<int>& n, Sender<int> tx) -> awaitable<void> {
    Mark mark{n};
    co_await tx.send(2);
  }(ended, full_tx));
  asio::any_io_executor strand = pair.ours.get_executor();
  tasks->spawn(strand, [](std::atomic<int>& n, asio::ip::tcp::socket s) -> awaitable<void> {
    Mark mark{n};
    char byte;
    co_await s.async_read_some(asio::buffer(&byte, 1), as_tuple_awaitable);
    co_await s.async_read_some(asio::buffer(&byte, 1), as_tuple_awaitable);
  }(ended, std::move(pair.ours)));

  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(tasks->running(), 3u);
  EXPECT_EQ(ended.load(), 0);
  tasks->stop();
  ASSERT_TRUE(eventually([&] { return ended.load() == 3 && tasks->running() == 0; }));
  EXPECT_EQ(err.text(), "");

  // A stopped session starts nothing more.
  bool started = false;
  EXPECT_FALSE(tasks->spawn([](bool& s) -> awaitable<void> {
    s = true;
    co_return;
  }(started)));
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(started);
  // The peer saw its connection closed with the reading task.
  std::string rest;
  EXPECT_TRUE(peer_read_to_end(pair.peer, rest));
}

// Frames already queued for the service when the session stops (the answers
// to what the service sent just before its end of stream, say) still go out,
// whole and in order, without a wait for a connection that takes nothing.
TEST_F(Forwarder, StoppedWriterStillSendsWhatIsQueued) {
  SocketPair pair = socket_pair();
  auto [read_half, write_half] = split(std::move(pair.ours));
  auto [tx, rx] = make_channel<std::string>(executor(), FRAME_CHANNEL_CAPACITY);
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    std::string frame = i % 2 == 0 ? pong_frame() : data_frame(std::to_string(i), std::string(i, 'x'));
    expected += frame;
    ASSERT_TRUE(tx.try_send(std::move(frame)));
  }
  CapturedStream err(STDERR_FILENO);
  auto tasks = SessionTasks::create();
  asio::any_io_executor strand = write_half.socket().get_executor();
  std::atomic<bool> ended{false};
  tasks->spawn(strand, server_writer_task(std::move(write_half), std::move(rx)), [&] { ended = true; });
  tasks->stop();
  // The senders go with the session's other tasks.
  tx.reset();
  ASSERT_TRUE(eventually([&] { return ended.load(); }));
  std::string received;
  EXPECT_TRUE(peer_read_to_end(pair.peer, received));
  EXPECT_EQ(received, expected);
  EXPECT_EQ(err.text(), "");
}

TEST_F(Forwarder, TaskThatFailsIsReported) {
  auto tasks = SessionTasks::create();
  CapturedStream err(STDERR_FILENO);
  std::atomic<bool> ended{false};
  tasks->spawn([]() -> awaitable<void> {
    throw std::runtime_error("boom");
    co_return;
  }(), [&] { ended = true; });
  ASSERT_TRUE(eventually([&] { return ended.load(); }));
  EXPECT_EQ(err.text(), "internal error: boom\n");
  EXPECT_EQ(tasks->running(), 0u);
}

// Runs one mode's run entry against the peer: PING is answered with PONG
// whichever way it comes, and the end of the stream from the service ends
// the session.
struct ModeCase {
  const char* name;
  std::function<awaitable<void>(asio::ip::tcp::socket)> run;
  std::string out;
};

TEST_F(Forwarder, RunPrintsItsLinesAnswersPingAndEndsWithTheService) {
  auto rule = [] {
    std::vector<Rule> rules(2);
    rules[1].type = RuleType::BODY;
    return rules;
  };
  const ModeCase cases[] = {
      {"TCP", [](asio::ip::tcp::socket s) { return tcp_proxy::run(std::move(s), 5000); },
       "TCP режим: проброс TCP трафика на локальный порт 5000\nПередано байт: 0\nПринято байт: 0\n"},
      {"UDP", [](asio::ip::tcp::socket s) { return udp_proxy::run(std::move(s), 53); },
       "UDP режим: проброс UDP трафика на локальный порт 53\nПередано байт: 0\nПринято байт: 0\n"},
      {"HTTP without rules or inspector",
       [](asio::ip::tcp::socket s) { return http_proxy::run(std::move(s), 8080, {}, nullptr, std::nullopt); },
       "HTTP режим: проброс HTTP трафика на локальный порт 8080 (правил: 0)\n"},
      {"HTTP with rules and inspector",
       [rule](asio::ip::tcp::socket s) {
         return http_proxy::run(std::move(s), 80, rule(), nullptr,
                                std::optional<std::string>("Веб-инспектор: http://127.0.0.1:4040"));
       },
       "HTTP режим: проброс HTTP трафика на локальный порт 80 (правил: 2)\nВеб-инспектор: http://127.0.0.1:4040\n"},
  };
  for (const ModeCase& c : cases) {
    SocketPair pair = socket_pair();
    CapturedStream out(STDOUT_FILENO);
    CapturedStream err(STDERR_FILENO);
    std::string answered;
    std::thread service([&] {
      peer_write(pair.peer, "PING.PING");
      peer_write(pair.peer, "PONG.");
      answered = peer_read(pair.peer, 8);
      pair.peer.shutdown(asio::ip::tcp::socket::shutdown_send);
    });
    run(c.run(std::move(pair.ours)));
    service.join();
    EXPECT_EQ(answered, "PONGPONG") << c.name;
    EXPECT_EQ(out.text(), c.out) << c.name;
    EXPECT_EQ(err.text(), "") << c.name;
    // The session's tasks are gone with it: the connection is closed.
    std::string rest;
    EXPECT_TRUE(peer_read_to_end(pair.peer, rest)) << c.name;
    EXPECT_EQ(rest, "") << c.name;
  }
}

// A run abandoned where it waits (Ctrl+C drops the session) stops the tasks
// of its session; so does a run whose first task has ended.
TEST_F(Forwarder, SessionEndStopsEveryTaskOfTheSession) {
  for (bool abandon : {false, true}) {
    SocketPair pair = socket_pair();
    std::atomic<bool> extra_ended{false};
    auto body = [&]() -> awaitable<void> {
      Forwarding forwarding(std::move(pair.ours));
      forwarding.start_writer();
      // A task of the session that would never end by itself, like a
      // local reader whose local peer stays silent.
      forwarding.tasks()->spawn([](std::atomic<bool>& ended) -> awaitable<void> {
        struct Mark {
          std::atomic<bool>& e;
          ~Mark() { e = true; }
        } mark{ended};
        asio::steady_timer timer(co_await asio::this_coro::executor, 1h);
        co_await timer.async_wait(use_awaitable);
      }(extra_ended));
      forwarding.start_reader(TCP_TAGS, recording_handler(std::make_shared<Seen>()));
      co_await forwarding.first_end();
    };
    asio::cancellation_signal cancel;
    std::atomic<bool> returned{false};
    asio::any_io_executor strand = asio::make_strand(executor());
    asio::co_spawn(strand, body(),
                   asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr) { returned = true; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());
    if (abandon) {
      asio::post(strand, [&] { cancel.emit(asio::cancellation_type::terminal); });
    } else {
      pair.peer.shutdown(asio::ip::tcp::socket::shutdown_send);
    }
    ASSERT_TRUE(eventually([&] { return returned.load(); })) << abandon;
    ASSERT_TRUE(eventually([&] { return extra_ended.load(); })) << abandon;
    std::string rest;
    EXPECT_TRUE(peer_read_to_end(pair.peer, rest)) << abandon;
  }
}

TEST(ByteCounters, RedrawRewritesBothLinesInPlace) {
  EXPECT_EQ(stats_redraw(5, 3), "\x1b[2A\rПередано байт: 5\x1b[K\nПринято байт: 3\x1b[K\n");
  EXPECT_EQ(stats_redraw(18446744073709551615u, 0),
            "\x1b[2A\rПередано байт: 18446744073709551615\x1b[K\nПринято байт: 0\x1b[K\n");
}

// Redraws from many threads never mix their bytes, and the last one shows
// every byte counted.
TEST(ByteCounters, ConcurrentRedrawsStayWhole) {
  constexpr int THREADS = 8, ADDS = 300;
  ByteCounters counters;
  std::string text;
  {
    CapturedStream out(STDOUT_FILENO);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < ADDS; ++i) {
          counters.to_local += 1;
          counters.print_stats();
          counters.from_local += 2;
          counters.print_stats();
        }
      });
    }
    for (std::thread& t : threads) t.join();
    text = out.text();
  }
  const std::string start = "\x1b[2A";
  std::vector<std::string> redraws;
  for (size_t at = 0; at < text.size();) {
    size_t next = text.find(start, at + 1);
    redraws.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next == std::string::npos ? text.size() : next;
  }
  ASSERT_EQ(redraws.size(), static_cast<size_t>(THREADS * ADDS * 2));
  for (const std::string& r : redraws) {
    uint64_t to = 0, from = 0;
    ASSERT_EQ(std::sscanf(r.c_str(), "\x1b[2A\rПередано байт: %lu\x1b[K\nПринято байт: %lu\x1b[K\n", &to, &from), 2)
        << r;
    ASSERT_EQ(r, stats_redraw(to, from));
  }
  EXPECT_EQ(redraws.back(), stats_redraw(THREADS * ADDS, THREADS * ADDS * 2));
}

}  // namespace
}  // namespace vostrelin::frames
