#include "support/http_head.h"

namespace vostrelin {
namespace {

// tchar of the HTTP grammar: the characters of method tokens and field
// names.
bool is_token_char(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

// Visible ASCII or obs-text.
bool is_target_char(unsigned char c) { return (c > 0x20 && c < 0x7F) || c >= 0x80; }

bool is_value_char(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : s_(bytes) {}

  bool at_end() const { return pos_ >= s_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(s_[pos_]); }
  size_t pos() const { return pos_; }
  void advance(size_t n = 1) { pos_ += n; }
  std::string_view slice(size_t from, size_t to) const { return s_.substr(from, to - from); }

  // A line end at the cursor: CRLF or LF. Partial when the bytes stop after
  // a CR, Invalid when a CR is followed by anything but LF, Complete (and
  // consumed) otherwise. Call only where peek() is CR or LF.
  HttpHeadStatus take_line_end() {
    if (peek() == '\n') {
      advance();
      return HttpHeadStatus::Complete;
    }
    if (pos_ + 1 >= s_.size()) return HttpHeadStatus::Partial;
    if (s_[pos_ + 1] != '\n') return HttpHeadStatus::Invalid;
    advance(2);
    return HttpHeadStatus::Complete;
  }

  void skip_spaces() {
    while (!at_end() && peek() == ' ') advance();
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

HttpRequestHead stop(HttpRequestHead head, HttpHeadStatus status) {
  head.status = status;
  return head;
}

}  // namespace

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::optional<std::string_view> find_header(std::span<const HttpHeaderField> headers,
                                            std::string_view name) {
  for (const HttpHeaderField& h : headers) {
    if (ascii_iequals(h.name, name)) return h.value;
  }
  return std::nullopt;
}

HttpRequestHead parse_request_head(std::string_view bytes, std::span<HttpHeaderField> slots) {
  using S = HttpHeadStatus;
  HttpRequestHead head;
  head.headers = slots.first(0);
  Cursor c(bytes);

  // Empty lines before the request line are tolerated.
  while (!c.at_end() && (c.peek() == '\r' || c.peek() == '\n')) {
    S s = c.take_line_end();
    if (s != S::Complete) return stop(head, s);
  }
  if (c.at_end()) return stop(head, S::Partial);

  // Method.
  size_t start = c.pos();
  while (!c.at_end() && c.peek() != ' ') {
    if (!is_token_char(c.peek())) return stop(head, S::Invalid);
    c.advance();
  }
  if (c.at_end()) return stop(head, S::Partial);
  if (c.pos() == start) return stop(head, S::Invalid);
  head.method = c.slice(start, c.pos());
  c.skip_spaces();

  // Request target.
  start = c.pos();
  while (!c.at_end() && c.peek() != ' ') {
    if (!is_target_char(c.peek())) return stop(head, S::Invalid);
    c.advance();
  }
  if (c.at_end()) return stop(head, S::Partial);
  head.target = c.slice(start, c.pos());
  c.skip_spaces();

  // Version: "HTTP/1." and one digit, then the line end.
  constexpr std::string_view PREFIX = "HTTP/1.";
  for (char expected : PREFIX) {
    if (c.at_end()) return stop(head, S::Partial);
    if (c.peek() != static_cast<unsigned char>(expected)) return stop(head, S::Invalid);
    c.advance();
  }
  if (c.at_end()) return stop(head, S::Partial);
  if (c.peek() < '0' || c.peek() > '9') return stop(head, S::Invalid);
  head.minor_version = c.peek() - '0';
  c.advance();
  if (c.at_end()) return stop(head, S::Partial);
  if (c.peek() != '\r' && c.peek() != '\n') return stop(head, S::Invalid);
  if (S s = c.take_line_end(); s != S::Complete) return stop(head, s);

  // Header lines up to the blank line.
  size_t count = 0;
  for (;;) {
    head.headers = slots.first(count);
    if (c.at_end()) return stop(head, S::Partial);
    if (c.peek() == '\r' || c.peek() == '\n') {
      S s = c.take_line_end();
      if (s != S::Complete) return stop(head, s);
      head.length = c.pos();
      return stop(head, S::Complete);
    }
    if (count == slots.size()) return stop(head, S::Invalid);

    start = c.pos();
    while (!c.at_end() && c.peek() != ':') {
      if (!is_token_char(c.peek())) return stop(head, S::Invalid);
      c.advance();
    }
    if (c.at_end()) return stop(head, S::Partial);
    if (c.pos() == start) return stop(head, S::Invalid);
    std::string_view name = c.slice(start, c.pos());
    c.advance();  // ':'

    while (!c.at_end() && (c.peek() == ' ' || c.peek() == '\t')) c.advance();
    start = c.pos();
    size_t end = start;  // one past the last byte that is not SP / HTAB
    while (!c.at_end() && c.peek() != '\r' && c.peek() != '\n') {
      unsigned char ch = c.peek();
      if (!is_value_char(ch)) return stop(head, S::Invalid);
      c.advance();
      if (ch != ' ' && ch != '\t') end = c.pos();
    }
    if (c.at_end()) return stop(head, S::Partial);
    if (S s = c.take_line_end(); s != S::Complete) return stop(head, s);
    slots[count++] = HttpHeaderField{name, c.slice(start, end)};
  }
}

}  // namespace vostrelin
