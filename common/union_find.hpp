// Disjoint sets over dense ids 0..n-1 with union by rank and full path compression.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace planeseg {

class UnionFind {
 public:
  explicit UnionFind(std::size_t n) : parent_(n), rank_(n, 0) {
    for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<uint32_t>(i);
  }

  uint32_t find(uint32_t x) {
    uint32_t root = x;
    while (parent_[root] != root) root = parent_[root];
    while (parent_[x] != root) {
      const uint32_t next = parent_[x];
      parent_[x] = root;
      x = next;
    }
    return root;
  }

  /// On equal ranks the root of a becomes the root of both.
  void unite(uint32_t a, uint32_t b) {
    uint32_t ra = find(a), rb = find(b);
    if (ra == rb) return;
    if (rank_[ra] < rank_[rb]) std::swap(ra, rb);
    parent_[rb] = ra;
    if (rank_[ra] == rank_[rb]) ++rank_[ra];
  }

 private:
  std::vector<uint32_t> parent_;
  std::vector<uint32_t> rank_;
};

}  // namespace planeseg
