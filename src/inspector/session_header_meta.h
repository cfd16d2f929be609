// The session header as read back from a session file: the four texts of
// the "session" record that the pages show. It is read either from a parsed
// JSON value (a "session" record met while reading a file) or from a line of
// text (the first line of a file, for the index).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "support/json_text.h"

namespace vostrelin::inspector {

struct SessionHeaderMeta {
  std::string ts;
  std::string proto;
  std::string hostname;
  std::string remote_url;

  bool operator==(const SessionHeaderMeta&) const = default;
};

// An object supplies the members "ts", "proto", "hostname" and
// "remote_url", each of which must be a string when present (absent ones
// stay empty; other members are ignored). An array supplies up to four
// strings in that order. Anything else, or a member or element of another
// type (null included), gives nothing.
std::optional<SessionHeaderMeta> read_session_header(const Json& value);

// The same from text that must hold exactly one JSON value with nothing but
// JSON white space around it. Read from text, one of the four names given
// twice in the object also gives nothing.
std::optional<SessionHeaderMeta> read_session_header(std::string_view text);

// What one line of a session file may hold to be read at all. A record is
// one flat object of a handful of members; a line nested deeper, or with
// more values, is none the recorder wrote and reads as broken. Without the
// bounds a line of nested brackets, or of very many small values, builds a
// tree many times the size of its text; with them the tree of any line
// stays within a few megabytes besides its strings.
inline constexpr size_t SESSION_LINE_MAX_DEPTH = 64;
inline constexpr size_t SESSION_LINE_MAX_VALUES = 65536;

// A JSON value from one line of a session file, or nothing when the line is
// not exactly one JSON value within the bounds above. A byte-order mark is
// not white space in JSON and is refused.
std::optional<Json> parse_json_line(std::string_view line);

}  // namespace vostrelin::inspector
