// Reading the command line: the tunnel kind, the local port and the optional
// host name (HTTP) or external port (TCP, UDP).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "main/connect_proto.h"

namespace vostrelin {

struct CommandLine {
  ConnectProto proto = ConnectProto::Http;
  uint16_t local_port = 0;
  uint16_t external_port = 0;  // 0: none asked for
  std::string hostname;        // empty: none asked for
};

// What to write to standard error, one message per element, before exiting
// with status 1.
struct CommandLineError {
  std::vector<std::string> messages;
};

// args[0] is the program name as invoked; the user's arguments follow.
std::variant<CommandLine, CommandLineError> parse_command_line(const std::vector<std::string>& args);

// The ten lines of the usage text, each one message.
std::vector<std::string> usage_lines(std::string_view program);

// One or more ASCII digits after an optional "+", value 1 to 65535.
std::optional<uint16_t> parse_port(std::string_view text);

}  // namespace vostrelin
