#include "http_proxy/forwarder.h"

#include <utility>
#include <variant>

#include "support/output.h"

namespace vostrelin::http_proxy {

awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<HttpSession>&) {
  // A failed send means the writer has ended; the session is over anyway.
  if (std::holds_alternative<frames::Ping>(message)) co_await frame_tx.send(frames::pong_frame());
  co_return Result<void>();
}

awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port, std::vector<Rule> rules,
                    std::shared_ptr<inspector::Recorder> recorder, std::optional<std::string> inspector_line) {
  write_stdout("HTTP режим: проброс HTTP трафика на локальный порт " + std::to_string(local_port) + " (правил: " +
               std::to_string(rules.size()) + ")\n");
  if (inspector_line) write_stdout(*inspector_line + "\n");

  auto session = std::make_shared<HttpSession>();
  session->local_port = local_port;
  session->rules = std::make_shared<const std::vector<Rule>>(std::move(rules));
  session->recorder = std::move(recorder);

  frames::Forwarding forwarding(std::move(service));
  session->tasks = forwarding.tasks();
  forwarding.start_writer();
  frames::MessageHandler handler =
      frames::session_handler(forwarding.frame_tx(), session, &handle_server_message);
  forwarding.start_reader(frames::HTTP_TAGS, std::move(handler));
  co_await forwarding.first_end();
}

}  // namespace vostrelin::http_proxy
