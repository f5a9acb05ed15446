// Decoding one TFRecord sample: the image (fitted to `shape` when training) and its boxes.
#pragma once

#include <pykit.hpp>

#include "common/boxes.hpp"
#include "common/fit.hpp"
#include "record.hpp"
#include "state.hpp"

namespace tfrecord {
namespace py = pybind11;

// The decoded image. Training samples are batched and fed to the network: they are decoded
// with its channel count (shape[2] when 1 or 3), so grey and colour records never meet in one
// batch with different depths. Validation images keep the JPEG's own channels.
inline py::object decode_image(const State& s, const py::object& encoded, const py::object& shape, bool training) {
    py::object decode_jpeg = s.tf.attr("io").attr("decode_jpeg");
    if (training && pykit::len(shape) > 2) {
        py::object depth = datasets::item(shape, 2);
        for (long channels : {1L, 3L})
            if (pykit::equals(depth, py::int_(channels)))
                return decode_jpeg(encoded, py::arg("channels") = channels).attr("numpy")();
    }
    return decode_jpeg(encoded).attr("numpy")();
}

// Refuses a record whose objects and boxes do not line up, whose boxes hold NaN or infinite
// values, or whose class ids are not indexes of the description's classes.
inline void check_record(const py::object& self, const Features& sample) {
    const size_t values = pykit::len(sample.bboxes), objects = pykit::len(sample.objects);
    if (values % 4 != 0)
        pykit::raise(PyExc_ValueError, pykit::format("[ERROR]: Record {}: ``bboxes`` holds {} values, not 4 per object",
                                                     sample.name_text, values));
    if (values / 4 != objects)
        pykit::raise(PyExc_ValueError, pykit::format("[ERROR]: Record {}: {} ``objects`` but {} boxes in ``bboxes``",
                                                     sample.name_text, objects, values / 4));
    datasets::Doubles ids = datasets::as_doubles(sample.objects, "class ids");
    const long long classes = datasets::described_classes(self);
    py::ssize_t bad = datasets::first_foreign_class(ids, 1, classes);
    if (bad >= 0)
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: Record {}: class id {} is not an index of the {} classes",
                                   sample.name_text, datasets::item(sample.objects, (long)bad), classes));
    datasets::Doubles boxes = datasets::as_doubles(sample.bboxes, "box values");
    bad = datasets::first_not_finite(boxes);
    if (bad >= 0)
        pykit::raise(PyExc_ValueError, pykit::format("[ERROR]: Record {}: ``bboxes`` holds a value that is not finite "
                                                     "({}) in box {}",
                                                     sample.name_text, boxes.data()[bad], bad / 4 + 1));
}

// The single row 0, 0, 0, 0, 0 of a sample without objects.
inline py::object empty_boxes(const State& s) {
    return s.np.attr("array")(py::make_tuple(py::make_tuple(0, 0, 0, 0, 0)), py::arg("dtype") = s.np.attr("float32"));
}

// (image, boxes) when training, else (image, boxes, name tensor).
inline py::object sample_tuple(const py::object& image, const py::object& boxes, bool training,
                               const Features& sample) {
    if (training) return py::make_tuple(image, boxes);
    return py::make_tuple(image, boxes, sample.name);
}

// TFRecordDatasetYaml.load_instance
inline py::object load_instance(const State& s, const py::object& self, const py::object& data,
                                const py::object& training_flag) {
    const bool training = pykit::truthy(training_flag);
    Features sample = parse_record(s, data);
    py::object shape = self.attr("shape");
    py::object image = decode_image(s, sample.image, shape, training);
    std::vector<py::object> size = pykit::unpack(image.attr("shape"), 3);
    const py::object &height = size[0], &width = size[1];
    datasets::Fitted fitted;
    if (training) {
        fitted = datasets::fit_to_shape(s, image, shape, pykit::truthy(self.attr("letter_box")),
                                        datasets::ChannelAxis::kept);
        image = fitted.image;
    }
    check_record(self, sample);
    py::object labels = sample.objects.attr("astype")(s.np.attr("int32")) + self.attr("class_offset");
    if (pykit::len(labels) == 0) return sample_tuple(image, empty_boxes(s), training, sample);

    py::object bboxes = sample.bboxes.attr("reshape")(-1, 4);
    bboxes = training ? datasets::boxes_in_pixels(s, bboxes, fitted, shape)
                      : datasets::boxes_in_unit_range(s, bboxes, width, height);
    py::object label_column = s.np.attr("expand_dims")(labels, py::arg("axis") = 1);
    bboxes = s.np.attr("concatenate")(pykit::list_of(bboxes, label_column), py::arg("axis") = 1)
                 .attr("astype")(s.np.attr("float32"));
    return sample_tuple(image, bboxes, training, sample);
}

}  // namespace tfrecord
