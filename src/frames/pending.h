// The bytes received from the service and not yet taken as frames, with the
// limit that keeps them bounded. The server reader appends what each read
// returns and takes frames from the front until none can be taken.
//
// Two fronts end the session instead of waiting for ever: one that can never
// become a frame, and one that would make a frame longer than the limit (a
// "MESG." frame announcing more, or a front that is already that long and
// still incomplete). The limit is far above the largest frame the service
// sends (a UDP datagram frame, an HTTP chunk), so it only stops a broken or
// hostile peer; while it holds, memory stays at most the limit plus one read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "frames/frame.h"

namespace vostrelin::frames {

inline constexpr size_t MAX_FRAME_BYTES = 16 * 1024 * 1024;

class Pending {
 public:
  explicit Pending(FrameTags tags, size_t max_frame = MAX_FRAME_BYTES) : tags_(tags), max_frame_(max_frame) {}

  void append(std::string_view bytes);

  // The next frame (its bytes are then gone from the front), NeedMore, or
  // Malformed with the whole message for the user when the session cannot go
  // on. After Malformed the front stays as it was.
  FrontScan next();

  // Bytes held, including the front still being collected.
  size_t size() const { return buf_.size() - start_; }
  std::string_view front() const { return std::string_view(buf_).substr(start_); }

  // Bytes the scans of the current front have looked at: each scan goes on
  // where the previous one stopped, so this stays about the front's length
  // however many reads it took.
  size_t scanned() const { return scan_.examined; }

 private:
  FrameTags tags_;
  size_t max_frame_;
  std::string buf_;
  size_t start_ = 0;  // bytes of buf_ already taken
  ScanState scan_;    // how far the scans of the front have got
};

}  // namespace vostrelin::frames
