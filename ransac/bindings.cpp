// Python module quarvo: sequential plane RANSAC.
#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>

#include "common/bindings.hpp"
#include "common/clamp.hpp"
#include "common/progress.hpp"
#include "common/spatial_index.hpp"
#include "ransac/ransac.hpp"

namespace py = pybind11;
using namespace planeseg;
using planeseg::bindings::FloatArray;
using planeseg::bindings::read_key;

namespace {

void print_line(const std::string& text) { std::cout << "[quarvo] " << text << std::endl; }

QuarvoParams read_params(const py::dict& d) {
  QuarvoParams p;
  read_key(d, "epsilon", p.epsilon);
  read_key(d, "min_points", p.min_points);
  read_key(d, "normal_threshold_deg", p.normal_threshold_deg);
  read_key(d, "cluster_epsilon", p.cluster_epsilon);
  read_key(d, "probability", p.probability);
  read_key(d, "max_iterations_per_plane", p.max_iterations_per_plane);
  read_key(d, "seed", p.seed);
  clamp_quarvo_params(p);
  return p;
}

py::tuple segment_planes(const FloatArray& coords, const py::object& normals, const std::string& normal_mode,
                         const py::dict& params, QuarvoProgressState* progress) {
  PointCloud cloud;
  bindings::check_point_array(coords, "coords");
  bindings::copy_point_array(coords, "coords", cloud.coords);
  const QuarvoParams p = read_params(params);
  const int64_t n = static_cast<int64_t>(cloud.size());
  if (progress) progress->reset(n);
  const NormalMode mode = bindings::load_normals(normal_mode, normals, cloud);
  const SpatialIndex index(cloud);
  const auto start = std::chrono::steady_clock::now();

  QuarvoResult result;
  std::size_t unassigned = 0;
  {
    py::gil_scoped_release release;
    const std::string stage = mode == NormalMode::Compute ? "Computing normals..." : "Using provided normals...";
    print_line(stage);
    if (progress) {
      progress->store(0);
      progress->publish(stage, 0, n, 0);
    }
    if (mode == NormalMode::Compute) estimate_normals_radius(cloud, index, p.epsilon);
    QuarvoProgress handler;
    if (progress) {
      handler = [progress](const QuarvoRuntime& r) {
        progress->store(r.assigned);
        progress->publish(r.stage, r.planes_found, r.active_points_remaining, r.current_best_support);
        if (r.finished) progress->finish();
        return !progress->cancelled();
      };
    }
    result = run_plane_search(cloud, index, p, handler);
    unassigned = static_cast<std::size_t>(std::count(result.labels.begin(), result.labels.end(), -1));
  }
  py::array_t<int32_t> labels = bindings::to_numpy(result.labels);
  const double elapsed = seconds_since(start);

  py::list planes;
  for (const PlaneModel& plane : result.planes) {
    py::dict entry;
    entry["centroid"] = py::make_tuple(plane.centroid.x, plane.centroid.y, plane.centroid.z);
    entry["normal"] = py::make_tuple(plane.normal.x, plane.normal.y, plane.normal.z);
    entry["d"] = plane.d;
    entry["size"] = plane.members.size();
    planes.append(entry);
  }
  py::dict info;
  info["num_points"] = cloud.size();
  info["num_planes"] = result.planes.size();
  info["num_unassigned"] = unassigned;
  info["elapsed_seconds"] = elapsed;
  info["cancelled"] = result.cancelled || (progress != nullptr && progress->cancelled());
  info["planes"] = planes;
  std::ostringstream line;
  line << "Done in " << elapsed << "s";
  print_line(line.str());
  return py::make_tuple(labels, info);
}

constexpr const char* kSegmentPlanesDoc = R"doc(segment_planes(coords, normals=None, normal_mode="compute", params={}, progress=None) -> (labels, info)

Extracts planes one after another: three random active points define a candidate, its
support is the active points within epsilon of it whose normals are within
normal_threshold_deg of its normal, the adaptive iteration limit follows the best support,
and the winner is cut to its largest connected cluster and refitted. Deterministic for a seed.

params: epsilon (0.03; plane distance, and the *squared* radius of the normals), min_points
(100), normal_threshold_deg (25), cluster_epsilon (-1: epsilon; a squared radius),
probability (0.01), max_iterations_per_plane (5000), seed (0). Out-of-range values are
clamped; a value of the wrong type raises RuntimeError.
progress: a quarvo.Progress; a cancel request stops the search at its next report and the
planes found so far are returned with info["cancelled"] True.
Returns int32 labels (-1: no plane) and info with num_points, num_planes, num_unassigned,
elapsed_seconds, cancelled and planes (dicts with centroid, normal, d, size).
)doc";

}  // namespace

PYBIND11_MODULE(quarvo, m) {
  m.doc() = "Plane-only RANSAC segmentation";
  auto progress = bindings::bind_progress<QuarvoProgressState>(
      m, "_QuarvoProgress", "Progress of a quarvo call: counters, a cancel request, the stage text and plane counts.");
  progress.def("stage", &QuarvoProgressState::stage, "The current stage text.")
      .def("planes_found", &QuarvoProgressState::planes_found, "Planes accepted so far.")
      .def("active_points_remaining", &QuarvoProgressState::active_points_remaining, "Points no plane has taken.")
      .def("current_best_support", &QuarvoProgressState::current_best_support, "Inliers of the best candidate.");
  m.def("segment_planes", &segment_planes, py::arg("coords"), py::arg("normals") = py::none(),
        py::arg("normal_mode") = "compute", py::arg("params") = py::dict(), py::arg("progress") = py::none(),
        kSegmentPlanesDoc);
}
