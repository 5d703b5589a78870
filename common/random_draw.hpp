// The uniform integer draw shared by every seeded sampler: reproducible on every machine.
#pragma once

#include <cstdint>

namespace planeseg {

/// Draws j uniformly from [0, n - 1] (n >= 1) with one or more 32-bit outputs of engine, by the
/// multiply-and-reject rule: the high half of r * n, rejecting low halves below (2^32 - n) mod n.
template <class Engine>
uint32_t uniform_below(Engine& engine, uint32_t n) {
  uint64_t m = static_cast<uint64_t>(static_cast<uint32_t>(engine())) * n;
  uint32_t low = static_cast<uint32_t>(m);
  if (low < n) {
    const uint32_t threshold = static_cast<uint32_t>(-n) % n;
    while (low < threshold) {
      m = static_cast<uint64_t>(static_cast<uint32_t>(engine())) * n;
      low = static_cast<uint32_t>(m);
    }
  }
  return static_cast<uint32_t>(m >> 32);
}

}  // namespace planeseg
