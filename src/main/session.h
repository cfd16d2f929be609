// One tunnel session, from the connection to the service to the end of
// forwarding: connect, handshake, report the success, start the recording
// (HTTP), hand the connection to the forwarder of the mode and await it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "main/connect_proto.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin {

// How a session ended without an error.
struct SessionOutcome {
  enum class Kind { Disconnected, Fatal };
  Kind kind = Kind::Disconnected;
  std::string message;  // Fatal: the outermost message of the handshake failure

  static SessionOutcome disconnected() { return {Kind::Disconnected, {}}; }
  static SessionOutcome fatal(std::string message) { return {Kind::Fatal, std::move(message)}; }
};

// Disconnected only after on_connected has been called, which happens once,
// right after a successful handshake. A failed connection and a handshake
// failure that is not fatal are errors; a fatal handshake failure is Fatal.
// Nothing after the handshake makes it fail.
awaitable<Result<SessionOutcome>> run_session(ConnectProto proto, uint16_t local_port, uint16_t external_port,
                                              std::string hostname, std::optional<std::string> sessions_dir,
                                              std::optional<std::string> inspector_line,
                                              std::function<void()> on_connected);

}  // namespace vostrelin
