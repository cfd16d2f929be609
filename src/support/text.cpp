#include "support/text.h"

namespace vostrelin {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes
// there do not start one. *invalid_len receives how many bytes belong to the
// maximal invalid subsequence (at least 1) when 0 is returned.
size_t utf8_sequence(std::string_view s, size_t i, size_t* invalid_len) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  *invalid_len = 1;
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    unsigned char cc = b(i + k);
    if (cc < lo || cc > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
    *invalid_len = k + 1;
  }
  return need + 1;
}

bool is_white_space(uint32_t cp) {
  switch (cp) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

uint32_t decode_at(std::string_view s, size_t i, size_t len) {
  const auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[k])); };
  switch (len) {
    case 1: return b(i);
    case 2: return ((b(i) & 0x1F) << 6) | (b(i + 1) & 0x3F);
    case 3: return ((b(i) & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    default:
      return ((b(i) & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
             (b(i + 3) & 0x3F);
  }
}

}  // namespace

std::string ascii_lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  size_t invalid;
  for (size_t i = 0; i < bytes.size();) {
    size_t n = utf8_sequence(bytes, i, &invalid);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t invalid;
  for (size_t i = 0; i < bytes.size();) {
    size_t n = utf8_sequence(bytes, i, &invalid);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += invalid;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

void append_hex_escape(std::string& out, unsigned char byte) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += "\\x";
  out += HEX[byte >> 4];
  out += HEX[byte & 0xF];
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t invalid;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t') || c == 0x7F) {
        append_hex_escape(out, c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    size_t n = utf8_sequence(text, i, &invalid);
    if (n == 0) {
      // One byte at a time: what follows may start a valid sequence.
      if (c <= 0x9F) {
        append_hex_escape(out, c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // U+0080 to U+009F are encoded as C2 80 to C2 9F.
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      append_hex_escape(out, c);
      append_hex_escape(out, static_cast<unsigned char>(text[i + 1]));
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  size_t invalid;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t n = utf8_sequence(text, begin, &invalid);
    if (n == 0 || !is_white_space(decode_at(text, begin, n))) break;
    begin += n;
  }
  // Walk forward to find where the trailing white space starts.
  size_t end = begin, i = begin;
  while (i < text.size()) {
    size_t n = utf8_sequence(text, i, &invalid);
    if (n == 0) {
      i += invalid;
      end = i;
    } else {
      i += n;
      if (!is_white_space(decode_at(text, i - n, n))) end = i;
    }
  }
  return text.substr(begin, end - begin);
}

std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (digit > max || value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::string unsigned_number_fault(std::string_view text, uint64_t max) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::string quoted = "\"";
  quoted += utf8_lossy(text);
  quoted += '"';
  if (digits.empty()) return "no digits in " + quoted;
  for (char c : digits) {
    if (c < '0' || c > '9') return "not a decimal digit in " + quoted;
  }
  quoted += " is above ";
  quoted += std::to_string(max);
  return quoted;
}

}  // namespace vostrelin
