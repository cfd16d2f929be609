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

// How long the inspector waits for a connection's request head, when this
// variant of the program sets it; otherwise the inspector's own time-out.
std::optional<std::chrono::milliseconds> inspector_head_timeout();

}  // namespace vostrelin
