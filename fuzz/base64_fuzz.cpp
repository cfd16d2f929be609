// Fuzz target for strict Base64: every byte string encodes and decodes back
// to itself, appending gives the same text as encoding, and a text that
// decodes is exactly the encoding of what it decodes to (so no other
// spelling of the same bytes is accepted).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "support/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vostrelin;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::string encoded = base64_encode(bytes);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
  std::optional<std::string> decoded = base64_decode(encoded);
  FUZZ_CHECK(decoded && *decoded == bytes);
  std::string appended = "x";
  append_base64(appended, bytes);
  FUZZ_CHECK(appended == "x" + encoded);

  if (std::optional<std::string> text = base64_decode(bytes)) FUZZ_CHECK(base64_encode(*text) == bytes);
  return 0;
}
