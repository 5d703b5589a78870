#include "merging/merge.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <unordered_set>

#include "common/clamp.hpp"
#include "common/geometry.hpp"
#include "common/spatial_index.hpp"
#include "common/union_find.hpp"

namespace planeseg {

void clamp_merge_params(MergeParams& p) {
  if (!(p.neighbor_radius > 1e-6f)) p.neighbor_radius = 1e-6f;
  p.min_contact_points = std::max(p.min_contact_points, 1);
  p.planarity_threshold = p.planarity_threshold >= 0.0f ? std::min(p.planarity_threshold, 1.0f) : 0.0f;
  p.normal_angle_deg = p.normal_angle_deg >= 0.0f ? std::min(p.normal_angle_deg, 90.0f) : 0.0f;
  if (!(p.plane_distance_threshold >= 0.0f)) p.plane_distance_threshold = 0.0f;
  p.min_region_size = std::max(p.min_region_size, 1);
}

LabelRegions distinct_labels(const std::vector<int32_t>& labels) {
  LabelRegions out;
  std::unordered_set<int32_t> seen;
  for (int32_t l : labels)
    if (l >= 0 && seen.insert(l).second) out.labels.push_back(l);
  std::sort(out.labels.begin(), out.labels.end());
  out.index_of.reserve(out.labels.size());
  for (std::size_t k = 0; k < out.labels.size(); ++k) out.index_of[out.labels[k]] = static_cast<int32_t>(k);
  return out;
}

std::vector<RegionGeometry> compute_region_geometry(const PointCloud& cloud, const std::vector<int32_t>& labels,
                                                    const LabelRegions& regions) {
  const std::size_t k = regions.labels.size();
  std::vector<std::vector<uint32_t>> members(k);
  for (std::size_t i = 0; i < labels.size(); ++i)
    if (labels[i] >= 0) members[regions.index_of.at(labels[i])].push_back(static_cast<uint32_t>(i));
  std::vector<RegionGeometry> out(k);
  for (std::size_t r = 0; r < k; ++r) {
    RegionGeometry& g = out[r];
    g.label = regions.labels[r];
    g.count = static_cast<int32_t>(members[r].size());
    const float n = static_cast<float>(members[r].size());
    float sx = 0, sy = 0, sz = 0;
    for (uint32_t i : members[r]) {
      sx += cloud.coords[i].x;
      sy += cloud.coords[i].y;
      sz += cloud.coords[i].z;
    }
    g.centroid = {sx / n, sy / n, sz / n};
    Eigen::Matrix3f cov = Eigen::Matrix3f::Zero();
    for (uint32_t i : members[r]) {
      const Vec3f d = cloud.coords[i] - g.centroid;
      const Eigen::Vector3f v(d.x, d.y, d.z);
      cov += v * v.transpose();
    }
    cov /= n;
    const EigenDecomposition eig = decompose_symmetric(cov);
    if (!eig.converged) continue;
    g.eigenvalues = {eig.values[0], eig.values[1], eig.values[2]};
    Vec3f normal{eig.vectors(0, 0), eig.vectors(1, 0), eig.vectors(2, 0)};
    const float len2 = dot(normal, normal);
    if (len2 > 0.0f) {
      const float len = std::sqrt(len2);
      normal = {normal.x / len, normal.y / len, normal.z / len};
    }
    g.normal = normal;
    const float s = (eig.values[0] + eig.values[1]) + eig.values[2];
    g.planarity = s > 1e-8f ? std::max(1.0f - eig.values[0] / s, 0.0f) : 0.0f;
    g.valid = std::isfinite(g.planarity) && is_finite(g.normal) && g.count != 0;
  }
  return out;
}

bool is_planar_region(const RegionGeometry& g, const MergeParams& p) {
  return g.valid && g.count >= p.min_region_size && g.planarity >= p.planarity_threshold;
}

bool regions_compatible(const RegionGeometry& a, const RegionGeometry& b, const MergeParams& p) {
  if (!is_planar_region(a, p) || !is_planar_region(b, p)) return false;
  float c = (a.normal.y * b.normal.y + a.normal.x * b.normal.x) + a.normal.z * b.normal.z;
  c = std::fabs(std::clamp(c, -1.0f, 1.0f));
  const float angle = static_cast<float>(std::acos(static_cast<double>(c)));
  if (angle * 180.0f / 3.1415927f > p.normal_angle_deg) return false;
  const float da = std::fabs(dot(a.centroid - b.centroid, b.normal));
  const float db = std::fabs(dot(b.centroid - a.centroid, a.normal));
  return p.plane_distance_threshold >= std::max(da, db);
}

namespace {

uint64_t pair_key(int32_t a, int32_t b) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(std::min(a, b))) << 32) |
         static_cast<uint32_t>(std::max(a, b));
}

void report(MendolinProgressState* progress, int64_t done, const char* stage) {
  if (!progress) return;
  progress->store(done);
  progress->set_stage(stage);
}

bool cancel_requested(MendolinProgressState* progress) { return progress && progress->cancelled(); }

}  // namespace

MergeResult merge_regions(const PointCloud& cloud, const std::vector<int32_t>& labels, const MergeParams& params,
                          MendolinProgressState* progress) {
  const auto start = std::chrono::steady_clock::now();
  if (labels.size() != cloud.size()) throw std::runtime_error("labels length does not match point count");
  MergeResult out;
  out.labels = labels;
  out.num_points = static_cast<int64_t>(cloud.size());
  if (progress) progress->reset(4);
  report(progress, 0, "Computing region geometry...");

  const LabelRegions regions = distinct_labels(labels);
  out.num_input_regions = static_cast<int64_t>(regions.labels.size());
  const std::vector<RegionGeometry> geometry = compute_region_geometry(cloud, labels, regions);
  out.num_planar_regions = std::count_if(geometry.begin(), geometry.end(),
                                         [&](const RegionGeometry& g) { return is_planar_region(g, params); });
  if (cancel_requested(progress)) return out.cancelled = true, out;
  report(progress, 1, "Building adjacency graph...");

  // Contact counts are 64-bit: a long dense seam with a large radius cannot overflow them.
  const SpatialIndex index(cloud);
  std::unordered_map<uint64_t, int64_t> contacts;
  const float r2 = params.neighbor_radius * params.neighbor_radius;
  NeighborList neighbours;
  // Points are visited in the index's spatial order (the counts do not depend on the order);
  // rows without finite coordinates touch nothing.
  const std::vector<uint32_t> order = index.spatial_order();
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k % 10000 == 0 && cancel_requested(progress)) return out.cancelled = true, out;
    const uint32_t p = order[k];
    const int32_t lp = labels[p];
    if (lp < 0) continue;
    index.radius_neighbors(cloud.coords[p], r2, 0.0f, false, neighbours);
    for (const Neighbor& n : neighbours) {
      const int32_t lq = labels[n.index];
      if (n.index != p && lq >= 0 && lq != lp) ++contacts[pair_key(lp, lq)];
    }
  }
  out.num_adjacency_pairs = static_cast<int64_t>(contacts.size());
  if (cancel_requested(progress)) return out.cancelled = true, out;
  report(progress, 2, "Merging compatible planar regions...");

  UnionFind sets(geometry.size());
  for (const auto& [key, count] : contacts) {
    if (count < params.min_contact_points) continue;
    const int32_t a = regions.index_of.at(static_cast<int32_t>(key >> 32));
    const int32_t b = regions.index_of.at(static_cast<int32_t>(key & 0xffffffffu));
    if (!regions_compatible(geometry[a], geometry[b], params)) continue;
    sets.unite(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
    ++out.num_merge_candidates;
  }
  if (cancel_requested(progress)) return out.cancelled = true, out;
  report(progress, 3, "Writing merged labels...");

  std::vector<int32_t> output_of_root(geometry.size(), -1);
  int32_t next = 0;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] < 0) {
      out.labels[i] = -1;
      continue;
    }
    const uint32_t root = sets.find(static_cast<uint32_t>(regions.index_of.at(labels[i])));
    if (output_of_root[root] < 0) output_of_root[root] = next++;
    out.labels[i] = output_of_root[root];
  }
  out.num_output_regions = next;
  out.elapsed_seconds = seconds_since(start);
  report(progress, 4, "Done");
  return out;
}

}  // namespace planeseg
