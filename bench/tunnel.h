// One session of the client under the fake service, shared by the bench's
// measurements and the soak run: the control listener, the client process,
// the service's end of the control connection and the parser of what the
// client sends on it. Also the small waiting and payload helpers both use.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "client_process.h"
#include "fake_service.h"
#include "scenarios.h"

namespace vostrelin::bench {

struct Tunnel {
  ServiceListener listener;
  std::unique_ptr<ClientProcess> client;
  std::unique_ptr<ControlLink> link;
  ClientFrameParser parser;
  std::string error;
};

// A home directory under the work directory, holding the key file.
std::string home_dir(const Settings& s, const std::string& name);

// Starts the client in `mode` in front of `local_port` and plays the
// handshake; `link` is empty (and `error` says why) when the session did
// not come up or did not answer a PING.
std::unique_ptr<Tunnel> open_tunnel(const Settings& s, const std::string& mode, uint16_t local_port,
                                    Output output = Output::File,
                                    std::map<std::string, std::string> env = {{"VOSTRELIN_INSPECTOR", "off"}},
                                    const std::string& home_name = "home");

// Turns the id of a data frame into an index into this run's streams.
int id_index(std::string_view id, int first);

std::string payload_pattern(size_t n);

// Waits until done() holds; fails when progress() stays the same for the
// stall limit.
template <class Done, class Progress>
bool wait_progress(Done done, Progress progress, std::chrono::milliseconds stall) {
  auto last = progress();
  Clock::time_point moved = Clock::now();
  while (!done()) {
    std::this_thread::sleep_for(1ms);
    auto now = progress();
    if (now != last) {
      last = now;
      moved = Clock::now();
    } else if (Clock::now() - moved > stall) {
      return false;
    }
  }
  return true;
}

}  // namespace vostrelin::bench
