// The value is built from the JSON library's event parser rather than its
// own tree builder: the library finds a repeated member name by searching
// the members one by one, which makes an object of n members cost n^2, and
// its depth check can only be bolted on through a callback. The event
// parser itself keeps its nesting on the heap, so no input can exhaust the
// stack.
#include "support/json_read.h"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vostrelin {
namespace {

// Objects with more members than this find repeated names through a hash
// index instead of a scan.
constexpr size_t LINEAR_SCAN_MEMBERS = 16;

class TreeBuilder {
 public:
  TreeBuilder(size_t max_depth, size_t max_values) : max_depth_(max_depth), values_left_(max_values) {}

  Json take() { return std::move(root_); }

  bool null() { return put(nullptr); }
  bool boolean(bool v) { return put(v); }
  bool number_integer(Json::number_integer_t v) { return put(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return put(v); }
  bool number_float(Json::number_float_t v, const Json::string_t&) { return put(v); }
  bool string(Json::string_t& v) { return put(std::move(v)); }
  bool binary(Json::binary_t&) { return false; }

  bool start_object(size_t) { return open(Json::object()); }
  bool start_array(size_t) { return open(Json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(Json::string_t& name) {
    open_.back().key = std::move(name);
    return true;
  }

  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  struct Open {
    Json* value;
    std::string key;
    std::unordered_map<std::string, size_t> index;
  };

  bool counted() {
    if (values_left_ == 0) return false;
    --values_left_;
    return true;
  }

  bool put(Json v) {
    if (!counted()) return false;
    *slot() = std::move(v);
    return true;
  }

  bool open(Json container) {
    if (open_.size() >= max_depth_ || !counted()) return false;
    Json* at = slot();
    *at = std::move(container);
    open_.push_back({at, {}, {}});
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // Where the next value goes. Pointers to the open containers stay valid:
  // only the innermost one grows, and each of the others is the last
  // element of its parent.
  Json* slot() {
    if (open_.empty()) return &root_;
    Open& top = open_.back();
    if (top.value->is_array()) {
      return &top.value->get_ref<Json::array_t&>().emplace_back();
    }
    auto& members = static_cast<Json::object_t::Container&>(top.value->get_ref<Json::object_t&>());
    if (members.size() <= LINEAR_SCAN_MEMBERS) {
      for (auto& member : members) {
        if (member.first == top.key) return &member.second;
      }
    } else {
      if (top.index.empty()) {
        for (size_t i = 0; i < members.size(); ++i) top.index.emplace(members[i].first, i);
      }
      auto [it, added] = top.index.try_emplace(top.key, members.size());
      if (!added) return &members[it->second].second;
    }
    return &members.emplace_back(std::move(top.key), nullptr).second;
  }

  size_t max_depth_;
  size_t values_left_;
  Json root_;
  std::vector<Open> open_;
};

}  // namespace

std::optional<Json> read_json(std::string_view text, size_t max_depth, size_t max_values) {
  // The library skips a leading byte order mark, and takes a NUL byte for
  // the end of its input, so that a value followed by NUL and anything at
  // all would read; only white space may surround the value here, and a raw
  // NUL belongs nowhere in JSON text.
  if (text.starts_with("\xEF\xBB\xBF") || text.find('\0') != std::string_view::npos) return std::nullopt;
  TreeBuilder builder(max_depth, max_values);
  try {
    if (!Json::sax_parse(text.begin(), text.end(), &builder)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return builder.take();
}

}  // namespace vostrelin
