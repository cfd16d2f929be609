// The tunnel kind chosen on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vostrelin {

class ConnectProto {
 public:
  enum Value : uint8_t { Tcp, Http, Udp };

  constexpr ConnectProto(Value v) : v_(v) {}
  constexpr operator Value() const { return v_; }

  // "TCP", "HTTP" or "UDP" in any letter case; anything else is nothing.
  static std::optional<ConnectProto> parse(std::string text);

  // The upper-case name, as used in the options message and session files.
  std::string_view name() const;

 private:
  Value v_;
};

}  // namespace vostrelin
