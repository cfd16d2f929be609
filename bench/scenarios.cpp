#include "scenarios.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client_process.h"
#include "fake_service.h"
#include "local_servers.h"
#include "tunnel.h"

namespace vostrelin::bench {
namespace {

constexpr size_t CHUNK = 32768;         // the client's own read size
constexpr size_t BATCH_FRAMES = 16;     // frames per write of the fake service
constexpr size_t UDP_PAYLOAD = 512;
constexpr size_t UDP_BATCH = 64;
constexpr double MIB = 1024.0 * 1024.0;
constexpr double GIB = MIB * 1024.0;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Progress on standard error, so the table on standard output stays clean.
void say(const char* fmt, const std::string& what) {
  static const Clock::time_point start = Clock::now();
  std::fprintf(stderr, "[%6.1f s] ", seconds(Clock::now() - start));
  std::fprintf(stderr, fmt, what.c_str());
  std::fflush(stderr);
}

// ---- TCP --------------------------------------------------------------------------

}  // namespace

TcpRun tcp_tunnel_run(Tunnel& t, int streams, uint64_t bytes, int first_id, std::chrono::milliseconds stall) {
  TcpRun out;
  const size_t each = std::max<size_t>(1, BATCH_FRAMES / static_cast<size_t>(streams));
  const uint64_t per_batch = each * CHUNK;
  const uint64_t batches = std::max<uint64_t>(1, (bytes + per_batch - 1) / per_batch);
  bytes = batches * per_batch;

  const std::string payload = payload_pattern(CHUNK);
  std::string batch, opens, closes;
  for (int k = 0; k < streams; ++k) {
    std::string id = std::to_string(first_id + k);
    opens += "TCPO." + id;
    closes += "TCPC." + id;
  }
  for (size_t f = 0; f < each; ++f)
    for (int k = 0; k < streams; ++k) batch += "MESG." + std::to_string(first_id + k) + "." + std::to_string(CHUNK) + "." + payload;
  closes += "PING.";

  std::vector<std::atomic<uint64_t>> got(static_cast<size_t>(streams));
  std::atomic<uint64_t> total{0};
  std::atomic<int> closed{0};
  t.parser.events.data = [&](std::string_view id, const char*, size_t n, bool) {
    int i = id_index(id, first_id);
    if (i < 0 || i >= streams) return;
    got[static_cast<size_t>(i)].fetch_add(n, std::memory_order_relaxed);
    total.fetch_add(n, std::memory_order_relaxed);
  };
  t.parser.events.tcp_close = [&](std::string_view id) {
    int i = id_index(id, first_id);
    if (i >= 0 && i < streams) ++closed;
  };

  const uint64_t expected = bytes * static_cast<uint64_t>(streams);
  LinkReader reader(*t.link, t.parser);
  double cpu0 = t.client->cpu_seconds();
  double writer0 = thread_cpu_seconds();
  Clock::time_point t0 = Clock::now();
  bool sent = t.link->send(opens + batch, stall);
  for (uint64_t b = 1; sent && b < batches; ++b) sent = t.link->send(batch, stall);
  double writer_cpu = thread_cpu_seconds() - writer0;
  bool done = sent && wait_progress([&] { return total.load() >= expected; }, [&] { return total.load(); }, stall);
  Clock::time_point t1 = Clock::now();
  double cpu1 = t.client->cpu_seconds();

  t.link->send(closes);
  // The client's close frame ends only where its next frame begins: a
  // PING now and then makes the last one readable.
  Clock::time_point close_deadline = Clock::now() + 2s;
  while (closed.load() < streams && Clock::now() < close_deadline) {
    std::this_thread::sleep_for(5ms);
    t.link->send("PING.");
  }
  reader.stop();
  t.parser.events.data = nullptr;
  t.parser.events.tcp_close = nullptr;

  if (!done) {
    out.failure = !sent ? "the client stopped taking bytes" : "echo incomplete (" + std::to_string(total.load()) + " of " + std::to_string(expected) + " bytes)";
    if (reader.ended()) out.failure += "; control connection ended";
    return out;
  }
  for (auto& g : got) {
    if (g.load() != bytes) {
      out.failure = "a stream got back " + std::to_string(g.load()) + " of " + std::to_string(bytes) + " bytes";
      return out;
    }
  }
  double wall = seconds(t1 - t0);
  out.mib_per_s = static_cast<double>(expected) / MIB / wall;
  // Both directions count: each byte passes the client on its way to the
  // local server and again on its way back.
  out.client_cpu_per_gib = (cpu1 - cpu0) / (2.0 * static_cast<double>(expected) / GIB);
  out.service_busiest = 100.0 * std::max(writer_cpu, reader.cpu_seconds()) / wall;
  return out;
}

namespace {

TcpRun tcp_direct_run(uint16_t port, int streams, uint64_t bytes) {
  TcpRun out;
  const size_t write_size = BATCH_FRAMES * CHUNK;
  bytes = std::max<uint64_t>(1, (bytes + write_size - 1) / write_size) * write_size;
  const std::string block = payload_pattern(write_size);
  std::vector<int> fds;
  for (int k = 0; k < streams; ++k) {
    int fd = connect_loopback(port);
    if (fd < 0) {
      out.failure = "connect to the echo server failed";
      for (int f : fds) ::close(f);
      return out;
    }
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    fds.push_back(fd);
  }
  std::atomic<bool> short_read{false};
  Clock::time_point t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int fd : fds) {
    threads.emplace_back([&, fd] {
      Clock::time_point deadline = Clock::now() + 60s;
      for (uint64_t sent = 0; sent < bytes; sent += write_size)
        if (!send_all(fd, block.data(), write_size, deadline)) break;
    });
    threads.emplace_back([&, fd] {
      std::vector<char> buf(1 << 20);
      uint64_t got = 0;
      while (got < bytes) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
      }
      if (got != bytes) short_read = true;
    });
  }
  for (std::thread& th : threads) th.join();
  Clock::time_point t1 = Clock::now();
  for (int fd : fds) ::close(fd);
  if (short_read) {
    out.failure = "echo incomplete";
    return out;
  }
  out.mib_per_s = static_cast<double>(bytes) * streams / MIB / seconds(t1 - t0);
  return out;
}

void tcp_rows(const Settings& s, Report& report, int streams, Output output, const std::string& label) {
  Row& speed = report.add("TCP", label + " throughput, each way", "MiB/s");
  Row* cpu = nullptr;
  Row* service = nullptr;
  if (output == Output::File) {
    cpu = &report.add("TCP", label + " client CPU per GiB relayed (both ways)", "CPU-s/GiB");
    service = &report.add("TCP", label + " fake service, busiest thread", "% of a core");
  } else {
    speed.note = "standard output of the client on a pseudo-terminal read by the bench";
  }
  TcpEchoServer echo;
  say("TCP: %s\n", label);
  std::unique_ptr<Tunnel> t = open_tunnel(s, "TCP", echo.port(), output);
  if (!t->link) {
    speed.tunnel.failure = t->error;
  }
  for (int run = 0; run < s.runs; ++run) {
    if (t->link && speed.tunnel.failure.empty()) {
      TcpRun r = tcp_tunnel_run(*t, streams, s.tcp_bytes / static_cast<uint64_t>(streams), 1 + run * 100, s.stall);
      if (!r.failure.empty()) {
        speed.tunnel.failure = r.failure;
      } else {
        speed.tunnel.values.push_back(r.mib_per_s);
        if (cpu) cpu->tunnel.values.push_back(r.client_cpu_per_gib);
        if (service) service->tunnel.values.push_back(r.service_busiest);
      }
    }
    if (speed.direct.failure.empty()) {
      TcpRun d = tcp_direct_run(echo.port(), streams, s.tcp_bytes / static_cast<uint64_t>(streams));
      if (d.failure.empty()) speed.direct.values.push_back(d.mib_per_s);
      else speed.direct.failure = d.failure;
    }
  }
}

}  // namespace

void run_tcp(const Settings& s, Report& report) {
  tcp_rows(s, report, 1, Output::File, "1 stream,");
  tcp_rows(s, report, 8, Output::File, "8 streams,");
  if (s.terminal) tcp_rows(s, report, 1, Output::Terminal, "1 stream, output on a terminal,");
}

// ---- HTTP -------------------------------------------------------------------------

namespace {

const std::string SMALL_REQUEST = "GET /small HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

}  // namespace

std::string http_open(const std::string& id, const std::string& request) {
  return "HTPO." + id + "MESG." + id + "." + std::to_string(request.size()) + "." + request;
}

namespace {

struct HttpRun {
  double rps = 0;
  std::vector<double> latencies_ms;
  std::string failure;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// Keeps `inflight` requests open through the tunnel for `duration`; each
// request is answered by the local server over a connection of its own.
HttpRun http_tunnel_run(Tunnel& t, int inflight, std::chrono::milliseconds duration, int& next_id,
                        std::chrono::milliseconds stall) {
  HttpRun out;
  std::mutex mutex;
  std::unordered_map<std::string, Clock::time_point> started;
  std::unordered_map<std::string, uint64_t> bytes;
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> short_responses{0};
  std::atomic<int> outstanding{0};
  Clock::time_point t0 = Clock::now();
  Clock::time_point end = t0 + duration;
  Clock::time_point last_done = t0;

  t.parser.events.data = [&](std::string_view id, const char*, size_t n, bool) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = bytes.find(std::string(id));
    if (it != bytes.end()) it->second += n;
  };
  t.parser.events.http_close = [&](std::string_view view) {
    std::string id(view);
    Clock::time_point now = Clock::now();
    std::string reply = "HTPC." + id;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = started.find(id);
      if (it == started.end()) return;
      out.latencies_ms.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
      if (bytes[id] < HTTP_SMALL_BODY) ++short_responses;
      started.erase(it);
      bytes.erase(id);
      last_done = now;
      ++completed;
      if (now < end) {
        std::string next = std::to_string(next_id++);
        started[next] = Clock::now();
        bytes[next] = 0;
        reply += http_open(next, SMALL_REQUEST);
      } else {
        --outstanding;
        reply += "PING.";
      }
    }
    t.link->send(reply);
  };

  std::string first;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < inflight; ++i) {
      std::string id = std::to_string(next_id++);
      started[id] = Clock::now();
      bytes[id] = 0;
      first += http_open(id, SMALL_REQUEST);
    }
    outstanding = inflight;
  }
  LinkReader reader(*t.link, t.parser);
  t.link->send(first);
  bool done = wait_progress([&] { return outstanding.load() <= 0; }, [&] { return completed.load(); }, stall);
  reader.stop();
  t.parser.events.data = nullptr;
  t.parser.events.http_close = nullptr;

  // Whatever is still open is closed towards the client, so the next run
  // starts clean.
  std::string cleanup;
  for (auto& [id, when] : started) cleanup += "HTPC." + id;
  if (!cleanup.empty()) t.link->send(cleanup + "PING.");

  if (completed == 0) {
    out.failure = "no response within " + std::to_string(stall.count()) + " ms";
    return out;
  }
  if (!done) out.failure = std::to_string(outstanding.load()) + " requests timed out";
  if (short_responses > 0) out.failure += (out.failure.empty() ? "" : "; ") + std::to_string(short_responses.load()) + " short responses";
  double wall = seconds(last_done - t0);
  out.rps = wall > 0 ? static_cast<double>(completed.load()) / wall : 0;
  return out;
}

HttpRun http_direct_run(uint16_t port, int inflight, std::chrono::milliseconds duration) {
  HttpRun out;
  std::mutex mutex;
  std::atomic<uint64_t> failures{0};
  Clock::time_point t0 = Clock::now();
  Clock::time_point end = t0 + duration;
  std::vector<std::thread> threads;
  for (int i = 0; i < inflight; ++i) {
    threads.emplace_back([&] {
      std::vector<double> mine;
      char buf[16384];
      while (Clock::now() < end) {
        Clock::time_point start = Clock::now();
        int fd = connect_loopback(port);
        if (fd < 0) {
          ++failures;
          break;
        }
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        uint64_t got = 0;
        if (send_all(fd, SMALL_REQUEST, Clock::now() + 5s)) {
          for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got += static_cast<uint64_t>(n);
          }
        }
        ::close(fd);
        if (got < HTTP_SMALL_BODY) ++failures;
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
      std::lock_guard<std::mutex> lock(mutex);
      out.latencies_ms.insert(out.latencies_ms.end(), mine.begin(), mine.end());
    });
  }
  for (std::thread& th : threads) th.join();
  double wall = seconds(Clock::now() - t0);
  out.rps = static_cast<double>(out.latencies_ms.size()) / wall;
  if (failures > 0) out.failure = std::to_string(failures.load()) + " failed requests";
  return out;
}

}  // namespace

void run_http(const Settings& s, Report& report) {
  HttpServer server;
  for (int inflight : {1, 64}) {
    std::string at = " at " + std::to_string(inflight) + " in flight";
    Row& rps = report.add("HTTP", "1 KiB responses, requests/s" + at, "req/s");
    Row& p50 = report.add("HTTP", "p50 latency" + at, "ms");
    Row& p99 = report.add("HTTP", "p99 latency" + at, "ms");
    say("HTTP:%s\n", at);
    std::unique_ptr<Tunnel> t = open_tunnel(s, "HTTP", server.port());
    if (!t->link) rps.tunnel.failure = t->error;
    int next_id = 1;
    for (int run = 0; run < s.runs; ++run) {
      if (t->link && rps.tunnel.failure.empty()) {
        HttpRun r = http_tunnel_run(*t, inflight, s.http_duration, next_id, s.stall);
        if (r.rps > 0) {
          rps.tunnel.values.push_back(r.rps);
          p50.tunnel.values.push_back(percentile(r.latencies_ms, 0.50));
          p99.tunnel.values.push_back(percentile(r.latencies_ms, 0.99));
        }
        if (!r.failure.empty()) rps.tunnel.failure = r.failure;
      }
      if (rps.direct.failure.empty()) {
        HttpRun d = http_direct_run(server.port(), inflight, s.http_duration);
        rps.direct.values.push_back(d.rps);
        p50.direct.values.push_back(percentile(d.latencies_ms, 0.50));
        p99.direct.values.push_back(percentile(d.latencies_ms, 0.99));
        if (!d.failure.empty()) rps.direct.failure = d.failure;
      }
    }
    if (!rps.tunnel.failure.empty() && !p50.tunnel.present()) {
      p50.tunnel.failure = p99.tunnel.failure = "see requests/s";
    }
  }
}

// ---- UDP --------------------------------------------------------------------------

namespace {

// Holds the sender to `rate` datagrams per second (no limit when 0):
// before datagram number `sent`, waits until its time has come.
void pace(double rate, uint64_t sent, Clock::time_point t0) {
  if (rate <= 0) return;
  std::this_thread::sleep_until(t0 + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(static_cast<double>(sent) / rate)));
}

struct UdpRun {
  double per_s = 0;
  double loss_percent = 0;
  std::string failure;
};

// `count` datagrams through the tunnel under one id; `echo` counts what
// comes back through the tunnel, otherwise what the local server got.
UdpRun udp_tunnel_run(Tunnel& t, UdpServer& server, bool echo, uint64_t count, const std::string& id,
                      std::chrono::milliseconds stall, double rate = 0) {
  UdpRun out;
  server.reset();
  const std::string payload = payload_pattern(UDP_PAYLOAD);
  std::string batch;
  for (size_t i = 0; i < UDP_BATCH; ++i) batch += "MESG." + id + "." + std::to_string(UDP_PAYLOAD) + "." + payload;
  const uint64_t batches = std::max<uint64_t>(1, count / UDP_BATCH);
  count = batches * UDP_BATCH;

  std::atomic<uint64_t> returned{0};
  std::atomic<int64_t> last_ns{0};
  t.parser.events.data = [&](std::string_view got_id, const char*, size_t, bool last) {
    if (!last || got_id != id) return;
    returned.fetch_add(1, std::memory_order_relaxed);
    last_ns.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  };
  const auto arrived = [&] { return echo ? returned.load() : server.received(); };
  LinkReader reader(*t.link, t.parser);
  Clock::time_point t0 = Clock::now();
  bool sent = true;
  for (uint64_t b = 0; sent && b < batches; ++b) {
    pace(rate, b * UDP_BATCH, t0);
    sent = t.link->send(batch, stall);
  }
  // Datagrams may be lost: the run ends when all came or none came for a
  // moment.
  wait_progress([&] { return arrived() >= count; }, arrived, 300ms);
  reader.stop();
  t.parser.events.data = nullptr;
  if (!sent) {
    out.failure = "the client stopped taking frames";
    return out;
  }
  uint64_t got = arrived();
  if (got == 0) {
    out.failure = "nothing arrived";
    return out;
  }
  Clock::time_point last = echo ? Clock::time_point(Clock::duration(last_ns.load())) : server.last_arrival();
  out.per_s = static_cast<double>(got) / seconds(last - t0);
  out.loss_percent = 100.0 * static_cast<double>(count - std::min(got, count)) / static_cast<double>(count);
  return out;
}

UdpRun udp_direct_run(UdpServer& server, bool echo, uint64_t count, double rate = 0) {
  UdpRun out;
  server.reset();
  count = std::max<uint64_t>(1, count / UDP_BATCH) * UDP_BATCH;
  int fd = udp_connected(server.port());
  if (fd < 0) {
    out.failure = "no socket";
    return out;
  }
  large_buffers(fd, 8 << 20);
  std::atomic<uint64_t> returned{0};
  std::atomic<int64_t> last_ns{0};
  std::atomic<bool> stop{false};
  std::thread receiver;
  if (echo) {
    receiver = std::thread([&] {
      char buf[65536];
      while (!stop) {
        if (!wait_readable(fd, 20ms)) continue;
        while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
          returned.fetch_add(1, std::memory_order_relaxed);
          last_ns.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        }
      }
    });
  }
  const std::string payload = payload_pattern(UDP_PAYLOAD);
  const auto arrived = [&] { return echo ? returned.load() : server.received(); };
  Clock::time_point t0 = Clock::now();
  for (uint64_t i = 0; i < count; ++i) {
    if (i % UDP_BATCH == 0) pace(rate, i, t0);
    ::send(fd, payload.data(), payload.size(), 0);
  }
  wait_progress([&] { return arrived() >= count; }, arrived, 300ms);
  stop = true;
  if (receiver.joinable()) receiver.join();
  ::close(fd);
  uint64_t got = arrived();
  if (got == 0) {
    out.failure = "nothing arrived";
    return out;
  }
  Clock::time_point last = echo ? Clock::time_point(Clock::duration(last_ns.load())) : server.last_arrival();
  out.per_s = static_cast<double>(got) / seconds(last - t0);
  out.loss_percent = 100.0 * static_cast<double>(count - std::min(got, count)) / static_cast<double>(count);
  return out;
}

}  // namespace

void run_udp(const Settings& s, Report& report) {
  double direct_echo_rate = 0;
  for (bool echo : {false, true}) {
    std::string way = echo ? "512-byte datagrams echoed," : "512-byte datagrams one way,";
    Row& rate = report.add("UDP", way + " delivered", "datagrams/s");
    Row& loss = report.add("UDP", way + " loss", "%");
    rate.note = "sent as fast as each path takes them";
    UdpServer server(echo);
    say("UDP: %s\n", way);
    std::unique_ptr<Tunnel> t = open_tunnel(s, "UDP", server.port());
    if (!t->link) rate.tunnel.failure = t->error;
    for (int run = 0; run < s.runs; ++run) {
      if (t->link && rate.tunnel.failure.empty()) {
        UdpRun r = udp_tunnel_run(*t, server, echo, s.udp_datagrams, std::to_string(run + 1), s.stall);
        if (r.failure.empty()) {
          rate.tunnel.values.push_back(r.per_s);
          loss.tunnel.values.push_back(r.loss_percent);
        } else {
          rate.tunnel.failure = r.failure;
        }
      }
      if (rate.direct.failure.empty()) {
        UdpRun d = udp_direct_run(server, echo, s.udp_datagrams);
        if (d.failure.empty()) {
          rate.direct.values.push_back(d.per_s);
          loss.direct.values.push_back(d.loss_percent);
        } else {
          rate.direct.failure = d.failure;
        }
      }
    }
    if (echo && rate.direct.present()) direct_echo_rate = rate.direct.median();
  }

  // Loss below the tunnel's limit: both paths offered the same paced load,
  // 80 % of what the direct path delivered echoed.
  if (direct_echo_rate <= 0) return;
  const double offered = 0.8 * direct_echo_rate;
  Row& rate = report.add("UDP", "512-byte datagrams echoed, paced, delivered", "datagrams/s");
  Row& loss = report.add("UDP", "512-byte datagrams echoed, paced, loss", "%");
  rate.note = "both paths offered " + std::to_string(static_cast<long>(offered)) +
              " datagrams/s, 80 % of the direct echoed rate";
  UdpServer server(true);
  say("UDP: %s\n", "echoed, paced");
  std::unique_ptr<Tunnel> t = open_tunnel(s, "UDP", server.port());
  if (!t->link) rate.tunnel.failure = t->error;
  for (int run = 0; run < s.runs; ++run) {
    if (t->link && rate.tunnel.failure.empty()) {
      UdpRun r = udp_tunnel_run(*t, server, true, s.udp_datagrams, std::to_string(run + 1), s.stall, offered);
      if (r.failure.empty()) {
        rate.tunnel.values.push_back(r.per_s);
        loss.tunnel.values.push_back(r.loss_percent);
      } else {
        rate.tunnel.failure = r.failure;
      }
    }
    UdpRun d = udp_direct_run(server, true, s.udp_datagrams, offered);
    if (d.failure.empty()) {
      rate.direct.values.push_back(d.per_s);
      loss.direct.values.push_back(d.loss_percent);
    }
  }
}

// ---- memory -----------------------------------------------------------------------

std::string http_big_response(Tunnel& t, uint64_t size, std::chrono::milliseconds stall, long& peak_kib) {
  std::atomic<uint64_t> got{0};
  std::atomic<bool> closed{false};
  t.parser.events.data = [&](std::string_view id, const char*, size_t n, bool) {
    if (id == "1") got.fetch_add(n, std::memory_order_relaxed);
  };
  t.parser.events.http_close = [&](std::string_view id) {
    if (id == "1") closed = true;
  };
  std::string request = "GET /big?" + std::to_string(size) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  RssSampler sampler(*t.client);
  LinkReader reader(*t.link, t.parser);
  t.link->send(http_open("1", request));
  bool done = wait_progress([&] { return closed.load(); }, [&] { return got.load(); }, stall);
  peak_kib = sampler.peak_kib();
  reader.stop();
  t.link->send("HTPC.1PING.");
  t.parser.events.data = nullptr;
  t.parser.events.http_close = nullptr;
  if (!done) return got == 0 ? "no response within " + std::to_string(stall.count()) + " ms"
                             : "response stalled after " + std::to_string(got.load()) + " bytes";
  if (got.load() < size) return "response short: " + std::to_string(got.load()) + " bytes";
  return {};
}

void run_memory(const Settings& s, Report& report) {
  const std::string big = s.big_bytes >= (1ull << 30) ? std::to_string(s.big_bytes >> 30) + " GiB"
                                                       : std::to_string(s.big_bytes >> 20) + " MiB";
  Row& idle = report.add("memory", "resident after the handshake, TCP", "MiB");
  Row& per_id = report.add("memory", "per idle TCP id (" + std::to_string(s.idle_ids) + " open)", "KiB");
  Row& tcp_big = report.add("memory", "peak resident during a " + big + " TCP transfer", "MiB");
  Row& idle_http = report.add("memory", "resident after the handshake, HTTP, recording on", "MiB");
  Row& http_big = report.add("memory", "peak resident during a " + big + " HTTP response, recording on", "MiB");

  say("memory: %s\n", "TCP");
  TcpEchoServer echo;
  for (int run = 0; run < s.memory_runs; ++run) {
    {
      std::unique_ptr<Tunnel> t = open_tunnel(s, "TCP", echo.port());
      if (!t->link) {
        idle.tunnel.failure = per_id.tunnel.failure = t->error;
        break;
      }
      std::this_thread::sleep_for(100ms);
      long before = t->client->rss_kib();
      idle.tunnel.values.push_back(static_cast<double>(before) / 1024.0);

      const int ids = s.idle_ids;
      size_t accepted0 = echo.accepted();
      std::string opens, closes;
      for (int i = 1; i <= ids; ++i) {
        opens += "TCPO." + std::to_string(i);
        closes += "TCPC." + std::to_string(i);
      }
      std::atomic<int> closed{0};
      t->parser.events.tcp_close = [&](std::string_view) { ++closed; };
      t->link->send(opens + "PING.");
      bool all = wait_progress([&] { return echo.accepted() - accepted0 >= static_cast<size_t>(ids); },
                               [&] { return echo.accepted(); }, s.stall);
      if (all && t->link->ping(t->parser)) {
        std::this_thread::sleep_for(200ms);
        long after = t->client->rss_kib();
        per_id.tunnel.values.push_back(static_cast<double>(after - before) / ids);
      } else if (per_id.tunnel.failure.empty()) {
        per_id.tunnel.failure = "only " + std::to_string(echo.accepted() - accepted0) + " local connections opened";
      }
      t->link->send(closes + "PING.");
      Clock::time_point deadline = Clock::now() + 5s;
      while (closed < ids && Clock::now() < deadline) {
      t->link->pump(t->parser, 20ms);
      t->link->send("PING.");
    }
      t->parser.events.tcp_close = nullptr;
    }
    {
      std::unique_ptr<Tunnel> t = open_tunnel(s, "TCP", echo.port());
      if (!t->link) {
        tcp_big.tunnel.failure = t->error;
        break;
      }
      RssSampler sampler(*t->client);
      TcpRun r = tcp_tunnel_run(*t, 1, s.big_bytes, 1, s.stall);
      if (r.failure.empty()) tcp_big.tunnel.values.push_back(static_cast<double>(sampler.peak_kib()) / 1024.0);
      else tcp_big.tunnel.failure = r.failure;
    }
  }

  say("memory: %s\n", "HTTP");
  HttpServer server(2);
  for (int run = 0; run < s.memory_runs; ++run) {
    uint16_t inspector_port = 0;
    int probe = bind_loopback(SOCK_STREAM, inspector_port);
    ::close(probe);
    std::unique_ptr<Tunnel> t =
        open_tunnel(s, "HTTP", server.port(), Output::File,
                    {{"VOSTRELIN_INSPECTOR_PORT", std::to_string(inspector_port)}}, "home-recording");
    if (!t->link) {
      idle_http.tunnel.failure = http_big.tunnel.failure = t->error;
      break;
    }
    std::this_thread::sleep_for(100ms);
    idle_http.tunnel.values.push_back(static_cast<double>(t->client->rss_kib()) / 1024.0);
    if (http_big.tunnel.failure.empty()) {
      long peak = 0;
      std::string failure = http_big_response(*t, s.big_bytes, s.stall, peak);
      if (failure.empty()) http_big.tunnel.values.push_back(static_cast<double>(peak) / 1024.0);
      else http_big.tunnel.failure = failure;
    }
    t->client->stop();
    // Session files of a large response are large; none is kept.
    std::error_code ec;
    std::filesystem::remove_all(s.work_dir + "/home-recording/.vostrelin", ec);
  }
}

}  // namespace vostrelin::bench
