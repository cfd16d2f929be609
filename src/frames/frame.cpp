#include "frames/frame.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "support/text.h"

namespace vostrelin::frames {
namespace {

constexpr size_t TAG_LEN = 4;
constexpr size_t FIELD_START = 5;  // the tag and its "."

bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

// The id of an open or close frame: the digits from byte 5 on, which end
// only at the byte after them.
FrontScan scan_open_close(std::string_view bytes, bool open, ScanState& state) {
  if (bytes.size() < FIELD_START + 1) return NeedMore{};
  // Every byte before state.next is a digit of the id.
  size_t end = std::max(state.next, FIELD_START);
  while (end < bytes.size() && is_digit(bytes[end])) ++end;
  state.examined += end - std::max(state.next, FIELD_START);
  state.next = end;
  // More digits may still come.
  if (end == bytes.size()) return NeedMore{};
  ++state.examined;
  if (end == FIELD_START) {
    return Malformed{"после метки " + std::string(bytes.substr(0, TAG_LEN)) + ". нет номера"};
  }
  std::string id(bytes.substr(FIELD_START, end - FIELD_START));
  if (open) return Parsed{Open{std::move(id)}, end};
  return Parsed{Close{std::move(id)}, end};
}

// The length field of a data frame, from state.next up to its closing "."
// or the end of what has arrived. A byte other than a digit (or one leading
// "+") makes it no length whatever else it holds; digits beyond 2^64-1 make
// it too large unless such a byte follows.
std::optional<Malformed> scan_length(std::string_view bytes, ScanState& state) {
  size_t field = state.id_end + 1;
  size_t i = state.next;
  for (; i < bytes.size(); ++i) {
    ++state.examined;
    char c = bytes[i];
    if (c == '.') {
      state.length_end = i;
      break;
    }
    if (c == '+' && i == field) continue;
    if (!is_digit(c)) return Malformed{"неверная длина данных"};
    uint64_t digit = static_cast<uint64_t>(c - '0');
    state.length_digit = true;
    if (state.length_too_large || state.length > (U64_MAX - digit) / 10) {
      state.length_too_large = true;
    } else {
      state.length = state.length * 10 + digit;
    }
  }
  state.next = state.length_end != 0 ? state.length_end + 1 : i;
  if (state.length_too_large) return Malformed{"длина данных больше 18446744073709551615"};
  if (state.length_end != 0 && !state.length_digit) return Malformed{"неверная длина данных"};
  return std::nullopt;
}

FrontScan scan_data(std::string_view bytes, ScanState& state) {
  if (state.id_end == 0) {
    size_t from = std::max(state.next, FIELD_START);
    size_t p = bytes.find('.', from);
    state.examined += (p == std::string_view::npos ? bytes.size() : p + 1) - from;
    if (p == std::string_view::npos) {
      state.next = bytes.size();
      return NeedMore{};
    }
    state.id_end = p;
    state.next = p + 1;
  }
  size_t p = state.id_end;
  if (p + 1 == bytes.size()) return NeedMore{};
  if (state.length_end == 0) {
    if (std::optional<Malformed> fault = scan_length(bytes, state)) return std::move(*fault);
    if (state.length_end == 0) return NeedMore{};
  }
  size_t q = state.length_end;
  uint64_t n = state.length;
  // What follows the second "." is bytes.size() - q - 1; compare without
  // adding to n, which may be as large as 2^64-1.
  size_t after = bytes.size() - q - 1;
  if (n > after) {
    uint64_t head = q + 1;
    uint64_t needed = n > U64_MAX - head ? U64_MAX : head + n;
    return NeedMore{needed};
  }
  size_t len = static_cast<size_t>(n);
  return Parsed{Data{utf8_lossy(bytes.substr(FIELD_START, p - FIELD_START)), std::string(bytes.substr(q + 1, len))},
                q + 1 + len};
}

FrontScan scan_from(std::string_view bytes, const FrameTags& tags, ScanState& state) {
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
  if (!tags.open.empty() && tag == tags.open) return scan_open_close(bytes, true, state);
  if (!tags.close.empty() && tag == tags.close) return scan_open_close(bytes, false, state);
  if (tag == "MESG") return scan_data(bytes, state);
  return Parsed{Pong{}, FIELD_START};
}

}  // namespace

FrontScan scan_front(std::string_view bytes, const FrameTags& tags, ScanState& state) {
  FrontScan scan = scan_from(bytes, tags, state);
  if (!std::holds_alternative<NeedMore>(scan)) state = ScanState{};
  return scan;
}

FrontScan scan_front(std::string_view bytes, const FrameTags& tags) {
  ScanState fresh;
  return scan_from(bytes, tags, fresh);
}

std::optional<Parsed> try_parse(std::string_view bytes, const FrameTags& tags) {
  FrontScan scan = scan_front(bytes, tags);
  if (Parsed* parsed = std::get_if<Parsed>(&scan)) return std::move(*parsed);
  return std::nullopt;
}

std::string pong_frame() { return "PONG"; }

void append_data_frame(std::string& out, std::string_view id, std::string_view payload) {
  std::string length = std::to_string(payload.size());
  out.reserve(out.size() + 5 + id.size() + 1 + length.size() + 1 + payload.size());
  out.append("MESG.").append(id).append(".").append(length).append(".").append(payload);
}

std::string data_frame(std::string_view id, std::string_view payload) {
  std::string frame;
  append_data_frame(frame, id, payload);
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
