// Times the features kernel on a cloud read from a raw float32 file of N x 3 values: the
// voxel hash build, a bare loop of one voxel_radius_search per point (on the caller's rows,
// and on rows copied into the index's cell order, as compute_pcd_features reads them), and
// compute_pcd_features, each on the OpenMP threads the environment gives.
// Prints one JSON object. Usage: features_bench POINTS.f32 RADIUS VOXEL_SIZE [REPEATS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "features/pcd_features.hpp"
#include "features/voxel_hash.hpp"

#include "timing.hpp"

using namespace planeseg;

namespace {

/// One search per indexed point in the index's cell order; neighbour rows through coord_at.
template <class CoordAt>
std::size_t bare_loop(const VoxelHashIndex& index, float radius, float voxel_size, const Vec3f* queries,
                      CoordAt coord_at) {
  const std::vector<uint32_t>& points = index.points();
  const int64_t n = static_cast<int64_t>(points.size());
  std::size_t total = 0;
#pragma omp parallel reduction(+ : total)
  {
    VoxelRadiusSearcher searcher(index, radius, voxel_size);
    std::vector<uint32_t> found;
#pragma omp for schedule(static)
    for (int64_t k = 0; k < n; ++k) {
      found.clear();
      searcher.for_each_neighbor(queries[k], coord_at, [&](uint32_t j, const Vec3f&) { found.push_back(points[j]); });
      total += found.size();
    }
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s POINTS.f32 RADIUS VOXEL_SIZE [REPEATS]\n", argv[0]);
    return 2;
  }
  const float radius = std::strtof(argv[2], nullptr);
  const float voxel_size = std::strtof(argv[3], nullptr);
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 3;
  std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
  const std::size_t bytes = static_cast<std::size_t>(in.tellg());
  std::vector<Vec3f> coords(bytes / sizeof(Vec3f));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(coords.data()), static_cast<std::streamsize>(bytes));
  const std::size_t n = coords.size();

  std::vector<double> build, bare, bare_ordered, feats;
  std::size_t neighbours = 0;
  std::vector<float> eigenvalues(3 * n), normals(3 * n);
  for (int r = 0; r < repeats; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    const VoxelHashIndex index = VoxelHashIndex::build(coords.data(), n, 1.0f / voxel_size);
    build.push_back(seconds_since(t0));

    const std::vector<uint32_t>& points = index.points();
    std::vector<Vec3f> ordered(points.size());
    for (std::size_t k = 0; k < points.size(); ++k) ordered[k] = coords[points[k]];

    t0 = std::chrono::steady_clock::now();
    neighbours = bare_loop(index, radius, voxel_size, ordered.data(), [&](uint32_t k) { return coords[points[k]]; });
    bare.push_back(seconds_since(t0));

    t0 = std::chrono::steady_clock::now();
    bare_loop(index, radius, voxel_size, ordered.data(), [&](uint32_t k) { return ordered[k]; });
    bare_ordered.push_back(seconds_since(t0));

    t0 = std::chrono::steady_clock::now();
    compute_pcd_features(index, coords.data(), n, radius, voxel_size, nullptr, eigenvalues.data(), normals.data());
    feats.push_back(seconds_since(t0));
  }
#ifdef _OPENMP
  const int threads = omp_get_max_threads();
#else
  const int threads = 1;
#endif
  std::printf(
      "{\"points\": %zu, \"threads\": %d, \"radius\": %g, \"voxel_size\": %g, \"mean_neighbours\": %.2f, "
      "\"build_s\": %.4f, \"bare_loop_s\": %.4f, \"bare_loop_ordered_s\": %.4f, \"features_s\": %.4f}\n",
      n, threads, static_cast<double>(radius), static_cast<double>(voxel_size),
      n ? static_cast<double>(neighbours) / static_cast<double>(n) : 0.0, median(build), median(bare),
      median(bare_ordered), median(feats));
  return 0;
}
