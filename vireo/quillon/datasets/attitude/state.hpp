// The attitude module's state (its imports and its own classes) and the small steps that
// several of its method bodies share.
#pragma once

#include <pykit.hpp>

#include <string>

#include "common/boxes.hpp"
#include "common/fit.hpp"
#include "common/imports.hpp"
#include "common/pixels.hpp"

namespace attitude {
namespace py = pybind11;
using pykit::list_of;

// The shared steps' imports (np, cv2, Image, xywhn2xyxy) come from datasets::Imports.
struct State : datasets::Imports {
    // from os.path import exists, join, basename, splitext
    pykit::Ref exists{this}, join{this}, basename{this}, splitext{this};
    // from PIL import ImageFilter
    pykit::Ref ImageFilter{this};
    pykit::Ref tf{this}, sio{this}, json{this};

    // The module's classes, filled as they are built: for super() and the YAML messages.
    pykit::Ref AttitudeDataset{this}, AttitudeDatasetYaml{this}, AttitudeAndDetectDataset{this};
    pykit::Ref AttitudeDatasetJson{this}, AttitudeAndDetectDatasetYaml{this}, AttitudeDatasetJsonYaml{this};

    // The batched training chain's functions (batches.hpp), not published on the module.
    pykit::Ref read_angle_batch{this}, load_angle_batch{this}, read_face_batch{this}, load_face_batch{this};
};

// A path as text, the way `open` takes it: str, bytes (decoded as the file system encodes
// names, undecodable bytes kept as surrogates) or an os.PathLike. An integer is refused: it
// would name a file descriptor this module does not own.
inline py::str path_text(const py::object& path) {
    if (PyLong_Check(path.ptr()))
        pykit::raise(PyExc_TypeError, std::string("expected str, bytes or os.PathLike object, not ") +
                                          Py_TYPE(path.ptr())->tp_name);
    PyObject* fspath = PyOS_FSPath(path.ptr());  // TypeError for anything else
    if (!fspath) throw py::error_already_set();
    py::object value = py::reinterpret_steal<py::object>(fspath);
    if (!PyBytes_Check(value.ptr())) return pykit::as_str(value);
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr()));
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// A path argument holding a NUL byte names no file; `open` refuses it with ValueError, and so
// does this module, before `exists` (which only answers False) can hide why.
inline void refuse_nul(const py::object& path, const char* what) {
    if (!PyUnicode_Check(path.ptr())) return;
    const Py_ssize_t at = PyUnicode_FindChar(path.ptr(), 0, 0, PyUnicode_GetLength(path.ptr()), 1);
    if (at == -2) throw py::error_already_set();
    if (at >= 0) pykit::raise(PyExc_ValueError, pykit::format("embedded null byte in {}: {!r}", what, path));
}

// Element `i` of the storage entry handed to a loader: index 0 the image, 1 the annotation.
inline py::str entry_path(const py::object& data, long i) { return path_text(data[py::int_(i)]); }

// `tf.numpy_function(fn, inputs, Tout=[tf.<name>, ...])`
inline py::object numpy_function(const State& s, const py::object& fn, const py::list& inputs,
                                 std::initializer_list<const char*> tout) {
    py::list types;
    for (const char* name : tout) types.append(s.tf.attr(name));
    return s.tf.attr("numpy_function")(fn, inputs, py::arg("Tout") = types);
}

// `if np.random.<draw>() < threshold:`, one draw of NumPy's global generator.
inline bool draw_below(const State& s, const char* draw, double threshold) {
    return pykit::holds(s.np.attr("random").attr(draw)(), py::float_(threshold), Py_LT);
}

// `{"a": ...}` read from a JSON annotation file, closed when read. A file whose top level is
// not an object holds no record.
inline py::object read_record(const State& s, const py::str& path) {
    py::object record = pykit::closing(pykit::builtin("open")(path), s.json.attr("load"));
    if (!PyDict_Check(record.ptr()))
        pykit::raise(PyExc_ValueError, pykit::format("The annotation file {} must hold a JSON object, not {}", path,
                                                     Py_TYPE(record.ptr())->tp_name));
    return record;
}

// Flat index of the first NaN or infinity of a numeric array, or -1.
inline py::ssize_t first_non_finite(const py::object& values, const char* what) {
    return datasets::first_not_finite(datasets::as_doubles(values, what));
}

// At most this many pixels per image: with up to four channels OpenCV's int-sized buffers
// still hold them (the bound the detection datasets' fitting uses).
constexpr long long kMaxImagePixels = 1LL << 29;

// [shape[0], shape[1]], the size every sample is resized to, as Python ints (NumPy integers
// and bools count as whole numbers, as for a slice), each at least 1, within kMaxImagePixels
// together; checked before any pixel is allocated.
inline py::list image_size(const py::object& shape) {
    py::list size;
    for (long i = 0; i < 2; ++i) {
        py::object side = datasets::item(shape, i);
        PyObject* index = PyNumber_Index(side.ptr());
        if (!index) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
            pykit::raise(PyExc_TypeError, pykit::format("shape[{}] must be a whole number of pixels, not {}: shape is {!r}",
                                                        i, Py_TYPE(side.ptr())->tp_name, shape));
        }
        py::int_ pixels = pykit::as_int(py::reinterpret_steal<py::object>(index));
        if (pykit::holds(pixels, py::int_(1), Py_LT))
            pykit::raise(PyExc_ValueError, pykit::format("shape[{}] is {}: an image side is at least 1 pixel", i, pixels));
        size.append(pixels);
    }
    if (pykit::holds(size[0] * size[1], py::int_(kMaxImagePixels), Py_GT))
        pykit::raise(PyExc_ValueError, pykit::format("shape {!r} asks for {} x {} pixels; an image holds at most {}",
                                                     shape, size[0], size[1], kMaxImagePixels));
    return size;
}

// cv2.resize(img, (shape[1], shape[0])): stretched to the network input, default
// interpolation; the images are always three-channel here.
inline py::object resize_to_shape(const State& s, const py::object& img, const py::object& shape) {
    return datasets::resize_to_shape(s, img, image_size(shape), datasets::ChannelAxis::as_resized);
}

// `load(s, self, data)`; an error on the way gets a note naming the sample, so that the
// message that reaches the consumer of an iterator says which files were being read.
inline py::tuple naming_the_sample(py::tuple (*load)(const State&, const py::object&, const py::object&),
                                   const State& s, const py::object& self, const py::object& data) {
    try {
        return load(s, self, data);
    } catch (py::error_already_set& error) {
        // A storage entry shows as its list of paths (an array's repr would wrap them).
        const py::object shown = py::isinstance(data, s.np.attr("ndarray")) ? data.attr("tolist")() : data;
        error.value().attr("add_note")(pykit::format("While loading the sample {!r}", shown));
        throw;
    }
}

}  // namespace attitude
