// Proposals for epsilon, tau and alpha_deg from a seeded sample of a cloud.
#pragma once

#include <cstdint>
#include <vector>

#include "common/point_cloud.hpp"
#include "common/random_draw.hpp"

namespace planeseg {

struct ParameterEstimate {
  float epsilon = 0.03f;
  int64_t tau = 80;
  float alpha_deg = 29.0f;
  uint32_t sample_size_used = 0;
  float tau0 = 0.0f;
  float base_spacing = 0.0f;
  double estimate_seconds = 0.0;
  bool empty = true;  ///< the cloud had no (finite) point: the defaults above are returned
};

/// Median of values (sorted in place): the middle element, or the mean of the two middle ones.
float median_in_place(std::vector<float>& values);

/// The proposals for the points of coords; rows with a non-finite coordinate are not sampled.
ParameterEstimate estimate_parameters(const PointCloud& cloud, uint32_t sample_size, uint32_t seed);

}  // namespace planeseg
