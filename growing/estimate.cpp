#include "growing/estimate.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <random>

#include "common/clamp.hpp"
#include "common/geometry.hpp"
#include "common/spatial_index.hpp"
#include "growing/grow_params.hpp"

namespace planeseg {

float median_in_place(std::vector<float>& values) {
  const std::size_t n = values.size();
  if (n == 0) return 0.0f;
  std::sort(values.begin(), values.end());
  if (n % 2 == 1) return values[n / 2];
  return (values[n / 2] + values[n / 2 - 1]) * 0.5f;
}

ParameterEstimate estimate_parameters(const PointCloud& cloud, uint32_t sample_size, uint32_t seed) {
  ParameterEstimate out;
  const std::size_t n = cloud.size();
  std::size_t finite = 0;
  for (const Vec3f& p : cloud.coords) finite += is_finite(p);
  if (finite == 0) return out;
  out.empty = false;

  const auto start = std::chrono::steady_clock::now();
  const SpatialIndex index(cloud);

  // The shuffle covers every row, so a cloud gives the same sample whatever its invalid rows.
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::mt19937 engine(seed);
  for (uint32_t i = 1; i < n; ++i) {
    const uint32_t j = uniform_below(engine, i + 1);
    if (j != i) std::swap(order[i], order[j]);
  }
  const std::size_t wanted = std::max<std::size_t>(std::min<std::size_t>(finite, sample_size), 1);
  std::vector<uint32_t> sample;
  sample.reserve(wanted);
  for (uint32_t i : order) {
    if (sample.size() == wanted) break;
    if (is_finite(cloud.coords[i])) sample.push_back(i);
  }
  out.sample_size_used = static_cast<uint32_t>(sample.size());

  std::vector<float> values;
  uint32_t idx[8];
  float d2[8];
  for (uint32_t p : sample)
    if (index.knn(cloud.coords[p], 8, idx, d2) == 8) values.push_back(std::sqrt(d2[7]));
  float s = median_in_place(values);
  if (!(s > 0.0f)) s = 0.05f;
  out.base_spacing = s;

  const float multipliers[8] = {1.0f, 1.5f, 2.0f, 3.0f, 4.0f, 6.0f, 8.0f, 10.0f};
  float ladder[8];
  for (int k = 0; k < 8; ++k) ladder[k] = std::max(multipliers[k] * s, 1e-4f);
  values.clear();
  float sums[6];
  for (uint32_t p : sample) {
    const Vec3f& q = cloud.coords[p];
    float chosen = ladder[7];
    for (float bound : ladder) {
      // The ladder value is used as the bound on the squared distance, as epsilon is.
      if (index.radius_scatter(q, bound, 0.0f, q, sums) < 6) continue;
      const Eigen::Vector3f lambda = decompose_symmetric(scatter_matrix(sums)).values;
      if (lambda[1] / std::max(lambda[0], 1e-12f) >= 3.0f) {
        chosen = bound;
        break;
      }
    }
    values.push_back(chosen);
  }
  out.epsilon = std::max(median_in_place(values), 1e-4f);

  values.clear();
  for (uint32_t p : sample)
    values.push_back(static_cast<float>(index.radius_scatter(cloud.coords[p], out.epsilon, 0.0f, cloud.coords[p], sums)));
  out.tau0 = std::max(median_in_place(values), 3.0f);
  out.tau = std::lround(out.tau0);

  float level = 1.0f - (static_cast<float>(out.tau) / std::max(out.tau0, 1.0f)) * 0.125f;
  level = std::clamp(level, -1.0f, 1.0f);
  out.alpha_deg = static_cast<float>(std::acos(static_cast<double>(level))) * 180.0f / kPiF;
  out.estimate_seconds = seconds_since(start);
  return out;
}

}  // namespace planeseg
