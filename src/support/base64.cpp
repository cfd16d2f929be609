#include "support/base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace vostrelin {

namespace {

// The encoder takes an int length; longer input goes through in pieces of
// whole 3-byte groups, so the pieces join without padding in between.
constexpr size_t ENCODE_PIECE = 3 * (size_t{1} << 20);

}  // namespace

void append_base64(std::string& out, std::string_view bytes) {
  if (bytes.empty()) return;
  size_t start = out.size();
  out.resize(start + 4 * ((bytes.size() + 2) / 3) + 1);
  unsigned char* dst = reinterpret_cast<unsigned char*>(out.data()) + start;
  while (!bytes.empty()) {
    size_t piece = std::min(bytes.size(), ENCODE_PIECE);
    int n = EVP_EncodeBlock(dst, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(piece));
    dst += n;
    bytes.remove_prefix(piece);
  }
  out.resize(static_cast<size_t>(dst - reinterpret_cast<unsigned char*>(out.data())));
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  append_base64(out, bytes);
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
