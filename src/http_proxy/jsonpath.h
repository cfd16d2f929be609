// A JSONPath engine over Json values: a path is compiled once into a small
// tree, then evaluated on a value to give the location (member names and
// array indices from the root) of every value it selects.
//
// The dialect:
//   $                      the root; every path begins with it
//   .name  ['name']        a member ("name" may hold any character but its
//          ["name"]        own quotation mark; no escapes)
//   ['a', 'b']             several members
//   .*  [*]                every member or element
//   ..name ..* ..[...]     the same selections at every depth below
//   [n]  [i, j]            elements by index, negative counting from the end
//   [start:end:step]       a slice, any part optional, step not 0
//   [?(expr)]              the members or elements for which expr holds
// In a filter, @ is the value under test and may be followed by a path; a
// path from $ may appear too. A path alone tests that it selects something;
// ==, !=, <, <=, >, >= compare paths, numbers, quoted strings, true and
// false; && and || combine tests, parentheses group them. Paths inside a
// filter take no name lists, index lists or slices.
//
// Neither compiling nor evaluating can exhaust the stack or run for long:
// filters and parentheses nest at most MAX_NESTING deep (as deep as a body
// may nest; that takes under 256 KiB of stack in an optimised build), the
// document is walked without recursion, and an evaluation that would cost
// far more than the size of the document gives up with an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/error.h"
#include "support/json_text.h"

namespace vostrelin::jsonpath {

inline constexpr int MAX_NESTING = 127;

struct Query;

// A compiled path; cheap to copy.
class Path {
 public:
  explicit Path(std::shared_ptr<const Query> query) : query_(std::move(query)) {}
  const Query& query() const { return *query_; }

 private:
  std::shared_ptr<const Query> query_;
};

Result<Path> compile(std::string_view text);

// One step from a value to one of its children.
struct Step {
  bool is_member = false;
  // The member's name, viewing the key held by the document's object.
  std::string_view name;
  // The element's index, or the member's place among its object's members.
  size_t index = 0;
};

// Every value a path selected, each once, in document order: a container
// before what it holds, elements by index, members in their order.
class Matches {
 public:
  size_t size() const { return selected_.size(); }
  bool empty() const { return selected_.empty(); }

  // The steps from the root to match i; none for the root itself. The names
  // view the document's keys, so they are valid while its objects are.
  std::vector<Step> location(size_t i) const;

 private:
  friend class Evaluator;
  struct Node {
    uint32_t parent;
    Step step;
  };
  std::vector<Node> nodes_;  // entry 0 is the root; parents come first
  std::vector<uint32_t> selected_;
};

// Fails only when the evaluation would cost too much for the document.
Result<Matches> find(const Path& path, const Json& root);

// A location written as a path: $['a'][0].
std::string format_location(std::span<const Step> location);

}  // namespace vostrelin::jsonpath
