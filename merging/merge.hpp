// Merging of an instance label field: adjacent labelled regions that are planar and lie on
// one common plane receive one label; every other label keeps a label of its own.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "common/point_cloud.hpp"
#include "common/progress.hpp"

namespace planeseg {

struct MergeParams {
  float neighbor_radius = 0.05f;           ///< plain distance within which two points are in contact
  int32_t min_contact_points = 5;          ///< smallest contact count of a merged pair
  float planarity_threshold = 0.6f;        ///< smallest 1 - e0 / (e0 + e1 + e2) of a merged region
  float normal_angle_deg = 10.0f;          ///< largest angle between the two region normals
  float plane_distance_threshold = 0.03f;  ///< largest distance of a centroid from the other plane
  int32_t min_region_size = 20;            ///< smallest region that takes part in a merge
};

/// Applies the clamps to freshly read values (NaN goes to the lower bound).
void clamp_merge_params(MergeParams& params);

struct RegionGeometry {
  int32_t label = -1;
  int32_t count = 0;
  Vec3f centroid{0.0f, 0.0f, 0.0f};
  Vec3f normal{0.0f, 0.0f, 1.0f};
  Vec3f eigenvalues{0.0f, 0.0f, 0.0f};
  float planarity = 0.0f;
  bool valid = false;
};

/// The distinct non-negative labels, ascending, and the map from label to region index.
struct LabelRegions {
  std::vector<int32_t> labels;
  std::unordered_map<int32_t, int32_t> index_of;
};
LabelRegions distinct_labels(const std::vector<int32_t>& labels);

std::vector<RegionGeometry> compute_region_geometry(const PointCloud& cloud, const std::vector<int32_t>& labels,
                                                    const LabelRegions& regions);

bool is_planar_region(const RegionGeometry& region, const MergeParams& params);
bool regions_compatible(const RegionGeometry& a, const RegionGeometry& b, const MergeParams& params);

struct MergeResult {
  std::vector<int32_t> labels;
  int64_t num_points = 0;
  int64_t num_input_regions = 0;
  int64_t num_planar_regions = 0;
  int64_t num_adjacency_pairs = 0;
  int64_t num_merge_candidates = 0;
  int64_t num_output_regions = 0;
  double elapsed_seconds = 0.0;
  bool cancelled = false;
};

/// The four stages: region geometry, contact counting, merging, relabelling. progress may be
/// null; a cancellation is seen after each of the first three stages and every 10000 points
/// of the contact count, and returns the result as it stands.
MergeResult merge_regions(const PointCloud& cloud, const std::vector<int32_t>& labels, const MergeParams& params,
                          MendolinProgressState* progress);

}  // namespace planeseg
