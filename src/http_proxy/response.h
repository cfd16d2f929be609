// What the tunnel reads of a local response, which it relays unchanged:
// the status code for the trace line and the records, the response head
// recorded once and the rest as body records; and the 504 answer the
// tunnel gives itself when nothing accepts the local connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http_proxy/records.h"

namespace vostrelin::http_proxy {

// The status code is looked for in this many first bytes of a response.
inline constexpr size_t STATUS_WINDOW_BYTES = 64;
// A response head without its blank line is recorded once it holds more.
inline constexpr size_t RESPONSE_HEAD_RECORD_LIMIT = 65536;

// The code of the status line at the start of bytes: the field after the
// first space, up to the next space or the line end, one optional "+" and
// digits up to 65535. Nothing without a whole line, for a line that is not
// UTF-8, or a field that does not read.
std::optional<uint16_t> parse_status_code(std::string_view bytes);

// The whole 504 response: head with the page's Content-Length, then the
// page.
std::string gateway_timeout_response();

// Follows one response read by read: counts its bytes, reads its status
// from the first bytes and records its head once and the rest as body.
class ResponseTracker {
 public:
  // Nothing is recorded without a sink.
  explicit ResponseTracker(RecordSink* records) : records_(records), head_recorded_(records == nullptr) {}

  // One read of the local connection.
  void take(std::string_view bytes);
  // The response has ended: a head still unrecorded is recorded as it is,
  // then "end".
  void finish();

  uint16_t status() const { return status_; }
  uint64_t total() const { return total_; }

 private:
  RecordSink* records_;
  uint16_t status_ = 0;
  std::string window_;
  std::string head_;
  bool head_recorded_;
  uint64_t total_ = 0;
};

}  // namespace vostrelin::http_proxy
