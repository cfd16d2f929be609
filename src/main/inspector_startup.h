// The last step of start-up: whether HTTP traffic is recorded and the web
// inspector runs. Runs once, on the main task, before the first session.
#pragma once

#include <optional>
#include <string>

#include "main/connect_proto.h"

namespace vostrelin {

struct InspectorStartup {
  // Present exactly when HTTP sessions are recorded.
  std::optional<std::string> sessions_dir;
  // "Веб-инспектор: http://127.0.0.1:<port>", present exactly when the
  // inspector's listener is bound; the HTTP forwarder prints it.
  std::optional<std::string> address_line;
};

// In HTTP mode, unless VOSTRELIN_INSPECTOR is "off": finds the sessions
// directory, binds the inspector's port and starts its accept loop on the
// worker pool. A missing home directory or a port that cannot be bound is
// reported on standard error and the program goes on without them.
InspectorStartup start_inspector(ConnectProto proto);

}  // namespace vostrelin
