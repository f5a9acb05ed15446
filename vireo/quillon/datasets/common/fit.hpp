// Fitting an image to the network input `shape` (height, width, ...): letterbox (keep the
// aspect ratio, pad) or plain resize, plus the mapping of normalised box or outline
// coordinates into the fitted image.
//
// cv2.resize drops the channel axis of a one-channel image. The TFRecord dataset serves
// one-channel images and restores the axis (ChannelAxis::kept); the other datasets always fit
// three-channel images and take cv2's result as it is (ChannelAxis::as_resized). Scaled sides
// of at least one pixel are the letterbox function's own rule (datasets/utils.py).
#pragma once

#include <pykit.hpp>

#include "imports.hpp"

namespace datasets {
namespace py = pybind11;

enum class ChannelAxis { as_resized, kept };

// The fitted image and the arguments that map normalised coordinates into it:
// x * w + padw, y * h + padh (xywhn2xyxy's and mask_padding's width, height, padw, padh).
struct Fitted {
    py::object image;
    py::object w, h, padw, padh;
};

// `cv2.resize(image, (shape[1], shape[0]))`, default interpolation. Uses s.cv2 (and s.np for
// ChannelAxis::kept).
inline py::object resize_to_shape(const Imports& s, const py::object& image, const py::object& shape,
                                  ChannelAxis axis) {
    py::object resized = need(s.cv2, "cv2").attr("resize")(image, py::make_tuple(item(shape, 1), item(shape, 0)));
    if (axis == ChannelAxis::kept && pykit::equals(resized.attr("ndim"), py::int_(2)) &&
        pykit::equals(image.attr("ndim"), py::int_(3)))
        resized = need(s.np, "numpy").attr("expand_dims")(resized, -1);
    return resized;
}

// `img, ratio, pad = letterbox(image, shape[:2], auto=False)`; w = ratio[0] * width of the
// image, h = ratio[1] * its height, padw, padh = pad[0], pad[1]. Uses s.letterbox.
inline Fitted letterbox_to_shape(const Imports& s, const py::object& image, const py::object& shape) {
    py::tuple size = image.attr("shape");
    py::object height = size[0], width = size[1];
    py::object result = need(s.letterbox, "letterbox")(image, head(shape, 2), py::arg("auto") = false);
    std::vector<py::object> parts = pykit::unpack(result, 3);
    const py::object &ratio = parts[1], &pad = parts[2];
    Fitted fitted;
    fitted.image = parts[0];
    fitted.w = item(ratio, 0) * width;
    fitted.h = item(ratio, 1) * height;
    fitted.padw = item(pad, 0);
    fitted.padh = item(pad, 1);
    return fitted;
}

// shape[:2] must be a size OpenCV can fill: both sides at least 1 and at most 2**29 pixels in
// all (four channels then stay within OpenCV's int-sized buffers). Checked before anything is
// allocated; NaN fails both comparisons and is refused too.
inline void check_target_size(const py::object& shape) {
    constexpr long long kMaxPixels = 1LL << 29;
    const bool usable = pykit::len(shape) >= 2 && pykit::holds(item(shape, 0), py::int_(1), Py_GE) &&
                        pykit::holds(item(shape, 1), py::int_(1), Py_GE) &&
                        pykit::holds(item(shape, 0) * item(shape, 1), py::int_(kMaxPixels), Py_LE);
    if (!usable)
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: shape {} is not a usable input size: height and width must be at least "
                                   "1 and hold at most {} pixels together",
                                   shape, kMaxPixels));
}

// Letterbox when `letter_box`, else the plain resize with w, h = shape[1], shape[0] and no pad.
inline Fitted fit_to_shape(const Imports& s, const py::object& image, const py::object& shape, bool letter_box,
                           ChannelAxis axis) {
    check_target_size(shape);
    if (letter_box) return letterbox_to_shape(s, image, shape);
    Fitted fitted;
    fitted.image = resize_to_shape(s, image, shape, axis);
    fitted.w = item(shape, 1);
    fitted.h = item(shape, 0);
    fitted.padw = py::int_(0);
    fitted.padh = py::int_(0);
    return fitted;
}

}  // namespace datasets
