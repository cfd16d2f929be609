// Reading one rule from JSON on the JSON library's event parser: the events
// are checked as they come, so that a repeated key fails the moment it is
// read, and an unknown member is skipped without being built (the event
// parser keeps its nesting on the heap, so any depth is safe).
#include "rules/rule.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "support/json_text.h"

namespace vostrelin {
namespace {

constexpr std::array<std::string_view, 6> FIELD_NAMES = {
    "type", "dataType", "action", "from", "to", "applyToWebsocketUpgrade"};
enum Field { TYPE, DATA_TYPE, ACTION, FROM, TO, FLAG };
constexpr size_t REQUIRED_FIELDS = 5;

// The kind of a value as the events report it.
enum class Seen { Null, Boolean, Number, String, Object, Array };

std::string_view seen_name(Seen seen) {
  switch (seen) {
    case Seen::Null: return "null";
    case Seen::Boolean: return "a boolean";
    case Seen::Number: return "a number";
    case Seen::String: return "a string";
    case Seen::Object: return "an object";
    case Seen::Array: return "an array";
  }
  return "a value";
}

std::optional<Field> field_named(std::string_view key) {
  for (size_t f = 0; f < FIELD_NAMES.size(); ++f) {
    if (FIELD_NAMES[f] == key) return static_cast<Field>(f);
  }
  return std::nullopt;
}

class RuleEvents {
 public:
  RuleReading take() {
    if (faulted_) return {std::nullopt, fault_, std::move(message_)};
    return {std::move(rule_), RuleFault::Syntax, {}};
  }
  bool overflowed() const { return overflowed_; }

  bool null() { return scalar(Seen::Null); }
  bool boolean(bool v) {
    flag_ = v;
    return scalar(Seen::Boolean);
  }
  bool number_integer(Json::number_integer_t) { return scalar(Seen::Number); }
  bool number_unsigned(Json::number_unsigned_t) { return scalar(Seen::Number); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return scalar(Seen::Number); }
  bool string(Json::string_t& v) {
    text_ = std::move(v);
    return scalar(Seen::String);
  }
  bool binary(Json::binary_t&) { return false; }  // never read from text
  bool start_object(size_t) { return open(Seen::Object); }
  bool start_array(size_t) { return open(Seen::Array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(Json::string_t& name) {
    if (skipping_) return true;
    if (depth_ == 2) {  // the member of an enumeration object
      if (variant_ != Variant::AwaitKey) {
        return fail(RuleFault::BadValue, "an enumeration object holds exactly one member");
      }
      if (!set_enumeration(variant_field_, name)) return false;
      variant_ = Variant::AwaitNull;
      return true;
    }
    target_ = field_named(name);
    if (target_) {
      if (seen_[*target_]) {
        return fail(RuleFault::DuplicateField, "duplicate field `" + std::string(FIELD_NAMES[*target_]) + "`");
      }
      seen_[*target_] = true;
    }
    return true;
  }

  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception& e) {
    // Number overflow (406) is JSON the library declines, not bad JSON.
    if (e.id == 406) overflowed_ = true;
    return fail(RuleFault::Syntax, e.what());
  }

 private:
  enum class Form { None, Object, Array };
  enum class Variant { None, AwaitKey, AwaitNull, AwaitEnd };

  bool fail(RuleFault fault, std::string message) {
    if (!faulted_) {
      faulted_ = true;
      fault_ = fault;
      message_ = std::move(message);
    }
    return false;
  }

  // The field the next value at depth 1 fills; absent for an unknown member.
  bool next_target(std::optional<Field>& field) {
    if (form_ == Form::Object) {
      field = target_;
      return true;
    }
    if (count_ == FIELD_NAMES.size()) return fail(RuleFault::Length, "a seventh element");
    field = static_cast<Field>(count_++);
    return true;
  }

  bool scalar(Seen seen) {
    if (skipping_) return true;
    if (depth_ == 0) {
      return fail(RuleFault::NotARule, "invalid type: " + std::string(seen_name(seen)) + ", expected struct Rule");
    }
    if (depth_ == 2) {  // the value of an enumeration object's member
      if (seen != Seen::Null) {
        return fail(RuleFault::BadValue, "invalid type: " + std::string(seen_name(seen)) + ", expected null");
      }
      variant_ = Variant::AwaitEnd;
      return true;
    }
    std::optional<Field> field;
    if (!next_target(field)) return false;
    if (!field) return true;
    return set_field(*field, seen);
  }

  bool open(Seen seen) {
    if (skipping_) {
      ++depth_;
      return true;
    }
    if (depth_ == 0) {
      form_ = seen == Seen::Object ? Form::Object : Form::Array;
      ++depth_;
      return true;
    }
    if (depth_ == 1) {
      std::optional<Field> field;
      if (!next_target(field)) return false;
      if (!field) {  // an unknown member's value, skipped with all it holds
        skipping_ = true;
        skip_depth_ = ++depth_;
        return true;
      }
      if (seen == Seen::Object && *field <= ACTION) {
        variant_ = Variant::AwaitKey;
        variant_field_ = *field;
        ++depth_;
        return true;
      }
      return set_field(*field, seen);
    }
    return fail(RuleFault::BadValue, "invalid type: " + std::string(seen_name(seen)) + ", expected null");
  }

  bool close() {
    --depth_;
    if (skipping_) {
      if (depth_ < skip_depth_) skipping_ = false;
      return true;
    }
    if (depth_ == 1) {  // an enumeration object ends
      if (variant_ == Variant::AwaitKey) {
        return fail(RuleFault::BadValue, "invalid type: empty object, expected an enumeration name");
      }
      variant_ = Variant::None;
      return true;
    }
    return depth_ == 0 ? finish() : true;
  }

  bool finish() {
    if (form_ == Form::Array) {
      if (count_ < REQUIRED_FIELDS) {
        return fail(RuleFault::Length,
                    "invalid length " + std::to_string(count_) + ", expected struct Rule with 6 elements");
      }
      return true;
    }
    for (size_t f = 0; f < REQUIRED_FIELDS; ++f) {
      if (!seen_[f]) return fail(RuleFault::MissingField, "missing field `" + std::string(FIELD_NAMES[f]) + "`");
    }
    return true;
  }

  bool set_field(Field field, Seen seen) {
    Seen wanted = field == FLAG ? Seen::Boolean : Seen::String;
    if (seen != wanted) {
      return fail(RuleFault::BadValue,
                  "invalid type: " + std::string(seen_name(seen)) + ", expected " + std::string(seen_name(wanted)));
    }
    switch (field) {
      case TYPE:
      case DATA_TYPE:
      case ACTION: return set_enumeration(field, text_);
      case FROM: rule_.from = std::move(text_); return true;
      case TO: rule_.to = std::move(text_); return true;
      case FLAG: rule_.applyToWebsocketUpgrade = flag_; return true;
    }
    return false;
  }

  bool set_enumeration(Field field, std::string_view name) {
    switch (field) {
      case TYPE:
        if (name == "HEADER") rule_.type = RuleType::HEADER;
        else if (name == "BODY") rule_.type = RuleType::BODY;
        else return unknown_variant(name, "`HEADER` or `BODY`");
        return true;
      case DATA_TYPE:
        if (name == "PLAIN") rule_.dataType = RuleDataType::PLAIN;
        else if (name == "JSON") rule_.dataType = RuleDataType::JSON;
        else return unknown_variant(name, "`PLAIN` or `JSON`");
        return true;
      default:
        if (name == "CREATE") rule_.action = RuleAction::CREATE;
        else if (name == "DELETE") rule_.action = RuleAction::DELETE;
        else if (name == "UPDATE") rule_.action = RuleAction::UPDATE;
        else return unknown_variant(name, "one of `CREATE`, `DELETE`, `UPDATE`");
        return true;
    }
  }

  bool unknown_variant(std::string_view name, std::string_view expected) {
    return fail(RuleFault::UnknownVariant, "unknown variant `" + std::string(name) + "`, expected " +
                                               std::string(expected));
  }

  Rule rule_;
  std::array<bool, FIELD_NAMES.size()> seen_{};
  Form form_ = Form::None;
  size_t depth_ = 0;
  size_t count_ = 0;  // array elements so far
  std::optional<Field> target_;
  bool skipping_ = false;
  size_t skip_depth_ = 0;
  Variant variant_ = Variant::None;
  Field variant_field_ = TYPE;
  std::string text_;
  bool flag_ = false;
  bool overflowed_ = false;
  bool faulted_ = false;
  RuleFault fault_ = RuleFault::Syntax;
  std::string message_;
};

// Length of the JSON number at the start of s, or 0 where none starts.
size_t number_length(std::string_view s) {
  size_t i = 0;
  const auto digits = [&] {
    size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i > from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') ++i;
  else if (!digits()) return 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits()) return 0;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return 0;
  }
  return i;
}

// The library refuses a number too large for a double, but in an unknown
// member any valid JSON is allowed. Such numbers, outside strings, become a
// 0 padded with spaces: no known field takes a number, so nothing else
// changes, and the text keeps its length.
std::string tame_huge_numbers(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '"') {
      for (++i; i < out.size() && out[i] != '"'; ++i) {
        if (out[i] == '\\') ++i;
      }
      continue;
    }
    if (out[i] != '-' && (out[i] < '0' || out[i] > '9')) continue;
    size_t length = number_length(std::string_view(out).substr(i));
    if (length == 0) continue;
    std::string number = out.substr(i, length);
    if (std::isinf(std::strtod(number.c_str(), nullptr))) {
      out[i] = '0';
      std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(i + 1), length - 1, ' ');
    }
    i += length - 1;
  }
  return out;
}

RuleReading read_events(std::string_view text, bool* overflowed) {
  RuleEvents events;
  try {
    Json::sax_parse(text.begin(), text.end(), &events);
  } catch (const std::exception& e) {
    return {std::nullopt, RuleFault::Syntax, e.what()};
  }
  if (overflowed != nullptr) *overflowed = events.overflowed();
  return events.take();
}

}  // namespace

RuleReading read_rule(std::string_view json_bytes) {
  // The library skips a leading byte order mark and takes a NUL byte for
  // the end of its input; neither belongs in the text of one JSON value.
  if (json_bytes.starts_with("\xEF\xBB\xBF")) return {std::nullopt, RuleFault::Syntax, "a byte order mark"};
  if (json_bytes.find('\0') != std::string_view::npos) return {std::nullopt, RuleFault::Syntax, "a NUL byte"};
  bool overflowed = false;
  RuleReading reading = read_events(json_bytes, &overflowed);
  if (!overflowed) return reading;
  return read_events(tame_huge_numbers(json_bytes), nullptr);
}

Result<Rule> parse_rule(std::string_view json_bytes) {
  RuleReading reading = read_rule(json_bytes);
  if (!reading.rule) return Error(std::move(reading.message));
  return std::move(*reading.rule);
}

}  // namespace vostrelin
