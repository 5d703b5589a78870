// Binding helpers shared by the four extension modules: array conversion into owned clouds,
// parameter dictionary reading and the progress classes. Only bindings files include this.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/point_cloud.hpp"

namespace planeseg::bindings {

namespace py = pybind11;

/// Any array-like, converted by NumPy to a C-contiguous float32 array with forced casting.
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

/// Checks the (N,3) shape under the argument's name and copies the rows.
inline void copy_point_array(const FloatArray& array, const std::string& name, std::vector<Vec3f>& out) {
  const py::buffer_info info = array.request();
  std::vector<std::ptrdiff_t> shape(info.shape.begin(), info.shape.end());
  check_point_array_shape(info.ndim, shape.data(), name);
  copy_points(static_cast<const float*>(info.ptr), static_cast<std::size_t>(info.shape[0]), out);
}

/// Shape check of an array given without a copy (used for the first check of coords).
inline void check_point_array(const FloatArray& array, const std::string& name) {
  std::vector<std::ptrdiff_t> shape(array.shape(), array.shape() + array.ndim());
  check_point_array_shape(array.ndim(), shape.data(), name);
}

/// Converts (NumPy's own errors propagate), checks and copies provided normals into
/// cloud.normals; None raises the missing-normals error.
inline void load_provided_normals(const py::object& normals, PointCloud& cloud) {
  if (normals.is_none()) throw_missing_normals();
  const FloatArray converted(normals);
  check_point_array(converted, "normals");
  check_normal_rows(static_cast<std::size_t>(converted.shape(0)), cloud.size());
  copy_point_array(converted, "normals", cloud.normals);
}

/// Applies normal_mode: with "compute" the normals argument is ignored; otherwise it is
/// loaded as load_provided_normals does.
inline NormalMode load_normals(const std::string& normal_mode, const py::object& normals, PointCloud& cloud) {
  const NormalMode mode = parse_normal_mode(normal_mode);
  if (mode == NormalMode::UseProvided) load_provided_normals(normals, cloud);
  return mode;
}

/// A new one-dimensional NumPy array holding a copy of values.
template <class T>
py::array_t<T> to_numpy(const std::vector<T>& values) {
  py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
  if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(T));
  return out;
}

/// Converts dict[key] into field when present; a value of the wrong kind raises the binding
/// layer's cast error. Absent keys keep the field's current value.
template <class T>
void read_key(const py::dict& dict, const char* key, T& field) {
  if (!dict.contains(key)) return;
  try {
    field = py::cast<T>(dict[key]);
  } catch (const py::cast_error& e) {
    throw py::cast_error(std::string(e.what()) + " for key '" + key + "'");
  }
}

/// Declares a progress class with the methods every module's object has, and binds it under
/// both its own name and "Progress".
template <class State>
py::class_<State> bind_progress(py::module_& m, const char* name, const char* doc) {
  py::class_<State> cls(m, name, doc);
  cls.def(py::init<>(), "A fresh object: done 0, total 0, not cancelled.")
      .def("reset", &State::reset, py::arg("total"),
           "Sets done to 0 and total to the given value and withdraws any cancellation request.")
      .def("request_cancel", &State::request_cancel, "Asks the running call to stop.")
      .def("cancelled", &State::cancelled, "Whether a cancellation was requested since the last reset.")
      .def("done", &State::done, "Work units finished.")
      .def("total", &State::total, "Work units expected.");
  m.attr("Progress") = cls;
  return cls;
}

}  // namespace planeseg::bindings
