// Environment variables are process-wide: tests that change one put it back
// when they are done, and tests that read local time set the zone this way.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace vostrelin::test {

// Restores the variable as it was (set or unset) when the object goes.
class ScopedEnv {
 public:
  explicit ScopedEnv(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name) { set(value); }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void set(const std::string& value) { ::setenv(name_, value.c_str(), 1); }
  void unset() { ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Sets the local time zone (TZ) for the object's life.
class LocalZone {
 public:
  explicit LocalZone(const std::string& tz) : env_("TZ", tz) { ::tzset(); }

 private:
  // Members go in reverse order: TZ is put back first, then re-read.
  struct Reread {
    ~Reread() { ::tzset(); }
  } reread_;
  ScopedEnv env_;
};

}  // namespace vostrelin::test
