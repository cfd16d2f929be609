// TCP and UDP tunnels as a user runs them: the program against the fake
// service, relaying to real local servers. Per id: bytes both ways in
// order, connects that fail, both orders of closing, a reopened id, large
// transfers, a local peer that stops reading, the counters, and the UDP
// idle sweep.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frames/byte_counters.h"
#include "support/fake_service.h"
#include "support/local_servers.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/tunnel_frames.h"

namespace vostrelin {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

// Frames seen from the client, gathered per id.
struct Seen {
  std::map<std::string, std::string> data;
  std::map<std::string, int> closes;
  int pongs = 0;
  std::vector<std::string> order;  // described frames, as they came
};

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

uint16_t free_udp_port() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

class Relay : public ::testing::Test {
 protected:
  Relay() {
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(home);
    program = install_program(bin);
    write_file(home + "/vostrelin.key", "token-123\n");
  }

  ~Relay() override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    changed.notify_all();
    if (process && process->running()) {
      process->signal(SIGINT);
      process->wait(10s);
    }
    service.reset();
  }

  // Starts the program in `mode` towards `local_port` and returns once its
  // session is forwarding; conn() is then the service's end.
  void open(const std::string& mode, uint16_t local_port, Env extra = {}) {
    service = std::make_unique<FakeService>([this](FakeConnection& c) {
      if (!play_handshake(c, HandshakeScript{}).completed) return;
      std::unique_lock<std::mutex> lock(mutex);
      if (connection != nullptr) return;  // only the first session is played
      connection = &c;
      changed.notify_all();
      changed.wait_for(lock, 120s, [&] { return done; });
    });
    Env env{{"HOME", home},
            {"PATH", "/usr/bin:/bin"},
            {"VOSTRELIN_TEST_SERVICE_PORT", service->port_text()},
            {"VOSTRELIN_TEST_SECOND_MS", "10000"}};
    for (auto& [k, v] : extra) env[k] = v;
    process = std::make_unique<Process>(std::vector<std::string>{program, mode, std::to_string(local_port)}, env);
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return connection != nullptr; })) << process->err();
    frames = std::make_unique<ClientFrames>(*connection);
    ASSERT_TRUE(process->wait_for_stdout("Принято байт: 0\n", 10s)) << process->out() << process->err();
  }

  FakeConnection& conn() { return *connection; }

  // Reads the program's output until pred() holds, within the time-out.
  template <class Pred>
  bool pump_until(Pred pred, std::chrono::milliseconds timeout = 5s) {
    Clock::time_point deadline = Clock::now() + timeout;
    while (!pred()) {
      if (Clock::now() > deadline) return false;
      process->wait_for_stderr("\x01", 20ms);
    }
    return true;
  }

  // Reads frames until `until(seen)` holds or the time-out passes.
  bool collect(Seen& seen, const std::function<bool(const Seen&)>& until, std::chrono::milliseconds timeout = 10s) {
    Clock::time_point deadline = Clock::now() + timeout;
    while (!until(seen)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      // The program blocks on a full output pipe: take its output in often.
      process->drain();
      std::optional<ClientFrame> f = frames->next(std::min(left, std::chrono::milliseconds(5)));
      if (!f) continue;
      if (seen.order.size() < 1000) seen.order.push_back(describe(*f));
      if (f->tag == "MESG") seen.data[f->id] += f->payload;
      else if (f->tag == "TCPC") ++seen.closes[f->id];
      else if (f->tag == "PONG") ++seen.pongs;
    }
    return true;
  }

  // PING answered, with nothing else coming before the PONG.
  void expect_only_pong() {
    conn().send_now("PING");
    conn().send_now(".");
    std::optional<ClientFrame> f = frames->next(5s);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(describe(*f), "PONG");
  }

  TempDir dir;
  std::string bin = dir / "bin";
  std::string home = dir / "home";
  std::string program;
  std::unique_ptr<FakeService> service;
  std::unique_ptr<Process> process;
  std::unique_ptr<ClientFrames> frames;
  std::mutex mutex;
  std::condition_variable changed;
  FakeConnection* connection = nullptr;
  bool done = false;
};

std::string counters(uint64_t to, uint64_t from) { return frames::stats_redraw(to, from); }

// The frames in order, less the PONGs, whose place among frames that follow
// a round trip through the local service is not fixed.
std::vector<std::string> without_pongs(std::vector<std::string> order) {
  std::erase(order, std::string("PONG"));
  return order;
}

TEST_F(Relay, TcpIdsEchoBothWays) {
  LocalTcpServer local(echo_connection);
  open("TCP", local.port());
  // Open frames end where the next frame begins; "7" and "07" are two ids.
  conn().send_now("TCPO.1TCPO.07TCPO.7" + mesg("1", "one") + mesg("07", "zero-seven") + mesg("7", "seven"));
  Seen seen;
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.data.size() == 3 && s.data.at("07").size() == 10 &&
                                                        s.data.at("1").size() == 3 && s.data.at("7").size() == 5; }));
  EXPECT_EQ(seen.data["1"], "one");
  EXPECT_EQ(seen.data["07"], "zero-seven");
  EXPECT_EQ(seen.data["7"], "seven");
  EXPECT_EQ(local.accepted(), 3u);
  EXPECT_TRUE(process->wait_for_stdout(counters(18, 18), 5s)) << process->out();
  EXPECT_EQ(process->err(), "");
}

TEST_F(Relay, TcpCountersRedrawAfterEveryWriteAndRead) {
  LocalTcpServer local(echo_connection);
  open("TCP", local.port());
  conn().send_now("TCPO.1" + mesg("1", "hello"));
  Seen seen;
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.data.count("1") && s.data.at("1").size() == 5; }));
  // An empty payload writes nothing and still redraws; Close ends the
  // local input, the echo server ends its side, "TCPC." follows.
  conn().send_now(mesg("1", "") + "TCPC.1PING.");
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.closes.count("1") && s.pongs == 1; }));
  // The PONG may come before or after the close frame, which follows a
  // round trip through the local service.
  EXPECT_EQ(without_pongs(seen.order), (std::vector<std::string>{"MESG.1.5", "TCPC.1"}));
  const std::string start = "TCP режим: проброс TCP трафика на локальный порт " + std::to_string(local.port()) +
                            "\nПередано байт: 0\nПринято байт: 0\n";
  EXPECT_TRUE(process->wait_for_stdout(counters(5, 5) + counters(5, 5), 5s));
  // The echo may be read before the write's own redraw: both counts are
  // right at every redraw, whichever comes first.
  const std::string address = "Для подключения используйте: demo.tunnel.example\n";
  const std::string written_first = counters(5, 0) + counters(5, 5);
  const std::string echoed_first = counters(0, 5) + counters(5, 5);
  EXPECT_TRUE(process->out() == address + start + written_first + counters(5, 5) ||
              process->out() == address + start + echoed_first + counters(5, 5))
      << process->out();
}

TEST_F(Relay, TcpConnectRefused) {
  uint16_t port = free_port();
  open("TCP", port);
  conn().send_now("TCPO.3" + mesg("3", "lost"));
  std::optional<ClientFrame> f = frames->next();
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(describe(*f), "TCPC.3");
  EXPECT_TRUE(process->wait_for_stderr(
      "Не удалось подключиться к локальному порту " + std::to_string(port) + ": Connection refused\n", 5s));
  // Later bytes for the id are dropped without a word.
  conn().send_now(mesg("3", "later"));
  expect_only_pong();
  EXPECT_EQ(process->err(),
            "Не удалось подключиться к локальному порту " + std::to_string(port) + ": Connection refused\n");
}

TEST_F(Relay, TcpClosingInEitherOrder) {
  struct Case {
    const char* name;
    bool service_first;
  } cases[] = {{"service closes first", true}, {"local side closes first", false}};
  for (const Case& c : cases) {
    std::mutex got_mutex;
    std::string got;
    LocalTcpServer local([&](int fd) {
      if (c.service_first) {
        // Its input ends, and it may still answer.
        std::string in = read_until_eof(fd);
        write_all(fd, "bye");
        std::lock_guard<std::mutex> lock(got_mutex);
        got = in;
      } else {
        write_all(fd, "hello");
        ::shutdown(fd, SHUT_WR);
        std::string in = read_until_eof(fd);
        std::lock_guard<std::mutex> lock(got_mutex);
        got = in;
      }
    });
    open("TCP", local.port());
    Seen seen;
    if (c.service_first) {
      conn().send_now("TCPO.1" + mesg("1", "hi") + "TCPC.1PING.");
      ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.closes.count("1") > 0; })) << c.name;
      EXPECT_EQ(without_pongs(seen.order), (std::vector<std::string>{"MESG.1.3", "TCPC.1"})) << c.name;
      EXPECT_EQ(seen.data["1"], "bye") << c.name;
    } else {
      conn().send_now("TCPO.1PING.");
      ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.closes.count("1") > 0; })) << c.name;
      EXPECT_EQ(without_pongs(seen.order), (std::vector<std::string>{"MESG.1.5", "TCPC.1"})) << c.name;
      // The id is gone: what the service still sends for it is dropped.
      conn().send_now(mesg("1", "late"));
      expect_only_pong();
    }
    if (c.service_first) {
      for (int i = 0; i < 500; ++i) {
        std::lock_guard<std::mutex> lock(got_mutex);
        if (!got.empty()) break;
        std::this_thread::sleep_for(10ms);
      }
      std::lock_guard<std::mutex> lock(got_mutex);
      EXPECT_EQ(got, "hi") << c.name;
    }
    EXPECT_EQ(process->err(), "") << c.name;
    // A fresh program and service for the next case.
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    changed.notify_all();
    process->signal(SIGINT);
    process->wait(10s);
    service.reset();
    connection = nullptr;
    done = false;
  }
}

TEST_F(Relay, TcpReopenedIdLeavesTheNewerConnectionAlone) {
  std::mutex m;
  std::map<int, std::string> received;
  std::atomic<int> next{0};
  LocalTcpServer local([&](int fd) {
    int index = next++;
    std::string in = read_until_eof(fd);
    {
      std::lock_guard<std::mutex> lock(m);
      received[index] = in;
    }
    write_all(fd, "bye" + std::to_string(index));
  });
  open("TCP", local.port());
  conn().send_now("TCPO.5PING.");
  Seen seen;
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.pongs == 1; }));
  // The first connection has taken its number before the second comes.
  for (int i = 0; i < 500 && next.load() < 1; ++i) std::this_thread::sleep_for(10ms);
  // The second Open ends the first connection's input; the first
  // connection's end then removes nothing of the second's.
  conn().send_now("TCPO.5PING.");
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.closes.count("5") == 1 && s.pongs == 2; }));
  EXPECT_EQ(seen.data["5"], "bye0");
  conn().send_now(mesg("5", "to-second") + "TCPC.5PING.");
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.closes.at("5") == 2; }));
  EXPECT_EQ(seen.data["5"], "bye0bye1");
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(received[0], "");
  EXPECT_EQ(received[1], "to-second");
}

TEST_F(Relay, TcpLargeTransferBothWaysIntact) {
  LocalTcpServer local(echo_connection);
  open("TCP", local.port());
  const std::string sent = pattern(64u << 20, 7);
  std::thread sender([&] {
    conn().send_now("TCPO.42");
    for (size_t at = 0; at < sent.size(); at += 60000) {
      conn().send_now(mesg("42", std::string_view(sent).substr(at, 60000)));
    }
    // A close frame ends where the next frame begins.
    conn().send_now("TCPC.42PING.");
  });
  Seen seen;
  bool done_collecting = collect(seen, [](const Seen& s) { return s.closes.count("42") > 0; }, 60s);
  sender.join();
  ASSERT_TRUE(done_collecting) << seen.data["42"].size();
  EXPECT_EQ(seen.data["42"].size(), sent.size());
  EXPECT_TRUE(seen.data["42"] == sent);
  const std::string total = std::to_string(sent.size());
  EXPECT_TRUE(process->wait_for_stdout(counters(sent.size(), sent.size()), 5s));
  EXPECT_EQ(process->err(), "");
}

TEST_F(Relay, TcpLocalPeerThatStopsReadingHoldsUpNobody) {
  std::atomic<bool> release{false};
  std::atomic<int> next{0};
  LocalTcpServer local([&](int fd) {
    if (next++ == 0) {
      // Accepts and never reads.
      for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(10ms);
      return;
    }
    echo_connection(fd);
  });
  open("TCP", local.port(), {{"VOSTRELIN_TEST_STALL_MS", "3000"}});
  // An open frame ends where the next frame begins.
  conn().send_now("TCPO.1PING.");
  // The first connection is the stuck one before the second comes.
  for (int i = 0; i < 500 && next.load() < 1; ++i) std::this_thread::sleep_for(10ms);
  conn().send_now("TCPO.2PING.");
  for (int i = 0; i < 500 && local.accepted() < 2; ++i) std::this_thread::sleep_for(10ms);
  // Less than the stuck connection may hold waiting: nothing waits for it.
  const std::string chunk = pattern(65536, 1);
  std::string burst;
  for (int i = 0; i < 32; ++i) burst += mesg("1", chunk);
  conn().send_now(burst);
  Seen seen;
  conn().send_now(mesg("2", "ping-2") + "PING.");
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.data.count("2") && s.data.at("2").size() == 6 && s.pongs == 3; }));
  // Had the answer waited for the stuck connection, that connection would
  // have been given up first.
  process->drain();
  EXPECT_EQ(process->err(), "") << "the answer waited for the stuck connection";
  // Far more than it may hold: the tunnel waits for it a bounded time,
  // then closes it with a message and goes on.
  std::thread flood([&] {
    for (int i = 0; i < 6; ++i) conn().send_now(burst);
    conn().send_now(mesg("2", "again") + "PING.");
  });
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.closes.count("1") && s.data.at("2").size() == 11 &&
                                                        s.pongs == 4; }, 20s));
  flood.join();
  EXPECT_EQ(seen.data["2"], "ping-2again");
  EXPECT_EQ(seen.closes.count("2"), 0u);
  const std::string stalled =
      "Ошибка записи в локальное подключение 1: локальная сторона не принимает данные, в очереди больше 4 МиБ\n";
  EXPECT_TRUE(process->wait_for_stderr(stalled, 5s));
  EXPECT_EQ(process->err(), stalled);
  release = true;
}

TEST_F(Relay, UdpDatagramsBothWaysPerId) {
  LocalUdpEcho local;
  open("UDP", local.port());
  const std::string big = pattern(65000, 3);
  conn().send_now(mesg("1", "a") + mesg("2", "bb") + mesg("1", "") + mesg("2", big) + mesg("", "empty id"));
  Seen seen;
  ASSERT_TRUE(collect(seen, [&](const Seen& s) { return s.order.size() == 5; }));
  // One datagram is one frame, each id's in order.
  std::vector<std::string> one, two;
  for (const std::string& f : seen.order) {
    if (f.rfind("MESG.1.", 0) == 0) one.push_back(f);
    if (f.rfind("MESG.2.", 0) == 0) two.push_back(f);
  }
  EXPECT_EQ(one, (std::vector<std::string>{"MESG.1.1", "MESG.1.0"}));
  EXPECT_EQ(two, (std::vector<std::string>{"MESG.2.2", "MESG.2.65000"}));
  EXPECT_EQ(seen.data["2"], "bb" + big);
  EXPECT_EQ(seen.data[""], "empty id");
  // Three ids, three sockets, each its own source port.
  EXPECT_EQ(local.sources().size(), 3u);
  const uint64_t bytes = 1 + 2 + 0 + 65000 + 8;
  EXPECT_TRUE(process->wait_for_stdout(counters(bytes, bytes), 5s));
  // A second datagram of an id reuses its socket.
  conn().send_now(mesg("1", "again"));
  ASSERT_TRUE(collect(seen, [&](const Seen& s) { return s.data.at("1") == "aagain"; }));
  EXPECT_EQ(local.sources().size(), 3u);
  EXPECT_EQ(process->err(), "");
}

TEST_F(Relay, UdpBurstComesBackOneFramePerDatagramInOrder) {
  // Sent in one write, answered faster than the reader wakes: the echoes
  // are taken several at a time, and each must still be a frame of its own.
  LocalUdpEcho local;
  open("UDP", local.port());
  std::string burst;
  std::vector<std::string> expected;
  std::string all;
  uint64_t bytes = 0;
  for (int i = 0; i < 100; ++i) {
    std::string datagram = pattern(static_cast<size_t>((i * 37) % 1000), i);
    burst += mesg("7", datagram);
    expected.push_back("MESG.7." + std::to_string(datagram.size()));
    all += datagram;
    bytes += datagram.size();
  }
  conn().send_now(burst);
  Seen seen;
  ASSERT_TRUE(collect(seen, [&](const Seen& s) { return s.order.size() >= expected.size(); }))
      << seen.order.size() << " of " << expected.size();
  EXPECT_EQ(without_pongs(seen.order), expected);
  EXPECT_EQ(seen.data["7"], all);
  EXPECT_TRUE(process->wait_for_stdout(counters(bytes, bytes), 5s));
  EXPECT_EQ(process->err(), "");
}

TEST_F(Relay, UdpNothingListeningIsReportedAndTheIdStartsAgain) {
  uint16_t port = free_udp_port();
  open("UDP", port);
  conn().send_now(mesg("9", "x"));
  // The refusal comes back as an error of the socket, seen by whichever of
  // its next receive or send comes first.
  const std::string receive_failed = "Ошибка чтения локального UDP-сокета 9: Connection refused\n";
  const std::string send_failed =
      "Ошибка отправки в локальный UDP-порт " + std::to_string(port) + " (connId=9): Connection refused\n";
  auto refusals = [&] {
    std::string err = process->err();
    size_t n = 0;
    for (size_t at = err.find("Connection refused\n"); at != std::string::npos; at = err.find("Connection refused\n", at + 1)) ++n;
    return n;
  };
  ASSERT_TRUE(pump_until([&] { return refusals() == 1; })) << process->err();
  EXPECT_TRUE(process->err() == receive_failed || process->err() == send_failed) << process->err();
  // The id is gone with its socket: its next datagram makes a new one.
  conn().send_now(mesg("9", "y"));
  ASSERT_TRUE(pump_until([&] { return refusals() == 2; })) << process->err();
  expect_only_pong();
}

TEST_F(Relay, UdpIdleIdsAreSweptAndComeBackWithANewSocket) {
  LocalUdpEcho local;
  open("UDP", local.port(), {{"VOSTRELIN_TEST_UDP_SWEEP_MS", "100"}, {"VOSTRELIN_TEST_UDP_IDLE_MS", "500"}});
  conn().send_now(mesg("5", "x") + mesg("6", "y"));
  Seen seen;
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.data.size() == 2; }));
  // Id 6 keeps its traffic going; id 5 goes quiet.
  Clock::time_point until = Clock::now() + 1500ms;
  while (Clock::now() < until) {
    conn().send_now(mesg("6", "y"));
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(process->wait_for_stderr("UDP: connId=5 закрыт по idle-таймауту\n", 3s));
  EXPECT_EQ(process->err(), "UDP: connId=5 закрыт по idle-таймауту\n");
  conn().send_now(mesg("5", "z"));
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.data.at("5") == "xz"; }));
  EXPECT_EQ(local.sources().size(), 3u);
}

// The sweep as it runs for users: a pass every 10 seconds, ids gone after
// more than a minute without a datagram.
TEST_F(Relay, UdpIdleSweepInRealTime) {
  LocalUdpEcho local;
  open("UDP", local.port());
  conn().send_now(mesg("77", "x"));
  Seen seen;
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.data.size() == 1; }));
  Clock::time_point last = Clock::now();
  ASSERT_TRUE(process->wait_for_stderr("UDP: connId=77 закрыт по idle-таймауту\n", 80s));
  auto after = Clock::now() - last;
  EXPECT_GE(after, 60s);
  EXPECT_LE(after, 75s);
}

}  // namespace
}  // namespace vostrelin

namespace vostrelin {
namespace {

size_t open_descriptors(int pid) {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

// A session that ends closes every local connection and socket it made,
// while the local peers are still open.
TEST_F(Relay, EndOfTheSessionClosesItsLocalConnections) {
  std::atomic<int> ended{0};
  LocalTcpServer tcp([&](int fd) {
    read_until_eof(fd);
    ++ended;
  });
  open("TCP", tcp.port());
  size_t before = open_descriptors(process->pid());
  conn().send_now("TCPO.1TCPO.2TCPO.3" + mesg("1", "a") + "PING.");
  Seen seen;
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.pongs == 1; }));
  for (int i = 0; i < 500 && tcp.accepted() < 3; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(tcp.accepted(), 3u);
  EXPECT_EQ(open_descriptors(process->pid()), before + 3);
  conn().close();
  for (int i = 0; i < 500 && ended < 3; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ended.load(), 3);
  ASSERT_TRUE(process->wait_for_stderr("Соединение с сервером потеряно", 5s));
  for (int i = 0; i < 500 && open_descriptors(process->pid()) > before - 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(open_descriptors(process->pid()), before - 1);  // the service connection is gone too
}

TEST_F(Relay, EndOfTheSessionClosesItsUdpSockets) {
  LocalUdpEcho udp;
  open("UDP", udp.port());
  size_t before = open_descriptors(process->pid());
  conn().send_now(mesg("1", "a") + mesg("2", "b") + mesg("3", "c"));
  Seen seen;
  ASSERT_TRUE(collect(seen, [](const Seen& s) { return s.data.size() == 3; }));
  EXPECT_EQ(open_descriptors(process->pid()), before + 3);
  conn().close();
  ASSERT_TRUE(process->wait_for_stderr("Соединение с сервером потеряно", 5s));
  for (int i = 0; i < 500 && open_descriptors(process->pid()) > before - 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(open_descriptors(process->pid()), before - 1);
}

}  // namespace
}  // namespace vostrelin

namespace vostrelin {
namespace {

// A UDP id may hold any byte but ".": frames carry it as it came, messages
// show its control characters escaped.
TEST_F(Relay, UdpIdWithControlBytesIsEscapedInMessagesOnly) {
  LocalUdpEcho local;
  open("UDP", local.port(), {{"VOSTRELIN_TEST_UDP_SWEEP_MS", "100"}, {"VOSTRELIN_TEST_UDP_IDLE_MS", "200"}});
  const std::string id = "\x1b]0;x\x07";
  conn().send_now(mesg(id, "hi"));
  Seen seen;
  ASSERT_TRUE(collect(seen, [&](const Seen& s) { return s.data.count(id) > 0; }));
  EXPECT_EQ(seen.data[id], "hi");
  const std::string line = "UDP: connId=\\x1b]0;x\\x07 закрыт по idle-таймауту\n";
  EXPECT_TRUE(process->wait_for_stderr(line, 5s)) << process->err();
  EXPECT_EQ(process->err(), line);
}

}  // namespace
}  // namespace vostrelin
