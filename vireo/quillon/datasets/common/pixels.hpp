// Copying the pixels of a Pillow RGB image into a NumPy array.
//
// np.asarray(image) goes through Image.tobytes(), which encodes the picture chunk by chunk and
// joins the chunks: two full copies. Pillow also exports its pixel memory without copying
// through the Arrow PyCapsule interface (`__arrow_c_array__`); an RGB image is a fixed-size
// list of 4 bytes per pixel (R, G, B, pad). Reading that buffer once gives the same array.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>

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

}  // namespace datasets
