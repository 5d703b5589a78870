// Parameter clamps that send NaN to the lower bound, and the elapsed-time reading of every call.
#pragma once

#include <algorithm>
#include <chrono>

namespace planeseg {

inline float at_least(float value, float lo) { return value >= lo ? value : lo; }
inline float within(float value, float lo, float hi) { return value >= lo ? std::min(value, hi) : lo; }

/// Seconds since start on the steady clock, counted in nanoseconds.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
  return static_cast<double>(ns.count()) / 1e9;
}

}  // namespace planeseg
