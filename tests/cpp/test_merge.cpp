#include <atomic>
#include <cmath>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "merging/merge.hpp"

using namespace planeseg;

namespace {

RegionGeometry flat(Vec3f centroid, Vec3f normal) {
  RegionGeometry g;
  g.label = 0;
  g.count = 100;
  g.centroid = centroid;
  g.normal = normal;
  g.planarity = 0.99f;
  g.valid = true;
  return g;
}

}  // namespace

TEST(MergeTest, CompatibilityTable) {
  const MergeParams p;
  EXPECT_TRUE(regions_compatible(flat({0, 0, 0}, {0, 0, 1}), flat({1, 0, 0.01f}, {0, 0, 1}), p));
  EXPECT_TRUE(regions_compatible(flat({0, 0, 0}, {0, 0, 1}), flat({1, 0, 0}, {0, 0, -1}), p));   // opposite
  EXPECT_FALSE(regions_compatible(flat({0, 0, 0}, {0, 0, 1}), flat({1, 0, 0.05f}, {0, 0, 1}), p)); // offset
  EXPECT_FALSE(regions_compatible(flat({0, 0, 0}, {0, 0, 1}), flat({0, 0, 0}, {0, 0.2588f, 0.9659f}), p));
  RegionGeometry small = flat({1, 0, 0}, {0, 0, 1});
  small.count = 19;  // below min_region_size
  EXPECT_FALSE(regions_compatible(flat({0, 0, 0}, {0, 0, 1}), small, p));
}

TEST(MergeTest, GeometryOfOnePointAndOfAPlane) {
  PointCloud cloud;
  cloud.coords = {{1, 1, 1}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  const std::vector<int32_t> labels = {7, 3, 3, 3, 3};
  const LabelRegions regions = distinct_labels(labels);
  ASSERT_EQ(regions.labels, (std::vector<int32_t>{3, 7}));
  const auto g = compute_region_geometry(cloud, labels, regions);
  EXPECT_NEAR(g[0].planarity, 1.0f, 1e-6f);
  EXPECT_NEAR(std::fabs(g[0].normal.z), 1.0f, 1e-6f);
  EXPECT_EQ(g[1].planarity, 0.0f);  // a single point: zero covariance
  EXPECT_TRUE(g[1].valid);
}

// Cancels when the run shows the given stage; whenever the cancel lands, the run returns the
// input labels with the statistics of the stages that completed.
class CancelAt : public ::testing::TestWithParam<const char*> {};

TEST_P(CancelAt, ReturnsTheInputAndTheFinishedStagesOnly) {
  PointCloud cloud;
  std::vector<int32_t> labels;
  for (int i = 0; i < 400; ++i)
    for (int j = 0; j < 500; ++j) {
      cloud.coords.push_back({i * 0.01f, j * 0.01f, 0});
      labels.push_back(i / 40 * 100 + j / 50);
    }
  MendolinProgressState progress;
  const std::string target = GetParam();
  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    while (!finished.load()) {
      if (progress.stage() == target) {
        progress.request_cancel();
        return;
      }
    }
  });
  MergeParams params;
  params.neighbor_radius = 0.03f;
  const MergeResult r = merge_regions(cloud, labels, params, &progress);
  finished = true;
  watcher.join();
  if (!r.cancelled) {
    EXPECT_EQ(progress.stage(), "Done");  // the run outpaced the watcher
    return;
  }
  EXPECT_EQ(r.labels, labels);
  EXPECT_EQ(r.elapsed_seconds, 0.0);
  EXPECT_EQ(r.num_output_regions, 0);
  EXPECT_EQ(r.num_input_regions, 100);
  if (target == std::string("Building adjacency graph...") && r.num_adjacency_pairs == 0) {
    EXPECT_EQ(r.num_merge_candidates, 0);  // stopped by the poll inside the contact count
  }
  EXPECT_NE(progress.stage(), "Done");
}

INSTANTIATE_TEST_SUITE_P(Stages, CancelAt,
                         ::testing::Values("Computing region geometry...", "Building adjacency graph...",
                                           "Merging compatible planar regions..."));

TEST(MergeTest, ACancelBeforeTheCallIsCleared) {
  PointCloud cloud;
  cloud.coords = {{0, 0, 0}, {0.01f, 0, 0}};
  MendolinProgressState progress;
  progress.request_cancel();
  const MergeResult r = merge_regions(cloud, {1, 2}, MergeParams{}, &progress);
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(progress.stage(), "Done");
  EXPECT_EQ(progress.done(), 4);
}
