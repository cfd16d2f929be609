#include "inspector/session_header_meta.h"

#include <array>

namespace vostrelin::inspector {
namespace {

constexpr std::array<std::string_view, 4> FIELD_NAMES = {"ts", "proto", "hostname", "remote_url"};

std::string* field(SessionHeaderMeta& meta, size_t index) {
  switch (index) {
    case 0: return &meta.ts;
    case 1: return &meta.proto;
    case 2: return &meta.hostname;
    default: return &meta.remote_url;
  }
}

int field_index(std::string_view name) {
  for (size_t i = 0; i < FIELD_NAMES.size(); ++i) {
    if (FIELD_NAMES[i] == name) return static_cast<int>(i);
  }
  return -1;
}

bool starts_with_bom(std::string_view text) { return text.starts_with("\xEF\xBB\xBF"); }

}  // namespace

std::optional<SessionHeaderMeta> read_session_header(const Json& value) {
  SessionHeaderMeta meta;
  if (value.is_object()) {
    for (const auto& [name, member] : value.items()) {
      int index = field_index(name);
      if (index < 0) continue;
      if (!member.is_string()) return std::nullopt;
      *field(meta, static_cast<size_t>(index)) = member.get<std::string>();
    }
    return meta;
  }
  if (value.is_array()) {
    if (value.size() > FIELD_NAMES.size()) return std::nullopt;
    for (size_t i = 0; i < value.size(); ++i) {
      if (!value[i].is_string()) return std::nullopt;
      *field(meta, i) = value[i].get<std::string>();
    }
    return meta;
  }
  return std::nullopt;
}

std::optional<SessionHeaderMeta> read_session_header(std::string_view text) {
  if (starts_with_bom(text)) return std::nullopt;
  // A parsed object keeps one value per name, so repeated names are caught
  // while parsing: keys at depth 1 are the members of the outermost object.
  std::array<bool, 4> seen{};
  bool repeated = false;
  Json::parser_callback_t watch = [&](int depth, nlohmann::detail::parse_event_t event, Json& parsed) {
    if (event == nlohmann::detail::parse_event_t::key && depth == 1 && parsed.is_string()) {
      int index = field_index(parsed.get_ref<const std::string&>());
      if (index >= 0) {
        if (seen[static_cast<size_t>(index)]) repeated = true;
        seen[static_cast<size_t>(index)] = true;
      }
    }
    return true;
  };
  Json value;
  try {
    value = Json::parse(text, watch, /*allow_exceptions=*/false);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (value.is_discarded() || repeated) return std::nullopt;
  return read_session_header(value);
}

std::optional<Json> parse_json_line(std::string_view line) {
  if (starts_with_bom(line)) return std::nullopt;
  try {
    Json value = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace vostrelin::inspector
