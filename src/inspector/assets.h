// What the inspector's pages embed: the style sheet, inserted into every
// page, and the logo, served as "/logo.png".
#pragma once

#include <string_view>

namespace vostrelin::inspector {

extern const std::string_view STYLE_SHEET;

// A 400x400 8-bit RGBA PNG.
std::string_view logo_png();

}  // namespace vostrelin::inspector
