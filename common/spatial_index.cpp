#include "common/spatial_index.hpp"

#include <algorithm>
#include <nanoflann.hpp>

#include "common/spatial_order.hpp"

namespace planeseg {
namespace {

// nanoflann renamed its search-parameter record in 1.5 (SearchParams -> SearchParameters)
// and dropped the ignored "checks" argument; this is the only place that differs.
#if NANOFLANN_VERSION >= 0x150
using SearchParameters = nanoflann::SearchParameters;
inline SearchParameters make_search_parameters(float eps) { return SearchParameters(eps, false); }
#else
using SearchParameters = nanoflann::SearchParams;
inline SearchParameters make_search_parameters(float eps) { return SearchParameters(32, eps, false); }
#endif

/// Dense view of the indexed points: either the cloud itself or a compacted copy of its finite rows.
struct PointSource {
  const Vec3f* points = nullptr;
  std::size_t count = 0;

  std::size_t kdtree_get_point_count() const { return count; }
  float kdtree_get_pt(uint32_t i, std::size_t dim) const {
    const Vec3f& p = points[i];
    return dim == 0 ? p.x : (dim == 1 ? p.y : p.z);
  }
  template <class Box>
  bool kdtree_get_bbox(Box&) const {
    return false;
  }
};

using Tree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<float, PointSource, float, uint32_t>,
                                                 PointSource, 3, uint32_t>;

/// Collects hits below the radius straight into the caller's reusable list.
class RadiusCollector {
 public:
  using DistanceType = float;
  using IndexType = uint32_t;

  RadiusCollector(float radius2, const uint32_t* original_ids, NeighborList& out)
      : radius2_(radius2), original_ids_(original_ids), out_(out) {}

  bool addPoint(float dist2, uint32_t i) {
    if (dist2 < radius2_) out_.push_back({original_ids_ ? original_ids_[i] : i, dist2});
    return true;
  }
  float worstDist() const { return radius2_; }
  bool full() const { return true; }
  std::size_t size() const { return out_.size(); }
  bool empty() const { return out_.empty(); }
  void init() {}
  void clear() { out_.clear(); }
  // nanoflann 1.5.5+ sorts through the result set when asked; ordering is done by the caller here.
  void sort() {}

 private:
  float radius2_;
  const uint32_t* original_ids_;
  NeighborList& out_;
};

/// Accumulates the count and scatter sums of the hits below the radius.
class ScatterCollector {
 public:
  using DistanceType = float;
  using IndexType = uint32_t;

  ScatterCollector(float radius2, const Vec3f* points, const Vec3f& ref) : radius2_(radius2), points_(points), ref_(ref) {}

  bool addPoint(float dist2, uint32_t i) {
    if (dist2 < radius2_) {
      const Vec3f d = points_[i] - ref_;
      xx_ += d.x * d.x;
      xy_ += d.x * d.y;
      xz_ += d.x * d.z;
      yy_ += d.y * d.y;
      yz_ += d.y * d.z;
      zz_ += d.z * d.z;
      ++count_;
    }
    return true;
  }
  float worstDist() const { return radius2_; }
  bool full() const { return true; }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  void init() {}
  void clear() {}
  void sort() {}
  void sums(float out[6]) const {
    out[0] = xx_, out[1] = xy_, out[2] = xz_, out[3] = yy_, out[4] = yz_, out[5] = zz_;
  }

 private:
  float radius2_;
  const Vec3f* points_;
  Vec3f ref_;
  float xx_ = 0, xy_ = 0, xz_ = 0, yy_ = 0, yz_ = 0, zz_ = 0;
  std::size_t count_ = 0;
};

}  // namespace

struct SpatialIndex::Impl {
  std::vector<Vec3f> finite_points;     // the indexed points in Morton order, unless the cloud is
  std::vector<uint32_t> original_ids;   // cloud index of finite_points[i]
  PointSource source;
  std::unique_ptr<Tree> tree;
};

SpatialIndex::SpatialIndex(const PointCloud& cloud) : impl_(std::make_unique<Impl>()) {
  const auto& coords = cloud.coords;
  const std::vector<uint32_t> order = morton_order(coords);  // non-finite rows last
  std::size_t finite = order.size();
  while (finite > 0 && !is_finite(coords[order[finite - 1]])) --finite;
  bool identity = finite == coords.size();
  for (std::size_t k = 0; identity && k < finite; ++k) identity = order[k] == k;
  if (identity) {
    impl_->source = {coords.data(), coords.size()};
  } else {
    impl_->original_ids.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(finite));
    impl_->finite_points.resize(finite);
    for (std::size_t k = 0; k < finite; ++k) impl_->finite_points[k] = coords[order[k]];
    impl_->source = {impl_->finite_points.data(), impl_->finite_points.size()};
  }
  impl_->tree = std::make_unique<Tree>(3, impl_->source, nanoflann::KDTreeSingleIndexAdaptorParams(10));
}

SpatialIndex::~SpatialIndex() = default;

std::size_t SpatialIndex::indexed_points() const { return impl_->source.count; }

std::vector<uint32_t> SpatialIndex::spatial_order() const {
  if (!impl_->original_ids.empty()) return impl_->original_ids;
  std::vector<uint32_t> order(impl_->source.count);
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
  return order;
}

void SpatialIndex::radius_neighbors(const Vec3f& q, float radius2, float eps, bool sorted, NeighborList& out) const {
  out.clear();
  if (impl_->source.count == 0 || !is_finite(q)) return;
  const uint32_t* ids = impl_->original_ids.empty() ? nullptr : impl_->original_ids.data();
  RadiusCollector collector(radius2, ids, out);
  const float query[3] = {q.x, q.y, q.z};
  impl_->tree->findNeighbors(collector, query, make_search_parameters(eps));
  if (sorted) {
    std::sort(out.begin(), out.end(), [](const Neighbor& a, const Neighbor& b) {
      return a.dist2 < b.dist2 || (a.dist2 == b.dist2 && a.index < b.index);
    });
  }
}

std::size_t SpatialIndex::radius_scatter(const Vec3f& q, float radius2, float eps, const Vec3f& ref,
                                         float scatter[6]) const {
  ScatterCollector collector(radius2, impl_->source.points, ref);
  if (impl_->source.count != 0 && is_finite(q)) {
    const float query[3] = {q.x, q.y, q.z};
    impl_->tree->findNeighbors(collector, query, make_search_parameters(eps));
  }
  collector.sums(scatter);
  return collector.size();
}

std::size_t SpatialIndex::knn(const Vec3f& q, std::size_t k, uint32_t* indices, float* dist2) const {
  if (impl_->source.count == 0 || k == 0 || !is_finite(q)) return 0;
  const float query[3] = {q.x, q.y, q.z};
  nanoflann::KNNResultSet<float, uint32_t, std::size_t> result(k);
  result.init(indices, dist2);
  impl_->tree->findNeighbors(result, query, make_search_parameters(0.0f));
  const std::size_t found = result.size();
  if (!impl_->original_ids.empty()) {
    for (std::size_t i = 0; i < found; ++i) indices[i] = impl_->original_ids[indices[i]];
  }
  return found;
}

}  // namespace planeseg
