#include "growing/region_growing.hpp"

#include <algorithm>
#include <stdexcept>

namespace planeseg {

bool passes_seed_gate(const PointCloud& cloud, const SpatialIndex& index, uint32_t seed, const GrowParams& params) {
  if (!params.enable_seed_gating) return true;
  const Vec3f& p = cloud.coords[seed];
  float sums[6];
  const std::size_t neighbours =
      index.radius_scatter(p, params.neighbor_radius2(), params.search_radius_approx, p, sums);
  if (neighbours < params.seed_min_neighbors) return false;
  const EigenDecomposition eig = decompose_symmetric(scatter_matrix(sums));
  const float l0 = std::max(eig.values[0], 0.0f);
  const float l1 = std::max(eig.values[1], 0.0f);
  const float l2 = std::max(eig.values[2], 1e-8f);
  const float planarity = (l1 - l0) / l2;
  const float scattering = l0 / l2;
  return planarity >= params.seed_planarity_min && scattering <= params.seed_scattering_max;
}

SeededGrowerSession::SeededGrowerSession(PointCloud cloud, const GrowParams& params)
    : cloud_(std::move(cloud)), params_(params), index_(std::make_unique<SpatialIndex>(cloud_)) {}

void SeededGrowerSession::estimate_normals() {
  // Rows left out of the index keep (0, 0, 1); the others are visited in the index's order.
  cloud_.normals.assign(cloud_.size(), Vec3f{0.0f, 0.0f, 1.0f});
  planeseg::estimate_normals(cloud_, *index_, index_->spatial_order(), params_.neighbor_radius2());
}

SeededGrowth SeededGrowerSession::grow(uint32_t seed) const {
  if (seed >= cloud_.size()) throw std::runtime_error("seed_index out of range");
  SeededGrowth result;
  // A point without finite coordinates is in no neighbourhood and never joins a region.
  if (!is_finite(cloud_.coords[seed])) return result;

  if (!passes_seed_gate(cloud_, *index_, seed, params_)) return result;

  GrowScratch scratch;
  PointMask available(cloud_.size(), true);
  PlaneRegion region =
      grow_region(cloud_, *index_, params_, seed, available, CloudNormals{cloud_.normals}, true, scratch);

  if (params_.perform_cca) {
    for (auto& component : voxel_components(cloud_.coords, region.members, params_.epsilon)) {
      if (std::find(component.begin(), component.end(), seed) != component.end()) {
        region.members = std::move(component);
        break;
      }
    }
  }
  // The final plane is not returned; only the size decides acceptance.
  if (region.members.size() < params_.tau) return result;
  result.members = std::move(region.members);
  std::sort(result.members.begin(), result.members.end());
  result.accepted = true;
  return result;
}

}  // namespace planeseg
