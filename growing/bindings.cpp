// Python module tessel: planar region growing.
#include <cstring>
#include <memory>

#include "common/bindings.hpp"
#include "common/progress.hpp"
#include "growing/grow_params.hpp"
#include "growing/region_growing.hpp"

namespace py = pybind11;
using namespace planeseg;
using planeseg::bindings::FloatArray;
using planeseg::bindings::read_key;

namespace {

GrowParams read_grow_params(const py::dict& d) {
  GrowParams p;
  visit_grow_params(p, [&d](const char* key, auto& field) { read_key(d, key, field); });
  clamp_grow_params(p);
  return p;
}

/// The parameters in effect after reading and clamping, alpha back in degrees.
py::dict grow_params_dict(GrowParams p) {
  py::dict d;
  visit_grow_params(p, [&d](const char* key, const auto& field) { d[key] = field; });
  return d;
}

std::unique_ptr<SeededGrowerSession> make_seeded_grower(const FloatArray& coords, const py::object& normals,
                                                        const std::string& normal_mode, const py::dict& params) {
  PointCloud cloud;
  bindings::check_point_array(coords, "coords");
  bindings::copy_point_array(coords, "coords", cloud.coords);
  const GrowParams grow_params = read_grow_params(params);
  const NormalMode mode = bindings::load_normals(normal_mode, normals, cloud);

  py::gil_scoped_release release;
  auto session = std::make_unique<SeededGrowerSession>(std::move(cloud), grow_params);
  if (mode == NormalMode::Compute) session->estimate_normals();
  return session;
}

py::tuple grow(const SeededGrowerSession& session, uint32_t seed_index) {
  SeededGrowth growth;
  {
    py::gil_scoped_release release;
    growth = session.grow(seed_index);
  }
  py::array_t<int32_t> indices(static_cast<py::ssize_t>(growth.members.size()));
  if (!growth.members.empty()) {
    std::memcpy(indices.mutable_data(), growth.members.data(), growth.members.size() * sizeof(uint32_t));
  }
  py::dict info;
  info["seed_index"] = seed_index;
  info["num_points"] = growth.members.size();
  info["accepted"] = growth.accepted;
  return py::make_tuple(indices, info);
}

py::list chunk_statuses(const TesselProgressState& progress) {
  std::vector<ChunkStatus> statuses;
  py::list out;
  if (!progress.try_chunk_statuses(statuses)) return out;
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    const ChunkStatus& s = statuses[i];
    py::dict entry;
    entry["chunk"] = i;
    entry["attempts"] = s.attempts;
    entry["regions"] = s.regions;
    entry["remaining"] = s.remaining;
    entry["fail_rate"] = s.fail_rate;
    entry["fail_threshold"] = s.fail_threshold;
    entry["phase"] = static_cast<int>(s.phase);
    out.append(entry);
  }
  return out;
}

constexpr const char* kSeededGrowerDoc = R"doc(SeededGrower(coords, normals=None, normal_mode="compute", params={})

Grows single planar regions from seeds chosen by the caller.

coords: (N,3) array-like, cast to float32. Rows with NaN or inf never join a region
and are invisible to every neighbourhood.
normals: (N,3) array-like, used when normal_mode is "use_provided" (or "use_existing").
normal_mode: "compute" estimates each normal from the neighbours within sqrt(epsilon).
params: growth parameters; epsilon (default 0.03) is a *squared* neighbour radius and also
the basis of the plane tolerance epsilon * epsilon_multiplier and of the voxel side
1.1547 * epsilon of the connected-piece split. Other keys: tau (80), alpha_deg (27),
first_refit (4), refit_multiplier (2.0), epsilon_multiplier (3.0), max_dist_from_cent
(50.0), search_radius_approx (0.0), oriented_normals (False), perform_cca (True),
enable_seed_gating (True), seed_min_neighbors (10), seed_planarity_min (0.2),
seed_scattering_max (0.35), and the extraction keys epsilon_multiplier_average,
confidence, verbose, failrate_window, failrate_threshold. Out-of-range values are
clamped; a value of the wrong type raises RuntimeError.
)doc";

constexpr const char* kGrowDoc = R"doc(grow(seed_index) -> (indices, info)

Grows the region of one seed over all points. Returns the member indices (int32,
ascending) and {"seed_index", "num_points", "accepted"}. A seed that fails the seed
gate, or a region smaller than tau, gives an empty array with accepted False.
Raises RuntimeError("seed_index out of range") when seed_index >= N.
)doc";

}  // namespace

PYBIND11_MODULE(tessel, m) {
  m.doc() = "Planar region growing module";

  auto progress = bindings::bind_progress<TesselProgressState>(
      m, "_TesselProgress",
      "Progress of a tessel call: done/total counters, a cancel request and per-chunk statuses.");
  progress.def("chunk_statuses", &chunk_statuses,
               "Per-chunk dictionaries (chunk, attempts, regions, remaining, fail_rate, fail_threshold, "
               "phase); an empty list when a worker holds the lock at that moment.");

  py::class_<SeededGrowerSession>(m, "SeededGrower", kSeededGrowerDoc)
      .def(py::init(&make_seeded_grower), py::arg("coords"), py::arg("normals") = py::none(),
           py::arg("normal_mode") = "compute", py::arg("params") = py::dict())
      .def("grow", &grow, py::arg("seed_index"), kGrowDoc)
      .def_property_readonly(
          "params", [](const SeededGrowerSession& s) { return grow_params_dict(s.params()); },
          "The growth parameters in effect: every key with its default or the clamped value given "
          "(a new dictionary on each access; alpha_deg in degrees).")
      .def("__len__", &SeededGrowerSession::size, "Number of points of the cloud.");
}
