#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "features/voxel_hash.hpp"

using namespace planeseg;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

std::vector<uint32_t> members(const VoxelHashIndex& index, const VoxelCoord& c) {
  CellSpan s;
  if (!index.find(c, s)) return {};
  return {index.points().begin() + s.begin, index.points().begin() + s.end};
}

TEST(VoxelAxis, FloorsAndSaturatesAndRefusesNaN) {
  EXPECT_EQ(voxel_axis(0.1f, 10.0f), 1);  // 0.1f * 10 in double is just above 1
  EXPECT_EQ(voxel_axis(-0.05f, 10.0f), -1);
  EXPECT_EQ(voxel_axis(-1.0f, 1.0f), -1);
  EXPECT_EQ(voxel_axis(3e30f, 1.0f), kMax);
  EXPECT_EQ(voxel_axis(-3e30f, 1.0f), kMin);
  EXPECT_EQ(voxel_axis(kInf, 1.0f), kMax);
  EXPECT_EQ(voxel_axis(-kInf, 1.0f), kMin);
  EXPECT_FALSE(voxel_axis(kNaN, 1.0f).has_value());
  EXPECT_FALSE(voxel_axis(kInf, 0.0f).has_value());
}

TEST(VoxelHashIndex, LeavesOutNaNAndKeepsFarPointsFindable) {
  const std::vector<Vec3f> pts = {{0, 0, 0}, {kNaN, 0, 0}, {3e30f, 0, 0}, {3.1e30f, 0, 0}, {0.5f, 0.5f, 0.5f}};
  const VoxelHashIndex index = VoxelHashIndex::build(pts.data(), pts.size(), 1.0f);
  EXPECT_EQ(index.point_count(), 5u);
  EXPECT_EQ(index.excluded(), std::vector<uint32_t>{1});
  EXPECT_EQ(index.cell_count(), 2u);
  EXPECT_EQ(members(index, {0, 0, 0}), (std::vector<uint32_t>{0, 4}));
  EXPECT_EQ(members(index, {kMax, 0, 0}), (std::vector<uint32_t>{2, 3}));

  // Both far points saturate into one cell, so a query there still measures their distance.
  std::vector<uint32_t> found;
  voxel_radius_search(index, 2e29f, 1.0f, pts[2], pts.data(), found);
  EXPECT_EQ(found, (std::vector<uint32_t>{2, 3}));
  voxel_radius_search(index, 1.0f, 1.0f, {kNaN, 0, 0}, pts.data(), found);
  EXPECT_TRUE(found.empty());
}

TEST(VoxelHashIndex, KeyCollisionsStaySeparateCells) {
  // 300000 distinct cells give 32-bit key collisions with near certainty; every cell must
  // still hold exactly its own point.
  std::vector<Vec3f> pts;
  for (int x = 0; x < 100; ++x)
    for (int y = 0; y < 100; ++y)
      for (int z = 0; z < 30; ++z) pts.push_back({static_cast<float>(x) + 0.5f, static_cast<float>(y) + 0.5f, static_cast<float>(z) + 0.5f});
  const VoxelHashIndex index = VoxelHashIndex::build(pts.data(), pts.size(), 1.0f);
  ASSERT_EQ(index.cell_count(), pts.size());
  std::vector<uint32_t> keys;
  for (const CellEntry& e : index.cells()) keys.push_back(cell_key(e.coord));
  std::sort(keys.begin(), keys.end());
  ASSERT_NE(std::adjacent_find(keys.begin(), keys.end()), keys.end()) << "no collision to exercise";
  for (std::size_t i = 0; i < pts.size(); ++i) {
    const VoxelCoord c{static_cast<int64_t>(pts[i].x), static_cast<int64_t>(pts[i].y), static_cast<int64_t>(pts[i].z)};
    ASSERT_EQ(members(index, c), std::vector<uint32_t>{static_cast<uint32_t>(i)});
  }
}

TEST(VoxelRadiusSearch, HugeBoxScansCellsInBoxOrder) {
  // A radius far larger than the voxel makes the box hold more cells than the index; the
  // answer must be the same set, in the same cell order, as a small box would give.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-5.0f, 5.0f);
  std::vector<Vec3f> pts(2000);
  for (Vec3f& p : pts) p = {u(rng), u(rng), u(rng)};
  const VoxelHashIndex index = VoxelHashIndex::build(pts.data(), pts.size(), 1.0f);
  for (float radius : {100.0f, kInf}) {
    std::vector<uint32_t> found;
    voxel_radius_search(index, radius, 1.0f, {0, 0, 0}, pts.data(), found);
    ASSERT_EQ(found.size(), pts.size());
    std::vector<std::tuple<int64_t, int64_t, int64_t, uint32_t>> expected;
    for (uint32_t i = 0; i < pts.size(); ++i) {
      const VoxelCoord c = *voxel_cell(pts[i], 1.0f);
      expected.emplace_back(c.x, c.y, c.z, i);
    }
    std::sort(expected.begin(), expected.end());
    for (std::size_t k = 0; k < found.size(); ++k) ASSERT_EQ(found[k], std::get<3>(expected[k]));
  }
}

}  // namespace
