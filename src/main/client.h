// The handshake over the control connection to the service: version,
// access token, tunnel options, the rule list and the public address. The
// handshake is a strict exchange of short text messages without framing of
// their own: the client sends one message, reads once, and takes what that
// read returns as the whole reply. Only the rule frames carry a length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "main/connect_proto.h"
#include "rules/rule.h"
#include "support/error.h"
#include "support/runtime.h"

namespace vostrelin {

inline constexpr uint32_t PROTOCOL_VERSION = 1;

// The most the rule frames of one handshake may add up to. A service that
// sends more is refused rather than followed into unbounded memory.
inline constexpr size_t MAX_RULE_LIST_BYTES = size_t{16} << 20;

struct Handshake {
  std::vector<Rule> rules;
  std::string public_address;
};

// Owns the control connection for the handshake; the steps run one after
// another on the session's task, so the socket needs no lock.
class Client {
 public:
  explicit Client(asio::ip::tcp::socket stream);

  // Writes every byte of the message and nothing else.
  awaitable<Result<void>> send_packet(std::string message);

  // One read of at most 1024 bytes, decoded as UTF-8 with replacement and
  // trimmed of white space. End of stream gives the empty text; a reply that
  // begins "ERRR." is an error whose message is the rest of it.
  awaitable<Result<std::string>> receive_packet();

  // Reads the key file, then exchanges the version, token and options
  // messages, reads the rule frames and asks for the public address, which
  // it prints on standard output. The first failure is returned unchanged.
  awaitable<Result<Handshake>> handshake(ConnectProto proto, std::string hostname,
                                         uint16_t external_port);

  // Reads rule frames, 4096 bytes at a time, up to the end frame. Bytes that
  // arrive after the end frame in the same read are discarded.
  awaitable<Result<std::vector<Rule>>> read_rules();

  // After the handshake; the Client is spent.
  asio::ip::tcp::socket take_stream();

 private:
  asio::ip::tcp::socket stream_;
};

// The options message: "OPTS.HTTP" with "." and the host name when there is
// one; "OPTS.TCP" or "OPTS.UDP" with "." and the external port unless it is
// 0.
std::string options_message(ConnectProto proto, std::string_view hostname, uint16_t external_port);

}  // namespace vostrelin
