// Fuzz target for the inspector's request handling, from the bytes of a
// request head to the answer, on the runtime the program uses and over a
// sessions directory with a recorded session, an empty one, one that is not
// UTF-8 and a symbolic link planted among them.
//
// The input is what the connection read; a blank line is added when it has
// none, since the server answers only once one has arrived. Every answer
// has a known status and type and a body that is valid UTF-8 (the logo
// aside); only a GET with a loopback Host (or none) is answered with 200,
// and a head the tokenizer refuses gets 400.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <string_view>

#include "check.h"
#include "inspector/assets.h"
#include "inspector/server.h"
#include "support/base64.h"
#include "support/http_head.h"
#include "support/runtime.h"
#include "support/text.h"

namespace {

using namespace vostrelin;
using namespace vostrelin::inspector;

void write_file(const std::string& path, std::string_view content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

std::string make_sessions_dir() {
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string dir = base + "/vostrelin-fuzz-inspector-" + std::to_string(::getpid());
  ::mkdir(dir.c_str(), 0700);
  std::string head = base64_encode("POST /x HTTP/1.1\r\nHost: a\r\n\r\n");
  write_file(dir + "/2025-03-14T09-26-53.jsonl",
             R"({"t":"session","ts":"2025-03-14T09:26:53+03:00","proto":"HTTP","hostname":"h<b>","local_port":8080,"remote_url":"https://x.example"})"
             "\n"
             R"({"t":"begin","req":"1","ts":"2025-03-14T09:26:54.5+03:00","method":"POST","path":"/x?a=<b>"})"
             "\n"
             R"({"t":"req_headers","req":"1","kind":"pre","b64":")" + head + "\"}\n" +
             R"({"t":"req_body","req":"1","kind":"pre","b64":"AAEC/w=="})"
             "\n"
             R"({"t":"res_headers","req":"1","status":201,"b64":")" + head + "\"}\n" +
             R"({"t":"end","req":"1","status":201,"total":4,"ts":"2025-03-14T09:26:55Z"})"
             "\n");
  write_file(dir + "/empty.jsonl", "");
  write_file(dir + "/bad.jsonl", "{\"t\":\"begin\",\"req\":\"\xff\"}\n");
  ::symlink("/etc/hostname", (dir + "/link.jsonl").c_str());
  static std::string removed_at_exit;
  removed_at_exit = dir;
  std::atexit([] { std::filesystem::remove_all(removed_at_exit); });
  return dir;
}

struct Fixture {
  std::unique_ptr<Runtime> runtime = std::move(Runtime::build()).value();
  std::string sessions = make_sessions_dir();
};

Fixture& fixture() {
  static Fixture* f = new Fixture();  // lives as long as the process
  return *f;
}

std::optional<Result<Answer>> answer(std::string_view received) {
  std::promise<void> done;
  std::optional<Result<Answer>> result;
  auto task = [&]() -> awaitable<void> { result.emplace(co_await answer_request(received, fixture().sessions)); };
  asio::co_spawn(worker_executor(), task, [&](std::exception_ptr) { done.set_value(); });
  done.get_future().wait();
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fixture();
  std::string received(reinterpret_cast<const char*>(data), size);
  if (received.find("\r\n\r\n") == std::string::npos) received += "\r\n\r\n";

  std::optional<Result<Answer>> got = answer(received);
  FUZZ_CHECK(got.has_value());  // nothing escaped as an exception
  if (!got->ok()) return 0;      // a session file that cannot be read: no answer
  const Answer& a = got->value();

  std::array<HttpHeaderField, HEADER_SLOTS> slots;
  HttpRequestHead head = parse_request_head(received, slots);
  switch (a.status) {
    case 200:
      FUZZ_CHECK(head.status != HttpHeadStatus::Invalid && head.method.value_or("GET") == "GET");
      for (const HttpHeaderField& f : head.headers) {
        if (ascii_iequals(f.name, "Host")) FUZZ_CHECK(is_loopback_host(f.value));
      }
      break;
    case 400:
    case 403:
    case 404:
    case 405:
      FUZZ_CHECK(a.content_type == "text/plain; charset=utf-8");
      break;
    default:
      FUZZ_CHECK(!"unexpected status");
  }
  if (head.status == HttpHeadStatus::Invalid) FUZZ_CHECK(a.status == 400 && a.body == "Bad Request");
  if (a.content_type == "image/png") {
    FUZZ_CHECK(a.status == 200 && a.body == logo_png());
  } else {
    FUZZ_CHECK(a.content_type == "text/html; charset=utf-8" || a.content_type == "text/plain; charset=utf-8");
    FUZZ_CHECK(is_valid_utf8(a.body));
  }
  std::string response = response_head(a.status, a.content_type, a.body.size());
  FUZZ_CHECK(response.starts_with("HTTP/1.1 " + std::to_string(a.status) + " ") && response.ends_with("\r\n\r\n"));
  return 0;
}
