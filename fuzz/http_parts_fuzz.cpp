// Fuzz target for what the HTTP forwarder reads from the bytes it relays:
// the request head it rewrites (parse_headers) and the status code of a
// response (parse_status_code, and the response tracker that reads it from
// the first bytes of a response arriving in pieces).
//
// parse_headers: a head it reads lies within the input, reads the same from
// exactly its own bytes and from any longer input, and agrees with the
// tokenizer on the method. parse_status_code: only the first line matters,
// and the tracker finds the same code whatever the pieces are.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "http_proxy/request_machine.h"
#include "http_proxy/response.h"
#include "support/http_head.h"

namespace {

using namespace vostrelin;
using namespace vostrelin::http_proxy;

bool same(const ParsedHead& a, const ParsedHead& b) {
  return a.method == b.method && a.path == b.path && a.header_len == b.header_len &&
         a.content_length == b.content_length && a.is_websocket_upgrade == b.is_websocket_upgrade;
}

void check_request_head(std::string_view bytes) {
  std::optional<ParsedHead> head = parse_headers(bytes);
  if (!head) return;
  FUZZ_CHECK(head->header_len >= 4 && head->header_len <= bytes.size());
  FUZZ_CHECK(!head->method.empty());
  std::optional<ParsedHead> own = parse_headers(bytes.substr(0, head->header_len));
  FUZZ_CHECK(own && same(*own, *head));
  std::optional<ParsedHead> longer = parse_headers(std::string(bytes) + "\r\n\r\nGET / HTTP/1.1\r\n\r\n");
  FUZZ_CHECK(longer && same(*longer, *head));
  std::array<HttpHeaderField, 64> slots;
  HttpRequestHead raw = parse_request_head(bytes, slots);
  FUZZ_CHECK(raw.status == HttpHeadStatus::Complete && raw.method && *raw.method == head->method);
  FUZZ_CHECK(raw.length == head->header_len);
}

void check_status(std::string_view bytes, size_t cut) {
  std::optional<uint16_t> code = parse_status_code(bytes);
  size_t line_end = bytes.find_first_of("\r\n");
  if (code) FUZZ_CHECK(line_end != std::string_view::npos);
  if (line_end != std::string_view::npos) {
    std::string rest_changed(bytes.substr(0, line_end + 1));
    rest_changed += "HTTP/1.1 999 X\r\n";
    FUZZ_CHECK(parse_status_code(rest_changed) == code);
  }

  // The tracker reads the code from the first bytes of the response only.
  std::optional<uint16_t> windowed = parse_status_code(bytes.substr(0, STATUS_WINDOW_BYTES));
  cut = bytes.empty() ? 0 : cut % (bytes.size() + 1);
  ResponseTracker whole(nullptr);
  whole.take(bytes);
  ResponseTracker split(nullptr);
  split.take(bytes.substr(0, cut));
  split.take(bytes.substr(cut));
  FUZZ_CHECK(whole.status() == split.status());
  FUZZ_CHECK(whole.total() == bytes.size() && split.total() == bytes.size());
  // Without a readable code the tracker reports 0; a code of 0 reads as none.
  FUZZ_CHECK(whole.status() == windowed.value_or(0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_request_head(bytes);
  check_status(bytes, size > 0 ? data[size - 1] : 0);
  return 0;
}
