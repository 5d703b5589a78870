// Neighbourhood geometry: scatter matrices and their eigen decomposition, per-point normals,
// least-squares planes, bounding boxes and voxel connected components.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include <Eigen/Core>

#include "common/point_cloud.hpp"
#include "common/spatial_index.hpp"

namespace planeseg {

/// Eigenvalues ascending (values[0] <= values[1] <= values[2]) and matching unit eigenvectors
/// as columns, signs as the solver gives them.
struct EigenDecomposition {
  Eigen::Vector3f values;
  Eigen::Matrix3f vectors;
  bool converged = true;
};

/// Decomposes a symmetric 3x3 matrix with Eigen's iterative self-adjoint solver.
EigenDecomposition decompose_symmetric(const Eigen::Matrix3f& m);

/// Symmetric matrix from the six sums xx, xy, xz, yy, yz, zz.
Eigen::Matrix3f scatter_matrix(const float sums[6]);

/// Normal of one point from its radius2 neighbourhood, differences taken from the point itself:
/// the smallest-eigenvalue eigenvector, or (0, 0, 1) with fewer than 3 neighbours (itself included).
/// The scatter is summed during the search itself, so no neighbour list is built.
Vec3f estimate_point_normal(const PointCloud& cloud, const SpatialIndex& index, uint32_t point, float radius2);

/// Normals of the listed points written into cloud.normals (which must already hold every row).
void estimate_normals(PointCloud& cloud, const SpatialIndex& index, const std::vector<uint32_t>& points, float radius2);

/// Normals of the listed points written into out, which is emptied and pre-sized first.
void estimate_normals(const PointCloud& cloud, const SpatialIndex& index, const std::vector<uint32_t>& points,
                      float radius2, std::unordered_map<uint32_t, Vec3f>& out);

struct Plane {
  Vec3f centroid;
  Vec3f normal;
  bool converged = true;  ///< the eigen solver's report
};

/// Least-squares plane: centroid of the members and smallest-eigenvalue eigenvector of their
/// scatter about it. An empty set gives centroid (0, 0, 0) and normal (0, 0, 1). Sums are
/// accumulated in double so that regions of millions of points keep their precision.
Plane fit_plane(const std::vector<Vec3f>& coords, const std::vector<uint32_t>& members);

struct BoundingBox {
  Vec3f min;
  Vec3f max;
};

/// Box of the finite listed points widened by 0.001 on every side (min starts at FLT_MAX,
/// max at -FLT_MAX, so a set without finite points keeps those widened bounds).
BoundingBox bounding_box(const std::vector<Vec3f>& coords, const std::vector<uint32_t>& points);
/// The same over the whole coordinate array.
BoundingBox bounding_box(const std::vector<Vec3f>& coords);

/// Voxel side used by voxel_components for radius value r: r * 1.1547, formed in double.
float component_voxel_side(float r);

/// Splits points into groups joined through chains of occupied voxels that touch by a face,
/// an edge or a corner (side component_voxel_side(r)). Every point lands in exactly one
/// component; a point with a non-finite coordinate forms a component of its own. Component
/// order carries no meaning; members keep the order of the input within each component.
std::vector<std::vector<uint32_t>> voxel_components(const std::vector<Vec3f>& coords,
                                                    const std::vector<uint32_t>& points, float r);

}  // namespace planeseg
