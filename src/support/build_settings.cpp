// Compiled once into each program variant with its own definitions, so the
// library itself holds no address.
#include "support/build_settings.h"

#include <cstdlib>

namespace vostrelin {

#ifdef VOSTRELIN_TEST_HOOKS
namespace {
long test_setting(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  return (end != nullptr && *end == '\0' && n >= 0) ? n : fallback;
}
}  // namespace
#endif

std::string service_host() { return VOSTRELIN_SERVICE_HOST; }

uint16_t service_port() {
#ifdef VOSTRELIN_TEST_HOOKS
  return static_cast<uint16_t>(test_setting("VOSTRELIN_TEST_SERVICE_PORT", VOSTRELIN_SERVICE_PORT));
#else
  return VOSTRELIN_SERVICE_PORT;
#endif
}

namespace {
// A built-in duration, which only the test variant lets its suite shorten.
long setting(const char* test_name, long value) {
#ifdef VOSTRELIN_TEST_HOOKS
  return test_setting(test_name, value);
#else
  (void)test_name;
  return value;
#endif
}
}  // namespace

std::chrono::milliseconds retry_delay_second() {
  return std::chrono::milliseconds(setting("VOSTRELIN_TEST_SECOND_MS", 1000));
}

std::chrono::milliseconds local_stall_limit() {
  return std::chrono::milliseconds(setting("VOSTRELIN_TEST_STALL_MS", 5000));
}

std::chrono::milliseconds udp_sweep_period() {
  return std::chrono::milliseconds(setting("VOSTRELIN_TEST_UDP_SWEEP_MS", 10000));
}

uint64_t udp_idle_limit_ms() { return static_cast<uint64_t>(setting("VOSTRELIN_TEST_UDP_IDLE_MS", 60000)); }

std::optional<std::chrono::milliseconds> inspector_head_timeout() {
#ifdef VOSTRELIN_TEST_HOOKS
  long ms = test_setting("VOSTRELIN_TEST_INSPECTOR_HEAD_MS", -1);
  if (ms >= 0) return std::chrono::milliseconds(ms);
#endif
  return std::nullopt;
}

}  // namespace vostrelin
