// AttitudeDatasetJson: JSON annotations; each sample is cropped to its first face, resized,
// blurred and mirrored at random, and labelled with that face's angles.
#pragma once

#include <algorithm>
#include <cmath>

#include "samples.hpp"

namespace attitude {

// AttitudeDatasetJson.__init__
inline void construct_json(const State& s, const py::object& self, const py::object& shape,
                           const py::object& train_images, const py::object& train_annotations,
                           const py::object& val_images, const py::object& val_annotations) {
    pykit::super(s.AttitudeDatasetJson, self)
        .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = train_images,
                          py::arg("train_annotations") = train_annotations, py::arg("val_images") = val_images,
                          py::arg("val_annotations") = val_annotations, py::arg("num_bins") = 66,
                          py::arg("file_extension") = "json");
}

// The first face box in pixels of the stored image, as slice bounds.
struct Crop {
    py::ssize_t x1, y1, x2, y2;
};

// One corner in pixels, computed in float32 as NumPy computes it from a float32 row
// (centre -/+ half the size, times the extent), then truncated toward zero.
inline double truncated_corner(float centre, float size, float sign, py::ssize_t extent) {
    return std::trunc((centre + sign * (size * 0.5f)) * static_cast<float>(extent));
}

// A corner clipped to the image, so that a box reaching past an edge crops what lies inside
// (a negative slice bound would count from the far edge, and a huge one wrap in int32).
inline py::ssize_t clip_corner(double corner, py::ssize_t extent) {
    return static_cast<py::ssize_t>(std::clamp(corner, 0.0, static_cast<double>(extent)));
}

// Rows of x-centre, y-centre, width, height (relative to the image) and class id: the first
// row's crop of a w x h image, refused when it holds a NaN or infinity or selects no pixel.
inline Crop first_face_crop(const py::object& boxes, py::ssize_t w, py::ssize_t h, const py::str& path) {
    py::tuple shape = boxes.attr("shape");
    if (shape.size() != 2 || shape[1].cast<py::ssize_t>() < 5)
        pykit::raise(PyExc_ValueError,
                     pykit::format("The face boxes in {} must be rows of 5 numbers; their shape is {}", path, shape));
    auto values = py::array_t<float, py::array::c_style>::ensure(boxes[py::int_(0)]);
    if (!values) throw py::error_already_set();
    const float* box = values.data();
    for (int i = 0; i < 4; ++i)
        if (!std::isfinite(box[i]))
            pykit::raise(PyExc_ValueError, pykit::format("The first face box in {} holds {}, not a finite float32 number",
                                                         path, py::float_(box[i])));
    const double x1 = truncated_corner(box[0], box[2], -1.0f, w), y1 = truncated_corner(box[1], box[3], -1.0f, h);
    const double x2 = truncated_corner(box[0], box[2], +1.0f, w), y2 = truncated_corner(box[1], box[3], +1.0f, h);
    const Crop c{clip_corner(x1, w), clip_corner(y1, h), clip_corner(x2, w), clip_corner(y2, h)};
    if (c.x2 <= c.x1 || c.y2 <= c.y1)
        pykit::raise(PyExc_ValueError,
                     pykit::format("The first face box in {} selects no pixel of its {}x{} image: corners ({}, {}), ({}, {})",
                                   path, w, h, x1, y1, x2, y2));
    return c;
}

// The first face's pitch, yaw and roll, as three float32 scalars.
inline std::vector<py::object> first_face_angles(const State& s, const py::object& angles, const py::str& path) {
    py::object first = s.np.attr("array")(angles[py::int_(0)], py::arg("dtype") = s.np.attr("float32"));
    std::vector<py::object> p = pykit::unpack(first, 3);
    const char* names[] = {"pitch", "yaw", "roll"};
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(static_cast<double>(pykit::to_float(p[i]))))
            pykit::raise(PyExc_ValueError, pykit::format("The first face's {} in {} is {}, not a finite float32 number",
                                                         names[i], path, p[i]));
    return p;
}

inline py::tuple load_cropped_sample(const State& s, const py::object& self, const py::object& data) {
    const py::object np = s.np, float32 = np.attr("float32");
    py::object shape = self.attr("shape");
    py::object img = blur_sometimes(s, datasets::read_rgb(s, entry_path(data, 0)));
    std::vector<py::object> hw = pykit::unpack(img.attr("shape"), 3);

    py::str ann_path = entry_path(data, 1);
    py::object record = read_record(s, ann_path);
    py::object boxes = np.attr("asarray")(record.attr("get")("boxes", py::none()), py::arg("dtype") = float32);
    py::object angles = np.attr("asarray")(record.attr("get")("angles", py::none()), py::arg("dtype") = float32);
    if (boxes.attr("ndim").cast<int>() == 0)
        pykit::raise(PyExc_TypeError, pykit::format("The annotation file {} holds no list of face boxes", ann_path));
    if (pykit::len(boxes) == 0)
        return py::make_tuple(resize_to_shape(s, img, shape), np.attr("array")(list_of(0, 0, 0), py::arg("dtype") = float32));

    std::vector<py::object> p = first_face_angles(s, angles, ann_path);
    const Crop c = first_face_crop(boxes, hw[1].cast<py::ssize_t>(), hw[0].cast<py::ssize_t>(), ann_path);
    img = img[py::make_tuple(py::slice(c.y1, c.y2, 1), py::slice(c.x1, c.x2, 1), py::ellipsis())];
    img = resize_to_shape(s, img, shape);
    py::object out_angles = np.attr("array")(list_of(p[0], p[1], p[2]), py::arg("dtype") = float32);
    if (draw_below(s, "random", 0.5)) {
        img = s.cv2.attr("flip")(img, 1);
        out_angles = np.attr("array")(list_of(p[0], -p[1], -p[2]), py::arg("dtype") = float32);
    }
    return py::make_tuple(img, out_angles);
}

// _load_instance(data) -> (image, angles)
inline py::tuple load_cropped_instance(const State& s, const py::object& self, const py::object& data) {
    return naming_the_sample(&load_cropped_sample, s, self, data);
}

}  // namespace attitude
