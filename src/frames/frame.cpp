#include "frames/frame.h"

#include <limits>
#include <optional>

#include "support/text.h"

namespace vostrelin::frames {
namespace {

constexpr size_t TAG_LEN = 4;
constexpr size_t FIELD_START = 5;  // the tag and its "."

bool is_digit(char c) { return c >= '0' && c <= '9'; }

FrontScan scan_open_close(std::string_view bytes, bool open) {
  if (bytes.size() < FIELD_START + 1) return NeedMore{};
  size_t end = FIELD_START;
  while (end < bytes.size() && is_digit(bytes[end])) ++end;
  // The id ends only at the byte after it: more digits may still come.
  if (end == bytes.size()) return NeedMore{};
  if (end == FIELD_START) {
    return Malformed{"после метки " + std::string(bytes.substr(0, TAG_LEN)) + ". нет номера"};
  }
  std::string id(bytes.substr(FIELD_START, end - FIELD_START));
  if (open) return Parsed{Open{std::move(id)}, end};
  return Parsed{Close{std::move(id)}, end};
}

// Why a length field, or the part of it that has arrived so far, can never
// be a length: nothing while it still can.
std::optional<std::string> length_fault(std::string_view field, bool complete) {
  std::string_view digits = field;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return complete ? std::optional<std::string>("неверная длина данных") : std::nullopt;
  for (char c : digits) {
    if (!is_digit(c)) return "неверная длина данных";
  }
  // More digits only make it larger; leading zeros never overflow.
  if (!parse_unsigned(digits, std::numeric_limits<uint64_t>::max())) return "длина данных больше 18446744073709551615";
  return std::nullopt;
}

FrontScan scan_data(std::string_view bytes) {
  size_t p = bytes.find('.', FIELD_START);
  if (p == std::string_view::npos || p + 1 == bytes.size()) return NeedMore{};
  size_t q = bytes.find('.', p + 1);
  // Until its "." comes, every byte after p belongs to the length field.
  std::string_view field = q == std::string_view::npos ? bytes.substr(p + 1) : bytes.substr(p + 1, q - p - 1);
  if (std::optional<std::string> fault = length_fault(field, q != std::string_view::npos)) {
    return Malformed{std::move(*fault)};
  }
  if (q == std::string_view::npos) return NeedMore{};
  uint64_t n = *parse_unsigned(field, std::numeric_limits<uint64_t>::max());
  // What follows the second "." is bytes.size() - q - 1; compare without
  // adding to n, which may be as large as 2^64-1.
  size_t after = bytes.size() - q - 1;
  if (n > after) {
    uint64_t head = q + 1;
    uint64_t needed = n > std::numeric_limits<uint64_t>::max() - head ? std::numeric_limits<uint64_t>::max() : head + n;
    return NeedMore{needed};
  }
  size_t len = static_cast<size_t>(n);
  return Parsed{Data{utf8_lossy(bytes.substr(FIELD_START, p - FIELD_START)), std::string(bytes.substr(q + 1, len))},
                q + 1 + len};
}

}  // namespace

FrontScan scan_front(std::string_view bytes, const FrameTags& tags) {
  if (bytes.size() < TAG_LEN) return NeedMore{};
  std::string_view tag = bytes.substr(0, TAG_LEN);

  // PING and PONG alone may stand without a ".".
  if (tag == "PING" || tag == "PONG") {
    if (bytes.size() == TAG_LEN) return NeedMore{};
    size_t count = bytes[TAG_LEN] == '.' ? TAG_LEN + 1 : TAG_LEN;
    if (tag == "PING") return Parsed{Ping{}, count};
    return Parsed{Pong{}, count};
  }

  if (bytes.size() == TAG_LEN) return NeedMore{};
  if (bytes[TAG_LEN] != '.') return Malformed{"после метки нет точки"};

  if (tag == "ERRR") return Parsed{Error{escape_controls(utf8_lossy(bytes.substr(FIELD_START)))}, bytes.size()};
  if (!tags.open.empty() && tag == tags.open) return scan_open_close(bytes, true);
  if (!tags.close.empty() && tag == tags.close) return scan_open_close(bytes, false);
  if (tag == "MESG") return scan_data(bytes);
  return Parsed{Pong{}, FIELD_START};
}

std::optional<Parsed> try_parse(std::string_view bytes, const FrameTags& tags) {
  FrontScan scan = scan_front(bytes, tags);
  if (Parsed* parsed = std::get_if<Parsed>(&scan)) return std::move(*parsed);
  return std::nullopt;
}

std::string pong_frame() { return "PONG"; }

std::string data_frame(std::string_view id, std::string_view payload) {
  std::string length = std::to_string(payload.size());
  std::string frame;
  frame.reserve(5 + id.size() + 1 + length.size() + 1 + payload.size());
  frame.append("MESG.").append(id).append(".").append(length).append(".").append(payload);
  return frame;
}

std::string http_close_frame(std::string_view id) {
  std::string frame("HTPC.");
  frame.append(id).append(".");
  return frame;
}

std::string tcp_close_frame(std::string_view id) {
  std::string frame("TCPC.");
  frame.append(id);
  return frame;
}

std::string quote_front(std::string_view bytes, size_t limit) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      append_hex_escape(out, c);
    }
  }
  return out;
}

}  // namespace vostrelin::frames
