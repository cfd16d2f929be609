// The soak and fault run: long and hostile loads against the client, each
// scenario printing what it measured and its verdict. It is a command of
// its own (`vostrelin_bench soak`), not part of the test suite.
#pragma once

#include <string>
#include <vector>

namespace vostrelin::bench {

// `args` are what follows "soak" on the command line. Returns the exit
// status: 0 when every scenario passed, 1 when one failed, 2 on a usage
// error.
int soak_main(const std::string& program, const std::vector<std::string>& args);

}  // namespace vostrelin::bench
