// Reading a sample's image and fitting it to the network input, with the mapping of normalised
// outline points into the fitted image.
#pragma once

#include "state.hpp"

namespace seg {

// `np.asarray(Image.open(path).convert("RGB")).astype(np.uint8)`, closing the image file.
inline py::object read_rgb(const State& s, const py::object& path) {
    py::object rgb = pykit::closing(s.Image.attr("open")(path),
                                    [](const py::object& picture) { return picture.attr("convert")("RGB"); });
    return s.np.attr("asarray")(rgb).attr("astype")(s.np_uint8);
}

// The image fitted to the network input and the mapping of normalised outline points into it:
// x * w + padw, y * h + padh.
struct Fitted {
    py::object image;
    py::object w, h, padw, padh;
};

// Letterbox (keep the aspect ratio and pad) or plain resize to shape[:2].
inline Fitted fit_image(const State& s, const py::object& image, const py::object& shape, bool letter_box) {
    py::tuple size = image.attr("shape");
    py::object oH = size[0], oW = size[1];
    Fitted fitted;
    if (letter_box) {
        py::tuple result = s.letterbox(image, height_width(shape), py::arg("auto") = false);
        if (py::len(result) != 3) pykit::raise(PyExc_ValueError, "letterbox must return (image, ratio, pad)");
        py::object ratio = result[1], pad = result[2];
        fitted.image = result[0];
        fitted.w = py::object(ratio[py::int_(0)]) * oW;
        fitted.h = py::object(ratio[py::int_(1)]) * oH;
        fitted.padw = pad[py::int_(0)];
        fitted.padh = pad[py::int_(1)];
    } else {
        py::object height = shape[py::int_(0)], width = shape[py::int_(1)];
        fitted.image = s.cv2.attr("resize")(image, py::make_tuple(width, height));
        fitted.w = width;
        fitted.h = height;
        fitted.padw = py::int_(0);
        fitted.padh = py::int_(0);
    }
    return fitted;
}

}  // namespace seg
