#include "main/command_line.h"

#include <gtest/gtest.h>

namespace vostrelin {
namespace {

const char* const MODE_ERROR = "Поддерживаемые протоколы: HTTP, TCP и UDP\n";
const char* const LOCAL_ERROR = "Укажите <локальный порт> в диапазоне 1..=65535\n";
const char* const EXTERNAL_ERROR = "Укажите <внешний порт> в диапазоне 1..=65535\n";

TEST(PortRule, AcceptsAndRejects) {
  struct Case {
    const char* text;
    std::optional<uint16_t> port;
  } cases[] = {
      {"80", 80},      {"+80", 80},       {"080", 80},           {"00080", 80},
      {"1", 1},        {"65535", 65535},  {"000000000000065535", 65535},
      {"0", {}},       {"+0", {}},        {"000", {}},           {"-1", {}},
      {"65536", {}},   {" 80", {}},       {"80 ", {}},           {"8O", {}},
      {"", {}},        {"+", {}},         {"-", {}},             {"++80", {}},
      {"99999999999999999999999999", {}}, {"8\t0", {}},          {"٨٠", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_port(c.text), c.port) << "'" << c.text << "'";
}

TEST(ConnectProto, ParsesAnyCaseOnly) {
  EXPECT_EQ(ConnectProto::parse("HTTP"), ConnectProto(ConnectProto::Http));
  EXPECT_EQ(ConnectProto::parse("Http"), ConnectProto(ConnectProto::Http));
  EXPECT_EQ(ConnectProto::parse("tcp"), ConnectProto(ConnectProto::Tcp));
  EXPECT_EQ(ConnectProto::parse("uDp"), ConnectProto(ConnectProto::Udp));
  for (const char* bad : {" HTTP", "HTTPS", "", "FTP", "HTTP\n", "ＨＴＴＰ"}) {
    EXPECT_FALSE(ConnectProto::parse(bad)) << bad;
  }
}

std::variant<CommandLine, CommandLineError> parse(std::vector<std::string> user_args) {
  user_args.insert(user_args.begin(), "vostrelin");
  return parse_command_line(user_args);
}

TEST(CommandLine, ReadsEachMode) {
  struct Case {
    std::vector<std::string> args;
    ConnectProto proto;
    uint16_t local, external;
    std::string host;
  } cases[] = {
      {{"HTTP", "8080"}, ConnectProto::Http, 8080, 0, ""},
      {{"http", "8080", ""}, ConnectProto::Http, 8080, 0, ""},
      {{"HTTP", "80", "a", "b", "c"}, ConnectProto::Http, 80, 0, "a"},
      {{"HTTP", "80", " my host "}, ConnectProto::Http, 80, 0, " my host "},
      {{"TCP", "22"}, ConnectProto::Tcp, 22, 0, ""},
      {{"TCP", "22", "5000"}, ConnectProto::Tcp, 22, 5000, ""},
      {{"TCP", "22", "5000", "x"}, ConnectProto::Tcp, 22, 0, ""},
      {{"TCP", "22", "abc", "x"}, ConnectProto::Tcp, 22, 0, ""},
      {{"udp", "53", "+0053"}, ConnectProto::Udp, 53, 53, ""},
  };
  for (const Case& c : cases) {
    auto r = parse(c.args);
    ASSERT_TRUE(std::holds_alternative<CommandLine>(r)) << c.args[0] << " " << c.args[1];
    const CommandLine& line = std::get<CommandLine>(r);
    EXPECT_EQ(line.proto, c.proto);
    EXPECT_EQ(line.local_port, c.local);
    EXPECT_EQ(line.external_port, c.external);
    EXPECT_EQ(line.hostname, c.host);
  }
}

TEST(CommandLine, ReportsTheFirstFault) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"FTP", "0"}, MODE_ERROR},
      {{"HTTPS", "80"}, MODE_ERROR},
      {{"", "80"}, MODE_ERROR},
      {{"HTTP", "0"}, LOCAL_ERROR},
      {{"TCP", "-1"}, LOCAL_ERROR},
      {{"UDP", ""}, LOCAL_ERROR},
      {{"TCP", "22", "abc"}, EXTERNAL_ERROR},
      {{"UDP", "22", "0"}, EXTERNAL_ERROR},
      {{"TCP", "0", "abc"}, LOCAL_ERROR},
  };
  for (const Case& c : cases) {
    auto r = parse(c.args);
    ASSERT_TRUE(std::holds_alternative<CommandLineError>(r)) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(std::get<CommandLineError>(r).messages, std::vector<std::string>{c.message});
  }
}

TEST(CommandLine, UsageForTooFewOrUndecodableArguments) {
  const std::vector<std::string> usage = usage_lines("vostrelin");
  ASSERT_EQ(usage.size(), 10u);
  for (const std::string& line : usage) EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(usage[0], "Использование:\n");
  EXPECT_EQ(usage[1], "vostrelin HTTP <локальный порт> [<имя хоста>]\n");
  EXPECT_EQ(usage[4], "vostrelin TCP <локальный порт> [<внешний порт>]\n");
  EXPECT_EQ(usage[7], "vostrelin UDP <локальный порт> [<внешний порт>]\n");
  EXPECT_EQ(usage[3].rfind("\t<имя хоста>\t\t", 0), 0u);
  EXPECT_EQ(usage[6].rfind("\t<внешний порт>\t\t", 0), 0u);
  EXPECT_EQ(usage[9].rfind("\t<внешний порт>\t\t", 0), 0u);

  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"vostrelin"}, {"vostrelin", "HTTP"}, {"vostrelin", "HTTP", "80\xff"},
           {"vostrelin", "HTTP", "80", "\xc3("}}) {
    auto r = parse_command_line(args);
    ASSERT_TRUE(std::holds_alternative<CommandLineError>(r));
    EXPECT_EQ(std::get<CommandLineError>(r).messages, usage);
  }
}

}  // namespace
}  // namespace vostrelin
