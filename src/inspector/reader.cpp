#include "inspector/reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unordered_map>

#include "support/base64.h"
#include "support/paths.h"
#include "support/text.h"

namespace vostrelin::inspector {
namespace {

constexpr size_t READ_CHUNK = 64 * 1024;

Error errno_error(int code) { return system_error(std::error_code(code, std::system_category())); }

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

struct Dir {
  DIR* dir = nullptr;
  ~Dir() {
    if (dir != nullptr) ::closedir(dir);
  }
};

const Json* member(const Json& record, std::string_view name) {
  if (!record.is_object()) return nullptr;
  auto it = record.find(name);
  return it == record.end() ? nullptr : &*it;
}

std::string text_member(const Json& record, std::string_view name) {
  const Json* m = member(record, name);
  return m != nullptr && m->is_string() ? m->get<std::string>() : std::string();
}

// A non-negative integer that fits 64 bits, else 0.
uint64_t number_member(const Json& record, std::string_view name) {
  const Json* m = member(record, name);
  if (m == nullptr) return 0;
  if (m->is_number_unsigned()) return m->get<uint64_t>();
  if (m->is_number_integer() && m->get<int64_t>() >= 0) return static_cast<uint64_t>(m->get<int64_t>());
  return 0;
}

uint16_t status_member(const Json& record) { return static_cast<uint16_t>(number_member(record, "status")); }

// The record's kind, or nothing when "t" is absent or no string.
std::optional<std::string> kind_of(const Json& record) {
  const Json* t = member(record, "t");
  if (t == nullptr || !t->is_string()) return std::nullopt;
  return t->get<std::string>();
}

bool holds_begin_marker(std::string_view line) {
  return line.find("\"t\":\"begin\"") != std::string_view::npos ||
         line.find("\"t\": \"begin\"") != std::string_view::npos;
}

// Builds a session page's data one line at a time.
class SessionBuilder {
 public:
  void add_line(std::string_view line) {
    if (line.empty()) return;
    std::optional<Json> record = parse_json_line(line);
    if (!record) return;
    std::optional<std::string> kind = kind_of(*record);
    if (!kind) return;

    if (*kind == "session") {
      header_ = read_session_header(*record).value_or(SessionHeaderMeta{});
      return;
    }
    if (*kind == "begin") {
      std::string req = text_member(*record, "req");
      if (req.empty()) return;
      auto [it, created] = requests_.try_emplace(req);
      // Rows keep the place of each id's first begin record.
      if (created) order_.push_back(req);
      RequestSummary& r = it->second;
      r.id = req;
      r.started = text_member(*record, "ts");
      r.method = text_member(*record, "method");
      r.path = text_member(*record, "path");
      return;
    }
    if (*kind == "res_headers") {
      if (RequestSummary* r = find(text_member(*record, "req"))) r->status = status_member(*record);
      return;
    }
    if (*kind == "end") {
      if (RequestSummary* r = find(text_member(*record, "req"))) {
        r->ended = text_member(*record, "ts");
        r->total = number_member(*record, "total");
        if (r->status == 0) r->status = status_member(*record);
      }
    }
  }

  SessionContent finish() {
    SessionContent content;
    content.header = std::move(header_);
    content.requests.reserve(order_.size());
    for (const std::string& id : order_) content.requests.push_back(std::move(requests_.at(id)));
    return content;
  }

 private:
  RequestSummary* find(const std::string& req) {
    auto it = requests_.find(req);
    return it == requests_.end() ? nullptr : &it->second;
  }

  SessionHeaderMeta header_;
  std::unordered_map<std::string, RequestSummary> requests_;
  std::vector<std::string> order_;
};

// Collects everything recorded about one request.
class DetailBuilder {
 public:
  explicit DetailBuilder(std::string_view rid) : rid_(rid) {}

  void add_line(std::string_view line) {
    std::optional<Json> record = parse_json_line(line);
    if (!record) return;
    const Json* req = member(*record, "req");
    if (req == nullptr || !req->is_string() || req->get_ref<const std::string&>() != rid_) return;
    found_ = true;
    std::optional<std::string> kind = kind_of(*record);
    if (!kind) return;

    RequestDetail& d = detail_;
    if (*kind == "begin") {
      d.id = rid_;
      d.started = text_member(*record, "ts");
      d.method = text_member(*record, "method");
      d.path = text_member(*record, "path");
    } else if (*kind == "req_headers") {
      std::string k = text_member(*record, "kind");
      if (k == "pre") d.req_headers_pre = decode_b64(*record);
      else if (k == "post") d.req_headers_post = decode_b64(*record);
    } else if (*kind == "req_body") {
      std::string k = text_member(*record, "kind");
      if (k == "pre") d.req_body_pre += decode_b64(*record);
      else if (k == "post") d.req_body_post += decode_b64(*record);
    } else if (*kind == "res_headers") {
      d.status = status_member(*record);
      d.res_headers = decode_b64(*record);
    } else if (*kind == "res_body") {
      d.res_body += decode_b64(*record);
    } else if (*kind == "end") {
      d.ended = text_member(*record, "ts");
      d.total = number_member(*record, "total");
      if (d.status == 0) d.status = status_member(*record);
    }
  }

  std::optional<RequestDetail> finish() {
    if (!found_) return std::nullopt;
    return std::move(detail_);
  }

 private:
  std::string rid_;
  bool found_ = false;
  RequestDetail detail_;
};

// The index row of one file: the header from its first line, the begin
// markers counted over all lines.
class SummaryBuilder {
 public:
  void add_line(std::string_view line) {
    if (first_) {
      first_ = false;
      header_ = read_session_header(line).value_or(SessionHeaderMeta{});
    }
    if (holds_begin_marker(line)) ++requests_;
  }

  SessionSummary finish(std::string id) {
    // An empty file has no first line; its header reads from the empty text,
    // which is no JSON value.
    return SessionSummary{std::move(id), std::move(header_.ts), std::move(header_.proto),
                          std::move(header_.hostname), std::move(header_.remote_url), requests_};
  }

 private:
  bool first_ = true;
  SessionHeaderMeta header_;
  uint64_t requests_ = 0;
};

// The text after the last "." of a file name, when there is one that is not
// the name's first character.
std::optional<std::pair<std::string_view, std::string_view>> split_extension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return std::pair(name.substr(0, dot), name.substr(dot + 1));
}

// Runs f on the blocking pool; an exception there (memory exhausted, say)
// becomes an error instead of escaping into the connection task. The job
// borrows what it reads from the caller's frame, which waits for it.
template <class T, class F>
awaitable<Result<T>> blocking_job(F f) {
  auto guarded = [&f]() -> Result<T> {
    try {
      return f();
    } catch (const std::exception&) {
      return Error("background task failed");
    }
  };
  co_return co_await run_blocking(guarded);
}

}  // namespace

std::string decode_b64(const Json& record) {
  const Json* b64 = member(record, "b64");
  if (b64 == nullptr || !b64->is_string()) return {};
  return base64_decode(b64->get_ref<const std::string&>()).value_or(std::string());
}

void for_each_line(std::string_view text, const std::function<void(std::string_view)>& on_line) {
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) {
      std::string_view last = text.substr(start);
      on_line(last.size() > MAX_SESSION_LINE_BYTES ? std::string_view() : last);
      return;
    }
    std::string_view line = text.substr(start, lf - start);
    if (line.size() > MAX_SESSION_LINE_BYTES) line = {};
    if (line.ends_with('\r')) line.remove_suffix(1);
    on_line(line);
    start = lf + 1;
  }
}

Result<void> for_each_file_line(const std::string& path,
                                const std::function<void(std::string_view)>& on_line) {
  // O_NONBLOCK keeps the open of a pipe from waiting for a writer; it means
  // nothing for the regular files that are read below. O_NOFOLLOW: the
  // recorder never makes links, and one planted among the session files
  // must not make the inspector show a file from elsewhere.
  Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)};
  if (file.fd < 0) return errno_error(errno);
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return errno_error(errno);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return Error("not a regular file");

  bool valid = true;
  std::string pending;    // bytes after the last LF seen
  size_t scanned = 0;     // bytes of pending known to hold no LF
  bool too_long = false;  // pending was dropped: the line is over the limit
  for (;;) {
    size_t old = pending.size();
    pending.resize(old + READ_CHUNK);
    ssize_t n = ::read(file.fd, pending.data() + old, READ_CHUNK);
    if (n < 0) {
      if (errno == EINTR) {
        pending.resize(old);
        continue;
      }
      return errno_error(errno);
    }
    pending.resize(old + static_cast<size_t>(n));
    if (n == 0) break;

    size_t start = 0;
    for (size_t lf; (lf = pending.find('\n', scanned)) != std::string::npos; scanned = start) {
      std::string_view line(pending.data() + start, lf - start);
      if (too_long || line.size() > MAX_SESSION_LINE_BYTES) {
        too_long = false;
        line = {};
      }
      if (line.ends_with('\r')) line.remove_suffix(1);
      // LF never occurs inside a multi-byte sequence, so checking each line
      // checks the whole file.
      if (valid && !is_valid_utf8(line)) valid = false;
      if (valid) on_line(line);
      start = lf + 1;
    }
    pending.erase(0, start);
    if (pending.size() > MAX_SESSION_LINE_BYTES) {
      too_long = true;
      pending.clear();
    }
    scanned = pending.size();
  }
  if (too_long || pending.size() > MAX_SESSION_LINE_BYTES) {
    if (valid) on_line({});
  } else if (!pending.empty()) {
    if (valid && !is_valid_utf8(pending)) valid = false;
    if (valid) on_line(pending);
  }
  if (!valid) return Error("stream did not contain valid UTF-8");
  return {};
}

SessionContent read_session(std::string_view text) {
  SessionBuilder builder;
  for_each_line(text, [&](std::string_view line) { builder.add_line(line); });
  return builder.finish();
}

std::optional<RequestDetail> read_request_detail(std::string_view text, std::string_view request_id) {
  DetailBuilder builder(request_id);
  for_each_line(text, [&](std::string_view line) { builder.add_line(line); });
  return builder.finish();
}

Result<SessionContent> load_session_now(const std::string& path) {
  SessionBuilder builder;
  Result<void> read = for_each_file_line(path, [&](std::string_view line) { builder.add_line(line); });
  if (!read) return std::move(read).error();
  return builder.finish();
}

Result<std::optional<RequestDetail>> load_request_detail_now(const std::string& path,
                                                             std::string_view request_id) {
  DetailBuilder builder(request_id);
  Result<void> read = for_each_file_line(path, [&](std::string_view line) { builder.add_line(line); });
  if (!read) return std::move(read).error();
  return builder.finish();
}

Result<std::vector<SessionSummary>> list_sessions_now(const std::string& sessions_dir) {
  std::vector<SessionSummary> sessions;
  Dir dir{::opendir(sessions_dir.c_str())};
  if (dir.dir == nullptr) return sessions;

  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir.dir);
    if (entry == nullptr) {
      if (errno != 0) return errno_error(errno);
      break;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    auto parts = split_extension(name);
    if (!parts || parts->second != "jsonl") continue;
    if (!is_valid_utf8(parts->first)) continue;

    SummaryBuilder builder;
    Result<void> read = for_each_file_line(join_path(sessions_dir, name),
                                           [&](std::string_view line) { builder.add_line(line); });
    if (read) {
      sessions.push_back(builder.finish(std::string(parts->first)));
    } else {
      // Unreadable or not UTF-8: the row stays, with nothing known about it.
      SessionSummary unknown;
      unknown.id = std::string(parts->first);
      sessions.push_back(std::move(unknown));
    }
  }

  std::stable_sort(sessions.begin(), sessions.end(),
                   [](const SessionSummary& a, const SessionSummary& b) { return a.id > b.id; });
  return sessions;
}

awaitable<Result<std::vector<SessionSummary>>> list_sessions(std::string sessions_dir) {
  co_return co_await blocking_job<std::vector<SessionSummary>>(
      [&sessions_dir] { return list_sessions_now(sessions_dir); });
}

awaitable<Result<SessionContent>> load_session(std::string path) {
  co_return co_await blocking_job<SessionContent>([&path] { return load_session_now(path); });
}

awaitable<Result<std::optional<RequestDetail>>> load_request_detail(std::string path,
                                                                    std::string request_id) {
  co_return co_await blocking_job<std::optional<RequestDetail>>(
      [&path, &request_id] { return load_request_detail_now(path, request_id); });
}

}  // namespace vostrelin::inspector
