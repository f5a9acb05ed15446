// Boxes of the detection datasets: normalised centre/size boxes mapped to corners and clipped,
// and the checks made on them when a sample is loaded (values finite, class ids in the list).
//
// The rows hold x-centre, y-centre, width, height divided by the image size; further columns
// (the Darknet label) are carried along by xywhn2xyxy.
#pragma once

#include <pybind11/numpy.h>
#include <pykit.hpp>

#include <cmath>

#include "fit.hpp"
#include "imports.hpp"

namespace datasets {
namespace py = pybind11;

// Training: `xywhn2xyxy(boxes, w, h, padw=padw, padh=padh)`, then columns 0 and 2 clipped to
// 0..shape[1] and columns 1 and 3 to 0..shape[0], one column at a time. Uses s.xywhn2xyxy, s.np.
inline py::object boxes_in_pixels(const Imports& s, const py::object& boxes, const Fitted& fitted,
                                  const py::object& shape) {
    py::object corners = need(s.xywhn2xyxy, "xywhn2xyxy")(boxes, fitted.w, fitted.h, py::arg("padw") = fitted.padw,
                                                         py::arg("padh") = fitted.padh);
    py::object clip = need(s.np, "numpy").attr("clip");
    for (long c = 0; c < 4; ++c) corners[column(c)] = clip(corners[column(c)], 0, item(shape, c % 2 == 0 ? 1 : 0));
    return corners;
}

// Validation: `xywhn2xyxy(boxes, width, height, padw=0, padh=0)`, then columns 0 and 2 become
// clip(column / width, 0, 1) and columns 1 and 3 clip(column / height, 0, 1).
inline py::object boxes_in_unit_range(const Imports& s, const py::object& boxes, const py::object& width,
                                      const py::object& height) {
    py::object corners =
        need(s.xywhn2xyxy, "xywhn2xyxy")(boxes, width, height, py::arg("padw") = 0, py::arg("padh") = 0);
    py::object clip = need(s.np, "numpy").attr("clip");
    for (long c = 0; c < 4; ++c) {
        py::object scaled = py::object(corners[column(c)]) / (c % 2 == 0 ? width : height);
        corners[column(c)] = clip(scaled, 0, 1);
    }
    return corners;
}

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A numeric array as C-ordered doubles (no copy for float64), or a clear error.
inline Doubles as_doubles(const py::object& values, const char* what) {
    Doubles out = Doubles::ensure(values);
    if (!out) pykit::raise(PyExc_ValueError, std::string(what) + " are not numbers");
    return out;
}

// The flat index of the first NaN or infinite value of `values`, or -1.
inline py::ssize_t first_not_finite(const Doubles& values) {
    const double* v = values.data();
    const py::ssize_t n = values.size();
    py::gil_scoped_release nogil;
    for (py::ssize_t i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return i;
    return -1;
}

// The row of the first class id that is not a whole number in 0..count-1, or -1; the ids are
// every `stride`-th value of `values` from the first (a column of a row-major table).
inline py::ssize_t first_foreign_class(const Doubles& values, py::ssize_t stride, long long count) {
    const double* v = values.data();
    const py::ssize_t n = values.size();
    py::gil_scoped_release nogil;
    for (py::ssize_t i = 0; i < n; i += stride)
        if (!(v[i] >= 0 && v[i] < (double)count && std::floor(v[i]) == v[i])) return i / stride;
    return -1;
}

// The number of classes the description lists: `classes` less the background class that the
// dataset puts first when `class_offset` is above 0.
inline long long described_classes(const py::object& self) {
    long long listed = (long long)pykit::len(self.attr("classes"));
    const bool background = pykit::holds(self.attr("class_offset"), py::int_(0), Py_GT);
    return background ? listed - 1 : listed;
}

}  // namespace datasets
