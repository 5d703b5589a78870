#include <algorithm>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "growing/chunking.hpp"
#include "growing/pipeline.hpp"
#include "growing/reassign.hpp"
#include "growing/reconcile.hpp"

using namespace planeseg;

namespace {

std::vector<Vec3f> grid_points(int nx, int ny, float spacing, float z = 0.0f, float x0 = 0.0f) {
  std::vector<Vec3f> pts;
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j) pts.push_back({x0 + i * spacing, j * spacing, z});
  return pts;
}

PlaneRegion region(Vec3f c, Vec3f n) { return {c, n, {}}; }

struct VectorLabels {
  std::vector<int32_t>& labels;
  int32_t label(uint32_t p) const { return labels[p]; }
  void assign(uint32_t p, int32_t r) { labels[p] = r; }
  void cluster(uint32_t p, int32_t k) { labels[p] = k; }
};

}  // namespace

struct GridCase {
  std::size_t points;
  float extents[3];
  uint32_t x, y, z;
};

class AutomaticGrid : public ::testing::TestWithParam<GridCase> {};

TEST_P(AutomaticGrid, SplitsTheLongestCellEdgeTiesToX) {
  const GridCase& c = GetParam();
  ChunkingOptions options;
  const GridCounts g = plan_grid(c.points, c.extents, options);
  EXPECT_EQ(g.x, c.x);
  EXPECT_EQ(g.y, c.y);
  EXPECT_EQ(g.z, c.z);
}

INSTANTIATE_TEST_SUITE_P(Cases, AutomaticGrid,
                         ::testing::Values(GridCase{1000000, {10, 10, 1}, 2, 2, 1},  // tie goes to x first
                                           GridCase{750000, {10, 2, 1}, 3, 1, 1},    // D = 3
                                           GridCase{250000, {10, 10, 10}, 1, 1, 1},  // at the target: one chunk
                                           GridCase{250001, {1, 1, 5}, 1, 1, 2}));

TEST(ChunkPlan, DisabledAndExplicitGrids) {
  const float extents[3] = {10, 10, 10};
  ChunkingOptions off;
  off.enabled = false;
  const GridCounts one = plan_grid(10000000, extents, off);
  EXPECT_EQ(one.x * one.y * one.z, 1u);
  ChunkingOptions manual;
  manual.mode = "explicit";
  manual.chunk_x = 3;
  manual.chunk_z = 2;
  const GridCounts g = plan_grid(10, extents, manual);
  EXPECT_EQ(g.x, 3u);
  EXPECT_EQ(g.y, 1u);
  EXPECT_EQ(g.z, 2u);
  manual.mode = "Explicit";  // not exactly "explicit": automatic
  EXPECT_EQ(plan_grid(10, extents, manual).x, 1u);
}

TEST(ChunkPlan, HomePointsPartitionTheCloudAndMarginsOverlap) {
  auto pts = grid_points(100, 10, 0.01f);  // x from 0 to 0.99
  ChunkingOptions options;
  options.mode = "explicit";
  options.chunk_x = 2;
  const auto chunks = plan_chunks(pts, 0.03f, options);  // margin 0.09
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_LT(chunks[0].id, chunks[1].id);
  EXPECT_EQ(chunks[0].home.size() + chunks[1].home.size(), pts.size());
  for (const auto& c : chunks) {
    EXPECT_TRUE(std::is_sorted(c.members.begin(), c.members.end()));
    EXPECT_TRUE(std::includes(c.members.begin(), c.members.end(), c.home.begin(), c.home.end()));
  }
  // The cell border lies near x = 0.495: points within the margin of it are members of both.
  const auto& left = chunks[0].members;
  const uint32_t near_border = 55 * 10;  // x = 0.55, a home point of the right chunk
  EXPECT_TRUE(std::binary_search(left.begin(), left.end(), near_border));
  const uint32_t far_right = 90 * 10;  // x = 0.90
  EXPECT_FALSE(std::binary_search(left.begin(), left.end(), far_right));
}

TEST(ChunkPlan, HugeExplicitGridOnASmallCloudStaysSmall) {
  auto pts = grid_points(20, 20, 0.05f);
  ChunkingOptions options;
  options.mode = "explicit";
  options.chunk_x = options.chunk_y = options.chunk_z = 100000;
  const auto chunks = plan_chunks(pts, 0.03f, options);
  ASSERT_EQ(chunks.size(), pts.size());  // every point alone in its cell; no margin-only cells
  std::size_t homes = 0;
  for (const auto& c : chunks) {
    homes += c.home.size();
    EXPECT_GE(c.members.size(), 1u);
  }
  EXPECT_EQ(homes, pts.size());
  EXPECT_TRUE(std::is_sorted(chunks.begin(), chunks.end(), [](const Chunk& a, const Chunk& b) { return a.id < b.id; }));
  EXPECT_GT(chunks.back().id, uint64_t{1} << 32);  // beyond a 32-bit id, still distinct and ordered
}

TEST(ChunkPlan, NonFinitePointsBelongToNoChunk) {
  auto pts = grid_points(10, 10, 0.1f);
  pts.push_back({std::numeric_limits<float>::quiet_NaN(), 0, 0});
  pts.push_back({0, std::numeric_limits<float>::infinity(), 0});
  const auto chunks = plan_chunks(pts, 0.03f, ChunkingOptions{});
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].home.size(), 100u);
  EXPECT_TRUE(plan_chunks({{std::numeric_limits<float>::quiet_NaN(), 0, 0}}, 0.03f, ChunkingOptions{}).empty());
}

struct PairCase {
  const char* name;
  PlaneRegion a, b;
  float angle_deg;
  bool merged;
};

class Coplanarity : public ::testing::TestWithParam<PairCase> {};

TEST_P(Coplanarity, AngleAndOffsetsDecide) {
  const PairCase& c = GetParam();
  EXPECT_EQ(regions_coplanar(c.a, c.b, c.angle_deg, 3.0f * 0.03f), c.merged) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Coplanarity,
    ::testing::Values(PairCase{"same plane", region({0, 0, 0}, {0, 0, 1}), region({5, 0, 0.05f}, {0, 0, 1}), 5, true},
                      PairCase{"opposite normals", region({0, 0, 0}, {0, 0, 1}), region({1, 1, 0}, {0, 0, -1}), 5, true},
                      PairCase{"parallel 0.2 apart", region({0, 0, 0}, {0, 0, 1}), region({0, 0, 0.2f}, {0, 0, 1}), 5,
                               false},
                      PairCase{"10 degrees apart", region({0, 0, 0}, {0, 0, 1}), region({0, 0, 0}, {0, 0.17364818f, 0.98480775f}),
                               5, false},
                      PairCase{"any angle at 90", region({0, 0, 0}, {0, 0, 1}), region({0, 0, 0}, {1, 0, 0}), 90, true},
                      PairCase{"unnormalised normals", region({0, 0, 0}, {0, 0, 3}), region({2, 0, 0}, {0, 0, 0.5f}), 5,
                               true}));

TEST(Reconcile, MergesTransitivelyRenumbersAndKeepsEmptyRegions) {
  // Four regions: 0~1 and 1~2 accepted (0~2 would be rejected), 3 has no point of its own.
  std::vector<Vec3f> coords = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0.08f}, {3, 0, 0.16f}, {4, 0, 0.16f}, {9, 9, 9}};
  CollectedRegions collected;
  collected.regions = {region({0, 0, 0}, {0, 0, 1}), region({1, 0, 0.08f}, {0, 0, 1}),
                       region({2, 0, 0.16f}, {0, 0, 1}), region({9, 9, 9}, {1, 0, 0})};
  collected.claims = {{1, 0}, {1, 1}, {3, 1}, {3, 2}, {1, 0}};
  std::vector<int32_t> labels = {0, 1, 1, 2, 2, -1};
  const auto merged = merge_regions(coords, collected, MergeOptions{}, 0.03f, labels);
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(labels, (std::vector<int32_t>{0, 0, 0, 0, 0, -1}));
  EXPECT_EQ(merged[0].members.size(), 5u);
  EXPECT_TRUE(merged[1].members.empty());
  EXPECT_EQ(merged[1].normal.z, 1.0f);  // an empty region's fit: (0, 0, 0) and (0, 0, 1)
  EXPECT_EQ(merged[1].centroid.x, 0.0f);
}

TEST(Reconcile, DisabledMergeKeepsEveryRegion) {
  std::vector<Vec3f> coords = {{0, 0, 0}, {1, 0, 0}};
  CollectedRegions collected;
  collected.regions = {region({0, 0, 0}, {0, 0, 1}), region({1, 0, 0}, {0, 0, 1})};
  collected.claims = {{0, 0}, {0, 1}};
  std::vector<int32_t> labels = {1, 0};
  MergeOptions off;
  off.enabled = false;
  EXPECT_EQ(merge_regions(coords, collected, off, 0.03f, labels).size(), 2u);
  EXPECT_EQ(labels, (std::vector<int32_t>{1, 0}));
}

class Leftovers : public ::testing::Test {
 protected:
  // A labelled floor patch (region 0) and leftover points at chosen heights next to it.
  void SetUp() override {
    cloud.coords = grid_points(11, 11, 0.02f);
    labels.assign(cloud.coords.size(), 0);
    PlaneRegion floor{{0.1f, 0.1f, 0}, {0, 0, 1}, {}};
    for (uint32_t i = 0; i < cloud.coords.size(); ++i) floor.members.push_back(i);
    regions = {floor};
  }
  uint32_t add(Vec3f p) {
    cloud.coords.push_back(p);
    labels.push_back(-1);
    return static_cast<uint32_t>(cloud.coords.size() - 1);
  }
  void run(bool global) {
    SpatialIndex index(cloud);
    std::vector<uint32_t> unassigned;
    for (uint32_t i = 0; i < labels.size(); ++i)
      if (labels[i] < 0) unassigned.push_back(i);
    VectorLabels view{labels};
    reassign_leftovers(cloud, index, unassigned, regions, GrowParams{}, view, global, 1);
  }
  PointCloud cloud;
  std::vector<int32_t> labels;
  std::vector<PlaneRegion> regions;
};

TEST_F(Leftovers, CloseToThePlaneJoinsFarStaysOrBecomesACluster) {
  const uint32_t close = add({0.1f, 0.1f, 0.05f});
  const uint32_t far = add({0.3f, 0.1f, 0.1f});   // 0.1 >= 0.09
  const uint32_t lonely = add({5, 5, 5});
  run(false);
  EXPECT_EQ(labels[close], 0);
  EXPECT_EQ(labels[far], -1);
  EXPECT_EQ(labels[lonely], -1);
  run(true);
  EXPECT_EQ(labels[far], 1);     // clusters are numbered above the largest label
  EXPECT_EQ(labels[lonely], 2);  // a separate group: its own label
}

TEST_F(Leftovers, TheToleranceIsInclusive) {
  regions[0].centroid = {0.1f, 0.1f, 0.0f};
  const float h_max = GrowParams{}.plane_tolerance();
  const uint32_t edge = add({0.1f, 0.1f, h_max});
  run(false);
  EXPECT_EQ(labels[edge], 0);
}

TEST(Pipeline, AChunkFailureIsRethrownAfterEveryChunkFinished) {
  PointCloud cloud;
  cloud.coords = grid_points(60, 20, 0.02f);
  SpatialIndex index(cloud);
  SegmentOptions options;
  options.chunking.mode = "explicit";
  options.chunking.chunk_x = 3;
  options.seed = 1;
  std::atomic<int> started{0};
  options.before_chunk = [&started](std::size_t chunk) {
    ++started;
    if (chunk == 1) throw std::runtime_error("chunk 1 failed");
  };
  TesselProgressState progress;
  EXPECT_THROW(
      {
        try {
          run_segmentation(cloud, index, options, &progress);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "chunk 1 failed");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_EQ(started.load(), 3);
  EXPECT_EQ(progress.done(), 2);  // the failed chunk made no increment
}

TEST_F(Leftovers, AComponentTouchingTwoRegionsIsSplitPointByPoint) {
  // A wall (region 1) standing at x = 0.22 next to the floor, and a leftover strip between them.
  PlaneRegion wall{{0.22f, 0.1f, 0.1f}, {1, 0, 0}, {}};
  for (int j = 0; j < 11; ++j)
    for (int k = 1; k < 11; ++k) {
      const uint32_t p = add({0.22f, j * 0.02f, k * 0.02f});
      labels[p] = 1;
      wall.members.push_back(p);
    }
  regions.push_back(wall);
  const uint32_t near_floor = add({0.2f, 0.1f, 0.01f});   // 1 cm above the floor, 2 cm from the wall
  const uint32_t near_wall = add({0.215f, 0.1f, 0.06f});  // 6 cm above the floor, 5 mm from the wall
  run(false);
  EXPECT_EQ(labels[near_floor], 0);
  EXPECT_EQ(labels[near_wall], 1);
}
