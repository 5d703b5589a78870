// KD-tree over the finite points of a PointCloud. Rows with a NaN or infinite coordinate
// are left out, so every query behaves as if those rows were absent from the cloud. The tree
// keeps its own copy of the points in Morton order (unless the cloud already is), so that a
// search touches nearby memory; results carry the cloud's indices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/point_cloud.hpp"

namespace planeseg {

/// One radius-query hit: point index into the cloud and its squared distance.
struct Neighbor {
  uint32_t index;
  float dist2;
};
using NeighborList = std::vector<Neighbor>;

class SpatialIndex {
 public:
  /// Builds over every finite point of cloud (leaf size 10, one thread). The cloud's
  /// coordinate array must outlive the index and must not change while it exists.
  explicit SpatialIndex(const PointCloud& cloud);
  ~SpatialIndex();
  SpatialIndex(const SpatialIndex&) = delete;
  SpatialIndex& operator=(const SpatialIndex&) = delete;

  /// Number of indexed (finite) points.
  std::size_t indexed_points() const;

  /// The cloud indices of the indexed points in the tree's (Morton) order: visiting points in
  /// this order keeps consecutive searches in nearby memory.
  std::vector<uint32_t> spatial_order() const;

  /// Fills out (cleared first, capacity kept) with every indexed point p with
  /// |p - q|^2 < radius2 (strict). eps is the approximate-search factor (0 = exact).
  /// sorted orders hits by ascending squared distance, ties by index. A non-finite q finds nothing.
  void radius_neighbors(const Vec3f& q, float radius2, float eps, bool sorted, NeighborList& out) const;

  /// Count of the points radius_neighbors would report and their unnormalised scatter
  /// sum (p - ref)(p - ref)^T about ref, gathered in the same traversal without a list.
  std::size_t radius_scatter(const Vec3f& q, float radius2, float eps, const Vec3f& ref, float scatter[6]) const;

  /// The k nearest indexed points of q in ascending distance; returns how many were found
  /// (fewer than k only when fewer points are indexed).
  std::size_t knn(const Vec3f& q, std::size_t k, uint32_t* indices, float* dist2) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace planeseg
