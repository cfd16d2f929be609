// The trace line: one line on standard output per answered request, with
// its status, method, path and the number of response bytes. On a terminal
// the status and the method are coloured by the status class.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vostrelin::http_proxy {

// The line for status (0: none was read, shown as "---"), ending in "\n";
// with colour, the status and method are wrapped in the class's sequence.
std::string trace_line(uint16_t status, std::string_view method, std::string_view path, uint64_t bytes,
                       bool colour);

// Writes the line in one piece; colour only when standard output is a
// terminal at this moment.
void print_trace(uint16_t status, std::string_view method, std::string_view path, uint64_t bytes);

}  // namespace vostrelin::http_proxy
