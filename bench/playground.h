// A development tool of the bench, not part of the shipped program: the
// client in `mode` ("HTTP", "TCP", "UDP") in front of local_port, reachable
// through the fake service at 127.0.0.1:public_port (0: any free port).
// The client's home is a new directory in the temporary directory; it is
// kept when the run recorded session files, and removed otherwise.
#pragma once

#include <cstdint>
#include <string>

namespace vostrelin::bench {

int play(const std::string& program, const std::string& mode, uint16_t local_port, uint16_t public_port);

}  // namespace vostrelin::bench
