// Reading session files back for the inspector's pages: the list of
// sessions for the index, one session's header and requests, and everything
// recorded about one request. Files are read afresh on every call and never
// written. Reading is tolerant: lines that are not JSON, records of unknown
// kinds and members of the wrong type are skipped or read as empty or 0;
// only a file that cannot be read at all (or is not UTF-8) is an error.
//
// Files are read line by line rather than whole, so memory follows the
// longest line (at most MAX_SESSION_LINE_BYTES) and what the caller keeps,
// not the size of the file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inspector/session_header_meta.h"
#include "support/error.h"
#include "support/json_text.h"
#include "support/runtime.h"

namespace vostrelin::inspector {

// One row of the index.
struct SessionSummary {
  std::string id;  // file name without ".jsonl"
  std::string ts;
  std::string proto;
  std::string hostname;
  std::string remote_url;
  uint64_t requests = 0;  // lines holding a begin marker

  bool operator==(const SessionSummary&) const = default;
};

// One row of a session page.
struct RequestSummary {
  std::string id;
  std::string started;
  std::string ended;
  std::string method;
  std::string path;
  uint64_t total = 0;
  uint16_t status = 0;  // 0: no status known

  bool operator==(const RequestSummary&) const = default;
};

// Everything recorded about one request. Byte fields hold raw bytes.
struct RequestDetail {
  std::string id;
  std::string started;
  std::string ended;
  std::string method;
  std::string path;
  std::string req_headers_pre;
  std::string req_headers_post;
  std::string req_body_pre;
  std::string req_body_post;
  std::string res_headers;
  std::string res_body;
  uint64_t total = 0;
  uint16_t status = 0;

  bool operator==(const RequestDetail&) const = default;
};

// A session page's data: the header and the requests in the order of their
// first begin record.
struct SessionContent {
  SessionHeaderMeta header;
  std::vector<RequestSummary> requests;
};

// The sessions directory's ".jsonl" files, newest id first (ids compared
// byte by byte, descending). A directory that cannot be opened gives the
// empty list; only an error while reading its entries is an error.
awaitable<Result<std::vector<SessionSummary>>> list_sessions(std::string sessions_dir);

awaitable<Result<SessionContent>> load_session(std::string path);

// Nothing when no record of the file names the request.
awaitable<Result<std::optional<RequestDetail>>> load_request_detail(std::string path,
                                                                    std::string request_id);

// The same work on text already in memory, and on files without the
// runtime (these run on the calling thread).
SessionContent read_session(std::string_view text);
std::optional<RequestDetail> read_request_detail(std::string_view text, std::string_view request_id);
Result<std::vector<SessionSummary>> list_sessions_now(const std::string& sessions_dir);
Result<SessionContent> load_session_now(const std::string& path);
Result<std::optional<RequestDetail>> load_request_detail_now(const std::string& path,
                                                             std::string_view request_id);

// The bytes of a record's "b64" member; empty when it is absent, no string
// or not valid Base64.
std::string decode_b64(const Json& record);

// The longest line read, LF not counted. The recorder cuts bodies into
// pieces (RECORD_PIECE_BYTES), so its longest line stays far below this;
// a longer one is broken or planted, and is handed over as the empty line,
// which no reader takes for a record. Its bytes are never held whole.
inline constexpr size_t MAX_SESSION_LINE_BYTES = size_t{32} << 20;

// Calls on_line for each line of text: pieces cut at LF, each losing its LF
// and one CR right before it; a last piece without LF is a line, the empty
// piece after a final LF is not. A line longer than MAX_SESSION_LINE_BYTES
// comes as the empty line.
void for_each_line(std::string_view text, const std::function<void(std::string_view)>& on_line);

// The same over a file, read in pieces. Fails with the system's error when
// the file cannot be opened or read (a directory fails on its first read; a
// symbolic link is not followed and fails at once), with "not a regular
// file" for a device, pipe or socket (which could block or never end), and
// with "stream did not contain valid UTF-8" when the content is not UTF-8;
// lines may already have been handed over then. The bytes of a line too
// long to be read are dropped unchecked.
Result<void> for_each_file_line(const std::string& path,
                                const std::function<void(std::string_view)>& on_line);

}  // namespace vostrelin::inspector
