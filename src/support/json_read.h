// Reading one JSON value from text, with a limit on how deeply arrays and
// objects nest. The text holds exactly one value, white space around it
// allowed (a leading byte-order mark, or a NUL byte anywhere, makes it no
// JSON); strings must be valid UTF-8. A member name that occurs twice in an
// object leaves one member, in the first one's place, with the last one's
// value. Integers that fit a signed or unsigned 64-bit integer are kept
// exactly, every other number as a double.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "support/json_text.h"

namespace vostrelin {

inline constexpr size_t JSON_MAX_DEPTH = 127;
inline constexpr size_t JSON_ANY_COUNT = static_cast<size_t>(-1);

// Absent when the text is not one JSON value, nests arrays and objects more
// than max_depth levels deep, or holds more than max_values values (every
// number, string, literal, array and object counts, the outermost one
// included). Time and memory stay linear in the text, also for objects with
// many members; a count limit also bounds the tree, whose nodes cost many
// times the few bytes of text that make a small value.
std::optional<Json> read_json(std::string_view text, size_t max_depth = JSON_MAX_DEPTH,
                              size_t max_values = JSON_ANY_COUNT);

}  // namespace vostrelin
