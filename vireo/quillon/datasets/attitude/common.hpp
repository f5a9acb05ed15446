// What the attitude module's classes share: the imports made at load time, the class
// references that method bodies capture, and small helpers over Python objects.
#pragma once

#include <pykit.hpp>

#include <memory>
#include <string>
#include <vector>

namespace attitude {
namespace py = pybind11;
using pykit::arg;
using pykit::list_of;
using pykit::unpack;

// The module's imports, in load order, plus the builtins the bodies call.
struct Imports {
    // from os.path import exists, join, basename, splitext
    py::object exists, join, basename, splitext;
    // from vireo.quillon.datasets.utils import xywhn2xyxy
    py::object xywhn2xyxy;
    // from PIL import Image, ImageFilter
    py::object Image, ImageFilter;
    py::object tf, sio, np, json, cv2;

    py::object open;  // builtins.open
    py::object str_t, list_t, int_t, bool_t, tensor_t;
};
using ImportsPtr = std::shared_ptr<const Imports>;

// The classes, filled as they are built; bodies read them at call time.
struct Classes {
    pykit::ClassRef base = pykit::class_ref();         // AttitudeDataset
    pykit::ClassRef yaml = pykit::class_ref();         // AttitudeDatasetYaml
    pykit::ClassRef detect = pykit::class_ref();       // AttitudeAndDetectDataset
    pykit::ClassRef json = pykit::class_ref();         // AttitudeDatasetJson
    pykit::ClassRef detect_yaml = pykit::class_ref();  // AttitudeAndDetectDatasetYaml
    pykit::ClassRef json_yaml = pykit::class_ref();    // AttitudeDatasetJsonYaml
};

// A storage path as text: inside the pipeline paths arrive as byte strings, decoded here the
// way the file system encodes names (undecodable bytes survive as surrogates).
inline py::object path_text(const py::object& path) {
    if (!PyBytes_Check(path.ptr())) return path;
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.ptr()), PyBytes_GET_SIZE(path.ptr()));
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

// array[:, i]
inline py::object column(const py::object& array, long i) {
    return array[py::make_tuple(py::slice(), py::int_(i))];
}

// cv2.resize(img, (shape[1], shape[0])): stretched to the network input, default interpolation.
inline py::object resize_to_shape(const Imports& im, const py::object& img, const py::object& shape) {
    py::object width = shape[py::int_(1)], height = shape[py::int_(0)];
    return im.cv2.attr("resize")(img, py::make_tuple(width, height));
}

// A random draw of NumPy's global generator (`np.random.<name>()`) as a double.
inline double draw(const Imports& im, const char* name) {
    return im.np.attr("random").attr(name)().cast<double>();
}

inline py::object tf_dtype(const Imports& im, const char* name) { return im.tf.attr(name); }

}  // namespace attitude
