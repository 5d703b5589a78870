#include "common/spatial_order.hpp"

#include <algorithm>
#include <utility>

#include "common/geometry.hpp"

namespace planeseg {
namespace {

/// Spreads the low 21 bits of v so that two zero bits follow each bit.
uint64_t spread_bits(uint64_t v) {
  v &= 0x1fffff;
  v = (v | v << 32) & 0x1f00000000ffffull;
  v = (v | v << 16) & 0x1f0000ff0000ffull;
  v = (v | v << 8) & 0x100f00f00f00f00full;
  v = (v | v << 4) & 0x10c30c30c30c30c3ull;
  v = (v | v << 2) & 0x1249249249249249ull;
  return v;
}

}  // namespace

uint64_t morton_code(uint64_t x, uint64_t y, uint64_t z) {
  return spread_bits(x) << 2 | spread_bits(y) << 1 | spread_bits(z);
}

std::vector<uint32_t> morton_order(const std::vector<Vec3f>& coords) {
  const BoundingBox box = bounding_box(coords);
  const double lo[3] = {box.min.x, box.min.y, box.min.z};
  const double span = std::max({static_cast<double>(box.max.x) - box.min.x, static_cast<double>(box.max.y) - box.min.y,
                                static_cast<double>(box.max.z) - box.min.z});
  const double scale = span > 0 ? 2097151.0 / span : 0.0;
  std::vector<std::pair<uint64_t, uint32_t>> keyed(coords.size());
  for (std::size_t i = 0; i < coords.size(); ++i) {
    const Vec3f& p = coords[i];
    uint64_t code = UINT64_MAX;  // non-finite points sort last
    if (is_finite(p)) {
      const double q[3] = {(p.x - lo[0]) * scale, (p.y - lo[1]) * scale, (p.z - lo[2]) * scale};
      uint64_t c[3];
      for (int a = 0; a < 3; ++a) c[a] = static_cast<uint64_t>(std::clamp(q[a], 0.0, 2097151.0));
      code = morton_code(c[0], c[1], c[2]);
    }
    keyed[i] = {code, static_cast<uint32_t>(i)};
  }
  // Already in order (a cloud this function ordered before): no sort needed.
  if (!std::is_sorted(keyed.begin(), keyed.end())) std::sort(keyed.begin(), keyed.end());
  std::vector<uint32_t> order(coords.size());
  for (std::size_t k = 0; k < keyed.size(); ++k) order[k] = keyed[k].second;
  return order;
}

}  // namespace planeseg
