#include "frames/local_io.h"

#include <memory>
#include <string>
#include <vector>

namespace vostrelin::frames {
namespace {

// Bytes handed to one write at most, so that the queue learns of progress
// while a large backlog goes out.
constexpr size_t WRITE_BATCH_BYTES = 256 * 1024;

class WriteZeroCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "vostrelin.write"; }
  std::string message(int) const override { return "write zero"; }
};

}  // namespace

std::span<char> thread_read_buffer(size_t size) {
  // Never zero-filled: every read overwrites what it reports.
  thread_local std::unique_ptr<char[]> buffer;
  thread_local size_t capacity = 0;
  if (capacity < size) {
    buffer.reset(new char[size]);
    capacity = size;
  }
  return {buffer.get(), size};
}

std::error_code write_zero_error() {
  static const WriteZeroCategory category;
  return {1, category};
}

awaitable<std::error_code> write_queue(LocalQueue& queue, asio::ip::tcp::socket& socket,
                                       const std::function<void(size_t)>& item_written) {
  std::vector<std::string> batch;
  std::vector<asio::const_buffer> buffers;
  for (;;) {
    batch.clear();
    if (!co_await queue.take(batch, WRITE_BATCH_BYTES)) co_return std::error_code();
    size_t item = 0;    // the first item not yet written whole
    size_t offset = 0;  // bytes of it already written
    for (;;) {
      // Items written whole (empty ones at once) are reported in order.
      while (item < batch.size() && offset == batch[item].size()) {
        item_written(batch[item].size());
        ++item;
        offset = 0;
      }
      if (item == batch.size()) break;
      buffers.clear();
      buffers.push_back(asio::buffer(batch[item].data() + offset, batch[item].size() - offset));
      for (size_t i = item + 1; i < batch.size(); ++i) buffers.push_back(asio::buffer(batch[i]));
      // Written at once where the socket takes the bytes, so each count is
      // on the terminal before the local service can have answered it (the
      // reading direction runs on the same strand).
      asio::error_code ec;
      size_t n = socket.write_some(buffers, ec);
      if (ec == asio::error::would_block) {
        auto [waited] = co_await socket.async_wait(asio::ip::tcp::socket::wait_write, as_tuple_awaitable);
        if (waited) co_return waited;
        continue;
      }
      if (ec) co_return ec;
      if (n == 0) co_return write_zero_error();
      queue.written(n);
      while (n > 0) {
        size_t step = std::min(n, batch[item].size() - offset);
        offset += step;
        n -= step;
        if (offset == batch[item].size() && n > 0) {
          item_written(batch[item].size());
          ++item;
          offset = 0;
        }
      }
    }
  }
}

}  // namespace vostrelin::frames
