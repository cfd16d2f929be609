// Where the user's files are: the key file holding the access token, the
// sessions directory, and the inspector's port. Nothing is cached; every
// call looks at the file system and environment anew.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/error.h"
#include "support/paths.h"

namespace vostrelin {

inline constexpr std::string_view KEY_FILE_NAME = "vostrelin.key";
inline constexpr uint16_t DEFAULT_INSPECTOR_PORT = 4040;
// The most a key file may hold; a token is far shorter.
inline constexpr size_t MAX_KEY_FILE_BYTES = size_t{1} << 20;

// The first of: beside the executable, in the home directory, in
// ~/.vostrelin/, that exists (following links; any kind of object counts).
Result<std::string> locate_key_file();

// The same lookup with the executable's path and home directory given.
Result<std::string> locate_key_file_among(const std::optional<std::string>& executable,
                                          const std::optional<std::string>& home);

Result<std::string> sessions_dir();

// The access token in the key file at path: its whole content, which must
// be UTF-8, trimmed of white space.
Result<std::string> read_access_token(const std::string& path);

// VOSTRELIN_INSPECTOR_PORT when it is a port number from 1 to 65535,
// else 4040.
uint16_t inspector_port();

}  // namespace vostrelin
