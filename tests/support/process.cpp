#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vostrelin::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vostrelin-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make every directory writable again so a test that took permissions away
  // does not leave its tree behind.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
  }
  ::chmod(path_.c_str(), 0700);
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string install_program(const std::string& dir) {
  std::string target = dir + "/vostrelin";
  std::filesystem::copy_file(VOSTRELIN_TEST_PROGRAM, target,
                             std::filesystem::copy_options::overwrite_existing);
  ::chmod(target.c_str(), 0755);
  return target;
}

Process::Process(std::vector<std::string> argv, Env env, std::string cwd, int user) {
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  // A sanitized program reports where the sanitized suite asks its own
  // reports to go, and takes the suite's longer bound for a local
  // connection that takes nothing.
  for (const char* name :
       {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "VOSTRELIN_TEST_STALL_MS"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && env.count(name) == 0) env_strings.push_back(std::string(name) + "=" + value);
  }

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
    // The test runner may have changed signal dispositions; start clean.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (user >= 0) {
      const auto id = static_cast<uid_t>(user);
      if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) ::_exit(125);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    ::execve(args[0] != nullptr ? args[0] : "", args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

Process::~Process() {
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

void Process::signal(int sig) {
  if (!exited_) ::kill(pid_, sig);
}

// Reads what is available for at most budget, and reaps the process once
// both pipes are closed.
void Process::pump(std::chrono::milliseconds budget) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  int n = ::poll(fds, 2, static_cast<int>(budget.count()));
  if (n > 0) {
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(got));
      } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        ::close(fds[i].fd);
        (i == 0 ? out_fd_ : err_fd_) = -1;
      }
    }
  }
  if (!exited_) {
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
  }
}

void Process::drain() {
  for (int i = 0; i < 64; ++i) {
    size_t before = out_.size() + err_.size();
    pump(std::chrono::milliseconds(0));
    if (out_.size() + err_.size() == before) return;
  }
}

bool Process::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pump(10ms);
    // Output written just before the exit is still in the pipes.
    if (exited_ && out_fd_ < 0 && err_fd_ < 0) return true;
    if (exited_) {
      // A child of the program may hold the pipes open; do not wait on it.
      for (int i = 0; i < 20 && (out_fd_ >= 0 || err_fd_ >= 0); ++i) pump(5ms);
      return true;
    }
  }
  return exited_;
}

bool Process::wait_for(const std::string& stream, std::string_view needle,
                       std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (stream.find(needle) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (exited_ && out_fd_ < 0 && err_fd_ < 0) return false;
    pump(10ms);
  }
}

bool Process::wait_for_stdout(std::string_view needle, std::chrono::milliseconds timeout) {
  return wait_for(out_, needle, timeout);
}

bool Process::wait_for_stderr(std::string_view needle, std::chrono::milliseconds timeout) {
  return wait_for(err_, needle, timeout);
}

RunResult run_program(std::vector<std::string> argv, Env env, std::chrono::milliseconds timeout,
                      std::string cwd) {
  Process p(std::move(argv), std::move(env), std::move(cwd));
  RunResult r;
  if (!p.wait(timeout)) {
    r.timed_out = true;
    p.signal(SIGKILL);
    p.wait(2s);
  }
  r.status = p.status();
  r.out = p.out();
  r.err = p.err();
  return r;
}

}  // namespace vostrelin::test
