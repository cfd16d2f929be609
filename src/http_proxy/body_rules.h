// Rewriting the body of a held-back request by the session's body rules:
// PLAIN rules replace text, JSON rules select values of a JSON body with a
// path and set them to null or replace them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http_proxy/jsonpath.h"
#include "rules/rule.h"
#include "support/json_text.h"

namespace vostrelin::http_proxy {

// The largest body a rule may produce. A rule can multiply the size of a
// body (an empty `from` puts `to` between every two characters, a path can
// match every value); one that would make the body larger is passed over.
// A JSON rule counts each replacement as adding the whole text of its value.
inline constexpr size_t MAX_REWRITTEN_BODY = size_t{256} << 20;

// The body rules of a rule list, each JSON path compiled once, so that a
// session compiles its rules when it starts and not for every body.
class BodyRules {
 public:
  BodyRules() = default;
  explicit BodyRules(std::span<const Rule> rules);

  bool empty() const { return rules_.empty(); }

  // See apply_body_rules.
  std::string apply(std::string body, size_t max_size = MAX_REWRITTEN_BODY) const;

 private:
  struct Compiled {
    Rule rule;
    std::optional<jsonpath::Path> path;  // JSON rules whose path compiles
  };
  std::vector<Compiled> rules_;
};

// The body rules applied in list order, each to the body the rules before
// it left. A rule that cannot act (a PLAIN rule on a body that is not
// UTF-8, a JSON rule on a body that is not one JSON value or with a path
// that does not compile or costs too much to evaluate, a result larger
// than max_size) is passed over; nothing fails and nothing is written
// anywhere.
std::string apply_body_rules(std::string body, std::span<const Rule> rules,
                             size_t max_size = MAX_REWRITTEN_BODY);
std::string apply_body_rules(std::string body, const BodyRules& rules, size_t max_size = MAX_REWRITTEN_BODY);

// Every occurrence of from replaced by to, left to right without overlap;
// an empty from occurs before every character and once at the end. Absent
// when the result would be longer than max_size.
std::optional<std::string> replace_text(std::string_view text, std::string_view from,
                                        std::string_view to, size_t max_size = MAX_REWRITTEN_BODY);

// What a CREATE or UPDATE rule puts in: to read as one JSON value, or else
// a JSON string holding to as it is.
Json replacement_value(std::string_view to);

}  // namespace vostrelin::http_proxy
