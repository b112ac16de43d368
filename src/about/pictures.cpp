#include "about/pictures.hpp"

#include <algorithm>
#include <cmath>

namespace replikon::about {
namespace {

struct Rgba {
  double r = 0;
  double g = 0;
  double b = 0;
  double a = 0;
};

// Paints `top` with opacity `alpha` over `base`.
Rgba Over(const Rgba& base, const Rgba& top, double alpha) {
  const double a = top.a * alpha;
  return {base.r * (1 - a) + top.r * a, base.g * (1 - a) + top.g * a, base.b * (1 - a) + top.b * a,
          base.a * (1 - a) + a};
}

// Whether (x, y) lies in the rectangle [x0, x1] x [y0, y1] with corners rounded by r.
bool InRoundedRect(double x, double y, double x0, double y0, double x1, double y1, double r) {
  if (x < x0 || x > x1 || y < y0 || y > y1) return false;
  const double cx = std::clamp(x, x0 + r, x1 - r);
  const double cy = std::clamp(y, y0 + r, y1 - r);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

// The logo's colour at a point of the unit square.
Rgba LogoAt(double x, double y) {
  Rgba c;
  if (!InRoundedRect(x, y, 0.02, 0.02, 0.98, 0.98, 0.2)) return c;
  // The tile: a diagonal blend from blue to teal.
  const double t = (x + y) / 2;
  const Rgba blue{0.13, 0.42, 0.78, 1};
  const Rgba teal{0.05, 0.62, 0.60, 1};
  const Rgba tile{blue.r + (teal.r - blue.r) * t, blue.g + (teal.g - blue.g) * t,
                  blue.b + (teal.b - blue.b) * t, 1};
  c = tile;
  const Rgba white{1, 1, 1, 1};
  // The original sheet, half seen through.
  if (InRoundedRect(x, y, 0.20, 0.16, 0.62, 0.64, 0.05)) c = Over(c, white, 0.55);
  // Its copy in front, with three lines of text in the tile's colour.
  if (InRoundedRect(x, y, 0.38, 0.36, 0.80, 0.84, 0.05)) {
    c = Over(c, white, 1);
    for (const double line_y : {0.48, 0.58, 0.68}) {
      if (InRoundedRect(x, y, 0.46, line_y, 0.72, line_y + 0.04, 0.02)) c = Over(c, tile, 0.9);
    }
  }
  return c;
}

std::uint8_t Byte(double v) {
  return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
}

}  // namespace

Picture RenderLogo(int size) {
  size = std::max(size, 1);
  constexpr int kSamples = 4;  // per axis, for smooth edges
  Picture picture;
  picture.width = size;
  picture.height = size;
  picture.rgba.reserve(static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      Rgba sum;  // premultiplied
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double x = (px + (sx + 0.5) / kSamples) / size;
          const double y = (py + (sy + 0.5) / kSamples) / size;
          const Rgba c = LogoAt(x, y);
          sum.r += c.r * c.a;
          sum.g += c.g * c.a;
          sum.b += c.b * c.a;
          sum.a += c.a;
        }
      }
      const double n = kSamples * kSamples;
      const double a = sum.a / n;
      const double unpremultiply = sum.a > 0 ? 1 / sum.a : 0;
      picture.rgba.push_back(Byte(sum.r * unpremultiply));
      picture.rgba.push_back(Byte(sum.g * unpremultiply));
      picture.rgba.push_back(Byte(sum.b * unpremultiply));
      picture.rgba.push_back(Byte(a));
    }
  }
  return picture;
}

}  // namespace replikon::about
