// The inspector's HTML pages: the index of sessions, one session with its
// requests, and one request before and after the rewrite rules with its
// response. Pure functions of their arguments and the local time zone.
// Every value that comes from a session file or an address is escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "inspector/reader.h"
#include "inspector/session_header_meta.h"

namespace vostrelin::inspector {

// "&", "<", ">" and '"' as entities; everything else unchanged.
std::string html_escape(std::string_view text);

// The most of each session-header text (time, protocol, host name, address)
// that the index and session pages show; a longer one is cut at a character
// boundary and ends in "…". The recorder's texts are far shorter, but a
// session file can hold any length, and escaping can make it six times
// longer again, on every row of the index.
inline constexpr size_t HEADER_TEXT_SHOWN = 1024;

// The whole document around a page's body: head with the style sheet,
// header with the logo linking to the index.
std::string shell(std::string_view title, std::string_view body);

std::string render_index(const std::vector<SessionSummary>& sessions);
// requests in the order of their first begin record; shown newest first.
std::string render_session(std::string_view session_id, const SessionHeaderMeta& header,
                           const std::vector<RequestSummary>& requests);
std::string render_request(std::string_view session_id, const RequestDetail& detail);

// One card of a request page: the head as text, the body as text or, when
// it looks binary, as a hex dump of its first 256 bytes.
std::string render_body_section(std::string_view title, std::string_view head, std::string_view body);

// "512 Б", "1.5 КБ", "3.0 МБ".
std::string format_size(uint64_t bytes);

// "999 мс", "1.23 с", or "—" when either timestamp does not read or the end
// lies before the start.
std::string format_duration(std::string_view start, std::string_view end);

}  // namespace vostrelin::inspector
