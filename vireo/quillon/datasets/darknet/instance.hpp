// Loading one Darknet sample: the image (fitted to `shape` when training) and its boxes.
#pragma once

#include <pybind11/numpy.h>
#include <pykit.hpp>

#include <algorithm>
#include <vector>

#include "annotation_file.hpp"
#include "common/boxes.hpp"
#include "common/fit.hpp"
#include "common/pixels.hpp"
#include "state.hpp"

namespace darknet {
namespace py = pybind11;

// The boxes of a sample without objects: the single row 0, 0, 0, 0, 0.
inline py::object empty_boxes() {
    py::array_t<float> zero({(py::ssize_t)1, (py::ssize_t)5});
    std::fill_n(zero.mutable_data(), 5, 0.0f);
    return std::move(zero);
}

// (image, boxes) when training, else (image, boxes, file name).
inline py::object sample(const State& s, const py::object& image, const py::object& boxes, bool training,
                         const py::object& image_path) {
    if (training) return py::make_tuple(image, boxes);
    return py::make_tuple(image, boxes, s.basename(image_path));
}

// DarknetDatasetYaml.load_instance
inline py::object load_instance(const State& s, const py::object& self, const py::object& data,
                                const py::object& training_flag) {
    std::vector<py::object> paths = pykit::unpack(data, 2);
    py::object image_path = paths[0].attr("decode")();
    py::object image = datasets::read_rgb(s, image_path);
    std::vector<py::object> size = pykit::unpack(image.attr("shape"), 3);
    const py::object &height = size[0], &width = size[1];
    const bool training = pykit::truthy(training_flag);

    py::object shape = self.attr("shape");
    datasets::Fitted fitted;
    if (training) {
        fitted = datasets::fit_to_shape(s, image, shape, pykit::truthy(self.attr("letter_box")),
                                        datasets::ChannelAxis::as_resized);
        image = fitted.image;
    }
    py::str annotation_path = paths[1].attr("decode")();
    py::object objects = read_objects(s, self, annotation_path);
    if (objects.is_none()) return sample(s, image, empty_boxes(), training, image_path);

    py::object boxes = training ? datasets::boxes_in_pixels(s, objects, fitted, shape)
                                : datasets::boxes_in_unit_range(s, objects, width, height);
    boxes[datasets::column(4)] = py::object(boxes[datasets::column(4)]) + self.attr("class_offset");
    return sample(s, image, boxes.attr("astype")(s.np.attr("float32")), training, image_path);
}

}  // namespace darknet
