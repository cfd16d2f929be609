// Writing the program's messages. Each message goes out whole in one call
// and is never interleaved with another message of the process; standard
// output is not buffered by us, so a line reaches a pipe or file as soon as
// it is written. A failed write (a closed terminal or pipe) is ignored.
#pragma once

#include <string_view>

namespace vostrelin {

void write_stdout(std::string_view message);
void write_stderr(std::string_view message);

// Whether standard output is a terminal, read once at start-up.
bool stdout_is_terminal();

}  // namespace vostrelin
