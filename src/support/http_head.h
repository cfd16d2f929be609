// A tokenizer for HTTP/1.x request heads. It takes the bytes received so far
// and says whether they hold a complete head (and how long it is), need more
// bytes, or can never become a valid head. Nothing is copied: the method,
// target and header fields are views into the caller's bytes, and the header
// fields go into slots the caller provides, so the caller also sets the limit
// on header lines (one line more than there are slots makes the head
// invalid).
//
// Accepted: empty lines before the request line; any method token; runs of
// spaces between the parts of the request line; only "HTTP/1." followed by
// one digit as the version; lines ended by CRLF or a bare LF; obs-text
// (bytes 0x80 and above) in the target and in field values. Refused: control
// characters (HTAB allowed in values), a CR not followed by LF, white space
// between a field name and its colon, and folded (continued) field lines.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace vostrelin {

// Header slots a request head of the tunnel is parsed with: a head with
// more header lines than this never parses.
inline constexpr size_t REQUEST_HEAD_SLOTS = 64;

struct HttpHeaderField {
  std::string_view name;
  std::string_view value;  // without leading and trailing SP / HTAB
};

enum class HttpHeadStatus { Complete, Partial, Invalid };

struct HttpRequestHead {
  HttpHeadStatus status = HttpHeadStatus::Partial;
  // Bytes of the head, its blank line included; set when Complete.
  size_t length = 0;
  // Each part is set once the tokenizer has read it whole, also when the
  // head as a whole turns out partial or invalid later on.
  std::optional<std::string_view> method;
  std::optional<std::string_view> target;
  int minor_version = -1;
  std::span<HttpHeaderField> headers;  // the slots filled, in order
};

HttpRequestHead parse_request_head(std::string_view bytes, std::span<HttpHeaderField> slots);

// The value of the first field named name (compared without regard to ASCII
// letter case).
std::optional<std::string_view> find_header(std::span<const HttpHeaderField> headers,
                                            std::string_view name);

bool ascii_iequals(std::string_view a, std::string_view b);

}  // namespace vostrelin
