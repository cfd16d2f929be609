#include "main/inspector_startup.h"

#include <cstdlib>
#include <string_view>

#include "inspector/server.h"
#include "main/key_file.h"
#include "support/build_settings.h"
#include "support/output.h"
#include "support/text.h"

namespace vostrelin {
namespace {

bool switched_off() {
  const char* value = std::getenv("VOSTRELIN_INSPECTOR");
  return value != nullptr && std::string_view(value) == "off";
}

}  // namespace

InspectorStartup start_inspector(ConnectProto proto) {
  InspectorStartup result;
  if (proto != ConnectProto::Http || switched_off()) return result;

  Result<std::string> dir = sessions_dir();
  if (!dir) {
    write_stderr("Инспектор выключен: " + dir.error().message() + "\n");
    return result;
  }
  // Recording is on from here, whether or not the port can be bound.
  result.sessions_dir = *dir;

  uint16_t port = inspector_port();
  Result<inspector::tcp::acceptor> listener = inspector::bind(port);
  if (!listener) {
    write_stderr("Веб-инспектор не поднят (порт " + std::to_string(port) + " занят?): " +
                 listener.error().message() + ". Файлы сессий всё равно пишутся в " + utf8_lossy(*dir) + "\n");
    return result;
  }
  inspector::ServeLimits limits;
  limits.max_connections = inspector::connection_bound();
  limits.head_timeout = inspector_head_timeout().value_or(inspector::HEAD_TIMEOUT);
  asio::co_spawn(worker_executor(), inspector::serve(std::move(*listener), *dir, limits), asio::detached);
  result.address_line = "Веб-инспектор: http://127.0.0.1:" + std::to_string(port);
  return result;
}

}  // namespace vostrelin
