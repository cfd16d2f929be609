#include "http_proxy/jsonpath.h"

#include <gtest/gtest.h>

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
