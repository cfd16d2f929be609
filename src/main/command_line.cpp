#include "main/command_line.h"

#include "support/text.h"

namespace vostrelin {

std::optional<uint16_t> parse_port(std::string_view text) {
  std::optional<uint64_t> value = parse_unsigned(text, 65535);
  if (!value || *value == 0) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

std::vector<std::string> usage_lines(std::string_view program) {
  const std::string p(program);
  return {
      "Использование:\n",
      p + " HTTP <локальный порт> [<имя хоста>]\n",
      "\t<локальный порт>\tпорт, на который будет выполняться переадресация HTTP трафика\n",
      "\t<имя хоста>\t\tодин из поддоменов, настроенных в панели управления сервиса; "
      "доступно на тарифах «Старт» и «Бизнес»\n",
      p + " TCP <локальный порт> [<внешний порт>]\n",
      "\t<локальный порт>\tпорт, на который будет выполняться переадресация TCP трафика\n",
      "\t<внешний порт>\t\tодин из TCP-портов, настроенных в панели управления сервиса; "
      "доступно на тарифах «Старт» и «Бизнес»\n",
      p + " UDP <локальный порт> [<внешний порт>]\n",
      "\t<локальный порт>\tпорт, на который будет выполняться переадресация UDP трафика\n",
      "\t<внешний порт>\t\tодин из UDP-портов, настроенных в панели управления сервиса; "
      "доступно только на тарифе «Бизнес»\n",
  };
}

std::variant<CommandLine, CommandLineError> parse_command_line(const std::vector<std::string>& args) {
  const std::string program = args.empty() ? std::string("vostrelin") : utf8_lossy(args[0]);
  bool all_utf8 = true;
  for (size_t i = 1; i < args.size(); ++i) all_utf8 = all_utf8 && is_valid_utf8(args[i]);
  if (args.size() < 3 || !all_utf8) return CommandLineError{usage_lines(program)};

  CommandLine line;
  std::optional<ConnectProto> proto = ConnectProto::parse(args[1]);
  if (!proto) return CommandLineError{{"Поддерживаемые протоколы: HTTP, TCP и UDP\n"}};
  line.proto = *proto;

  std::optional<uint16_t> local = parse_port(args[2]);
  if (!local) return CommandLineError{{"Укажите <локальный порт> в диапазоне 1..=65535\n"}};
  line.local_port = *local;

  if (line.proto == ConnectProto::Http) {
    if (args.size() > 3) line.hostname = args[3];
  } else if (args.size() == 4) {
    std::optional<uint16_t> external = parse_port(args[3]);
    if (!external) return CommandLineError{{"Укажите <внешний порт> в диапазоне 1..=65535\n"}};
    line.external_port = *external;
  }
  return line;
}

}  // namespace vostrelin
