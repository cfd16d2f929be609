// Compiling a JSONPath: a recursive-descent compiler whose recursion is
// bounded by the nesting of filters and parentheses.
#include <charconv>
#include <limits>
#include <optional>
#include <utility>

#include "http_proxy/jsonpath.h"
#include "http_proxy/jsonpath_query.h"

namespace vostrelin::jsonpath {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_name_char(char c) {
  if (is_blank(c)) return false;
  switch (c) {
    case '\'': case '"': case '@': case '.': case '[': case ']': case '(': case ')':
    case '*': case ',': case ':': case '$': case '?': case '=': case '!': case '<':
    case '>': case '&': case '|':
      return false;
    default:
      return true;
  }
}

// Whether a decimal number that the double reader rejected as out of range
// is too small (it becomes zero) rather than too large.
bool decimal_underflows(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  size_t e = text.find_first_of("eE");
  std::string_view mantissa = text.substr(0, e);
  size_t dot = mantissa.find('.');
  const auto int_digits = static_cast<int64_t>(dot == std::string_view::npos ? mantissa.size() : dot);
  int64_t first_nonzero = -1;
  int64_t pos = 0;
  for (char c : mantissa) {
    if (c == '.') continue;
    if (c != '0') {
      first_nonzero = pos;
      break;
    }
    ++pos;
  }
  if (first_nonzero < 0) return true;
  int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view digits = text.substr(e + 1);
    bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
    for (char c : digits) exponent = std::min<int64_t>(exponent * 10 + (c - '0'), int64_t{1} << 40);
    if (negative) exponent = -exponent;
  }
  // The number is d.ddd times ten to this power.
  return int_digits - 1 - first_nonzero + exponent < 0;
}

class Compiler {
 public:
  Compiler(std::string_view text, Query& query) : s_(text), query_(query) {}

  Result<void> path() {
    if (!eat('$')) return failure("a path begins with $");
    if (!segments(query_.segments, false)) return failure();
    if (pos_ != s_.size()) return failure("unexpected character");
    return {};
  }

 private:
  bool at_end() const { return pos_ >= s_.size(); }
  char peek() const { return at_end() ? '\0' : s_[pos_]; }
  bool peek_is(std::string_view token) const { return s_.substr(pos_).starts_with(token); }

  bool eat(char c) {
    if (peek() != c || at_end()) return false;
    ++pos_;
    return true;
  }

  bool eat(std::string_view token) {
    if (!peek_is(token)) return false;
    pos_ += token.size();
    return true;
  }

  void skip_blanks() {
    while (!at_end() && is_blank(s_[pos_])) ++pos_;
  }

  bool fail(const char* message) {
    if (error_.empty()) error_ = message;
    return false;
  }

  Error failure(const char* message = nullptr) {
    if (message != nullptr && error_.empty()) error_ = message;
    return Error(error_ + " at offset " + std::to_string(std::min(pos_, s_.size())));
  }

  bool enter() {
    if (++nesting_ > MAX_NESTING) return fail("filters and parentheses nest too deeply");
    return true;
  }
  void leave() { --nesting_; }

  bool segments(std::vector<Segment>& out, bool in_filter) {
    for (;;) {
      Segment seg;
      if (eat('.')) {
        if (eat('.')) {
          seg.descendant = true;
          if (peek() == '[') {
            if (!bracket(seg, in_filter)) return false;
            out.push_back(std::move(seg));
            continue;
          }
        }
        if (eat('*')) {
          seg.selectors.push_back({});
        } else {
          Selector sel;
          sel.kind = Selector::Kind::Name;
          size_t begin = pos_;
          while (!at_end() && is_name_char(s_[pos_])) ++pos_;
          if (pos_ == begin) return fail("expected a member name");
          sel.name = s_.substr(begin, pos_ - begin);
          seg.selectors.push_back(std::move(sel));
        }
      } else if (peek() == '[') {
        if (!bracket(seg, in_filter)) return false;
      } else {
        return true;
      }
      out.push_back(std::move(seg));
    }
  }

  bool quoted(std::string& out) {
    char quote = s_[pos_++];
    size_t close = s_.find(quote, pos_);
    if (close == std::string_view::npos) return fail("unclosed quotation mark");
    out = s_.substr(pos_, close - pos_);
    pos_ = close + 1;
    return true;
  }

  bool starts_integer() const { return peek() == '-' || is_digit(peek()); }

  // An integer of any length; values beyond the 64-bit range are held at
  // its ends, which select nothing in any array.
  bool integer(int64_t& out) {
    bool negative = eat('-');
    if (!is_digit(peek())) return fail("expected digits");
    int64_t value = 0;
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    while (is_digit(peek())) {
      int digit = s_[pos_++] - '0';
      value = value > (max - digit) / 10 ? max : value * 10 + digit;
    }
    out = negative ? -value : value;
    return true;
  }

  bool bracket(Segment& seg, bool in_filter) {
    ++pos_;  // '['
    skip_blanks();
    if (eat('*')) {
      seg.selectors.push_back({});
    } else if (eat('?')) {
      skip_blanks();
      if (!eat('(')) return fail("expected ( after ?");
      if (!enter()) return false;
      auto expr = std::make_shared<Expr>();
      if (!expression(*expr)) return false;
      skip_blanks();
      if (!eat(')')) return fail("expected )");
      leave();
      Selector sel;
      sel.kind = Selector::Kind::Filter;
      sel.filter = std::move(expr);
      seg.selectors.push_back(std::move(sel));
    } else if (peek() == '\'' || peek() == '"') {
      for (;;) {
        Selector sel;
        sel.kind = Selector::Kind::Name;
        if (!quoted(sel.name)) return false;
        seg.selectors.push_back(std::move(sel));
        skip_blanks();
        if (!eat(',')) break;
        skip_blanks();
        if (peek() != '\'' && peek() != '"') return fail("expected a quoted name");
      }
      if (in_filter && seg.selectors.size() > 1) return fail("a filter takes no list of names");
    } else if (starts_integer() || peek() == ':') {
      std::optional<int64_t> first;
      if (peek() != ':') {
        if (!integer(first.emplace())) return false;
        skip_blanks();
      }
      if (eat(':')) {
        if (in_filter) return fail("a filter takes no slice");
        Selector sel;
        sel.kind = Selector::Kind::Slice;
        sel.slice.start = first;
        skip_blanks();
        if (starts_integer()) {
          if (!integer(sel.slice.end.emplace())) return false;
          skip_blanks();
        }
        if (eat(':')) {
          skip_blanks();
          if (starts_integer()) {
            if (!integer(sel.slice.step)) return false;
            if (sel.slice.step == 0) return fail("a slice step cannot be 0");
          }
        }
        seg.selectors.push_back(std::move(sel));
      } else {
        Selector sel;
        sel.kind = Selector::Kind::Index;
        sel.index = *first;
        seg.selectors.push_back(sel);
        while (eat(',')) {
          skip_blanks();
          if (!integer(sel.index)) return false;
          seg.selectors.push_back(sel);
          skip_blanks();
        }
        if (in_filter && seg.selectors.size() > 1) return fail("a filter takes no list of indices");
      }
    } else {
      return fail("expected a selector");
    }
    skip_blanks();
    if (!eat(']')) return fail("expected ]");
    return true;
  }

  // expr := conjunction ("||" conjunction)*
  bool expression(Expr& out) {
    return chain(out, Expr::Kind::Or, "||", &Compiler::conjunction);
  }

  // conjunction := term ("&&" term)*
  bool conjunction(Expr& out) { return chain(out, Expr::Kind::And, "&&", &Compiler::term); }

  bool chain(Expr& out, Expr::Kind kind, std::string_view op, bool (Compiler::*part)(Expr&)) {
    Expr first;
    if (!(this->*part)(first)) return false;
    skip_blanks();
    if (!peek_is(op)) {
      out = std::move(first);
      return true;
    }
    out.kind = kind;
    out.terms.push_back(std::move(first));
    while (eat(op)) {
      Expr next;
      if (!(this->*part)(next)) return false;
      out.terms.push_back(std::move(next));
      skip_blanks();
    }
    return true;
  }

  // term := "(" expr ")" | operand [comparison operand]
  bool term(Expr& out) {
    skip_blanks();
    if (eat('(')) {
      if (!enter() || !expression(out)) return false;
      skip_blanks();
      if (!eat(')')) return fail("expected )");
      leave();
      return true;
    }
    if (!operand(out.lhs)) return false;
    skip_blanks();
    static constexpr std::pair<std::string_view, CompareOp> ops[] = {
        {"==", CompareOp::Eq}, {"!=", CompareOp::Ne}, {"<=", CompareOp::Le},
        {">=", CompareOp::Ge}, {"<", CompareOp::Lt},  {">", CompareOp::Gt},
    };
    for (const auto& [token, op] : ops) {
      if (eat(token)) {
        out.kind = Expr::Kind::Compare;
        out.op = op;
        skip_blanks();
        return operand(out.rhs);
      }
    }
    if (out.lhs.kind == Operand::Kind::Literal) return fail("a value alone is not a test");
    out.kind = Expr::Kind::Exists;
    return true;
  }

  bool word(std::string_view w) {
    if (!peek_is(w)) return false;
    size_t after = pos_ + w.size();
    if (after < s_.size() && is_name_char(s_[after])) return false;
    pos_ = after;
    return true;
  }

  bool operand(Operand& out) {
    if (eat('@')) {
      out.kind = Operand::Kind::Current;
      return segments(out.segments, true);
    }
    if (eat('$')) {
      out.kind = Operand::Kind::Root;
      out.root_slot = query_.root_slots++;
      return segments(out.segments, true);
    }
    out.kind = Operand::Kind::Literal;
    if (peek() == '\'' || peek() == '"') {
      std::string text;
      if (!quoted(text)) return false;
      out.literal = std::move(text);
      return true;
    }
    if (starts_integer()) return number(out.literal);
    if (word("true")) {
      out.literal = true;
      return true;
    }
    if (word("false")) {
      out.literal = false;
      return true;
    }
    return fail("expected a path, a number, a quoted string, true or false");
  }

  // -?digits[.digits][(e|E)[+|-]digits], held as an exact integer when it is
  // one that fits, else as a double, which must be finite.
  bool number(Json& out) {
    size_t begin = pos_;
    bool negative = eat('-');
    auto digits = [this] {
      size_t from = pos_;
      while (is_digit(peek())) ++pos_;
      return pos_ > from;
    };
    if (!digits()) return fail("expected digits");
    bool integral = true;
    if (eat('.')) {
      integral = false;
      if (!digits()) return fail("expected digits after the decimal point");
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      integral = false;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!digits()) return fail("expected exponent digits");
    }
    std::string_view text = s_.substr(begin, pos_ - begin);
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (integral) {
      if (negative) {
        int64_t v;
        if (std::from_chars(first, last, v).ec == std::errc()) {
          out = v;
          return true;
        }
      } else {
        uint64_t v;
        if (std::from_chars(first, last, v).ec == std::errc()) {
          out = v;
          return true;
        }
      }
    }
    double d;
    std::errc ec = std::from_chars(first, last, d).ec;
    if (ec == std::errc::result_out_of_range && decimal_underflows(text)) {
      d = negative ? -0.0 : 0.0;
    } else if (ec != std::errc()) {
      return fail("number out of range");
    }
    out = d;
    return true;
  }

  std::string_view s_;
  Query& query_;
  size_t pos_ = 0;
  int nesting_ = 0;
  std::string error_;
};

}  // namespace

Result<Path> compile(std::string_view text) {
  auto query = std::make_shared<Query>();
  Compiler compiler(text, *query);
  if (Result<void> r = compiler.path(); !r) return std::move(r).error();
  return Path(std::move(query));
}

}  // namespace vostrelin::jsonpath
