// Compiled once into each program variant with its own definitions, so the
// library itself holds no address.
#include "main/build_settings.h"

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

std::chrono::milliseconds retry_delay_second() {
#ifdef VOSTRELIN_TEST_HOOKS
  return std::chrono::milliseconds(test_setting("VOSTRELIN_TEST_SECOND_MS", 1000));
#else
  return std::chrono::milliseconds(1000);
#endif
}

std::optional<std::chrono::milliseconds> inspector_head_timeout() {
#ifdef VOSTRELIN_TEST_HOOKS
  long ms = test_setting("VOSTRELIN_TEST_INSPECTOR_HEAD_MS", -1);
  if (ms >= 0) return std::chrono::milliseconds(ms);
#endif
  return std::nullopt;
}

}  // namespace vostrelin
