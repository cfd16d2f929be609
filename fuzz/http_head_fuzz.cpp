// Fuzz target for the HTTP request-head tokenizer, with 32 and 64 header
// slots (the two sizes the client uses) and a slot count from the input.
//
// As raw bytes: the parts it reports are well formed and lie inside the
// input, a complete head reads the same from exactly its own bytes, what a
// shorter front was (invalid, complete) the whole front still is, and more
// slots change nothing but the line count at which a head turns invalid.
// As a recipe: a head built from valid parts (any method token, a target,
// runs of spaces, CRLF or LF, leading empty lines, header values with outer
// white space and obs-text) reads back part for part, and each of its cuts
// is partial.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "support/http_head.h"

namespace {

using namespace vostrelin;

using S = HttpHeadStatus;

bool within(std::string_view part, std::string_view bytes) {
  return part.data() >= bytes.data() && part.data() + part.size() <= bytes.data() + bytes.size();
}

bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

// The parts of a head as values, for comparing two parses.
struct Parts {
  S status;
  size_t length;
  std::optional<std::string> method;
  std::optional<std::string> target;
  int minor;
  std::vector<std::pair<std::string, std::string>> headers;
  bool operator==(const Parts&) const = default;
};

Parts parts(const HttpRequestHead& h) {
  Parts p{h.status, h.length, {}, {}, h.minor_version, {}};
  if (h.method) p.method = std::string(*h.method);
  if (h.target) p.target = std::string(*h.target);
  for (const HttpHeaderField& f : h.headers) p.headers.emplace_back(f.name, f.value);
  return p;
}

template <size_t N>
Parts parse(std::string_view bytes) {
  std::array<HttpHeaderField, N> slots;
  HttpRequestHead head = parse_request_head(bytes, slots);
  FUZZ_CHECK(head.headers.size() <= N);
  FUZZ_CHECK(head.headers.empty() || head.headers.data() == slots.data());
  if (head.method) FUZZ_CHECK(within(*head.method, bytes) && is_token(*head.method));
  if (head.target) {
    FUZZ_CHECK(within(*head.target, bytes));
    for (unsigned char c : *head.target) FUZZ_CHECK(c > 0x20 && c != 0x7F);
  }
  if (head.status == S::Complete) {
    FUZZ_CHECK(head.length >= 4 && head.length <= bytes.size());
    FUZZ_CHECK(head.method && head.target && head.minor_version >= 0 && head.minor_version <= 9);
    FUZZ_CHECK(bytes[head.length - 1] == '\n');
  } else {
    FUZZ_CHECK(head.length == 0);
  }
  for (const HttpHeaderField& f : head.headers) {
    FUZZ_CHECK(within(f.name, bytes) && within(f.value, bytes) && is_token(f.name));
    if (!f.value.empty()) {
      FUZZ_CHECK(f.value.front() != ' ' && f.value.front() != '\t');
      FUZZ_CHECK(f.value.back() != ' ' && f.value.back() != '\t');
    }
    for (unsigned char c : f.value) FUZZ_CHECK(c != '\r' && c != '\n' && c != 0x7F && (c >= 0x20 || c == '\t'));
    FUZZ_CHECK(find_header(head.headers, f.name).has_value());
  }
  return parts(head);
}

Parts parse_with(std::string_view bytes, size_t slot_count) {
  std::vector<HttpHeaderField> slots(slot_count);
  return parts(parse_request_head(bytes, slots));
}

void check_raw(std::string_view bytes, size_t slot_count) {
  Parts p32 = parse<32>(bytes);
  Parts p64 = parse<64>(bytes);
  if (p64.status == S::Complete && p64.headers.size() <= 32) FUZZ_CHECK(p32 == p64);
  if (p64.status == S::Complete && p64.headers.size() > 32) FUZZ_CHECK(p32.status == S::Invalid);
  if (p32.status == S::Complete) FUZZ_CHECK(p64 == p32);
  if (p32.status == S::Partial) FUZZ_CHECK(p64.status == S::Partial);

  Parts any = parse_with(bytes, slot_count);
  if (any.status == S::Complete) FUZZ_CHECK(any.headers.size() <= slot_count);

  if (p64.status == S::Complete) FUZZ_CHECK(parse<64>(bytes.substr(0, p64.length)) == p64);
  size_t step = bytes.size() <= 128 ? 1 : bytes.size() / 64;
  for (size_t k = 0; k < bytes.size(); k += step) {
    Parts part = parse<64>(bytes.substr(0, k));
    if (part.status == S::Invalid) FUZZ_CHECK(p64.status == S::Invalid);
    if (part.status == S::Complete) FUZZ_CHECK(part == p64);
  }
}

std::string token(FuzzedDataProvider& fdp) {
  static constexpr std::string_view CHARS =
      "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string out;
  size_t n = fdp.ConsumeIntegralInRange<size_t>(1, 12);
  for (size_t i = 0; i < n; ++i) out += CHARS[fdp.ConsumeIntegralInRange<size_t>(0, CHARS.size() - 1)];
  return out;
}

// Bytes of a class: visible ASCII and obs-text, plus SP and HTAB inside
// field values.
std::string bytes_of(FuzzedDataProvider& fdp, size_t max, bool value) {
  std::string out = fdp.ConsumeRandomLengthString(max);
  for (char& ch : out) {
    unsigned char c = static_cast<unsigned char>(ch);
    bool ok = value ? (c == '\t' || (c >= 0x20 && c != 0x7F)) : (c > 0x20 && c != 0x7F);
    if (!ok) ch = static_cast<char>('a' + c % 26);
  }
  return out;
}

std::string trimmed(std::string_view v) {
  size_t a = v.find_first_not_of(" \t");
  if (a == std::string_view::npos) return "";
  size_t b = v.find_last_not_of(" \t");
  return std::string(v.substr(a, b - a + 1));
}

void check_round_trip(FuzzedDataProvider& fdp) {
  auto eol = [&fdp] { return fdp.ConsumeBool() ? std::string("\r\n") : std::string("\n"); };
  auto spaces = [&fdp] { return std::string(fdp.ConsumeIntegralInRange<size_t>(1, 3), ' '); };

  std::string head;
  size_t empty_lines = fdp.ConsumeIntegralInRange<size_t>(0, 2);
  for (size_t i = 0; i < empty_lines; ++i) head += eol();

  Parts want{S::Complete, 0, token(fdp), {}, fdp.ConsumeIntegralInRange(0, 9), {}};
  want.target = "/" + bytes_of(fdp, 64, false);
  head += *want.method + spaces() + *want.target + spaces() + "HTTP/1." + std::to_string(want.minor) + eol();

  size_t lines = fdp.ConsumeIntegralInRange<size_t>(0, 64);
  for (size_t i = 0; i < lines && fdp.remaining_bytes() > 0; ++i) {
    std::string name = token(fdp);
    std::string value = bytes_of(fdp, 40, true);
    head += name + ":" + value + eol();
    want.headers.emplace_back(name, trimmed(value));
  }
  head += eol();
  want.length = head.size();

  FUZZ_CHECK(parse<64>(head) == want);
  if (want.headers.size() <= 32) {
    FUZZ_CHECK(parse<32>(head) == want);
  } else {
    FUZZ_CHECK(parse<32>(head).status == S::Invalid);
  }
  size_t step = head.size() <= 256 ? 1 : head.size() / 128;
  for (size_t k = 0; k < head.size(); k += step) {
    FUZZ_CHECK(parse<64>(std::string_view(head).substr(0, k)).status == S::Partial);
  }
  // Whatever follows the head (a body, the next request) is not read.
  FUZZ_CHECK(parse<64>(head + "GET / HTTP/1.1\r\n\r\n") == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_raw(bytes, size > 0 ? data[0] % 70 : 0);
  FuzzedDataProvider fdp(data, size);
  check_round_trip(fdp);
  return 0;
}
