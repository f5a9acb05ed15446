// Reading the RGB pixels of an image file: `np.asarray(Image.open(path).convert("RGB"))`.
//
// Two things differ from that line. 16-bit grey images (Pillow modes "I;16", "I;16B",
// "I;16L", "I;16N" and the 32-bit "I" that older Pillow versions give 16-bit PNGs) are scaled
// to 8 bits (value >> 8), where convert("RGB") clips every value above 255 to white; every
// other mode gives the same bytes as that line. And the file is closed on every way out.
//
// np.asarray(image) goes through Image.tobytes(), which encodes the picture chunk by chunk and
// joins the chunks: two full copies. Pillow also exports its pixel memory without copying
// through the Arrow PyCapsule interface (`__arrow_c_array__`); an RGB image is a fixed-size
// list of 4 bytes per pixel (R, G, B, pad). Reading that buffer once gives the same array.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "imports.hpp"
#include "jpeg.hpp"

namespace datasets {
namespace py = pybind11;

// The Arrow C data interface structures (a stable ABI).
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

template <class T>
T* capsule_pointer(const py::handle& capsule, const char* name) {
    void* p = PyCapsule_GetPointer(capsule.ptr(), name);
    if (!p) throw py::error_already_set();
    return static_cast<T*>(p);
}

// The pixels of an RGB image `rgb` (width x height) as a new H x W x 3 uint8 array, or an
// empty object when Pillow cannot export it in one piece (rows spread over several memory
// blocks) or exports another layout; the caller then uses np.asarray.
inline py::object rgb_pixels(const py::object& rgb, py::ssize_t width, py::ssize_t height) {
    py::tuple capsules;
    try {
        capsules = rgb.attr("__arrow_c_array__")();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ValueError)) return py::object();  // rows not contiguous
        throw;
    }
    auto* schema = capsule_pointer<ArrowSchema>(capsules[0], "arrow_schema");
    auto* array = capsule_pointer<ArrowArray>(capsules[1], "arrow_array");
    const int64_t pixels = (int64_t)width * height;
    if (std::strcmp(schema->format, "+w:4") != 0 || schema->n_children != 1 ||
        std::strcmp(schema->children[0]->format, "C") != 0 || array->n_children != 1 || array->length != pixels ||
        array->offset != 0 || array->null_count != 0)
        return py::object();
    const ArrowArray* bytes = array->children[0];
    if (bytes->n_buffers != 2 || bytes->length != 4 * pixels || bytes->offset != 0 || bytes->null_count != 0 ||
        !bytes->buffers[1])
        return py::object();

    py::array_t<uint8_t> out({height, width, (py::ssize_t)3});
    const auto* src = static_cast<const uint8_t*>(bytes->buffers[1]);
    uint8_t* dst = out.mutable_data();
    {
        py::gil_scoped_release nogil;  // `rgb` and the capsules keep the memory alive
        // Four bytes in, four bytes out, three bytes forward: the fourth lands where the next
        // pixel's red goes and is overwritten by it. The last pixel is copied byte by byte.
        for (int64_t p = 0; p + 1 < pixels; ++p, src += 4, dst += 3) {
            uint32_t rgbx;
            std::memcpy(&rgbx, src, 4);
            std::memcpy(dst, &rgbx, 4);
        }
        if (pixels > 0) std::memcpy(dst, src, 3);
    }
    return std::move(out);
}

// Modes whose values are 16-bit grey levels (or wider integers, for "I").
inline bool is_wide_grey(const py::handle& mode) {
    for (const char* wide : {"I;16", "I;16B", "I;16L", "I;16N", "I"})
        if (pykit::equals(mode, py::str(wide))) return true;
    return false;
}

// The H x W x 3 uint8 pixels of a wide grey image: each value shifted right by 8 bits, then
// kept within 0..255 (mode "I" may hold negative or wider values).
inline py::object wide_grey_pixels(const Imports& s, const py::object& image) {
    using Values = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;
    Values values = Values::ensure(need(s.np, "numpy").attr("asarray")(image));
    if (!values || values.ndim() != 2)
        pykit::raise(PyExc_ValueError, "a 16-bit grey image did not give a two-dimensional pixel array");
    const py::ssize_t height = values.shape(0), width = values.shape(1);
    py::array_t<uint8_t> out({height, width, (py::ssize_t)3});
    const int32_t* src = values.data();
    uint8_t* dst = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        for (py::ssize_t i = 0, n = height * width; i < n; ++i, dst += 3) {
            const uint8_t level = (uint8_t)std::clamp<int32_t>(src[i] >> 8, 0, 255);
            dst[0] = dst[1] = dst[2] = level;
        }
    }
    return std::move(out);
}

// The RGB pixels of an opened image (see the top of this file).
inline py::object rgb_array(const Imports& s, const py::object& image) {
    image.attr("load")();
    py::object mode = image.attr("mode");
    if (is_wide_grey(mode)) return wide_grey_pixels(s, image);
    // convert("RGB") of an RGB image is a plain copy: skip it.
    py::object rgb = pykit::equals(mode, py::str("RGB")) ? image : image.attr("convert")("RGB");
    py::tuple size = rgb.attr("size");
    py::object pixels = rgb_pixels(rgb, size[0].cast<py::ssize_t>(), size[1].cast<py::ssize_t>());
    if (!pixels) pixels = need(s.np, "numpy").attr("asarray")(rgb);
    return pixels;
}

// An error of Pillow's decoders that is not an OSError (UnicodeDecodeError, struct.error,
// SyntaxError, ...) says nothing of the file: it becomes an OSError naming the file, with the
// original as its cause. OSError (UnidentifiedImageError, truncated data), MemoryError and
// Pillow's DecompressionBombError are clear already and pass unchanged.
inline void raise_naming_image(const Imports& s, py::error_already_set& error, const py::object& path) {
    if (!error.matches(PyExc_Exception) || error.matches(PyExc_OSError) || error.matches(PyExc_MemoryError) ||
        error.matches(s.Image.attr("DecompressionBombError")))
        throw;
    py::raise_from(error, PyExc_OSError,
                   std::string(pykit::format("cannot decode image file {!r}: {}: {}", path,
                                             error.type().attr("__name__"), error.value())).c_str());
    throw py::error_already_set();
}

// Image.open(path), then `read(image)`, the file closed on every way out.
template <class Read>
py::object with_image(const Imports& s, const py::object& path, Read read) {
    refuse_nul(path);
    try {
        return pykit::closing(need(s.Image, "PIL.Image").attr("open")(path), read);
    } catch (py::error_already_set& error) {
        raise_naming_image(s, error, path);
    }
    return py::object();  // not reached
}

// `np.asarray(Image.open(path).convert("RGB"))`, 16-bit grey scaled; the file is closed. Plain
// JPEG files are decoded natively, to the same bytes (jpeg.hpp). Uses s.Image and s.np.
inline py::object read_rgb(const Imports& s, const py::object& path) {
    py::object pixels = read_plain_jpeg(path, need(s.Image, "PIL.Image"));
    if (pixels) return pixels;
    return with_image(s, path, [&](const py::object& image) { return rgb_array(s, image); });
}

// `Image.open(path).convert("RGB")` as a Pillow image (for steps that filter it before taking
// its pixels), 16-bit grey scaled; the file is closed. Uses s.Image and s.np.
inline py::object open_rgb(const Imports& s, const py::object& path) {
    return with_image(s, path, [&](const py::object& image) -> py::object {
        if (is_wide_grey(image.attr("mode"))) return s.Image.attr("fromarray")(wide_grey_pixels(s, image));
        return image.attr("convert")("RGB");
    });
}

}  // namespace datasets
