// Where the records of one request go. The forwarder writes them through
// the session's recorder; the tests of the request and response logic
// collect them in a list. A request is recorded only when the session
// records at all: the forwarder passes no sink otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "inspector/recorder.h"

namespace vostrelin::http_proxy {

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void begin(std::string_view method, std::string_view path) = 0;
  virtual void req_headers(std::string_view kind, std::string_view head) = 0;
  virtual void req_body(std::string_view kind, std::string_view body) = 0;
  virtual void res_headers(uint16_t status, std::string_view head) = 0;
  virtual void res_body(std::string_view body) = 0;
  virtual void end(uint16_t status, uint64_t total) = 0;
};

// The records of request `id` into the session's recorder; never waits.
class RecorderSink final : public RecordSink {
 public:
  RecorderSink(const inspector::Recorder& recorder, std::string id) : recorder_(recorder), id_(std::move(id)) {}
  void begin(std::string_view method, std::string_view path) override { recorder_.begin(id_, method, path); }
  void req_headers(std::string_view kind, std::string_view head) override {
    recorder_.req_headers(id_, kind, head);
  }
  void req_body(std::string_view kind, std::string_view body) override { recorder_.req_body(id_, kind, body); }
  void res_headers(uint16_t status, std::string_view head) override { recorder_.res_headers(id_, status, head); }
  void res_body(std::string_view body) override { recorder_.res_body(id_, body); }
  void end(uint16_t status, uint64_t total) override { recorder_.end(id_, status, total); }

 private:
  const inspector::Recorder& recorder_;
  std::string id_;
};

}  // namespace vostrelin::http_proxy
