#include <thread>

#include <gtest/gtest.h>

#include "common/progress.hpp"

using namespace planeseg;

TEST(Progress, ResetWithdrawsCancellationAndSetsTotal) {
  FeaturesProgressState p;
  p.request_cancel();
  p.add(5);
  p.reset(10);
  EXPECT_FALSE(p.cancelled());
  EXPECT_EQ(p.done(), 0);
  EXPECT_EQ(p.total(), 10);
  p.add(3);
  p.finish();
  EXPECT_EQ(p.done(), 10);
}

TEST(Progress, QuarvoResetRestoresStageAndCounters) {
  QuarvoProgressState p;
  EXPECT_EQ(p.stage(), "Idle");
  p.publish("Searching", 3, 100, 42);
  EXPECT_EQ(p.stage(), "Searching");
  EXPECT_EQ(p.current_best_support(), 42);
  p.reset(7);
  EXPECT_EQ(p.stage(), "Idle");
  EXPECT_EQ(p.planes_found(), 0);
  EXPECT_EQ(p.active_points_remaining(), 7);
  EXPECT_EQ(p.current_best_support(), 0);
}

TEST(Progress, MendolinResetRestoresStage) {
  MendolinProgressState p;
  p.set_stage("Merging");
  p.reset(1);
  EXPECT_EQ(p.stage(), "Idle");
}

TEST(Progress, TesselChunkUpdatesAfterAResetAreSkipped) {
  TesselProgressState p;
  std::vector<ChunkStatus> out;
  ASSERT_TRUE(p.try_chunk_statuses(out));
  EXPECT_TRUE(out.empty());
  p.init_chunks(3, ChunkStatus{});
  p.publish_chunk(1, 9, 2, 30, 0.5, 0.9, false);
  ASSERT_TRUE(p.try_chunk_statuses(out));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1].attempts, 9);
  EXPECT_EQ(out[1].phase, 0);
  p.publish_chunk(1, 10, 2, 30, 0.5, 0.9, true);
  ASSERT_TRUE(p.try_chunk_statuses(out));
  EXPECT_EQ(out[1].phase, 1);
  p.finish_chunk(1);
  ASSERT_TRUE(p.try_chunk_statuses(out));
  EXPECT_EQ(out[1].phase, 2);
  p.reset(4);
  p.publish_chunk(1, 9, 2, 30, 0.5, 0.9, true);  // the entries were emptied: nothing to update
  p.finish_chunk(1);
  ASSERT_TRUE(p.try_chunk_statuses(out));
  EXPECT_TRUE(out.empty());
}

TEST(Progress, CountersAreSafeUnderConcurrentAdds) {
  TesselProgressState p;
  p.reset(40000);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&p] {
      for (int i = 0; i < 10000; ++i) {
        p.add(1);
        p.publish_chunk(0, i, 0, 0, 0.0, 0.9, false);
      }
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(p.done(), 40000);
}
