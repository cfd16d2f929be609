// The fatal-error policy: which handshake failures end the program instead
// of being retried.
#pragma once

#include <string_view>

namespace vostrelin {

// Whether a handshake failure, given by its outermost message, is one that
// connecting again cannot cure. Letter case does not matter.
bool is_fatal_handshake_error(std::string_view message);

}  // namespace vostrelin
