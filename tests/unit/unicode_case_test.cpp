#include "support/unicode_case.h"

#include <gtest/gtest.h>

namespace vostrelin {
namespace {

TEST(ToLowerFull, FullMappings) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"Vostrelin.KEY", "vostrelin.key"},
      {"ОШИБКА АВТОРИЗАЦИИ", "ошибка авторизации"},
      {"Токен Не Валиден", "токен не валиден"},
      {"ЁЖИК ЇІЄҐ", "ёжик їієґ"},
      // KELVIN SIGN becomes an ASCII k, the Angstrom sign an a with a ring.
      {"\u212A\u212B", "k\u00E5"},
      // U+0130 becomes two characters: i and a combining dot above.
      {"\u0130STANBUL", "i\u0307stanbul"},
      {"ǅ ǈ", "ǆ ǉ"},  // title-case digraphs
      {"ⅫⒶ", "ⅻⓐ"},
      {"𐐀𞤀", "𐐨𞤢"},  // outside the Basic Multilingual Plane
      {"ß ﬃ ŉ", "ß ﬃ ŉ"},  // no lower-case mapping of their own
  };
  for (const Case& c : cases) EXPECT_EQ(to_lower_full(c.in), c.out) << c.in;
}

// Capital sigma is a final sigma only after a cased letter (case-ignorable
// characters between them do not count) and when no cased letter follows.
TEST(ToLowerFull, FinalSigma) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"Σ", "σ"},
      {"ΟΔΟΣ", "οδος"},
      {"ΟΔΟΣ ΟΔΟΣ", "οδος οδος"},
      {"ΣΑ", "σα"},
      {"ΑΣΑ", "ασα"},
      {"Α'Σ", "α'ς"},          // an apostrophe is case-ignorable
      {"ΑΣ'Α", "ασ'α"},
      {"Α\u0301Σ.", "α\u0301ς."},  // a combining accent too
      {"1Σ", "1σ"},
      {"ΑΣΣ", "ασς"},
  };
  for (const Case& c : cases) EXPECT_EQ(to_lower_full(c.in), c.out) << c.in;
}

TEST(ToLowerFull, InvalidBytesPassThrough) {
  EXPECT_EQ(to_lower_full("A\xFF" "B\xD0"), "a\xFF" "b\xD0");
  EXPECT_EQ(to_lower_full("\xED\xA0\x80Я"), "\xED\xA0\x80я");
}

}  // namespace
}  // namespace vostrelin
