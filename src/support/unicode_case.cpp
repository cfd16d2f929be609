// Lower-casing by ICU's full case mapping in the root locale, so that the
// result does not depend on the user's locale settings (a Turkish locale
// would map I to a dotless i). ICU copies ill-formed UTF-8 through as it
// stands, and a final sigma needs no help: the library looks at the
// characters around it.
#include "support/unicode_case.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>

namespace vostrelin {

std::string to_lower_full(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())), sink,
                            nullptr, status);
  // Fails only when memory runs out; the text then stays as it is.
  if (U_FAILURE(status)) return std::string(utf8);
  return out;
}

}  // namespace vostrelin
