// A rewrite rule sent by the service during the handshake, and the reading
// of one rule from the JSON that a rule frame carries.
#pragma once

#include <string>

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
};

}  // namespace vostrelin
