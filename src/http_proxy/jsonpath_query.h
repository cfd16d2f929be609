// The compiled form of a JSONPath: the tree the compiler builds and the
// evaluator walks. Internal to the engine; users see it only through
// jsonpath::Path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/json_text.h"

namespace vostrelin::jsonpath {

struct Expr;

struct Slice {
  std::optional<int64_t> start;
  std::optional<int64_t> end;
  int64_t step = 1;
};

struct Selector {
  enum class Kind { Name, Wildcard, Index, Slice, Filter };
  Kind kind = Kind::Wildcard;
  std::string name;
  int64_t index = 0;
  jsonpath::Slice slice;
  std::shared_ptr<const Expr> filter;
};

struct Segment {
  bool descendant = false;
  std::vector<Selector> selectors;
};

struct Operand {
  enum class Kind { Current, Root, Literal };
  Kind kind = Kind::Literal;
  std::vector<Segment> segments;
  Json literal;
  size_t root_slot = 0;  // Root: where its value list is kept during an evaluation
};

enum class CompareOp { Eq, Ne, Lt, Le, Gt, Ge };

struct Expr {
  enum class Kind { Or, And, Exists, Compare };
  Kind kind = Kind::Exists;
  std::vector<Expr> terms;  // Or, And
  Operand lhs;              // Exists, Compare
  Operand rhs;              // Compare
  CompareOp op = CompareOp::Eq;
};

struct Query {
  std::vector<Segment> segments;
  size_t root_slots = 0;
};

}  // namespace vostrelin::jsonpath
