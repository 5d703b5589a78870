#include "common/point_cloud.hpp"

#include <cstring>
#include <stdexcept>

namespace planeseg {

void check_point_array_shape(std::ptrdiff_t ndim, const std::ptrdiff_t* shape, const std::string& name) {
  if (ndim != 2 || shape[1] != 3) throw std::runtime_error(name + " must be a (N,3) float array");
}

void copy_points(const float* rows, std::size_t n, std::vector<Vec3f>& out) {
  static_assert(sizeof(Vec3f) == 3 * sizeof(float), "Vec3f must be three packed floats");
  out.resize(n);
  if (n != 0) std::memcpy(out.data(), rows, n * sizeof(Vec3f));
}

void check_normal_rows(std::size_t normal_rows, std::size_t coord_rows) {
  if (normal_rows != coord_rows) throw std::runtime_error("normals must have the same number of rows as coords");
}

NormalMode parse_normal_mode(const std::string& mode) {
  if (mode == "compute") return NormalMode::Compute;
  if (mode == "use_provided" || mode == "use_existing") return NormalMode::UseProvided;
  throw std::runtime_error("normal_mode must be 'compute' or 'use_provided'");
}

void throw_missing_normals() { throw std::runtime_error("normal_mode='use_provided' requires normals"); }

}  // namespace planeseg
