// Base64 with the standard alphabet and "=" padding. Decoding is strict: it
// accepts exactly the texts that encoding produces, nothing else (no white
// space, no missing or extra padding, no stray bits after the last byte).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vostrelin {

std::string base64_encode(std::string_view bytes);
// Appends the encoding of bytes to out, without a copy of its own.
void append_base64(std::string& out, std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace vostrelin
