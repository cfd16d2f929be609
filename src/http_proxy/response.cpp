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

std::string gateway_timeout_response(std::string_view method) {
  std::string page =
      "<!DOCTYPE html><html><head><title>504 Gateway Timeout</title></head><body><h1>504 Gateway Timeout</h1>"
      "<p>Локальный сервер не отвечает.</p><p><a href=\"";
  page += WEBSITE_URL;
  page += "\">Vostrelin</a></p></body></html>";
  std::string response =
      "HTTP/1.1 504 Gateway Timeout\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
      std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n";
  if (method == "HEAD") return response;
  return response + page;
}

void ResponseTracker::take(std::string_view bytes) {
  total_ += bytes.size();
  if (!in_head_) {
    if (records_ != nullptr) records_->res_body(bytes);
    return;
  }
  size_t at = 0;  // where the current head continues in this read
  for (;;) {
    if (!line_read_ && read_status_line(bytes.substr(at)) && !interim_ && records_ == nullptr) {
      // The final status is all that is needed without records.
      in_head_ = false;
      return;
    }
    size_t end = find_head_end(bytes, at);
    if (end == std::string_view::npos) break;
    if (!interim_) {
      close_head(bytes, end);
      return;
    }
    // An interim head has ended; the next head starts right after it.
    window_.clear();
    tail_.clear();
    line_read_ = false;
    interim_ = false;
    at = end;
  }
  if (records_ != nullptr) head_.append(bytes);
  if (total_ <= RESPONSE_HEAD_RECORD_LIMIT) return;
  // No final head within the limit: the status read so far stands, and
  // what came so far is the head.
  if (records_ != nullptr) {
    records_->res_headers(status_, head_);
    std::string().swap(head_);
  }
  in_head_ = false;
}

bool ResponseTracker::read_status_line(std::string_view bytes) {
  size_t before = window_.size();
  window_.append(bytes.substr(0, STATUS_WINDOW_BYTES - before));
  // Until the line ends within the window, its code may still change.
  if (window_.find_first_of("\r\n", before) == std::string::npos && window_.size() < STATUS_WINDOW_BYTES) {
    return false;
  }
  std::optional<uint16_t> code = parse_status_code(window_);
  interim_ = code && is_interim_status(*code);
  // An interim status is not the response's; a line that does not read
  // ends the search with status 0.
  if (!interim_) status_ = code.value_or(0);
  line_read_ = true;
  return true;
}

size_t ResponseTracker::find_head_end(std::string_view bytes, size_t from) {
  std::string_view rest = bytes.substr(from);
  if (!tail_.empty()) {
    // A blank line that straddles reads, from the tail of the earlier ones.
    std::string joined = tail_;
    joined.append(rest.substr(0, HEAD_END.size() - 1));
    size_t at = joined.find(HEAD_END);
    if (at != std::string::npos) return from + at + HEAD_END.size() - tail_.size();
  }
  size_t at = rest.find(HEAD_END);
  if (at != std::string_view::npos) return from + at + HEAD_END.size();
  constexpr size_t keep = HEAD_END.size() - 1;
  if (rest.size() >= keep) {
    tail_.assign(rest.substr(rest.size() - keep));
  } else {
    tail_.append(rest);
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
  }
  return std::string_view::npos;
}

void ResponseTracker::close_head(std::string_view bytes, size_t head_end) {
  in_head_ = false;
  if (records_ == nullptr) return;
  if (head_.empty()) {
    records_->res_headers(status_, bytes.substr(0, head_end));
  } else {
    head_.append(bytes.substr(0, head_end));
    records_->res_headers(status_, head_);
    std::string().swap(head_);
  }
  if (head_end < bytes.size()) records_->res_body(bytes.substr(head_end));
}

void ResponseTracker::finish() {
  if (records_ == nullptr) return;
  if (in_head_ && !head_.empty()) records_->res_headers(status_, head_);
  records_->end(status_, total_);
}

}  // namespace vostrelin::http_proxy
