// Times the geometry kernel on a cloud read from a raw float32 file of N x 3 values:
// the KD-tree build, a bare loop of one radius query per point, and normal estimation.
// Prints one JSON object. Usage: kernel_bench POINTS.f32 RADIUS2 [REPEATS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "common/geometry.hpp"
#include "common/spatial_index.hpp"

#include "timing.hpp"

using namespace planeseg;

namespace {

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s POINTS.f32 RADIUS2 [REPEATS]\n", argv[0]);
    return 2;
  }
  const float radius2 = std::strtof(argv[2], nullptr);
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
  std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
  const std::size_t bytes = static_cast<std::size_t>(in.tellg());
  PointCloud cloud;
  cloud.coords.resize(bytes / sizeof(Vec3f));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(cloud.coords.data()), static_cast<std::streamsize>(bytes));
  const std::size_t n = cloud.size();

  std::vector<double> build, query, normals;
  std::size_t total_neighbours = 0;
  for (int r = 0; r < repeats; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    SpatialIndex index(cloud);
    build.push_back(seconds_since(t0));

    // Both loops visit the points in the index's spatial order, as the library does.
    const std::vector<uint32_t> order = index.spatial_order();
    t0 = std::chrono::steady_clock::now();
    NeighborList buffer;
    total_neighbours = 0;
    for (uint32_t i : order) {
      index.radius_neighbors(cloud.coords[i], radius2, 0.0f, false, buffer);
      total_neighbours += buffer.size();
    }
    query.push_back(seconds_since(t0));

    cloud.normals.assign(n, Vec3f{0, 0, 1});
    t0 = std::chrono::steady_clock::now();
    estimate_normals(cloud, index, order, radius2);
    normals.push_back(seconds_since(t0));
  }
  std::printf(
      "{\"points\": %zu, \"radius2\": %g, \"mean_neighbours\": %.2f, \"kdtree_build_s\": %.4f, "
      "\"radius_query_loop_s\": %.4f, \"normals_s\": %.4f}\n",
      n, static_cast<double>(radius2), static_cast<double>(total_neighbours) / static_cast<double>(n), median(build),
      median(query), median(normals));
  return 0;
}
