// Reading one JSON value from text, with a limit on how deeply arrays and
// objects nest. The text holds exactly one value, white space around it
// allowed; strings must be valid UTF-8. A member name that occurs twice in
// an object leaves one member, in the first one's place, with the last
// one's value. Integers that fit a signed or unsigned 64-bit integer are
// kept exactly, every other number as a double.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "support/json_text.h"

namespace vostrelin {

inline constexpr size_t JSON_MAX_DEPTH = 127;

// Absent when the text is not one JSON value or nests arrays and objects
// more than max_depth levels deep. Time and memory stay linear in the text,
// also for objects with many members.
std::optional<Json> read_json(std::string_view text, size_t max_depth = JSON_MAX_DEPTH);

}  // namespace vostrelin
