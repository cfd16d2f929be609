// Fuzz target for JSONPath compile and evaluate, and JSON body rules.
//
// The input is a path, a line feed, then a JSON document (a document that
// does not read is evaluated as null). Every value the path selects must
// exist in the document, be selected once, and come in document order; a
// location written out with format_location, read back as a path, selects
// that value alone. A JSON body rule with the same path then sets exactly
// the outermost selected values (null for DELETE, the replacement for
// CREATE and UPDATE) and leaves a body that reads as JSON.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "http_proxy/body_rules.h"
#include "http_proxy/jsonpath.h"
#include "support/json_read.h"

namespace {

using namespace vostrelin;
using jsonpath::Step;

// The value a location leads to, or null when it leads nowhere.
const Json* resolve(const Json& root, const std::vector<Step>& location) {
  const Json* v = &root;
  for (const Step& step : location) {
    if (step.is_member) {
      if (!v->is_object()) return nullptr;
      const auto& members = static_cast<const Json::object_t::Container&>(v->get_ref<const Json::object_t&>());
      if (step.index >= members.size() || members[step.index].first != step.name) return nullptr;
      v = &members[step.index].second;
    } else {
      if (!v->is_array() || step.index >= v->size()) return nullptr;
      v = &(*v)[step.index];
    }
  }
  return v;
}

std::vector<size_t> order_key(const std::vector<Step>& location) {
  std::vector<size_t> key;
  for (const Step& s : location) key.push_back(s.index);
  return key;
}

bool is_prefix(const std::vector<size_t>& a, const std::vector<size_t>& b) {
  return a.size() < b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool writable(const std::vector<Step>& location) {
  for (const Step& s : location) {
    if (s.is_member && s.name.find_first_of("'\\") != std::string_view::npos) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t nl = input.find('\n');
  std::string_view path_text = input.substr(0, nl);
  std::string body = nl == std::string_view::npos ? std::string() : std::string(input.substr(nl + 1));

  Result<jsonpath::Path> path = jsonpath::compile(path_text);
  if (!path) return 0;
  std::optional<Json> read = read_json(body);
  const Json doc = read ? std::move(*read) : Json(nullptr);

  Result<jsonpath::Matches> matches = jsonpath::find(*path, doc);
  if (!matches) return 0;

  std::vector<std::vector<size_t>> keys;
  for (size_t i = 0; i < matches->size(); ++i) {
    std::vector<Step> location = matches->location(i);
    FUZZ_CHECK(resolve(doc, location) != nullptr);
    keys.push_back(order_key(location));
    // Document order, each once: a container before what it holds.
    if (i > 0) FUZZ_CHECK(keys[i - 1] < keys[i] || is_prefix(keys[i - 1], keys[i]));

    if (i < 8 && writable(location)) {
      std::string written = jsonpath::format_location(location);
      Result<jsonpath::Path> again = jsonpath::compile(written);
      FUZZ_CHECK(again.ok());
      Result<jsonpath::Matches> one = jsonpath::find(*again, doc);
      FUZZ_CHECK(one.ok() && one->size() == 1);
      FUZZ_CHECK(order_key(one->location(0)) == keys[i]);
    }
  }

  // The same path as a body rule, for each action.
  if (!read) return 0;
  for (RuleAction action : {RuleAction::DELETE, RuleAction::UPDATE}) {
    Rule rule{RuleType::BODY, RuleDataType::JSON, action, std::string(path_text), "{\"x\":[1,\"y\"]}", false};
    std::string out = http_proxy::apply_body_rules(body, std::span<const Rule>(&rule, 1));
    std::optional<Json> after = read_json(out);
    FUZZ_CHECK(after.has_value());
    const Json value = action == RuleAction::DELETE ? Json(nullptr) : http_proxy::replacement_value(rule.to);
    for (size_t i = 0; i < matches->size(); ++i) {
      if (keys[i].empty()) continue;  // the root itself stays
      bool inside_another = false;
      for (size_t j = 0; j < i; ++j) inside_another = inside_another || (!keys[j].empty() && is_prefix(keys[j], keys[i]));
      if (inside_another) continue;
      const Json* now = resolve(*after, matches->location(i));
      FUZZ_CHECK(now != nullptr && *now == value);
    }
  }
  return 0;
}
