#include "main/connect.h"

#include <string>
#include <string_view>
#include <utility>

#include "support/build_settings.h"

namespace vostrelin {
namespace {

using asio::ip::tcp;

constexpr std::string_view CONNECT_FAILED =
    "Не удалось подключиться к серверу. Проверьте подключение к интернету или обратитесь в "
    "техническую поддержку";

struct Resolved {
  asio::error_code error;
  tcp::resolver::results_type endpoints;
};

}  // namespace

awaitable<Result<tcp::socket>> connect_to_service() {
  std::string host = service_host();
  std::string port = std::to_string(service_port());
  auto resolve = [host, port]() {
    Resolved r;
    tcp::resolver resolver(blocking_executor());
    r.endpoints = resolver.resolve(host, port, r.error);
    return r;
  };
  Resolved resolved = co_await run_blocking(std::move(resolve));
  if (resolved.error) co_return system_error(resolved.error).context(std::string(CONNECT_FAILED));

  asio::error_code last = asio::error::host_not_found;
  for (const tcp::resolver::results_type::value_type& entry : resolved.endpoints) {
    tcp::socket socket(worker_strand());
    auto [ec] = co_await socket.async_connect(entry.endpoint(), as_tuple_awaitable);
    if (!ec) co_return std::move(socket);
    last = ec;
  }
  co_return system_error(last).context(std::string(CONNECT_FAILED));
}

}  // namespace vostrelin
