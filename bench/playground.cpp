// The playground: the fake service and the loopback-built client in front
// of a local port, with a public port on 127.0.0.1 whose connections (or,
// for UDP, whose senders) the fake service relays as the real service
// would. It runs until Ctrl+C, so a person can try the client with curl,
// nc or a browser and watch its output and its inspector.
#include "playground.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_process.h"
#include "fake_service.h"

namespace vostrelin::bench {
namespace {

std::atomic<bool> interrupted{false};
void on_interrupt(int) { interrupted = true; }

std::string frame(const std::string& id, const char* bytes, size_t n) {
  std::string f = "MESG." + id + "." + std::to_string(n) + ".";
  f.append(bytes, n);
  return f;
}

// The client's home for one run: a directory of its own, so that two
// playgrounds at once keep their session files apart.
std::string make_home() {
  std::string templ = (std::filesystem::temp_directory_path() / "vostrelin-playground-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) return {};
  return templ;
}

bool holds_files(const std::string& dir) {
  std::error_code ec;
  return !std::filesystem::is_empty(dir, ec) && !ec;
}

// What the client takes from the playground's own environment: the
// inspector's switch and port, so that a second HTTP playground can put
// its inspector beside the first one's.
std::map<std::string, std::string> passed_environment() {
  std::map<std::string, std::string> env;
  for (const char* name : {"VOSTRELIN_INSPECTOR", "VOSTRELIN_INSPECTOR_PORT"}) {
    if (const char* value = std::getenv(name)) env[name] = value;
  }
  return env;
}

}  // namespace

int play(const std::string& program, const std::string& mode, uint16_t local_port, uint16_t public_port) {
  const bool udp = mode == "UDP";
  const bool http = mode == "HTTP";
  const std::map<std::string, std::string> env = passed_environment();
  const auto switch_ = env.find("VOSTRELIN_INSPECTOR");
  const bool recording = http && (switch_ == env.end() || switch_->second != "off");
  const std::string home = make_home();
  if (home.empty()) {
    std::fprintf(stderr, "playground: no directory for the client's home\n");
    return 1;
  }
  const std::string sessions = home + "/.vostrelin/sessions";
  // The session files outlive the run; a run that recorded nothing leaves
  // nothing behind.
  struct HomeKeeper {
    const std::string& home;
    const std::string& sessions;
    ~HomeKeeper() {
      std::error_code ec;
      if (holds_files(sessions)) {
        std::fprintf(stderr, "playground: session files kept in %s\n", sessions.c_str());
      } else {
        std::filesystem::remove_all(home, ec);
      }
    }
  } keeper{home, sessions};
  std::ofstream(home + "/vostrelin.key") << "playground-token\n";

  int public_fd = bind_loopback(udp ? SOCK_DGRAM : SOCK_STREAM, public_port);
  if (public_fd < 0) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", public_port);
    return 1;
  }
  ServiceListener listener;
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);

  ClientProcess client(program, mode, local_port, listener.port(), home, Output::Inherit, env);
  std::string error;
  std::string address = "127.0.0.1:" + std::to_string(public_port);
  std::unique_ptr<ControlLink> link = listener.accept_session(address, 10s, error);
  if (!link) {
    std::fprintf(stderr, "playground: %s\n", error.c_str());
    return 1;
  }
  // The line that ends with "Ctrl+C ends it" comes last: from there on the
  // playground is ready.
  if (recording) std::fprintf(stderr, "playground: session files go to %s and stay there\n", sessions.c_str());
  std::fprintf(stderr, "playground: public port %u (%s, home %s); Ctrl+C ends it\n", public_port,
               udp ? "udp" : http ? "http" : "tcp", home.c_str());

  std::mutex mutex;
  std::map<std::string, int> streams;              // TCP and HTTP: id → public connection
  std::map<std::string, sockaddr_in> peers;        // UDP: id → sender
  std::map<std::string, std::string> by_address;   // UDP: sender → id
  std::map<std::string, std::string> datagrams;    // UDP: datagram being gathered
  int next_id = 1;
  const std::string open_tag = http ? "HTPO." : "TCPO.";
  const std::string close_tag = http ? "HTPC." : "TCPC.";

  std::map<std::string, bool> public_ended;        // TCP: the public side has closed
  std::map<std::string, bool> local_ended;         // TCP: the client has closed the id
  // Takes a stream out of the table: false when it was no longer there.
  const auto take = [&](const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex);
    return streams.erase(id) > 0;
  };

  ClientFrameParser parser;
  parser.events.data = [&](std::string_view id, const char* bytes, size_t n, bool last) {
    std::lock_guard<std::mutex> lock(mutex);
    if (udp) {
      std::string& d = datagrams[std::string(id)];
      d.append(bytes, n);
      auto peer = peers.find(std::string(id));
      if (last && peer != peers.end()) {
        ::sendto(public_fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&peer->second),
                 sizeof peer->second);
      }
      if (last) d.clear();
      return;
    }
    auto it = streams.find(std::string(id));
    if (it != streams.end()) send_all(it->second, bytes, n, Clock::now() + 5s);
  };
  // The local side ended: the public connection gets the end of stream.
  parser.events.tcp_close = [&](std::string_view view) {
    std::string id(view);
    std::lock_guard<std::mutex> lock(mutex);
    auto it = streams.find(id);
    if (it == streams.end()) return;
    ::shutdown(it->second, SHUT_WR);
    local_ended[id] = true;
    if (public_ended[id]) {
      ::close(it->second);
      streams.erase(it);
      public_ended.erase(id);
      local_ended.erase(id);
    }
  };
  // A close frame ends only where the client's next frame begins, and the
  // client may have nothing more to send: its answer to a PING ends the
  // frame, so the public connection sees the end at once. Once per close
  // frame the reads leave open, so a burst of closes costs a PING or two.
  if (!http && !udp) parser.events.tcp_close_pending = [&](std::string_view) { link->send("PING."); };
  // The response is complete: the request is closed on both sides.
  // The public connection's reader sees the shutdown and closes it.
  parser.events.http_close = [&](std::string_view view) {
    std::string id(view);
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = streams.find(id);
      if (it == streams.end()) return;
      ::shutdown(it->second, SHUT_RDWR);
      streams.erase(it);
    }
    link->send("HTPC." + id + "PING.");
  };
  LinkReader reader(*link, parser);

  std::vector<std::thread> threads;
  std::thread public_side([&] {
    std::vector<char> buf(65536);
    while (!interrupted && !reader.ended()) {
      if (!wait_readable(public_fd, 100ms)) continue;
      if (udp) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(public_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        std::string key(reinterpret_cast<const char*>(&from), sizeof from);
        std::string id;
        {
          std::lock_guard<std::mutex> lock(mutex);
          auto it = by_address.find(key);
          if (it == by_address.end()) {
            id = std::to_string(next_id++);
            by_address[key] = id;
            peers[id] = from;
          } else {
            id = it->second;
          }
        }
        link->send(frame(id, buf.data(), static_cast<size_t>(n)));
        continue;
      }
      int fd = ::accept4(public_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string id;
      {
        std::lock_guard<std::mutex> lock(mutex);
        id = std::to_string(next_id++);
        streams[id] = fd;
      }
      // An open frame ends only where the next frame begins.
      link->send(open_tag + id + "PING.");
      threads.emplace_back([&, fd, id] {
        std::vector<char> chunk(65536);
        for (;;) {
          ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
          if (n <= 0) break;
          link->send(frame(id, chunk.data(), static_cast<size_t>(n)));
        }
        // The public side ended: the service closes the id. For TCP the
        // connection stays open for the local side's last bytes until the
        // client closes the id too.
        if (http) {
          if (take(id)) link->send(close_tag + id + "PING.");
          ::close(fd);
        } else {
          link->send(close_tag + id + "PING.");
          std::lock_guard<std::mutex> lock(mutex);
          public_ended[id] = true;
          if (local_ended[id] && streams.erase(id) > 0) {
            ::close(fd);
            public_ended.erase(id);
            local_ended.erase(id);
          }
        }
      });
    }
  });

  while (!interrupted && !reader.ended() && client.running()) std::this_thread::sleep_for(100ms);
  interrupted = true;
  public_side.join();
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [id, fd] : streams) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : threads) t.join();
  reader.stop();
  client.stop();
  ::close(public_fd);
  return 0;
}

}  // namespace vostrelin::bench
