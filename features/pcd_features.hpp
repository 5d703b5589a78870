// Per-point neighbourhood features: eigenvalues of the scatter of each point's radius
// neighbours about the point, and the eigenvector of the smallest (the surface normal).
#pragma once

#include <cstddef>

#include "common/point_cloud.hpp"
#include "common/progress.hpp"
#include "features/voxel_hash.hpp"

namespace planeseg {

/// Fills row i of eigenvalues (ascending) and normals, each n x 3 floats, for the n rows of
/// coords (at least index.point_count() of them), in an OpenMP parallel loop. A point with no
/// neighbour gets (0, 0, 0) and the normal (1, 0, 0); a point with a non-finite coordinate
/// gets NaN rows. With progress: reset to total n, done grows in batches of 64 points per
/// thread, and a cancel request skips the remaining points, whose rows are filled with NaN.
void compute_pcd_features(const VoxelHashIndex& index, const Vec3f* coords, std::size_t n, float radius,
                          float voxel_size, FeaturesProgressState* progress, float* eigenvalues, float* normals);

}  // namespace planeseg
