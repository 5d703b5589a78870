// segment_planar_regions without Python: chunk planning, parallel chunk segmentation,
// reconciliation and global leftover reassignment, with stage lines and progress.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/point_cloud.hpp"
#include "common/progress.hpp"
#include "common/spatial_index.hpp"
#include "growing/chunking.hpp"
#include "growing/grow_params.hpp"
#include "growing/reconcile.hpp"

namespace planeseg {

struct SegmentOptions {
  GrowParams grow;
  ChunkingOptions chunking;
  MergeOptions merge;
  bool local_reassign = true;
  bool global_reassign = true;
  std::optional<uint32_t> seed;   ///< seeds every chunk's engine with (seed, chunk id) when set
  bool provided_normals = false;  ///< use cloud.normals; otherwise chunks estimate their own
  unsigned max_threads = 0;       ///< 0: one worker per hardware thread
  /// Called on the worker thread before each chunk is segmented (a test hook for failures).
  std::function<void(std::size_t chunk)> before_chunk;
};

struct SegmentResult {
  std::vector<int32_t> labels;
  std::size_t num_chunks = 0;
  std::size_t num_regions_pre_merge = 0;
  std::size_t num_regions_post_merge = 0;
  std::size_t num_unassigned = 0;
};

/// Prints one "[tessel] ..." line to the native standard output and flushes it.
void print_tessel_line(const std::string& text);

/// Stages 2 to 5 of a segmentation (stage 1's line is printed by the caller for provided
/// normals). progress may be null. The first exception of a chunk is rethrown after every
/// chunk has finished.
SegmentResult run_segmentation(const PointCloud& cloud, const SpatialIndex& index, const SegmentOptions& options,
                               TesselProgressState* progress);

}  // namespace planeseg
