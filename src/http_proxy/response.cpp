#include "http_proxy/response.h"

#include <algorithm>

#include "support/build_settings.h"
#include "support/text.h"

namespace vostrelin::http_proxy {
namespace {

constexpr std::string_view HEAD_END = "\r\n\r\n";

}  // namespace

std::optional<uint16_t> parse_status_code(std::string_view bytes) {
  size_t line_end = bytes.find_first_of("\r\n");
  if (line_end == std::string_view::npos) return std::nullopt;
  std::string_view line = bytes.substr(0, line_end);
  if (!is_valid_utf8(line)) return std::nullopt;
  size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string_view field = line.substr(space + 1);
  field = field.substr(0, field.find(' '));
  std::optional<uint64_t> code = parse_unsigned(field, 65535);
  if (!code) return std::nullopt;
  return static_cast<uint16_t>(*code);
}

std::string gateway_timeout_response() {
  std::string page =
      "<!DOCTYPE html><html><head><title>504 Gateway Timeout</title></head><body><h1>504 Gateway Timeout</h1>"
      "<p>Локальный сервер не отвечает.</p><p><a href=\"";
  page += WEBSITE_URL;
  page += "\">Vostrelin</a></p></body></html>";
  std::string response =
      "HTTP/1.1 504 Gateway Timeout\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
      std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n";
  return response + page;
}

void ResponseTracker::take(std::string_view bytes) {
  total_ += bytes.size();
  if (status_ == 0 && window_.size() < STATUS_WINDOW_BYTES) {
    window_.append(bytes.substr(0, STATUS_WINDOW_BYTES - window_.size()));
    if (std::optional<uint16_t> code = parse_status_code(window_)) status_ = *code;
  }
  if (records_ == nullptr) return;
  if (head_recorded_) {
    records_->res_body(bytes);
    return;
  }
  // The blank line may straddle the previous read: look from just before.
  size_t from = head_.size() >= HEAD_END.size() - 1 ? head_.size() - (HEAD_END.size() - 1) : 0;
  head_.append(bytes);
  if (head_.size() < HEAD_END.size()) return;
  size_t end = head_.find(HEAD_END, from);
  if (end != std::string::npos) {
    size_t head_size = end + HEAD_END.size();
    records_->res_headers(status_, std::string_view(head_).substr(0, head_size));
    if (head_size < head_.size()) records_->res_body(std::string_view(head_).substr(head_size));
  } else if (head_.size() > RESPONSE_HEAD_RECORD_LIMIT) {
    records_->res_headers(status_, head_);
  } else {
    return;
  }
  head_recorded_ = true;
  std::string().swap(head_);
}

void ResponseTracker::finish() {
  if (records_ == nullptr) return;
  if (!head_recorded_ && !head_.empty()) records_->res_headers(status_, head_);
  records_->end(status_, total_);
}

}  // namespace vostrelin::http_proxy
