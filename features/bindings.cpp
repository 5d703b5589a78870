// Python module features: voxel hash, radius queries over it and per-point features.
#include <cmath>
#include <stdexcept>
#include <vector>

#include "common/bindings.hpp"
#include "common/progress.hpp"
#include "features/pcd_features.hpp"
#include "features/voxel_hash.hpp"

namespace py = pybind11;
using namespace planeseg;
using planeseg::bindings::FloatArray;

namespace {

/// The (N,3) rows of positive_coords, read in place (no copy).
const Vec3f* checked_rows(const FloatArray& positive_coords) {
  bindings::check_point_array(positive_coords, "positive_coords");
  return reinterpret_cast<const Vec3f*>(positive_coords.data());
}

std::size_t row_count(const FloatArray& positive_coords) { return static_cast<std::size_t>(positive_coords.shape(0)); }

VoxelHashIndex compute_voxel_hash(const FloatArray& positive_coords, float inv_s) {
  const Vec3f* rows = checked_rows(positive_coords);
  const std::size_t n = row_count(positive_coords);
  py::gil_scoped_release release;
  return VoxelHashIndex::build(rows, n, inv_s);
}

uint32_t voxel_key(float x, float y, float z, float inv_s) {
  const auto cell = voxel_cell({x, y, z}, inv_s);
  if (!cell) throw std::runtime_error("voxel_key: a coordinate times inv_s is NaN and lies in no cell");
  return cell_key(*cell);
}

py::array_t<uint32_t> get_neighbor_inds_radius(float radius, const FloatArray& query, float voxel_size,
                                               const VoxelHashIndex& voxel_hash, const FloatArray& positive_coords) {
  const bool shape_ok = (query.ndim() == 1 && query.shape(0) == 3) ||
                        (query.ndim() == 2 && query.shape(0) == 1 && query.shape(1) == 3);
  if (!shape_ok) throw std::runtime_error("query must be a (3,) or (1,3) float array");
  const Vec3f q{query.data()[0], query.data()[1], query.data()[2]};
  const Vec3f* rows = checked_rows(positive_coords);
  check_coordinate_rows(voxel_hash, row_count(positive_coords));
  std::vector<uint32_t> found;
  {
    py::gil_scoped_release release;
    voxel_radius_search(voxel_hash, radius, voxel_size, q, rows, found);
  }
  return bindings::to_numpy(found);
}

py::tuple compute_pcd_features_binding(float radius, float voxel_size, const FloatArray& positive_coords,
                                       const VoxelHashIndex& voxel_hash, FeaturesProgressState* progress) {
  const Vec3f* rows = checked_rows(positive_coords);
  const std::size_t n = row_count(positive_coords);
  check_coordinate_rows(voxel_hash, n);
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(n), 3};
  py::array_t<float> eigenvalues(shape);
  py::array_t<float> normals(shape);
  float* eigenvalue_rows = eigenvalues.mutable_data();
  float* normal_rows = normals.mutable_data();
  {
    py::gil_scoped_release release;
    compute_pcd_features(voxel_hash, rows, n, radius, voxel_size, progress, eigenvalue_rows, normal_rows);
  }
  return py::make_tuple(eigenvalues, normals);
}

constexpr const char* kVoxelHashDoc = R"doc(Points of a cloud grouped by the cubic cell that holds them.

Built by compute_voxel_hash; VoxelHash() is an empty index, on which every query finds
nothing. len() is the number of occupied cells. The index keeps point indices only: pass the
same coordinates again to get_neighbor_inds_radius and compute_pcd_features.)doc";

constexpr const char* kComputeVoxelHashDoc = R"doc(compute_voxel_hash(positive_coords, inv_s) -> VoxelHash

Indexes the (N,3) points by cell (floor(x * inv_s), floor(y * inv_s), floor(z * inv_s)),
taken in double precision; inv_s is 1 / voxel edge length. A point whose scaled coordinate is
NaN (a NaN coordinate, or an infinite one with inv_s 0) is left out of the index; a scaled
coordinate beyond the signed 64-bit range, infinities included, falls into the extreme cell on
its side. At most 4294967295 points.)doc";

constexpr const char* kVoxelKeyDoc = R"doc(voxel_key(x, y, z, inv_s) -> int

The 32-bit hash key of the cell of (x, y, z) at scale inv_s, as the index computes it: the
SplitMix64 finaliser of each cell coordinate, combined as hx ^ (hy << 1) ^ (hz << 2), low 32
bits. Raises RuntimeError when a scaled coordinate is NaN (such a point has no cell).)doc";

constexpr const char* kNeighborsDoc = R"doc(get_neighbor_inds_radius(radius, query, voxel_size, voxel_hash, positive_coords) -> uint32 array

Indices of the points within radius of query (distance <= radius, in float32), visiting the
cells that the query ball's box touches. Order: by cell (x, then y, then z ascending),
increasing index inside a cell. The cells are those of the index (its inv_s), so a voxel_size
that is not exactly 1 / inv_s in float32 (1 / 0.03 rounded from double is not 1.0f / 0.03f)
misses nothing. query: shape (3,) or (1,3). A radius or voxel_size that is not positive, or an
empty index, gives an empty array. positive_coords must be the array the index was built from;
fewer rows than that raise RuntimeError.)doc";

constexpr const char* kFeaturesDoc = R"doc(compute_pcd_features(radius, voxel_size, positive_coords, voxel_hash, progress=None) -> (eigenvalues, normals)

For every point: the eigenvalues (ascending) of the scatter sum((p_j - p_i)(p_j - p_i)^T) over
its neighbours within radius (found as get_neighbor_inds_radius does), and the unit eigenvector
of the smallest, the surface normal (sign not fixed). Both float32 (N,3). A point without
neighbours gets (0, 0, 0) and (1, 0, 0); a point with a non-finite coordinate gets NaN rows.
Runs on the OpenMP threads (OMP_NUM_THREADS) with the interpreter lock released; the result
does not depend on the thread count. progress: a features.Progress, reset to total N; done
grows as points finish; a cancel request stops the call early (it returns normally) and the
rows of the skipped points are NaN.)doc";

}  // namespace

PYBIND11_MODULE(features, m) {
  m.doc() = "Point cloud feature utilities";
  bindings::bind_progress<FeaturesProgressState>(m, "_FeaturesProgress",
                                                 "Progress of compute_pcd_features: points done of total, a cancel request.");
  py::class_<VoxelHashIndex>(m, "VoxelHash", kVoxelHashDoc)
      .def(py::init<>(), "An empty index.")
      .def("__len__", &VoxelHashIndex::cell_count, "Number of occupied cells.");
  m.def("voxel_key", &voxel_key, py::arg("x"), py::arg("y"), py::arg("z"), py::arg("inv_s"), kVoxelKeyDoc);
  m.def("compute_voxel_hash", &compute_voxel_hash, py::arg("positive_coords"), py::arg("inv_s"), kComputeVoxelHashDoc);
  m.def("get_neighbor_inds_radius", &get_neighbor_inds_radius, py::arg("radius"), py::arg("query"),
        py::arg("voxel_size"), py::arg("voxel_hash"), py::arg("positive_coords"), kNeighborsDoc);
  m.def("compute_pcd_features", &compute_pcd_features_binding, py::arg("radius"), py::arg("voxel_size"),
        py::arg("positive_coords"), py::arg("voxel_hash"), py::arg("progress") = py::none(), kFeaturesDoc);
}
