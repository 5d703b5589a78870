#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "common/geometry.hpp"
#include "common/spatial_index.hpp"

using namespace planeseg;

namespace {

PointCloud random_cloud(std::size_t n, uint32_t seed) {
  PointCloud cloud;
  uint32_t state = seed;
  auto next = [&state]() {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f;
  };
  for (std::size_t i = 0; i < n; ++i) cloud.coords.push_back({next(), next(), next()});
  return cloud;
}

std::vector<uint32_t> brute_force(const std::vector<Vec3f>& pts, const Vec3f& q, float r2) {
  std::vector<uint32_t> out;
  for (std::size_t i = 0; i < pts.size(); ++i) {
    if (!is_finite(pts[i])) continue;
    const Vec3f d = pts[i] - q;
    if (d.x * d.x + d.y * d.y + d.z * d.z < r2) out.push_back(static_cast<uint32_t>(i));
  }
  return out;
}

std::vector<uint32_t> indices_of(const NeighborList& hits) {
  std::vector<uint32_t> out;
  for (const Neighbor& n : hits) out.push_back(n.index);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(SpatialIndex, EmptyCloudAnswersNothing) {
  PointCloud cloud;
  SpatialIndex index(cloud);
  NeighborList hits = {{7, 1.0f}};
  index.radius_neighbors({0, 0, 0}, 1.0f, 0.0f, true, hits);
  EXPECT_TRUE(hits.empty());
  uint32_t idx[4];
  float d2[4];
  EXPECT_EQ(index.knn({0, 0, 0}, 4, idx, d2), 0u);
}

TEST(SpatialIndex, RadiusBoundIsStrict) {
  PointCloud cloud;
  cloud.coords = {{0, 0, 0}, {0.5f, 0, 0}, {0, 0.25f, 0}};
  SpatialIndex index(cloud);
  NeighborList hits;
  index.radius_neighbors({0, 0, 0}, 0.25f, 0.0f, true, hits);  // 0.5^2 == 0.25 exactly: left out
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].index, 0u);
  EXPECT_EQ(hits[0].dist2, 0.0f);
  EXPECT_EQ(hits[1].index, 2u);
}

TEST(SpatialIndex, MatchesBruteForceSortedAndUnsorted) {
  const PointCloud cloud = random_cloud(3000, 7);
  SpatialIndex index(cloud);
  NeighborList hits;
  for (uint32_t q = 0; q < 300; q += 7) {
    const auto expected = brute_force(cloud.coords, cloud.coords[q], 0.01f);
    index.radius_neighbors(cloud.coords[q], 0.01f, 0.0f, false, hits);
    EXPECT_EQ(indices_of(hits), expected);
    index.radius_neighbors(cloud.coords[q], 0.01f, 0.0f, true, hits);
    EXPECT_EQ(indices_of(hits), expected);
    EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(),
                               [](const Neighbor& a, const Neighbor& b) { return a.dist2 < b.dist2; }));
  }
}

TEST(SpatialIndex, NonFiniteRowsAreInvisible) {
  PointCloud cloud = random_cloud(2000, 11);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < cloud.size(); i += 13) cloud.coords[i] = {nan, 0.5f, 0.5f};
  for (std::size_t i = 5; i < cloud.size(); i += 17) cloud.coords[i] = {0.5f, inf, -inf};
  SpatialIndex index(cloud);
  NeighborList hits;
  for (uint32_t q = 1; q < 400; q += 3) {
    if (!is_finite(cloud.coords[q])) continue;
    index.radius_neighbors(cloud.coords[q], 0.02f, 0.0f, false, hits);
    EXPECT_EQ(indices_of(hits), brute_force(cloud.coords, cloud.coords[q], 0.02f));
  }
  index.radius_neighbors({nan, 0, 0}, 1.0f, 0.0f, false, hits);
  EXPECT_TRUE(hits.empty());

  uint32_t idx[8];
  float d2[8];
  ASSERT_EQ(index.knn(cloud.coords[1], 8, idx, d2), 8u);
  EXPECT_EQ(idx[0], 1u);
  for (uint32_t i : idx) EXPECT_TRUE(is_finite(cloud.coords[i]));
}

TEST(Normals, FewerThanThreeNeighboursGiveUp) {
  PointCloud cloud;
  cloud.coords = {{0, 0, 0}, {0.1f, 0, 0}, {5, 5, 5}, {5.1f, 5, 5}, {5, 5.1f, 5}};
  cloud.normals.assign(cloud.size(), {9, 9, 9});
  SpatialIndex index(cloud);
  estimate_normals(cloud, index, {0, 1, 2, 3, 4}, 0.03f);
  EXPECT_EQ(cloud.normals[0].z, 1.0f);
  EXPECT_EQ(cloud.normals[0].x, 0.0f);
  // Three points within the radius: a real normal, perpendicular to their plane z = 5.
  EXPECT_NEAR(std::fabs(cloud.normals[2].z), 1.0f, 1e-5f);

  std::unordered_map<uint32_t, Vec3f> chunk_normals = {{42, {1, 1, 1}}};
  estimate_normals(cloud, index, {2, 0}, 0.03f, chunk_normals);
  ASSERT_EQ(chunk_normals.size(), 2u);
  EXPECT_EQ(chunk_normals.at(0).z, 1.0f);
  EXPECT_NEAR(std::fabs(chunk_normals.at(2).z), 1.0f, 1e-5f);
}
