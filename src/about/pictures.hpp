// The About box's pictures, drawn in code: the Replikon logo (two sheets, one
// copied from the other, on a blue tile) at any size.
#pragma once

#include "replikon/detail/layer_about.hpp"

#include <cstdint>
#include <vector>

namespace replikon::about {

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;  // width * height pixels, 4 bytes each, rows top to bottom
};

// The logo as a square picture of `size` pixels (at least 1), anti-aliased.
Picture RenderLogo(int size);

}  // namespace replikon::about
