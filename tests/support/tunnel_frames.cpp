#include "support/tunnel_frames.h"

#include <cctype>

namespace vostrelin::test {

using Clock = std::chrono::steady_clock;

std::string describe(const ClientFrame& frame) {
  if (frame.tag == "MESG") return "MESG." + frame.id + "." + std::to_string(frame.payload.size());
  if (frame.tag == "PONG") return "PONG";
  return frame.tag + "." + frame.id;
}

size_t ClientFrames::parse(ClientFrame& out, bool settled) const {
  std::string_view b = buffer_;
  if (b.size() < 4) return 0;
  std::string_view tag = b.substr(0, 4);
  if (tag == "PONG") {
    out = {"PONG", "", ""};
    return 4;
  }
  if (b.size() < 5 || b[4] != '.') return 0;
  if (tag == "MESG") {
    size_t dot = b.find('.', 5);
    if (dot == std::string_view::npos) return 0;
    size_t dot2 = b.find('.', dot + 1);
    if (dot2 == std::string_view::npos) return 0;
    size_t n = std::stoul(std::string(b.substr(dot + 1, dot2 - dot - 1)));
    if (b.size() < dot2 + 1 + n) return 0;
    out = {"MESG", std::string(b.substr(5, dot - 5)), std::string(b.substr(dot2 + 1, n))};
    return dot2 + 1 + n;
  }
  if (tag == "HTPC") {
    size_t dot = b.find('.', 5);
    if (dot == std::string_view::npos) return 0;
    out = {"HTPC", std::string(b.substr(5, dot - 5)), ""};
    return dot + 1;
  }
  if (tag == "TCPC") {
    size_t end = 5;
    while (end < b.size() && std::isdigit(static_cast<unsigned char>(b[end]))) ++end;
    if (end == b.size() && !settled) return 0;
    out = {"TCPC", std::string(b.substr(5, end - 5)), ""};
    return end;
  }
  out = {std::string(tag), "?", std::string(b.substr(5))};
  return b.size();
}

std::optional<ClientFrame> ClientFrames::next(std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    ClientFrame frame;
    if (size_t n = parse(frame, false)) {
      buffer_.erase(0, n);
      return frame;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    // A close frame's id ends with the next frame, or with a pause.
    bool open_id = buffer_.rfind("TCPC.", 0) == 0;
    if (open_id) left = std::min(left, std::chrono::milliseconds(100));
    std::optional<std::string> more = connection_.read_some(std::max(left, std::chrono::milliseconds(0)));
    if (!more || more->empty()) {
      if (open_id && parse(frame, true)) {
        buffer_.erase(0, parse(frame, true));
        return frame;
      }
      if (!more && Clock::now() < deadline) continue;
      return std::nullopt;
    }
    buffer_ += *more;
  }
}

}  // namespace vostrelin::test
