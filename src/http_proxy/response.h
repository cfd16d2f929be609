// What the tunnel reads of a local response, which it relays unchanged:
// the status code of its final head for the trace line and the records,
// the response head recorded once and the rest as body records; and the
// 504 answer the tunnel gives itself when nothing accepts the local
// connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http_proxy/records.h"

namespace vostrelin::http_proxy {

// The status code of a head is looked for in this many of its first bytes.
inline constexpr size_t STATUS_WINDOW_BYTES = 64;
// Heads are looked for in this many first bytes of a response and the read
// that crosses them; a response head without its blank line by then is
// recorded as it stands.
inline constexpr size_t RESPONSE_HEAD_RECORD_LIMIT = 65536;

// The code of the status line at the start of bytes: the field after the
// first space, up to the next space or the line end, one optional "+" and
// digits up to 65535. Nothing without a whole line, for a line that is not
// UTF-8, or a field that does not read.
std::optional<uint16_t> parse_status_code(std::string_view bytes);

// A head with this status is followed by another head of the same
// response: 100 to 199, except 101, which switches protocols.
constexpr bool is_interim_status(uint16_t code) { return code >= 100 && code <= 199 && code != 101; }

// The 504 answer to a request with this method: the head with the page's
// Content-Length, then the page; for HEAD the head alone, since an answer
// to HEAD has no content.
std::string gateway_timeout_response(std::string_view method);

// Follows one response read by read: counts its bytes, reads the status of
// its final head, passing over interim heads, and records everything up to
// the end of the final head once as the head and the rest as body.
class ResponseTracker {
 public:
  // Nothing is recorded without a sink.
  explicit ResponseTracker(RecordSink* records) : records_(records) {}

  // One read of the local connection.
  void take(std::string_view bytes);
  // The response has ended: a head still unrecorded is recorded as it is,
  // then "end".
  void finish();

  // The final head's status; 0 while none has been read, and for a status
  // line that does not read.
  uint16_t status() const { return status_; }
  uint64_t total() const { return total_; }

 private:
  // Reads the current head's status line from the start of bytes, which
  // continue the head; true once its status is known.
  bool read_status_line(std::string_view bytes);
  // Where the current head ends in bytes, which continue it from `from`:
  // the offset just past its blank line, or npos.
  size_t find_head_end(std::string_view bytes, size_t from);
  // The head part of the response is over: `head_end` bytes of the read
  // belong to it, the rest is body.
  void close_head(std::string_view bytes, size_t head_end);

  RecordSink* records_;
  uint16_t status_ = 0;
  // Still reading heads: set until the final head has ended (without a
  // sink, until its status is read) or the head limit has passed.
  bool in_head_ = true;
  // The current head's status line has been read.
  bool line_read_ = false;
  // The current head is interim: another head follows it.
  bool interim_ = false;
  // The current head's first bytes, for its status line.
  std::string window_;
  // The current head's last bytes (at most 3), for a blank line that
  // straddles reads.
  std::string tail_;
  // With a sink: the response's bytes while its head part lasts.
  std::string head_;
  uint64_t total_ = 0;
};

}  // namespace vostrelin::http_proxy
