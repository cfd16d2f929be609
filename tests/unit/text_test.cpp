#include "support/text.h"

#include <gtest/gtest.h>

namespace vostrelin {
namespace {

TEST(Utf8, ValidityAndLossyDecoding) {
  struct Case {
    std::string in;
    bool valid;
    std::string lossy;
  } cases[] = {
      {"", true, ""},
      {"plain", true, "plain"},
      {"Привет", true, "Привет"},
      {"\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"},
      {"a\xFF" "b", false, "a\xEF\xBF\xBD" "b"},
      // A truncated three-byte sequence is one replacement, not two.
      {"\xE2\x82" "x", false, "\xEF\xBF\xBD" "x"},
      // Overlong and surrogate encodings are invalid byte by byte.
      {"\xC0\xAF", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF4\x90\x80\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF0\x9F\x98", false, "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.in), c.valid) << c.in;
    EXPECT_EQ(utf8_lossy(c.in), c.lossy) << c.in;
  }
}

TEST(Trim, UnicodeWhiteSpaceOnly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {" \t\r\nEHLO.1\r\n", "EHLO.1"},
      {"\xC2\xA0token\xE3\x80\x80", "token"},      // U+00A0, U+3000
      {"\xE2\x80\x8Btoken", "\xE2\x80\x8Btoken"},  // U+200B is not white space
      {"a b", "a b"},
      {"   ", ""},
      {"\xFF x \xFF ", "\xFF x \xFF"},
      {"\xC2\x85x\xE2\x80\xA9", "x"},  // U+0085, U+2029
  };
  for (const Case& c : cases) EXPECT_EQ(trim_unicode_whitespace(c.in), c.out) << c.in;
}

TEST(ParseUnsigned, NeverOverflows) {
  EXPECT_EQ(parse_unsigned("4294967295", 4294967295u), 4294967295u);
  EXPECT_EQ(parse_unsigned("4294967296", 4294967295u), std::nullopt);
  EXPECT_EQ(parse_unsigned("18446744073709551615", UINT64_MAX), UINT64_MAX);
  EXPECT_EQ(parse_unsigned("18446744073709551616", UINT64_MAX), std::nullopt);
  EXPECT_EQ(parse_unsigned("+0001", 9), 1u);
  EXPECT_EQ(parse_unsigned("10", 9), std::nullopt);
}

}  // namespace
}  // namespace vostrelin
