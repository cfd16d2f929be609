// The soak run's load scenarios: misbehaving local services beside
// healthy traffic, ten thousand ids at once and a gibibyte through each
// forwarder, and the inspector under floods and slow or huge requests.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "local_servers.h"
#include "soak_common.h"
#include "tunnel.h"

namespace vostrelin::bench {

namespace {

std::string ms_text(double ms) { return std::to_string(static_cast<long>(ms)) + " ms"; }

const std::string SMALL_GET = "GET /small HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

// Keeps `inflight` small requests going through an HTTP tunnel from the
// close handler, as the bench's request loop does, and records the longest
// wait between two completions.
struct SmallRequests {
  std::mutex mutex;
  std::unordered_map<std::string, uint64_t> bytes;
  std::atomic<uint64_t> completed{0}, short_answers{0};
  std::atomic<bool> keep_going{true};
  Clock::time_point last = Clock::now();
  double longest_gap_ms = 0;
  int next_id = 1000;

  std::string open_one() {
    std::string id = std::to_string(next_id++);
    bytes[id] = 0;
    return http_open(id, SMALL_GET);
  }
  void on_data(std::string_view id, size_t n) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = bytes.find(std::string(id));
    if (it != bytes.end()) it->second += n;
  }
  // The reply to the service's side for a finished request, or empty when
  // the id is not one of these.
  std::string on_close(std::string_view view) {
    std::string id(view);
    std::lock_guard<std::mutex> lock(mutex);
    auto it = bytes.find(id);
    if (it == bytes.end()) return {};
    if (it->second < HTTP_SMALL_BODY) ++short_answers;
    bytes.erase(it);
    ++completed;
    Clock::time_point now = Clock::now();
    longest_gap_ms = std::max(longest_gap_ms, std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
    std::string reply = "HTPC." + id;
    if (keep_going) reply += open_one();
    else reply += "PING.";
    return reply;
  }
};

void tcp_faults(const SoakSettings& s, Verdict& v) {
  FaultServer server(FaultServer::Kind::Tcp);
  Settings b = bench_settings(s);
  std::unique_ptr<Tunnel> t = open_tunnel(b, "TCP", server.port());
  if (!t->link) return v.fail("TCP: no session: " + t->error);
  // Ids 2 to 5 echo checked bytes; id 1 goes to a local service that never
  // reads, id 6 to one that resets.
  const uint64_t each = s.quick ? (4ull << 20) : (16ull << 20);
  StreamSet healthy(2, 4, each, 1ull << 20);
  std::atomic<bool> sink_closed{false}, reset_closed{false};
  std::atomic<uint64_t> reset_bytes{0};
  std::mutex gap_mutex;
  Clock::time_point last_move = Clock::now();
  double longest_gap_ms = 0;
  t->parser.events.data = [&](std::string_view id, const char* p, size_t n, bool) {
    if (id == "6") {
      reset_bytes += n;
      return;
    }
    healthy.on_data(id, p, n);
    std::lock_guard<std::mutex> lock(gap_mutex);
    Clock::time_point now = Clock::now();
    longest_gap_ms = std::max(longest_gap_ms, std::chrono::duration<double, std::milli>(now - last_move).count());
    last_move = now;
  };
  t->parser.events.tcp_close = [&](std::string_view id) {
    if (id == "1") sink_closed = true;
    if (id == "6") reset_closed = true;
  };
  LinkReader reader(*t->link, t->parser);
  t->link->send("TCPO.1TCPO.2TCPO.3TCPO.4TCPO.5MESG.1.4.SINKPING.");
  std::this_thread::sleep_for(100ms);
  Clock::time_point t0 = Clock::now();
  {
    std::lock_guard<std::mutex> lock(gap_mutex);
    last_move = t0;
  }
  // The sink gets 16 MiB in frames of its own between the healthy ones.
  std::atomic<bool> stop_sink{false};
  std::thread sink([&] {
    const std::string frame = "MESG.1.32768." + std::string(32768, 's');
    for (int i = 0; i < 512 && !sink_closed && !stop_sink; ++i) {
      if (!t->link->send(frame, 30s)) break;
    }
  });
  StreamWriter writer(*t->link, healthy);
  bool done = wait_progress([&] { return healthy.complete(); }, [&] { return healthy.received(); }, 12s);
  writer.stop();
  Clock::time_point deadline = Clock::now() + 10s;
  while (!sink_closed && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  double sink_s = seconds_since(t0);
  stop_sink = true;
  sink.join();

  t->link->send("TCPO.6MESG.6.4.RSETPING.");
  deadline = Clock::now() + 5s;
  while (!reset_closed && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    t->link->send("PING.");
  }
  reader.stop();
  std::string err = t->client->error_text();
  v.figure("TCP: 4 healthy ids echoed " + std::to_string(healthy.received() >> 20) + " of " +
           std::to_string((each * 4) >> 20) + " MiB; longest wait between two echoed pieces " +
           ms_text(longest_gap_ms));
  v.figure("TCP: the never-reading local connection was " +
           (sink_closed ? "closed after " + std::to_string(static_cast<int>(sink_s)) + " s" : std::string("not closed")) +
           "; message: " + line_with(err, "4 МиБ"));
  v.figure("TCP: the resetting local connection sent " + std::to_string(reset_bytes.load() >> 10) + " KiB and was " +
           (reset_closed ? "closed" : "not closed") + "; message: " + line_with(err, "подключения 6"));
  if (!done) v.fail("TCP: the healthy ids stalled");
  std::string bad = healthy.check();
  if (!bad.empty()) v.fail("TCP: " + bad);
  if (!sink_closed) v.fail("TCP: the id whose local side never reads was not closed");
  if (line_with(err, "4 МиБ").empty()) v.fail("TCP: no message for the never-reading local connection");
  if (!reset_closed) v.fail("TCP: the id whose local side reset was not closed");
  // Held up by at most the bounded wait for the stuck connection (5 s).
  if (longest_gap_ms > 8000) v.fail("TCP: healthy ids waited " + ms_text(longest_gap_ms));
  if (!t->client->running()) v.fail("TCP: the client ended: " + tail(err));
}

void http_faults(const SoakSettings& s, Verdict& v) {
  FaultServer server(FaultServer::Kind::Http);
  Settings b = bench_settings(s);
  std::unique_ptr<Tunnel> t = open_tunnel(b, "HTTP", server.port());
  if (!t->link) return v.fail("HTTP: no session: " + t->error);
  SmallRequests small;
  std::atomic<bool> sink_closed{false}, reset_closed{false};
  std::atomic<uint64_t> reset_bytes{0};
  t->parser.events.data = [&](std::string_view id, const char*, size_t n, bool) {
    if (id == "2") reset_bytes += n;
    else small.on_data(id, n);
  };
  t->parser.events.http_close = [&](std::string_view id) {
    if (id == "1") sink_closed = true;
    else if (id == "2") reset_closed = true;
    else {
      std::string reply = small.on_close(id);
      if (!reply.empty()) t->link->send(reply);
    }
  };
  LinkReader reader(*t->link, t->parser);
  const uint64_t sink_body = 32ull << 20;
  std::string first = http_open("1", "POST /sink HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                         std::to_string(sink_body) + "\r\n\r\n");
  {
    std::lock_guard<std::mutex> lock(small.mutex);
    for (int i = 0; i < 8; ++i) first += small.open_one();
    small.last = Clock::now();
  }
  Clock::time_point t0 = Clock::now();
  t->link->send(first);
  std::thread sink([&] {
    const std::string frame = "MESG.1.32768." + std::string(32768, 's');
    for (uint64_t sent = 0; sent < sink_body && !sink_closed; sent += 32768) {
      if (!t->link->send(frame, 30s)) break;
    }
  });
  Clock::time_point deadline = Clock::now() + 12s;
  while (!sink_closed && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  double sink_s = seconds_since(t0);
  sink.join();
  t->link->send(http_open("2", "GET /reset HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") + "PING.");
  deadline = Clock::now() + 5s;
  while (!reset_closed && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  uint64_t before_end = small.completed.load();
  std::this_thread::sleep_for(500ms);
  small.keep_going = false;
  wait_progress([&] { return small.completed.load() >= before_end + 8 || false; }, [&] { return small.completed.load(); },
                2s);
  reader.stop();
  std::string err = t->client->error_text();
  v.figure("HTTP: " + std::to_string(small.completed.load()) + " small requests answered meanwhile (" +
           std::to_string(small.short_answers.load()) + " short); longest wait between two answers " +
           ms_text(small.longest_gap_ms));
  v.figure("HTTP: the request whose local side never reads was " +
           (sink_closed ? "closed after " + std::to_string(static_cast<int>(sink_s)) + " s" : std::string("not closed")) +
           "; message: " + line_with(err, "reqId=1:"));
  v.figure("HTTP: the response that reset mid-way brought " + std::to_string(reset_bytes.load() >> 10) + " KiB and was " +
           (reset_closed ? "closed" : "not closed") + "; message: " + line_with(err, "reqId=2:"));
  if (!sink_closed) v.fail("HTTP: the request whose local side never reads was not closed");
  if (line_with(err, "reqId=1:").empty()) v.fail("HTTP: no message for the request whose local side never reads");
  if (!reset_closed) v.fail("HTTP: the request whose response reset was not closed");
  if (small.completed.load() < 16) v.fail("HTTP: other requests did not go on");
  if (small.short_answers > 0) v.fail("HTTP: short answers to other requests");
  if (small.longest_gap_ms > 8000) v.fail("HTTP: other requests waited " + ms_text(small.longest_gap_ms));
  if (!t->client->running()) v.fail("HTTP: the client ended: " + tail(err));
}

}  // namespace

void scenario_local_faults(const SoakSettings& s, Verdict& v) {
  progress("local faults: TCP");
  tcp_faults(s, v);
  progress("local faults: HTTP");
  http_faults(s, v);
}

// ---- scale --------------------------------------------------------------------------

namespace {

std::string id_bytes(int k) {
  char text[17];
  std::snprintf(text, sizeof text, "id-%012d|", k);
  return std::string(text, 16);
}

void many_tcp_ids(const SoakSettings& s, Verdict& v, int ids) {
  ManyEchoServer echo;
  Settings b = bench_settings(s);
  std::unique_ptr<Tunnel> t = open_tunnel(b, "TCP", echo.port());
  if (!t->link) return v.fail("TCP ids: no session: " + t->error);
  std::this_thread::sleep_for(100ms);
  long fds0 = t->client->open_descriptors();
  std::vector<std::atomic<uint8_t>> state(static_cast<size_t>(ids) + 1);  // 1 echoed right, 2 wrong
  std::atomic<int> echoed{0}, wrong{0}, closed{0};
  t->parser.events.data = [&](std::string_view id, const char* p, size_t n, bool last) {
    int k = id_index(id, 0);
    if (k < 1 || k > ids || !last) return;
    // Each id's 16 bytes come back in one piece from the echo.
    if (n == 16 && std::string_view(p, n) == id_bytes(k) && state[static_cast<size_t>(k)] == 0) {
      state[static_cast<size_t>(k)] = 1;
      ++echoed;
    } else {
      state[static_cast<size_t>(k)] = 2;
      ++wrong;
    }
  };
  t->parser.events.tcp_close = [&](std::string_view) { ++closed; };
  RssSampler sampler(*t->client);
  LinkReader reader(*t->link, t->parser);
  std::string opens, data, closes;
  for (int k = 1; k <= ids; ++k) {
    opens += "TCPO." + std::to_string(k);
    data += "MESG." + std::to_string(k) + ".16." + id_bytes(k);
    closes += "TCPC." + std::to_string(k);
  }
  Clock::time_point t0 = Clock::now();
  t->link->send(opens + data + "PING.", 30s);
  bool all = wait_progress([&] { return echoed.load() + wrong.load() >= ids; }, [&] { return echoed.load(); }, 20s);
  double open_s = seconds_since(t0);
  long fds_peak = t->client->open_descriptors();
  size_t local_peak = echo.open_connections();
  t->link->send(closes + "PING.", 30s);
  Clock::time_point t1 = Clock::now();
  bool released = wait_progress([&] { return echo.open_connections() == 0; },
                                [&] { return echo.open_connections(); }, 10s);
  std::this_thread::sleep_for(300ms);
  long fds_after = t->client->open_descriptors();
  double close_s = seconds_since(t1);
  reader.stop();
  v.figure("TCP: " + std::to_string(echoed.load()) + " of " + std::to_string(ids) + " ids echoed their bytes in " +
           std::to_string(open_s).substr(0, 4) + " s; " + std::to_string(local_peak) + " local connections and " +
           std::to_string(fds_peak) + " client descriptors at once (" + std::to_string(fds0) + " before)");
  v.figure("TCP: after the service closed them, local connections left " + std::to_string(echo.open_connections()) +
           " (in " + std::to_string(close_s).substr(0, 4) + " s), client descriptors " + std::to_string(fds_after) +
           "; resident peak " + mib(sampler.peak_kib()));
  if (!all || echoed != ids) v.fail("TCP ids: " + std::to_string(echoed.load()) + " of " + std::to_string(ids) + " echoed");
  if (wrong > 0) v.fail("TCP ids: " + std::to_string(wrong.load()) + " ids got wrong bytes back");
  if (!released) v.fail("TCP ids: local connections left open after the close frames");
  if (fds_after > fds0 + 2) v.fail("TCP ids: descriptors left open: " + std::to_string(fds_after));
  if (sampler.peak_kib() > 256 * 1024) v.fail("TCP ids: resident peak " + mib(sampler.peak_kib()));
  std::string err = t->client->error_text();
  if (!err.empty()) v.figure("TCP: client messages: " + tail(err, 300));
}

void many_udp_ids(const SoakSettings& s, Verdict& v, int ids) {
  UdpServer server(true);
  Settings b = bench_settings(s);
  std::unique_ptr<Tunnel> t = open_tunnel(b, "UDP", server.port());
  if (!t->link) return v.fail("UDP ids: no session: " + t->error);
  std::this_thread::sleep_for(100ms);
  long fds0 = t->client->open_descriptors();
  std::vector<std::atomic<uint8_t>> answered(static_cast<size_t>(ids) + 1);
  std::atomic<int> count{0}, wrong{0};
  t->parser.events.data = [&](std::string_view id, const char* p, size_t n, bool last) {
    int k = id_index(id, 0);
    if (k < 1 || k > ids || !last) return;
    if (n != 16 || std::string_view(p, n) != id_bytes(k)) {
      ++wrong;
      return;
    }
    if (answered[static_cast<size_t>(k)].exchange(1) == 0) ++count;
  };
  RssSampler sampler(*t->client);
  LinkReader reader(*t->link, t->parser);
  Clock::time_point t0 = Clock::now();
  std::vector<int> rounds;
  long fds_peak = 0;
  // A datagram may be lost on the way; the ids still waiting are sent
  // their datagram again, at most three times in all.
  for (int round = 0; round < 3 && count < ids; ++round) {
    std::string data;
    for (int k = 1; k <= ids; ++k) {
      if (answered[static_cast<size_t>(k)] == 0) data += "MESG." + std::to_string(k) + ".16." + id_bytes(k);
    }
    t->link->send(data + "PING.", 30s);
    wait_progress([&] { return count.load() >= ids; }, [&] { return count.load(); }, 2s);
    fds_peak = std::max(fds_peak, t->client->open_descriptors());
    rounds.push_back(count.load());
  }
  double took = seconds_since(t0);
  reader.stop();
  std::string per_round;
  for (int r : rounds) per_round += (per_round.empty() ? "" : ", ") + std::to_string(r);
  v.figure("UDP: " + std::to_string(count.load()) + " of " + std::to_string(ids) + " ids echoed (after each round: " +
           per_round + ") in " + std::to_string(took).substr(0, 4) + " s; client descriptors " +
           std::to_string(fds_peak) + " (" + std::to_string(fds0) + " before); resident peak " +
           mib(sampler.peak_kib()));
  if (count != ids) v.fail("UDP ids: " + std::to_string(count.load()) + " of " + std::to_string(ids) + " echoed");
  if (wrong > 0) v.fail("UDP ids: " + std::to_string(wrong.load()) + " wrong datagrams back");
  if (fds_peak < fds0 + ids) v.fail("UDP ids: fewer sockets than ids (" + std::to_string(fds_peak) + ")");
  if (sampler.peak_kib() > 256 * 1024) v.fail("UDP ids: resident peak " + mib(sampler.peak_kib()));
  std::string err = t->client->error_text();
  if (!err.empty()) v.figure("UDP: client messages: " + tail(err, 300));
}

// Bound on the resident size while a large transfer streams: the
// client's queues and buffers, not the transfer, set it.
constexpr long STREAM_BOUND_KIB = 160 * 1024;

void big_tcp(const SoakSettings& s, Verdict& v, uint64_t bytes) {
  TcpEchoServer echo;
  Settings b = bench_settings(s);
  std::unique_ptr<Tunnel> t = open_tunnel(b, "TCP", echo.port());
  if (!t->link) return v.fail("1 GiB TCP: no session: " + t->error);
  RssSampler sampler(*t->client);
  TcpRun r = tcp_tunnel_run(*t, 1, bytes, 1, 10s);
  long peak = sampler.peak_kib();
  v.figure("TCP: " + std::to_string(bytes >> 20) + " MiB each way through one id at " +
           std::to_string(static_cast<long>(r.mib_per_s)) + " MiB/s; resident peak " + mib(peak) + " (bound " +
           mib(STREAM_BOUND_KIB) + ")");
  if (!r.failure.empty()) v.fail("big TCP transfer: " + r.failure);
  if (peak > STREAM_BOUND_KIB) v.fail("big TCP transfer: resident peak " + mib(peak));
}

void big_http(const SoakSettings& s, Verdict& v, uint64_t bytes) {
  HttpServer server(2);
  Settings b = bench_settings(s);
  std::unique_ptr<Tunnel> t = open_tunnel(b, "HTTP", server.port(), Output::File,
                                          {{"VOSTRELIN_INSPECTOR_PORT", std::to_string(free_port())}}, "home-big-http");
  if (!t->link) return v.fail("big HTTP response: no session: " + t->error);
  long peak = 0;
  Clock::time_point t0 = Clock::now();
  std::string failure = http_big_response(*t, bytes, 10s, peak);
  double took = seconds_since(t0);
  t->client->stop();
  uint64_t recorded = 0;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(s.work_dir + "/home-big-http/.vostrelin", ec), end;
       !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) recorded += it->file_size(ec);
  }
  std::filesystem::remove_all(s.work_dir + "/home-big-http/.vostrelin", ec);
  v.figure("HTTP, recording on: a " + std::to_string(bytes >> 20) + " MiB response in " + std::to_string(took).substr(0, 4) +
           " s; session files " + std::to_string(recorded >> 20) + " MiB; resident peak " + mib(peak) + " (bound " +
           mib(STREAM_BOUND_KIB) + ")");
  if (!failure.empty()) v.fail("big HTTP response: " + failure);
  if (peak > STREAM_BOUND_KIB) v.fail("big HTTP response: resident peak " + mib(peak));
}

}  // namespace

void scenario_scale(const SoakSettings& s, Verdict& v) {
  const int ids = s.quick ? 2000 : 10000;
  // Each id costs the client one descriptor, and the bench one more for
  // the echo's side of it.
  if (s.descriptor_limit < ids + 200) {
    v.skip("the descriptor hard limit (" + std::to_string(s.descriptor_limit) + ") is below " + std::to_string(ids + 200));
  } else {
    progress("scale: TCP ids");
    many_tcp_ids(s, v, ids);
    progress("scale: UDP ids");
    many_udp_ids(s, v, ids);
  }
  const uint64_t big = s.quick ? (256ull << 20) : (1ull << 30);
  progress("scale: big TCP");
  big_tcp(s, v, big);
  progress("scale: big HTTP");
  big_http(s, v, big);
}

// ---- the inspector ---------------------------------------------------------------------

namespace {

// A connection attempt that does not wait: -1 when no socket.
int connect_later(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

// One request through the tunnel; true when its whole small answer came.
bool tunnel_request(Tunnel& t, const std::string& id, std::chrono::milliseconds timeout) {
  std::atomic<uint64_t> got{0};
  std::atomic<bool> closed{false};
  t.parser.events.data = [&](std::string_view i, const char*, size_t n, bool) {
    if (i == id) got += n;
  };
  t.parser.events.http_close = [&](std::string_view i) {
    if (i == id) closed = true;
  };
  t.link->send(http_open(id, SMALL_GET));
  Clock::time_point deadline = Clock::now() + timeout;
  while (!closed && Clock::now() < deadline) t.link->pump(t.parser, 20ms);
  t.link->send("HTPC." + id + "PING.");
  t.parser.events.data = nullptr;
  t.parser.events.http_close = nullptr;
  return closed && got >= HTTP_SMALL_BODY;
}

void idle_flood(Tunnel& t, uint16_t port, Verdict& v, int count) {
  std::vector<int> fds;
  fds.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    int fd = connect_later(port);
    if (fd >= 0) fds.push_back(fd);
  }
  // Give the attempts 3 s to complete, then count them.
  std::this_thread::sleep_for(3s);
  int established = 0, failed = 0, pending = 0, closed_by_it = 0;
  for (int fd : fds) {
    pollfd pf{fd, POLLOUT | POLLIN | POLLRDHUP, 0};
    ::poll(&pf, 1, 0);
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) ++failed;
    else if (pf.revents & (POLLRDHUP | POLLHUP)) ++closed_by_it;
    else if (pf.revents & POLLOUT) ++established;
    else ++pending;
  }
  HttpAnswer during = http_get(port, "/", 2s);
  bool tunnel_ok = tunnel_request(t, "501", 5s);
  for (int fd : fds) ::close(fd);
  Clock::time_point t0 = Clock::now();
  HttpAnswer after;
  while (seconds_since(t0) < 15) {
    after = http_get(port, "/", 2s);
    if (after.status == 200) break;
  }
  v.figure("idle flood: " + std::to_string(count) + " connection attempts: " + std::to_string(established) +
           " established, " + std::to_string(pending) + " still waiting after 3 s, " + std::to_string(failed) +
           " failed, " + std::to_string(closed_by_it) + " closed by the inspector");
  // The oldest idle connections make room for it: it is not kept waiting
  // for a place.
  v.figure("idle flood: a fresh client meanwhile: " +
           (during.status ? "answered " + std::to_string(during.status) + " in " + ms_text(during.ms)
                          : "no answer within 2 s") +
           "; the tunnel meanwhile: " + (tunnel_ok ? "answered" : "no answer"));
  v.figure("idle flood: once they closed, the index answered " + std::to_string(after.status) + " after " +
           std::to_string(seconds_since(t0)).substr(0, 4) + " s");
  if (during.status != 200 || during.ms > 1000) {
    v.fail("idle flood: a fresh client was not answered within a second (" +
           (during.status ? std::to_string(during.status) + " in " + ms_text(during.ms) : during.error) + ")");
  }
  if (!tunnel_ok) v.fail("idle flood: the tunnel stopped answering");
  if (after.status != 200) v.fail("idle flood: the index did not answer afterwards (" + after.error + ")");
}

void trickled_head(uint16_t port, Verdict& v, std::chrono::milliseconds head_timeout) {
  int fd = connect_loopback(port);
  if (fd < 0) return v.fail("trickle: no connection");
  const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Trickle: ";
  Clock::time_point t0 = Clock::now();
  Clock::time_point give_up = t0 + head_timeout + 15s;
  bool closed = false;
  size_t sent = 0;
  HttpAnswer beside;
  while (Clock::now() < give_up) {
    char c = sent < head.size() ? head[sent] : 'a';
    if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
      closed = true;
      break;
    }
    ++sent;
    if (sent == 5) beside = http_get(port, "/", 2s);
    if (wait_readable(fd, 200ms)) {
      char buf[4096];
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) {
        closed = true;
        break;
      }
    }
  }
  double took = seconds_since(t0);
  ::close(fd);
  double limit = std::chrono::duration<double>(head_timeout).count();
  v.figure("trickled head, a byte every 200 ms: " +
           (closed ? "closed by the inspector after " + std::to_string(took).substr(0, 4) + " s, " : std::string("still open, ")) +
           std::to_string(sent) + " bytes sent (head time-out " + std::to_string(limit).substr(0, 4) +
           " s); the index meanwhile answered " + std::to_string(beside.status) + " in " + ms_text(beside.ms));
  if (!closed) v.fail("trickle: the inspector never closed a head that did not end");
  else if (took < limit - 0.5 || took > limit + 5) v.fail("trickle: closed after " + std::to_string(took) + " s");
  if (beside.status != 200) v.fail("trickle: the index did not answer beside it");
}

void huge_body(const SoakSettings& s, uint16_t port, Verdict& v) {
  const uint64_t body = s.quick ? (256ull << 20) : (1ull << 30);
  int fd = connect_loopback(port);
  if (fd < 0) return v.fail("big body: no connection");
  std::atomic<bool> stop{false};
  std::atomic<int> fetched{0}, failed{0};
  std::atomic<long> slowest{0};
  std::thread poller([&] {
    while (!stop) {
      HttpAnswer a = http_get(port, "/", 5s);
      if (a.status == 200) ++fetched;
      else ++failed;
      slowest = std::max<long>(slowest, static_cast<long>(a.ms));
      std::this_thread::sleep_for(100ms);
    }
  });
  std::string answer;
  uint64_t sent = 0;
  const std::string chunk(1 << 20, 'b');
  Clock::time_point t0 = Clock::now();
  bool ok = send_all(fd, "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body) + "\r\n\r\n",
                     Clock::now() + 5s);
  while (ok && sent < body) {
    ok = send_all(fd, chunk, Clock::now() + 5s);
    if (ok) sent += chunk.size();
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) answer.append(buf, static_cast<size_t>(n));
  }
  Clock::time_point deadline = Clock::now() + 3s;
  while (Clock::now() < deadline && wait_readable(fd, 100ms)) {
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  double took = seconds_since(t0);
  ::close(fd);
  std::this_thread::sleep_for(500ms);
  stop = true;
  poller.join();
  std::string status = answer.rfind("HTTP/1.", 0) == 0 ? answer.substr(0, answer.find('\r')) : "none";
  v.figure("a " + std::to_string(body >> 20) + " MiB POST body: " + std::to_string(sent >> 10) +
           " KiB of it sent before the connection " + (sent >= body ? "took all of it" : "stopped taking bytes") + " (" +
           std::to_string(took).substr(0, 4) + " s); answer: " + status);
  v.figure("the index meanwhile: " + std::to_string(fetched.load()) + " answered, " + std::to_string(failed.load()) +
           " failed, slowest " + std::to_string(slowest.load()) + " ms");
  if (failed > 0 || fetched == 0) v.fail("big body: the index did not keep answering");
  if (status == "none") v.fail("big body: no answer to the request");
}

}  // namespace

void scenario_inspector(const SoakSettings& s, Verdict& v) {
  HttpServer server(2);
  Settings b = bench_settings(s);
  const uint16_t port = free_port();
  // The full run keeps the built-in head time-out; the quick one shortens it.
  const auto head_timeout = s.quick ? std::chrono::milliseconds(3000) : std::chrono::milliseconds(30000);
  std::map<std::string, std::string> env{{"VOSTRELIN_INSPECTOR_PORT", std::to_string(port)}};
  if (s.quick) env["VOSTRELIN_TEST_INSPECTOR_HEAD_MS"] = std::to_string(head_timeout.count());
  std::unique_ptr<Tunnel> t = open_tunnel(b, "HTTP", server.port(), Output::File, env, "home-inspector");
  if (!t->link) return v.fail("no session: " + t->error);
  std::this_thread::sleep_for(200ms);
  long baseline = t->client->rss_kib();
  RssSampler sampler(*t->client);
  HttpAnswer first = http_get(port, "/", 5s);
  v.figure("index before: " + std::to_string(first.status) + " in " + ms_text(first.ms));
  if (first.status != 200) return v.fail("the inspector did not answer at all (" + first.error + ")");
  const int idle = s.quick ? 3000 : 10000;
  if (s.descriptor_limit < idle + 200) {
    v.figure("idle flood skipped: descriptor hard limit " + std::to_string(s.descriptor_limit));
  } else {
    progress("inspector: idle flood");
    idle_flood(*t, port, v, idle);
  }
  progress("inspector: trickled head");
  trickled_head(port, v, head_timeout);
  progress("inspector: big body");
  huge_body(s, port, v);
  bool tunnel_ok = tunnel_request(*t, "502", 5s);
  long peak = sampler.peak_kib();
  v.figure("resident: " + mib(baseline) + " at the start, peak " + mib(peak) + " (bound: 64 MiB over the start)");
  if (peak > baseline + 64 * 1024) v.fail("resident peak " + mib(peak));
  if (!tunnel_ok) v.fail("the tunnel did not answer at the end");
  if (!t->client->running()) v.fail("the client ended: " + tail(t->client->error_text()));
  std::string err = t->client->error_text();
  if (!err.empty()) v.figure("client messages: " + tail(err, 300));
}

}  // namespace vostrelin::bench
