#include "features/pcd_features.hpp"

#include <atomic>
#include <exception>
#include <limits>
#include <vector>

#include "common/geometry.hpp"

namespace planeseg {
namespace {

constexpr int64_t kProgressBatch = 64;
constexpr uint32_t kPrefetchAhead = 16;

void write_row(float* out, std::size_t row, float a, float b, float c) {
  out[3 * row] = a;
  out[3 * row + 1] = b;
  out[3 * row + 2] = c;
}

void write_nan_rows(float* eigenvalues, float* normals, std::size_t row) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  write_row(eigenvalues, row, nan, nan, nan);
  write_row(normals, row, nan, nan, nan);
}

}  // namespace

void compute_pcd_features(const VoxelHashIndex& index, const Vec3f* coords, std::size_t n, float radius,
                          float voxel_size, FeaturesProgressState* progress, float* eigenvalues, float* normals) {
  check_coordinate_rows(index, n);
  if (progress) progress->reset(static_cast<int64_t>(n));
  if (n == 0) return;

  // Points are visited cell by cell along the index's Z-order: the occupied cells around a
  // cell are looked up once for all its points, and the neighbour coordinates of a cell are
  // contiguous in `ordered`. Rows outside the index (NaN at build time, or beyond the rows it
  // was built from) follow, one query each.
  const std::vector<uint32_t>& points = index.points();
  const std::vector<CellEntry>& cells = index.cells();
  std::vector<uint32_t> outside(index.excluded());
  for (std::size_t row = index.point_count(); row < n; ++row) outside.push_back(static_cast<uint32_t>(row));
  std::vector<Vec3f> ordered(points.size());

  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  const int64_t indexed_count = static_cast<int64_t>(points.size());
  const int64_t cell_count = static_cast<int64_t>(cells.size());
  const int64_t outside_count = static_cast<int64_t>(outside.size());
#pragma omp parallel
  {
#pragma omp for schedule(static)
    for (int64_t k = 0; k < indexed_count; ++k) ordered[k] = coords[points[k]];

    VoxelRadiusSearcher searcher(index, radius, voxel_size);
    int64_t pending = 0;
    const auto coord_at = [&](uint32_t k) { return ordered[k]; };
    // Whether the thread should go on; false after a cancel request or another thread's failure.
    const auto running = [&]() {
      return !((progress && progress->cancelled()) || failed.load(std::memory_order_relaxed));
    };
    // One point's rows from the candidate cells (which cover its own box), then its progress.
    const auto compute_point = [&](const Vec3f& q, std::size_t row, const std::vector<CellEntry>* candidates) {
      if (!is_finite(q)) {
        write_nan_rows(eigenvalues, normals, row);
      } else {
        float sums[6] = {0, 0, 0, 0, 0, 0};
        CellBox box;
        if (searcher.box_of(q, box)) {
          searcher.for_each_neighbor_among(candidates ? *candidates : searcher.cells_in(box), box, q, coord_at,
                                           [&](uint32_t, const Vec3f& p) {
                                             const float dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
                                             sums[0] += dx * dx;
                                             sums[1] += dx * dy;
                                             sums[2] += dx * dz;
                                             sums[3] += dy * dy;
                                             sums[4] += dy * dz;
                                             sums[5] += dz * dz;
                                           });
        }
        const EigenDecomposition d = decompose_symmetric(scatter_matrix(sums));
        write_row(eigenvalues, row, d.values(0), d.values(1), d.values(2));
        write_row(normals, row, d.vectors(0, 0), d.vectors(1, 0), d.vectors(2, 0));
      }
      if (progress && ++pending == kProgressBatch) {
        progress->add(kProgressBatch);
        pending = 0;
      }
    };
    // An exception must not leave the parallel region: the first one is kept, every thread
    // skips its remaining points and it is rethrown after the loops.
    const auto record_failure = [&]() {
#pragma omp critical(planeseg_features_failure)
      if (!failure) failure = std::current_exception();
      failed.store(true, std::memory_order_relaxed);
    };

#pragma omp for schedule(dynamic, 64)
    for (int64_t c = 0; c < cell_count; ++c) {
      const CellSpan span = cells[static_cast<std::size_t>(c)].span;
      uint32_t k = span.begin;
      try {
        CellBox around, box;
        bool any = false;
        for (uint32_t j = span.begin; j < span.end; ++j) {
          if (!searcher.box_of(ordered[j], box)) continue;
          if (any) around.include(box);
          else around = box;
          any = true;
        }
        static const std::vector<CellEntry> kNone;
        const std::vector<CellEntry>& candidates = any ? searcher.cells_in(around) : kNone;
        for (; k < span.end && running(); ++k) {
          // Rows are written in cell order, not row order: fetch the lines a few points ahead.
          if (k + kPrefetchAhead < indexed_count) {
            const std::size_t ahead = points[k + kPrefetchAhead];
            __builtin_prefetch(eigenvalues + 3 * ahead, 1);
            __builtin_prefetch(normals + 3 * ahead, 1);
          }
          compute_point(ordered[k], points[k], &candidates);
        }
      } catch (...) {
        record_failure();
      }
      for (; k < span.end; ++k) write_nan_rows(eigenvalues, normals, points[k]);
    }

#pragma omp for schedule(static)
    for (int64_t m = 0; m < outside_count; ++m) {
      const std::size_t row = outside[static_cast<std::size_t>(m)];
      bool done = false;
      if (running()) {
        try {
          compute_point(coords[row], row, nullptr);
          done = true;
        } catch (...) {
          record_failure();
        }
      }
      if (!done) write_nan_rows(eigenvalues, normals, row);
    }
    if (progress && pending != 0) progress->add(pending);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace planeseg
