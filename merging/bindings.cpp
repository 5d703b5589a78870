// Python module mendolin: merging of an instance label field into planar regions.
#include <cmath>
#include <cstring>

#include "common/bindings.hpp"
#include "common/progress.hpp"
#include "merging/merge.hpp"

namespace py = pybind11;
using namespace planeseg;
using planeseg::bindings::FloatArray;
using planeseg::bindings::read_key;

namespace {

MergeParams read_merge_params(const py::dict& d) {
  MergeParams p;
  read_key(d, "neighbor_radius", p.neighbor_radius);
  read_key(d, "min_contact_points", p.min_contact_points);
  read_key(d, "planarity_threshold", p.planarity_threshold);
  read_key(d, "normal_angle_deg", p.normal_angle_deg);
  read_key(d, "plane_distance_threshold", p.plane_distance_threshold);
  read_key(d, "min_region_size", p.min_region_size);
  clamp_merge_params(p);
  return p;
}

/// Labels of any numeric dtype, checked to be integral values in the int32 range: a wider or
/// fractional label would otherwise wrap or truncate onto another label and merge two regions.
std::vector<int32_t> checked_labels(const py::object& object, std::size_t rows) {
  const py::array labels = py::array::ensure(object);
  if (!labels) throw py::type_error("labels must be an array-like of numbers");
  const std::ptrdiff_t ndim = labels.ndim();
  if (!(ndim == 1 || (ndim == 2 && labels.shape(1) == 1)))
    throw std::runtime_error("labels must be a (N,) or (N,1) int array");
  if (static_cast<std::size_t>(labels.shape(0)) != rows)
    throw std::runtime_error("labels length must match coords row count");
  std::vector<int32_t> out(rows);
  if (py::isinstance<py::array_t<int32_t>>(labels) || labels.dtype().kind() == 'b' ||
      (labels.dtype().kind() == 'i' && labels.itemsize() <= 4) ||
      (labels.dtype().kind() == 'u' && labels.itemsize() <= 2)) {
    const auto exact = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(labels);
    if (rows) std::memcpy(out.data(), exact.data(), rows * sizeof(int32_t));
    return out;
  }
  // Wider integers and floats: every value must be integral and fit int32 (checked in double,
  // which represents every int32 exactly and keeps larger values out of range).
  const auto wide = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(labels);
  if (!wide) throw py::error_already_set();
  const double* v = wide.data();
  for (std::size_t i = 0; i < rows; ++i) {
    if (!(v[i] == std::floor(v[i]) && v[i] >= -2147483648.0 && v[i] <= 2147483647.0))
      throw std::runtime_error("labels must hold integer values within the int32 range");
    out[i] = static_cast<int32_t>(v[i]);
  }
  return out;
}

py::tuple merge_planar_regions(const FloatArray& coords, const py::object& labels, const py::dict& params,
                               const py::object& progress) {
  PointCloud cloud;
  bindings::check_point_array(coords, "coords");
  std::vector<int32_t> values = checked_labels(labels, static_cast<std::size_t>(coords.shape(0)));
  bindings::copy_point_array(coords, "coords", cloud.coords);
  const MergeParams p = read_merge_params(params);
  MendolinProgressState* state = progress.is_none() ? nullptr : progress.cast<MendolinProgressState*>();
  MergeResult r;
  {
    py::gil_scoped_release release;
    r = merge_regions(cloud, values, p, state);
  }
  py::array_t<int32_t> out = bindings::to_numpy(r.labels);
  py::dict stats;
  stats["num_points"] = r.num_points;
  stats["num_input_regions"] = r.num_input_regions;
  stats["num_planar_regions"] = r.num_planar_regions;
  stats["num_adjacency_pairs"] = r.num_adjacency_pairs;
  stats["num_merge_candidates"] = r.num_merge_candidates;
  stats["num_output_regions"] = r.num_output_regions;
  stats["elapsed_seconds"] = r.elapsed_seconds;
  stats["cancelled"] = r.cancelled;
  return py::make_tuple(out, stats);
}

constexpr const char* kMergeDoc = R"doc(merge_planar_regions(coords, labels, params={}, progress=None) -> (labels, stats)

Merges adjacent labelled regions that are planar and lie on one common plane. Two regions
touch when at least min_contact_points pairs of their points are closer than
neighbor_radius (a plain distance; each pair counts from both ends); they merge when both
hold at least min_region_size points with planarity 1 - e0/(e0+e1+e2) of at least
planarity_threshold, their normals are within normal_angle_deg and each centroid is within
plane_distance_threshold of the other's plane. Merging is transitive.

labels: (N,) or (N,1), any integer or float dtype whose values are integers within the
int32 range (anything else raises RuntimeError before any work); negative means
unlabelled and comes out as -1. Output labels run 0..num_output_regions-1 in order of first
appearance. params: neighbor_radius (0.05), min_contact_points (5), planarity_threshold
(0.6), normal_angle_deg (10), plane_distance_threshold (0.03), min_region_size (20).
progress: a mendolin.Progress; a cancel request returns the input labels with cancelled True.
)doc";

}  // namespace

PYBIND11_MODULE(mendolin, m) {
  m.doc() = "Planar region merging for instance fields";
  auto progress = bindings::bind_progress<MendolinProgressState>(
      m, "_MendolinProgress", "Progress of a mendolin call: done/total of four stages, a cancel request, the stage.");
  progress.def("stage", &MendolinProgressState::stage, "The current stage text.");
  m.def("merge_planar_regions", &merge_planar_regions, py::arg("coords"), py::arg("labels"),
        py::arg("params") = py::dict(), py::arg("progress") = py::none(), kMergeDoc);
}
