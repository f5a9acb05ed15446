// Ground-truth masks: outlines and classes painted into an int32 class mask.
#pragma once

#include <algorithm>

#include "state.hpp"

namespace seg {

// A tensor's NumPy value, or the value itself as an array.
inline py::object to_numpy(const State& s, const py::object& value) {
    if (py::hasattr(value, "numpy")) return value.attr("numpy")();
    return s.np.attr("asarray")(value);
}

// _build_gt_mask: 0 for background, class + 1 inside each outline, later outlines on top.
inline py::object paint_mask(const State& s, const py::object& self, const py::object& masks,
                             const py::object& classes) {
    py::object canvas = s.np.attr("zeros")(py::arg("shape") = height_width(self.attr("shape")),
                                           py::arg("dtype") = s.np_int32);
    // Truncation toward zero of every coordinate at once equals truncating outline by outline.
    py::object points = to_numpy(s, masks).attr("astype")(s.np_int32);
    py::object labels = to_numpy(s, classes) + py::int_(1);
    const size_t count = std::min(pykit::len(points), pykit::len(labels));  // zip(masks, labels)
    py::object fill = s.cv2.attr("fillPoly");
    for (size_t i = 0; i < count; ++i) {
        py::int_ index(i);
        fill(canvas, pykit::list_of(points[index]), py::arg("color") = pykit::as_int(labels[index]));
    }
    return canvas;
}

// build_gt_mask: [image, outlines, classes] -> (image, tf.py_function(self._build_gt_mask,
// [outlines, classes], tf.int32)).
inline py::object graph_mask(const State& s, const py::object& self, const py::object& data) {
    std::vector<py::object> items = pykit::unpack(data, 3);
    py::object mask = s.tf.attr("py_function")(self.attr("_build_gt_mask"), pykit::list_of(items[1], items[2]),
                                               s.tf_int32);
    return py::make_tuple(items[0], mask);
}

}  // namespace seg
