// The tables come from tools/gen_unicode_case.py; this file only walks the
// text and looks characters up in them.
#include "support/unicode_case.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "support/text.h"

namespace vostrelin {
namespace {

struct SingleLower {
  char32_t from, to;
};
struct MultiLower {
  char32_t from;
  const char* to;
};
struct CodeRange {
  char32_t first, last;
};

#include "support/unicode_case_tables.inc"

constexpr char32_t CAPITAL_SIGMA = 0x03A3;
constexpr char32_t SMALL_SIGMA = 0x03C3;
constexpr char32_t SMALL_FINAL_SIGMA = 0x03C2;
// Marks a byte that starts no valid UTF-8 sequence.
constexpr char32_t NOT_A_CHARACTER = 0xFFFFFFFF;

template <size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t c) {
  const CodeRange* it = std::upper_bound(std::begin(table), std::end(table), c,
                                         [](char32_t v, const CodeRange& r) { return v < r.first; });
  return it != std::begin(table) && c <= std::prev(it)->last;
}

bool is_case_ignorable(char32_t c) { return c != NOT_A_CHARACTER && in_ranges(CASE_IGNORABLE, c); }
bool is_cased(char32_t c) { return c != NOT_A_CHARACTER && in_ranges(CASED, c); }

// Decodes the character at s[i]; *len receives its length in bytes (1 for a
// byte that starts no valid sequence, which decodes as NOT_A_CHARACTER).
char32_t decode(std::string_view s, size_t i, size_t* len) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  *len = 1;
  if (c < 0x80) return c;
  size_t need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return NOT_A_CHARACTER;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return NOT_A_CHARACTER;
    unsigned char cc = b(i + k);
    if (cc < lo || cc > hi) return NOT_A_CHARACTER;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (cc & 0x3F);
  }
  *len = need + 1;
  return cp;
}

// Whether the sigma ending at byte `after` is followed, past any
// case-ignorable characters, by a cased one.
bool cased_follows(std::string_view s, size_t after) {
  size_t len;
  for (size_t i = after; i < s.size(); i += len) {
    char32_t c = decode(s, i, &len);
    if (!is_case_ignorable(c)) return is_cased(c);
  }
  return false;
}

}  // namespace

std::string to_lower_full(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  // Whether the last character before the current one that is not
  // case-ignorable exists and is cased: the first half of the final-sigma
  // test.
  bool after_cased = false;
  size_t len;
  for (size_t i = 0; i < utf8.size(); i += len) {
    char32_t c = decode(utf8, i, &len);
    if (c == NOT_A_CHARACTER) {
      out += utf8[i];
    } else if (c < 0x80) {
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    } else if (c == CAPITAL_SIGMA) {
      bool final = after_cased && !cased_follows(utf8, i + len);
      append_utf8(out, final ? SMALL_FINAL_SIGMA : SMALL_SIGMA);
    } else {
      const SingleLower* single = std::lower_bound(
          std::begin(SINGLE_LOWER), std::end(SINGLE_LOWER), c,
          [](const SingleLower& e, char32_t v) { return e.from < v; });
      if (single != std::end(SINGLE_LOWER) && single->from == c) {
        append_utf8(out, single->to);
      } else {
        const MultiLower* multi = std::find_if(std::begin(MULTI_LOWER), std::end(MULTI_LOWER),
                                               [c](const MultiLower& e) { return e.from == c; });
        if (multi != std::end(MULTI_LOWER)) {
          out += multi->to;
        } else {
          out.append(utf8.substr(i, len));
        }
      }
    }
    if (!is_case_ignorable(c)) after_cased = is_cased(c);
  }
  return out;
}

}  // namespace vostrelin
