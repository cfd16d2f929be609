#include "frames/pending.h"

namespace vostrelin::frames {
namespace {

// Capacity kept after a large frame has gone; more is given back.
constexpr size_t KEEP_CAPACITY = 256 * 1024;

std::string too_long(size_t max_frame, std::string_view front) {
  return "Кадр от сервера длиннее " + std::to_string(max_frame) + " байт: \"" + quote_front(front) + "\"";
}

}  // namespace

void Pending::append(std::string_view bytes) {
  // Taken bytes leave once per read, not once per frame, so many small
  // frames in one read cost no more than one move of what is left.
  if (start_ > 0) {
    buf_.erase(0, start_);
    start_ = 0;
  }
  buf_.append(bytes);
}

FrontScan Pending::next() {
  std::string_view bytes = front();
  FrontScan scan = scan_front(bytes, tags_, scan_);
  if (Parsed* parsed = std::get_if<Parsed>(&scan)) {
    start_ += parsed->count;
    if (start_ == buf_.size()) {
      buf_.clear();
      start_ = 0;
      if (buf_.capacity() > KEEP_CAPACITY) std::string().swap(buf_);
    }
    return scan;
  }
  if (Malformed* bad = std::get_if<Malformed>(&scan)) {
    return Malformed{"Неверный кадр от сервера (" + bad->reason + "): \"" + quote_front(bytes) + "\""};
  }
  const NeedMore& more = std::get<NeedMore>(scan);
  if (more.needed && *more.needed > max_frame_) return Malformed{too_long(max_frame_, bytes)};
  // A whole frame of at most max_frame_ bytes would have parsed.
  if (bytes.size() >= max_frame_) return Malformed{too_long(max_frame_, bytes)};
  return scan;
}

}  // namespace vostrelin::frames
