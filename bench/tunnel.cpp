#include "tunnel.h"

#include <charconv>
#include <filesystem>
#include <fstream>

namespace vostrelin::bench {

std::string home_dir(const Settings& s, const std::string& name) {
  std::string home = s.work_dir + "/" + name;
  std::filesystem::create_directories(home);
  std::ofstream(home + "/vostrelin.key") << "bench-token\n";
  return home;
}

std::unique_ptr<Tunnel> open_tunnel(const Settings& s, const std::string& mode, uint16_t local_port, Output output,
                                    std::map<std::string, std::string> env, const std::string& home_name) {
  auto t = std::make_unique<Tunnel>();
  if (!t->listener.ok()) {
    t->error = "no control listener";
    return t;
  }
  std::string home = home_dir(s, home_name);
  t->client = std::make_unique<ClientProcess>(s.program, mode, local_port, t->listener.port(), home, output, env);
  t->link = t->listener.accept_session("bench.tunnel.example", 10s, t->error);
  if (t->link && !t->link->ping(t->parser)) {
    t->error = "no answer to PING after the handshake";
    t->link.reset();
  }
  if (!t->link) {
    std::string err = t->client->error_text();
    if (!err.empty()) t->error += " (client: " + err.substr(0, 300) + ")";
  }
  return t;
}

int id_index(std::string_view id, int first) {
  int n = 0;
  auto [p, ec] = std::from_chars(id.data(), id.data() + id.size(), n);
  if (ec != std::errc() || p != id.data() + id.size()) return -1;
  return n - first;
}

std::string payload_pattern(size_t n) {
  std::string p(n, '\0');
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>('a' + i % 26);
  return p;
}

}  // namespace vostrelin::bench
