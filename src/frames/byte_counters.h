// The two live byte counts of a TCP or UDP session and their redraw in
// place on the terminal. Adders count with a plain atomic addition and then
// call print_stats(); the redraw lock only keeps two redraws from mixing
// their bytes, and it is the last lock ever taken: whoever also holds a
// connection table's lock took that one first, and nothing is locked while
// this one is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace vostrelin::frames {

struct ByteCounters {
  std::atomic<uint64_t> to_local{0};    // bytes delivered to the local service
  std::atomic<uint64_t> from_local{0};  // bytes taken from it
  std::mutex print_lock;

  // Rewrites the two lines just above the cursor with the current counts.
  // Never fails; a write that cannot be made is dropped.
  void print_stats();
};

// The two counter lines as first printed, below the mode line.
std::string stats_lines(uint64_t to_local, uint64_t from_local);

// One redraw: cursor up two lines, each line rewritten and erased to its end.
std::string stats_redraw(uint64_t to_local, uint64_t from_local);

}  // namespace vostrelin::frames
