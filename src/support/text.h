// Small text helpers shared across the client: UTF-8 checks and lossy
// decoding, trimming by the Unicode White_Space property, the escaping that
// keeps a peer's text from driving the terminal, and the strict unsigned
// decimal reader used for ports, versions and frame lengths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vostrelin {

bool is_valid_utf8(std::string_view bytes);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with
// U+FFFD (the same substitution every mainstream lossy decoder makes).
std::string utf8_lossy(std::string_view bytes);

// Appends one byte as a backslash, "x" and two lower-case hexadecimal
// digits ("\x1b"): the one form in which bytes that must not reach the
// terminal raw are shown.
void append_hex_escape(std::string& out, unsigned char byte);

// Text that came from a peer, ready to be printed on a terminal: every
// control character (C0 other than tab, DEL, and C1, that is U+0080 to
// U+009F) is written as the hexadecimal escapes of its bytes ("\x1b",
// "\x0a", "\xc2\x9b"), and so is a lone byte 0x80 to 0x9F outside any valid
// UTF-8 sequence, which an 8-bit terminal takes for a C1 control.
// Everything else stays as it is (backslashes, letters of any script, other
// invalid bytes), so text without control characters comes back unchanged.
std::string escape_controls(std::string_view text);

// A to Z become a to z; every other byte stays as it is.
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string ascii_lowered(std::string_view text);

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
