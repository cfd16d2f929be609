// Body rules. A JSON rule finds all its matches on the body as it was read,
// then replaces them in document order, looking each location up again from
// the root, so a location beneath an earlier replacement leads into the
// value put there, or nowhere. The root itself is never replaced, and
// nothing is added or removed: a path to a missing member matches nothing.
#include "http_proxy/body_rules.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "http_proxy/jsonpath.h"
#include "support/json_read.h"
#include "support/text.h"

namespace vostrelin::http_proxy {
namespace {

// Patterns up to this length are searched for directly; longer ones with a
// prefix table, so that no body can make the search quadratic.
constexpr size_t DIRECT_SEARCH_MAX = 16;

// Objects with more members than this are looked up through a hash index.
constexpr size_t LINEAR_LOOKUP_MEMBERS = 16;

size_t utf8_length_at(std::string_view text, size_t i) {
  auto lead = static_cast<unsigned char>(text[i]);
  size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return std::min(n, text.size() - i);
}

size_t count_characters(std::string_view text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); i += utf8_length_at(text, i)) ++count;
  return count;
}

bool replace_between_characters(std::string_view text, std::string_view to, size_t max_size,
                                std::string& out) {
  size_t slots = count_characters(text) + 1;
  if (!to.empty() && (text.size() > max_size || slots > (max_size - text.size()) / to.size())) {
    return false;
  }
  out.reserve(text.size() + slots * to.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = utf8_length_at(text, i);
    out += to;
    out += text.substr(i, n);
    i += n;
  }
  out += to;
  return true;
}

// Calls on_match(position) for each occurrence, left to right without
// overlap, until it returns false; false when it did.
template <class OnMatch>
bool search_direct(std::string_view text, std::string_view from, OnMatch&& on_match) {
  for (size_t at = text.find(from); at != std::string_view::npos; at = text.find(from, at + from.size())) {
    if (!on_match(at)) return false;
  }
  return true;
}

template <class OnMatch>
bool search_with_prefix_table(std::string_view text, std::string_view from, OnMatch&& on_match) {
  // border[k]: length of the longest proper border of from[0..k].
  std::vector<size_t> border(from.size(), 0);
  for (size_t k = 1, b = 0; k < from.size(); ++k) {
    while (b > 0 && from[k] != from[b]) b = border[b - 1];
    if (from[k] == from[b]) ++b;
    border[k] = b;
  }
  size_t matched = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    while (matched > 0 && text[i] != from[matched]) matched = border[matched - 1];
    if (text[i] == from[matched]) ++matched;
    if (matched == from.size()) {
      if (!on_match(i + 1 - from.size())) return false;
      matched = 0;  // occurrences do not overlap
    }
  }
  return true;
}

// Finds locations again in a value that replacements are changing. Members
// are first looked for at their old place, which holds until a replacement
// puts a different object above them. No object is freed while a rule
// runs (replaced values are kept aside), so an object's address names it.
class Relocator {
 public:
  Json* find(Json& root, std::span<const jsonpath::Step> location) {
    Json* at = &root;
    for (const jsonpath::Step& step : location) {
      at = step.is_member ? member(*at, step) : element(*at, step.index);
      if (at == nullptr) return nullptr;
    }
    return at;
  }

 private:
  static Json* element(Json& v, size_t index) {
    if (!v.is_array()) return nullptr;
    auto& elements = v.get_ref<Json::array_t&>();
    return index < elements.size() ? &elements[index] : nullptr;
  }

  Json* member(Json& v, const jsonpath::Step& step) {
    if (!v.is_object()) return nullptr;
    auto& object = v.get_ref<Json::object_t&>();
    auto& members = static_cast<Json::object_t::Container&>(object);
    if (step.index < members.size() && members[step.index].first == step.name) {
      return &members[step.index].second;
    }
    if (members.size() <= LINEAR_LOOKUP_MEMBERS) {
      for (auto& m : members) {
        if (m.first == step.name) return &m.second;
      }
      return nullptr;
    }
    auto [it, added] = index_.try_emplace(&object);
    if (added) {
      for (size_t i = 0; i < members.size(); ++i) it->second.emplace(members[i].first, i);
    }
    auto found = it->second.find(step.name);
    return found == it->second.end() ? nullptr : &members[found->second].second;
  }

  std::unordered_map<const Json::object_t*, std::unordered_map<std::string_view, size_t>> index_;
};

// The body after one JSON rule, or nothing when the rule cannot act.
std::optional<std::string> apply_json_rule(const std::string& body, const Rule& rule,
                                           const jsonpath::Path& path, size_t max_size) {
  std::optional<Json> doc = read_json(body);
  if (!doc) return std::nullopt;
  Result<jsonpath::Matches> matches = jsonpath::find(path, *doc);
  if (!matches) return std::nullopt;

  const Json value = rule.action == RuleAction::DELETE ? Json(nullptr) : replacement_value(rule.to);
  // The text grows by at most the value's text per replacement; stop before
  // the copies alone would pass the limit.
  const size_t value_size = json_text(value).size();
  size_t estimate = body.size();
  std::vector<Json> replaced;  // kept so that the names in later locations stay valid
  Relocator relocator;
  for (size_t i = 0; i < matches->size(); ++i) {
    std::vector<jsonpath::Step> location = matches->location(i);
    if (location.empty()) continue;  // the root stays
    Json* target = relocator.find(*doc, location);
    if (target == nullptr) continue;
    if (value_size > max_size - std::min(estimate, max_size)) return std::nullopt;
    estimate += value_size;
    replaced.push_back(std::move(*target));
    *target = value;
  }
  std::string out = json_text(*doc);
  if (out.size() > max_size) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> replace_text(std::string_view text, std::string_view from,
                                        std::string_view to, size_t max_size) {
  std::string out;
  if (from.empty()) {
    if (!replace_between_characters(text, to, max_size, out)) return std::nullopt;
    return out;
  }
  out.reserve(std::min(text.size(), max_size));
  size_t done = 0;
  auto on_match = [&](size_t at) {
    out += text.substr(done, at - done);
    out += to;
    done = at + from.size();
    return out.size() <= max_size;
  };
  bool complete = from.size() <= DIRECT_SEARCH_MAX ? search_direct(text, from, on_match)
                                                   : search_with_prefix_table(text, from, on_match);
  if (!complete || out.size() + (text.size() - done) > max_size) return std::nullopt;
  out += text.substr(done);
  return out;
}

Json replacement_value(std::string_view to) {
  if (std::optional<Json> value = read_json(to)) return std::move(*value);
  return Json(std::string(to));
}

BodyRules::BodyRules(std::span<const Rule> rules) {
  for (const Rule& rule : rules) {
    if (rule.type != RuleType::BODY) continue;
    Compiled compiled{rule, std::nullopt};
    if (rule.dataType == RuleDataType::JSON) {
      // A path that does not compile passes its rule over on every body.
      Result<jsonpath::Path> path = jsonpath::compile(rule.from);
      if (!path) continue;
      compiled.path = std::move(*path);
    }
    rules_.push_back(std::move(compiled));
  }
}

std::string BodyRules::apply(std::string body, size_t max_size) const {
  for (const Compiled& compiled : rules_) {
    const Rule& rule = compiled.rule;
    switch (rule.dataType) {
      case RuleDataType::PLAIN:
        if (!is_valid_utf8(body)) break;
        if (std::optional<std::string> rewritten = replace_text(body, rule.from, rule.to, max_size)) {
          body = std::move(*rewritten);
        }
        break;
      case RuleDataType::JSON:
        if (std::optional<std::string> rewritten = apply_json_rule(body, rule, *compiled.path, max_size)) {
          body = std::move(*rewritten);
        }
        break;
    }
  }
  return body;
}

std::string apply_body_rules(std::string body, std::span<const Rule> rules, size_t max_size) {
  return BodyRules(rules).apply(std::move(body), max_size);
}

std::string apply_body_rules(std::string body, const BodyRules& rules, size_t max_size) {
  return rules.apply(std::move(body), max_size);
}

}  // namespace vostrelin::http_proxy
