// A rewrite rule sent by the service during the handshake, and the reading
// of one rule from the JSON that a rule frame carries.
#pragma once

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

// Reads one rule from the JSON text of a rule frame. Two forms are accepted:
// an object with the keys "type", "dataType", "action", "from", "to" and the
// optional "applyToWebsocketUpgrade" (any order; other keys are skipped with
// their values; a known key twice fails), or an array of those values in
// that order, five or six of them. An enumeration is its name as a string or
// a one-member object {"NAME": null}. Only JSON white space may surround the
// value. The error message names the fault and where it is.
Result<Rule> parse_rule(std::string_view json_bytes);

}  // namespace vostrelin
