// Progress and cancellation objects. Written by native drivers and workers without the
// interpreter lock, read by Python threads; counters are atomics, richer fields sit behind
// the object's own mutex, which writers hold only for a few stores.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace planeseg {

/// done / total counters and the cancel flag; the part every module's object shares.
class ProgressCore {
 public:
  int64_t done() const { return done_.load(std::memory_order_relaxed); }
  int64_t total() const { return total_.load(std::memory_order_relaxed); }
  bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }
  void request_cancel() { cancel_.store(true, std::memory_order_relaxed); }

  void add(int64_t k) { done_.fetch_add(k, std::memory_order_relaxed); }
  void store(int64_t value) { done_.store(value, std::memory_order_relaxed); }
  void finish() { done_.store(total(), std::memory_order_relaxed); }

 protected:
  /// Clears done, sets total and withdraws any pending cancellation.
  void reset_counters(int64_t total) {
    done_.store(0, std::memory_order_relaxed);
    total_.store(total, std::memory_order_relaxed);
    cancel_.store(false, std::memory_order_relaxed);
  }

 private:
  std::atomic<int64_t> done_{0};
  std::atomic<int64_t> total_{0};
  std::atomic<bool> cancel_{false};
};

/// Phase of one tessel chunk: extraction running, extraction finished, chunk finished.
enum class ChunkPhase : uint8_t { Extracting = 0, Extracted = 1, Finished = 2 };

/// One chunk's entry of the tessel progress object.
struct ChunkStatus {
  int64_t attempts = 0;
  int64_t regions = 0;
  int64_t remaining = 0;
  double fail_rate = 0.0;
  double fail_threshold = 0.0;
  uint8_t phase = 0;
};

class TesselProgressState : public ProgressCore {
 public:
  void reset(int64_t total);
  /// Sizes the per-chunk entries to count copies of initial.
  void init_chunks(std::size_t count, const ChunkStatus& initial);
  /// Publishes one chunk's extraction counters (its phase becomes 1 when extraction_finished).
  /// Like every update here it is skipped when a reset from Python emptied the entries meanwhile.
  void publish_chunk(std::size_t chunk, int64_t attempts, int64_t regions, int64_t remaining, double fail_rate,
                     double fail_threshold, bool extraction_finished);
  /// Marks a chunk finished (phase 2).
  void finish_chunk(std::size_t chunk);
  /// Copies the entries unless the mutex is busy; returns false (out emptied) when busy.
  bool try_chunk_statuses(std::vector<ChunkStatus>& out) const;

 private:
  mutable std::mutex mutex_;
  std::vector<ChunkStatus> chunks_;
};

/// A progress object with a stage text behind its mutex ("Idle" until a driver sets it).
class StagedProgress : public ProgressCore {
 public:
  void set_stage(const std::string& stage);
  std::string stage() const;

 protected:
  /// Resets the counters and, under the mutex, the stage text.
  void reset_stage(int64_t total);

  mutable std::mutex mutex_;
  std::string stage_ = "Idle";
};

class QuarvoProgressState : public StagedProgress {
 public:
  void reset(int64_t total);
  /// Stage text and the three counters in one hold of the mutex.
  void publish(const std::string& stage, int64_t planes_found, int64_t active_points_remaining,
               int64_t current_best_support);
  int64_t planes_found() const;
  int64_t active_points_remaining() const;
  int64_t current_best_support() const;

 private:
  int64_t planes_found_ = 0;
  int64_t active_points_remaining_ = 0;
  int64_t current_best_support_ = 0;
};

class MendolinProgressState : public StagedProgress {
 public:
  void reset(int64_t total) { reset_stage(total); }
};

class FeaturesProgressState : public ProgressCore {
 public:
  void reset(int64_t total) { reset_counters(total); }
};

}  // namespace planeseg
