#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "support/base64.h"
#include "support/env.h"
#include "support/clock.h"
#include "support/json_text.h"

namespace vostrelin {
namespace {

TEST(JsonText, EscapingAndOrder) {
  Json v = Json::object();
  v["z"] = "q\"b\\s/\x7f\b\t\n\f\r\x01\x1f";
  v["a"] = "Привет";
  v["n"] = nullptr;
  v["arr"] = Json::array({1, -2, true, false});
  EXPECT_EQ(json_text(v),
            "{\"z\":\"q\\\"b\\\\s/\x7f\\b\\t\\n\\f\\r\\u0001\\u001f\",\"a\":\"Привет\",\"n\":null,"
            "\"arr\":[1,-2,true,false]}");
  EXPECT_EQ(json_string("a\xff"), "\"a\xEF\xBF\xBD\"");
}

TEST(JsonText, NumbersExactAndShortest) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"1e2", "100.0"},
      {"0.1", "0.1"},
      {"1e300", "1e+300"},
      {"1.5e-7", "1.5e-07"},
      {"1e15", "1e+15"},
      {"1e14", "100000000000000.0"},
      {"0.0001", "0.0001"},
      {"0.00001", "1e-05"},
      {"-0.0", "-0.0"},
      {"0.0", "0.0"},
      {"-0", "0"},
      {"2461.890376331374", "2461.890376331374"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"123.456e5", "12345600.0"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_text(Json::parse(c.in)), c.out) << c.in;
}

TEST(JsonText, DoublesReadBack) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> dist(-1e6, 1e6);
  for (int i = 0; i < 20000; ++i) {
    double d = dist(rng) * std::pow(10.0, static_cast<int>(rng() % 40) - 20);
    std::string text = json_double(d);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
    EXPECT_LE(text.size(), Json(d).dump().size()) << text;
  }
}

TEST(Base64, StrictDecoding) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("Ma"), "TWE=");
  EXPECT_EQ(base64_encode(std::string("\0\xff", 2)), "AP8=");
  EXPECT_EQ(base64_decode("TWE="), "Ma");
  EXPECT_EQ(base64_decode(""), "");
  for (const char* bad : {"TWF=", "TR==", "TWE", "TQ=", "TQ===", "TQ==TWFu", "====", " TWE=",
                          "TWE=\n", "TW-=", "T\x80WE"}) {
    EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
  }
  std::string bytes;
  for (int n = 0; n < 300; ++n) {
    EXPECT_EQ(base64_decode(base64_encode(bytes)), bytes);
    bytes += static_cast<char>(n * 37);
  }
}

TEST(Clock, Rfc3339LocalWithOffsetAndFewestDigits) {
  struct Case {
    long ns;
    const char* out;
  } cases[] = {{0, "2024-01-02T06:34:05+03:30"},
               {120000000, "2024-01-02T06:34:05.120+03:30"},
               {120500000, "2024-01-02T06:34:05.120500+03:30"},
               {1, "2024-01-02T06:34:05.000000001+03:30"}};
  {
    test::LocalZone zone("<+0330>-3:30");
    for (const Case& c : cases) {
      timespec t{1704164645, c.ns};
      EXPECT_EQ(rfc3339_local(t), c.out);
    }
  }
  test::LocalZone zone("EST5EDT");
  EXPECT_EQ(rfc3339_local(timespec{1704164645, 0}), "2024-01-01T22:04:05-05:00");
  EXPECT_EQ(format_local_time(1704164645, "%Y-%m-%dT%H-%M-%S"), "2024-01-01T22-04-05");
}

}  // namespace
}  // namespace vostrelin
