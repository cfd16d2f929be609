// JSON text as the client writes it everywhere: compact, object members in
// insertion order, and one escaping rule for strings (backslash before '"'
// and '\', \b \t \n \f \r, other characters below U+0020 as \u00xx in lower
// case, everything else, '/' and U+007F included, unchanged). Doubles come
// out in the shortest form that reads back, whole ones with ".0".
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace vostrelin {

using Json = nlohmann::ordered_json;

std::string json_text(const Json& value);
void append_json_text(std::string& out, const Json& value);

// A JSON string literal, quotes included. Bytes that are not valid UTF-8
// are replaced with U+FFFD so the result is always valid JSON.
std::string json_string(std::string_view text);
void append_json_string(std::string& out, std::string_view text);

// The layout of a double on its own, as json_text writes it.
std::string json_double(double value);

}  // namespace vostrelin
