// Reconciliation of chunk results into one labelling: home chunks decide every point's label,
// coplanar regions of different chunks that share points merge, ids become dense and every
// merged region is refitted to the points that carry its label.
#pragma once

#include <cstdint>
#include <vector>

#include "growing/chunking.hpp"
#include "growing/extraction.hpp"
#include "growing/grow_params.hpp"

namespace planeseg {

struct MergeOptions {
  bool enabled = true;
  float angle_deg = 5.0f;        ///< largest angle between merged region normals, in [0, 90]
  float distance_factor = 3.0f;  ///< largest centroid offset along the normals = distance_factor * epsilon
};

/// Clamps angle_deg to [0, 90] and distance_factor to at least 0 (NaN takes the lower bound).
void clamp_merge_options(MergeOptions& options);

/// First half: every chunk region gets a global id (in chunk order), and every point the
/// global id its home chunk gave it (or -1). Claims remember which regions hold which points.
struct CollectedRegions {
  std::vector<PlaneRegion> regions;                    ///< global id -> region as the chunk found it
  std::vector<std::pair<uint32_t, uint32_t>> claims;   ///< (point, global id) for every labelled chunk point
};
CollectedRegions collect_regions(const std::vector<Chunk>& chunks, std::vector<ExtractionResult>& results,
                                 std::vector<int32_t>& labels);

/// Second half: merges (when enabled), renumbers densely and refits. labels are rewritten to
/// merged ids; returns the merged regions, each holding exactly the points labelled with it.
std::vector<PlaneRegion> merge_regions(const std::vector<Vec3f>& coords, CollectedRegions& collected,
                                       const MergeOptions& options, float epsilon, std::vector<int32_t>& labels);

/// Whether two region planes are within angle_deg of each other (sign ignored) and each
/// centroid lies within threshold of the other's plane.
bool regions_coplanar(const PlaneRegion& a, const PlaneRegion& b, float angle_deg, float threshold);

}  // namespace planeseg
