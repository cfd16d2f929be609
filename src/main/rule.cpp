// Strict reading of one rule from JSON. The reader works straight on the
// bytes instead of building a document first, so that a repeated key fails
// the moment it is read, an unknown member is skipped however deeply it
// nests (no recursion, no number conversion), and every fault comes with the
// line and column where it was found.
#include "main/rule.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "support/text.h"

namespace vostrelin {
namespace {

constexpr std::array<std::string_view, 6> FIELD_NAMES = {
    "type", "dataType", "action", "from", "to", "applyToWebsocketUpgrade"};
enum Field { TYPE, DATA_TYPE, ACTION, FROM, TO, FLAG };
constexpr size_t REQUIRED_FIELDS = 5;

// The accepted names of one enumeration, in declaration order, and how a
// fault message lists them.
struct Variants {
  std::array<std::string_view, 3> names;
  size_t count;
  std::string_view expected;
};
constexpr Variants RULE_TYPES{{"HEADER", "BODY", ""}, 2, "`HEADER` or `BODY`"};
constexpr Variants RULE_DATA_TYPES{{"PLAIN", "JSON", ""}, 2, "`PLAIN` or `JSON`"};
constexpr Variants RULE_ACTIONS{{"CREATE", "DELETE", "UPDATE"}, 3, "one of `CREATE`, `DELETE`, `UPDATE`"};

// The kind of JSON value that starts at a position, judged by its first byte.
enum class Kind { String, Number, True, False, Null, Object, Array, None };

std::string quoted(std::string_view text) { return "\"" + utf8_lossy(text) + "\""; }

class RuleReader {
 public:
  explicit RuleReader(std::string_view text) : s_(text) {}

  Result<Rule> read() {
    Rule rule;
    if (!read_rule(rule)) {
      return Error(fault_ + " at " + position(fault_at_));
    }
    return rule;
  }

 private:
  // ---- the rule -------------------------------------------------------

  bool read_rule(Rule& rule) {
    skip_ws();
    size_t start = pos_;
    switch (kind()) {
      case Kind::Object:
        if (!read_object(rule)) return false;
        break;
      case Kind::Array:
        if (!read_array(rule)) return false;
        break;
      case Kind::None:
        return fail_expected_value();
      default: {
        std::string found;
        if (!describe_scalar(found)) return false;
        return fail("invalid type: " + found + ", expected struct Rule", start);
      }
    }
    skip_ws();
    if (pos_ < s_.size()) return fail("trailing characters", pos_);
    return true;
  }

  bool read_object(Rule& rule) {
    std::array<bool, FIELD_NAMES.size()> seen{};
    ++pos_;  // '{'
    skip_ws();
    if (peek() == '}') {
      ++pos_;
    } else {
      for (;;) {
        size_t key_at = pos_;
        std::string key;
        if (peek() != '"') return fail_key_expected();
        if (!read_string(&key)) return false;
        std::optional<Field> field = field_named(key);
        if (field) {
          if (seen[*field]) {
            return fail("duplicate field `" + std::string(FIELD_NAMES[*field]) + "`", key_at);
          }
          seen[*field] = true;
        }
        skip_ws();
        if (!expect(':', "expected `:`")) return false;
        skip_ws();
        if (field) {
          if (!read_field(*field, rule)) return false;
        } else if (!skip_value()) {
          return false;
        }
        skip_ws();
        if (peek() == ',') {
          ++pos_;
          skip_ws();
          if (peek() == '}') return fail("trailing comma", pos_);
          continue;
        }
        if (peek() == '}') {
          ++pos_;
          break;
        }
        if (pos_ >= s_.size()) return fail("EOF while parsing an object", pos_);
        return fail("expected `,` or `}`", pos_);
      }
    }
    for (size_t f = 0; f < REQUIRED_FIELDS; ++f) {
      if (!seen[f]) {
        return fail("missing field `" + std::string(FIELD_NAMES[f]) + "`", pos_ - 1);
      }
    }
    if (!seen[FLAG]) rule.applyToWebsocketUpgrade = false;
    return true;
  }

  bool read_array(Rule& rule) {
    ++pos_;  // '['
    skip_ws();
    size_t count = 0;
    if (peek() == ']') {
      ++pos_;
    } else {
      for (;;) {
        if (!read_field(static_cast<Field>(count), rule)) return false;
        ++count;
        skip_ws();
        if (peek() == ',') {
          ++pos_;
          skip_ws();
          if (peek() == ']') return fail("trailing comma", pos_);
          if (count == FIELD_NAMES.size()) {
            return fail("trailing characters: a seventh element, expected struct Rule with 6 elements",
                        pos_);
          }
          continue;
        }
        if (peek() == ']') {
          ++pos_;
          break;
        }
        if (pos_ >= s_.size()) return fail("EOF while parsing a list", pos_);
        return fail("expected `,` or `]`", pos_);
      }
    }
    if (count < REQUIRED_FIELDS) {
      return fail("invalid length " + std::to_string(count) + ", expected struct Rule with 6 elements",
                  pos_ - 1);
    }
    if (count == REQUIRED_FIELDS) rule.applyToWebsocketUpgrade = false;
    return true;
  }

  static std::optional<Field> field_named(std::string_view key) {
    for (size_t f = 0; f < FIELD_NAMES.size(); ++f) {
      if (FIELD_NAMES[f] == key) return static_cast<Field>(f);
    }
    return std::nullopt;
  }

  bool read_field(Field field, Rule& rule) {
    size_t variant = 0;
    switch (field) {
      case TYPE:
        if (!read_variant(RULE_TYPES, variant)) return false;
        rule.type = static_cast<RuleType>(variant);
        return true;
      case DATA_TYPE:
        if (!read_variant(RULE_DATA_TYPES, variant)) return false;
        rule.dataType = static_cast<RuleDataType>(variant);
        return true;
      case ACTION:
        if (!read_variant(RULE_ACTIONS, variant)) return false;
        rule.action = static_cast<RuleAction>(variant);
        return true;
      case FROM:
        return read_text(rule.from);
      case TO:
        return read_text(rule.to);
      case FLAG:
        return read_flag(rule.applyToWebsocketUpgrade);
    }
    return false;
  }

  // ---- field values ---------------------------------------------------

  bool read_text(std::string& out) {
    size_t start = pos_;
    Kind k = kind();
    if (k == Kind::String) return read_string(&out);
    std::string found;
    if (!describe(k, found)) return false;
    return fail("invalid type: " + found + ", expected a string", start);
  }

  bool read_flag(bool& out) {
    size_t start = pos_;
    Kind k = kind();
    if (k == Kind::True || k == Kind::False) {
      if (!skip_literal(k == Kind::True ? "true" : "false")) return false;
      out = k == Kind::True;
      return true;
    }
    std::string found;
    if (!describe(k, found)) return false;
    return fail("invalid type: " + found + ", expected a boolean", start);
  }

  // A variant name as a string, or an object whose one member is a variant
  // name with the value null.
  bool read_variant(const Variants& variants, size_t& out) {
    size_t start = pos_;
    Kind k = kind();
    if (k == Kind::String) return read_variant_name(variants, out);
    if (k != Kind::Object) {
      if (k == Kind::None) return fail_expected_value();
      std::string found;
      if (!describe(k, found)) return false;
      return fail("expected value: a variant name or a one-member object, found " + found, start);
    }
    ++pos_;  // '{'
    skip_ws();
    size_t key_at = pos_;
    Kind key_kind = kind();
    if (key_kind != Kind::String) {
      if (peek() == '}') return fail("invalid type: empty map, expected variant identifier", key_at);
      if (key_kind == Kind::None) return fail_expected_value();
      std::string found;
      if (!describe(key_kind, found)) return false;
      return fail("invalid type: " + found + ", expected variant identifier", key_at);
    }
    if (!read_variant_name(variants, out)) return false;
    skip_ws();
    if (!expect(':', "expected `:`")) return false;
    skip_ws();
    size_t value_at = pos_;
    Kind value_kind = kind();
    if (value_kind != Kind::Null) {
      if (value_kind == Kind::None) return fail_expected_value();
      std::string found;
      if (!describe(value_kind, found)) return false;
      return fail("invalid type: " + found + ", expected null for a unit variant", value_at);
    }
    if (!skip_literal("null")) return false;
    skip_ws();
    if (peek() == '}') {
      ++pos_;
      return true;
    }
    if (pos_ >= s_.size()) return fail("EOF while parsing an object", pos_);
    return fail("expected `}`: a variant object holds exactly one member", pos_);
  }

  bool read_variant_name(const Variants& variants, size_t& out) {
    size_t start = pos_;
    std::string name;
    if (!read_string(&name)) return false;
    for (size_t v = 0; v < variants.count; ++v) {
      if (variants.names[v] == name) {
        out = v;
        return true;
      }
    }
    return fail("unknown variant `" + utf8_lossy(name) + "`, expected " + std::string(variants.expected),
                start);
  }

  // ---- JSON syntax ----------------------------------------------------

  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }

  void skip_ws() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool expect(char c, const char* message) {
    if (peek() == c && pos_ < s_.size()) {
      ++pos_;
      return true;
    }
    if (pos_ >= s_.size()) return fail("EOF while parsing an object", pos_);
    return fail(message, pos_);
  }

  Kind kind() const {
    if (pos_ >= s_.size()) return Kind::None;
    switch (s_[pos_]) {
      case '"': return Kind::String;
      case '{': return Kind::Object;
      case '[': return Kind::Array;
      case 't': return Kind::True;
      case 'f': return Kind::False;
      case 'n': return Kind::Null;
      case '-': return Kind::Number;
      default:
        return (s_[pos_] >= '0' && s_[pos_] <= '9') ? Kind::Number : Kind::None;
    }
  }

  // Reads the scalar at the position to name it in a fault message; maps
  // and sequences are named without being read.
  bool describe(Kind k, std::string& found) {
    if (k == Kind::Object) {
      found = "map";
      return true;
    }
    if (k == Kind::Array) {
      found = "sequence";
      return true;
    }
    if (k == Kind::None) return fail_expected_value();
    return describe_scalar(found);
  }

  bool describe_scalar(std::string& found) {
    size_t start = pos_;
    switch (kind()) {
      case Kind::String: {
        std::string text;
        if (!read_string(&text)) return false;
        found = "string " + quoted(text);
        return true;
      }
      case Kind::Number: {
        bool integer = true;
        if (!skip_number(&integer)) return false;
        found = std::string(integer ? "integer " : "floating point ") +
                std::string(s_.substr(start, pos_ - start));
        return true;
      }
      case Kind::True:
        found = "boolean true";
        return skip_literal("true");
      case Kind::False:
        found = "boolean false";
        return skip_literal("false");
      case Kind::Null:
        found = "null";
        return skip_literal("null");
      case Kind::Object:
        found = "map";
        return true;
      case Kind::Array:
        found = "sequence";
        return true;
      case Kind::None:
        break;
    }
    return fail_expected_value();
  }

  bool skip_literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) {
      // Point at the first byte that departs from the word.
      size_t at = pos_;
      while (at < s_.size() && at - pos_ < word.size() && s_[at] == word[at - pos_]) ++at;
      if (at >= s_.size()) return fail("EOF while parsing a value", at);
      return fail("expected ident", at);
    }
    pos_ += word.size();
    return true;
  }

  bool skip_number(bool* integer) {
    const auto digit = [&] { return pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9'; };
    if (peek() == '-') ++pos_;
    if (peek() == '0' && pos_ < s_.size()) {
      ++pos_;
    } else if (digit()) {
      while (digit()) ++pos_;
    } else {
      return fail("invalid number", pos_);
    }
    if (peek() == '.') {
      *integer = false;
      ++pos_;
      if (!digit()) return fail("invalid number", pos_);
      while (digit()) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      *integer = false;
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!digit()) return fail("invalid number", pos_);
      while (digit()) ++pos_;
    }
    return true;
  }

  static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Four hexadecimal digits after "\u".
  bool read_hex4(uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      if (pos_ >= s_.size()) return fail("EOF while parsing a string", pos_);
      int v = hex_value(s_[pos_]);
      if (v < 0) return fail("invalid escape", pos_);
      unit = (unit << 4) | static_cast<uint32_t>(v);
      ++pos_;
    }
    return true;
  }

  // The string at the position, its escapes decoded, into *out (when given).
  bool read_string(std::string* out) {
    ++pos_;  // '"'
    size_t run = pos_;
    // A run of bytes copied as they stand ends only at '"' or '\', which
    // never occur inside a multi-byte sequence, so each run is checked for
    // UTF-8 on its own.
    const auto end_run = [&]() -> bool {
      std::string_view bytes = s_.substr(run, pos_ - run);
      if (!is_valid_utf8(bytes)) return fail("invalid unicode code point", run);
      if (out != nullptr) out->append(bytes);
      return true;
    };
    while (pos_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        if (!end_run()) return false;
        ++pos_;
        return true;
      }
      if (c < 0x20) return fail("control character (\\u0000-\\u001F) found while parsing a string", pos_);
      if (c != '\\') {
        ++pos_;
        continue;
      }
      if (!end_run()) return false;
      ++pos_;
      if (pos_ >= s_.size()) break;
      char e = s_[pos_++];
      char plain = 0;
      switch (e) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
          size_t escape_at = pos_ - 2;
          uint32_t unit;
          if (!read_hex4(unit)) return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return fail("lone trailing surrogate in hex escape", escape_at);
          }
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (s_.substr(pos_, 2) != "\\u") return fail("lone leading surrogate in hex escape", escape_at);
            pos_ += 2;
            uint32_t low;
            if (!read_hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape", escape_at);
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          if (out != nullptr) append_utf8(*out, unit);
          break;
        }
        default:
          return fail("invalid escape", pos_ - 1);
      }
      if (plain != 0 && out != nullptr) *out += plain;
      run = pos_;
    }
    return fail("EOF while parsing a string", pos_);
  }

  // Skips one JSON value of any depth without recursion: the stack holds
  // the open containers, '{' or '['.
  bool skip_value() {
    std::vector<char> open;
    for (;;) {
      // A value starts here.
      skip_ws();
      switch (kind()) {
        case Kind::String:
          if (!read_string(nullptr)) return false;
          break;
        case Kind::Number: {
          bool integer;
          if (!skip_number(&integer)) return false;
          break;
        }
        case Kind::True:
          if (!skip_literal("true")) return false;
          break;
        case Kind::False:
          if (!skip_literal("false")) return false;
          break;
        case Kind::Null:
          if (!skip_literal("null")) return false;
          break;
        case Kind::Object:
          ++pos_;
          skip_ws();
          if (peek() == '}') {
            ++pos_;
            break;
          }
          open.push_back('{');
          if (!skip_member_key()) return false;
          continue;
        case Kind::Array:
          ++pos_;
          skip_ws();
          if (peek() == ']') {
            ++pos_;
            break;
          }
          open.push_back('[');
          continue;
        case Kind::None:
          return fail_expected_value();
      }
      // A value has ended: close what ends with it, or move to the next
      // element of the innermost container.
      bool next_value = false;
      while (!open.empty() && !next_value) {
        skip_ws();
        char close = open.back() == '{' ? '}' : ']';
        if (peek() == ',' && pos_ < s_.size()) {
          ++pos_;
          skip_ws();
          if (peek() == close) return fail("trailing comma", pos_);
          if (open.back() == '{' && !skip_member_key()) return false;
          next_value = true;
        } else if (peek() == close && pos_ < s_.size()) {
          ++pos_;
          open.pop_back();
        } else if (pos_ >= s_.size()) {
          return fail(open.back() == '{' ? "EOF while parsing an object" : "EOF while parsing a list", pos_);
        } else {
          return fail(open.back() == '{' ? "expected `,` or `}`" : "expected `,` or `]`", pos_);
        }
      }
      if (!next_value) return true;
    }
  }

  // A member's key and its colon, inside a skipped object.
  bool skip_member_key() {
    if (peek() != '"' || pos_ >= s_.size()) return fail_key_expected();
    if (!read_string(nullptr)) return false;
    skip_ws();
    return expect(':', "expected `:`");
  }

  // ---- faults ---------------------------------------------------------

  bool fail(std::string message, size_t at) {
    fault_ = std::move(message);
    fault_at_ = at;
    return false;
  }

  bool fail_expected_value() {
    if (pos_ >= s_.size()) return fail("EOF while parsing a value", pos_);
    return fail("expected value", pos_);
  }

  bool fail_key_expected() {
    if (pos_ >= s_.size()) return fail("EOF while parsing an object", pos_);
    return fail("key must be a string", pos_);
  }

  // "line L column C", both counted from 1, the column in bytes.
  std::string position(size_t at) const {
    if (at > s_.size()) at = s_.size();
    size_t line = 1, line_start = 0;
    for (size_t i = 0; i < at; ++i) {
      if (s_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    return "line " + std::to_string(line) + " column " + std::to_string(at - line_start + 1);
  }

  std::string_view s_;
  size_t pos_ = 0;
  std::string fault_;
  size_t fault_at_ = 0;
};

}  // namespace

Result<Rule> parse_rule(std::string_view json_bytes) { return RuleReader(json_bytes).read(); }

}  // namespace vostrelin
