// Outlines of one sample: mapped points in, the K x num_points x 2 float32 array and the int32
// classes out, resampled natively without the GIL.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "resample.hpp"
#include "state.hpp"

namespace seg {

// One outline waiting to be resampled: its mapped points, its class and where it came from.
struct Outline {
    std::vector<double> xy;  // rows of x, y in pixels of the fitted image
    py::object cls;
    std::string where;  // for error messages
};

// A mapped outline (the result of mask_padding) as rows of x, y; a clear error if it is not
// a K x 2 array of numbers.
inline std::vector<double> outline_points(const py::object& points, const std::string& where) {
    auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(points);
    if (!array || array.ndim() != 2 || array.shape(1) != 2)
        pykit::raise(PyExc_ValueError, where + ": the outline is not a list of [x, y] points");
    return std::vector<double>(array.data(), array.data() + array.size());
}

// `num_points` as a count of points for `outlines` outlines (at least one is assumed, so that
// a value is refused whatever the sample holds). Python's own TypeError for a value that is
// not an integer; ValueError for one below 1 (no outline to paint), or one whose array cannot
// exist here.
inline size_t points_per_outline(const py::object& num_points, size_t outlines) {
    PyObject* index = PyNumber_Index(num_points.ptr());
    if (!index) throw py::error_already_set();
    py::int_ value = py::reinterpret_steal<py::int_>(index);
    if (pykit::holds(value, py::int_(1), Py_LT))
        pykit::raise(PyExc_ValueError,
                     "num_points must be a positive number of points, got " + pykit::as_str(value).cast<std::string>());

    const uint64_t per_point = 2 * sizeof(float);
    const uint64_t most = bytes_limit() / per_point / std::max<size_t>(outlines, 1);
    const Py_ssize_t count = PyLong_AsSsize_t(value.ptr());
    if (count == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();  // past Py_ssize_t: too large, reported below like any other
    } else if (static_cast<uint64_t>(count) <= most) {
        return static_cast<size_t>(count);
    }
    pykit::raise(PyExc_ValueError, "num_points is too large: " + std::to_string(std::max<size_t>(outlines, 1)) +
                                       " outline(s) of " + pykit::as_str(value).cast<std::string>() +
                                       " points each would not fit in memory (at most " + std::to_string(most) +
                                       " points per outline)");
}

// Resamples every outline to `num_points` points and returns the K x count x 2 float32 array
// and the int32 classes; outlines of zero length are left out (they enclose nothing). With no
// outline left, both are empty one-dimensional arrays.
inline std::pair<py::object, py::object> resample_all(const State& s, const std::vector<Outline>& outlines,
                                                      const py::object& num_points) {
    const size_t count = points_per_outline(num_points, outlines.size());
    py::list classes;
    std::vector<const Outline*> kept;
    for (const Outline& outline : outlines) {
        const Resampled status = outline_status(outline.xy.data(), outline.xy.size() / 2);
        if (status == Resampled::not_finite)
            pykit::raise(PyExc_ValueError, outline.where + ": the outline has coordinates that are not finite");
        if (status == Resampled::too_far)
            pykit::raise(PyExc_ValueError, outline.where + ": the outline reaches more than " +
                                               std::to_string(static_cast<long>(kFarthestPoint)) +
                                               " pixels away from the image");
        if (status == Resampled::zero_length) continue;
        kept.push_back(&outline);
        classes.append(outline.cls);
    }
    if (kept.empty()) return {empty_array(s, s.np_float32), empty_array(s, s.np_int32)};

    py::array_t<float> masks({static_cast<py::ssize_t>(kept.size()), static_cast<py::ssize_t>(count), py::ssize_t(2)});
    float* out = masks.mutable_data();
    {
        py::gil_scoped_release release;
        for (size_t k = 0; k < kept.size(); ++k)
            resample_outline(kept[k]->xy.data(), kept[k]->xy.size() / 2, count, out + k * count * 2);
    }
    return {std::move(masks), s.np.attr("array")(classes, py::arg("dtype") = s.np_int32)};
}

}  // namespace seg
