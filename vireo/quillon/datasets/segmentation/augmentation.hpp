// The training augmentation: the albumentations pipeline of each dataset class and its use on
// one image and mask.
#pragma once

#include <climits>
#include <cstdint>
#include <string>

#include "state.hpp"

namespace seg {

inline py::tuple grey() { return py::make_tuple(114, 114, 114); }

// A.OneOf([A.HorizontalFlip(p=0.5), A.ShiftScaleRotate(...)])
inline py::object flip_or_shift(const State& s) {
    const py::object& A = s.A;
    return A.attr("OneOf")(pykit::list_of(
        A.attr("HorizontalFlip")(py::arg("p") = 0.5),
        A.attr("ShiftScaleRotate")(py::arg("always_apply") = true, py::arg("p") = 0.5,
                                   py::arg("shift_limit_x") = py::make_tuple(-0.5, 0.5),
                                   py::arg("shift_limit_y") = py::make_tuple(-0.5, 0.5),
                                   py::arg("scale_limit") = py::make_tuple(-0.3, 1.2),
                                   py::arg("rotate_limit") = py::make_tuple(-20, 20), py::arg("interpolation") = 4,
                                   py::arg("border_mode") = 0, py::arg("value") = grey(),
                                   py::arg("mask_value") = py::none())));
}

// A.OneOf([A.ElasticTransform(...), A.PiecewiseAffine(...)])
inline py::object elastic_or_piecewise(const State& s) {
    const py::object& A = s.A;
    return A.attr("OneOf")(pykit::list_of(
        A.attr("ElasticTransform")(py::arg("always_apply") = false, py::arg("p") = 0.2, py::arg("alpha") = 1.0,
                                   py::arg("sigma") = 50.0, py::arg("alpha_affine") = 50.0,
                                   py::arg("interpolation") = 0, py::arg("border_mode") = 0, py::arg("value") = grey(),
                                   py::arg("mask_value") = py::none(), py::arg("approximate") = false,
                                   py::arg("same_dxdy") = false),
        A.attr("PiecewiseAffine")(py::arg("always_apply") = false, py::arg("p") = 0.2,
                                  py::arg("scale") = py::make_tuple(0.03, 0.05),
                                  py::arg("nb_rows") = py::make_tuple(4, 4), py::arg("nb_cols") = py::make_tuple(4, 4),
                                  py::arg("interpolation") = 0, py::arg("mask_interpolation") = 0,
                                  py::arg("cval") = 0, py::arg("cval_mask") = 0, py::arg("mode") = "constant",
                                  py::arg("absolute_scale") = 0, py::arg("keypoints_threshold") = 0.01)));
}

// `a // b`
inline py::object floor_divide(const py::object& a, long b) {
    PyObject* r = PyNumber_FloorDivide(a.ptr(), py::int_(b).ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// A.RandomSizedCrop over heights shape[0] // 5 to shape[0] // 2, back to shape[:2].
inline py::object random_sized_crop(const State& s, const py::object& shape) {
    py::object height = shape[py::int_(0)], width = shape[py::int_(1)];
    return s.A.attr("RandomSizedCrop")(py::arg("always_apply") = false, py::arg("p") = 0.2,
                                       py::arg("min_max_height") =
                                           py::make_tuple(floor_divide(height, 5), floor_divide(height, 2)),
                                       py::arg("height") = height, py::arg("width") = width,
                                       py::arg("w2h_ratio") = 1.0, py::arg("interpolation") = 0);
}

// shape[i] as a positive integer; a bool or a float is no side length.
inline long long shape_entry(const py::object& shape, size_t i, const std::string& shown) {
    py::object value = shape[py::int_(i)];
    PyObject* index = PyBool_Check(value.ptr()) ? nullptr : PyNumber_Index(value.ptr());
    if (!index) {
        PyErr_Clear();  // reported below, with the whole shape
        pykit::raise(PyExc_ValueError, "shape must hold integers [height, width, channels], got " + shown);
    }
    py::object integer = py::reinterpret_steal<py::object>(index);
    int overflow = 0;
    const long long side = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (side == -1 && !overflow && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || side < 1 || side > INT_MAX)  // OpenCV takes sides as C ints
        pykit::raise(PyExc_ValueError, "shape must hold sides from 1 to " + std::to_string(INT_MAX) + ", got " + shown);
    return side;
}

// The network input shape every sample is fitted to: [height, width, 3] (images are read as
// RGB), a mask of it must fit in memory, and the prescribed crop must fit in it (crops of
// height // 5 to height // 2 pixels, as wide as they are high).
inline void check_shape(const py::object& shape) {
    if (shape.is_none())
        pykit::raise(PyExc_TypeError, "shape should be a list of height, width and channels: None is not allowed");
    const std::string shown = py::repr(shape).cast<std::string>();
    if (pykit::len(shape) != 3)
        pykit::raise(PyExc_ValueError, "shape must be [height, width, channels], got " + shown);
    const long long height = shape_entry(shape, 0, shown), width = shape_entry(shape, 1, shown);
    if (shape_entry(shape, 2, shown) != 3)
        pykit::raise(PyExc_ValueError, "shape must have 3 channels (images are read as RGB), got " + shown);
    if (static_cast<uint64_t>(height) * static_cast<uint64_t>(width) > bytes_limit() / sizeof(int32_t))
        pykit::raise(PyExc_ValueError, "shape " + shown + " is too large: its mask would not fit in memory");
    if (height < 5 || width < height / 2)
        pykit::raise(PyExc_ValueError, "shape " + shown + " is too small for the training augmentation: it crops " +
                                           "squares of height // 5 to height // 2 pixels, so the height must be at " +
                                           "least 5 and the width at least height // 2");
}

// The pipeline: six entries for the per-image dataset, four for the COCO dataset (without the
// channel transforms).
inline py::object build_pipeline(const State& s, const py::object& shape, bool channel_transforms) {
    check_shape(shape);
    const py::object& A = s.A;
    py::list entries;
    entries.append(flip_or_shift(s));
    if (channel_transforms) {
        entries.append(A.attr("ChannelDropout")(py::arg("always_apply") = false, py::arg("p") = 0.3,
                                                py::arg("channel_drop_range") = py::make_tuple(1, 1),
                                                py::arg("fill_value") = 0));
        entries.append(A.attr("ChannelShuffle")(py::arg("always_apply") = false, py::arg("p") = 0.1));
    }
    entries.append(A.attr("Defocus")(py::arg("always_apply") = false, py::arg("p") = 0.05,
                                     py::arg("radius") = py::make_tuple(3, 10),
                                     py::arg("alias_blur") = py::make_tuple(0.1, 0.5)));
    entries.append(elastic_or_piecewise(s));
    entries.append(random_sized_crop(s, shape));
    return A.attr("Compose")(entries);
}

// A mask of a signed integer type whose values fit uint16 goes through the pipeline as uint16:
// albumentations clips the output of PiecewiseAffine to 0..1 for dtypes it knows no maximum
// for (int32 among them), which would merge every class into 1.
inline py::object mask_for_pipeline(const State& s, const py::object& mask) {
    py::object work = s.np.attr("asarray")(mask);
    if (!pykit::equals(work.attr("dtype").attr("kind"), py::str("i"))) return work;
    const bool fits = pykit::equals(work.attr("size"), py::int_(0)) ||
                      (pykit::holds(work.attr("min")(), py::int_(0), Py_GE) &&
                       pykit::holds(work.attr("max")(), py::int_(65535), Py_LE));
    return fits ? py::object(work.attr("astype")(s.np_uint16)) : work;
}

// apply_augmentation: (np.array(out["image"], dtype=np.uint8), np.array(out["mask"], dtype=np.int32))
// with out = self._augmentation_pipeline(image=image, mask=mask).
inline py::object augment(const State& s, const py::object& self, const py::object& image, const py::object& mask) {
    py::object out = self.attr("_augmentation_pipeline")(py::arg("image") = image,
                                                         py::arg("mask") = mask_for_pipeline(s, mask));
    return py::make_tuple(s.np.attr("array")(out[py::str("image")], py::arg("dtype") = s.np_uint8),
                          s.np.attr("array")(out[py::str("mask")], py::arg("dtype") = s.np_int32));
}

// tf_apply_augmentation: tf.numpy_function(self.apply_augmentation, [image, mask],
// Tout=[tf.uint8, tf.int32]), unpacked into a pair.
inline py::object graph_augment(const State& s, const py::object& self, const py::object& image,
                                const py::object& mask) {
    py::object outputs = s.tf.attr("numpy_function")(self.attr("apply_augmentation"), pykit::list_of(image, mask),
                                                     py::arg("Tout") = pykit::list_of(s.tf_uint8, s.tf_int32));
    std::vector<py::object> pair = pykit::unpack(outputs, 2);
    return py::make_tuple(pair[0], pair[1]);
}

}  // namespace seg
