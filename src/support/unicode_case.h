// Full Unicode lower-casing (ICU): every character is replaced by its complete
// lower-case mapping, which may be longer than the character itself (U+0130
// becomes "i" and U+0307), and U+03A3 becomes the final sigma at the end of a
// word. Used where messages are compared without regard to letter case; the
// texts compared are mostly Cyrillic, so ASCII lowering is not enough.
#pragma once

#include <string>
#include <string_view>

namespace vostrelin {

// Bytes that are not valid UTF-8 are copied through unchanged.
std::string to_lower_full(std::string_view utf8);

}  // namespace vostrelin
