#include "growing/extraction.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "common/geometry.hpp"

namespace planeseg {

void FailureWindow::push(uint8_t failed) {
  if (capacity_ == 0) return;
  if (count_ < capacity_) {
    buffer_.push_back(failed);
    ++count_;
    fails_ += failed;
  } else {
    fails_ -= buffer_[head_];
    buffer_[head_] = failed;
    fails_ += failed;
    head_ = static_cast<uint32_t>((head_ + 1) % buffer_.size());
  }
}

PointSubset::PointSubset(std::vector<uint32_t> points, std::vector<uint32_t>& local_of)
    : points_(std::move(points)), local_of_(local_of) {
  for (std::size_t k = 0; k < points_.size(); ++k) local_of_[points_[k]] = static_cast<uint32_t>(k);
}

PointSubset::~PointSubset() {
  for (uint32_t p : points_) local_of_[p] = kNotInSet;
}

namespace {

/// The available points of an extraction: O(1) membership, insertion, removal and uniform
/// draws, over the local numbering of a PointSubset.
class AvailablePoints {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;

  explicit AvailablePoints(const PointSubset& subset) : subset_(subset), position_(subset.size()) {
    items_.resize(subset.size());
    for (uint32_t k = 0; k < subset.size(); ++k) items_[k] = position_[k] = k;
  }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  /// Cloud index of the point at position k of the current order.
  uint32_t at(std::size_t k) const { return subset_.points()[items_[k]]; }

  bool contains(uint32_t global) const {
    const uint32_t l = subset_.local(global);
    return l != PointSubset::kNotInSet && position_[l] != kAbsent;
  }
  void erase(uint32_t global) {
    const uint32_t l = subset_.local(global);
    if (l == PointSubset::kNotInSet || position_[l] == kAbsent) return;
    const uint32_t pos = position_[l];
    const uint32_t last = items_.back();
    items_[pos] = last;
    position_[last] = pos;
    items_.pop_back();
    position_[l] = kAbsent;
  }
  void insert(uint32_t global) {
    const uint32_t l = subset_.local(global);
    if (l == PointSubset::kNotInSet || position_[l] != kAbsent) return;
    position_[l] = static_cast<uint32_t>(items_.size());
    items_.push_back(l);
  }
  /// The available points as cloud indices, in the current order.
  std::vector<uint32_t> snapshot() const {
    std::vector<uint32_t> out(items_.size());
    for (std::size_t k = 0; k < items_.size(); ++k) out[k] = at(k);
    return out;
  }

 private:
  const PointSubset& subset_;
  std::vector<uint32_t> items_;     // local numbers
  std::vector<uint32_t> position_;  // local number -> position in items_, or kAbsent
};

struct SubsetNormals {
  const PointSubset& subset;
  const std::vector<Vec3f>& normals;
  const Vec3f& operator()(uint32_t global) const { return normals[subset.local(global)]; }
};

/// Mean plane distance of points to region r.
float mean_plane_distance(const std::vector<Vec3f>& coords, const std::vector<uint32_t>& points,
                          const PlaneRegion& r) {
  float sum = 0.0f;
  for (uint32_t p : points) sum += std::fabs(dot(r.normal, coords[p] - r.centroid));
  return sum / static_cast<float>(points.size());
}

/// A window longer than the set can never fill when failed regions hand their points back
/// (identical points, say), and extraction would then retry forever: at most one attempt per
/// point of the set is waited for (never below the clamp of 8).
uint32_t effective_window(uint32_t window, std::size_t set_size) {
  return static_cast<uint32_t>(std::min<std::size_t>(window, std::max<std::size_t>(set_size, 8)));
}

class Extraction {
 public:
  Extraction(const PointCloud& cloud, const SpatialIndex& index, const PointSubset& subset, const GrowParams& params,
             std::mt19937& engine, const ExtractionProgress& progress)
      : cloud_(cloud), index_(index), subset_(subset), params_(params), engine_(engine), progress_(progress),
        available_(subset), window_(effective_window(params.failrate_window, subset.points().size())) {
    result_.points = subset.points();
    result_.labels.assign(subset.size(), kRemaining);
  }

  template <class NormalSource>
  ExtractionResult run(const NormalSource& normal_of) {
    attempt_loop(normal_of);
    report(true);
    for (std::size_t r = 0; r < result_.regions.size(); ++r)
      for (uint32_t p : result_.regions[r].members) label_of(p) = static_cast<int32_t>(r);
    if (!available_.empty() && !result_.regions.empty()) {
      absorb_small_pieces();
      absorb_single_points();
    }
    return std::move(result_);
  }

 private:
  int32_t& label_of(uint32_t global) { return result_.labels[subset_.local(global)]; }
  int32_t label_or_none(uint32_t global) const {
    const uint32_t l = subset_.local(global);
    return l == PointSubset::kNotInSet ? kRemaining : result_.labels[l];
  }

  void report(bool final) {
    if (!progress_) return;
    TesselRuntime r;
    r.attempts = attempts_;
    r.failed = failed_;
    r.rolling_fail_rate = window_.rate();
    r.failrate_threshold = params_.failrate_threshold;
    r.remaining = static_cast<uint32_t>(available_.size());
    r.regions = static_cast<uint32_t>(result_.regions.size());
    r.final = final;
    progress_(r);
  }

  void record(bool success) {
    failed_ = success ? 0 : failed_ + 1;
    window_.push(success ? 0 : 1);
  }

  void append_region(std::vector<uint32_t> members) {
    const Plane plane = fit_plane(cloud_.coords, members);
    result_.regions.push_back({plane.centroid, plane.normal, std::move(members)});
  }

  template <class NormalSource>
  void attempt_loop(const NormalSource& normal_of) {
    GrowScratch scratch;
    while (!available_.empty()) {
      if (window_.full() && window_.rate() >= params_.failrate_threshold) break;
      std::uniform_int_distribution<std::size_t> draw(0, available_.size() - 1);
      const uint32_t seed = available_.at(draw(engine_));
      available_.erase(seed);
      ++attempts_;
      if (!passes_seed_gate(cloud_, index_, seed, params_)) {
        label_of(seed) = kFailedSeed;
        record(false);
        report(false);
        continue;
      }
      PlaneRegion region = grow_region(cloud_, index_, params_, seed, available_, normal_of, false, scratch);
      bool success = false;
      if (region.members.size() < params_.tau) {
        for (uint32_t p : region.members) available_.insert(p);
      } else if (params_.perform_cca) {
        for (auto& component : voxel_components(cloud_.coords, region.members, params_.epsilon)) {
          if (component.size() < params_.tau) {
            for (uint32_t p : component) available_.insert(p);
            continue;
          }
          append_region(std::move(component));
          if (!success) success = region_quality_ok(result_.regions.back(), cloud_, params_);
        }
      } else {
        success = region_quality_ok(region, cloud_, params_);
        result_.regions.push_back(std::move(region));
      }
      record(success);
      report(false);
      if (params_.verbose) {
        std::cout << "Region attempts: failed=" << failed_ << "\trolling_fail_rate=" << window_.rate() << "/"
                  << params_.failrate_threshold << "\tregions=" << result_.regions.size()
                  << "\tremaining=" << available_.size() << std::endl;
      }
    }
  }

  void assign(uint32_t p, int32_t r) {
    label_of(p) = r;
    result_.regions[r].members.push_back(p);
    available_.erase(p);
  }

  void absorb_small_pieces() {
    const float tolerance = params_.plane_tolerance();
    std::vector<char> touched(result_.regions.size(), 0), seen(result_.regions.size(), 0);
    std::vector<int32_t> candidates;
    NeighborList neighbours;
    for (const auto& piece : voxel_components(cloud_.coords, available_.snapshot(), params_.epsilon)) {
      if (piece.empty() || piece.size() >= params_.tau) continue;
      candidates.clear();
      for (uint32_t p : piece) {
        index_.radius_neighbors(cloud_.coords[p], params_.neighbor_radius2(), params_.search_radius_approx, false,
                                neighbours);
        for (const Neighbor& n : neighbours) {
          const int32_t r = label_or_none(n.index);
          if (r >= 0 && !seen[r]) {
            seen[r] = 1;
            candidates.push_back(r);
          }
        }
      }
      for (int32_t r : candidates) seen[r] = 0;
      if (candidates.empty()) continue;
      int32_t best = -1;
      float best_score = 0.0f;
      for (int32_t r : candidates) {
        const float score = mean_plane_distance(cloud_.coords, piece, result_.regions[r]);
        if (best < 0 || score < best_score) best = r, best_score = score;
      }
      if (best_score <= tolerance) {
        for (uint32_t p : piece) assign(p, best);
        touched[best] = 1;
      }
    }
    for (std::size_t r = 0; r < touched.size(); ++r) {
      if (!touched[r]) continue;
      const Plane plane = fit_plane(cloud_.coords, result_.regions[r].members);
      result_.regions[r].centroid = plane.centroid;
      result_.regions[r].normal = plane.normal;
    }
  }

  void absorb_single_points() {
    const float tolerance = params_.plane_tolerance();
    const float distance_scale = std::max(params_.epsilon, 1e-8f);
    const float height_scale = std::max(tolerance, 1e-8f);
    NeighborList neighbours;
    for (uint32_t p : available_.snapshot()) {
      index_.radius_neighbors(cloud_.coords[p], params_.neighbor_radius2(), params_.search_radius_approx, true,
                              neighbours);
      int32_t best = -1;
      float best_score = 0.0f, best_h = 0.0f;
      for (const Neighbor& n : neighbours) {
        const int32_t r = label_or_none(n.index);
        if (r < 0) continue;
        const PlaneRegion& region = result_.regions[r];
        const float h = std::fabs(dot(region.normal, cloud_.coords[p] - region.centroid));
        const float score = n.dist2 / distance_scale + h / height_scale;
        if (best < 0 || score < best_score) best = r, best_score = score, best_h = h;
      }
      if (best >= 0 && best_h < tolerance) assign(p, best);
    }
  }

  const PointCloud& cloud_;
  const SpatialIndex& index_;
  const PointSubset& subset_;
  const GrowParams& params_;
  std::mt19937& engine_;
  const ExtractionProgress& progress_;
  AvailablePoints available_;
  FailureWindow window_;
  uint32_t attempts_ = 0;
  uint32_t failed_ = 0;
  ExtractionResult result_;
};

}  // namespace

bool region_quality_ok(const PlaneRegion& region, const PointCloud& cloud, const GrowParams& params) {
  if (region.members.size() < params.tau) return false;
  const float mean = mean_plane_distance(cloud.coords, region.members, region);
  return mean / std::max(params.epsilon, 1e-8f) <= params.epsilon_multiplier_average;
}

ExtractionResult extract_regions(const PointCloud& cloud, const SpatialIndex& index, const PointSubset& subset,
                                 const GrowParams& params, std::mt19937& engine, const ExtractionProgress& progress,
                                 const std::vector<Vec3f>* chunk_normals) {
  Extraction extraction(cloud, index, subset, params, engine, progress);
  if (chunk_normals) return extraction.run(SubsetNormals{subset, *chunk_normals});
  return extraction.run(CloudNormals{cloud.normals});
}

}  // namespace planeseg
