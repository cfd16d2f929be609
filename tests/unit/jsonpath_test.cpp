#include "http_proxy/jsonpath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>

#include "support/json_read.h"

namespace vostrelin::jsonpath {
namespace {

// The matched locations, space-separated, or what went wrong.
std::string matched(std::string_view path, const Json& doc) {
  Result<Path> compiled = compile(path);
  if (!compiled) return "compile error: " + compiled.error().message();
  Result<Matches> matches = find(*compiled, doc);
  if (!matches) return "evaluation error: " + matches.error().message();
  std::string out;
  for (size_t i = 0; i < matches->size(); ++i) {
    if (i > 0) out += ' ';
    out += format_location(matches->location(i));
  }
  return out;
}

std::string matched_in_text(std::string_view path, std::string_view body) {
  std::optional<Json> doc = read_json(body);
  if (!doc) return "bad test body";
  return matched(path, *doc);
}

const char* const STORE = R"({
  "store": {
    "book": [
      {"title": "A", "price": 8, "tags": ["x", "y"]},
      {"title": "B", "price": 12.5},
      {"title": "C", "price": 30, "isbn": "1", "used": true}
    ],
    "bike": {"color": "red", "price": 20}
  },
  "a b": 1,
  "n": [0, 1, 2, 3, 4, 5],
  "it's": 2
})";

struct Case {
  const char* path;
  const char* expected;
};

void check_all(const char* body, std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(matched_in_text(c.path, body), c.expected) << c.path;
}

TEST(JsonPathDialect, NamesAndWildcards) {
  check_all(STORE, {
      {"$", "$"},
      {"$.store.bike.color", "$['store']['bike']['color']"},
      {"$['a b']", "$['a b']"},
      {R"($["a b"])", "$['a b']"},
      {R"($["it's"])", R"($['it\'s'])"},
      {"$.missing", ""},
      {"$.n.length", ""},
      // Listed names come out in document order, each once.
      {"$.store['bike', 'book', 'bike']", "$['store']['book'] $['store']['bike']"},
      {"$.store.bike.*", "$['store']['bike']['color'] $['store']['bike']['price']"},
      {"$.store.bike[*]", "$['store']['bike']['color'] $['store']['bike']['price']"},
      {"$.n[*]", "$['n'][0] $['n'][1] $['n'][2] $['n'][3] $['n'][4] $['n'][5]"},
      {"$['a b'].*", ""},
  });
  // Names run up to the first syntax character; anything else, non-ASCII
  // letters included, belongs to them.
  check_all(R"({"имя":1,"a-b":2,"a\\b":3,"":4,"0":5,"a%~^":6})", {
      {"$.имя", "$['имя']"},
      {"$.a-b", "$['a-b']"},
      {"$.a\\b", R"($['a\\b'])"},
      {"$['a\\b']", R"($['a\\b'])"},
      {"$['']", "$['']"},
      {"$.0", "$['0']"},
      {"$[0]", ""},
      {"$.a%~^", "$['a%~^']"},
      {"$[ 'a-b' , \"имя\" ]", "$['имя'] $['a-b']"},
      {"$[ * ]", "$['имя'] $['a-b'] $['a\\\\b'] $[''] $['0'] $['a%~^']"},
  });
}

TEST(JsonPathDialect, Descendants) {
  check_all(STORE, {
      {"$..price",
       "$['store']['book'][0]['price'] $['store']['book'][1]['price'] "
       "$['store']['book'][2]['price'] $['store']['bike']['price']"},
      {"$.store..tags[1]", "$['store']['book'][0]['tags'][1]"},
      {"$..book[-1].title", "$['store']['book'][2]['title']"},
      {"$..['color','isbn']", "$['store']['book'][2]['isbn'] $['store']['bike']['color']"},
      // A descendant selection reached along two routes is reported once.
      {"$..*..title",
       "$['store']['book'][0]['title'] $['store']['book'][1]['title'] "
       "$['store']['book'][2]['title']"},
  });
  check_all(R"({"a":[1,{"b":2}],"c":3})", {
      {"$..*", "$['a'] $['a'][0] $['a'][1] $['a'][1]['b'] $['c']"},
      {"$..[*]", "$['a'] $['a'][0] $['a'][1] $['a'][1]['b'] $['c']"},
      {"$.c..*", ""},
  });
}

TEST(JsonPathDialect, IndicesAndSlices) {
  check_all(STORE, {
      {"$.n[1]", "$['n'][1]"},
      {"$.n[-1]", "$['n'][5]"},
      {"$.n[-6]", "$['n'][0]"},
      {"$.n[-7]", ""},
      {"$.n[6]", ""},
      {"$.store[0]", ""},
      {"$.n[4, 1, 1]", "$['n'][1] $['n'][4]"},
      {"$.n[1:3]", "$['n'][1] $['n'][2]"},
      {"$.n[:2]", "$['n'][0] $['n'][1]"},
      {"$.n[4:]", "$['n'][4] $['n'][5]"},
      {"$.n[:]", "$['n'][0] $['n'][1] $['n'][2] $['n'][3] $['n'][4] $['n'][5]"},
      {"$.n[::2]", "$['n'][0] $['n'][2] $['n'][4]"},
      {"$.n[1::2]", "$['n'][1] $['n'][3] $['n'][5]"},
      {"$.n[-2:]", "$['n'][4] $['n'][5]"},
      {"$.n[:-4]", "$['n'][0] $['n'][1]"},
      {"$.n[3:1]", ""},
      {"$.n[-100:100:5]", "$['n'][0] $['n'][5]"},
      // A negative step walks backwards; the matches still come in order.
      {"$.n[::-2]", "$['n'][1] $['n'][3] $['n'][5]"},
      {"$.n[4:1:-2]", "$['n'][2] $['n'][4]"},
      {"$.n[1:4:-1]", ""},
      {"$.n[ 1 : 3 ]", "$['n'][1] $['n'][2]"},
  });
}

TEST(JsonPathDialect, Filters) {
  check_all(STORE, {
      {"$.store.book[?(@.price < 10)]", "$['store']['book'][0]"},
      {"$.store.book[?(@.price <= 12.5)]", "$['store']['book'][0] $['store']['book'][1]"},
      {"$.store.book[?(@.price > 12.5)]", "$['store']['book'][2]"},
      {"$.store.book[?(@.price >= 12.5)]", "$['store']['book'][1] $['store']['book'][2]"},
      {"$.store.book[?(@.price == 8.0)]", "$['store']['book'][0]"},
      {"$.store.book[?(@.price != 8)]", "$['store']['book'][1] $['store']['book'][2]"},
      {"$.store.book[?(@.price > 1.2e1)]", "$['store']['book'][1] $['store']['book'][2]"},
      {"$.store.book[?(@.isbn)]", "$['store']['book'][2]"},
      {"$.store.book[?(@.used == true)]", "$['store']['book'][2]"},
      {"$.store.book[?(@.used != false)]", "$['store']['book'][0] $['store']['book'][1] $['store']['book'][2]"},
      {"$.store.book[?(@.title == 'A' || @.title == \"C\")]",
       "$['store']['book'][0] $['store']['book'][2]"},
      {"$.store.book[?(@.price > 10 && (@.title == 'B' || @.isbn))]",
       "$['store']['book'][1] $['store']['book'][2]"},
      {"$.store.book[?(@.price > 10 && @.title == 'B' || @.isbn)]",
       "$['store']['book'][1] $['store']['book'][2]"},
      {"$.store.book[?(@.title < 'B')]", "$['store']['book'][0]"},
      {"$.store.book[?(@['title'] == 'B')]", "$['store']['book'][1]"},
      {"$.store.book[?(@.tags[0] == 'x')]", "$['store']['book'][0]"},
      {"$.store.book[?(@.tags[-1] == 'y')]", "$['store']['book'][0]"},
      {"$.store.book[?(@..y)]", ""},
      {"$.store.book[?(@.tags[?(@ == 'y')])]", "$['store']['book'][0]"},
      // Paths from the root, and the members of an object.
      {"$.store.book[?(@.price > $.store.bike.price)]", "$['store']['book'][2]"},
      {"$.store.book[?(@ == $.store.book[1])]", "$['store']['book'][1]"},
      {"$.store[?(@.color)]", "$['store']['bike']"},
      {"$..[?(@.price == 20)]", "$['store']['bike']"},
      {"$.n[?(@ >= 4)]", "$['n'][4] $['n'][5]"},
      {"$.n[?(@)]", "$['n'][0] $['n'][1] $['n'][2] $['n'][3] $['n'][4] $['n'][5]"},
      // Types that do not order never compare less or greater.
      {"$.store.book[?(@.title < 5)]", ""},
      {"$.store.book[?(@.used >= true)]", "$['store']['book'][2]"},
      // Two sides that select nothing are equal.
      {"$.store.book[?(@.none == @.nothing)]",
       "$['store']['book'][0] $['store']['book'][1] $['store']['book'][2]"},
      {"$.store.book[?(@.none != 1)]",
       "$['store']['book'][0] $['store']['book'][1] $['store']['book'][2]"},
      {"$.store.book[?(@.none < 1)]", ""},
      {"$.store.book[?( @.price==8 )]", "$['store']['book'][0]"},
      {"$.store.book[ ?(@.price==8) ]", "$['store']['book'][0]"},
  });
}

TEST(JsonPathDialect, FilterValueComparisons) {
  const char* body = R"({"v": [
      {"x": 18446744073709551615}, {"x": 1.8446744073709552e19},
      {"x": -9223372036854775808}, {"x": {"a": [1, 2], "b": null}},
      {"x": {"b": null, "a": [1.0, 2]}}, {"x": [1, 2]}, {"x": "é"}, {"x": "z"}
  ]})";
  check_all(body, {
      // Integers compare exactly against each other and against doubles.
      {"$.v[?(@.x == 18446744073709551615)]", "$['v'][0]"},
      {"$.v[?(@.x > 18446744073709551614)]", "$['v'][0] $['v'][1]"},
      {"$.v[?(@.x == -9223372036854775808)]", "$['v'][2]"},
      {"$.v[?(@.x < -9223372036854775807)]", "$['v'][2]"},
      // Structured values compare deeply, members in any order.
      {"$.v[?(@.x == $.v[3].x)]", "$['v'][3] $['v'][4]"},
      {"$.v[?(@.x == $.v[5].x)]", "$['v'][5]"},
      // Strings order by code point.
      {"$.v[?(@.x > 'z')]", "$['v'][6]"},
      {"$.v[?(@.x == 1e-400)]", ""},
  });
}

TEST(JsonPathDialect, RejectedPaths) {
  const char* rejected[] = {
      "",
      "store",
      " $",
      "$ ",
      "$.",
      "$..",
      "$...a",
      "$.a b",
      "$.*a",
      "$.['a']",
      "$[",
      "$[]",
      "$['a'",
      "$['a',]",
      "$['a' 'b']",
      "$[1",
      "$[1,]",
      "$[1 2]",
      "$[a]",
      "$[-]",
      "$[+1]",
      "$[1.5]",
      "$[::0]",
      "$[1:2:0]",
      "$[1:2:3:4]",
      "$@",
      // Filters
      "$[?@.a]",
      "$[?(@.a)",
      "$[?(@.a]",
      "$[?()]",
      "$[?(@.a) && (@.b)]",
      "$[?((@.a)]",
      "$[?(@.a = 1)]",
      "$[?(@.a =! 1)]",
      "$[?(!@.a)]",
      "$[?(@.a && )]",
      "$[?(@.a & @.b)]",
      "$[?(1)]",
      "$[?('a')]",
      "$[?(true)]",
      "$[?(@.a == null)]",
      "$[?(@.a == trueish)]",
      "$[?(@.a == 'x)]",
      "$[?(@.a == 1e999)]",
      "$[?(@.a == -1e999)]",
      "$[?(@.a == 1.)]",
      "$[?(@.a == .5)]",
      "$[?(@.a == 1e)]",
      "$[?(@.a == -)]",
      "$[?(@foo)]",
      // Unions, name lists and slices inside a filter
      "$[?(@.a[0,1])]",
      "$[?(@['a','b'])]",
      "$[?(@[1:2])]",
      "$[?(@[:])]",
      "$[?($.a[0,1] == 1)]",
      "$[?(@.x[?(@[::2])])]",
  };
  for (const char* path : rejected) {
    Result<Path> compiled = compile(path);
    EXPECT_FALSE(compiled.ok()) << path;
  }
}

TEST(JsonPathHostile, HugeIndicesAndSliceBounds) {
  check_all(R"([0,1,2])", {
      {"$[9223372036854775807]", ""},
      {"$[-9223372036854775808]", ""},
      {"$[99999999999999999999999999999]", ""},
      {"$[-99999999999999999999999999999]", ""},
      {"$[9223372036854775807:-9223372036854775808:-9223372036854775808]", "$[2]"},
      {"$[-99999999999999999999:99999999999999999999:99999999999999999999]", "$[0]"},
      {"$[::-99999999999999999999]", "$[2]"},
      {"$[1:99999999999999999999:9223372036854775807]", "$[1]"},
      {"$[?(@ < 99999999999999999999)]", "$[0] $[1] $[2]"},
  });
  check_all(R"([])", {{"$[-1]", ""}, {"$[::-1]", ""}, {"$[0:]", ""}});
}

// Builds [[[...]]] or {"a":{"a":...}} without the reader's depth limit.
Json deep_document(size_t depth, bool objects) {
  Json root = objects ? Json::object() : Json::array();
  Json* at = &root;
  for (size_t i = 0; i < depth; ++i) {
    if (objects) {
      at = &((*at)["a"] = Json::object());
    } else {
      at->push_back(Json::array());
      at = &at->back();
    }
  }
  return root;
}

TEST(JsonPathHostile, DeepDocumentsAreWalkedWithoutRecursion) {
  const size_t depth = 200000;
  for (bool objects : {false, true}) {
    Json doc = deep_document(depth, objects);
    Result<Path> all = compile("$..*");
    ASSERT_TRUE(all.ok());
    Result<Matches> m = find(*all, doc);
    ASSERT_TRUE(m.ok());
    ASSERT_EQ(m->size(), depth);
    EXPECT_EQ(m->location(0).size(), 1u);
    EXPECT_EQ(m->location(depth - 1).size(), depth);

    // Equality between two deep values is compared without recursion.
    Json pair = Json::array();
    pair.push_back(std::move(doc));
    pair.push_back(deep_document(depth, objects));
    EXPECT_EQ(matched("$[?(@ == $[1])]", pair), "$[0] $[1]");

    // A filter that would cost the square of the document gives up.
    EXPECT_EQ(matched("$..[?(@..x)]", pair[0]).rfind("evaluation error", 0), 0u);
  }
}

TEST(JsonPathHostile, DeepPathsAreRefused) {
  auto nested_filters = [](int n) {
    std::string path = "$";
    for (int i = 0; i < n; ++i) path += "[?(@";
    for (int i = 0; i < n; ++i) path += ")]";
    return path;
  };
  auto nested_parens = [](int n) {
    return "$[?(" + std::string(static_cast<size_t>(n - 1), '(') + "@.a" +
           std::string(static_cast<size_t>(n - 1), ')') + ")]";
  };
  EXPECT_TRUE(compile(nested_filters(MAX_NESTING)).ok());
  EXPECT_FALSE(compile(nested_filters(MAX_NESTING + 1)).ok());
  EXPECT_TRUE(compile(nested_parens(MAX_NESTING)).ok());
  EXPECT_FALSE(compile(nested_parens(MAX_NESTING + 1)).ok());
  EXPECT_FALSE(compile(nested_filters(100000)).ok());
  EXPECT_FALSE(compile(nested_parens(100000)).ok());

  // Paths may nest as deeply as a body may: 127 levels, mixed or not.
  auto nested_terms = [](int n) {
    std::string path = "$[?(";
    for (int i = 1; i < n; ++i) path += "@.a && (";
    path += "@.a";
    for (int i = 1; i < n; ++i) path += ")";
    return path + ")]";
  };
  struct Depth {
    std::string path;
    bool accepted;
  } depths[] = {
      {nested_filters(127), true},  {nested_filters(128), false},
      {nested_parens(127), true},   {nested_parens(128), false},
      {nested_terms(127), true},    {nested_terms(128), false},
      {"$[?(@[?(" + std::string(125, '(') + "@" + std::string(125, ')') + ")])]", true},
      {"$[?(@[?(" + std::string(126, '(') + "@" + std::string(126, ')') + ")])]", false},
  };
  for (const Depth& d : depths) EXPECT_EQ(compile(d.path).ok(), d.accepted) << d.path.size();
  Json wide = Json::array({Json::object({{"a", 1}}), Json::object({{"b", 2}})});
  EXPECT_EQ(matched(nested_parens(127), wide), "$[0]");
  EXPECT_EQ(matched(nested_terms(127), wide), "$[0]");

  // The deepest accepted nesting evaluates.
  // The deepest accepted nesting evaluates: it asks for a chain of that many
  // values below a child of the root.
  Json chain = Json::array({1, deep_document(MAX_NESTING - 1, false), deep_document(MAX_NESTING - 2, false)});
  EXPECT_EQ(matched(nested_filters(MAX_NESTING), chain), "$[1]");
}

TEST(JsonPathHostile, LongPathsNamesAndManyMatches) {
  // A long name, in the path and in the document.
  std::string name(1 << 20, 'k');
  Json doc = Json::object();
  doc[name] = 1;
  EXPECT_EQ(matched("$." + name, doc), format_location(std::vector<Step>{{true, name, 0}}));
  EXPECT_EQ(matched("$['" + name + "']", doc).size(), name.size() + 5);

  // A long chain of segments.
  Json deep = deep_document(20000, true);
  std::string path = "$";
  for (int i = 0; i < 20000; ++i) path += ".a";
  Result<Path> compiled = compile(path);
  ASSERT_TRUE(compiled.ok());
  Result<Matches> m = find(*compiled, deep);
  ASSERT_TRUE(m.ok());
  ASSERT_EQ(m->size(), 1u);
  EXPECT_EQ(m->location(0).size(), 20000u);

  // Many matches, each once, in order.
  Json wide = Json::array();
  for (int i = 0; i < 300000; ++i) wide.push_back(Json::object({{"id", i}}));
  Result<Path> ids = compile("$..id");
  ASSERT_TRUE(ids.ok());
  Result<Matches> all = find(*ids, wide);
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all->size(), 300000u);
  EXPECT_EQ(format_location(all->location(299999)), "$[299999]['id']");

  std::string indices = "$[0";
  for (int i = 0; i < 100000; ++i) indices += ",0";
  Result<Path> repeated = compile(indices + "]");
  ASSERT_TRUE(repeated.ok());
  EXPECT_EQ(find(*repeated, wide)->size(), 1u);

  // A comparison of every value with every value is too costly.
  EXPECT_EQ(matched("$..[?(@ == $..*)]", wide).rfind("evaluation error", 0), 0u);
}

}  // namespace
}  // namespace vostrelin::jsonpath

namespace vostrelin::jsonpath {
namespace {

// Whether a comes before b in document order: by position at the first
// step where they differ, and a container before what it holds.
bool before(const std::vector<Step>& a, const std::vector<Step>& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (a[i].index != b[i].index) return a[i].index < b[i].index;
  }
  return a.size() < b.size();
}

const Json* resolve(const Json& root, const std::vector<Step>& location) {
  const Json* at = &root;
  for (const Step& step : location) {
    if (step.is_member) {
      if (!at->is_object() || step.index >= at->size()) return nullptr;
      auto member = at->get_ref<const Json::object_t&>().begin() + static_cast<ptrdiff_t>(step.index);
      if (member->first != step.name) return nullptr;
      at = &member->second;
    } else {
      if (!at->is_array() || step.index >= at->size()) return nullptr;
      at = &(*at)[step.index];
    }
  }
  return at;
}

TEST(JsonPathHostile, RandomPathsKeepTheirPromises) {
  const Json doc = *read_json(R"({"a":[1,{"a":2,"b":[3,"x"]},[{"a":null}]],"b":{"a":{"b":true},"c":-1.5},"":0})");
  // Whole segments, mostly valid, and stray tokens that often break them.
  const char* segments[] = {".a", ".b", ".*", "..a", "..*", "..[*]", "[0]", "[-1]", "[0,1]",
                            "[::-1]", "[1:]", "['a','b']", "[?(@.a)]", "[?(@ == 1)]",
                            "[?(@.a || @.b)]", "[?(@..a)]", "[?(@ != $.b.c)]",
                            "[?(@.b[?(@ == 'x')])]", "..[?(@)]", "[*]", "..['']"};
  const char* tokens[] = {"$", "@", ".", "..", "*", "[", "]", "[?(", ")]", "(", ")", "'a'", "\"b\"",
                          "a", "0", "-1", ":", ",", "==", "<", "&&", "||", "true", " ", "1e3"};
  std::mt19937 rng(5);
  int compiled = 0;
  int matching = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string path = rng() % 16 ? "$" : "";
    for (int n = static_cast<int>(rng() % 6); n > 0; --n) {
      path += rng() % 4 ? segments[rng() % std::size(segments)] : tokens[rng() % std::size(tokens)];
    }
    Result<Path> p = compile(path);
    if (!p) continue;
    ++compiled;
    Result<Matches> m = find(*p, doc);
    ASSERT_TRUE(m.ok()) << path;
    if (m->size() > 1) ++matching;
    for (size_t i = 0; i < m->size(); ++i) {
      std::vector<Step> location = m->location(i);
      ASSERT_NE(resolve(doc, location), nullptr) << path;
      if (i > 0) {
        ASSERT_TRUE(before(m->location(i - 1), location)) << path;
      }
    }
  }
  EXPECT_GT(compiled, 4000);
  EXPECT_GT(matching, 1000);
}

}  // namespace
}  // namespace vostrelin::jsonpath

namespace vostrelin::jsonpath {
namespace {

// A plain evaluator for generated paths, to hold the engine against: each
// segment is a function from one value to the values it selects, applied
// by recursion; the order and the duplicates are sorted out at the end.
struct RefNode {
  std::vector<size_t> at;  // positions from the root: document order
  std::string text;
  const Json* value;
};
using RefSelect = std::function<void(const RefNode&, std::vector<RefNode>&)>;
struct RefSegment {
  bool descendant;
  RefSelect select;
};

RefNode child(const RefNode& n, size_t i) {
  RefNode c{n.at, n.text, nullptr};
  c.at.push_back(i);
  if (n.value->is_object()) {
    auto member = n.value->get_ref<const Json::object_t&>().begin() + static_cast<ptrdiff_t>(i);
    c.text += "['" + member->first + "']";
    c.value = &member->second;
  } else {
    c.text += '[';
    c.text += std::to_string(i);
    c.text += ']';
    c.value = &(*n.value)[i];
  }
  return c;
}

void all_children(const RefNode& n, std::vector<RefNode>& out) {
  if (n.value->is_structured()) {
    for (size_t i = 0; i < n.value->size(); ++i) out.push_back(child(n, i));
  }
}

void self_and_below(const RefNode& n, std::vector<RefNode>& out) {
  out.push_back(n);
  std::vector<RefNode> children;
  all_children(n, children);
  for (const RefNode& c : children) self_and_below(c, out);
}

std::vector<RefNode> ref_follow(const std::vector<RefSegment>& segments, std::vector<RefNode> nodes) {
  for (const RefSegment& seg : segments) {
    std::vector<RefNode> from, next;
    for (const RefNode& n : nodes) seg.descendant ? self_and_below(n, from) : from.push_back(n);
    for (const RefNode& n : from) seg.select(n, next);
    nodes = std::move(next);
  }
  return nodes;
}

RefSelect named(std::vector<std::string> names) {
  return [names](const RefNode& n, std::vector<RefNode>& out) {
    if (!n.value->is_object()) return;
    for (const std::string& name : names) {
      auto it = n.value->find(name);
      if (it != n.value->end()) out.push_back(child(n, static_cast<size_t>(std::distance(n.value->begin(), it))));
    }
  };
}

RefSelect indexed(std::vector<int64_t> indices) {
  return [indices](const RefNode& n, std::vector<RefNode>& out) {
    if (!n.value->is_array()) return;
    const auto size = static_cast<int64_t>(n.value->size());
    for (int64_t i : indices) {
      int64_t k = i < 0 ? size + i : i;
      if (k >= 0 && k < size) out.push_back(child(n, static_cast<size_t>(k)));
    }
  };
}

// Slices as RFC 9535 defines them.
RefSelect sliced(std::optional<int64_t> start, std::optional<int64_t> end, int64_t step) {
  return [=](const RefNode& n, std::vector<RefNode>& out) {
    if (!n.value->is_array()) return;
    const auto len = static_cast<int64_t>(n.value->size());
    auto norm = [len](int64_t i) { return i >= 0 ? i : len + i; };
    if (step > 0) {
      int64_t lo = std::clamp<int64_t>(start ? norm(*start) : 0, 0, len);
      int64_t hi = std::clamp<int64_t>(end ? norm(*end) : len, 0, len);
      for (int64_t i = lo; i < hi; i += step) out.push_back(child(n, static_cast<size_t>(i)));
    } else {
      int64_t hi = std::clamp<int64_t>(start ? norm(*start) : len - 1, -1, len - 1);
      int64_t lo = std::clamp<int64_t>(end ? norm(*end) : -len - 1, -1, len - 1);
      for (int64_t i = hi; lo < i; i += step) out.push_back(child(n, static_cast<size_t>(i)));
    }
  };
}

bool ref_equal(const Json& a, const Json& b) {
  if (a.is_number() && b.is_number()) return a.get<double>() == b.get<double>();
  return a == b;  // the generated documents hold small integers only
}

bool ref_less(const Json& a, const Json& b) {
  if (a.is_number() && b.is_number()) return a.get<double>() < b.get<double>();
  return a.is_string() && b.is_string() && a.get<std::string>() < b.get<std::string>();
}

class PathGenerator {
 public:
  explicit PathGenerator(unsigned seed) : rng_(seed) {}

  Json document(int depth) {
    switch (pick(depth > 0 ? 6 : 3)) {
      case 0: return pick(5) - 2;
      case 1: return std::string(1, "abx"[pick(3)]);
      case 2: return pick(2) ? Json(nullptr) : Json(pick(2) == 1);
      case 3: case 4: {
        Json object = Json::object();
        for (int n = pick(4); n > 0; --n) object[name()] = document(depth - 1);
        return object;
      }
      default: {
        Json array = Json::array();
        for (int n = pick(4); n > 0; --n) array.push_back(document(depth - 1));
        return array;
      }
    }
  }

  // Up to max_segments segments, written into text.
  std::vector<RefSegment> path(int filter_depth, bool in_filter, int max_segments, std::string& text) {
    std::vector<RefSegment> out;
    for (int n = pick(max_segments + 1); n > 0; --n) out.push_back(segment(filter_depth, in_filter, text));
    return out;
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
  std::string name() { return std::string(1, "abc"[pick(3)]); }

  RefSegment segment(int filter_depth, bool in_filter, std::string& text) {
    const bool descendant = pick(4) == 0;
    const std::string lead = descendant ? ".." : "";
    // Lists and slices only outside filters; filters only while depth lasts.
    int kind = pick(in_filter ? 5 : 8);
    if (kind == 4 && filter_depth <= 0) kind = 0;
    switch (kind) {
      case 0: {
        std::string n = name();
        text += (descendant ? ".." : ".") + n;
        return {descendant, named({n})};
      }
      case 1:
        text += pick(2) ? lead + "[*]" : (descendant ? "..*" : ".*");
        return {descendant, all_children};
      case 2: {
        int64_t i = pick(7) - 3;
        text += lead + "[" + std::to_string(i) + "]";
        return {descendant, indexed({i})};
      }
      case 3: {
        std::string n = name();
        text += lead + "['" + n + "']";
        return {descendant, named({n})};
      }
      case 4: return {descendant, filter(filter_depth, lead, text)};
      case 5: {
        std::string a = name(), b = name();
        text += lead + "['" + a + "', \"" + b + "\"]";
        return {descendant, named({a, b})};
      }
      case 6: {
        int64_t i = pick(5) - 2, j = pick(5) - 2;
        text += lead + "[" + std::to_string(i) + "," + std::to_string(j) + "]";
        return {descendant, indexed({i, j})};
      }
      default: {
        std::optional<int64_t> start, end;
        if (pick(2)) start = pick(9) - 4;
        if (pick(2)) end = pick(9) - 4;
        int64_t step = pick(2) ? pick(3) + 1 : -(pick(3) + 1);
        bool written_step = pick(2) || step != 1;
        text += lead + "[" + (start ? std::to_string(*start) : "") + ":" + (end ? std::to_string(*end) : "") +
                (written_step ? ":" + std::to_string(step) : "") + "]";
        if (!written_step) step = 1;
        return {descendant, sliced(start, end, step)};
      }
    }
  }

  // [?(@path)] or [?(@path op literal)], existential over the values.
  RefSelect filter(int filter_depth, const std::string& lead, std::string& text) {
    std::string sub;
    std::vector<RefSegment> inner = path(filter_depth - 1, true, 2, sub);
    text += lead + "[?(@" + sub;
    std::function<bool(const std::vector<RefNode>&)> holds;
    if (pick(2)) {
      holds = [](const std::vector<RefNode>& values) { return !values.empty(); };
    } else {
      static const char* const ops[] = {"==", "!=", "<", "<=", ">", ">="};
      const int op = pick(6);
      Json literal;
      switch (pick(3)) {
        case 0: literal = pick(5) - 2; text += std::string(" ") + ops[op] + " " + literal.dump(); break;
        case 1: literal = name(); text += std::string(" ") + ops[op] + " '" + literal.get<std::string>() + "'"; break;
        default: literal = pick(2) == 1; text += std::string(" ") + ops[op] + " " + literal.dump(); break;
      }
      holds = [op, literal](const std::vector<RefNode>& values) {
        if (values.empty()) return op == 1;  // nothing differs from a value
        for (const RefNode& v : values) {
          const Json& x = *v.value;
          bool r[] = {ref_equal(x, literal), !ref_equal(x, literal), ref_less(x, literal),
                      ref_less(x, literal) || ref_equal(x, literal), ref_less(literal, x),
                      ref_less(literal, x) || ref_equal(x, literal)};
          if (r[op]) return true;
        }
        return false;
      };
    }
    text += ")]";
    return [inner, holds](const RefNode& n, std::vector<RefNode>& out) {
      std::vector<RefNode> children;
      all_children(n, children);
      for (const RefNode& c : children) {
        if (holds(ref_follow(inner, {c}))) out.push_back(c);
      }
    };
  }

  std::mt19937 rng_;
};

TEST(JsonPathDialect, AgreesWithAPlainEvaluator) {
  PathGenerator gen(23);
  int nonempty = 0;
  for (int round = 0; round < 20000; ++round) {
    const Json doc = gen.document(4);
    std::string text = "$";
    std::vector<RefSegment> segments = gen.path(2, false, 4, text);

    std::vector<RefNode> found = ref_follow(segments, {RefNode{{}, "$", &doc}});
    std::sort(found.begin(), found.end(), [](const RefNode& a, const RefNode& b) { return a.at < b.at; });
    std::string expected;
    for (size_t i = 0; i < found.size(); ++i) {
      if (i > 0 && found[i].at == found[i - 1].at) continue;
      expected += (expected.empty() ? "" : " ") + found[i].text;
    }
    nonempty += !expected.empty();
    ASSERT_EQ(matched(text, doc), expected) << text << " on " << json_text(doc);
  }
  EXPECT_GT(nonempty, 3000);
}

}  // namespace
}  // namespace vostrelin::jsonpath
