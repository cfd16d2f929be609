#include "main/connect_proto.h"

namespace vostrelin {

std::optional<ConnectProto> ConnectProto::parse(std::string text) {
  // Full Unicode upper-casing can only turn ASCII letters into the letters of
  // these three names (no other character upper-cases to T, C, P, H, U or D
  // alone), so ASCII upper-casing gives the same verdict for every input.
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (text == "TCP") return ConnectProto(Tcp);
  if (text == "HTTP") return ConnectProto(Http);
  if (text == "UDP") return ConnectProto(Udp);
  return std::nullopt;
}

std::string_view ConnectProto::name() const {
  switch (v_) {
    case Tcp: return "TCP";
    case Http: return "HTTP";
    case Udp: return "UDP";
  }
  return "";
}

}  // namespace vostrelin
