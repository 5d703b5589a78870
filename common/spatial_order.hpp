// A cache-friendly order of a cloud's points: finite points along a Morton (Z-order) curve,
// non-finite points last, each group in its original order where codes tie.
#pragma once

#include <cstdint>
#include <vector>

#include "common/point_cloud.hpp"

namespace planeseg {

/// Interleaves the low 21 bits of x, y and z (x highest) into one Z-order code.
uint64_t morton_code(uint64_t x, uint64_t y, uint64_t z);

/// order[k] is the original index of the point that goes to position k.
std::vector<uint32_t> morton_order(const std::vector<Vec3f>& coords);

/// out[k] = in[order[k]].
template <class T>
std::vector<T> gather(const std::vector<T>& in, const std::vector<uint32_t>& order) {
  std::vector<T> out(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) out[k] = in[order[k]];
  return out;
}

/// out[order[k]] = in[k]: undoes gather.
template <class T>
std::vector<T> scatter_back(const std::vector<T>& in, const std::vector<uint32_t>& order) {
  std::vector<T> out(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) out[order[k]] = in[k];
  return out;
}

}  // namespace planeseg
