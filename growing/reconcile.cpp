#include "growing/reconcile.hpp"

#include <algorithm>
#include <cmath>

#include "common/geometry.hpp"
#include "common/union_find.hpp"

namespace planeseg {

void clamp_merge_options(MergeOptions& o) {
  o.angle_deg = o.angle_deg >= 0.0f ? std::min(o.angle_deg, 90.0f) : 0.0f;
  if (!(o.distance_factor >= 0.0f)) o.distance_factor = 0.0f;
}

CollectedRegions collect_regions(const std::vector<Chunk>& chunks, std::vector<ExtractionResult>& results,
                                 std::vector<int32_t>& labels) {
  CollectedRegions out;
  std::size_t claims = 0;
  for (const auto& r : results)
    for (int32_t l : r.labels) claims += l >= 0;
  out.claims.reserve(claims);
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    ExtractionResult& result = results[c];
    const uint32_t first = static_cast<uint32_t>(out.regions.size());
    for (auto& region : result.regions) out.regions.push_back(std::move(region));
    result.regions.clear();
    for (std::size_t k = 0; k < result.points.size(); ++k)
      if (result.labels[k] >= 0) out.claims.emplace_back(result.points[k], first + static_cast<uint32_t>(result.labels[k]));
    // Home points in ascending order; so are the chunk's points: walk both together.
    std::size_t k = 0;
    for (uint32_t p : chunks[c].home) {
      while (k < result.points.size() && result.points[k] < p) ++k;
      const bool labelled = k < result.points.size() && result.points[k] == p && result.labels[k] >= 0;
      labels[p] = labelled ? static_cast<int32_t>(first) + result.labels[k] : -1;
    }
  }
  return out;
}

bool regions_coplanar(const PlaneRegion& a, const PlaneRegion& b, float angle_deg, float threshold) {
  auto unit = [](const Vec3f& n) {
    const float len2 = dot(n, n);
    if (!(len2 > 0.0f)) return n;
    const float len = std::sqrt(len2);
    return Vec3f{n.x / len, n.y / len, n.z / len};
  };
  const Vec3f ua = unit(a.normal), ub = unit(b.normal);
  const float k = std::clamp(std::fabs(dot(ua, ub)), -1.0f, 1.0f);
  const float theta = static_cast<float>(std::acos(static_cast<double>(k))) * 180.0f / kPiF;
  if (theta > angle_deg) return false;
  const float d_ab = std::fabs(dot(ua, b.centroid - a.centroid));
  const float d_ba = std::fabs(dot(ub, a.centroid - b.centroid));
  return d_ab <= threshold && d_ba <= threshold;
}

namespace {


/// Pairs (a < b) of regions that hold a common point, each pair once.
std::vector<uint64_t> shared_point_pairs(std::vector<std::pair<uint32_t, uint32_t>>& claims) {
  std::sort(claims.begin(), claims.end());
  std::vector<uint64_t> pairs;
  std::vector<uint32_t> ids;
  for (std::size_t i = 0; i < claims.size();) {
    std::size_t j = i;
    ids.clear();
    while (j < claims.size() && claims[j].first == claims[i].first) ids.push_back(claims[j++].second);
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (std::size_t a = 0; a < ids.size(); ++a)
      for (std::size_t b = a + 1; b < ids.size(); ++b) pairs.push_back((uint64_t{ids[a]} << 32) | ids[b]);
    i = j;
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  return pairs;
}

}  // namespace

std::vector<PlaneRegion> merge_regions(const std::vector<Vec3f>& coords, CollectedRegions& collected,
                                       const MergeOptions& options, float epsilon, std::vector<int32_t>& labels) {
  const std::size_t count = collected.regions.size();
  UnionFind groups(count);
  if (options.enabled) {
    const float threshold = options.distance_factor * epsilon;
    for (uint64_t pair : shared_point_pairs(collected.claims)) {
      const uint32_t a = static_cast<uint32_t>(pair >> 32), b = static_cast<uint32_t>(pair & 0xffffffffu);
      if (regions_coplanar(collected.regions[a], collected.regions[b], options.angle_deg, threshold))
        groups.unite(a, b);
    }
  }
  collected.claims.clear();
  collected.claims.shrink_to_fit();

  std::vector<int32_t> merged_id(count, -1), id_of_root(count, -1);
  int32_t next = 0;
  for (uint32_t g = 0; g < count; ++g) {
    const uint32_t root = groups.find(g);
    if (id_of_root[root] < 0) id_of_root[root] = next++;
    merged_id[g] = id_of_root[root];
  }
  std::vector<PlaneRegion> merged(static_cast<std::size_t>(next));
  for (std::size_t p = 0; p < labels.size(); ++p) {
    if (labels[p] < 0) continue;
    labels[p] = merged_id[labels[p]];
    merged[labels[p]].members.push_back(static_cast<uint32_t>(p));
  }
  for (auto& region : merged) {
    const Plane plane = fit_plane(coords, region.members);
    region.centroid = plane.centroid;
    region.normal = plane.normal;
  }
  collected.regions.clear();
  return merged;
}

}  // namespace planeseg
