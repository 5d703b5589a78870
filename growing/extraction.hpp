// Extraction of planar regions from one set of points (a chunk): random seeds, growth, the
// connected-piece split, the quality test and the failure-rate stop, then the hand-over of
// small leftover pieces and single leftover points to the regions next to them.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "common/point_cloud.hpp"
#include "common/spatial_index.hpp"
#include "growing/grow_params.hpp"
#include "growing/region_growing.hpp"

namespace planeseg {

/// Counters handed to the progress callback after every attempt and once at the end.
struct TesselRuntime {
  uint32_t attempts = 0;
  uint32_t failed = 0;
  float rolling_fail_rate = 0.0f;
  float failrate_threshold = 0.0f;
  uint32_t remaining = 0;
  uint32_t regions = 0;
  bool final = false;
};
using ExtractionProgress = std::function<void(const TesselRuntime&)>;

/// Outcomes of the most recent attempts (1 = failed); its rate counts once it is full.
class FailureWindow {
 public:
  /// The buffer grows with the attempts up to capacity, so a huge window (up to 2^32 - 1) costs
  /// memory only for the attempts actually made.
  explicit FailureWindow(uint32_t capacity) : capacity_(capacity) {}
  void push(uint8_t failed);
  bool full() const { return count_ >= capacity_; }
  float rate() const { return count_ == 0 ? 0.0f : static_cast<float>(fails_) / static_cast<float>(count_); }

 private:
  uint32_t capacity_ = 0;
  std::vector<uint8_t> buffer_;
  uint32_t count_ = 0;
  uint32_t fails_ = 0;
  uint32_t head_ = 0;
};

/// Label of a point of the set: a region index, or one of these.
constexpr int32_t kRemaining = -1;    ///< in no region, available for reassignment
constexpr int32_t kFailedSeed = -2;   ///< a seed that failed the gate: in no region and not remaining

/// The points of one extraction numbered locally: points[k] is the cloud index of local point k.
/// local_of maps a cloud index to its local number (or kNotInSet); it is scratch owned by the
/// caller, sized to the cloud, filled for this set and cleared again by PointSubset's destructor.
class PointSubset {
 public:
  static constexpr uint32_t kNotInSet = UINT32_MAX;
  PointSubset(std::vector<uint32_t> points, std::vector<uint32_t>& local_of);
  ~PointSubset();
  PointSubset(const PointSubset&) = delete;
  PointSubset& operator=(const PointSubset&) = delete;

  const std::vector<uint32_t>& points() const { return points_; }
  std::size_t size() const { return points_.size(); }
  uint32_t local(uint32_t global) const { return local_of_[global]; }

 private:
  std::vector<uint32_t> points_;
  std::vector<uint32_t>& local_of_;
};

/// Regions of one extraction and the label of every point of its set (aligned with points()).
struct ExtractionResult {
  std::vector<uint32_t> points;
  std::vector<int32_t> labels;
  std::vector<PlaneRegion> regions;
};

/// Whether the region is large enough and its mean plane distance small enough to count the
/// attempt that made it as a success.
bool region_quality_ok(const PlaneRegion& region, const PointCloud& cloud, const GrowParams& params);

/// Segments the points of subset into regions. chunk_normals, when not null, holds one normal
/// per local point and takes precedence over the cloud's normals. The engine draws the seeds.
ExtractionResult extract_regions(const PointCloud& cloud, const SpatialIndex& index, const PointSubset& subset,
                                 const GrowParams& params, std::mt19937& engine, const ExtractionProgress& progress,
                                 const std::vector<Vec3f>* chunk_normals);

}  // namespace planeseg
