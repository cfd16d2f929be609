#include "support/http_traffic.h"

#include <algorithm>
#include <cctype>

namespace vostrelin::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::optional<size_t> content_length(std::string_view head) {
  std::string lower = lowered(head);
  size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return std::nullopt;
  at += 17;
  size_t end = lower.find("\r\n", at);
  std::string value = lower.substr(at, end - at);
  return static_cast<size_t>(std::stoull(value));
}

}  // namespace

bool collect(ClientFrames& frames, Answers& answers, const std::vector<std::string>& ids, size_t pongs,
             std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  auto done = [&] {
    if (answers.pongs < pongs) return false;
    for (const std::string& id : ids) {
      auto it = answers.by_id.find(id);
      if (it == answers.by_id.end() || !it->second.closed) return false;
    }
    return true;
  };
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    std::optional<ClientFrame> frame = frames.next(left);
    if (!frame) return false;
    if (frame->tag == "PONG") {
      ++answers.pongs;
      continue;
    }
    Answer& answer = answers.by_id[frame->id];
    if (answer.closed) answer.after_close = true;
    if (frame->tag == "HTPC") {
      answer.closed = true;
    } else {
      answer.bytes += frame->payload;
      ++answer.frames;
    }
  }
  return true;
}

std::string open_frame(std::string_view id) { return "HTPO." + std::string(id); }
std::string close_frame(std::string_view id) { return "HTPC." + std::string(id); }

std::optional<LocalRequest> read_request(FakeConnection& connection, std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  std::string bytes;
  size_t head_end = std::string::npos;
  std::optional<size_t> length;
  for (;;) {
    if (head_end == std::string::npos) {
      head_end = bytes.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        head_end += 4;
        length = content_length(std::string_view(bytes).substr(0, head_end));
      }
    }
    if (head_end != std::string::npos && bytes.size() >= head_end + length.value_or(0)) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<std::string> more = connection.read_some(left);
    if (!more || more->empty()) return std::nullopt;
    bytes += *more;
  }
  LocalRequest request;
  request.head = bytes.substr(0, head_end);
  request.body = bytes.substr(head_end);
  return request;
}

std::string response(int status, std::string_view body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         std::string(body);
}

uint64_t digest(std::string_view bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace vostrelin::test
