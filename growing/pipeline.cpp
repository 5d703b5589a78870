#include "growing/pipeline.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "common/geometry.hpp"
#include "growing/extraction.hpp"
#include "growing/reassign.hpp"

namespace planeseg {

void print_tessel_line(const std::string& text) { std::cout << "[tessel] " << text << std::endl; }

namespace {

/// The label map of one chunk result for leftover reassignment.
struct ChunkLabels {
  const PointSubset& subset;
  ExtractionResult& result;
  int32_t label(uint32_t p) const {
    const uint32_t l = subset.local(p);
    return l == PointSubset::kNotInSet ? -1 : result.labels[l];
  }
  void assign(uint32_t p, int32_t r) { result.labels[subset.local(p)] = r; }
  void cluster(uint32_t, int32_t) {}
};

/// The label map of the whole cloud for the global reassignment.
struct CloudLabels {
  std::vector<int32_t>& labels;
  int32_t label(uint32_t p) const { return labels[p]; }
  void assign(uint32_t p, int32_t r) { labels[p] = r; }
  void cluster(uint32_t p, int32_t k) { labels[p] = k; }
};

std::mt19937 chunk_engine(const std::optional<uint32_t>& seed, uint64_t chunk_id) {
  if (seed) {
    std::seed_seq seq{*seed, static_cast<uint32_t>(chunk_id), static_cast<uint32_t>(chunk_id >> 32)};
    return std::mt19937(seq);
  }
  std::random_device device;
  return std::mt19937(device());
}

class ChunkRunner {
 public:
  ChunkRunner(const PointCloud& cloud, const SpatialIndex& index, const SegmentOptions& options,
              const std::vector<Chunk>& chunks, std::vector<ExtractionResult>& results, TesselProgressState* progress)
      : cloud_(cloud), index_(index), options_(options), chunks_(chunks), results_(results), progress_(progress) {}

  /// Runs every chunk on a pool of workers; rethrows the first chunk exception afterwards.
  void run() {
    const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
    const unsigned cap = options_.max_threads ? options_.max_threads : hardware;
    const std::size_t workers = std::min<std::size_t>(cap, chunks_.size());
    std::vector<std::thread> threads;
    threads.reserve(workers);
    try {
      for (std::size_t w = 0; w < workers; ++w) threads.emplace_back([this] { work(); });
    } catch (...) {
      // Stop handing out chunks, let the started workers finish, then report the failure.
      next_.store(chunks_.size());
      for (auto& t : threads) t.join();
      throw;
    }
    for (auto& t : threads) t.join();
    if (first_error_) std::rethrow_exception(first_error_);
  }

 private:
  void work() {
    std::vector<uint32_t> local_of;
    try {
      local_of.assign(cloud_.size(), PointSubset::kNotInSet);
    } catch (...) {
      keep_error(std::current_exception());
      return;
    }
    for (std::size_t i = next_.fetch_add(1); i < chunks_.size(); i = next_.fetch_add(1)) {
      try {
        segment_chunk(i, local_of);
      } catch (...) {
        keep_error(std::current_exception());
      }
    }
  }

  void keep_error(std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(error_mutex_);
    if (!first_error_) first_error_ = error;
  }

  void segment_chunk(std::size_t i, std::vector<uint32_t>& local_of) {
    if (options_.before_chunk) options_.before_chunk(i);
    const Chunk& chunk = chunks_[i];
    const GrowParams& params = options_.grow;
    PointSubset subset(chunk.members, local_of);

    std::vector<Vec3f> normals;
    if (!options_.provided_normals) {
      normals.resize(subset.size());
      for (std::size_t k = 0; k < subset.size(); ++k)
        normals[k] = estimate_point_normal(cloud_, index_, subset.points()[k], params.neighbor_radius2());
    }

    ExtractionProgress report;
    if (progress_) {
      report = [this, i](const TesselRuntime& r) {
        if (!r.final && r.attempts % 25 != 0) return;
        progress_->publish_chunk(i, r.attempts, r.regions, r.remaining, r.rolling_fail_rate, r.failrate_threshold,
                                 r.final);
      };
    }
    std::mt19937 engine = chunk_engine(options_.seed, chunk.id);
    results_[i] = extract_regions(cloud_, index_, subset, params, engine, report,
                                  options_.provided_normals ? nullptr : &normals);

    if (options_.local_reassign) {
      ExtractionResult& result = results_[i];
      std::vector<uint32_t> remaining;
      for (std::size_t k = 0; k < result.points.size(); ++k)
        if (result.labels[k] == kRemaining) remaining.push_back(result.points[k]);
      ChunkLabels labels{subset, result};
      reassign_leftovers(cloud_, index_, remaining, result.regions, params, labels, false, 0);
    }

    const std::size_t n = chunks_.size();
    const std::size_t k = finished_.fetch_add(1) + 1;
    const std::size_t step = std::max<std::size_t>(1, n / 10);
    if (k == 1 || k == n || k % step == 0) {
      std::lock_guard<std::mutex> lock(print_mutex_);
      print_tessel_line("Stage 3/6: segmented chunks " + std::to_string(k) + "/" + std::to_string(n));
    }
    if (progress_) {
      progress_->finish_chunk(i);
      progress_->add(1);
    }
  }

  const PointCloud& cloud_;
  const SpatialIndex& index_;
  const SegmentOptions& options_;
  const std::vector<Chunk>& chunks_;
  std::vector<ExtractionResult>& results_;
  TesselProgressState* progress_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> finished_{0};
  std::mutex print_mutex_;
  std::mutex error_mutex_;
  std::exception_ptr first_error_;
};

}  // namespace

SegmentResult run_segmentation(const PointCloud& cloud, const SpatialIndex& index, const SegmentOptions& options,
                               TesselProgressState* progress) {
  SegmentResult out;
  const std::size_t n = cloud.size();
  out.labels.assign(n, -1);
  if (!options.provided_normals) print_tessel_line("Stage 1/6: normals will be computed inside chunk workers...");

  std::vector<Chunk> chunks = plan_chunks(cloud.coords, options.grow.epsilon, options.chunking);
  print_tessel_line("Stage 2/6: chunking prepared with " + std::to_string(chunks.size()) + " chunk(s)" +
                    (options.chunking.enabled ? "" : " (chunking disabled)"));
  if (chunks.empty()) chunks.emplace_back();  // one empty chunk: the cloud has no finite point
  out.num_chunks = chunks.size();

  if (progress) {
    progress->reset(static_cast<int64_t>(chunks.size()) + 4);
    ChunkStatus initial;
    initial.fail_threshold = 0.9;
    progress->init_chunks(chunks.size(), initial);
  }

  std::vector<ExtractionResult> results(chunks.size());
  ChunkRunner(cloud, index, options, chunks, results, progress).run();

  CollectedRegions collected = collect_regions(chunks, results, out.labels);
  results.clear();
  results.shrink_to_fit();
  out.num_regions_pre_merge = collected.regions.size();
  if (progress) progress->add(1);
  print_tessel_line(std::string("Stage 4/6: reconciliation ") + (options.merge.enabled ? "enabled" : "disabled"));
  std::vector<PlaneRegion> regions =
      merge_regions(cloud.coords, collected, options.merge, options.grow.epsilon, out.labels);
  out.num_regions_post_merge = regions.size();
  if (progress) progress->add(1);

  print_tessel_line(std::string("Stage 5/6: global leftover reassignment ") +
                    (options.global_reassign ? "enabled" : "disabled"));
  if (options.global_reassign) {
    // Points without finite coordinates are in no neighbourhood and keep -1.
    std::vector<uint32_t> unassigned;
    int32_t largest = -1;
    for (std::size_t p = 0; p < n; ++p) {
      largest = std::max(largest, out.labels[p]);
      if (out.labels[p] < 0 && is_finite(cloud.coords[p])) unassigned.push_back(static_cast<uint32_t>(p));
    }
    CloudLabels labels{out.labels};
    reassign_leftovers(cloud, index, unassigned, regions, options.grow, labels, true, largest + 1);
  }
  if (progress) {
    progress->add(1);
    progress->finish();
  }
  out.num_unassigned = static_cast<std::size_t>(std::count_if(out.labels.begin(), out.labels.end(),
                                                              [](int32_t l) { return l < 0; }));
  return out;
}

}  // namespace planeseg
