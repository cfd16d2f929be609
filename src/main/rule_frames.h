// The frames that carry the rewrite rules during the handshake: "RULE.",
// the byte length of the JSON in decimal, ".", then the JSON of one rule.
// A frame whose length reads as 0 ("RULE.0.") ends the list. Frames carry
// their own length, so one may span several reads and several may arrive in
// one read; the parser only ever looks at the front of what has arrived.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "rules/rule.h"
#include "support/error.h"

namespace vostrelin {

// The largest rule frame accepted, tag and size field included. A frame
// that declares more is refused as soon as its size field has arrived, and
// a size field still without its dot at this length is refused too, so the
// bytes waiting for one frame never exceed it.
inline constexpr size_t MAX_RULE_FRAME_BYTES = size_t{4} << 20;

// A whole frame at the front of the buffer.
struct RuleFrame {
  std::optional<Rule> rule;  // empty for the end frame
  size_t length = 0;         // bytes the frame occupies from the front

  bool is_end() const { return !rule.has_value(); }
};

// One of four outcomes: nothing (more bytes are needed before anything can
// be said), a rule frame, the end frame, or an error. Keeps nothing between
// calls.
Result<std::optional<RuleFrame>> try_parse_rule_frame(std::string_view buffer);

}  // namespace vostrelin
