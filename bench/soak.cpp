// The soak run's driver and its first scenarios: reconnects in a row, a
// service that stops reading for a while, and a hostile service.
#include "soak.h"

#include <sys/resource.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "local_servers.h"
#include "soak_common.h"
#include "tunnel.h"

namespace vostrelin::bench {

// ---- shared pieces ----------------------------------------------------------------

Verdict::Verdict(std::string name) : name_(std::move(name)) {
  std::printf("\n== %s\n", name_.c_str());
  std::fflush(stdout);
}

void Verdict::figure(const std::string& text) {
  std::printf("   %s\n", text.c_str());
  std::fflush(stdout);
}

void Verdict::fail(const std::string& reason) {
  failures_.push_back(reason);
  std::printf("   FAULT: %s\n", reason.c_str());
  std::fflush(stdout);
}

void Verdict::skip(const std::string& reason) { skipped_ = reason; }

std::string Verdict::summary() const {
  if (!failures_.empty()) {
    std::string all;
    for (const std::string& f : failures_) all += (all.empty() ? "" : "; ") + f;
    return "failed: " + all;
  }
  if (!skipped_.empty()) return "skipped: " + skipped_;
  return "passed";
}

void Verdict::print_end() const {
  std::printf("   verdict: %s\n", summary().c_str());
  std::fflush(stdout);
}

Settings bench_settings(const SoakSettings& s) {
  Settings b;
  b.program = s.program;
  b.work_dir = s.work_dir;
  return b;
}

void progress(const std::string& text) {
  static const Clock::time_point start = Clock::now();
  std::fprintf(stderr, "[%6.1f s] %s\n", seconds_since(start), text.c_str());
  std::fflush(stderr);
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string mib(long kib) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(kib) / 1024.0);
  return buf;
}

std::string tail(const std::string& text, size_t bytes) {
  return text.size() <= bytes ? text : "…" + text.substr(text.size() - bytes);
}

std::string line_with(const std::string& text, std::string_view needle) {
  size_t at = text.find(needle);
  if (at == std::string::npos) return {};
  size_t begin = text.rfind('\n', at);
  begin = begin == std::string::npos ? 0 : begin + 1;
  size_t end = text.find('\n', at);
  std::string line = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  return line.size() > 200 ? line.substr(0, 200) + "…" : line;
}

uint16_t free_port() {
  uint16_t port = 0;
  int fd = bind_loopback(SOCK_STREAM, port);
  ::close(fd);
  return port;
}

StreamSet::StreamSet(int first_id, int count, uint64_t total, uint64_t window)
    : stopped(static_cast<size_t>(count)),
      first_(first_id),
      count_(count),
      total_(total),
      window_(window),
      sent_(static_cast<size_t>(count)),
      got_(static_cast<size_t>(count)),
      bad_at_(static_cast<size_t>(count)) {
  for (auto& b : bad_at_) b = UINT64_MAX;
}

void StreamSet::on_data(std::string_view id, const char* p, size_t n) {
  int i = id_index(id, first_);
  if (i < 0 || i >= count_) return;
  const size_t k = static_cast<size_t>(i);
  uint64_t at = got_[k].load(std::memory_order_relaxed);
  if (bad_at_[k].load(std::memory_order_relaxed) == UINT64_MAX) {
    for (size_t j = 0; j < n; ++j) {
      if (at + j >= total_ || p[j] != stream_byte(first_ + i, at + j)) {
        bad_at_[k] = at + j;
        break;
      }
    }
  }
  got_[k].store(at + n, std::memory_order_relaxed);
  all_got_.fetch_add(n, std::memory_order_relaxed);
}

std::string StreamSet::next_frame(size_t i, size_t chunk) {
  uint64_t sent = sent_[i].load();
  if (stopped[i] || sent >= total_ || sent - got_[i].load() >= window_) return {};
  size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, total_ - sent));
  const int k = first_ + static_cast<int>(i);
  std::string frame = "MESG." + std::to_string(k) + "." + std::to_string(n) + ".";
  size_t head = frame.size();
  frame.resize(head + n);
  for (size_t j = 0; j < n; ++j) frame[head + j] = stream_byte(k, sent + j);
  sent_[i] = sent + n;
  return frame;
}

uint64_t StreamSet::sent_total() const {
  uint64_t all = 0;
  for (const auto& s : sent_) all += s.load();
  return all;
}

std::string StreamSet::check() const {
  for (int i = 0; i < count_; ++i) {
    const size_t k = static_cast<size_t>(i);
    if (stopped[k]) continue;
    std::string id = "id " + std::to_string(first_ + i);
    if (bad_at_[k] != UINT64_MAX) {
      return id + ": wrong byte at offset " + std::to_string(bad_at_[k].load()) +
             (bad_at_[k] >= total_ ? " (more bytes than were sent)" : "");
    }
    if (got_[k] != total_) {
      return id + ": " + std::to_string(got_[k].load()) + " of " + std::to_string(total_) + " bytes came back";
    }
  }
  return {};
}

StreamWriter::StreamWriter(ControlLink& link, StreamSet& set, size_t chunk) {
  thread_ = std::thread([this, &link, &set, chunk] {
    while (!stop_) {
      bool any = false;
      for (size_t i = 0; i < static_cast<size_t>(set.count()) && !stop_; ++i) {
        std::string frame = set.next_frame(i, chunk);
        if (frame.empty()) continue;
        any = true;
        if (!link.send(frame, 30s)) {
          failed_ = true;
          return;
        }
      }
      if (!any) {
        if (set.sent_total() >= set.total() * static_cast<uint64_t>(set.count())) return;
        std::this_thread::sleep_for(1ms);
      }
    }
  });
}

StreamWriter::~StreamWriter() { stop(); }

void StreamWriter::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

HttpAnswer http_get(uint16_t port, const std::string& path, std::chrono::milliseconds timeout) {
  HttpAnswer a;
  Clock::time_point t0 = Clock::now();
  Clock::time_point deadline = t0 + timeout;
  // A connection the listener has no room for would block a plain
  // connect for minutes of SYN retries; this one waits until the deadline.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  if (fd < 0 || (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
    if (fd >= 0) ::close(fd);
    a.error = "connect failed";
    return a;
  }
  pollfd writable{fd, POLLOUT, 0};
  int err = 0;
  socklen_t err_len = sizeof err;
  if (::poll(&writable, 1, static_cast<int>(timeout.count())) <= 0 ||
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0 || err != 0) {
    ::close(fd);
    a.error = "no connection within " + std::to_string(timeout.count()) + " ms";
    a.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    return a;
  }
  std::string answer;
  if (send_all(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", deadline)) {
    char buf[65536];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !wait_readable(fd, left)) {
        a.error = "no whole answer within " + std::to_string(timeout.count()) + " ms";
        break;
      }
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
  } else {
    a.error = "could not send the request";
  }
  ::close(fd);
  a.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  a.bytes = answer.size();
  if (answer.rfind("HTTP/1.", 0) == 0 && answer.size() >= 12) a.status = std::atoi(answer.c_str() + 9);
  if (a.status == 0 && a.error.empty()) a.error = "no status line";
  return a;
}

// ---- reconnects ---------------------------------------------------------------------

namespace {

struct ProcessFigures {
  long rss_kib = 0, threads = 0, fds = 0;
  size_t local_open = 0;
};

std::string describe(const ProcessFigures& f) {
  return mib(f.rss_kib) + " resident, " + std::to_string(f.threads) + " threads, " + std::to_string(f.fds) +
         " descriptors, " + std::to_string(f.local_open) + " local connections left open";
}

// What is in flight when the service drops the connection: local
// connections open, data on its way, a request head half sent, a response
// streaming.
std::string load_for(const std::string& mode) {
  const std::string block = payload_pattern(64 * 1024);
  if (mode == "TCP") {
    return "TCPO.1TCPO.2TCPO.3MESG.1.5.helloMESG.2." + std::to_string(block.size()) + "." + block + "PING.";
  }
  if (mode == "UDP") {
    return "MESG.1.5.helloMESG.2.512." + block.substr(0, 512) + "MESG.3.0.PING.";
  }
  const std::string big = "GET /big?8388608 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const std::string half = "GET /small HTTP/1.1\r\nHo";
  const std::string post = "POST /small HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\n" + block.substr(0, 1000);
  return http_open("1", big) + http_open("2", half) + http_open("3", post) + "PING.";
}

void reconnects_in(const SoakSettings& s, const std::string& mode, Verdict& v) {
  const int drops = s.quick ? 200 : 1000;
  TcpEchoServer echo;
  HttpServer http(4);
  UdpServer udp(true);
  const uint16_t local = mode == "TCP" ? echo.port() : mode == "HTTP" ? http.port() : udp.port();
  const auto local_open = [&]() -> size_t { return mode == "TCP" ? echo.open_connections() : 0; };

  ServiceListener listener;
  Settings b = bench_settings(s);
  std::map<std::string, std::string> env{{"VOSTRELIN_TEST_SECOND_MS", "0"}};
  if (mode == "HTTP") env["VOSTRELIN_INSPECTOR_PORT"] = std::to_string(free_port());  // recording on
  else env["VOSTRELIN_INSPECTOR"] = "off";
  ClientProcess client(s.program, mode, local, listener.port(), home_dir(b, "reconnect-" + mode), Output::File, env);

  const std::string load = load_for(mode);
  std::map<int, ProcessFigures> at;
  Clock::time_point t0 = Clock::now();
  int done = 0;
  for (int session = 1; session <= drops + 1; ++session) {
    std::string error;
    std::unique_ptr<ControlLink> link = listener.accept_session("soak.tunnel.example", 10s, error);
    if (!link) {
      v.fail(mode + ": session " + std::to_string(session) + " did not come up (" + error + "); client: " +
             tail(client.error_text(), 300));
      break;
    }
    ClientFrameParser parser;
    const int dropped = session - 1;
    if (dropped == 10 || dropped == 100 || dropped == drops) {
      // Leftovers of the dropped sessions have had a moment to finish.
      std::this_thread::sleep_for(300ms);
      if (!link->ping(parser)) v.fail(mode + ": no PING answer after " + std::to_string(dropped) + " drops");
      ProcessFigures f{client.rss_kib(), client.thread_count(), client.open_descriptors(), local_open()};
      at[dropped] = f;
      v.figure(mode + " after " + std::to_string(dropped) + " drops: " + describe(f));
    }
    if (session == drops + 1) break;
    if (!link->send(load) || !link->ping(parser)) {
      v.fail(mode + ": session " + std::to_string(session) + " did not take its load");
      break;
    }
    // Let the local side get going, then drop the connection mid-way.
    std::this_thread::sleep_for(2ms);
    link.reset();
    done = session;
    if (session % 100 == 0) progress("reconnects " + mode + ": " + std::to_string(session));
  }
  v.figure(mode + ": " + std::to_string(done) + " drops in " + std::to_string(static_cast<int>(seconds_since(t0))) +
           " s");
  if (!client.running()) v.fail(mode + ": the client ended; " + tail(client.error_text(), 300));
  if (at.count(100) && at.count(drops)) {
    const ProcessFigures& a = at[100];
    const ProcessFigures& z = at[drops];
    // Flat: resident size within 4 MiB and 10 %, threads and descriptors
    // within 2 of the figure after 100 drops, no local connection left.
    long rss_room = std::max<long>(4096, a.rss_kib / 10);
    if (z.rss_kib > a.rss_kib + rss_room)
      v.fail(mode + ": resident size grew from " + mib(a.rss_kib) + " to " + mib(z.rss_kib));
    if (z.threads > a.threads + 2)
      v.fail(mode + ": threads grew from " + std::to_string(a.threads) + " to " + std::to_string(z.threads));
    if (z.fds > a.fds + 2)
      v.fail(mode + ": descriptors grew from " + std::to_string(a.fds) + " to " + std::to_string(z.fds));
    if (z.local_open > 0) v.fail(mode + ": " + std::to_string(z.local_open) + " local connections left open");
  }
  client.stop();
}

}  // namespace

void scenario_reconnects(const SoakSettings& s, Verdict& v) {
  v.figure("flat means: resident size within max(4 MiB, 10 %), threads and descriptors within 2, of the figure "
           "after 100 drops");
  for (const char* mode : {"TCP", "HTTP", "UDP"}) {
    progress(std::string("reconnects: ") + mode);
    reconnects_in(s, mode, v);
  }
}

// ---- a service that stops reading -----------------------------------------------------

void scenario_stall(const SoakSettings& s, Verdict& v) {
  const int ids = 8;
  const uint64_t each = s.quick ? (8ull << 20) : (32ull << 20);
  const uint64_t window = 2ull << 20;
  const auto pause = 10s;
  TcpEchoServer echo;
  Settings b = bench_settings(s);
  std::unique_ptr<Tunnel> t = open_tunnel(b, "TCP", echo.port());
  if (!t->link) return v.fail("no session: " + t->error);
  v.figure(std::to_string(ids) + " TCP ids, " + std::to_string(each >> 20) + " MiB each way per id, at most " +
           std::to_string(window >> 20) + " MiB per id unanswered; the service stops reading for 10 s");

  StreamSet set(1, ids, each, window);
  std::string opens;
  for (int k = 1; k <= ids; ++k) opens += "TCPO." + std::to_string(k);
  std::atomic<int> closed{0};
  t->parser.events.data = [&](std::string_view id, const char* p, size_t n, bool) { set.on_data(id, p, n); };
  t->parser.events.tcp_close = [&](std::string_view) { ++closed; };
  RssSampler sampler(*t->client);
  auto reader = std::make_unique<LinkReader>(*t->link, t->parser);
  t->link->send(opens + "PING.");
  Clock::time_point t0 = Clock::now();
  StreamWriter writer(*t->link, set);
  const uint64_t all = each * ids;
  bool before = wait_progress([&] { return set.received() >= all / 4; }, [&] { return set.received(); }, 10s);
  if (!before) {
    writer.stop();
    return v.fail("the echo stalled before the pause at " + std::to_string(set.received()) + " bytes");
  }
  reader->stop();
  reader.reset();
  uint64_t sent_at_pause = set.sent_total();
  long rss_at_pause = t->client->rss_kib();
  std::this_thread::sleep_for(pause);
  uint64_t sent_in_pause = set.sent_total() - sent_at_pause;
  long rss_in_pause = t->client->rss_kib();
  reader = std::make_unique<LinkReader>(*t->link, t->parser);
  bool after = wait_progress([&] { return set.complete(); }, [&] { return set.received(); }, 15s);
  writer.stop();
  double wall = seconds_since(t0);
  reader->stop();
  v.figure("sent by the service during the pause (then the client stopped taking more): " +
           std::to_string(sent_in_pause >> 10) + " KiB");
  v.figure("resident at the pause " + mib(rss_at_pause) + ", after 10 s without reading " + mib(rss_in_pause) +
           ", peak " + mib(sampler.peak_kib()));
  v.figure("echoed " + std::to_string(set.received() >> 20) + " of " + std::to_string(all >> 20) + " MiB in " +
           std::to_string(static_cast<int>(wall)) + " s (10 s of it paused)");
  if (!after) v.fail("the echo did not finish after the service read again");
  std::string bad = set.check();
  if (!bad.empty()) v.fail(bad);
  if (closed > 0) v.fail(std::to_string(closed.load()) + " ids closed by the client");
  std::string err = t->client->error_text();
  if (!err.empty()) v.figure("client messages: " + tail(err, 300));
  if (!line_with(err, "Ошибка").empty()) v.fail("the client reported an error: " + line_with(err, "Ошибка"));
  if (bad.empty() && after) v.figure("every byte of every id came back once and in order");
}

// ---- a hostile service ------------------------------------------------------------------

namespace {

// Waits until the client ends the control connection; false when it has
// not within `timeout`.
bool wait_closed(ControlLink& link, ClientFrameParser& parser, std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (!link.pump(parser, 50ms) && link.closed()) return true;
  }
  return false;
}

}  // namespace

void scenario_hostile(const SoakSettings& s, Verdict& v) {
  TcpEchoServer echo;
  ServiceListener listener;
  Settings b = bench_settings(s);
  ClientProcess client(s.program, "TCP", echo.port(), listener.port(), home_dir(b, "hostile"), Output::File,
                       {{"VOSTRELIN_INSPECTOR", "off"}, {"VOSTRELIN_TEST_SECOND_MS", "0"}});
  std::this_thread::sleep_for(200ms);
  long baseline = client.rss_kib();
  RssSampler sampler(client);
  size_t seen = 0;
  const auto new_messages = [&] {
    std::string all = client.error_text();
    std::string fresh = all.substr(std::min(seen, all.size()));
    seen = all.size();
    return fresh;
  };

  struct Front {
    std::string label, bytes, expect;
  };
  const std::vector<Front> fronts{
      {"\"XXXXX\"", "XXXXX", "Неверный кадр от сервера"},
      {"\"MESG.1.-5.\"", "MESG.1.-5.", "Неверный кадр от сервера"},
      {"\"MESG.1.18446744073709551615.\" (2^64-1 bytes announced)", "MESG.1.18446744073709551615.",
       "длиннее 16777216 байт"},
  };
  for (const Front& f : fronts) {
    std::string error;
    std::unique_ptr<ControlLink> link = listener.accept_session("soak.tunnel.example", 10s, error);
    if (!link) return v.fail("no session before " + f.label + ": " + error);
    ClientFrameParser parser;
    link->send(f.bytes);
    Clock::time_point t0 = Clock::now();
    bool ended = wait_closed(*link, parser, 5s);
    std::this_thread::sleep_for(100ms);
    std::string said = new_messages();
    std::string line = line_with(said, f.expect);
    v.figure(f.label + ": session " + (ended ? "ended after " + std::to_string(static_cast<int>(seconds_since(t0) * 1000)) + " ms" : "still open after 5 s") +
             "; message: " + (line.empty() ? tail(said, 200) : line));
    if (!ended) v.fail(f.label + ": the session did not end");
    if (line.empty()) v.fail(f.label + ": no message naming the bad frame");
  }

  {
    // A rule frame of 100 MiB during the handshake.
    const size_t size = 100u << 20;
    std::string rule = R"({"type":"HEADER","dataType":"PLAIN","action":"CREATE","from":"X","to":")";
    rule += std::string(size - rule.size() - 2, 'a') + "\"}";
    std::string frame = "RULE." + std::to_string(rule.size()) + "." + rule;
    std::string error;
    Clock::time_point t0 = Clock::now();
    std::unique_ptr<ControlLink> link = listener.accept_session("soak.tunnel.example", 10s, error, frame);
    std::this_thread::sleep_for(200ms);
    std::string said = new_messages();
    std::string line = line_with(said, "RULE");
    v.figure("100 MiB rule frame: the service's send " + std::string(link ? "went through" : "was cut off (" + error + ")") +
             " after " + std::to_string(static_cast<int>(seconds_since(t0) * 1000)) + " ms; message: " +
             (line.empty() ? tail(said, 200) : line));
    if (line.empty()) v.fail("100 MiB rule frame: no message about the rule frame");
    if (link) v.fail("100 MiB rule frame: the client took it whole");
  }

  {
    // 100,000 PINGs while the service reads nothing, then it reads again.
    const int pings = 100000;
    std::string error;
    std::unique_ptr<ControlLink> link = listener.accept_session("soak.tunnel.example", 10s, error);
    if (!link) return v.fail("no session after the rule frame: " + error + "; client: " + tail(client.error_text(), 300));
    ClientFrameParser parser;
    std::atomic<int> pongs{0};
    parser.events.pong = [&] { ++pongs; };
    std::string all;
    all.reserve(static_cast<size_t>(pings) * 5);
    for (int i = 0; i < pings; ++i) all += "PING.";
    bool sent = link->send(all, 30s);
    std::this_thread::sleep_for(2s);
    Clock::time_point deadline = Clock::now() + 10s;
    while (pongs < pings && Clock::now() < deadline && link->pump(parser, 50ms)) {
    }
    v.figure("100,000 PINGs unread for 2 s: " + std::string(sent ? "all sent" : "send stalled") + ", " +
             std::to_string(pongs.load()) + " PONGs came once the service read again");
    if (pongs != pings) v.fail("PINGs: " + std::to_string(pongs.load()) + " of " + std::to_string(pings) + " answered");
    // The session goes on: one TCP id echoes through it.
    std::string echoed;
    parser.events.data = [&](std::string_view id, const char* p, size_t n, bool) {
      if (id == "1") echoed.append(p, n);
    };
    link->send("TCPO.1MESG.1.5.helloPING.");
    deadline = Clock::now() + 5s;
    while (echoed.size() < 5 && Clock::now() < deadline && link->pump(parser, 50ms)) {
    }
    if (echoed != "hello") v.fail("PINGs: the session did not carry data afterwards");
    else v.figure("the session went on: a TCP id echoed through it afterwards");
    std::string said = new_messages();
    if (!said.empty()) v.figure("client messages: " + tail(said, 200));
  }
  long peak = sampler.peak_kib();
  v.figure("resident: " + mib(baseline) + " at the start, peak " + mib(peak) +
           " (bound: 48 MiB over the start, three times the frame bound)");
  if (peak > baseline + 48 * 1024) v.fail("resident size peaked at " + mib(peak));
  if (!client.running()) v.fail("the client ended: " + tail(client.error_text(), 300));
  client.stop();
}

// ---- the driver ---------------------------------------------------------------------------

namespace {

int soak_usage() {
  std::fprintf(stderr,
               "usage: vostrelin_bench soak [--quick] [--only reconnect,stall,hostile,local-faults,scale,inspector]\n");
  return 2;
}

std::string scratch() {
  std::string templ = (std::filesystem::temp_directory_path() / "vostrelin-soak-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) return {};
  return templ;
}

}  // namespace

int soak_main(const std::string& program, const std::vector<std::string>& args) {
  SoakSettings s;
  s.program = program;
  std::string only = "reconnect,stall,hostile,local-faults,scale,inspector";
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--quick") s.quick = true;
    else if (args[i] == "--only" && i + 1 < args.size()) only = args[++i];
    else return soak_usage();
  }
  // The bench holds as many sockets as the client at the largest scale;
  // the client, started from here, raises its own soft limit likewise.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  s.descriptor_limit = static_cast<long>(limit.rlim_max);

  s.work_dir = scratch();
  if (s.work_dir.empty()) {
    std::fprintf(stderr, "vostrelin_bench soak: no scratch directory\n");
    return 1;
  }
  struct Entry {
    const char* name;
    const char* title;
    void (*run)(const SoakSettings&, Verdict&);
  };
  const Entry entries[] = {
      {"reconnect", "reconnects in a row, with traffic in flight at each drop", scenario_reconnects},
      {"stall", "a service that stops reading for 10 s", scenario_stall},
      {"hostile", "a hostile service", scenario_hostile},
      {"local-faults", "local services that never read or reset, beside other traffic", scenario_local_faults},
      {"scale", "10,000 TCP ids, 10,000 UDP ids, 1 GiB through TCP and HTTP", scenario_scale},
      {"inspector", "the inspector under idle floods, a trickled head and a 1 GiB body", scenario_inspector},
  };
  const std::string parts = "," + only + ",";
  std::printf("vostrelin soak (%s; descriptor hard limit %ld)\n", s.quick ? "quick" : "full", s.descriptor_limit);
  std::vector<std::unique_ptr<Verdict>> verdicts;
  Clock::time_point t0 = Clock::now();
  for (const Entry& e : entries) {
    if (parts.find(std::string(",") + e.name + ",") == std::string::npos) continue;
    progress(std::string("scenario ") + e.name);
    auto v = std::make_unique<Verdict>(std::string(e.name) + ": " + e.title);
    Clock::time_point started = Clock::now();
    e.run(s, *v);
    v->figure("took " + std::to_string(static_cast<int>(seconds_since(started))) + " s");
    v->print_end();
    verdicts.push_back(std::move(v));
  }
  std::filesystem::remove_all(s.work_dir);

  bool failed = false;
  std::printf("\nsummary (%d s)\n", static_cast<int>(seconds_since(t0)));
  for (const auto& v : verdicts) {
    std::printf("  %-14s %s\n", v->name().substr(0, v->name().find(':')).c_str(), v->summary().c_str());
    failed = failed || v->failed();
  }
  if (verdicts.empty()) return soak_usage();
  return failed ? 1 : 0;
}

}  // namespace vostrelin::bench
