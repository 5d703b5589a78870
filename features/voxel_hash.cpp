#include "features/voxel_hash.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "common/spatial_order.hpp"

namespace planeseg {

std::optional<VoxelCoord> voxel_cell(const Vec3f& p, float scale) {
  const auto x = voxel_axis(p.x, scale), y = voxel_axis(p.y, scale), z = voxel_axis(p.z, scale);
  if (!x || !y || !z) return std::nullopt;
  return VoxelCoord{*x, *y, *z};
}

namespace {

uint64_t splitmix64(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

uint32_t cell_key(const VoxelCoord& c) {
  const uint64_t k = splitmix64(static_cast<uint64_t>(c.x)) ^ (splitmix64(static_cast<uint64_t>(c.y)) << 1) ^
                     (splitmix64(static_cast<uint64_t>(c.z)) << 2);
  return static_cast<uint32_t>(k);
}

namespace {

/// Rank of every cell along a Z-order curve over the occupied cells' bounding box (coarsened
/// to 21 bits per axis), ties in first-appearance order.
std::vector<uint32_t> z_order_ranks(const std::vector<CellEntry>& cells) {
  VoxelCoord lo{std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max(),
                std::numeric_limits<int64_t>::max()};
  VoxelCoord hi{std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min(),
                std::numeric_limits<int64_t>::min()};
  for (const CellEntry& e : cells) {
    const VoxelCoord& c = e.coord;
    lo = {std::min(lo.x, c.x), std::min(lo.y, c.y), std::min(lo.z, c.z)};
    hi = {std::max(hi.x, c.x), std::max(hi.y, c.y), std::max(hi.z, c.z)};
  }
  auto offset = [](int64_t v, int64_t base) { return static_cast<uint64_t>(v) - static_cast<uint64_t>(base); };
  const uint64_t span = std::max({offset(hi.x, lo.x), offset(hi.y, lo.y), offset(hi.z, lo.z)});
  int shift = 0;
  while ((span >> shift) >= (uint64_t{1} << 21)) ++shift;
  std::vector<std::pair<uint64_t, uint32_t>> keyed(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const VoxelCoord& c = cells[i].coord;
    keyed[i] = {morton_code(offset(c.x, lo.x) >> shift, offset(c.y, lo.y) >> shift, offset(c.z, lo.z) >> shift),
                static_cast<uint32_t>(i)};
  }
  if (!std::is_sorted(keyed.begin(), keyed.end())) std::sort(keyed.begin(), keyed.end());
  std::vector<uint32_t> rank(cells.size());
  for (std::size_t k = 0; k < keyed.size(); ++k) rank[keyed[k].second] = static_cast<uint32_t>(k);
  return rank;
}

}  // namespace

VoxelHashIndex VoxelHashIndex::build(const Vec3f* coords, std::size_t n, float inv_s) {
  if (n > std::numeric_limits<uint32_t>::max())
    throw std::runtime_error("positive_coords has more rows than a VoxelHash can index (" +
                             std::to_string(std::numeric_limits<uint32_t>::max()) + ")");
  VoxelHashIndex index;
  index.point_count_ = n;
  index.inv_s_ = inv_s;
  if (n == 0) return index;

  // Pass 1: provisional cell numbers in order of first appearance, each with its point count
  // (in span.end for now). The cells of the points a little ahead are computed early and
  // their table slots requested, so that the cache misses of unordered clouds overlap.
  constexpr uint32_t kNoCell = std::numeric_limits<uint32_t>::max();
  constexpr std::size_t kAhead = 16;
  struct Pending {
    VoxelCoord coord;
    uint32_t key = 0;
    bool valid = false;
  };
  Pending ahead[kAhead];
  std::vector<uint32_t> cell_of(n);
  std::vector<CellEntry> provisional;
  std::size_t slot_count = 1024;
  while (slot_count < n / 2) slot_count *= 2;
  index.slots_.assign(slot_count, Slot{});
  index.mask_ = slot_count - 1;
  const auto prepare = [&](std::size_t i, Pending& p) {
    const auto cell = voxel_cell(coords[i], inv_s);
    p.valid = cell.has_value();
    if (!p.valid) return;
    p.coord = *cell;
    p.key = cell_key(p.coord);
    index.prefetch(p.key);
  };
  for (std::size_t i = 0; i < std::min(n, kAhead); ++i) prepare(i, ahead[i]);
  for (std::size_t i = 0; i < n; ++i) {
    const Pending p = ahead[i % kAhead];
    if (i + kAhead < n) prepare(i + kAhead, ahead[i % kAhead]);
    if (!p.valid) {
      cell_of[i] = kNoCell;
      index.excluded_.push_back(static_cast<uint32_t>(i));
      continue;
    }
    std::size_t h = p.key & index.mask_;
    for (;; h = (h + 1) & index.mask_) {
      Slot& slot = index.slots_[h];
      if (slot.cell == 0) {
        provisional.push_back({p.coord, {0, 0}});
        slot = {p.key, static_cast<uint32_t>(provisional.size())};
        break;
      }
      if (slot.key == p.key && provisional[slot.cell - 1].coord == p.coord) break;
    }
    const uint32_t c = index.slots_[h].cell - 1;
    ++provisional[c].span.end;
    cell_of[i] = c;
    if (provisional.size() * 2 > index.slots_.size()) {  // keep the table at most half full
      std::vector<Slot> old(index.slots_.size() * 2);
      old.swap(index.slots_);
      index.mask_ = index.slots_.size() - 1;
      for (const Slot& s : old) {
        if (s.cell == 0) continue;
        std::size_t g = s.key & index.mask_;
        while (index.slots_[g].cell != 0) g = (g + 1) & index.mask_;
        index.slots_[g] = s;
      }
    }
  }

  // Renumber the cells along the Z-order curve and lay out their point lists in that order.
  const std::vector<uint32_t> rank = z_order_ranks(provisional);
  index.cells_.resize(provisional.size());
  for (std::size_t c = 0; c < provisional.size(); ++c) index.cells_[rank[c]] = provisional[c];
  uint32_t start = 0;
  for (CellEntry& e : index.cells_) {
    const uint32_t count = e.span.end;
    e.span = {start, start};  // end grows back to start + count as the points are placed
    start += count;
  }
  for (Slot& s : index.slots_)
    if (s.cell != 0) s.cell = rank[s.cell - 1] + 1;
  index.points_.resize(n - index.excluded_.size());
  for (std::size_t i = 0; i < n; ++i)
    if (cell_of[i] != kNoCell) index.points_[index.cells_[rank[cell_of[i]]].span.end++] = static_cast<uint32_t>(i);
  return index;
}

void check_coordinate_rows(const VoxelHashIndex& index, std::size_t rows) {
  if (rows < index.point_count())
    throw std::runtime_error("positive_coords has " + std::to_string(rows) +
                             " rows but the VoxelHash was built from " + std::to_string(index.point_count()));
}

VoxelRadiusSearcher::VoxelRadiusSearcher(const VoxelHashIndex& index, float radius, float voxel_size)
    : index_(index),
      active_(radius > 0.0f && voxel_size > 0.0f && index.cell_count() > 0),
      radius_(radius),
      radius2_(radius * radius) {
  if (active_) memo_.resize(kMemoSize);
}

void CellBox::include(const CellBox& o) {
  const int64_t lo_a[3] = {lo.x, lo.y, lo.z}, lo_b[3] = {o.lo.x, o.lo.y, o.lo.z};
  int64_t out[3];
  for (int a = 0; a < 3; ++a) {
    const int64_t hi = static_cast<int64_t>(static_cast<uint64_t>(lo_a[a]) + extent[a]);
    const int64_t hi_b = static_cast<int64_t>(static_cast<uint64_t>(lo_b[a]) + o.extent[a]);
    out[a] = std::min(lo_a[a], lo_b[a]);
    extent[a] = static_cast<uint64_t>(std::max(hi, hi_b)) - static_cast<uint64_t>(out[a]);
  }
  lo = {out[0], out[1], out[2]};
}

bool VoxelRadiusSearcher::box_of(const Vec3f& q, CellBox& box) const {
  if (!active_) return false;
  const float c[3] = {q.x, q.y, q.z};
  int64_t lo[3];
  const float scale = index_.inv_s();
  for (int a = 0; a < 3; ++a) {
    const auto l = voxel_axis(c[a] - radius_, scale), h = voxel_axis(c[a] + radius_, scale);
    if (!l || !h) return false;
    // A negative scale mirrors the grid, which swaps the ends.
    lo[a] = std::min(*l, *h);
    box.extent[a] = static_cast<uint64_t>(std::max(*l, *h)) - static_cast<uint64_t>(lo[a]);
  }
  box.lo = {lo[0], lo[1], lo[2]};
  return true;
}

VoxelRadiusSearcher::MemoEntry& VoxelRadiusSearcher::memo_entry(const VoxelCoord& c) {
  const uint64_t mix = static_cast<uint64_t>(c.x) * 0x9E3779B97F4A7C15ull ^
                       static_cast<uint64_t>(c.y) * 0xC2B2AE3D27D4EB4Full ^
                       static_cast<uint64_t>(c.z) * 0x165667B19E3779F9ull;
  return memo_[(mix >> 40) & (kMemoSize - 1)];
}

void VoxelRadiusSearcher::collect(const CellBox& box) {
  found_.clear();
  const std::vector<CellEntry>& cells = index_.cells();
  // A box with more cells than the index holds is cheaper to answer from the cells themselves
  // (and a huge radius would otherwise mean billions of lookups).
  const double cells_in_box = (static_cast<double>(box.extent[0]) + 1.0) * (static_cast<double>(box.extent[1]) + 1.0) *
                              (static_cast<double>(box.extent[2]) + 1.0);
  if (cells_in_box > static_cast<double>(cells.size())) {
    scanned_.clear();
    for (std::size_t c = 0; c < cells.size(); ++c)
      if (box.contains(cells[c].coord)) scanned_.push_back(static_cast<uint32_t>(c));
    std::sort(scanned_.begin(), scanned_.end(), [&](uint32_t a, uint32_t b) {
      const VoxelCoord &u = cells[a].coord, &v = cells[b].coord;
      if (u.x != v.x) return u.x < v.x;
      if (u.y != v.y) return u.y < v.y;
      return u.z < v.z;
    });
    for (uint32_t c : scanned_) found_.push_back(cells[c]);
    return;
  }
  // Cells the memo does not know have their table slots, then their entries, requested
  // together, so that their cache misses overlap instead of following one another.
  probes_.clear();
  Probe probe;
  for (uint64_t dx = 0; dx <= box.extent[0]; ++dx) {
    probe.coord.x = static_cast<int64_t>(static_cast<uint64_t>(box.lo.x) + dx);
    for (uint64_t dy = 0; dy <= box.extent[1]; ++dy) {
      probe.coord.y = static_cast<int64_t>(static_cast<uint64_t>(box.lo.y) + dy);
      for (uint64_t dz = 0; dz <= box.extent[2]; ++dz) {
        probe.coord.z = static_cast<int64_t>(static_cast<uint64_t>(box.lo.z) + dz);
        const MemoEntry& e = memo_entry(probe.coord);
        probe.known = e.valid && e.coord == probe.coord;
        if (probe.known) {
          probe.occupied = e.occupied;
          probe.span = e.span;
        } else {
          probe.key = cell_key(probe.coord);
          index_.prefetch(probe.key);
        }
        probes_.push_back(probe);
      }
    }
  }
  for (const Probe& p : probes_)
    if (!p.known) index_.prefetch_entry(p.key);
  for (Probe& p : probes_) {
    if (!p.known) {
      p.occupied = index_.find(p.coord, p.key, p.span);
      memo_entry(p.coord) = {p.coord, p.span, true, p.occupied};
    }
    if (p.occupied) found_.push_back({p.coord, p.span});
  }
}

const std::vector<CellEntry>& VoxelRadiusSearcher::cells_in(const CellBox& box) {
  if (!(have_last_ && box == last_)) {
    collect(box);
    last_ = box;
    have_last_ = true;
  }
  return found_;
}

void voxel_radius_search(VoxelRadiusSearcher& searcher, const Vec3f& q, const Vec3f* coords,
                         std::vector<uint32_t>& out) {
  out.clear();
  const std::vector<uint32_t>& points = searcher.index().points();
  searcher.for_each_neighbor(
      q, [&](uint32_t k) { return coords[points[k]]; }, [&](uint32_t k, const Vec3f&) { out.push_back(points[k]); });
}

void voxel_radius_search(const VoxelHashIndex& index, float radius, float voxel_size, const Vec3f& q,
                         const Vec3f* coords, std::vector<uint32_t>& out) {
  VoxelRadiusSearcher searcher(index, radius, voxel_size);
  voxel_radius_search(searcher, q, coords, out);
}

}  // namespace planeseg
