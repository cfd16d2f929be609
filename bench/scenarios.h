// The measurements: each drives the client through the fake service and
// runs the same load straight against the same local server.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "report.h"

namespace vostrelin::bench {

struct Settings {
  std::string program;   // the loopback-built client
  std::string work_dir;  // scratch space: home directories, key file, output
  int runs = 5;
  uint64_t tcp_bytes = 512ull << 20;  // per run, each way, shared by the streams
  std::chrono::milliseconds http_duration{2000};
  uint64_t udp_datagrams = 50000;
  uint64_t big_bytes = 1ull << 30;  // the memory figures' transfers
  int memory_runs = 5;
  int idle_ids = 1000;  // TCP ids held open for the per-id figure
  bool terminal = true;  // also run one stream with output on a pseudo-terminal
  // A run without progress for this long has failed.
  std::chrono::milliseconds stall{5000};
};

struct Tunnel;

void run_tcp(const Settings& s, Report& report);
void run_http(const Settings& s, Report& report);
void run_udp(const Settings& s, Report& report);
void run_memory(const Settings& s, Report& report);

// Pieces the soak run reuses.
struct TcpRun {
  double mib_per_s = 0;
  double client_cpu_per_gib = 0;
  double service_busiest = 0;  // percent of one core
  std::string failure;
};
// `streams` ids, `bytes` each way per id, through the tunnel to the echo
// server and back.
TcpRun tcp_tunnel_run(Tunnel& t, int streams, uint64_t bytes, int first_id, std::chrono::milliseconds stall);
// "HTPO." for `id` and the whole request in one data frame.
std::string http_open(const std::string& id, const std::string& request);
// One request (id 1) whose response of `size` bytes comes through the
// tunnel; the peak resident size meanwhile goes to `peak_kib`. Empty when
// the whole response came.
std::string http_big_response(Tunnel& t, uint64_t size, std::chrono::milliseconds stall, long& peak_kib);

}  // namespace vostrelin::bench
