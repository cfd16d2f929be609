// Fuzz target for the session-file reader and the pages made from it.
//
// The input is a session file's content (at times repeated past the size
// of one read, so that lines straddle reads). Read from a file and from
// memory it must give the same lines, session, request details and index
// row, or, for content that is not UTF-8, an error after a prefix of the
// lines; the pages rendered from what was read are valid UTF-8.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "inspector/pages.h"
#include "inspector/reader.h"
#include "support/text.h"

namespace {

using namespace vostrelin;
using namespace vostrelin::inspector;

const std::string& sessions_dir() {
  static const std::string dir = [] {
    std::string d = "/dev/shm/vostrelin-fuzz-" + std::to_string(::getpid());
    if (access("/dev/shm", W_OK) != 0) d = "/tmp/vostrelin-fuzz-" + std::to_string(::getpid());
    ::mkdir(d.c_str(), 0700);
    static const std::string* removed_at_exit = new std::string(d);  // outlives every destructor
    std::atexit([] { std::filesystem::remove_all(*removed_at_exit); });
    return d;
  }();
  return dir;
}

void write_file(const std::string& path, std::string_view content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), f) == content.size());
  std::fclose(f);
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  for_each_line(text, [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

bool same(const SessionContent& a, const SessionContent& b) {
  return a.requests == b.requests && a.header.ts == b.header.ts && a.header.proto == b.header.proto &&
         a.header.hostname == b.header.hostname && a.header.remote_url == b.header.remote_url;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // Past one read of the file (64 KiB) now and then.
  if (size > 0 && data[0] == '{' && size % 7 == 0) {
    while (text.size() < 70 * 1024) text.append(reinterpret_cast<const char*>(data), size);
  }
  const std::string id = "2025-03-14T09-26-53";
  const std::string path = sessions_dir() + "/" + id + ".jsonl";
  write_file(path, text);
  bool utf8 = is_valid_utf8(text);

  std::vector<std::string> lines = lines_of(text);
  size_t total = 0;
  for (const std::string& line : lines) {
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    total += line.size();
  }
  FUZZ_CHECK(total <= text.size());

  std::vector<std::string> file_lines;
  Result<void> read = for_each_file_line(path, [&](std::string_view line) { file_lines.emplace_back(line); });
  FUZZ_CHECK(read.ok() == utf8);
  FUZZ_CHECK(file_lines.size() <= lines.size());
  for (size_t i = 0; i < file_lines.size(); ++i) FUZZ_CHECK(file_lines[i] == lines[i]);
  if (utf8) FUZZ_CHECK(file_lines.size() == lines.size());

  SessionContent content = read_session(text);
  Result<SessionContent> loaded = load_session_now(path);
  FUZZ_CHECK(loaded.ok() == utf8);
  if (utf8) FUZZ_CHECK(same(*loaded, content));

  std::vector<std::string> ids = {"1"};
  for (size_t i = 0; i < content.requests.size() && i < 4; ++i) ids.push_back(content.requests[i].id);
  for (const std::string& rid : ids) {
    std::optional<RequestDetail> detail = read_request_detail(text, rid);
    Result<std::optional<RequestDetail>> from_file = load_request_detail_now(path, rid);
    FUZZ_CHECK(from_file.ok() == utf8);
    if (utf8) FUZZ_CHECK(*from_file == detail);
    if (detail) FUZZ_CHECK(is_valid_utf8(render_request(id, *detail)));
  }
  FUZZ_CHECK(is_valid_utf8(render_session(id, content.header, content.requests)));

  Result<std::vector<SessionSummary>> index = list_sessions_now(sessions_dir());
  FUZZ_CHECK(index.ok() && index->size() == 1 && (*index)[0].id == id);
  if (!utf8) FUZZ_CHECK(((*index)[0] == SessionSummary{id, "", "", "", "", 0}));
  FUZZ_CHECK(is_valid_utf8(render_index(*index)));
  return 0;
}
