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

// What every session is handed: the start-up values, which stay the same
// for the life of the process. The main task keeps them; each session works
// on a copy.
struct SessionSettings {
  ConnectProto proto = ConnectProto::Http;
  uint16_t local_port = 0;
  uint16_t external_port = 0;  // 0: none asked for
  std::string hostname;        // empty: none asked for
  // Present when HTTP sessions are recorded there.
  std::optional<std::string> sessions_dir;
  // The inspector's address line, which the HTTP forwarder prints.
  std::optional<std::string> inspector_line;
};

// Disconnected only after on_connected has been called, which happens once,
// right after a successful handshake. A failed connection and a handshake
// failure that is not fatal are errors; a fatal handshake failure is Fatal.
// Nothing after the handshake makes it fail.
awaitable<Result<SessionOutcome>> run_session(SessionSettings settings, std::function<void()> on_connected);

}  // namespace vostrelin
