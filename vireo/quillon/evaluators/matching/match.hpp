// The Python-facing matching function: checks and converts the arrays, then matches without
// the GIL.
#pragma once

#include <pybind11/numpy.h>
#include <pykit.hpp>

#include <cmath>
#include <string>

#include "greedy.hpp"

namespace matching {
namespace py = pybind11;

using Boxes = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Labels = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// "(2, 3)": an array's shape as Python prints it.
inline std::string shape_text(const py::array& array) {
    std::string text = "(";
    for (py::ssize_t i = 0; i < array.ndim(); ++i) text += (i ? ", " : "") + std::to_string(array.shape(i));
    return text + (array.ndim() == 1 ? ",)" : ")");
}

// `name` as a K x 4 array of finite numbers (an empty input of any shape is 0 x 4).
inline Boxes box_array(const py::object& value, const char* name) {
    Boxes boxes = Boxes::ensure(value);
    if (!boxes) {
        PyErr_Clear();
        pykit::raise(PyExc_TypeError, std::string(name) + " must be an array of numbers, got " +
                                          std::string(py::str(py::type::of(value).attr("__name__"))));
    }
    if (boxes.size() == 0) return Boxes(std::vector<py::ssize_t>{0, 4});
    if (boxes.ndim() != 2 || boxes.shape(1) != 4)
        pykit::raise(PyExc_ValueError, std::string(name) + " must have shape (K, 4) (x_min, y_min, x_max, y_max), got " +
                                           shape_text(boxes));
    const double* data = boxes.data();
    for (py::ssize_t i = 0; i < boxes.size(); ++i)
        if (!std::isfinite(data[i]))
            pykit::raise(PyExc_ValueError, std::string(name) + " row " + std::to_string(i / 4) +
                                               " holds a value that is not finite (" + std::to_string(data[i]) + ")");
    return boxes;
}

// `name` as a 1-D array of integer labels, one per box.
inline Labels label_array(const py::object& value, const char* name, py::ssize_t expected) {
    Labels labels = Labels::ensure(value);
    if (!labels) {
        PyErr_Clear();
        pykit::raise(PyExc_TypeError, std::string(name) + " must be an array of integer labels, got " +
                                          std::string(py::str(py::type::of(value).attr("__name__"))));
    }
    if (labels.ndim() > 1 || labels.size() != expected)
        pykit::raise(PyExc_ValueError, std::string(name) + " must hold one label per box (" + std::to_string(expected) +
                                           "), got shape " + shape_text(labels));
    return labels;
}

inline py::object match_detections(const py::object& dt_boxes, const py::object& dt_labels, const py::object& gt_boxes,
                                   const py::object& gt_labels, const py::object& thresholds) {
    Boxes dt = box_array(dt_boxes, "dt_boxes");
    Boxes gt = box_array(gt_boxes, "gt_boxes");
    Labels dt_cls = label_array(dt_labels, "dt_labels", dt.shape(0));
    Labels gt_cls = label_array(gt_labels, "gt_labels", gt.shape(0));
    Boxes levels = Boxes::ensure(thresholds);
    if (!levels || levels.ndim() != 1) {
        PyErr_Clear();
        pykit::raise(PyExc_ValueError, "thresholds must be a 1-D sequence of IoU values");
    }
    const double* level = levels.data();
    for (py::ssize_t t = 0; t < levels.size(); ++t)
        if (!(level[t] >= 0.0 && level[t] <= 1.0))
            pykit::raise(PyExc_ValueError, "thresholds[" + std::to_string(t) + "] must lie in 0..1, got " +
                                               std::to_string(level[t]));

    py::array_t<bool> tp(std::vector<py::ssize_t>{dt.shape(0), levels.size()});
    Image image{dt.data(), dt_cls.data(), (size_t)dt.shape(0), gt.data(), gt_cls.data(), (size_t)gt.shape(0)};
    auto* out = reinterpret_cast<uint8_t*>(tp.mutable_data());
    {
        py::gil_scoped_release nogil;  // the arrays above keep their memory alive
        match_image(image, level, (size_t)levels.size(), out);
    }
    return std::move(tp);
}

}  // namespace matching
