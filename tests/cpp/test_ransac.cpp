#include <cmath>

#include <gtest/gtest.h>

#include "ransac/ransac.hpp"

using namespace planeseg;

struct LimitCase {
  uint32_t support, active;
  float probability;
  uint32_t expected;
};

class IterationLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(IterationLimit, FollowsTheBestSupport) {
  const LimitCase& c = GetParam();
  EXPECT_EQ(ransac_iteration_limit(c.support, c.active, c.probability, 5000), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, IterationLimit,
                         ::testing::Values(LimitCase{100, 100, 0.01f, 1},        // every point: one iteration
                                           LimitCase{50, 100, 0.01f, 35},        // log(0.01) / log(1 - 1/8)
                                           LimitCase{10, 100, 0.01f, 4603},      // w^3 = 0.001
                                           LimitCase{5, 1000, 0.01f, 5000},      // capped by the maximum
                                           LimitCase{2, 100, 0.01f, 5000},       // fewer than 3: unbounded
                                           LimitCase{50, 100, 0.5f, 6}));

TEST(PlaneFromThreePoints, RejectsCollinearAndDisagreeingNormals) {
  PointCloud cloud;
  cloud.coords = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {0, 1, 0}};
  cloud.normals.assign(5, {0, 0, 1});
  PlaneModel m;
  EXPECT_FALSE(plane_from_three_points(cloud, 0, 1, 2, 0.9f, m));  // collinear
  EXPECT_FALSE(plane_from_three_points(cloud, 0, 3, 4, 0.9f, m));  // two identical points
  ASSERT_TRUE(plane_from_three_points(cloud, 0, 1, 3, 0.9f, m));
  EXPECT_NEAR(std::fabs(m.normal.z), 1.0f, 1e-6f);
  EXPECT_NEAR(m.d, 0.0f, 1e-6f);
  cloud.normals[3] = {0, std::sin(0.5236f), std::cos(0.5236f)};  // 30 degrees off
  EXPECT_FALSE(plane_from_three_points(cloud, 0, 1, 3, std::cos(25.0f * 0.017453292f), m));
  cloud.normals[3] = {0, 0, -1};  // opposite counts as parallel
  EXPECT_TRUE(plane_from_three_points(cloud, 0, 1, 3, std::cos(25.0f * 0.017453292f), m));
}

TEST(LargestInlierCluster, KeepsTheBiggerGroupAndTheEarlierOnTies) {
  PointCloud cloud;
  for (int i = 0; i < 5; ++i) cloud.coords.push_back({i * 0.1f, 0, 0});
  for (int i = 0; i < 8; ++i) cloud.coords.push_back({5 + i * 0.1f, 0, 0});
  SpatialIndex index(cloud);
  std::vector<uint32_t> all;
  for (uint32_t i = 0; i < cloud.size(); ++i) all.push_back(i);
  EXPECT_EQ(largest_inlier_cluster(cloud, index, all, 0.03f).size(), 8u);
  const std::vector<uint32_t> tie = {0, 1, 2, 5, 6, 7};
  const auto first = largest_inlier_cluster(cloud, index, tie, 0.03f);
  EXPECT_EQ(first, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_TRUE(largest_inlier_cluster(cloud, index, {}, 0.03f).empty());
}

TEST(PlaneSearch, AHandlerThatSaysStopEndsTheSearchAtThatReport) {
  PointCloud cloud;
  for (int i = 0; i < 30; ++i)
    for (int j = 0; j < 30; ++j) {
      cloud.coords.push_back({i * 0.02f, j * 0.02f, 0});
      cloud.coords.push_back({i * 0.02f, 2.0f, j * 0.02f});
    }
  cloud.normals.clear();
  for (std::size_t k = 0; k < cloud.size(); ++k) cloud.normals.push_back(k % 2 ? Vec3f{0, 1, 0} : Vec3f{0, 0, 1});
  SpatialIndex index(cloud);
  QuarvoParams params;
  int reports = 0;
  auto stop_at_first = [&reports](const QuarvoRuntime&) { return ++reports > 1; };
  QuarvoResult r = run_plane_search(cloud, index, params, stop_at_first);
  EXPECT_TRUE(r.cancelled);
  EXPECT_TRUE(r.planes.empty());
  EXPECT_EQ(reports, 1);

  auto stop_after_one_plane = [](const QuarvoRuntime& rt) { return rt.planes_found < 1; };
  r = run_plane_search(cloud, index, params, stop_after_one_plane);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.planes.size(), 1u);
  r = run_plane_search(cloud, index, params, {});
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.planes.size(), 2u);
}
