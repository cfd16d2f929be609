#include "udp_proxy/forwarder.h"

#include <string>
#include <utility>
#include <variant>

#include "support/output.h"

namespace vostrelin::udp_proxy {

awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<UdpSession>&) {
  // A failed send means the writer has ended; the session is over anyway.
  if (std::holds_alternative<frames::Ping>(message)) co_await frame_tx.send(frames::pong_frame());
  co_return Result<void>();
}

awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port) {
  write_stdout("UDP режим: проброс UDP трафика на локальный порт " + std::to_string(local_port) + "\n");
  auto session = std::make_shared<UdpSession>();
  session->local_port = local_port;
  session->counters = std::make_shared<frames::ByteCounters>();
  write_stdout(frames::stats_lines(0, 0));

  frames::Forwarding forwarding(std::move(service));
  session->tasks = forwarding.tasks();
  forwarding.start_writer();
  frames::MessageHandler handler =
      frames::session_handler(forwarding.frame_tx(), session, &handle_server_message);
  forwarding.start_reader(frames::UDP_TAGS, std::move(handler));
  co_await forwarding.first_end();
}

}  // namespace vostrelin::udp_proxy
