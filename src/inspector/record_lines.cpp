#include "inspector/record_lines.h"

#include "support/base64.h"
#include "support/json_text.h"

namespace vostrelin::inspector {
namespace {

// Builds one line member by member, straight into its buffer: bodies are
// recorded whole, so the Base64 text is written once and never copied.
class LineBuilder {
 public:
  LineBuilder(std::string_view type, size_t expected) {
    out_.reserve(expected + 32);
    out_ += "{\"t\":";
    append_json_string(out_, type);
  }

  LineBuilder& text(std::string_view name, std::string_view value) {
    member(name);
    append_json_string(out_, value);
    return *this;
  }

  LineBuilder& number(std::string_view name, uint64_t value) {
    member(name);
    out_ += std::to_string(value);
    return *this;
  }

  LineBuilder& base64(std::string_view name, std::string_view bytes) {
    member(name);
    out_ += '"';
    append_base64(out_, bytes);
    out_ += '"';
    return *this;
  }

  std::string finish() {
    out_ += "}\n";
    return std::move(out_);
  }

 private:
  // Member names are plain ASCII and need no escaping.
  void member(std::string_view name) {
    out_ += ",\"";
    out_ += name;
    out_ += "\":";
  }

  std::string out_;
};

size_t base64_size(std::string_view bytes) { return 4 * ((bytes.size() + 2) / 3); }

}  // namespace

std::string session_line(std::string_view ts, std::string_view proto, std::string_view hostname,
                         uint16_t local_port, std::string_view remote_url) {
  return LineBuilder("session", 96 + ts.size() + proto.size() + hostname.size() + remote_url.size())
      .text("ts", ts)
      .text("proto", proto)
      .text("hostname", hostname)
      .number("local_port", local_port)
      .text("remote_url", remote_url)
      .finish();
}

std::string begin_line(std::string_view req, std::string_view ts, std::string_view method,
                       std::string_view path) {
  return LineBuilder("begin", 64 + req.size() + ts.size() + method.size() + path.size())
      .text("req", req)
      .text("ts", ts)
      .text("method", method)
      .text("path", path)
      .finish();
}

namespace {
// A request record of `type` ("req_headers", "req_body") with its bytes.
std::string request_bytes_line(const char* type, std::string_view req, std::string_view kind,
                               std::string_view bytes) {
  return LineBuilder(type, 48 + req.size() + kind.size() + base64_size(bytes))
      .text("req", req)
      .text("kind", kind)
      .base64("b64", bytes)
      .finish();
}
}  // namespace

std::string req_headers_line(std::string_view req, std::string_view kind, std::string_view head) {
  return request_bytes_line("req_headers", req, kind, head);
}

std::string req_body_line(std::string_view req, std::string_view kind, std::string_view body) {
  return request_bytes_line("req_body", req, kind, body);
}

std::string res_headers_line(std::string_view req, uint16_t status, std::string_view head) {
  return LineBuilder("res_headers", 48 + req.size() + base64_size(head))
      .text("req", req)
      .number("status", status)
      .base64("b64", head)
      .finish();
}

std::string res_body_line(std::string_view req, std::string_view body) {
  return LineBuilder("res_body", 32 + req.size() + base64_size(body))
      .text("req", req)
      .base64("b64", body)
      .finish();
}

std::string end_line(std::string_view req, uint16_t status, uint64_t total, std::string_view ts) {
  return LineBuilder("end", 80 + req.size() + ts.size())
      .text("req", req)
      .number("status", status)
      .number("total", total)
      .text("ts", ts)
      .finish();
}

}  // namespace vostrelin::inspector
