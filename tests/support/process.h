// Running the program under test as a user would: a fresh environment, its
// own working directory, standard output and error captured, and every wait
// bounded by a time-out.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vostrelin::test {

using namespace std::chrono_literals;
using Env = std::map<std::string, std::string>;

// A directory removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

void write_file(const std::string& path, std::string_view content);
std::string read_file(const std::string& path);

// Copies the test variant of the program into dir (as dir/vostrelin) so that
// "beside the executable" is a directory the test controls.
std::string install_program(const std::string& dir);

class Process {
 public:
  // argv[0] is the path to run. env is the whole environment, but for the
  // sanitizers' options, which are passed on as they are. A user id of
  // 0 or more runs the program as that user (and its own group id), which
  // lets a test run by root see permissions as a user does.
  Process(std::vector<std::string> argv, Env env, std::string cwd = {}, int user = -1);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void signal(int sig);

  // True when the process ended within the time-out.
  bool wait(std::chrono::milliseconds timeout);

  // True when the captured standard output (or error) holds needle, read
  // within the time-out.
  bool wait_for_stdout(std::string_view needle, std::chrono::milliseconds timeout);
  bool wait_for_stderr(std::string_view needle, std::chrono::milliseconds timeout);

  // Takes in what the program has written so far without waiting, so that
  // a program writing much (counter redraws) never blocks on a full pipe.
  void drain();

  bool running() const { return !exited_; }
  int pid() const { return pid_; }
  // Exit status, or 128 + signal number when a signal ended it.
  int status() const { return status_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  void pump(std::chrono::milliseconds budget);
  bool wait_for(const std::string& stream, std::string_view needle, std::chrono::milliseconds timeout);

  int pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string out_;
  std::string err_;
};

struct RunResult {
  int status = -1;
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs to completion (killed after the time-out, then timed_out is set).
RunResult run_program(std::vector<std::string> argv, Env env, std::chrono::milliseconds timeout = 10s,
                      std::string cwd = {});

}  // namespace vostrelin::test
