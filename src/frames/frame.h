// The forwarding frames carried on the control connection once the
// handshake is done: the parsed form of a frame from the service
// (`ServerMessage`), the parser that takes one frame from the front of the
// received bytes, and the builders of the client's own frames.
//
// Frames have no length prefix and no terminator; a frame's end is known
// only from its own fields, and the open and close frames end where the next
// frame begins. The three modes share one grammar and differ only in the open
// and close tags they recognise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vostrelin::frames {

struct Open {
  std::string id;  // ASCII digits, leading zeros kept
  bool operator==(const Open&) const = default;
};
struct Close {
  std::string id;
  bool operator==(const Close&) const = default;
};
struct Data {
  std::string id;       // decoded as UTF-8 with U+FFFD replacement
  std::string payload;  // the bytes as received
  bool operator==(const Data&) const = default;
};
struct Ping {
  bool operator==(const Ping&) const = default;
};
struct Pong {  // also every four bytes and "." that the mode does not know
  bool operator==(const Pong&) const = default;
};
struct Error {
  // Decoded as UTF-8 with U+FFFD replacement, with its control characters
  // escaped (escape_controls): the service's text, ready for the terminal.
  std::string text;
  bool operator==(const Error&) const = default;
};

// UDP mode never yields Open or Close.
using ServerMessage = std::variant<Open, Close, Data, Ping, Pong, Error>;

// The open and close tags a mode recognises; empty when it has none.
struct FrameTags {
  std::string_view open;
  std::string_view close;
};
inline constexpr FrameTags HTTP_TAGS{"HTPO", "HTPC"};
inline constexpr FrameTags TCP_TAGS{"TCPO", "TCPC"};
inline constexpr FrameTags UDP_TAGS{};

struct Parsed {
  ServerMessage message;
  size_t count;  // bytes the frame takes at the front: at least 4
  bool operator==(const Parsed&) const = default;
};

// No frame can be taken yet. `needed` is the total length the front must
// reach before it can become a frame, when the front already tells it (a
// "MESG." frame once its length has arrived; saturates at SIZE_MAX).
struct NeedMore {
  std::optional<uint64_t> needed;
  bool operator==(const NeedMore&) const = default;
};

// The front can never become a frame, whatever bytes follow.
struct Malformed {
  std::string reason;  // what is wrong, for the user
  bool operator==(const Malformed&) const = default;
};

using FrontScan = std::variant<Parsed, NeedMore, Malformed>;

// How far the scans of one front have got. A front that grows by a byte at
// a time would otherwise be looked at from its first byte after every read:
// a "MESG." frame whose length field never ends, or an open id of endless
// digits, would cost time in the square of its length. A fresh value stands
// at the front's first byte.
struct ScanState {
  size_t next = 0;        // first byte of the front not yet looked at
  size_t id_end = 0;      // "MESG.": where the "." after the id is; 0 until found
  size_t length_end = 0;  // "MESG.": where the "." after the length is; 0 until found
  uint64_t length = 0;    // "MESG.": the length field's value so far
  bool length_digit = false;     // a digit of the length field has come
  bool length_too_large = false;  // its digits have gone beyond 2^64-1
  // Bytes looked at over all scans of this front, for the bound above: at
  // most about the front's length.
  size_t examined = 0;
};

// Looks at the front of `bytes` (the whole of what has been received and not
// yet taken) and tells whether a frame can be taken from it. Pure: keeps no
// state and changes nothing.
FrontScan scan_front(std::string_view bytes, const FrameTags& tags);

// The same, going on from where the last scan of this front stopped. bytes
// must be that front with more bytes after it (and tags the same). Once a
// frame is taken, or the front is found malformed, the state is fresh
// again: for the next front, or for the same front looked at anew.
FrontScan scan_front(std::string_view bytes, const FrameTags& tags, ScanState& state);

// The frame at the front, or nothing: nothing both while more bytes are
// needed and when the front can never become a frame.
std::optional<Parsed> try_parse(std::string_view bytes, const FrameTags& tags);

// The client's frames, each built whole.
std::string pong_frame();                                                // "PONG"
std::string data_frame(std::string_view id, std::string_view payload);   // "MESG.<id>.<n>.<bytes>"
// The same frame appended to `out`, after the frames already there.
void append_data_frame(std::string& out, std::string_view id, std::string_view payload);
std::string http_close_frame(std::string_view id);                      // "HTPC.<id>."
std::string tcp_close_frame(std::string_view id);                       // "TCPC.<id>"

// Up to `limit` bytes of a front as printable text: printable ASCII stays,
// a backslash and every other byte are written as escapes ("\\", "\x1b"), so
// that nothing the service sends can drive the terminal. The byte escapes
// are those of escape_controls, which service texts go through.
std::string quote_front(std::string_view bytes, size_t limit = 16);

}  // namespace vostrelin::frames
