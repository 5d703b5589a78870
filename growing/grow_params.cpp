#include "growing/grow_params.hpp"

#include <algorithm>

#include "common/clamp.hpp"

namespace planeseg {
void clamp_grow_params(GrowParams& p) {
  if (!(p.epsilon > 1e-6f)) p.epsilon = 1e-6f;
  p.epsilon_multiplier = at_least(p.epsilon_multiplier, 0.001f);
  p.tau = std::max<uint32_t>(p.tau, 3);
  p.confidence = within(p.confidence, 1e-4f, 0.999999f);
  p.max_dist_from_cent = at_least(p.max_dist_from_cent, 0.001f);
  p.seed_min_neighbors = std::max<uint32_t>(p.seed_min_neighbors, 3);
  p.seed_planarity_min = within(p.seed_planarity_min, 0.0f, 1.0f);
  p.seed_scattering_max = within(p.seed_scattering_max, 0.0f, 1.0f);
  p.failrate_window = std::max<uint32_t>(p.failrate_window, 8);
  p.failrate_threshold = within(p.failrate_threshold, 0.5f, 0.999f);
  // The same floor as epsilon's: a squared radius of at least 1e-6.
  if (p.neighbor_radius) p.neighbor_radius = at_least(*p.neighbor_radius, 1e-3f);
}

}  // namespace planeseg
