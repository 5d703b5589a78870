#include "common/geometry.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include <Eigen/Eigenvalues>

#include "common/union_find.hpp"

namespace planeseg {

EigenDecomposition decompose_symmetric(const Eigen::Matrix3f& m) {
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3f> solver(m, Eigen::ComputeEigenvectors);
  return {solver.eigenvalues(), solver.eigenvectors(), solver.info() == Eigen::Success};
}

namespace {
Vec3f column(const Eigen::Matrix3f& m, int c) { return {m(0, c), m(1, c), m(2, c)}; }
}  // namespace

Eigen::Matrix3f scatter_matrix(const float sums[6]) {
  Eigen::Matrix3f s;
  s << sums[0], sums[1], sums[2], sums[1], sums[3], sums[4], sums[2], sums[4], sums[5];
  return s;
}

Vec3f estimate_point_normal(const PointCloud& cloud, const SpatialIndex& index, uint32_t point, float radius2) {
  const Vec3f& p = cloud.coords.at(point);
  float sums[6];
  if (index.radius_scatter(p, radius2, 0.0f, p, sums) < 3) return {0.0f, 0.0f, 1.0f};
  return column(decompose_symmetric(scatter_matrix(sums)).vectors, 0);
}

void estimate_normals(PointCloud& cloud, const SpatialIndex& index, const std::vector<uint32_t>& points,
                      float radius2) {
  for (uint32_t i : points) cloud.normals.at(i) = estimate_point_normal(cloud, index, i, radius2);
}

void estimate_normals(const PointCloud& cloud, const SpatialIndex& index, const std::vector<uint32_t>& points,
                      float radius2, std::unordered_map<uint32_t, Vec3f>& out) {
  out.clear();
  out.reserve(points.size());
  for (uint32_t i : points) out[i] = estimate_point_normal(cloud, index, i, radius2);
}

Plane fit_plane(const std::vector<Vec3f>& coords, const std::vector<uint32_t>& members) {
  if (members.empty()) return {{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f}};
  double sx = 0, sy = 0, sz = 0;
  for (uint32_t i : members) {
    const Vec3f& p = coords[i];
    sx += p.x;
    sy += p.y;
    sz += p.z;
  }
  const double n = static_cast<double>(members.size());
  const double cx = sx / n, cy = sy / n, cz = sz / n;
  double xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
  for (uint32_t i : members) {
    const Vec3f& p = coords[i];
    const double dx = p.x - cx, dy = p.y - cy, dz = p.z - cz;
    xx += dx * dx;
    xy += dx * dy;
    xz += dx * dz;
    yy += dy * dy;
    yz += dy * dz;
    zz += dz * dz;
  }
  Eigen::Matrix3d s;
  s << xx, xy, xz, xy, yy, yz, xz, yz, zz;
  const EigenDecomposition eig = decompose_symmetric(s.cast<float>());
  return {{static_cast<float>(cx), static_cast<float>(cy), static_cast<float>(cz)}, column(eig.vectors, 0), eig.converged};
}

namespace {

void extend_box(BoundingBox& box, const Vec3f& p) {
  if (!is_finite(p)) return;
  box.min.x = std::min(box.min.x, p.x);
  box.min.y = std::min(box.min.y, p.y);
  box.min.z = std::min(box.min.z, p.z);
  box.max.x = std::max(box.max.x, p.x);
  box.max.y = std::max(box.max.y, p.y);
  box.max.z = std::max(box.max.z, p.z);
}

BoundingBox empty_box() { return {{FLT_MAX, FLT_MAX, FLT_MAX}, {-FLT_MAX, -FLT_MAX, -FLT_MAX}}; }

void widen(BoundingBox& box) {
  const float margin = 0.001f;
  box.min = {box.min.x - margin, box.min.y - margin, box.min.z - margin};
  box.max = {box.max.x + margin, box.max.y + margin, box.max.z + margin};
}

}  // namespace

BoundingBox bounding_box(const std::vector<Vec3f>& coords, const std::vector<uint32_t>& points) {
  BoundingBox box = empty_box();
  for (uint32_t i : points) extend_box(box, coords[i]);
  widen(box);
  return box;
}

BoundingBox bounding_box(const std::vector<Vec3f>& coords) {
  BoundingBox box = empty_box();
  for (const Vec3f& p : coords) extend_box(box, p);
  widen(box);
  return box;
}

float component_voxel_side(float r) { return static_cast<float>(static_cast<double>(r) * 1.1547); }

namespace {

// Cell coordinates are 64-bit, so distinct cells stay distinct for any grid size.
struct Cell {
  int64_t x, y, z;
  bool operator==(const Cell& o) const { return x == o.x && y == o.y && z == o.z; }
};

struct CellHash {
  std::size_t operator()(const Cell& c) const {
    uint64_t h = static_cast<uint64_t>(c.x) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<uint64_t>(c.y) + 0xBF58476D1CE4E5B9ull + (h << 6) + (h >> 2);
    h ^= static_cast<uint64_t>(c.z) + 0x94D049BB133111EBull + (h << 6) + (h >> 2);
    h ^= h >> 31;
    return static_cast<std::size_t>(h);
  }
};

constexpr double kHugeQuotient = 4611686018427387904.0;  // 2^62
constexpr int64_t kHugeCell = int64_t{1} << 62;

/// Grid extent along one axis: ceil of the float quotient, capped so the cells stay 64-bit.
int64_t grid_extent(float lo, float hi, float side) {
  const float quotient = (hi - lo) / side;
  const double cells = std::ceil(static_cast<double>(quotient));
  if (!(cells < kHugeQuotient)) return kHugeCell;
  return std::max<int64_t>(1, static_cast<int64_t>(cells));
}

/// Cell of a coordinate along one axis, within [0, extent - 1] for ordinary grids. Past 2^62
/// cells (or past the float range) the quotient is taken in double, whose consecutive values
/// there lie far more than a cell apart: they are mapped two cells apart, so that distinct
/// values stay distinct and never touch.
int64_t cell_coordinate(float p, float lo, float side, int64_t extent) {
  const float quotient = (p - lo) / side;
  if (static_cast<double>(quotient) < kHugeQuotient) {
    const int64_t g = quotient > 0.0f ? static_cast<int64_t>(quotient) : 0;
    return std::min(g, extent - 1);
  }
  const double wide =
      std::max(kHugeQuotient, (static_cast<double>(p) - static_cast<double>(lo)) / static_cast<double>(side));
  uint64_t bits, base;
  std::memcpy(&bits, &wide, sizeof bits);
  std::memcpy(&base, &kHugeQuotient, sizeof base);
  return kHugeCell + 2 * static_cast<int64_t>(bits - base);
}


}  // namespace

std::vector<std::vector<uint32_t>> voxel_components(const std::vector<Vec3f>& coords,
                                                    const std::vector<uint32_t>& points, float r) {
  std::vector<std::vector<uint32_t>> components;
  if (points.empty()) return components;

  const float side = component_voxel_side(r);
  const BoundingBox box = bounding_box(coords, points);
  const int64_t nx = grid_extent(box.min.x, box.max.x, side);
  const int64_t ny = grid_extent(box.min.y, box.max.y, side);
  const int64_t nz = grid_extent(box.min.z, box.max.z, side);

  // Voxel id of every point (or kNoVoxel for a non-finite one), voxels numbered densely.
  constexpr uint32_t kNoVoxel = std::numeric_limits<uint32_t>::max();
  std::unordered_map<Cell, uint32_t, CellHash> voxel_of_cell;
  voxel_of_cell.reserve(points.size());
  std::vector<Cell> cells;
  std::vector<uint32_t> point_voxel(points.size(), kNoVoxel);
  for (std::size_t k = 0; k < points.size(); ++k) {
    const Vec3f& p = coords[points[k]];
    if (!is_finite(p)) continue;
    const Cell cell{cell_coordinate(p.x, box.min.x, side, nx), cell_coordinate(p.y, box.min.y, side, ny),
                    cell_coordinate(p.z, box.min.z, side, nz)};
    auto inserted = voxel_of_cell.emplace(cell, static_cast<uint32_t>(cells.size()));
    if (inserted.second) cells.push_back(cell);
    point_voxel[k] = inserted.first->second;
  }

  UnionFind sets(cells.size());
  for (uint32_t v = 0; v < cells.size(); ++v) {
    const Cell& c = cells[v];
    for (int dx = -1; dx <= 1; ++dx)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dz = -1; dz <= 1; ++dz) {
          if (dx == 0 && dy == 0 && dz == 0) continue;
          auto it = voxel_of_cell.find(Cell{c.x + dx, c.y + dy, c.z + dz});
          if (it != voxel_of_cell.end()) sets.unite(v, it->second);
        }
  }

  std::vector<uint32_t> component_of_root(cells.size(), kNoVoxel);
  for (std::size_t k = 0; k < points.size(); ++k) {
    if (point_voxel[k] == kNoVoxel) {
      components.push_back({points[k]});
      continue;
    }
    const uint32_t root = sets.find(point_voxel[k]);
    if (component_of_root[root] == kNoVoxel) {
      component_of_root[root] = static_cast<uint32_t>(components.size());
      components.emplace_back();
    }
    components[component_of_root[root]].push_back(points[k]);
  }
  return components;
}

}  // namespace planeseg
