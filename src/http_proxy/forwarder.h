// The HTTP forwarder: every request the service relays is rewritten by the
// session's rules and sent over a fresh local TCP connection to 127.0.0.1 at
// the local port; its response streams back unchanged.
#pragma once

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frames/forwarder.h"
#include "frames/frame.h"
#include "frames/session_tasks.h"
#include "inspector/recorder.h"
#include "main/rule.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin::http_proxy {

inline std::optional<frames::Parsed> try_parse(std::string_view bytes) {
  return frames::try_parse(bytes, frames::HTTP_TAGS);
}

// What the handler and the local readers of one HTTP session share.
struct HttpSession {
  uint16_t local_port = 0;
  std::shared_ptr<const std::vector<Rule>> rules;
  std::shared_ptr<inspector::Recorder> recorder;  // absent when nothing is recorded
  std::shared_ptr<frames::SessionTasks> tasks;    // local readers are started here
};

// Acts on one frame from the service. PING is answered with PONG.
awaitable<Result<void>> handle_server_message(frames::ServerMessage message, frames::FrameSender& frame_tx,
                                              const std::shared_ptr<HttpSession>& session);

// Prints the mode line (and the inspector address line when there is one),
// then forwards until the service connection ends.
awaitable<void> run(asio::ip::tcp::socket service, uint16_t local_port, std::vector<Rule> rules,
                    std::shared_ptr<inspector::Recorder> recorder, std::optional<std::string> inspector_line);

}  // namespace vostrelin::http_proxy
