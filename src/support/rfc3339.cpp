#include "support/rfc3339.h"

#include <chrono>

namespace vostrelin {
namespace {

class Digits {
 public:
  explicit Digits(std::string_view s) : s_(s) {}

  // Exactly n digits as a number.
  std::optional<int> number(size_t n) {
    if (pos_ + n > s_.size()) return std::nullopt;
    int v = 0;
    for (size_t i = 0; i < n; ++i) {
      char c = s_[pos_ + i];
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + (c - '0');
    }
    pos_ += n;
    return v;
  }

  bool take(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  std::optional<char> next() {
    if (pos_ >= s_.size()) return std::nullopt;
    return s_[pos_++];
  }

  bool peek_digit() const { return pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9'; }
  bool at_end() const { return pos_ == s_.size(); }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<Instant> parse_rfc3339(std::string_view text) {
  Digits p(text);
  std::optional<int> year = p.number(4);
  if (!year || !p.take('-')) return std::nullopt;
  std::optional<int> month = p.number(2);
  if (!month || *month < 1 || *month > 12 || !p.take('-')) return std::nullopt;
  std::optional<int> day = p.number(2);
  if (!day) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                                         std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;
  if (!p.take('T') && !p.take('t') && !p.take(' ')) return std::nullopt;
  std::optional<int> hour = p.number(2);
  if (!hour || *hour > 23 || !p.take(':')) return std::nullopt;
  std::optional<int> minute = p.number(2);
  if (!minute || *minute > 59 || !p.take(':')) return std::nullopt;
  std::optional<int> second = p.number(2);
  if (!second || *second > 60) return std::nullopt;

  uint32_t nanos = 0;
  if (p.take('.')) {
    if (!p.peek_digit()) return std::nullopt;
    uint32_t scale = 100000000;
    while (p.peek_digit()) {
      int digit = *p.number(1);
      nanos += static_cast<uint32_t>(digit) * scale;
      scale /= 10;
    }
  }

  int64_t offset_seconds = 0;
  std::optional<char> zone = p.next();
  if (!zone) return std::nullopt;
  if (*zone == '+' || *zone == '-') {
    std::optional<int> oh = p.number(2);
    if (!oh || *oh > 23 || !p.take(':')) return std::nullopt;
    std::optional<int> om = p.number(2);
    if (!om || *om > 59) return std::nullopt;
    offset_seconds = (*oh * 3600 + *om * 60) * (*zone == '-' ? -1 : 1);
  } else if (*zone != 'Z' && *zone != 'z') {
    return std::nullopt;
  }
  if (!p.at_end()) return std::nullopt;

  // Days since 1970-01-01 in the proleptic Gregorian calendar.
  const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  int64_t seconds = days * 86400 + *hour * 3600 + *minute * 60 + *second;
  return Instant{seconds - offset_seconds, nanos};
}

int64_t difference_ms(const Instant& earlier, const Instant& later) {
  // Seconds between years 0 and 9999 times 10^9 overflow 64 bits.
  __int128 ns = static_cast<__int128>(later.seconds - earlier.seconds) * 1000000000 +
                (static_cast<int64_t>(later.nanos) - static_cast<int64_t>(earlier.nanos));
  return static_cast<int64_t>(ns / 1000000);
}

}  // namespace vostrelin
