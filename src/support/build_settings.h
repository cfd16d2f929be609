// Values fixed when the program is built. The service address has no
// runtime override in the shipped program; the test variant of the program
// lets its test suite point it at a fake service and shorten its waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vostrelin {

inline constexpr std::string_view SIGNUP_URL = "https://vostrelin.example/signup";
inline constexpr std::string_view WEBSITE_URL = "https://vostrelin.example";

std::string service_host();
uint16_t service_port();

// How long one second of the retry delay lasts.
std::chrono::milliseconds retry_delay_second();

// How long the tunnel waits for a local connection that has more than its
// bound of bytes waiting to take some, before that connection is closed.
std::chrono::milliseconds local_stall_limit();

// The UDP idle sweep: how often it looks, and how long an id may stay
// without a datagram in either direction (milliseconds).
std::chrono::milliseconds udp_sweep_period();
uint64_t udp_idle_limit_ms();

// How long the inspector waits for a connection's request head, when this
// variant of the program sets it; otherwise the inspector's own time-out.
std::optional<std::chrono::milliseconds> inspector_head_timeout();

}  // namespace vostrelin
