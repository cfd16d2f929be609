// Fuzz target for the forwarding-frame parser in the three modes.
//
// The input is used twice. As raw bytes from the service it must give the
// same frames through scan_front and try_parse, through Pending fed in any
// pieces and Pending with a small limit, and what a front has become can
// never change as bytes arrive (a frame stays the same frame, a front that
// can never be a frame stays that way, a known length is kept). As a recipe
// it builds a stream of service frames (data frames with the client's own
// builder, PING, PONG, the mode's open and close frames, unknown tags),
// which must parse back to the messages it was built from, whole, split in
// two at every byte and fed one byte at a time.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "frames/frame.h"
#include "frames/pending.h"
#include "support/text.h"

namespace {

using namespace vostrelin;
using namespace vostrelin::frames;

const FrameTags MODES[] = {HTTP_TAGS, TCP_TAGS, UDP_TAGS};

bool is_error(const ServerMessage& m) { return std::holds_alternative<Error>(m); }

// What the whole of bytes holds: the frames taken from the front one after
// another, and how the rest scans. An error frame takes everything after it.
struct Taken {
  std::vector<ServerMessage> messages;
  FrontScan end = NeedMore{};
  size_t left = 0;
};

Taken take_all(std::string_view bytes, const FrameTags& tags) {
  Taken taken;
  size_t pos = 0;
  for (;;) {
    FrontScan scan = scan_front(bytes.substr(pos), tags);
    if (Parsed* parsed = std::get_if<Parsed>(&scan)) {
      FUZZ_CHECK(parsed->count >= 4 && parsed->count <= bytes.size() - pos);
      pos += parsed->count;
      taken.messages.push_back(std::move(parsed->message));
      if (is_error(taken.messages.back())) FUZZ_CHECK(pos == bytes.size());
      continue;
    }
    taken.end = std::move(scan);
    taken.left = bytes.size() - pos;
    return taken;
  }
}

// What Pending hands out for bytes appended in the given pieces, the way the
// server reader drains it after every read: frames until NeedMore, and the
// session's end at Malformed or an error frame.
struct Drained {
  std::vector<ServerMessage> messages;
  bool malformed = false;
  size_t left = 0;
};

Drained drain_pieces(const std::vector<std::string_view>& pieces, const FrameTags& tags, size_t max_frame) {
  Drained out;
  Pending pending(tags, max_frame);
  for (std::string_view piece : pieces) {
    pending.append(piece);
    for (;;) {
      FrontScan scan = pending.next();
      if (Parsed* parsed = std::get_if<Parsed>(&scan)) {
        out.messages.push_back(std::move(parsed->message));
        if (is_error(out.messages.back())) {
          out.left = pending.size();
          return out;
        }
        continue;
      }
      if (std::holds_alternative<Malformed>(scan)) {
        out.malformed = true;
        out.left = pending.size();
        return out;
      }
      // Whatever waits for more stays below the limit.
      FUZZ_CHECK(pending.size() < max_frame);
      const NeedMore& more = std::get<NeedMore>(scan);
      if (more.needed) FUZZ_CHECK(*more.needed > pending.size() && *more.needed <= max_frame);
      break;
    }
  }
  out.left = pending.size();
  return out;
}

// got agrees with the reference frame by frame, as far as both go; two
// error frames agree whatever their text, which is what had arrived.
bool agrees(const std::vector<ServerMessage>& got, const std::vector<ServerMessage>& reference) {
  if (got.size() > reference.size()) return false;
  for (size_t i = 0; i < got.size(); ++i) {
    if (is_error(got[i]) && is_error(reference[i])) return i + 1 == got.size();
    if (!(got[i] == reference[i])) return false;
  }
  return true;
}

std::vector<std::string_view> cut(std::string_view bytes, size_t piece) {
  std::vector<std::string_view> pieces;
  for (size_t pos = 0; pos < bytes.size(); pos += piece) pieces.push_back(bytes.substr(pos, piece));
  return pieces;
}

void check_raw(std::string_view bytes, const FrameTags& tags, size_t piece, size_t small_limit) {
  FrontScan whole = scan_front(bytes, tags);
  std::optional<Parsed> parsed = try_parse(bytes, tags);
  FUZZ_CHECK(parsed.has_value() == std::holds_alternative<Parsed>(whole));
  if (parsed) FUZZ_CHECK(*parsed == std::get<Parsed>(whole));
  if (const NeedMore* more = std::get_if<NeedMore>(&whole); more && more->needed) {
    FUZZ_CHECK(*more->needed > bytes.size());
  }

  // What a shorter front was, the whole front still is.
  size_t step = bytes.size() <= 128 ? 1 : bytes.size() / 64;
  for (size_t k = 0; k < bytes.size(); k += step) {
    FrontScan part = scan_front(bytes.substr(0, k), tags);
    if (std::holds_alternative<Malformed>(part)) {
      FUZZ_CHECK(std::holds_alternative<Malformed>(whole));
    } else if (const Parsed* p = std::get_if<Parsed>(&part)) {
      if (!is_error(p->message)) FUZZ_CHECK(part == whole);
    } else if (const NeedMore* more = std::get_if<NeedMore>(&part); more->needed) {
      if (*more->needed <= bytes.size()) {
        const Parsed* w = std::get_if<Parsed>(&whole);
        FUZZ_CHECK(w != nullptr && w->count == *more->needed);
      } else {
        FUZZ_CHECK(whole == part);
      }
    }
  }

  Taken reference = take_all(bytes, tags);
  bool ends_in_error = !reference.messages.empty() && is_error(reference.messages.back());
  const NeedMore* more = std::get_if<NeedMore>(&reference.end);
  bool too_long = more != nullptr && more->needed && *more->needed > MAX_FRAME_BYTES;

  for (size_t size : {size_t{1}, piece, bytes.size()}) {
    if (size == 0) continue;
    Drained got = drain_pieces(cut(bytes, size), tags, MAX_FRAME_BYTES);
    FUZZ_CHECK(agrees(got.messages, reference.messages));
    if (!got.messages.empty() && is_error(got.messages.back())) continue;
    FUZZ_CHECK(got.messages.size() == reference.messages.size() || ends_in_error);
    if (ends_in_error) continue;
    FUZZ_CHECK(got.malformed == (std::holds_alternative<Malformed>(reference.end) || too_long));
    if (!got.malformed) FUZZ_CHECK(got.left == reference.left);
  }

  // A small limit may end the session early, never change a frame.
  Drained limited = drain_pieces(cut(bytes, piece), tags, small_limit);
  FUZZ_CHECK(agrees(limited.messages, reference.messages));
}

std::string digits(FuzzedDataProvider& fdp) {
  std::string id(fdp.ConsumeIntegralInRange<size_t>(0, 3), '0');
  id += std::to_string(fdp.ConsumeIntegral<uint64_t>());
  return id;
}

// Four bytes that no mode reads as a known tag.
std::string unknown_tag(FuzzedDataProvider& fdp) {
  std::string tag = fdp.ConsumeBytesAsString(4);
  tag.resize(4, 'X');
  // A digit would lengthen the id of an open or close frame before it, a
  // dot would be taken as the dot of a PING or PONG.
  if ((tag[0] >= '0' && tag[0] <= '9') || tag[0] == '.') tag[0] = 'X';
  for (std::string_view known : {"PING", "PONG", "MESG", "ERRR", "HTPO", "HTPC", "TCPO", "TCPC"}) {
    if (tag == known) tag[3] = 'X';
  }
  return tag;
}

struct Built {
  std::string stream;
  std::vector<ServerMessage> messages;
};

Built build_stream(FuzzedDataProvider& fdp, const FrameTags& tags) {
  Built built;
  while (fdp.remaining_bytes() > 0 && built.messages.size() < 64) {
    switch (fdp.ConsumeIntegralInRange(0, 6)) {
      case 0: {
        std::string id = digits(fdp);
        std::string payload = fdp.ConsumeRandomLengthString(300);
        built.stream += data_frame(id, payload);
        built.messages.push_back(Data{id, payload});
        break;
      }
      case 1: {
        // Any id without a dot, read as UTF-8 with replacement.
        std::string id = fdp.ConsumeRandomLengthString(12);
        std::erase(id, '.');
        std::string payload = fdp.ConsumeRandomLengthString(40);
        built.stream += data_frame(id, payload);
        built.messages.push_back(Data{utf8_lossy(id), payload});
        break;
      }
      case 2:
        built.stream += fdp.ConsumeBool() ? "PING." : "PING";
        built.messages.push_back(Ping{});
        break;
      case 3:
        built.stream += pong_frame();
        if (fdp.ConsumeBool()) built.stream += ".";
        built.messages.push_back(Pong{});
        break;
      case 4:
      case 5: {
        if (tags.open.empty()) break;
        bool open = fdp.ConsumeBool();
        std::string id = digits(fdp);
        if (!open && tags.close == TCP_TAGS.close) {
          built.stream += tcp_close_frame(id);
        } else {
          // The service's frame: the id ends where the next frame begins.
          built.stream.append(open ? tags.open : tags.close).append(".").append(id);
        }
        if (open) {
          built.messages.push_back(Open{id});
        } else {
          built.messages.push_back(Close{id});
        }
        break;
      }
      case 6:
        built.stream += unknown_tag(fdp) + ".";
        built.messages.push_back(Pong{});
        break;
    }
  }
  // Every frame, an open or close frame too, is followed by a further one.
  built.stream += "PONG.";
  built.messages.push_back(Pong{});
  return built;
}

void check_round_trip(FuzzedDataProvider& fdp) {
  const FrameTags& tags = MODES[fdp.ConsumeIntegralInRange(0, 2)];
  Built built = build_stream(fdp, tags);
  std::string_view stream = built.stream;

  Taken whole = take_all(stream, tags);
  FUZZ_CHECK(whole.messages == built.messages);
  FUZZ_CHECK(whole.left == 0 && std::holds_alternative<NeedMore>(whole.end));

  // Split in two at every byte (at evenly spread bytes for long streams).
  size_t step = stream.size() <= 256 ? 1 : stream.size() / 128;
  for (size_t k = 0; k <= stream.size(); k += step) {
    Drained got = drain_pieces({stream.substr(0, k), stream.substr(k)}, tags, MAX_FRAME_BYTES);
    FUZZ_CHECK(got.messages == built.messages);
    FUZZ_CHECK(!got.malformed && got.left == 0);
  }
  Drained bytewise = drain_pieces(cut(stream, 1), tags, MAX_FRAME_BYTES);
  FUZZ_CHECK(bytewise.messages == built.messages && bytewise.left == 0);

  // An error frame takes the rest of what has arrived, its control
  // characters escaped for the terminal.
  std::string text = fdp.ConsumeRandomLengthString(64);
  Taken ended = take_all(built.stream + "ERRR." + text, tags);
  FUZZ_CHECK(ended.messages.size() == built.messages.size() + 1);
  FUZZ_CHECK(ended.messages.back() == ServerMessage(Error{escape_controls(utf8_lossy(text))}));

  // The client's HTTP close frame carries its id too.
  if (tags.close == HTTP_TAGS.close) {
    std::string id = std::to_string(stream.size());
    std::optional<Parsed> close = try_parse(http_close_frame(id), tags);
    FUZZ_CHECK(close && close->message == ServerMessage(Close{id}));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (size > 0) {
    uint8_t control = data[0];
    check_raw(bytes.substr(1), MODES[control % 3], 1 + control % 61, 1 + control % 29);
  }
  FuzzedDataProvider fdp(data, size);
  check_round_trip(fdp);
  return 0;
}
