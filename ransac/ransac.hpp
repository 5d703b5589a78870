// Sequential plane RANSAC: planes are taken one after another from the points no plane has
// taken yet, each the largest connected set of points near a sampled plane whose normals agree.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/point_cloud.hpp"
#include "common/spatial_index.hpp"

namespace planeseg {

struct QuarvoParams {
  float epsilon = 0.03f;                   ///< plane distance of an inlier; squared radius of the normals
  uint32_t min_points = 100;               ///< smallest plane kept
  float normal_threshold_deg = 25.0f;      ///< largest angle between a point normal and the plane normal
  float cluster_epsilon = -1.0f;           ///< squared radius of the connected-cluster step; <= 0: epsilon
  float probability = 0.01f;               ///< failure probability of the adaptive iteration limit
  uint32_t max_iterations_per_plane = 5000;
  uint32_t seed = 0;
};

/// Applies the clamps to freshly read values (NaN goes to the lower bound).
void clamp_quarvo_params(QuarvoParams& params);

/// A plane n . x + d = 0 with unit normal n through centroid c, and its member points.
struct PlaneModel {
  Vec3f centroid{0.0f, 0.0f, 0.0f};
  Vec3f normal{0.0f, 0.0f, 1.0f};
  float d = 0.0f;
  std::vector<uint32_t> members;
};

/// Progress record handed to the handler.
struct QuarvoRuntime {
  std::string stage;
  uint32_t planes_found = 0;
  uint32_t active_points_remaining = 0;
  uint32_t current_best_support = 0;
  uint32_t assigned = 0;
  bool finished = false;
};
/// Returns false to cancel the search.
using QuarvoProgress = std::function<bool(const QuarvoRuntime&)>;

struct QuarvoResult {
  std::vector<int32_t> labels;
  std::vector<PlaneModel> planes;
  bool cancelled = false;
};

/// Unit normals from the radius2 neighbourhood (differences from the point itself); (0, 0, 1)
/// with fewer than 3 neighbours, a solver that did not converge or a vanishing eigenvector.
void estimate_normals_radius(PointCloud& cloud, const SpatialIndex& index, float radius2);

/// The plane through three points, rejected when they are collinear or a point's normal is
/// more than the threshold away from the plane's.
bool plane_from_three_points(const PointCloud& cloud, uint32_t i0, uint32_t i1, uint32_t i2, float cos_thresh,
                             PlaneModel& out);

/// Least-squares plane of at least three points (sums in double); fails on a solver that did
/// not converge or a vanishing eigenvector.
bool refit_plane(const PointCloud& cloud, const std::vector<uint32_t>& indices, PlaneModel& out);

/// The largest set of inliers connected through inlier neighbours within radius2 (breadth-first
/// discovery order; ties go to the component of the earliest inlier).
std::vector<uint32_t> largest_inlier_cluster(const PointCloud& cloud, const SpatialIndex& index,
                                             const std::vector<uint32_t>& inliers, float radius2);

/// Adaptive RANSAC iteration limit after a new best of `support` inliers among `active` points.
uint32_t ransac_iteration_limit(uint32_t support, uint32_t active, float probability, uint32_t max_iterations);

/// The whole sequential search; deterministic for a seed.
QuarvoResult run_plane_search(const PointCloud& cloud, const SpatialIndex& index, const QuarvoParams& params,
                              const QuarvoProgress& progress);

}  // namespace planeseg
