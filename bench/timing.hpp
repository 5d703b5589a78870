// Timing helpers shared by the kernel benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}
