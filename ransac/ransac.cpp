#include "ransac/ransac.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <random>

#include "common/clamp.hpp"
#include "common/geometry.hpp"
#include "common/random_draw.hpp"

namespace planeseg {
namespace {

/// Unit vector of v, or false when it is shorter than 1e-8.
bool unit(const Vec3f& v, Vec3f& out) {
  const float len = std::sqrt(dot(v, v));
  if (!(len >= 1e-8f)) return false;
  out = {v.x / len, v.y / len, v.z / len};
  return true;
}

}  // namespace

void clamp_quarvo_params(QuarvoParams& p) {
  p.epsilon = p.epsilon > 1e-6f ? p.epsilon : 1e-6f;
  p.min_points = std::max<uint32_t>(p.min_points, 3);
  p.normal_threshold_deg = within(p.normal_threshold_deg, 0.0f, 89.9f);
  p.probability = within(p.probability, 1e-6f, 0.999999f);
  p.max_iterations_per_plane = std::max<uint32_t>(p.max_iterations_per_plane, 100);
}

void estimate_normals_radius(PointCloud& cloud, const SpatialIndex& index, float radius2) {
  cloud.normals.assign(cloud.size(), Vec3f{0.0f, 0.0f, 1.0f});
  float sums[6];
  for (uint32_t i : index.spatial_order()) {  // rows left out of the index keep (0, 0, 1)
    const Vec3f& p = cloud.coords[i];
    if (index.radius_scatter(p, radius2, 0.0f, p, sums) < 3) continue;
    const EigenDecomposition eig = decompose_symmetric(scatter_matrix(sums));
    if (!eig.converged) continue;
    const Vec3f v{eig.vectors(0, 0), eig.vectors(1, 0), eig.vectors(2, 0)};
    unit(v, cloud.normals[i]);
  }
}

bool plane_from_three_points(const PointCloud& cloud, uint32_t i0, uint32_t i1, uint32_t i2, float cos_thresh,
                             PlaneModel& out) {
  const Vec3f& a = cloud.coords[i0];
  const Vec3f& b = cloud.coords[i1];
  const Vec3f& c = cloud.coords[i2];
  const Vec3f u = b - a, v = c - a;
  const Vec3f m{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
  Vec3f n;
  if (!unit(m, n)) return false;
  if (!cloud.normals.empty()) {
    for (uint32_t i : {i0, i1, i2})
      if (std::fabs(dot(n, cloud.normals[i])) < cos_thresh) return false;
  }
  out.centroid = {(b.x + a.x + c.x) / 3.0f, (b.y + a.y + c.y) / 3.0f, (b.z + a.z + c.z) / 3.0f};
  out.normal = n;
  out.d = -dot(n, out.centroid);
  out.members.clear();
  return true;
}

bool refit_plane(const PointCloud& cloud, const std::vector<uint32_t>& indices, PlaneModel& out) {
  if (indices.size() < 3) return false;
  const Plane plane = fit_plane(cloud.coords, indices);
  Vec3f n;
  if (!plane.converged || !unit(plane.normal, n)) return false;
  out.centroid = plane.centroid;
  out.normal = n;
  out.d = -dot(n, plane.centroid);
  out.members = indices;
  return true;
}

std::vector<uint32_t> largest_inlier_cluster(const PointCloud& cloud, const SpatialIndex& index,
                                             const std::vector<uint32_t>& inliers, float radius2) {
  std::vector<uint32_t> best;
  if (inliers.empty()) return best;
  // 0: not an inlier, 1: inlier not yet visited, 2: visited.
  std::vector<uint8_t> state(cloud.size(), 0);
  for (uint32_t i : inliers) state[i] = 1;
  std::vector<uint32_t> component;
  std::deque<uint32_t> queue;
  NeighborList neighbours;
  for (uint32_t s : inliers) {
    if (state[s] != 1) continue;
    state[s] = 2;
    component.clear();
    queue.assign(1, s);
    while (!queue.empty()) {
      const uint32_t x = queue.front();
      queue.pop_front();
      component.push_back(x);
      index.radius_neighbors(cloud.coords[x], radius2, 0.0f, false, neighbours);
      for (const Neighbor& n : neighbours) {
        if (state[n.index] != 1) continue;
        state[n.index] = 2;
        queue.push_back(n.index);
      }
    }
    if (component.size() > best.size()) best = component;
  }
  return best;
}

uint32_t ransac_iteration_limit(uint32_t support, uint32_t active, float probability, uint32_t max_iterations) {
  constexpr uint32_t kUnbounded = std::numeric_limits<uint32_t>::max();
  uint32_t k = kUnbounded;
  if (support >= 3 && active >= 3 && support <= active) {
    const double w = static_cast<double>(support) / static_cast<double>(active);
    const double w3 = w * w * w;
    if (w3 >= 1.0) {
      k = 1;
    } else if (w3 > 0.0) {
      const double p = std::clamp(static_cast<double>(probability), 1e-9, 0.999999);
      const double den = std::log1p(-w3);
      if (std::isfinite(den) && den < 0.0) {
        const double q = std::log(p) / den;
        if (!std::isfinite(q) || q < 1.0) {
          k = 1;
        } else {
          const double up = std::ceil(q);
          k = up >= static_cast<double>(kUnbounded) ? kUnbounded : static_cast<uint32_t>(up);
        }
      }
    }
  }
  return std::min(k, max_iterations);
}

namespace {

/// The active points in active order, coordinates and normals as separate arrays so that the
/// scoring pass over them vectorises.
struct ActiveArrays {
  std::vector<uint32_t> index;
  std::vector<float> x, y, z, nx, ny, nz;

  void rebuild(const PointCloud& cloud) {
    const std::size_t n = index.size();
    x.resize(n), y.resize(n), z.resize(n), nx.resize(n), ny.resize(n), nz.resize(n);
    const bool normals = !cloud.normals.empty();
    for (std::size_t k = 0; k < n; ++k) {
      const Vec3f& p = cloud.coords[index[k]];
      x[k] = p.x, y[k] = p.y, z[k] = p.z;
      const Vec3f m = normals ? cloud.normals[index[k]] : Vec3f{0, 0, 0};
      nx[k] = m.x, ny[k] = m.y, nz[k] = m.z;
    }
  }
};

/// Positions (in active order) of the points within eps of the plane whose normals agree.
std::size_t score(const ActiveArrays& a, const PlaneModel& plane, float eps, float cos_thresh, bool with_normals,
                  std::vector<uint32_t>& positions) {
  const std::size_t n = a.index.size();
  positions.resize(n);
  const float px = plane.normal.x, py = plane.normal.y, pz = plane.normal.z, d = plane.d;
  uint32_t* out = positions.data();
  std::size_t count = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const float dist = std::fabs(((px * a.x[k] + py * a.y[k]) + pz * a.z[k]) + d);
    const float agree = std::fabs((px * a.nx[k] + py * a.ny[k]) + pz * a.nz[k]);
    const bool inlier = dist <= eps && (!with_normals || agree >= cos_thresh);
    out[count] = static_cast<uint32_t>(k);
    count += inlier;
  }
  positions.resize(count);
  return count;
}

class PlaneSearch {
 public:
  PlaneSearch(const PointCloud& cloud, const SpatialIndex& index, const QuarvoParams& params,
              const QuarvoProgress& progress)
      : cloud_(cloud), index_(index), params_(params), progress_(progress), engine_(params.seed) {
    eps_ = std::max(params.epsilon, 1e-6f);
    cluster_radius_ = params.cluster_epsilon > 0.0f ? params.cluster_epsilon : eps_;
    cos_thresh_ = static_cast<float>(std::cos(static_cast<double>(params.normal_threshold_deg * 0.017453292f)));
    result_.labels.assign(cloud.size(), -1);
    active_.index.resize(cloud.size());
    for (uint32_t i = 0; i < cloud.size(); ++i) active_.index[i] = i;
    active_.rebuild(cloud);
  }

  QuarvoResult run() {
    if (!report("Searching plane 1...", 0, false)) return cancel();
    const bool with_normals = !cloud_.normals.empty();
    std::vector<uint32_t> candidate, best;
    while (active_.index.size() >= params_.min_points) {
      const uint32_t n = static_cast<uint32_t>(active_.index.size());
      const std::string searching = "Searching plane " + std::to_string(result_.planes.size() + 1) + "...";
      best.clear();
      PlaneModel best_model, model;
      uint32_t limit = params_.max_iterations_per_plane;
      for (uint32_t t = 0;;) {
        if (t >= limit && best.size() >= params_.min_points) break;
        ++t;
        const uint32_t i0 = active_.index[uniform_below(engine_, n)];
        const uint32_t i1 = active_.index[uniform_below(engine_, n)];
        const uint32_t i2 = active_.index[uniform_below(engine_, n)];
        if (i0 != i1 && i0 != i2 && i1 != i2 && plane_from_three_points(cloud_, i0, i1, i2, cos_thresh_, model)) {
          score(active_, model, eps_, cos_thresh_, with_normals, candidate);
          if (candidate.size() > best.size()) {
            best.swap(candidate);
            best_model = model;
            limit = ransac_iteration_limit(static_cast<uint32_t>(best.size()), n, params_.probability,
                                           params_.max_iterations_per_plane);
            if (!report(searching, static_cast<uint32_t>(best.size()), false)) return cancel();
          } else if (t % 100 == 0) {
            if (!report(searching, static_cast<uint32_t>(best.size()), false)) return cancel();
          }
        }
        if (t >= params_.max_iterations_per_plane) break;
      }
      if (best.size() < params_.min_points) break;
      for (uint32_t& position : best) position = active_.index[position];
      const std::vector<uint32_t> cluster = largest_inlier_cluster(cloud_, index_, best, cluster_radius_);
      if (cluster.size() < params_.min_points) break;
      PlaneModel plane;
      if (!refit_plane(cloud_, cluster, plane)) break;
      accept(std::move(plane));
      const std::string accepted = "planes=" + std::to_string(result_.planes.size()) +
                                   " | remaining=" + std::to_string(active_.index.size());
      if (!report(accepted, 0, false)) return cancel();
    }
    report("Done", 0, true);
    return std::move(result_);
  }

 private:
  bool report(const std::string& stage, uint32_t best_support, bool finished) {
    if (!progress_) return true;
    QuarvoRuntime r;
    r.stage = stage;
    r.planes_found = static_cast<uint32_t>(result_.planes.size());
    r.active_points_remaining = static_cast<uint32_t>(active_.index.size());
    r.current_best_support = best_support;
    r.assigned = assigned_;
    r.finished = finished;
    return progress_(r);
  }

  QuarvoResult cancel() {
    result_.cancelled = true;
    return std::move(result_);
  }

  void accept(PlaneModel plane) {
    const int32_t id = static_cast<int32_t>(result_.planes.size());
    for (uint32_t i : plane.members) result_.labels[i] = id;
    assigned_ += static_cast<uint32_t>(plane.members.size());
    auto& idx = active_.index;
    idx.erase(std::remove_if(idx.begin(), idx.end(), [&](uint32_t i) { return result_.labels[i] == id; }),
              idx.end());
    active_.rebuild(cloud_);
    result_.planes.push_back(std::move(plane));
  }

  const PointCloud& cloud_;
  const SpatialIndex& index_;
  const QuarvoParams& params_;
  const QuarvoProgress& progress_;
  std::mt19937 engine_;
  float eps_ = 0, cluster_radius_ = 0, cos_thresh_ = 1;
  ActiveArrays active_;
  uint32_t assigned_ = 0;
  QuarvoResult result_;
};

}  // namespace

QuarvoResult run_plane_search(const PointCloud& cloud, const SpatialIndex& index, const QuarvoParams& params,
                              const QuarvoProgress& progress) {
  return PlaneSearch(cloud, index, params, progress).run();
}

}  // namespace planeseg
