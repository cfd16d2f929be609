// The error value every fallible operation returns: a chain of context
// messages, outermost first. Users are shown the outermost message; the rest
// of the chain says what lay beneath it.
#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

namespace vostrelin {

class Error {
 public:
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  // Puts a message over the ones already held.
  Error& context(std::string outer) & {
    chain_.insert(chain_.begin(), std::move(outer));
    return *this;
  }
  Error&& context(std::string outer) && { return std::move(context(std::move(outer))); }

  const std::string& message() const { return chain_.front(); }
  const std::vector<std::string>& chain() const { return chain_; }

  // The whole chain on one line, "outer: inner: cause".
  std::string describe() const {
    std::string s;
    for (const std::string& m : chain_) {
      if (!s.empty()) s += ": ";
      s += m;
    }
    return s;
  }

 private:
  std::vector<std::string> chain_;
};

inline Error system_error(const std::error_code& ec) { return Error(ec.message()); }

// A value or an error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

  Result&& context(std::string outer) && {
    if (!ok()) std::get<1>(v_).context(std::move(outer));
    return std::move(*this);
  }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }

  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

  Result&& context(std::string outer) && {
    if (error_) error_->context(std::move(outer));
    return std::move(*this);
  }

 private:
  std::optional<Error> error_;
};

}  // namespace vostrelin
