// What the soak scenarios share: the run's settings, the per-scenario
// verdict, checked byte streams through TCP ids, and small probes of the
// client process and of local HTTP endpoints.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client_process.h"
#include "fake_service.h"
#include "scenarios.h"

namespace vostrelin::bench {

struct SoakSettings {
  std::string program;
  std::string work_dir;
  bool quick = false;
  long descriptor_limit = 0;  // the hard limit the client may raise itself to
};

// The verdict of one scenario, printed as it is measured.
class Verdict {
 public:
  explicit Verdict(std::string name);
  const std::string& name() const { return name_; }
  void figure(const std::string& text);
  void fail(const std::string& reason);
  void skip(const std::string& reason);
  bool failed() const { return !failures_.empty(); }
  bool skipped() const { return !skipped_.empty() && failures_.empty(); }
  std::string summary() const;
  void print_end() const;

 private:
  std::string name_;
  std::vector<std::string> failures_;
  std::string skipped_;
};

// Settings for the bench's own tunnel helpers.
Settings bench_settings(const SoakSettings& s);

// Progress on standard error.
void progress(const std::string& text);

double seconds_since(Clock::time_point t0);
std::string mib(long kib);
std::string tail(const std::string& text, size_t bytes = 400);
// The first line of `text` that holds `needle`, or empty.
std::string line_with(const std::string& text, std::string_view needle);
uint16_t free_port();

// Bytes of id k at offset o of a checked stream: varies with both, so a
// lost, repeated or reordered piece shows.
inline char stream_byte(int k, uint64_t o) {
  return static_cast<char>((o * 7 + (o >> 12) * 13 + static_cast<uint64_t>(k) * 31 + 3) & 0xff);
}

// Several TCP ids sending checked bytes through the tunnel to an echo and
// back, each at most `window` bytes ahead of what came back, as a service
// with flow control would.
class StreamSet {
 public:
  StreamSet(int first_id, int count, uint64_t total, uint64_t window);
  int first() const { return first_; }
  int count() const { return count_; }
  uint64_t total() const { return total_; }
  // Feed the data frames the client sends; bytes for other ids are ignored.
  void on_data(std::string_view id, const char* p, size_t n);
  // The next frame for the stream at index i, or empty when it is done or
  // at its window.
  std::string next_frame(size_t i, size_t chunk);
  uint64_t received() const { return all_got_.load(); }
  uint64_t sent_total() const;
  uint64_t got(size_t i) const { return got_[i].load(); }
  bool complete() const { return all_got_.load() >= total_ * static_cast<uint64_t>(count_); }
  // Empty when every byte came back once and in order.
  std::string check() const;
  // Streams that `stop_sending` excludes (closed by the client).
  std::vector<std::atomic<bool>> stopped;

 private:
  int first_, count_;
  uint64_t total_, window_;
  std::vector<std::atomic<uint64_t>> sent_, got_, bad_at_;
  std::atomic<uint64_t> all_got_{0};
};

// Sends frames of a StreamSet round robin from a thread of its own until
// every stream is done, `stop` is set or a send fails.
class StreamWriter {
 public:
  StreamWriter(ControlLink& link, StreamSet& set, size_t chunk = 32768);
  ~StreamWriter();
  void stop();
  bool failed() const { return failed_.load(); }

 private:
  std::atomic<bool> stop_{false}, failed_{false};
  std::thread thread_;
};

struct HttpAnswer {
  int status = 0;  // 0 when none came
  uint64_t bytes = 0;
  double ms = 0;
  std::string error;
};
// One GET to 127.0.0.1:port, the whole answer read, within `timeout`.
HttpAnswer http_get(uint16_t port, const std::string& path, std::chrono::milliseconds timeout);

void scenario_reconnects(const SoakSettings& s, Verdict& v);
void scenario_stall(const SoakSettings& s, Verdict& v);
void scenario_hostile(const SoakSettings& s, Verdict& v);
void scenario_local_faults(const SoakSettings& s, Verdict& v);
void scenario_scale(const SoakSettings& s, Verdict& v);
void scenario_inspector(const SoakSettings& s, Verdict& v);

}  // namespace vostrelin::bench
