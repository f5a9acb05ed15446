// Pillow's ImageFilter.BLUR of an RGB image, computed natively on its pixel array.
//
// BLUR is the 5 x 5 kernel whose 16 border weights are 1 and whose inner nine are 0, divided by
// 16. Pillow applies it in float arithmetic that is exact here (sums of eight-bit values times
// 1/16) and rounds half up; the two-pixel frame of the image keeps its pixels, and an image
// narrower or lower than the kernel comes back unchanged. So every inner value is
// (sum of the 16 border pixels + 8) / 16 in integers: the same bytes, without Pillow's generic
// filter loop (some 9 ms for a 450 x 450 image) and with the interpreter's lock released.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "state.hpp"

namespace attitude {

constexpr py::ssize_t kBlurReach = 2;  // half the kernel's side

// The blurred copy of `pixels`, a C-contiguous H x W x 3 uint8 array.
inline py::object blur_pixels(const py::object& pixels) {
    using Pixels = py::array_t<uint8_t, py::array::c_style>;
    Pixels in = Pixels::ensure(pixels);
    if (!in || in.ndim() != 3 || in.shape(2) != 3)
        pykit::raise(PyExc_ValueError, "the blur takes an H x W x 3 uint8 pixel array");
    const py::ssize_t height = in.shape(0), width = in.shape(1), row = width * 3;
    Pixels out({height, width, (py::ssize_t)3});
    const uint8_t* src = in.data();
    uint8_t* dst = out.mutable_data();
    {
        py::gil_scoped_release nogil;  // `in` and `out` are held by this frame
        std::memcpy(dst, src, static_cast<size_t>(height * row));
        if (height > 2 * kBlurReach && width > 2 * kBlurReach) {
            // Per row: the sums of five horizontal neighbours (the kernel's top and bottom
            // edges) and of three vertical ones (its left and right edges), per channel value.
            const py::ssize_t first = kBlurReach * 3, last = row - kBlurReach * 3;  // inner values of a row
            std::vector<uint16_t> across(static_cast<size_t>(height * row), 0);
            for (py::ssize_t y = 0; y < height; ++y) {
                const uint8_t* line = src + y * row;
                uint16_t* sums = across.data() + y * row;
                for (py::ssize_t i = first; i < last; ++i)
                    sums[i] = uint16_t(line[i - 6] + line[i - 3] + line[i] + line[i + 3] + line[i + 6]);
            }
            std::vector<uint16_t> down(static_cast<size_t>(row), 0);
            for (py::ssize_t y = kBlurReach; y < height - kBlurReach; ++y) {
                const uint8_t *above = src + (y - 1) * row, *line = src + y * row, *below = src + (y + 1) * row;
                for (py::ssize_t i = 0; i < row; ++i) down[i] = uint16_t(above[i] + line[i] + below[i]);
                const uint16_t *top = across.data() + (y - 2) * row, *bottom = across.data() + (y + 2) * row;
                uint8_t* target = dst + y * row;
                for (py::ssize_t i = first; i < last; ++i)
                    target[i] = uint8_t((top[i] + bottom[i] + down[i - 6] + down[i + 6] + 8) >> 4);
            }
        }
    }
    return std::move(out);
}

// `img.filter(ImageFilter.BLUR)` for about one sample in twenty, on the image's RGB pixels.
inline py::object blur_sometimes(const State& s, const py::object& pixels) {
    if (!draw_below(s, "random_sample", 0.05)) return pixels;
    return blur_pixels(pixels);
}

}  // namespace attitude
