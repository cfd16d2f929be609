// A TCP connection split into a read half and a write half, each owned by
// its own holder. Dropping the write half shuts down the sending direction
// (the peer reads the end of the stream); the connection closes when both
// halves are gone.
//
// The halves share one socket. Its reads and writes may be in flight at the
// same time, but each half's own operations must be started one at a time,
// and from the strand its holder runs on.
#pragma once

#include <asio/ip/tcp.hpp>

#include <memory>
#include <utility>

namespace vostrelin::frames {

class ReadHalf {
 public:
  ReadHalf() = default;
  explicit ReadHalf(std::shared_ptr<asio::ip::tcp::socket> socket) : socket_(std::move(socket)) {}
  ReadHalf(ReadHalf&&) noexcept = default;
  ReadHalf& operator=(ReadHalf&&) noexcept = default;

  asio::ip::tcp::socket& socket() { return *socket_; }
  explicit operator bool() const { return socket_ != nullptr; }

 private:
  std::shared_ptr<asio::ip::tcp::socket> socket_;
};

class WriteHalf {
 public:
  WriteHalf() = default;
  explicit WriteHalf(std::shared_ptr<asio::ip::tcp::socket> socket) : socket_(std::move(socket)) {}
  WriteHalf(WriteHalf&& other) noexcept : socket_(std::move(other.socket_)) {}
  WriteHalf& operator=(WriteHalf&& other) noexcept {
    if (this != &other) {
      release();
      socket_ = std::move(other.socket_);
    }
    return *this;
  }
  ~WriteHalf() { release(); }

  asio::ip::tcp::socket& socket() { return *socket_; }
  explicit operator bool() const { return socket_ != nullptr; }

  // Shuts down the sending direction now.
  void release() {
    if (!socket_) return;
    asio::error_code ignored;
    socket_->shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    socket_.reset();
  }

 private:
  std::shared_ptr<asio::ip::tcp::socket> socket_;
};

inline std::pair<ReadHalf, WriteHalf> split(asio::ip::tcp::socket socket) {
  auto shared = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
  return {ReadHalf(shared), WriteHalf(shared)};
}

}  // namespace vostrelin::frames
