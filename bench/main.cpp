// vostrelin_bench: measures the client against direct loopback, and doubles
// as a playground for trying the client on one machine.
//
//   vostrelin_bench [--quick | --smoke] [--json FILE] [--only tcp,http,udp,memory]
//                   [--no-terminal] [--program PATH]
//   vostrelin_bench play HTTP|TCP|UDP <local port> [<public port>] [--program PATH]
//   vostrelin_bench soak [--quick] [--only reconnect,stall,hostile,local-faults,scale,inspector]
//
// Everything runs on 127.0.0.1, every run is bounded, and the bench stops by
// itself.
#include <signal.h>
#include <stdlib.h>
#include <cctype>
#include <thread>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "playground.h"
#include "report.h"
#include "scenarios.h"
#include "soak.h"

namespace {

using namespace vostrelin::bench;

int usage() {
  std::fprintf(stderr,
               "usage: vostrelin_bench [--quick | --smoke] [--json FILE] [--only tcp,http,udp,memory]\n"
               "                       [--no-terminal] [--program PATH]\n"
               "       vostrelin_bench play HTTP|TCP|UDP <local port> [<public port>] [--program PATH]\n"
               "       vostrelin_bench soak [--quick] [--only reconnect,stall,hostile,local-faults,scale,inspector]\n");
  return 2;
}

bool parse_port(const std::string& text, uint16_t& port, bool zero_ok) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v > 65535 || (v == 0 && !zero_ok)) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

std::string scratch_dir() {
  std::string templ = (std::filesystem::temp_directory_path() / "vostrelin-bench-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) return {};
  return templ;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string program = VOSTRELIN_BENCH_PROGRAM;
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--program") {
      program = args[i + 1];
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  if (::access(program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "vostrelin_bench: cannot run the client at %s\n", program.c_str());
    return 1;
  }

  if (!args.empty() && args[0] == "soak") {
    return soak_main(program, std::vector<std::string>(args.begin() + 1, args.end()));
  }

  if (!args.empty() && args[0] == "play") {
    if (args.size() < 3 || args.size() > 4) return usage();
    std::string mode = args[1];
    for (char& c : mode) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    uint16_t local = 0, public_port = 0;
    if ((mode != "HTTP" && mode != "TCP" && mode != "UDP") || !parse_port(args[2], local, false) ||
        (args.size() == 4 && !parse_port(args[3], public_port, true))) {
      return usage();
    }
    return play(program, mode, local, public_port);
  }

  Settings settings;
  settings.program = program;
  Report report;
  report.mode = "full";
  std::string json = "bench-results.json";
  std::string only = "tcp,http,udp,memory";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--quick") {
      report.mode = "quick";
      settings.tcp_bytes = 32ull << 20;
      settings.http_duration = std::chrono::milliseconds(500);
      settings.udp_datagrams = 8192;
      settings.big_bytes = 256ull << 20;
      settings.memory_runs = 1;
      settings.stall = std::chrono::milliseconds(2000);
    } else if (a == "--smoke") {
      // One tiny pass of everything: it shows that the harness still runs,
      // not how fast anything is.
      report.mode = "smoke";
      settings.runs = 1;
      settings.tcp_bytes = 1ull << 20;
      settings.http_duration = std::chrono::milliseconds(100);
      settings.udp_datagrams = 1024;
      settings.big_bytes = 4ull << 20;
      settings.memory_runs = 1;
      settings.idle_ids = 100;
      settings.terminal = false;
      settings.stall = std::chrono::milliseconds(1000);
    } else if (a == "--json" && i + 1 < args.size()) {
      json = args[++i];
    } else if (a == "--only" && i + 1 < args.size()) {
      only = args[++i];
    } else if (a == "--no-terminal") {
      settings.terminal = false;
    } else {
      return usage();
    }
  }

  settings.work_dir = scratch_dir();
  if (settings.work_dir.empty()) {
    std::fprintf(stderr, "vostrelin_bench: no scratch directory\n");
    return 1;
  }
  const std::string parts = "," + only + ",";
  const auto wanted = [&](const std::string& part) { return parts.find(',' + part + ',') != std::string::npos; };
  if (wanted("tcp")) run_tcp(settings, report);
  if (wanted("http")) run_http(settings, report);
  if (wanted("udp")) run_udp(settings, report);
  if (wanted("memory")) run_memory(settings, report);
  std::filesystem::remove_all(settings.work_dir);

  std::printf("\nvostrelin bench (%s; %d runs per figure, %u CPUs)\n\n", report.mode.c_str(), settings.runs,
              std::thread::hardware_concurrency());
  report.print();
  if (!report.write_json(json)) {
    std::fprintf(stderr, "vostrelin_bench: cannot write %s\n", json.c_str());
    return 1;
  }
  std::printf("\nJSON: %s\n", json.c_str());
  // A figure that failed is in the table; only a harness that could not
  // run at all is an error here.
  return 0;
}
