// Files compiled into the program (embed_resource.cmake writes their arrays).
#pragma once

#include <cstddef>

namespace cpl::resources {

// The window's background image: a 432 x 428 PNG, 8-bit RGBA.
extern const unsigned char background_png[];
extern const std::size_t background_png_size;

}  // namespace cpl::resources
