// Small text helpers shared across the client: UTF-8 checks and lossy
// decoding, trimming by the Unicode White_Space property, and the strict
// unsigned decimal reader used for ports, versions and frame lengths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vostrelin {

bool is_valid_utf8(std::string_view bytes);

// Appends the UTF-8 encoding of one code point.
void append_utf8(std::string& out, char32_t code_point);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with
// U+FFFD (the same substitution every mainstream lossy decoder makes).
std::string utf8_lossy(std::string_view bytes);

// Removes leading and trailing characters with the Unicode White_Space
// property. Bytes that do not form a white-space character are kept as they
// are, so the input need not be valid UTF-8.
std::string_view trim_unicode_whitespace(std::string_view text);

// An optional single "+", then one or more ASCII digits and nothing else,
// with a value of at most max. Leading zeros are allowed at any length and
// no number of digits can overflow.
std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max);

// Why parse_unsigned(text, max) refuses text, for the cause of an error.
std::string unsigned_number_fault(std::string_view text, uint64_t max);

}  // namespace vostrelin
