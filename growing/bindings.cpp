// Python module tessel: planar region growing.
#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>

#include "common/bindings.hpp"
#include "common/clamp.hpp"
#include "common/progress.hpp"
#include "common/spatial_order.hpp"
#include "growing/estimate.hpp"
#include "growing/grow_params.hpp"
#include "growing/pipeline.hpp"
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
  // Member indices fit int32: a cloud never holds 2^31 points.
  const std::vector<int32_t> members(growth.members.begin(), growth.members.end());
  py::array_t<int32_t> indices = bindings::to_numpy(members);
  py::dict info;
  info["seed_index"] = seed_index;
  info["num_points"] = growth.members.size();
  info["accepted"] = growth.accepted;
  return py::make_tuple(indices, info);
}

SegmentOptions read_segment_options(const py::dict& params, const py::dict& chunking, const py::dict& merge) {
  SegmentOptions o;
  o.grow = read_grow_params(params);
  ChunkingOptions& c = o.chunking;
  read_key(chunking, "enabled", c.enabled);
  read_key(chunking, "mode", c.mode);
  read_key(chunking, "target_points_per_chunk", c.target_points_per_chunk);
  read_key(chunking, "chunk_x", c.chunk_x);
  read_key(chunking, "chunk_y", c.chunk_y);
  read_key(chunking, "chunk_z", c.chunk_z);
  read_key(chunking, "overlap_factor", c.overlap_factor);
  clamp_chunking_options(c);
  read_key(merge, "enabled", o.merge.enabled);
  read_key(merge, "angle_deg", o.merge.angle_deg);
  read_key(merge, "distance_factor", o.merge.distance_factor);
  clamp_merge_options(o.merge);
  read_key(params, "local_reassign_enabled", o.local_reassign);
  read_key(params, params.contains("global_reassign_enabled") ? "global_reassign_enabled" : "refine_unassigned",
           o.global_reassign);
  read_key(params, "seed", o.seed);
  read_key(params, "num_threads", o.max_threads);
  return o;
}

py::tuple segment_planar_regions(const FloatArray& coords, const py::object& normals, const std::string& normal_mode,
                                 const py::dict& params, const py::dict& chunking, const py::dict& merge,
                                 TesselProgressState* progress) {
  PointCloud cloud;
  bindings::check_point_array(coords, "coords");
  bindings::copy_point_array(coords, "coords", cloud.coords);
  SegmentOptions options = read_segment_options(params, chunking, merge);
  // Points close in space are made close in memory: every neighbour search gets faster.
  const std::vector<uint32_t> order = morton_order(cloud.coords);
  cloud.coords = gather(cloud.coords, order);
  SpatialIndex index(cloud);
  const auto start = std::chrono::steady_clock::now();
  options.provided_normals = parse_normal_mode(normal_mode) == NormalMode::UseProvided;
  if (options.provided_normals) {
    print_tessel_line("Stage 1/6: using provided normals...");
    bindings::load_provided_normals(normals, cloud);
    cloud.normals = gather(cloud.normals, order);
  }

  SegmentResult result;
  {
    py::gil_scoped_release release;
    result = run_segmentation(cloud, index, options, progress);
    result.labels = scatter_back(result.labels, order);
  }
  py::array_t<int32_t> labels = bindings::to_numpy(result.labels);
  const double elapsed = seconds_since(start);
  py::dict stats;
  stats["num_points"] = cloud.size();
  stats["num_chunks"] = result.num_chunks;
  stats["num_regions_pre_merge"] = result.num_regions_pre_merge;
  stats["num_regions_post_merge"] = result.num_regions_post_merge;
  stats["num_unassigned"] = result.num_unassigned;
  stats["elapsed_seconds"] = elapsed;
  stats["cancelled"] = progress != nullptr && progress->cancelled();
  std::ostringstream line;
  line << "Stage 6/6: done in " << elapsed << "s";
  print_tessel_line(line.str());
  return py::make_tuple(labels, stats);
}

py::tuple estimate_parameters_binding(const FloatArray& coords, uint32_t sample_size, uint32_t seed) {
  PointCloud cloud;
  bindings::check_point_array(coords, "coords");
  bindings::copy_point_array(coords, "coords", cloud.coords);
  ParameterEstimate e;
  {
    py::gil_scoped_release release;
    e = planeseg::estimate_parameters(cloud, sample_size, seed);
  }
  py::dict stats;
  stats["sample_size_used"] = e.sample_size_used;
  if (e.empty) {
    stats["tau0"] = 0;
    stats["base_spacing"] = 0.0;
    stats["estimate_seconds"] = 0.0;
  } else {
    stats["tau0"] = e.tau0;
    stats["base_spacing"] = e.base_spacing;
    stats["estimate_seconds"] = e.estimate_seconds;
    stats["seed"] = seed;
  }
  return py::make_tuple(e.epsilon, e.tau, e.alpha_deg, stats);
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

constexpr const char* kSegmentDoc = R"doc(segment_planar_regions(coords, normals=None, normal_mode="compute", params={}, chunking={}, merge={}, progress=None) -> (labels, stats)

Labels every point of the cloud with its planar region. The cloud's box is cut into chunks
that are segmented in parallel (at most one worker per hardware thread); their regions are
reconciled, coplanar regions meeting across chunk borders merged, and leftover points handed
to nearby regions or, globally, grouped into clusters with labels of their own.

coords: (N,3) array-like, cast to float32. Rows with NaN or inf join no chunk, index or
region and keep the label -1 (they count in num_unassigned); the finite points are
segmented as if those rows were absent.
params: the growth keys of SeededGrower, plus local_reassign_enabled (True),
global_reassign_enabled (True; refine_unassigned is read when it is absent), seed (an
unsigned 32-bit int: reproducible labels whatever the thread timing; absent, the random
device seeds every chunk) and neighbor_radius (a plain distance whose square replaces
epsilon as the bound of every neighbour query; epsilon keeps setting the plane tolerance
epsilon * epsilon_multiplier and the 1.1547 * epsilon voxel of the connected-piece split).
chunking: enabled (True), mode ("auto" or "explicit"), target_points_per_chunk (250000),
chunk_x/chunk_y/chunk_z (1), overlap_factor (3.0; the margin is epsilon * overlap_factor).
merge: enabled (True), angle_deg (5.0), distance_factor (3.0, times epsilon).
progress: a tessel.Progress polled from another thread; its cancellation request is only
reported (stats["cancelled"]), the run always completes.
Returns int32 labels (N,) and stats with num_points, num_chunks, num_regions_pre_merge,
num_regions_post_merge, num_unassigned, elapsed_seconds, cancelled.
)doc";

constexpr const char* kEstimateDoc = R"doc(estimate_parameters(coords, sample_size=50000, seed=0) -> (epsilon, tau, alpha_deg, stats)

Proposes the params "epsilon", "tau" and "alpha_deg" from a sample of min(N, sample_size)
points (at least one) drawn with an mt19937 seeded by seed, so a cloud, a sample size and a
seed always give the same proposals. base_spacing is the median distance of the sampled
points to their eighth nearest point (themselves included); epsilon, a squared neighbour
bound like the params key, is the median of the smallest of 1, 1.5, 2, 3, 4, 6, 8, 10 x
base_spacing whose neighbourhood looks planar; tau is the median neighbourhood size within
it (at least 3); alpha_deg follows from tau and stays near 29. Rows with NaN or inf are never
sampled. stats: sample_size_used, tau0, base_spacing, estimate_seconds and seed (no seed key
for a cloud without points, which gets (0.03, 80, 29.0)).
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

  m.def("segment_planar_regions", &segment_planar_regions, py::arg("coords"), py::arg("normals") = py::none(),
        py::arg("normal_mode") = "compute", py::arg("params") = py::dict(), py::arg("chunking") = py::dict(),
        py::arg("merge") = py::dict(), py::arg("progress") = py::none(), kSegmentDoc);

  m.def("estimate_parameters", &estimate_parameters_binding, py::arg("coords"), py::arg("sample_size") = 50000u,
        py::arg("seed") = 0u, kEstimateDoc);

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
