// Growth of one planar region from a seed: the seed gate, the point acceptance test, the
// growth loop with refits and pruning, and the seeded grower behind tessel.SeededGrower.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/geometry.hpp"
#include "common/point_cloud.hpp"
#include "common/spatial_index.hpp"
#include "growing/grow_params.hpp"

namespace planeseg {

/// A planar region: a point of its plane, the plane normal and the member indices.
struct PlaneRegion {
  Vec3f centroid;
  Vec3f normal;
  std::vector<uint32_t> members;
};

/// Membership flags over the cloud's point indices: the points that may still join a region.
class PointMask {
 public:
  PointMask() = default;
  PointMask(std::size_t size, bool value) : flags_(size, value ? 1 : 0) {}
  bool contains(uint32_t i) const { return flags_[i] != 0; }
  void insert(uint32_t i) { flags_[i] = 1; }
  void erase(uint32_t i) { flags_[i] = 0; }

 private:
  std::vector<uint8_t> flags_;
};

/// Normal source that reads the cloud's normal array.
struct CloudNormals {
  const std::vector<Vec3f>& normals;
  const Vec3f& operator()(uint32_t i) const { return normals[i]; }
};

/// Scratch buffers of one growth, kept across growths to avoid reallocating.
struct GrowScratch {
  NeighborList neighbours;
  std::vector<uint32_t> frontier;
  std::vector<uint32_t> next_frontier;
};

/// cos(alpha) formed in double and rounded to float, once per growth.
inline float cos_alpha_of(const GrowParams& params) {
  return static_cast<float>(std::cos(static_cast<double>(params.alpha)));
}

/// The refit threshold after one at threshold: max(threshold + 1, ceil(threshold * multiplier)).
/// Any multiplier is allowed; thresholds beyond any cloud size stop the refits.
inline uint64_t next_refit_threshold(uint64_t threshold, float multiplier) {
  constexpr double kBeyondAnyRegion = 1099511627776.0;  // 2^40
  const double grown = std::ceil(static_cast<double>(threshold) * static_cast<double>(multiplier));
  uint64_t next = threshold + 1;
  if (grown > static_cast<double>(next)) next = static_cast<uint64_t>(std::min(grown, kBeyondAnyRegion));
  return next;
}

/// Whether the seed's neighbourhood is planar enough to start a region from.
/// The scatter is taken about the seed itself, not about the neighbourhood mean.
bool passes_seed_gate(const PointCloud& cloud, const SpatialIndex& index, uint32_t seed, const GrowParams& params);

/// Whether a point at p with normal m joins a region: close to the region's plane and with a
/// normal that agrees within an angle that narrows to zero at max_dist_from_cent.
inline bool accepts_point(const PlaneRegion& region, const Vec3f& p, const Vec3f& m, const GrowParams& params,
                          float cos_alpha) {
  const Vec3f d = p - region.centroid;
  const float h = std::fabs(dot(region.normal, d));
  float t = std::sqrt(d.x * d.x + (d.y * d.y + d.z * d.z)) / params.max_dist_from_cent;
  t = t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t);
  const float theta = (1.0f - cos_alpha) * t + cos_alpha;
  const float a = dot(region.normal, m);
  const bool normal_agrees = params.oriented_normals ? a > theta : std::fabs(a) > theta;
  return h <= params.plane_tolerance() && normal_agrees;
}

/// Grows one region from seed over the points of available (changed in place: members leave it,
/// pruned members return to it). With seed_protected the seed is never pruned.
template <class NormalSource, class AvailableSet>
PlaneRegion grow_region(const PointCloud& cloud, const SpatialIndex& index, const GrowParams& params, uint32_t seed,
                        AvailableSet& available, const NormalSource& normal_of, bool seed_protected,
                        GrowScratch& scratch) {
  const float cos_alpha = cos_alpha_of(params);
  const auto& coords = cloud.coords;
  PlaneRegion region{coords[seed], normal_of(seed), {seed}};
  available.erase(seed);
  auto& frontier = scratch.frontier;
  auto& next = scratch.next_frontier;
  frontier.assign(1, seed);
  uint64_t next_refit = params.first_refit;

  while (!frontier.empty()) {
    // The plane changes only after a pass, so testing neighbours as they are found gives the
    // same outcome as gathering the pass's candidates first.
    next.clear();
    for (uint32_t f : frontier) {
      index.radius_neighbors(coords[f], params.neighbor_radius2(), params.search_radius_approx, false,
                             scratch.neighbours);
      for (const Neighbor& n : scratch.neighbours) {
        const uint32_t c = n.index;
        if (!available.contains(c)) continue;
        if (!accepts_point(region, coords[c], normal_of(c), params, cos_alpha)) continue;
        available.erase(c);
        next.push_back(c);
        region.members.push_back(c);
      }
    }
    frontier.swap(next);

    if (region.members.size() >= next_refit) {
      next_refit = next_refit_threshold(next_refit, params.refit_multiplier);
      const Plane plane = fit_plane(coords, region.members);
      region.centroid = plane.centroid;
      region.normal = plane.normal;
      auto kept = region.members.begin();
      for (uint32_t m : region.members) {
        if ((seed_protected && m == seed) || accepts_point(region, coords[m], normal_of(m), params, cos_alpha)) {
          *kept++ = m;
        } else {
          available.insert(m);
        }
      }
      region.members.erase(kept, region.members.end());
    }
  }
  return region;
}

/// Result of one SeededGrowerSession::grow: members ascending, empty when not accepted.
struct SeededGrowth {
  std::vector<uint32_t> members;
  bool accepted = false;
};

/// A cloud with its index, normals and parameters, from which regions are grown on request.
/// Never changes after construction, so grow may run from several threads at once.
class SeededGrowerSession {
 public:
  /// Takes the cloud (with normals filled when provided) and builds the index. Normals still
  /// need estimate_normals() unless they were provided.
  SeededGrowerSession(PointCloud cloud, const GrowParams& params);

  /// Fills every normal from the radius-epsilon neighbourhood.
  void estimate_normals();

  std::size_t size() const { return cloud_.size(); }
  const GrowParams& params() const { return params_; }
  const PointCloud& cloud() const { return cloud_; }

  /// Grows the region of seed; throws "seed_index out of range" when seed >= size().
  SeededGrowth grow(uint32_t seed) const;

 private:
  PointCloud cloud_;
  GrowParams params_;
  std::unique_ptr<SpatialIndex> index_;
};

}  // namespace planeseg
