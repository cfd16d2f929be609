// A rewrite rule sent by the service during the handshake, and the reading
// of one rule from the JSON that a rule frame carries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/error.h"

namespace vostrelin {

enum class RuleType { HEADER, BODY };
enum class RuleDataType { PLAIN, JSON };
enum class RuleAction { CREATE, DELETE, UPDATE };

struct Rule {
  RuleType type = RuleType::HEADER;
  RuleDataType dataType = RuleDataType::PLAIN;
  RuleAction action = RuleAction::CREATE;
  std::string from;
  std::string to;
  bool applyToWebsocketUpgrade = false;

  friend bool operator==(const Rule&, const Rule&) = default;
};

// Why a text is no rule.
enum class RuleFault {
  Syntax,          // not one JSON value (the JSON library's message)
  NotARule,        // a JSON value that is neither an object nor an array
  MissingField,    // a required key absent (the first in declaration order)
  DuplicateField,  // a known key given twice
  UnknownVariant,  // an enumeration name that is not one of its names
  BadValue,        // a field value of the wrong kind or shape
  Length,          // an array of fewer than five or more than six elements
};

struct RuleReading {
  std::optional<Rule> rule;  // absent on a fault
  RuleFault fault = RuleFault::Syntax;
  std::string message;
};

// Reads one rule from the JSON text of a rule frame. Two forms are accepted:
// an object with the keys "type", "dataType", "action", "from", "to" and the
// optional "applyToWebsocketUpgrade" (any order; other keys are skipped with
// their values; a known key twice fails as soon as it is read), or an array
// of those values in that order, five or six of them. An enumeration is its
// name as a string or a one-member object {"NAME": null}. Only JSON white
// space may surround the value.
RuleReading read_rule(std::string_view json_bytes);

// The same, with the fault as an error value.
Result<Rule> parse_rule(std::string_view json_bytes);

}  // namespace vostrelin
