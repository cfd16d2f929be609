// Reading RFC 3339 timestamps ("2025-03-14T09:26:53.5+03:00") into instants,
// whatever their offset, so that timestamps written in different zones can
// be compared and shown in the local zone.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vostrelin {

// A point in time: seconds since the Unix epoch (floor) and the nanoseconds
// after them (0 to 999999999).
struct Instant {
  int64_t seconds = 0;
  uint32_t nanos = 0;

  bool operator==(const Instant&) const = default;
};

// date-time of RFC 3339: "YYYY-MM-DD", "T" (also "t" or a space), "hh:mm:ss",
// an optional "." with one or more digits (those after the ninth are
// dropped), and "Z", "z" or a numeric offset "+hh:mm" / "-hh:mm". Fields are
// range-checked (days against the month, leap years included); a second of
// 60 is a leap second and reads as the first second of the next minute.
std::optional<Instant> parse_rfc3339(std::string_view text);

// later - earlier in whole milliseconds, truncated toward zero.
int64_t difference_ms(const Instant& earlier, const Instant& later);

}  // namespace vostrelin
