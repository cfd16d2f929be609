// The lines of a session file. Each function returns one finished line:
// a compact JSON object whose first member "t" names the record, the other
// members in a fixed order, and a closing "\n".
//
// Texts (ids, methods, paths, kinds, header fields) are written as JSON
// strings; bytes that are not valid UTF-8 become U+FFFD, so every line is
// valid UTF-8 and valid JSON whatever the caller passes. Raw bytes (heads
// and bodies) go into "b64" as Base64 and are kept exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vostrelin::inspector {

std::string session_line(std::string_view ts, std::string_view proto, std::string_view hostname,
                         uint16_t local_port, std::string_view remote_url);
std::string begin_line(std::string_view req, std::string_view ts, std::string_view method,
                       std::string_view path);
std::string req_headers_line(std::string_view req, std::string_view kind, std::string_view head);
std::string req_body_line(std::string_view req, std::string_view kind, std::string_view body);
std::string res_headers_line(std::string_view req, uint16_t status, std::string_view head);
std::string res_body_line(std::string_view req, std::string_view body);
std::string end_line(std::string_view req, uint16_t status, uint64_t total, std::string_view ts);

}  // namespace vostrelin::inspector
