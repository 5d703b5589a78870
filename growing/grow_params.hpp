// Parameters that steer the growth of planar regions.
#pragma once

#include <cstdint>
#include <optional>

namespace planeseg {

constexpr float kPiF = 3.1415927f;

struct GrowParams {
  float epsilon = 0.03f;                  ///< squared neighbour radius; plane tolerance and voxel basis
  float refit_multiplier = 2.0f;          ///< growth factor of the refit threshold
  float epsilon_multiplier = 3.0f;        ///< plane tolerance = epsilon * epsilon_multiplier
  float epsilon_multiplier_average = 1.5f;  ///< bound of the region quality test
  float search_radius_approx = 0.0f;      ///< approximation eps of growth and seed-gate queries
  uint32_t tau = 80;                      ///< minimum points of a kept region
  uint32_t first_refit = 4;               ///< region size of the first refit
  float alpha = 27.0f * kPiF / 180.0f;    ///< maximum normal angle at the centroid, radians
  float confidence = 0.99f;               ///< kept for callers; no growth step reads it
  float max_dist_from_cent = 50.0f;       ///< distance at which the angular tolerance reaches zero
  bool oriented_normals = false;          ///< compare normals with their sign
  bool verbose = false;                   ///< one line per grown attempt during extraction
  bool perform_cca = true;                ///< split grown regions into voxel-connected pieces
  bool enable_seed_gating = true;         ///< test seed neighbourhoods before growing
  uint32_t seed_min_neighbors = 10;       ///< seed gate: minimum neighbourhood size, itself included
  float seed_planarity_min = 0.2f;        ///< seed gate: minimum (l1 - l0) / l2
  float seed_scattering_max = 0.35f;      ///< seed gate: maximum l0 / l2
  uint32_t failrate_window = 64;          ///< attempts in the failure window
  float failrate_threshold = 0.9f;        ///< failure rate that stops extraction
  /// Plain neighbour radius; when set, its square bounds every neighbour query (growth, seed
  /// gate, normals, leftover reassignment) instead of epsilon, which keeps its other roles.
  std::optional<float> neighbor_radius;

  /// Squared neighbour radius of every neighbour query.
  float neighbor_radius2() const { return neighbor_radius ? *neighbor_radius * *neighbor_radius : epsilon; }
  /// Largest plane distance a point may have to join.
  float plane_tolerance() const { return epsilon * epsilon_multiplier; }
};

/// Degrees to radians in single precision, multiplying first.
inline float degrees_to_radians(float degrees) { return degrees * kPiF / 180.0f; }
inline float radians_to_degrees(float radians) { return radians * 180.0f / kPiF; }

/// Calls visit(key, field) for every dictionary key, in reading order. "alpha_deg" is visited
/// as a degree value converted back to radians afterwards, so a visitor that assigns it sets alpha.
template <class Visitor>
void visit_grow_params(GrowParams& p, Visitor&& visit) {
  visit("epsilon", p.epsilon);
  visit("refit_multiplier", p.refit_multiplier);
  visit("epsilon_multiplier", p.epsilon_multiplier);
  visit("epsilon_multiplier_average", p.epsilon_multiplier_average);
  visit("search_radius_approx", p.search_radius_approx);
  visit("tau", p.tau);
  visit("first_refit", p.first_refit);
  float alpha_deg = radians_to_degrees(p.alpha);
  visit("alpha_deg", alpha_deg);
  p.alpha = degrees_to_radians(alpha_deg);
  visit("confidence", p.confidence);
  visit("max_dist_from_cent", p.max_dist_from_cent);
  visit("oriented_normals", p.oriented_normals);
  visit("verbose", p.verbose);
  visit("perform_cca", p.perform_cca);
  visit("enable_seed_gating", p.enable_seed_gating);
  visit("seed_min_neighbors", p.seed_min_neighbors);
  visit("seed_planarity_min", p.seed_planarity_min);
  visit("seed_scattering_max", p.seed_scattering_max);
  visit("failrate_window", p.failrate_window);
  visit("failrate_threshold", p.failrate_threshold);
  visit("neighbor_radius", p.neighbor_radius);
}

/// Applies the lower bounds and clamps to freshly read values; NaN goes to the lower bound.
void clamp_grow_params(GrowParams& params);

}  // namespace planeseg
