#include "frames/byte_counters.h"

#include "support/output.h"

namespace vostrelin::frames {

namespace {

constexpr const char* SENT_LABEL = "Передано байт: ";
constexpr const char* RECEIVED_LABEL = "Принято байт: ";

}  // namespace

std::string stats_lines(uint64_t to_local, uint64_t from_local) {
  return SENT_LABEL + std::to_string(to_local) + "\n" + RECEIVED_LABEL + std::to_string(from_local) + "\n";
}

std::string stats_redraw(uint64_t to_local, uint64_t from_local) {
  return "\x1b[2A\r" + (SENT_LABEL + std::to_string(to_local)) + "\x1b[K\n" + RECEIVED_LABEL +
         std::to_string(from_local) + "\x1b[K\n";
}

void ByteCounters::print_stats() {
  std::lock_guard<std::mutex> guard(print_lock);
  // Each count is read once, after the caller's addition: the last redraw
  // shows every byte counted before it.
  uint64_t to = to_local.load();
  uint64_t from = from_local.load();
  // Standard output is written unbuffered, so the redraw is out once the
  // write returns; there is nothing left to flush.
  write_stdout(stats_redraw(to, from));
}

}  // namespace vostrelin::frames
