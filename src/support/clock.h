// The wall clock and local-time texts: RFC 3339 timestamps in the local time
// zone (numeric offset, never "Z"; 0, 3, 6 or 9 fraction digits, the fewest
// that are exact) and strftime-style formatting.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace vostrelin {

// Milliseconds since the Unix epoch; 0 when the clock reads earlier.
uint64_t now_ms();

timespec wall_clock_now();

std::string rfc3339_local(const timespec& t);
std::string rfc3339_now();

// strftime of t in the local time zone.
std::string format_local_time(time_t t, const char* format);

}  // namespace vostrelin
