// Voxel hash over a cloud: the points of every occupied cubic cell, and radius queries that
// look only at the cells a query ball can touch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "common/point_cloud.hpp"

namespace planeseg {

/// Integer cell coordinates.
struct VoxelCoord {
  int64_t x = 0;
  int64_t y = 0;
  int64_t z = 0;

  bool operator==(const VoxelCoord& o) const { return x == o.x && y == o.y && z == o.z; }
  bool operator!=(const VoxelCoord& o) const { return !(*this == o); }
};

/// floor(v * scale) with both widened to double. A product beyond the signed 64-bit range
/// (infinities included) lands in the extreme cell on its side, which keeps the cell
/// monotonic in v; a NaN product has no cell.
inline std::optional<int64_t> voxel_axis(float v, float scale) {
  const double scaled = static_cast<double>(v) * static_cast<double>(scale);
  // Within +-2^62 the conversion is exact enough to floor by hand (std::floor is a library
  // call on baseline x86-64); outside it, the double is already an integer.
  constexpr double kExact = 4611686018427387904.0;  // 2^62
  if (scaled > -kExact && scaled < kExact) {
    const int64_t t = static_cast<int64_t>(scaled);  // truncates toward zero
    return t - (static_cast<double>(t) > scaled ? 1 : 0);
  }
  if (scaled != scaled) return std::nullopt;
  constexpr double kLimit = 9223372036854775808.0;  // 2^63, exact in double
  if (scaled >= kLimit) return std::numeric_limits<int64_t>::max();
  if (scaled < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(scaled);
}

/// The cell of p at the scale; none when any axis has no cell.
std::optional<VoxelCoord> voxel_cell(const Vec3f& p, float scale);

/// SplitMix64 finaliser of each component, combined as hx ^ (hy << 1) ^ (hz << 2) and cut to
/// its low 32 bits.
uint32_t cell_key(const VoxelCoord& c);

/// Positions [begin, end) of one cell's points in VoxelHashIndex::points().
struct CellSpan {
  uint32_t begin = 0;
  uint32_t end = 0;
};

/// One occupied cell: its coordinates and its points, in one cache line.
struct alignas(32) CellEntry {
  VoxelCoord coord;
  CellSpan span;
};

/// Immutable map from occupied cell to the indices of its points, in increasing order. Cells
/// are stored along a Z-order curve so that neighbouring cells sit close in memory; the
/// lookup table hashes with cell_key and compares exact coordinates.
class VoxelHashIndex {
 public:
  VoxelHashIndex() = default;

  /// Indexes rows 0..n-1 of coords. Rows whose cell is undefined (a NaN scaled coordinate)
  /// are left out and listed in excluded().
  static VoxelHashIndex build(const Vec3f* coords, std::size_t n, float inv_s);

  std::size_t cell_count() const { return cells_.size(); }
  /// Rows of the array the index was built from, the excluded ones included.
  std::size_t point_count() const { return point_count_; }
  /// The scale the cells were computed with.
  float inv_s() const { return inv_s_; }
  /// Point indices grouped by cell, increasing within each cell.
  const std::vector<uint32_t>& points() const { return points_; }
  const std::vector<uint32_t>& excluded() const { return excluded_; }
  /// Occupied cells along the Z-order curve.
  const std::vector<CellEntry>& cells() const { return cells_; }

  /// The cell's span when the cell is occupied.
  bool find(const VoxelCoord& c, CellSpan& out) const { return find(c, cell_key(c), out); }

  /// Starts loading the table slot of a key, for a find that follows shortly.
  void prefetch(uint32_t key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[key & mask_]);
  }

  /// Once the slot is loaded: starts loading the cell entry whose key matches, if any.
  void prefetch_entry(uint32_t key) const {
    if (slots_.empty()) return;
    for (std::size_t h = key & mask_;; h = (h + 1) & mask_) {
      const Slot& slot = slots_[h];
      if (slot.cell == 0) return;
      if (slot.key == key) {
        __builtin_prefetch(&cells_[slot.cell - 1]);
        return;
      }
    }
  }

  /// The same with the cell's key already computed.
  bool find(const VoxelCoord& c, uint32_t key, CellSpan& out) const {
    if (cells_.empty()) return false;
    for (std::size_t h = key & mask_;; h = (h + 1) & mask_) {
      const Slot& slot = slots_[h];
      if (slot.cell == 0) return false;
      if (slot.key == key && cells_[slot.cell - 1].coord == c) {
        out = cells_[slot.cell - 1].span;
        return true;
      }
    }
  }

 private:
  struct Slot {
    uint32_t key = 0;
    uint32_t cell = 0;  ///< cell number + 1; 0 marks an empty slot
  };

  std::vector<CellEntry> cells_;
  std::vector<uint32_t> points_;
  std::vector<uint32_t> excluded_;
  std::vector<Slot> slots_;  ///< open addressing, power-of-two size, at most half full
  std::size_t mask_ = 0;
  std::size_t point_count_ = 0;
  float inv_s_ = 0.0f;
};

/// Throws when coordinate rows are fewer than the rows the index was built from, which
/// would make a query read past the end of the caller's array.
void check_coordinate_rows(const VoxelHashIndex& index, std::size_t rows);

/// Inclusive cell box of a query ball: its low corner and, per axis, hi - lo (unsigned, so
/// that a box spanning the whole 64-bit range does not overflow).
struct CellBox {
  VoxelCoord lo;
  uint64_t extent[3] = {0, 0, 0};

  bool operator==(const CellBox& o) const {
    return lo == o.lo && extent[0] == o.extent[0] && extent[1] == o.extent[1] && extent[2] == o.extent[2];
  }
  bool contains(const VoxelCoord& c) const {
    return static_cast<uint64_t>(c.x) - static_cast<uint64_t>(lo.x) <= extent[0] &&
           static_cast<uint64_t>(c.y) - static_cast<uint64_t>(lo.y) <= extent[1] &&
           static_cast<uint64_t>(c.z) - static_cast<uint64_t>(lo.z) <= extent[2];
  }
  /// Grows this box to the smallest box holding both.
  void include(const CellBox& o);
};

/// Radius queries of one thread over one index. Keeps its buffers between queries, the cells
/// of the last box, and a small memo of recent cell lookups (hits and misses), since queries
/// in spatial order visit mostly the same cells.
class VoxelRadiusSearcher {
 public:
  VoxelRadiusSearcher(const VoxelHashIndex& index, float radius, float voxel_size);

  const VoxelHashIndex& index() const { return index_; }

  /// The inclusive box of the cells of q - radius .. q + radius (formed in float) at the
  /// index's own scale; false when it is undefined (NaN) or the searcher can find nothing
  /// (radius or voxel size not positive, empty index). The index's scale rather than
  /// 1 / voxel_size: the two often differ in the last bit (1 / 0.03 rounded from double is
  /// not 1.0f / 0.03f), and a box on another grid would miss points near cell faces.
  bool box_of(const Vec3f& q, CellBox& box) const;

  /// Occupied cells of the box in x-major, then y, then z order. The reference stays valid
  /// until the next call.
  const std::vector<CellEntry>& cells_in(const CellBox& box);

  /// Calls visit(position, point) for every point of the candidate cells (occupied cells in
  /// x-major order that cover box) that lies in box and within the radius of q (inclusive), in
  /// cell order and, inside a cell, position order; coord_at(position) gives the point stored
  /// at that position of index().points().
  template <class CoordAt, class Visit>
  void for_each_neighbor_among(const std::vector<CellEntry>& candidates, const CellBox& box, const Vec3f& q,
                               CoordAt coord_at, Visit visit) const {
    for (const CellEntry& cell : candidates) {
      if (!box.contains(cell.coord)) continue;
      for (uint32_t k = cell.span.begin; k < cell.span.end; ++k) {
        const Vec3f p = coord_at(k);
        const float dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
        const float d2 = (dy * dy + dx * dx) + dz * dz;
        if (d2 <= radius2_) visit(k, p);
      }
    }
  }

  /// The same for one query: the cells of q's own box.
  template <class CoordAt, class Visit>
  void for_each_neighbor(const Vec3f& q, CoordAt coord_at, Visit visit) {
    CellBox box;
    if (box_of(q, box)) for_each_neighbor_among(cells_in(box), box, q, coord_at, visit);
  }

 private:
  struct MemoEntry {
    VoxelCoord coord;
    CellSpan span;
    bool valid = false;
    bool occupied = false;
  };
  static constexpr std::size_t kMemoSize = 1024;
  /// One cell of a box being collected: found in the memo, or its key and table slot requested.
  struct Probe {
    VoxelCoord coord;
    uint32_t key = 0;
    bool known = false;
    bool occupied = false;
    CellSpan span;
  };

  void collect(const CellBox& box);
  MemoEntry& memo_entry(const VoxelCoord& c);

  const VoxelHashIndex& index_;
  bool active_ = false;
  float radius_ = 0.0f;
  float radius2_ = 0.0f;
  bool have_last_ = false;
  CellBox last_;
  std::vector<CellEntry> found_;
  std::vector<uint32_t> scanned_;
  std::vector<Probe> probes_;
  std::vector<MemoEntry> memo_;
};

/// Indices of the points of coords (the rows the index was built from) within radius of q, in
/// cell order (x-major, then y, then z) and increasing index inside a cell. Empty when radius
/// or voxel_size is not positive. out is cleared first.
void voxel_radius_search(const VoxelHashIndex& index, float radius, float voxel_size, const Vec3f& q,
                         const Vec3f* coords, std::vector<uint32_t>& out);
/// The same with a searcher that the caller keeps across queries.
void voxel_radius_search(VoxelRadiusSearcher& searcher, const Vec3f& q, const Vec3f* coords,
                         std::vector<uint32_t>& out);

}  // namespace planeseg
