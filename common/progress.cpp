#include "common/progress.hpp"

namespace planeseg {

void TesselProgressState::reset(int64_t total) {
  reset_counters(total);
  std::lock_guard<std::mutex> lock(mutex_);
  chunks_.clear();
}

void TesselProgressState::init_chunks(std::size_t count, const ChunkStatus& initial) {
  std::lock_guard<std::mutex> lock(mutex_);
  chunks_.assign(count, initial);
}

void TesselProgressState::publish_chunk(std::size_t chunk, int64_t attempts, int64_t regions, int64_t remaining,
                                        double fail_rate, double fail_threshold, bool extraction_finished) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (chunk >= chunks_.size()) return;
  ChunkStatus& s = chunks_[chunk];
  s.attempts = attempts;
  s.regions = regions;
  s.remaining = remaining;
  s.fail_rate = fail_rate;
  s.fail_threshold = fail_threshold;
  if (extraction_finished) s.phase = static_cast<uint8_t>(ChunkPhase::Extracted);
}

void TesselProgressState::finish_chunk(std::size_t chunk) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (chunk < chunks_.size()) chunks_[chunk].phase = static_cast<uint8_t>(ChunkPhase::Finished);
}

bool TesselProgressState::try_chunk_statuses(std::vector<ChunkStatus>& out) const {
  out.clear();
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  out = chunks_;
  return true;
}

void StagedProgress::reset_stage(int64_t total) {
  reset_counters(total);
  std::lock_guard<std::mutex> lock(mutex_);
  stage_ = "Idle";
}

void StagedProgress::set_stage(const std::string& stage) {
  std::lock_guard<std::mutex> lock(mutex_);
  stage_ = stage;
}

std::string StagedProgress::stage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stage_;
}

void QuarvoProgressState::reset(int64_t total) {
  reset_stage(total);
  std::lock_guard<std::mutex> lock(mutex_);
  planes_found_ = 0;
  active_points_remaining_ = total;
  current_best_support_ = 0;
}

void QuarvoProgressState::publish(const std::string& stage, int64_t planes_found, int64_t active_points_remaining,
                                  int64_t current_best_support) {
  std::lock_guard<std::mutex> lock(mutex_);
  stage_ = stage;
  planes_found_ = planes_found;
  active_points_remaining_ = active_points_remaining;
  current_best_support_ = current_best_support;
}

int64_t QuarvoProgressState::planes_found() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return planes_found_;
}

int64_t QuarvoProgressState::active_points_remaining() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_points_remaining_;
}

int64_t QuarvoProgressState::current_best_support() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_best_support_;
}

}  // namespace planeseg
