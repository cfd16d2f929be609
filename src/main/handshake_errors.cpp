#include "main/handshake_errors.h"

#include <string>

#include "main/key_file.h"
#include "support/unicode_case.h"

namespace vostrelin {

bool is_fatal_handshake_error(std::string_view message) {
  // Tested in this order; the first two can only come from the service.
  static constexpr std::string_view FATAL_TEXTS[] = {
      "токен не валиден", "истекло время жизни", "несовместимые версии", KEY_FILE_NAME,
      "ошибка авторизации"};
  std::string lower = to_lower_full(message);
  for (std::string_view text : FATAL_TEXTS) {
    if (lower.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace vostrelin
