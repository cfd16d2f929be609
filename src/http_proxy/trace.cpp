#include "http_proxy/trace.h"

#include "support/output.h"

namespace vostrelin::http_proxy {
namespace {

std::string_view colour_of(uint16_t status) {
  if (status == 0) return "\x1b[90m";   // grey
  if (status < 300) return "\x1b[32m";  // green
  if (status < 400) return "\x1b[33m";  // yellow
  return "\x1b[31m";                    // red
}

}  // namespace

std::string trace_line(uint16_t status, std::string_view method, std::string_view path, uint64_t bytes,
                       bool colour) {
  std::string line;
  if (colour) line += colour_of(status);
  line += status == 0 ? std::string("---") : std::to_string(status);
  line += '\t';
  line += method;
  line += colour ? "\x1b[0m\t" : "\t";
  line += path;
  line += '\t';
  line += std::to_string(bytes);
  line += '\n';
  return line;
}

void print_trace(uint16_t status, std::string_view method, std::string_view path, uint64_t bytes) {
  write_stdout(trace_line(status, method, path, bytes, ANSI_SUPPORTED && stdout_is_terminal()));
}

}  // namespace vostrelin::http_proxy
