#include "main/session.h"

#include <memory>
#include <utility>

#include "http_proxy/forwarder.h"
#include "inspector/recorder.h"
#include "main/client.h"
#include "main/connect.h"
#include "main/handshake_errors.h"
#include "tcp_proxy/forwarder.h"
#include "udp_proxy/forwarder.h"
#include "support/output.h"

namespace vostrelin {

awaitable<Result<SessionOutcome>> run_session(SessionSettings settings, std::function<void()> on_connected) {
  const ConnectProto proto = settings.proto;
  Result<asio::ip::tcp::socket> connected = co_await connect_to_service();
  if (!connected) co_return std::move(connected).error();

  Client client(std::move(connected).value());
  Result<Handshake> handshake = co_await client.handshake(proto, settings.hostname, settings.external_port);
  if (!handshake) {
    // Whether retrying can help is judged on the outermost message alone.
    std::string message = handshake.error().message();
    if (is_fatal_handshake_error(message)) co_return SessionOutcome::fatal(std::move(message));
    co_return std::move(handshake).error();
  }
  on_connected();

  // HTTP sessions are recorded while a sessions directory is given; a
  // recorder that cannot be made leaves the session running without one.
  std::shared_ptr<inspector::Recorder> recorder;
  if (proto == ConnectProto::Http && settings.sessions_dir) {
    inspector::SessionMeta meta{"HTTP", settings.hostname, handshake->public_address};
    Result<std::shared_ptr<inspector::Recorder>> created =
        co_await inspector::Recorder::create(std::move(*settings.sessions_dir), std::move(meta), settings.local_port);
    if (created) {
      recorder = std::move(created).value();
    } else {
      co_await leave_if_cancelled();
      write_stderr("Инспектор: не удалось создать файл сессии: " + created.error().message() + "\n");
    }
  }

  asio::ip::tcp::socket stream = client.take_stream();
  switch (proto) {
    case ConnectProto::Http: {
      awaitable<void> forwarding = http_proxy::run(std::move(stream), settings.local_port, std::move(handshake->rules),
                                                   std::move(recorder), std::move(settings.inspector_line));
      co_await std::move(forwarding);
      break;
    }
    case ConnectProto::Tcp: {
      awaitable<void> forwarding = tcp_proxy::run(std::move(stream), settings.local_port);
      co_await std::move(forwarding);
      break;
    }
    case ConnectProto::Udp: {
      awaitable<void> forwarding = udp_proxy::run(std::move(stream), settings.local_port);
      co_await std::move(forwarding);
      break;
    }
  }
  co_return SessionOutcome::disconnected();
}

}  // namespace vostrelin
