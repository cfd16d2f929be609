#include "support/clock.h"

#include <cstdio>
#include <cstdlib>

namespace vostrelin {

timespec wall_clock_now() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

uint64_t now_ms() {
  timespec t = wall_clock_now();
  if (t.tv_sec < 0) return 0;
  return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

std::string format_local_time(time_t t, const char* format) {
  tm local{};
  ::localtime_r(&t, &local);
  char buf[128];
  size_t n = ::strftime(buf, sizeof buf, format, &local);
  return std::string(buf, n);
}

std::string rfc3339_local(const timespec& t) {
  tm local{};
  ::localtime_r(&t.tv_sec, &local);
  char buf[64];
  size_t n = ::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
  std::string out(buf, n);

  long ns = t.tv_nsec;
  if (ns != 0) {
    int digits = ns % 1000000 == 0 ? 3 : ns % 1000 == 0 ? 6 : 9;
    long value = digits == 3 ? ns / 1000000 : digits == 6 ? ns / 1000 : ns;
    std::snprintf(buf, sizeof buf, ".%0*ld", digits, value);
    out += buf;
  }

  // Offsets with seconds (historic zones) are cut to whole minutes.
  long offset = local.tm_gmtoff;
  char sign = offset < 0 ? '-' : '+';
  long minutes = std::labs(offset) / 60;
  std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", sign, minutes / 60, minutes % 60);
  out += buf;
  return out;
}

std::string rfc3339_now() { return rfc3339_local(wall_clock_now()); }

}  // namespace vostrelin
