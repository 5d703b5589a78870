// Hand-over of leftover points to nearby regions whose plane they lie close to; in the global
// form, the points that still remain become clusters with labels of their own.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/geometry.hpp"
#include "common/point_cloud.hpp"
#include "common/spatial_index.hpp"
#include "growing/grow_params.hpp"
#include "growing/region_growing.hpp"

namespace planeseg {

/// Plane distance |n . (p - c)| of a point to a region's stored plane.
inline float plane_distance(const PlaneRegion& r, const Vec3f& p) { return std::fabs(dot(r.normal, p - r.centroid)); }

/// Reassigns the points of unassigned (cloud indices; those assigned are removed from it).
/// Labels is the label map: label(p) gives a region index or a negative value, assign(p, r)
/// records p in region r. With new_cluster_labels, what remains afterwards is split into voxel
/// components and cluster(p, k) gives each component's points the labels first, first + 1, ...
/// where first is the value the call passes in.
template <class Labels>
void reassign_leftovers(const PointCloud& cloud, const SpatialIndex& index, std::vector<uint32_t>& unassigned,
                        std::vector<PlaneRegion>& regions, const GrowParams& params, Labels& labels,
                        bool new_cluster_labels, int32_t first_cluster_label) {
  if (unassigned.empty()) return;
  const auto& coords = cloud.coords;
  const float e = params.epsilon;
  if (regions.empty()) {
    if (new_cluster_labels) {
      int32_t next = 0;
      for (const auto& component : voxel_components(coords, unassigned, e)) {
        for (uint32_t p : component) labels.cluster(p, next);
        ++next;
      }
    }
    return;
  }
  const float h_max = params.plane_tolerance();
  const float radius2 = params.neighbor_radius2();
  auto take = [&](uint32_t p, int32_t r) {
    labels.assign(p, r);
    regions[r].members.push_back(p);
  };

  // Pieces: a component's candidate regions are gathered before any of its points moves.
  std::vector<char> touched(regions.size(), 0), seen(regions.size(), 0);
  std::vector<int32_t> candidates;
  NeighborList neighbours;
  for (const auto& component : voxel_components(coords, unassigned, e)) {
    candidates.clear();
    for (uint32_t p : component) {
      index.radius_neighbors(coords[p], radius2, params.search_radius_approx, true, neighbours);
      for (const Neighbor& n : neighbours) {
        const int32_t r = labels.label(n.index);
        if (r >= 0 && !seen[r]) {
          seen[r] = 1;
          candidates.push_back(r);
        }
      }
    }
    for (int32_t r : candidates) seen[r] = 0;
    if (candidates.empty()) continue;
    for (uint32_t p : component) {
      int32_t best = candidates.front();
      float best_h = plane_distance(regions[best], coords[p]);
      for (int32_t r : candidates) {
        const float h = plane_distance(regions[r], coords[p]);
        if (h < best_h) best = r, best_h = h;
      }
      if (best_h <= h_max) {
        take(p, best);
        touched[best] = 1;
      }
    }
  }
  for (std::size_t r = 0; r < regions.size(); ++r) {
    if (!touched[r]) continue;
    const Plane plane = fit_plane(coords, regions[r].members);
    regions[r].centroid = plane.centroid;
    regions[r].normal = plane.normal;
  }

  // Single points, nearest labelled neighbours first; assignments count for later points.
  const float distance_scale = std::max(e, 1e-8f);
  const float height_scale = std::max(h_max, 1e-8f);
  for (uint32_t u : unassigned) {
    if (labels.label(u) >= 0) continue;
    index.radius_neighbors(coords[u], radius2, params.search_radius_approx, true, neighbours);
    int32_t best = -1;
    float best_score = 0.0f, best_h = 0.0f;
    for (const Neighbor& n : neighbours) {
      const int32_t r = labels.label(n.index);
      if (r < 0) continue;
      const float h = plane_distance(regions[r], coords[u]);
      const float score = n.dist2 / distance_scale + h / height_scale;
      if (best < 0 || score < best_score) best = r, best_score = score, best_h = h;
    }
    if (best >= 0 && best_h <= h_max) take(u, best);
  }
  unassigned.erase(std::remove_if(unassigned.begin(), unassigned.end(), [&](uint32_t p) { return labels.label(p) >= 0; }),
                   unassigned.end());

  if (new_cluster_labels && !unassigned.empty()) {
    int32_t next = std::max<int32_t>(first_cluster_label, 0);
    for (const auto& component : voxel_components(coords, unassigned, e)) {
      for (uint32_t p : component) labels.cluster(p, next);
      ++next;
    }
  }
}

}  // namespace planeseg
