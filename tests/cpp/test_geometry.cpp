#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include <gtest/gtest.h>

#include "common/geometry.hpp"

using namespace planeseg;

namespace {

std::vector<uint32_t> all_indices(std::size_t n) {
  std::vector<uint32_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint32_t>(i);
  return v;
}

// Components as a set of sorted member lists, so tests need not rely on component order.
std::set<std::vector<uint32_t>> as_set(std::vector<std::vector<uint32_t>> comps) {
  std::set<std::vector<uint32_t>> out;
  for (auto& c : comps) {
    std::sort(c.begin(), c.end());
    out.insert(c);
  }
  return out;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(BoundingBox, WidensByOneMillimetreAndSkipsNonFinitePoints) {
  std::vector<Vec3f> pts = {{0, 0, 0}, {1, 2, 3}, {kNaN, 0, 0}, {0, kInf, 0}};
  const BoundingBox box = bounding_box(pts, all_indices(pts.size()));
  EXPECT_FLOAT_EQ(box.min.x, -0.001f);
  EXPECT_FLOAT_EQ(box.min.z, -0.001f);
  EXPECT_FLOAT_EQ(box.max.x, 1.001f);
  EXPECT_FLOAT_EQ(box.max.y, 2.001f);
  EXPECT_FLOAT_EQ(box.max.z, 3.001f);

  const BoundingBox whole = bounding_box(pts);
  EXPECT_EQ(whole.max.y, box.max.y);
}

TEST(BoundingBox, SinglePointIsTwoMillimetresWide) {
  std::vector<Vec3f> pts = {{5, 5, 5}};
  const BoundingBox box = bounding_box(pts, {0});
  EXPECT_NEAR(box.max.x - box.min.x, 0.002f, 1e-6f);
}

TEST(FitPlane, EmptySetGivesOriginAndUpNormal) {
  std::vector<Vec3f> pts = {{1, 1, 1}};
  const Plane plane = fit_plane(pts, {});
  EXPECT_EQ(plane.centroid.x, 0.0f);
  EXPECT_EQ(plane.centroid.y, 0.0f);
  EXPECT_EQ(plane.centroid.z, 0.0f);
  EXPECT_EQ(plane.normal.z, 1.0f);
}

TEST(FitPlane, TiltedPlaneRecoversCentroidAndNormal) {
  // z = 0.5 x + 1 sampled on a grid: normal is (-0.5, 0, 1) normalised.
  std::vector<Vec3f> pts;
  for (int i = 0; i < 20; ++i)
    for (int j = 0; j < 20; ++j) pts.push_back({i * 0.1f, j * 0.1f, 0.5f * i * 0.1f + 1.0f});
  const Plane plane = fit_plane(pts, all_indices(pts.size()));
  EXPECT_NEAR(plane.centroid.x, 0.95f, 1e-5f);
  EXPECT_NEAR(plane.centroid.y, 0.95f, 1e-5f);
  EXPECT_NEAR(plane.centroid.z, 1.475f, 1e-5f);
  const float inv = 1.0f / std::sqrt(1.25f);
  EXPECT_NEAR(std::fabs(plane.normal.x), 0.5f * inv, 1e-5f);
  EXPECT_NEAR(std::fabs(plane.normal.y), 0.0f, 1e-5f);
  EXPECT_NEAR(std::fabs(plane.normal.z), inv, 1e-5f);
  const float len = std::sqrt(dot(plane.normal, plane.normal));
  EXPECT_NEAR(len, 1.0f, 1e-5f);
}

TEST(FitPlane, FarFromOriginKeepsPrecision) {
  // A flat patch a kilometre away: the fit must still find the vertical normal.
  std::vector<Vec3f> pts;
  for (int i = 0; i < 300; ++i)
    for (int j = 0; j < 300; ++j) pts.push_back({1000.0f + i * 0.01f, 2000.0f + j * 0.01f, 50.0f});
  const Plane plane = fit_plane(pts, all_indices(pts.size()));
  EXPECT_NEAR(std::fabs(plane.normal.z), 1.0f, 1e-4f);
  EXPECT_NEAR(plane.centroid.x, 1001.495f, 1e-3f);
}

TEST(VoxelComponents, EmptySetHasNoComponents) {
  std::vector<Vec3f> pts = {{0, 0, 0}};
  EXPECT_TRUE(voxel_components(pts, {}, 0.03f).empty());
}

TEST(VoxelComponents, SinglePointIsOneComponent) {
  std::vector<Vec3f> pts = {{0, 0, 0}, {1, 1, 1}};
  const auto comps = voxel_components(pts, {1}, 0.03f);
  ASSERT_EQ(comps.size(), 1u);
  EXPECT_EQ(comps[0], std::vector<uint32_t>{1});
}

TEST(VoxelComponents, LineIsCutByAGapWiderThanTwoVoxels) {
  std::vector<Vec3f> pts;
  for (int i = 0; i < 50; ++i) pts.push_back({i * 0.02f, 0, 0});
  EXPECT_EQ(voxel_components(pts, all_indices(pts.size()), 0.03f).size(), 1u);

  std::vector<Vec3f> gapped;
  for (int i = 0; i < 25; ++i) gapped.push_back({i * 0.02f, 0, 0});
  for (int i = 0; i < 25; ++i) gapped.push_back({0.48f + 0.1f + i * 0.02f, 0, 0});
  const auto comps = as_set(voxel_components(gapped, all_indices(gapped.size()), 0.03f));
  ASSERT_EQ(comps.size(), 2u);
  EXPECT_EQ(comps.begin()->size(), 25u);
}

TEST(VoxelComponents, DiagonalNeighboursTouchByACorner) {
  const float s = component_voxel_side(0.03f);
  // Bin centres one cell apart on every axis, relative to the widened box minimum.
  std::vector<Vec3f> pts = {{0, 0, 0}, {1.4f * s, 1.4f * s, 1.4f * s}};
  EXPECT_EQ(voxel_components(pts, {0, 1}, 0.03f).size(), 1u);
  std::vector<Vec3f> apart = {{0, 0, 0}, {2.5f * s, 0, 0}};
  EXPECT_EQ(voxel_components(apart, {0, 1}, 0.03f).size(), 2u);
}

TEST(VoxelComponents, EveryPointInExactlyOneComponent) {
  std::vector<Vec3f> pts;
  uint32_t state = 12345;
  auto next = [&state]() {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f;
  };
  for (int i = 0; i < 2000; ++i) pts.push_back({next(), next(), next() * 0.1f});
  const auto points = all_indices(pts.size());
  std::vector<uint32_t> seen;
  for (const auto& c : voxel_components(pts, points, 0.01f)) seen.insert(seen.end(), c.begin(), c.end());
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, points);
}

TEST(VoxelComponents, NonFinitePointsAreComponentsOfTheirOwn) {
  std::vector<Vec3f> pts = {{0, 0, 0}, {0.01f, 0, 0}, {kNaN, 0, 0}, {kInf, 0, 0}, {-kInf, kNaN, 0}, {0.02f, 0, 0}};
  const auto comps = as_set(voxel_components(pts, all_indices(pts.size()), 0.03f));
  const std::set<std::vector<uint32_t>> expected = {{0, 1, 5}, {2}, {3}, {4}};
  EXPECT_EQ(comps, expected);
}

TEST(VoxelComponents, WideGridsKeepDistantVoxelsApart) {
  // 2000 voxel sides on every axis: a 32-bit packed key would wrap and join unrelated cells.
  const float r = 0.5f;
  const float s = component_voxel_side(r);
  std::vector<Vec3f> pts;
  for (int i = 0; i < 40; ++i) {
    const float a = static_cast<float>(i) * 50.0f * s;
    pts.push_back({a, a, a});
    pts.push_back({a + 25.0f * s, 1990.0f * s - a, a});
  }
  EXPECT_EQ(voxel_components(pts, all_indices(pts.size()), r).size(), pts.size());
}

TEST(VoxelComponents, HugeSpansStayFiniteAndSeparate) {
  // Quotients far beyond any integer grid: each point is its own component, none crash.
  std::vector<Vec3f> pts = {{-3e38f, 0, 0}, {3e38f, 0, 0}, {0, 0, 0}, {1e30f, 1e30f, 1e30f}, {1e30f, 1e30f, 1e30f}};
  const auto comps = as_set(voxel_components(pts, all_indices(pts.size()), 1e-6f));
  const std::set<std::vector<uint32_t>> expected = {{0}, {1}, {2}, {3, 4}};
  EXPECT_EQ(comps, expected);
}

TEST(VoxelComponents, PointOnTheMaximumBinsInsideTheGrid) {
  const float s = component_voxel_side(0.03f);
  std::vector<Vec3f> pts = {{0, 0, 0}, {10.0f * s, 0, 0}, {9.0f * s, 0, 0}};
  const auto comps = as_set(voxel_components(pts, {0, 1, 2}, 0.03f));
  const std::set<std::vector<uint32_t>> expected = {{0}, {1, 2}};
  EXPECT_EQ(comps, expected);
}
