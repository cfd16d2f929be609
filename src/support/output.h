// Writing the program's messages. Each message goes out whole in one call
// and is never interleaved with another message of the process; standard
// output is not buffered by us, so a line reaches a pipe or file as soon as
// it is written. A failed write (a closed terminal or pipe) is ignored.
#pragma once

#include <string_view>

namespace vostrelin {

void write_stdout(std::string_view message);
void write_stderr(std::string_view message);

// Colour and cursor sequences may be written to a terminal. Always true;
// the terminal test is what keeps them out of files and pipes.
inline constexpr bool ANSI_SUPPORTED = true;

// Whether standard output is a terminal, looked at anew at every call:
// descriptor 1 may be pointed elsewhere while the program runs.
bool stdout_is_terminal();

}  // namespace vostrelin
