// Parsing one serialized tf.train.Example into the six features the dataset uses.
//
// Records of the usual layout are read natively (example_parser.hpp, without the GIL), with the
// values TensorFlow's parser gives. Anything else is first checked to be a well-formed Example
// message, then parsed by tf.io.parse_single_example: on malformed bytes TensorFlow's parser
// may read past the record or raise a UnicodeDecodeError built from the raw bytes, so those
// bytes never reach it and get a clear ValueError instead.
#pragma once

#include <pykit.hpp>

#include <string>
#include <vector>

#include "example_parser.hpp"
#include "state.hpp"

namespace tfrecord {
namespace py = pybind11;

// The features of one record, as load_instance uses them.
struct Features {
    py::object image;       // encoded image: bytes or a scalar string tensor
    py::object name;        // scalar string tensor
    py::object objects;     // int64 array
    py::object bboxes;      // flat float32 array
    py::object name_text;   // str, for error messages
};

// The feature description, built afresh on each call.
inline py::dict feature_description(const State& s) {
    py::object io = s.tf.attr("io");
    py::object fixed = io.attr("FixedLenFeature"), var = io.attr("VarLenFeature");
    py::dict description;
    description["image"] = fixed(py::list(), s.tf.attr("string"));
    description["image_name"] = fixed(py::list(), s.tf.attr("string"));
    description["width"] = fixed(py::list(), s.tf.attr("int64"));
    description["height"] = fixed(py::list(), s.tf.attr("int64"));
    description["objects"] = var(s.tf.attr("int64"));
    description["bboxes"] = var(s.tf.attr("float32"));
    return description;
}

inline py::object decoded_name(const py::object& raw) { return raw.attr("decode")("utf-8", "replace"); }

// The serialized bytes of `data` (bytes, or an eager scalar string tensor), or None.
inline py::object serialized_bytes(const py::object& data) {
    if (PyBytes_Check(data.ptr())) return data;
    if (!py::hasattr(data, "numpy")) return py::none();
    py::object value = data.attr("numpy")();
    return PyBytes_Check(value.ptr()) ? value : py::object(py::none());
}

// The names of the features a serialized example holds, sorted (for error messages).
inline py::object feature_names(const State& s, const py::object& raw) {
    py::object example = s.tf.attr("train").attr("Example").attr("FromString")(raw);
    return pykit::builtin("sorted")(example.attr("features").attr("feature").attr("keys")());
}

// tf.io.parse_single_example(data, description). Where TensorFlow's parser refuses a message
// and quotes its bytes in the error, building the error text fails with a UnicodeDecodeError;
// that becomes a ValueError naming the features the record holds.
inline py::object parse_single_example(const State& s, const py::object& data) {
    try {
        return s.tf.attr("io").attr("parse_single_example")(data, feature_description(s));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeDecodeError)) throw;
    }
    py::object raw = serialized_bytes(data);
    pykit::raise(PyExc_ValueError,
                 pykit::format("[ERROR]: A record of {} bytes does not hold this dataset's features: it has {}, where "
                               "image, image_name (bytes), width and height (int64) are needed once each, objects "
                               "(int64) and bboxes (float) as lists",
                               raw.is_none() ? py::object(py::str("?")) : py::object(py::int_(pykit::len(raw))),
                               raw.is_none() ? py::object(py::str("unknown features")) : feature_names(s, raw)));
}

// The record read by tf.io.parse_single_example.
inline Features parse_with_tensorflow(const State& s, const py::object& data) {
    py::object sample = parse_single_example(s, data);
    py::object to_dense = s.tf.attr("sparse").attr("to_dense");
    Features f;
    f.image = sample["image"];
    f.name = sample.attr("get")("image_name");
    f.objects = to_dense(sample["objects"]).attr("numpy")();
    f.bboxes = to_dense(sample["bboxes"]).attr("numpy")();
    f.name_text = decoded_name(f.name.attr("numpy")());
    return f;
}

// Raises a clear ValueError when `data` is not a well-formed tf.train.Example message (as the
// protobuf library reads it).
inline void check_well_formed(const State& s, const py::object& data) {
    py::object raw = serialized_bytes(data);
    if (raw.is_none()) return;  // a symbolic or odd value: TensorFlow gives its own error
    py::object problem;
    try {
        s.tf.attr("train").attr("Example").attr("FromString")(raw);
    } catch (py::error_already_set& error) {
        if (!error.matches(py::module_::import("google.protobuf.message").attr("DecodeError"))) throw;
        problem = error.value();
    }
    if (problem)
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: A record of {} bytes is not a valid tf.train.Example ({})",
                                   pykit::len(raw), problem));
}

template <class T>
py::object array_of(const State& s, const std::vector<T>& values, const char* dtype) {
    py::bytes raw(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    return s.np.attr("frombuffer")(raw, py::arg("dtype") = s.np.attr(dtype));
}

// The record as the native reader reads it.
inline Features from_native(const State& s, const tfrecord_example::Record& rec) {
    py::bytes name(rec.image_name.data(), rec.image_name.size());
    Features f;
    f.image = py::bytes(rec.image.data(), rec.image.size());
    f.name = s.tf.attr("constant")(name);
    f.objects = array_of(s, rec.objects, "int64");
    f.bboxes = array_of(s, rec.bboxes, "float32");
    f.name_text = decoded_name(name);
    return f;
}

// The six features of `data`, a serialized example (bytes, or a scalar string tensor).
inline Features parse_record(const State& s, const py::object& data) {
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(data.ptr())) {
        if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) < 0) throw py::error_already_set();
        tfrecord_example::Record rec;
        bool parsed;
        {
            py::gil_scoped_release release;
            parsed = tfrecord_example::parse(std::string_view(buffer, size_t(size)), rec);
        }
        if (parsed) return from_native(s, rec);
    }
    check_well_formed(s, data);
    return parse_with_tensorflow(s, data);
}

}  // namespace tfrecord
