#include "client_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace vostrelin::bench {

ClientProcess::ClientProcess(const std::string& program, const std::string& mode, uint16_t local_port,
                             uint16_t service_port, const std::string& home, Output output,
                             const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> all{{"HOME", home},
                                         {"PATH", "/usr/bin:/bin"},
                                         {"VOSTRELIN_TEST_SERVICE_PORT", std::to_string(service_port)}};
  if (const char* term = std::getenv("TERM")) all["TERM"] = term;
  for (const auto& [k, v] : env) all[k] = v;
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : all) env_strings.push_back(k + "=" + v);
  std::vector<std::string> args{program, mode, std::to_string(local_port)};

  err_path_ = home + "/client.err";
  int out_fd = -1, slave = -1;
  if (output == Output::File) {
    out_fd = ::open((home + "/client.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } else if (output == Output::Terminal) {
    if (::openpty(&pty_master_, &slave, nullptr, nullptr, nullptr) != 0) {
      pty_master_ = -1;
      out_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else {
      ::fcntl(pty_master_, F_SETFD, FD_CLOEXEC);
      out_fd = slave;
    }
  }
  int err_fd = output == Output::Inherit ? -1
                                         : ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

  pid_ = ::fork();
  if (pid_ == 0) {
    if (out_fd >= 0) ::dup2(out_fd, STDOUT_FILENO);
    if (err_fd >= 0) ::dup2(err_fd, STDERR_FILENO);
    int null_in = ::open("/dev/null", O_RDONLY);
    if (null_in >= 0) ::dup2(null_in, STDIN_FILENO);
    if (output != Output::Inherit) ::setpgid(0, 0);  // Ctrl+C at the bench's terminal is the bench's
    // A bench that is stopped or dies takes its client with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1) ::_exit(127);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    ::execve(program.c_str(), argv.data(), envp.data());
    std::perror("execve");
    ::_exit(127);
  }
  if (out_fd >= 0) ::close(out_fd);
  if (err_fd >= 0) ::close(err_fd);

  if (pty_master_ >= 0) {
    // The terminal's reader: takes everything and keeps nothing.
    draining_ = true;
    drain_ = std::thread([this] {
      std::vector<char> buf(1 << 16);
      while (draining_) {
        if (!wait_readable(pty_master_, 50ms)) continue;
        ssize_t n = ::read(pty_master_, buf.data(), buf.size());
        if (n <= 0) break;
      }
    });
  }
}

ClientProcess::~ClientProcess() {
  stop();
  if (drain_.joinable()) {
    draining_ = false;
    drain_.join();
  }
  if (pty_master_ >= 0) ::close(pty_master_);
}

bool ClientProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ClientProcess::stop() {
  if (!running()) return;
  ::kill(pid_, SIGINT);
  for (int i = 0; i < 300; ++i) {
    if (!running()) return;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

double ClientProcess::cpu_seconds() const {
  std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  // The command name may hold blanks; the fields after it are plain.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long ClientProcess::rss_kib() const {
  std::ifstream f("/proc/" + std::to_string(pid_) + "/statm");
  long size = 0, resident = 0;
  if (!(f >> size >> resident)) return 0;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long ClientProcess::thread_count() const {
  std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::strtol(line.c_str() + 8, nullptr, 10);
  }
  return -1;
}

long ClientProcess::open_descriptors() const {
  std::error_code ec;
  long n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++n;
  }
  return ec ? -1 : n;
}

std::string ClientProcess::error_text() const {
  std::ifstream f(err_path_);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

RssSampler::RssSampler(const ClientProcess& process) : process_(process) {
  thread_ = std::thread([this] {
    while (!stop_) {
      long now = process_.rss_kib();
      if (now > peak_) peak_ = now;
      std::this_thread::sleep_for(5ms);
    }
  });
}

RssSampler::~RssSampler() {
  stop_ = true;
  thread_.join();
}

long RssSampler::peak_kib() {
  long now = process_.rss_kib();
  if (now > peak_) peak_ = now;
  return peak_;
}

}  // namespace vostrelin::bench
