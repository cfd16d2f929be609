// Both ends of HTTP tunnel traffic for end-to-end tests: the answers the
// client sends to the service, gathered per request id from its frames,
// and a small local HTTP service played on the fake service's listener,
// which reads requests by their Content-Length and answers as each test
// says.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/fake_service.h"
#include "support/tunnel_frames.h"

namespace vostrelin::test {

// What came back for each request id: the bytes of its "MESG." frames in
// order, and whether its "HTPC." came (and nothing after it).
struct Answer {
  std::string bytes;
  size_t frames = 0;
  bool closed = false;
  bool after_close = false;  // a frame for the id came after its close
};

struct Answers {
  std::map<std::string, Answer> by_id;
  size_t pongs = 0;
};

// Reads frames until every id in `ids` is closed and `pongs` PONGs came,
// or the time-out; true when all came.
bool collect(ClientFrames& frames, Answers& answers, const std::vector<std::string>& ids, size_t pongs = 0,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The service's open and close frames end where the next frame begins: one
// at the end of what was sent takes effect once the next frame comes.
std::string open_frame(std::string_view id);
std::string close_frame(std::string_view id);

// One request as the local service read it.
struct LocalRequest {
  std::string head;  // through the blank line
  std::string body;  // as many bytes as the first Content-Length says
};

// Reads one request from the connection: its head, then its body by the
// first Content-Length (none: no body). Nothing when it does not come
// whole within the time-out.
std::optional<LocalRequest> read_request(FakeConnection& connection,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

// "HTTP/1.1 <status> X\r\nContent-Length: <n>\r\n\r\n" + body.
std::string response(int status, std::string_view body);

// A 64-bit FNV-1a digest, for bodies too large to compare in messages.
uint64_t digest(std::string_view bytes);

}  // namespace vostrelin::test
