// Owned point containers and the argument checks shared by every entry point.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace planeseg {

/// Three single-precision components; used for points, normals and plane centroids.
struct Vec3f {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
};

inline Vec3f operator-(const Vec3f& a, const Vec3f& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
/// Dot product summed as (x + y) + z, the order every plane test relies on.
inline float dot(const Vec3f& a, const Vec3f& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline bool is_finite(const Vec3f& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

/// The owned cloud of one call: row i of the caller's coords is coords[i], likewise normals.
struct PointCloud {
  std::vector<Vec3f> coords;
  std::vector<Vec3f> normals;

  std::size_t size() const { return coords.size(); }
};

/// Throws "<name> must be a (N,3) float array" unless ndim is 2 and the second extent is 3.
void check_point_array_shape(std::ptrdiff_t ndim, const std::ptrdiff_t* shape, const std::string& name);

/// Copies n row-major xyz triples into out (resized to n).
void copy_points(const float* rows, std::size_t n, std::vector<Vec3f>& out);

/// Throws "normals must have the same number of rows as coords" when the counts differ.
void check_normal_rows(std::size_t normal_rows, std::size_t coord_rows);

enum class NormalMode { Compute, UseProvided };

/// "compute", "use_provided" or its synonym "use_existing" (exact, case-sensitive).
NormalMode parse_normal_mode(const std::string& mode);

/// The error raised when a mode that needs normals is given none.
[[noreturn]] void throw_missing_normals();

}  // namespace planeseg
