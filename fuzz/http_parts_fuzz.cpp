// Fuzz target for what the HTTP forwarder reads from the bytes it relays:
// the request head it rewrites (parse_headers) and the status code of a
// response (parse_status_code, and the response tracker that reads the
// final head's code from a response arriving in pieces).
//
// parse_headers: a head it reads lies within the input, reads the same from
// exactly its own bytes and from any longer input, and agrees with the
// tokenizer on the method. parse_status_code: only the first line matters.
// The tracker, within its head limit: the same status and records whatever
// the pieces are, the status of the first head that is not interim (each
// head's status line read from its own first bytes), and records that hold
// every byte once, the head first.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The status of the response in bytes, read head by head: the first head
// whose status line does not read, or reads a code that is not interim.
uint16_t final_status(std::string_view bytes) {
  for (;;) {
    std::optional<uint16_t> code = parse_status_code(bytes.substr(0, STATUS_WINDOW_BYTES));
    if (!code) return 0;
    if (!is_interim_status(*code)) return *code;
    size_t end = bytes.find("\r\n\r\n");
    if (end == std::string_view::npos) return 0;
    bytes.remove_prefix(end + 4);
  }
}

struct Records final : RecordSink {
  std::vector<std::string> heads;
  std::vector<uint16_t> head_status;
  std::string bodies;
  std::vector<uint16_t> end_status;
  std::vector<uint64_t> totals;
  bool body_before_head = false;
  void begin(std::string_view, std::string_view) override {}
  void req_headers(std::string_view, std::string_view) override {}
  void req_body(std::string_view, std::string_view) override {}
  void res_headers(uint16_t status, std::string_view head) override {
    heads.emplace_back(head);
    head_status.push_back(status);
  }
  void res_body(std::string_view body) override {
    if (heads.empty()) body_before_head = true;
    bodies.append(body);
  }
  void end(uint16_t status, uint64_t total) override {
    end_status.push_back(status);
    totals.push_back(total);
  }
};

void check_status(std::string_view bytes, size_t cut) {
  std::optional<uint16_t> code = parse_status_code(bytes);
  size_t line_end = bytes.find_first_of("\r\n");
  if (code) FUZZ_CHECK(line_end != std::string_view::npos);
  if (line_end != std::string_view::npos) {
    std::string rest_changed(bytes.substr(0, line_end + 1));
    rest_changed += "HTTP/1.1 999 X\r\n";
    FUZZ_CHECK(parse_status_code(rest_changed) == code);
  }

  cut = bytes.empty() ? 0 : cut % (bytes.size() + 1);
  ResponseTracker whole(nullptr);
  whole.take(bytes);
  ResponseTracker split(nullptr);
  split.take(bytes.substr(0, cut));
  split.take(bytes.substr(cut));
  Records whole_log, split_log;
  ResponseTracker whole_recorded(&whole_log);
  whole_recorded.take(bytes);
  whole_recorded.finish();
  ResponseTracker split_recorded(&split_log);
  split_recorded.take(bytes.substr(0, cut));
  split_recorded.take(bytes.substr(cut));
  split_recorded.finish();
  FUZZ_CHECK(whole.total() == bytes.size() && split.total() == bytes.size());

  for (const Records* log : {&whole_log, &split_log}) {
    // Every byte recorded once, the head first and once; "end" carries
    // the head's status and the total.
    FUZZ_CHECK(log->heads.size() == (bytes.empty() ? 0u : 1u));
    FUZZ_CHECK(!log->body_before_head);
    FUZZ_CHECK((log->heads.empty() ? std::string() : log->heads[0]) + log->bodies == bytes);
    FUZZ_CHECK(log->end_status.size() == 1 && log->totals.size() == 1 && log->totals[0] == bytes.size());
    if (!log->heads.empty()) FUZZ_CHECK(log->head_status[0] == log->end_status[0]);
  }
  FUZZ_CHECK(whole_log.end_status[0] == whole.status() && whole_recorded.status() == whole.status());
  FUZZ_CHECK(split_log.end_status[0] == split.status() && split_recorded.status() == split.status());

  // Past the head limit, where heads stop being looked for depends on the
  // reads.
  if (bytes.size() > RESPONSE_HEAD_RECORD_LIMIT) return;
  FUZZ_CHECK(whole.status() == split.status());
  FUZZ_CHECK(whole.status() == final_status(bytes));
  FUZZ_CHECK(whole_log.heads == split_log.heads);
  // The recorded head is the response up to the final head's blank line,
  // or all of it when that never came.
  if (!whole_log.heads.empty() && whole_log.heads[0].size() < bytes.size()) {
    FUZZ_CHECK(whole_log.heads[0].ends_with("\r\n\r\n"));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_request_head(bytes);
  check_status(bytes, size > 0 ? data[size - 1] : 0);
  return 0;
}
