#include "main/main_task.h"

#include <variant>

#include "main/command_line.h"
#include "main/inspector_startup.h"
#include "main/key_file.h"
#include "main/reconnect_loop.h"
#include "support/output.h"

namespace vostrelin {

awaitable<int> main_task(std::vector<std::string> args) {
  std::variant<CommandLine, CommandLineError> parsed = parse_command_line(args);
  if (auto* error = std::get_if<CommandLineError>(&parsed)) {
    for (const std::string& message : error->messages) write_stderr(message);
    co_return 1;
  }
  CommandLine line = std::get<CommandLine>(std::move(parsed));

  // Only whether the key file exists matters here: every session looks it
  // up again.
  if (Result<std::string> key = locate_key_file(); !key) {
    write_stderr(key.error().message() + "\n");
    co_return 1;
  }

  InspectorStartup inspector = start_inspector(line.proto);

  SessionSettings settings{line.proto, line.local_port, line.external_port, std::move(line.hostname),
                           std::move(inspector.sessions_dir), std::move(inspector.address_line)};
  co_return co_await reconnect_loop(std::move(settings));
}

}  // namespace vostrelin
