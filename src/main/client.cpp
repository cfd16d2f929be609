#include "main/client.h"

#include <array>
#include <cerrno>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "main/key_file.h"
#include "main/rule_frames.h"
#include "support/output.h"
#include "support/text.h"

namespace vostrelin {
namespace {

using asio::ip::tcp;

constexpr std::string_view SEND_FAILED =
    "Ошибка обмена данными с сервером. Проверьте подключение к интернету или обратитесь в "
    "техническую поддержку";
constexpr std::string_view RECEIVE_FAILED =
    "Ошибка получения данных от сервера. Проверьте подключение к интернету или обратитесь в "
    "техническую поддержку";

constexpr size_t PACKET_BYTES = 1024;
constexpr size_t RULE_READ_BYTES = 4096;

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

}  // namespace

Client::Client(tcp::socket stream) : stream_(std::move(stream)) {}

awaitable<Result<void>> Client::send_packet(std::string message) {
  auto [ec, written] = co_await asio::async_write(stream_, asio::buffer(message), as_tuple_awaitable);
  if (ec) co_return system_error(ec).context(std::string(SEND_FAILED));
  // The write stops short without an error only when the connection took
  // no byte at all.
  if (written != message.size()) {
    co_return Error("the connection accepted no bytes").context(std::string(SEND_FAILED));
  }
  co_return Result<void>();
}

awaitable<Result<std::string>> Client::receive_packet() {
  std::array<char, PACKET_BYTES> buffer{};
  auto [ec, n] = co_await stream_.async_read_some(asio::buffer(buffer), as_tuple_awaitable);
  // End of stream reads nothing and is no error here: the empty reply fails
  // each step's own test.
  if (ec && ec != asio::error::eof) co_return system_error(ec).context(std::string(RECEIVE_FAILED));
  size_t got = ec ? 0 : n;
  std::string decoded = utf8_lossy(std::string_view(buffer.data(), got));
  std::string text(trim_unicode_whitespace(decoded));
  // The service's own words reach the terminal, but never its control bytes.
  if (starts_with(text, "ERRR.")) co_return Error(escape_controls(text.substr(5)));
  co_return text;
}

awaitable<Result<std::vector<Rule>>> Client::read_rules() {
  std::vector<Rule> rules;
  std::string pending;
  size_t rule_bytes = 0;
  std::array<char, RULE_READ_BYTES> buffer{};
  for (;;) {
    // Take every whole frame at the front, then drop their bytes at once.
    size_t used = 0;
    for (;;) {
      Result<std::optional<RuleFrame>> parsed =
          try_parse_rule_frame(std::string_view(pending).substr(used));
      if (!parsed) co_return std::move(parsed).error();
      if (!parsed->has_value()) break;
      RuleFrame& frame = **parsed;
      used += frame.length;
      if (frame.is_end()) co_return std::move(rules);
      rule_bytes += frame.length;
      if (rule_bytes > MAX_RULE_LIST_BYTES) {
        co_return Error("слишком много правил от сервера: больше 16 МиБ");
      }
      rules.push_back(std::move(*frame.rule));
    }
    pending.erase(0, used);

    auto [ec, got] = co_await stream_.async_read_some(asio::buffer(buffer), as_tuple_awaitable);
    if (ec == asio::error::eof) co_return Error("сервер закрыл соединение до завершения передачи правил");
    if (ec) co_return system_error(ec).context("Ошибка чтения RULE от сервера");
    pending.append(buffer.data(), got);
  }
}

awaitable<Result<Handshake>> Client::handshake(ConnectProto proto, std::string hostname,
                                               uint16_t external_port) {
  // The key file is looked up and read anew for every session, before
  // anything is sent.
  Result<std::string> key_path = locate_key_file();
  if (!key_path) co_return std::move(key_path).error();
  Result<std::string> token = read_access_token(key_path.value());
  if (!token) co_return std::move(token).error();

  Result<void> sent = co_await send_packet("EHLO." + std::to_string(PROTOCOL_VERSION));
  if (!sent) co_return std::move(sent).error();
  Result<std::string> reply = co_await receive_packet();
  if (!reply) co_return std::move(reply).error();
  if (!starts_with(reply.value(), "EHLO.")) co_return Error("Неверный формат ответа EHLO");
  std::string_view version_text = std::string_view(reply.value()).substr(5);
  constexpr uint64_t U32_MAX = std::numeric_limits<uint32_t>::max();
  std::optional<uint64_t> version = parse_unsigned(version_text, U32_MAX);
  if (!version) {
    co_return Error(unsigned_number_fault(version_text, U32_MAX)).context("Неверный формат версии");
  }
  if (*version != PROTOCOL_VERSION) {
    co_return Error("Несовместимые версии. Требуется обновление приложения");
  }

  sent = co_await send_packet("AUTH." + token.value());
  if (!sent) co_return std::move(sent).error();
  reply = co_await receive_packet();
  if (!reply) co_return std::move(reply).error();
  if (reply.value() != "AUTH.OK") co_return Error("Ошибка авторизации");

  sent = co_await send_packet(options_message(proto, hostname, external_port));
  if (!sent) co_return std::move(sent).error();
  reply = co_await receive_packet();
  if (!reply) co_return std::move(reply).error();
  if (reply.value() != "OPTS.OK") co_return Error("Ошибка настройки подключения");

  Result<std::vector<Rule>> rules = co_await read_rules();
  if (!rules) co_return std::move(rules).error();

  sent = co_await send_packet("CONN");
  if (!sent) co_return std::move(sent).error();
  reply = co_await receive_packet();
  if (!reply) co_return std::move(reply).error();
  if (!starts_with(reply.value(), "CONN.")) co_return Error("Неверный формат ответа на подключение");

  Handshake result{std::move(rules).value(), reply.value().substr(5)};
  // Dropped by Ctrl+C while the reply was on its way: the program's last
  // line has been written.
  co_await leave_if_cancelled();
  write_stdout("Для подключения используйте: " + escape_controls(result.public_address) + "\n");
  co_return std::move(result);
}

tcp::socket Client::take_stream() { return std::move(stream_); }

std::string options_message(ConnectProto proto, std::string_view hostname, uint16_t external_port) {
  std::string message = "OPTS.";
  message += proto.name();
  if (proto == ConnectProto::Http) {
    if (!hostname.empty()) {
      message += '.';
      message += hostname;
    }
  } else if (external_port != 0) {
    message += '.';
    message += std::to_string(external_port);
  }
  return message;
}

}  // namespace vostrelin
