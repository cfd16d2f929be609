// File-system paths as text: joining a directory and a name, and the home
// directory. The key-file lookup and the session files both build on these.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vostrelin {

// dir + "/" + name, without doubling a "/" that dir already ends with.
std::string join_path(std::string_view dir, std::string_view name);

// HOME when set and not empty, else the password-database entry of the real
// user, else nothing. Looked up anew on every call.
std::optional<std::string> home_dir();

}  // namespace vostrelin
