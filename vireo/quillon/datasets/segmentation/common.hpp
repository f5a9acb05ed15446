// What the classes of the segmentation module share: the imported names, file and image
// reading, image fitting, outline resampling into arrays, masks and augmentation.
#pragma once

#include <pybind11/numpy.h>
#include <pykit.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "resample.hpp"

namespace seg {
namespace py = pybind11;
using pykit::list_of;
using pykit::unpack;

inline const char* const kModule = "vireo.quillon.datasets.segmentation";

// The module's imports, taken once at load time in the listed order.
struct Imports {
    py::object exists, join, basename;
    py::object interp1d;  // bound in the module; outlines are resampled natively (resample.hpp)
    py::object letterbox, mask_padding;
    py::object A;
    py::object tf;
    py::object glob, glob_escape;
    py::object Image;
    py::object np;
    py::object json;
    py::object cv2;
    // Looked up once from the modules above.
    py::object open;
    py::object np_uint8, np_uint16, np_int32, np_float32;
    py::object tf_uint8, tf_int32, tf_float32, tf_string;
};
using ImportsPtr = std::shared_ptr<const Imports>;

// `np.array(Image.open(path).convert("RGB")).astype(np.uint8)`, closing the image file.
inline py::object read_rgb(const Imports& im, const py::object& path) {
    py::object rgb = pykit::closing(im.Image.attr("open")(path),
                                    [](const py::object& picture) { return picture.attr("convert")("RGB"); });
    return im.np.attr("asarray")(rgb).attr("astype")(im.np_uint8);
}

// The image fitted to the network input and the mapping of normalised outline points into it.
struct Fitted {
    py::object image;
    py::object w, h, padw, padh;
};

// Letterbox (keep the aspect ratio and pad) or plain resize to shape[:2].
inline Fitted fit_image(const Imports& im, const py::object& image, const py::object& shape, bool letter_box) {
    py::tuple size = image.attr("shape");
    py::object oH = size[0], oW = size[1];
    Fitted fitted;
    if (letter_box) {
        py::object hw = shape[py::slice(0, 2, 1)];
        py::tuple result = im.letterbox(image, hw, py::arg("auto") = false);
        if (py::len(result) != 3) throw py::value_error("letterbox must return (image, ratio, pad)");
        py::object ratio = result[1], pad = result[2];
        fitted.image = result[0];
        fitted.w = py::object(ratio[py::int_(0)]) * oW;
        fitted.h = py::object(ratio[py::int_(1)]) * oH;
        fitted.padw = pad[py::int_(0)];
        fitted.padh = pad[py::int_(1)];
    } else {
        py::object height = shape[py::int_(0)], width = shape[py::int_(1)];
        fitted.image = im.cv2.attr("resize")(image, py::make_tuple(width, height));
        fitted.w = width;
        fitted.h = height;
        fitted.padw = py::int_(0);
        fitted.padh = py::int_(0);
    }
    return fitted;
}

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

// Resamples every outline to `count` points (without the GIL) and returns the K x count x 2
// float32 array and the int32 classes; outlines of zero length are left out. With no outline
// left, both are empty one-dimensional arrays.
inline std::pair<py::object, py::object> resample_all(const Imports& im, std::vector<Outline>& outlines,
                                                      const py::object& num_points) {
    PyObject* index = PyNumber_Index(num_points.ptr());
    if (!index) throw py::error_already_set();
    const Py_ssize_t requested = py::cast<Py_ssize_t>(py::reinterpret_steal<py::object>(index));
    if (requested < 0)
        pykit::raise(PyExc_ValueError, "num_points must not be negative, got " + std::to_string(requested));
    const size_t count = static_cast<size_t>(requested);

    std::vector<float> buffer(outlines.size() * count * 2);
    std::vector<Resampled> status(outlines.size());
    {
        py::gil_scoped_release release;
        for (size_t k = 0; k < outlines.size(); ++k)
            status[k] = resample_outline(outlines[k].xy.data(), outlines[k].xy.size() / 2, count,
                                         buffer.data() + k * count * 2);
    }

    py::list classes;
    std::vector<size_t> kept;
    for (size_t k = 0; k < outlines.size(); ++k) {
        if (status[k] == Resampled::not_finite)
            pykit::raise(PyExc_ValueError, outlines[k].where + ": the outline has coordinates that are not finite");
        if (status[k] == Resampled::zero_length) continue;  // encloses nothing
        kept.push_back(k);
        classes.append(outlines[k].cls);
    }
    if (kept.empty())
        return {im.np.attr("array")(py::list(), py::arg("dtype") = im.np_float32),
                im.np.attr("array")(py::list(), py::arg("dtype") = im.np_int32)};

    py::array_t<float> masks({static_cast<py::ssize_t>(kept.size()), static_cast<py::ssize_t>(count), py::ssize_t(2)});
    float* dst = masks.mutable_data();
    for (size_t i = 0; i < kept.size(); ++i)
        std::copy_n(buffer.data() + kept[i] * count * 2, count * 2, dst + i * count * 2);
    return {masks, im.np.attr("array")(classes, py::arg("dtype") = im.np_int32)};
}

// A tensor's NumPy value, or the value itself as an array.
inline py::object to_numpy(const Imports& im, const py::object& value) {
    if (py::hasattr(value, "numpy")) return value.attr("numpy")();
    return im.np.attr("asarray")(value);
}

// The class mask: 0 for background, class + 1 inside each outline, later outlines on top.
inline py::object paint_mask(const Imports& im, const py::object& self, const py::object& masks,
                             const py::object& classes) {
    py::object hw = self.attr("shape")[py::slice(0, 2, 1)];
    py::object canvas = im.np.attr("zeros")(py::arg("shape") = hw, py::arg("dtype") = im.np_int32);
    // Truncation toward zero of every coordinate at once equals truncating outline by outline.
    py::object points = to_numpy(im, masks).attr("astype")(im.np_int32);
    py::object labels = to_numpy(im, classes) + py::int_(1);
    const size_t count = std::min(pykit::len(points), pykit::len(labels));
    py::object fill = im.cv2.attr("fillPoly");
    for (size_t i = 0; i < count; ++i) {
        PyObject* value = PyNumber_Index(py::object(labels[py::int_(i)]).ptr());
        if (!value) throw py::error_already_set();
        py::int_ color = py::reinterpret_steal<py::int_>(value);
        fill(canvas, list_of(points[py::int_(i)]), py::arg("color") = color);
    }
    return canvas;
}

// The augmentation pipeline: the six entries of the dataset, or the four of the COCO dataset
// (without the channel transforms).
inline py::object build_pipeline(const Imports& im, const py::object& shape, bool channel_transforms) {
    if (shape.is_none())
        pykit::raise(PyExc_TypeError, "shape should be a list of height, width and channels: None is not allowed");
    const py::object& A = im.A;
    py::object height = shape[py::int_(0)], width = shape[py::int_(1)];
    py::object min_height = py::reinterpret_steal<py::object>(PyNumber_FloorDivide(height.ptr(), py::int_(5).ptr()));
    if (!min_height) throw py::error_already_set();
    py::object max_height = py::reinterpret_steal<py::object>(PyNumber_FloorDivide(height.ptr(), py::int_(2).ptr()));
    if (!max_height) throw py::error_already_set();
    py::tuple grey = py::make_tuple(114, 114, 114);

    py::list entries;
    entries.append(A.attr("OneOf")(list_of(
        A.attr("HorizontalFlip")(py::arg("p") = 0.5),
        A.attr("ShiftScaleRotate")(py::arg("always_apply") = true, py::arg("p") = 0.5,
                                   py::arg("shift_limit_x") = py::make_tuple(-0.5, 0.5),
                                   py::arg("shift_limit_y") = py::make_tuple(-0.5, 0.5),
                                   py::arg("scale_limit") = py::make_tuple(-0.3, 1.2),
                                   py::arg("rotate_limit") = py::make_tuple(-20, 20), py::arg("interpolation") = 4,
                                   py::arg("border_mode") = 0, py::arg("value") = grey,
                                   py::arg("mask_value") = py::none()))));
    if (channel_transforms) {
        entries.append(A.attr("ChannelDropout")(py::arg("always_apply") = false, py::arg("p") = 0.3,
                                                py::arg("channel_drop_range") = py::make_tuple(1, 1),
                                                py::arg("fill_value") = 0));
        entries.append(A.attr("ChannelShuffle")(py::arg("always_apply") = false, py::arg("p") = 0.1));
    }
    entries.append(A.attr("Defocus")(py::arg("always_apply") = false, py::arg("p") = 0.05,
                                     py::arg("radius") = py::make_tuple(3, 10),
                                     py::arg("alias_blur") = py::make_tuple(0.1, 0.5)));
    entries.append(A.attr("OneOf")(list_of(
        A.attr("ElasticTransform")(py::arg("always_apply") = false, py::arg("p") = 0.2, py::arg("alpha") = 1.0,
                                   py::arg("sigma") = 50.0, py::arg("alpha_affine") = 50.0,
                                   py::arg("interpolation") = 0, py::arg("border_mode") = 0, py::arg("value") = grey,
                                   py::arg("mask_value") = py::none(), py::arg("approximate") = false,
                                   py::arg("same_dxdy") = false),
        A.attr("PiecewiseAffine")(py::arg("always_apply") = false, py::arg("p") = 0.2,
                                  py::arg("scale") = py::make_tuple(0.03, 0.05),
                                  py::arg("nb_rows") = py::make_tuple(4, 4), py::arg("nb_cols") = py::make_tuple(4, 4),
                                  py::arg("interpolation") = 0, py::arg("mask_interpolation") = 0,
                                  py::arg("cval") = 0, py::arg("cval_mask") = 0, py::arg("mode") = "constant",
                                  py::arg("absolute_scale") = 0, py::arg("keypoints_threshold") = 0.01))));
    entries.append(A.attr("RandomSizedCrop")(py::arg("always_apply") = false, py::arg("p") = 0.2,
                                             py::arg("min_max_height") = py::make_tuple(min_height, max_height),
                                             py::arg("height") = height, py::arg("width") = width,
                                             py::arg("w2h_ratio") = 1.0, py::arg("interpolation") = 0));
    return A.attr("Compose")(entries);
}

// Runs the pipeline on one image and mask. Masks of a signed integer type go through it as
// uint16 when their values allow: albumentations clips the output of PiecewiseAffine to 0..1
// for dtypes it has no maximum for (int32 among them), which would merge every class into 1.
inline py::object augment(const Imports& im, const py::object& self, const py::object& image, const py::object& mask) {
    py::object work = im.np.attr("asarray")(mask);
    py::object dtype = work.attr("dtype");
    if (py::str(dtype.attr("kind")).cast<std::string>() == "i") {
        const bool fits = py::int_(work.attr("size")).cast<long long>() == 0 ||
                          (py::int_(work.attr("min")()).cast<long long>() >= 0 &&
                           py::int_(work.attr("max")()).cast<long long>() <= 65535);
        if (fits) work = work.attr("astype")(im.np_uint16);
    }
    py::object augmented = self.attr("_augmentation_pipeline")(py::arg("image") = image, py::arg("mask") = work);
    py::object out_image = im.np.attr("array")(augmented[py::str("image")], py::arg("dtype") = im.np_uint8);
    py::object out_mask = im.np.attr("array")(augmented[py::str("mask")], py::arg("dtype") = im.np_int32);
    return py::make_tuple(out_image, out_mask);
}

// tf.numpy_function(self.apply_augmentation, [image, mask], Tout=[tf.uint8, tf.int32]) as a pair.
inline py::object tf_augment(const Imports& im, const py::object& self, const py::object& image,
                             const py::object& mask) {
    py::object outputs = im.tf.attr("numpy_function")(self.attr("apply_augmentation"), list_of(image, mask),
                                                      py::arg("Tout") = list_of(im.tf_uint8, im.tf_int32));
    std::vector<py::object> pair = unpack(outputs, 2);
    return py::make_tuple(pair[0], pair[1]);
}

// (image, tf.py_function(self._build_gt_mask, [masks, classes], tf.int32)) from [image, masks, classes].
inline py::object tf_gt_mask(const Imports& im, const py::object& self, const py::object& data) {
    std::vector<py::object> items = unpack(data, 3);
    py::object gt_mask = im.tf.attr("py_function")(self.attr("_build_gt_mask"), list_of(items[1], items[2]),
                                                   im.tf_int32);
    return py::make_tuple(items[0], gt_mask);
}

// The mask and augmentation methods both dataset classes publish, with the same signatures.
inline py::object build_gt_mask_method(const ImportsPtr& im) {
    return pykit::function("build_gt_mask", {pykit::arg("self"), pykit::arg("data")},
                           [im](py::object self, py::object data) { return tf_gt_mask(*im, self, data); },
                           "Graph-side ``_build_gt_mask``: [image, outlines, classes] -> (image, mask).");
}

inline py::object paint_mask_method(const ImportsPtr& im) {
    return pykit::function(
        "_build_gt_mask", {pykit::arg("self"), pykit::arg("masks"), pykit::arg("classes")},
        [im](py::object self, py::object masks, py::object classes) { return paint_mask(*im, self, masks, classes); },
        "Paints the outlines into an int32 mask of shape[:2]: class + 1 inside each, later ones on top.");
}

inline py::object apply_augmentation_method(const ImportsPtr& im) {
    py::object ndarray = im->np.attr("ndarray");
    return pykit::function(
        "apply_augmentation", {pykit::arg("self"), pykit::arg("image").ann(ndarray), pykit::arg("mask").ann(ndarray)},
        [im](py::object self, py::object image, py::object mask) { return augment(*im, self, image, mask); },
        "Augments one image (uint8) and its mask (int32) with the training pipeline.");
}

inline py::object tf_apply_augmentation_method(const ImportsPtr& im) {
    py::object tensor = im->tf.attr("Tensor");
    return pykit::function(
        "tf_apply_augmentation", {pykit::arg("self"), pykit::arg("image").ann(tensor), pykit::arg("mask").ann(tensor)},
        [im](py::object self, py::object image, py::object mask) { return tf_augment(*im, self, image, mask); },
        "Graph-side ``apply_augmentation``.");
}

}  // namespace seg
