#include "support/base64.h"

#include <openssl/evp.h>

namespace vostrelin {

std::string base64_encode(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.empty()) return std::string();
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  if (static_cast<size_t>(n) < padding) return std::nullopt;
  out.resize(static_cast<size_t>(n) - padding);
  // The decoder is lenient (white space, padding in the middle, stray bits);
  // only a text that encoding gives back unchanged is canonical.
  if (base64_encode(out) != text) return std::nullopt;
  return out;
}

}  // namespace vostrelin
