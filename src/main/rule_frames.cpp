#include "main/rule_frames.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "support/text.h"

namespace vostrelin {
namespace {

constexpr std::string_view TAG = "RULE.";
constexpr size_t QUOTED_BYTES = 16;

Error too_large() { return Error("слишком большой кадр RULE: больше 4 МиБ"); }

}  // namespace

Result<std::optional<RuleFrame>> try_parse_rule_frame(std::string_view buffer) {
  using Parsed = Result<std::optional<RuleFrame>>;
  if (buffer.size() < TAG.size()) return Parsed(std::nullopt);
  if (buffer.substr(0, TAG.size()) != TAG) {
    return Error("Неожиданный кадр вместо RULE: " +
                 escape_controls(utf8_lossy(buffer.substr(0, std::min(buffer.size(), QUOTED_BYTES)))));
  }

  size_t dot = buffer.find('.', TAG.size());
  if (dot == std::string_view::npos) {
    if (buffer.size() >= MAX_RULE_FRAME_BYTES) return too_large();
    return Parsed(std::nullopt);
  }
  std::string_view field = buffer.substr(TAG.size(), dot - TAG.size());
  if (!is_valid_utf8(field)) {
    return Error("the size field is not valid UTF-8").context("неверный размер RULE");
  }
  std::optional<uint64_t> size = parse_unsigned(field, std::numeric_limits<uint64_t>::max());
  if (!size) {
    return Error(unsigned_number_fault(field, std::numeric_limits<uint64_t>::max()))
        .context("размер RULE не число");
  }

  size_t head = dot + 1;  // tag, size field and dot
  if (head > MAX_RULE_FRAME_BYTES) return too_large();
  if (*size == 0) return Parsed(RuleFrame{std::nullopt, head});
  if (*size > MAX_RULE_FRAME_BYTES - head) return too_large();
  size_t length = head + static_cast<size_t>(*size);
  if (buffer.size() < length) return Parsed(std::nullopt);

  Result<Rule> rule = parse_rule(buffer.substr(head, static_cast<size_t>(*size)));
  if (!rule) return std::move(rule).error().context("невалидный JSON правила");
  return Parsed(RuleFrame{std::move(rule).value(), length});
}

}  // namespace vostrelin
