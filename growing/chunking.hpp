// Chunk planning: the cloud's box cut into a grid of cells; every occupied cell becomes a
// chunk holding its home points and, within a margin, the points around it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/point_cloud.hpp"

namespace planeseg {

struct ChunkingOptions {
  bool enabled = true;
  std::string mode = "auto";                 ///< "explicit" selects chunk_x/y/z; anything else is automatic
  uint32_t target_points_per_chunk = 250000;
  uint32_t chunk_x = 1;
  uint32_t chunk_y = 1;
  uint32_t chunk_z = 1;
  float overlap_factor = 3.0f;               ///< margin = epsilon * overlap_factor
};

/// Applies the lower bounds (counts at least 1, overlap at least 2.5; NaN takes the bound).
void clamp_chunking_options(ChunkingOptions& options);

struct Chunk {
  uint64_t id = 0;                 ///< (g_x * n_y + g_y) * n_z + g_z, 64-bit so huge grids stay distinct
  std::vector<uint32_t> home;      ///< points whose own cell this is, ascending
  std::vector<uint32_t> members;   ///< points whose margin box touches the cell (home included), ascending
};

struct GridCounts {
  uint32_t x = 1, y = 1, z = 1;
};

/// Grid counts for n points with the given box extents: (1,1,1) when disabled, the explicit
/// counts, or the automatic split of the longest cell edge until the target is met.
GridCounts plan_grid(std::size_t n, const float extents[3], const ChunkingOptions& options);

/// The chunks of the cloud, ordered by id. Points with a non-finite coordinate belong to no
/// chunk. An empty list for a cloud without finite points.
std::vector<Chunk> plan_chunks(const std::vector<Vec3f>& coords, float epsilon, const ChunkingOptions& options);

}  // namespace planeseg
