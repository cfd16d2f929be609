// Fuzz target for the RFC 3339 reader and the duration shown on the
// inspector's pages.
//
// Raw bytes: whatever reads has its nanoseconds below a second, reads the
// same with the other spellings of "T" and "Z", and gives durations that are
// exact opposites when the two ends swap. A recipe builds a timestamp from
// fields (any of them out of range at times), and the reader must accept it
// exactly when a separate check of the calendar does, giving the instant
// timegm gives. The client's own writer, in a few time zones, reads back to
// the instant it wrote.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "check.h"
#include "inspector/pages.h"
#include "support/clock.h"
#include "support/rfc3339.h"

namespace {

using namespace vostrelin;

// POSIX zone strings: no zone files needed.
const char* const ZONES[] = {"UTC0", "<+0530>-5:30", "EST5EDT,M3.2.0,M11.1.0", "<-0330>3:30", "<+1345>-13:45"};

void check_raw(std::string_view text) {
  std::optional<Instant> t = parse_rfc3339(text);
  if (!t) return;
  FUZZ_CHECK(t->nanos < 1000000000u);
  FUZZ_CHECK(difference_ms(*t, *t) == 0);
  std::string other(text);
  if (other.size() > 10) other[10] = other[10] == 'T' ? ' ' : 'T';
  if (other.back() == 'Z' || other.back() == 'z') other.back() = other.back() == 'Z' ? 'z' : 'Z';
  FUZZ_CHECK(parse_rfc3339(other) == t);
  std::optional<Instant> epoch = parse_rfc3339("1970-01-01T00:00:00Z");
  FUZZ_CHECK(difference_ms(*epoch, *t) == -difference_ms(*t, *epoch));
  inspector::format_duration(text, "2025-03-14T09:26:53.5+03:00");
  inspector::format_duration("0001-01-01T00:00:00Z", text);
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

void check_fields(FuzzedDataProvider& fdp) {
  int year = fdp.ConsumeIntegralInRange(0, 9999);
  int month = fdp.ConsumeIntegralInRange(0, 13);
  int day = fdp.ConsumeIntegralInRange(0, 32);
  int hour = fdp.ConsumeIntegralInRange(0, 24);
  int minute = fdp.ConsumeIntegralInRange(0, 60);
  int second = fdp.ConsumeIntegralInRange(0, 61);
  int oh = fdp.ConsumeIntegralInRange(0, 24);
  int om = fdp.ConsumeIntegralInRange(0, 60);
  bool zulu = fdp.ConsumeBool();
  bool west = fdp.ConsumeBool();
  size_t fraction_digits = fdp.ConsumeIntegralInRange<size_t>(0, 14);
  std::string fraction;
  for (size_t i = 0; i < fraction_digits; ++i) fraction += static_cast<char>('0' + fdp.ConsumeIntegralInRange(0, 9));

  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, hour, minute, second);
  std::string text = buf;
  if (fraction_digits > 0) text += "." + fraction;
  if (zulu) {
    text += "Z";
  } else {
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", west ? '-' : '+', oh, om);
    text += buf;
  }

  static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool valid = month >= 1 && month <= 12 && day >= 1 &&
               day <= (month == 2 && leap(year) ? 29 : DAYS[(month - 1 + 12) % 12]) && hour <= 23 &&
               minute <= 59 && second <= 60 && (zulu || (oh <= 23 && om <= 59));
  std::optional<Instant> got = parse_rfc3339(text);
  FUZZ_CHECK(got.has_value() == valid);
  if (!valid) return;

  tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;  // 60 runs into the next minute
  int64_t offset = zulu ? 0 : (oh * 3600 + om * 60) * (west ? -1 : 1);
  uint32_t nanos = 0;
  for (size_t i = 0; i < 9; ++i) nanos = nanos * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
  FUZZ_CHECK(got->seconds == static_cast<int64_t>(timegm(&fields)) - offset);
  FUZZ_CHECK(got->nanos == nanos);
}

void check_writer(FuzzedDataProvider& fdp) {
  const char* zone = ZONES[fdp.ConsumeIntegralInRange<size_t>(0, std::size(ZONES) - 1)];
  if (const char* now = std::getenv("TZ"); now == nullptr || std::string_view(now) != zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  timespec t{};
  // Years 1000 to 9999 in every zone above: strftime writes years with
  // fewer digits unpadded, and the writer is only ever given the present.
  t.tv_sec = fdp.ConsumeIntegralInRange<int64_t>(-30610137600, 253402300799 - 86400);
  static constexpr long STEPS[] = {1, 1000, 1000000};
  t.tv_nsec = fdp.ConsumeIntegralInRange<long>(0, 999999999) / STEPS[fdp.ConsumeIntegralInRange(0, 2)] *
              STEPS[fdp.ConsumeIntegralInRange(0, 2)] % 1000000000;
  std::string written = rfc3339_local(t);
  std::optional<Instant> read = parse_rfc3339(written);
  FUZZ_CHECK(read.has_value());
  FUZZ_CHECK(read->seconds == t.tv_sec && read->nanos == static_cast<uint32_t>(t.tv_nsec));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_raw(std::string_view(reinterpret_cast<const char*>(data), size));
  FuzzedDataProvider fdp(data, size);
  check_fields(fdp);
  check_writer(fdp);
  return 0;
}
