#include "growing/chunking.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "common/geometry.hpp"

namespace planeseg {

void clamp_chunking_options(ChunkingOptions& o) {
  o.target_points_per_chunk = std::max<uint32_t>(o.target_points_per_chunk, 1);
  o.chunk_x = std::max<uint32_t>(o.chunk_x, 1);
  o.chunk_y = std::max<uint32_t>(o.chunk_y, 1);
  o.chunk_z = std::max<uint32_t>(o.chunk_z, 1);
  if (!(o.overlap_factor >= 2.5f)) o.overlap_factor = 2.5f;
}

GridCounts plan_grid(std::size_t n, const float extents[3], const ChunkingOptions& options) {
  GridCounts g;
  if (!options.enabled) return g;
  if (options.mode == "explicit") return {options.chunk_x, options.chunk_y, options.chunk_z};
  const double wanted = std::ceil(static_cast<double>(n) / static_cast<double>(options.target_points_per_chunk));
  const uint64_t target = std::max<uint64_t>(1, static_cast<uint64_t>(wanted));
  const float wx = std::max(extents[0], 0.001f), wy = std::max(extents[1], 0.001f), wz = std::max(extents[2], 0.001f);
  while (static_cast<uint64_t>(g.x) * g.y * g.z < target) {
    const float qx = wx / static_cast<float>(g.x), qy = wy / static_cast<float>(g.y), qz = wz / static_cast<float>(g.z);
    if (qz > std::max(qx, qy)) {
      ++g.z;
    } else if (qy > qx) {
      ++g.y;
    } else {
      ++g.x;
    }
  }
  return g;
}

namespace {

/// Cell coordinate along one axis, limited to [0, count - 1]; a quotient too large for the
/// integer type is limited the same way.
int64_t cell_of(double quotient, uint32_t count) {
  if (!(quotient > 0.0)) return 0;
  if (quotient >= static_cast<double>(count)) return static_cast<int64_t>(count) - 1;
  return static_cast<int64_t>(quotient);
}

/// floor of a single-precision quotient, as the margin range wants it.
double floor_quotient(float numerator, float size) {
  return std::floor(static_cast<double>(numerator / size));
}

struct CellRange {
  int64_t lo[3];
  int64_t hi[3];
  uint64_t cells() const {
    uint64_t n = 1;
    for (int a = 0; a < 3; ++a) n *= static_cast<uint64_t>(hi[a] - lo[a] + 1);
    return n;
  }
};

// Past this many cells per margin box (a grid finer than the margin) only occupied cells are
// visited, so that an explicit grid of 100000^3 on a small cloud stays cheap.
constexpr uint64_t kMaxMarginCells = 64;

}  // namespace

std::vector<Chunk> plan_chunks(const std::vector<Vec3f>& coords, float epsilon, const ChunkingOptions& options) {
  std::vector<uint32_t> finite;
  finite.reserve(coords.size());
  for (std::size_t i = 0; i < coords.size(); ++i)
    if (is_finite(coords[i])) finite.push_back(static_cast<uint32_t>(i));
  if (finite.empty()) return {};

  const BoundingBox box = bounding_box(coords, finite);
  const float lo[3] = {box.min.x, box.min.y, box.min.z};
  const float extents[3] = {box.max.x - box.min.x, box.max.y - box.min.y, box.max.z - box.min.z};
  const GridCounts grid = plan_grid(finite.size(), extents, options);
  const uint32_t counts[3] = {grid.x, grid.y, grid.z};
  const float sizes[3] = {extents[0] / static_cast<float>(grid.x), extents[1] / static_cast<float>(grid.y),
                          extents[2] / static_cast<float>(grid.z)};
  const float margin = epsilon * options.overlap_factor;
  auto id_of = [&](int64_t gx, int64_t gy, int64_t gz) {
    return (static_cast<uint64_t>(gx) * counts[1] + static_cast<uint64_t>(gy)) * counts[2] + static_cast<uint64_t>(gz);
  };
  auto coordinate = [&](const Vec3f& p, int a) { return a == 0 ? p.x : (a == 1 ? p.y : p.z); };

  std::unordered_map<uint64_t, Chunk> chunks;
  chunks.reserve(std::min<uint64_t>(finite.size(), static_cast<uint64_t>(grid.x) * grid.y * grid.z));
  std::vector<std::array<int64_t, 3>> home_cells(finite.size());
  for (std::size_t k = 0; k < finite.size(); ++k) {
    const Vec3f& p = coords[finite[k]];
    for (int a = 0; a < 3; ++a) home_cells[k][a] = cell_of((coordinate(p, a) - lo[a]) / sizes[a], counts[a]);
    Chunk& c = chunks[id_of(home_cells[k][0], home_cells[k][1], home_cells[k][2])];
    c.home.push_back(finite[k]);
  }
  std::vector<std::array<int64_t, 3>> occupied;
  for (auto& [id, c] : chunks) {
    c.id = id;
    const Vec3f& p = coords[c.home.front()];
    std::array<int64_t, 3> g{};
    for (int a = 0; a < 3; ++a) g[a] = cell_of((coordinate(p, a) - lo[a]) / sizes[a], counts[a]);
    occupied.push_back(g);
  }

  for (std::size_t k = 0; k < finite.size(); ++k) {
    const uint32_t i = finite[k];
    const Vec3f& p = coords[i];
    CellRange range{};
    for (int a = 0; a < 3; ++a) {
      const float x = coordinate(p, a);
      range.lo[a] = cell_of(floor_quotient((x - margin) - lo[a], sizes[a]), counts[a]);
      range.hi[a] = cell_of(floor_quotient((margin + x) - lo[a], sizes[a]), counts[a]);
    }
    if (range.cells() <= kMaxMarginCells) {
      for (int64_t gx = range.lo[0]; gx <= range.hi[0]; ++gx)
        for (int64_t gy = range.lo[1]; gy <= range.hi[1]; ++gy)
          for (int64_t gz = range.lo[2]; gz <= range.hi[2]; ++gz) chunks[id_of(gx, gy, gz)].members.push_back(i);
    } else {
      for (const auto& g : occupied) {
        if (g[0] >= range.lo[0] && g[0] <= range.hi[0] && g[1] >= range.lo[1] && g[1] <= range.hi[1] &&
            g[2] >= range.lo[2] && g[2] <= range.hi[2])
          chunks[id_of(g[0], g[1], g[2])].members.push_back(i);
      }
    }
  }

  std::vector<Chunk> out;
  out.reserve(chunks.size());
  for (auto& [id, c] : chunks) {
    c.id = id;
    out.push_back(std::move(c));
  }
  std::sort(out.begin(), out.end(), [](const Chunk& a, const Chunk& b) { return a.id < b.id; });
  return out;
}

}  // namespace planeseg
