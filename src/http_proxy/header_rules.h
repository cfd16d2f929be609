// Text operations on a request head: rewriting its header lines by the
// session's header rules, and reading and writing its Content-Length.
//
// A head is seen as lines separated by CR LF. Header names are compared in
// ASCII lower case; a head that is not valid UTF-8 passes through unchanged.
// Nothing here keeps state between calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rule.h"

namespace vostrelin::http_proxy {

// Names no rule may touch on a WebSocket upgrade request, in lower case.
inline constexpr std::array<std::string_view, 8> PROTECTED_UPGRADE_HEADERS = {
    "host",
    "upgrade",
    "connection",
    "sec-websocket-key",
    "sec-websocket-accept",
    "sec-websocket-version",
    "sec-websocket-protocol",
    "sec-websocket-extensions",
};

struct HeaderRewrite {
  std::string head;
  // One message per rule refused on an upgrade request, each ending "\n".
  std::vector<std::string> warnings;
};

// The header rules applied in list order to the head; the warnings are
// returned rather than written.
HeaderRewrite rewrite_header_lines(std::string_view head, std::span<const Rule> rules,
                                   bool is_websocket_upgrade);

// rewrite_header_lines with its warnings written to standard error.
std::string apply_header_rules(std::string_view head, std::span<const Rule> rules,
                               bool is_websocket_upgrade);

// The value of the first content-length line, when it reads as an unsigned
// 64-bit decimal number; absent otherwise (later lines are not consulted).
std::optional<uint64_t> extract_content_length(std::string_view head);

// The first content-length line set to "Content-Length: <length>", or such a
// line added after the last header line when there is none.
std::string set_content_length(std::string head, size_t length);

}  // namespace vostrelin::http_proxy
