#include "inspector/session_header_meta.h"

#include <array>

#include "support/json_read.h"

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

// Watches the members of the outermost object for one of the four names
// given twice, in one pass over text already known to be one JSON value.
class RepeatedFieldWatch {
 public:
  bool repeated() const { return repeated_; }

  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(Json::number_integer_t) { return true; }
  bool number_unsigned(Json::number_unsigned_t) { return true; }
  bool number_float(Json::number_float_t, const Json::string_t&) { return true; }
  bool string(Json::string_t&) { return true; }
  bool binary(Json::binary_t&) { return true; }
  bool start_object(size_t) { return open(); }
  bool start_array(size_t) { return open(); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

  bool key(Json::string_t& name) {
    if (depth_ != 1) return true;
    int index = field_index(name);
    if (index < 0) return true;
    if (seen_[static_cast<size_t>(index)]) {
      repeated_ = true;
      return false;  // nothing more to learn
    }
    seen_[static_cast<size_t>(index)] = true;
    return true;
  }

 private:
  bool open() {
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  size_t depth_ = 0;
  std::array<bool, 4> seen_{};
  bool repeated_ = false;
};

bool repeats_a_field(std::string_view text) {
  RepeatedFieldWatch watch;
  try {
    Json::sax_parse(text.begin(), text.end(), &watch);
  } catch (const std::exception&) {
    return true;
  }
  return watch.repeated();
}

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
  std::optional<Json> value = parse_json_line(text);
  if (!value) return std::nullopt;
  // A parsed object keeps one value per name, so repeated names are looked
  // for in the text itself.
  if (value->is_object() && repeats_a_field(text)) return std::nullopt;
  return read_session_header(*value);
}

std::optional<Json> parse_json_line(std::string_view line) {
  return read_json(line, SESSION_LINE_MAX_DEPTH, SESSION_LINE_MAX_VALUES);
}

}  // namespace vostrelin::inspector
