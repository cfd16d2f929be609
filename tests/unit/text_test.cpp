#include "support/text.h"

#include <gtest/gtest.h>

namespace vostrelin {
namespace {

using namespace std::string_literals;

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

TEST(EscapeControls, OnlyControlCharactersAreMadeVisible) {
  struct Case {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"plain text", "https://a.example/x?y=1", "https://a.example/x?y=1"},
      {"backslash and tab stay", "a\\x1b\tb", "a\\x1b\tb"},
      {"Cyrillic, whose bytes run through 0x80-0x9F", "Сервер: ошибка №5 — ёЁ", "Сервер: ошибка №5 — ёЁ"},
      {"other non-ASCII stays", "\xC2\xA0\xE2\x80\x9B\xF0\x9F\x98\x80", "\xC2\xA0\xE2\x80\x9B\xF0\x9F\x98\x80"},
      {"window title", "\x1b]0;pwned\x07", "\\x1b]0;pwned\\x07"},
      {"clear screen", "x\x1b[2Jy", "x\\x1b[2Jy"},
      {"overwrite the line above", "\x1b[1A\x1b[2K\rDone: all good", "\\x1b[1A\\x1b[2K\\x0dDone: all good"},
      {"line feed, NUL and DEL", "a\nb\0c\x7f"s, "a\\x0ab\\x00c\\x7f"},
      {"C1 control as UTF-8", "a\xC2\x9B" "2Jb\xC2\x80\xC2\x9F\xC2\xA0", "a\\xc2\\x9b2Jb\\xc2\\x80\\xc2\\x9f\xC2\xA0"},
      {"lone C1 byte", "a\x9B" "2J", "a\\x9b2J"},
      {"other invalid bytes stay", "\xFF\xE2\x80", "\xFF\xE2\\x80"},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_controls(c.in), c.out) << c.name;
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
