// Training batches loaded a whole batch per tf.numpy_function call.
//
// Mapped sample by sample, every sample costs two tf.numpy_function calls (tf_load_instance,
// then tf_augment), each a trip through TensorFlow's Python function registry, tensor
// conversions and the interpreter's lock; with the decoding itself near a millisecond, that
// glue doubled the CPU time per image. The batched chain shuffles the storage entries as
// before, batches them, and loads each batch in one call that runs `_load_instance` and then
// `_augment` on every entry in order, converts their results as tf.numpy_function converts
// them (np.asarray, dtype checked), and stacks them as `batch` stacks them, or pads them with
// zeros as `padded_batch` does. The elements, their order and the errors that reach the
// consumer are those of the sample-by-sample chain, which is kept for datasets that replace
// tf_load_instance or tf_augment (the batched chain does not call them).
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "state.hpp"

namespace attitude {

// True when `self` finds each of `names` on `owner_class` itself: not replaced by a subclass
// or on the instance.
inline bool methods_come_from(const py::object& self, const py::object& owner_class,
                              std::initializer_list<const char*> names) {
    py::object instance_dict = py::getattr(self, "__dict__", py::none());
    py::tuple mro = py::type::of(self).attr("__mro__");
    for (const char* name : names) {
        if (!instance_dict.is_none() && pykit::contains(instance_dict, py::str(name))) return false;
        py::object owner;
        for (py::handle cls : mro) {
            if (pykit::contains(cls.attr("__dict__"), py::str(name))) {
                owner = py::reinterpret_borrow<py::object>(cls);
                break;
            }
        }
        if (!owner || !owner.is(owner_class)) return false;
    }
    return true;
}

// True when `self` finds tf_load_instance and tf_augment on `owner`, the class whose training
// iterator is built: then the batched chain serves the same elements as the sample-by-sample
// chain.
inline bool batched_hooks_apply(const py::object& self, const py::object& owner_class) {
    return methods_come_from(self, owner_class, {"tf_load_instance", "tf_augment"});
}

// A dtype's name as TensorFlow's messages spell it ("double" for float64, ...).
inline std::string tensorflow_type_name(const std::string& numpy_name) {
    if (numpy_name == "float64") return "double";
    if (numpy_name == "float32") return "float";
    if (numpy_name == "float16") return "half";
    return numpy_name;
}

// A result of `_load_instance` or `_augment` as tf.numpy_function hands it on:
// np.asarray(value, order="C"), of the dtype the pipeline declares (else the error
// tf.numpy_function gives, an InvalidArgumentError for the consumer).
inline py::array pipeline_array(const State& s, const py::handle& value, const char* dtype, const char* step,
                                size_t index) {
    py::array array = s.np.attr("asarray")(value, py::arg("order") = "C");
    if (!pykit::equals(array.attr("dtype"), s.np.attr(dtype))) {
        const std::string got = py::str(array.attr("dtype"));
        pykit::raise(PyExc_ValueError, std::to_string(index) + "-th value returned by " + step + " is " +
                                           tensorflow_type_name(got) + ", but expects " + tensorflow_type_name(dtype));
    }
    return array;
}

// The results of `step(*arguments)` (one tuple of arrays per sample), converted. As for
// tf.numpy_function, a tuple or list of as many values as the pipeline declares.
inline std::vector<py::array> pipeline_results(const State& s, const py::object& results, const char* step,
                                               const std::vector<const char*>& dtypes) {
    const bool sequence = PyTuple_Check(results.ptr()) || PyList_Check(results.ptr());
    const size_t count = sequence ? pykit::len(results) : 1;
    if (count != dtypes.size())
        pykit::raise(PyExc_ValueError, std::string(step) + " returns " + std::to_string(count) +
                                           " values, but expects to see " + std::to_string(dtypes.size()) + " values.");
    std::vector<py::object> items = pykit::unpack(results, dtypes.size());
    std::vector<py::array> arrays;
    for (size_t k = 0; k < dtypes.size(); ++k) arrays.push_back(pipeline_array(s, items[k], dtypes[k], step, k));
    return arrays;
}

// An uninitialised (or zeroed) array whose data starts on a 64-byte boundary: TensorFlow then
// takes the returned batch as a tensor without copying it.
inline py::array aligned_array(const State& s, const std::vector<py::ssize_t>& shape, const char* dtype, bool zeroed) {
    const py::object np = s.np;
    py::dtype type = py::dtype::from_args(np.attr(dtype));
    py::ssize_t bytes = type.itemsize();
    for (py::ssize_t side : shape) bytes *= side;
    constexpr py::ssize_t kAlignment = 64;
    py::array raw = np.attr(zeroed ? "zeros" : "empty")(bytes + kAlignment, py::arg("dtype") = np.attr("uint8"));
    const auto address = reinterpret_cast<std::uintptr_t>(raw.data());
    const py::ssize_t offset = static_cast<py::ssize_t>((kAlignment - address % kAlignment) % kAlignment);
    py::object window = raw[py::slice(offset, offset + bytes, 1)];
    py::tuple dims(shape.size());
    for (size_t i = 0; i < shape.size(); ++i) dims[i] = py::int_(shape[i]);
    return window.attr("view")(np.attr(dtype)).attr("reshape")(dims);
}

inline std::vector<py::ssize_t> shape_of(const py::array& array) {
    return std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim());
}

inline std::string shape_text(const std::vector<py::ssize_t>& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? "," : "") + std::to_string(shape[i]);
    return text + "]";
}

// `batch`: the samples' arrays of one component stacked; all must have one shape.
inline py::array stack_equal(const State& s, const std::vector<py::array>& parts, const char* dtype, size_t component) {
    const std::vector<py::ssize_t> first = shape_of(parts[0]);
    for (size_t i = 1; i < parts.size(); ++i)
        if (shape_of(parts[i]) != first)
            pykit::raise(PyExc_ValueError,
                         "Cannot batch tensors with different shapes in component " + std::to_string(component) +
                             ". First element had shape " + shape_text(first) + " and element " + std::to_string(i) +
                             " had shape " + shape_text(shape_of(parts[i])) + ".");
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(parts.size())};
    shape.insert(shape.end(), first.begin(), first.end());
    py::array out = aligned_array(s, shape, dtype, false);
    for (size_t i = 0; i < parts.size(); ++i) out[py::int_(i)] = parts[i];  // NumPy copies without the lock
    return out;
}

// `padded_batch`: each sample's array in the leading corner of a zero-filled block whose sides
// are `padded` (std::nullopt: the largest side in the batch).
inline py::array stack_padded(const State& s, const std::vector<py::array>& parts, const char* dtype, size_t component,
                              const std::vector<std::optional<py::ssize_t>>& padded) {
    std::vector<py::ssize_t> sides(padded.size(), 0);
    for (const py::array& part : parts) {
        const std::vector<py::ssize_t> shape = shape_of(part);
        if (shape.size() != padded.size())
            pykit::raise(PyExc_ValueError, "All elements in a batch must have the same rank as the padded shape for "
                                           "component" + std::to_string(component) + ": expected rank " +
                                               std::to_string(padded.size()) + " but got element with rank " +
                                               std::to_string(shape.size()));
        for (size_t d = 0; d < shape.size(); ++d) {
            // padded_batch reports this one as data loss, which a Python error cannot become.
            if (padded[d] && shape[d] > *padded[d])
                pykit::raise(PyExc_ValueError, "Attempted to pad to a smaller size than the input element.");
            sides[d] = std::max(sides[d], shape[d]);
        }
    }
    for (size_t d = 0; d < padded.size(); ++d)
        if (padded[d]) sides[d] = *padded[d];
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(parts.size())};
    shape.insert(shape.end(), sides.begin(), sides.end());
    // Zero-filled only when some sample leaves padding: the images of a batch, resized to the
    // input shape, usually fill their blocks, and zeroing them first would be wasted.
    bool padding = false;
    for (const py::array& part : parts) padding = padding || shape_of(part) != sides;
    py::array out = aligned_array(s, shape, dtype, padding);
    for (size_t i = 0; i < parts.size(); ++i) {
        py::tuple corner(parts[i].ndim() + 1);
        corner[0] = py::int_(i);
        for (py::ssize_t d = 0; d < parts[i].ndim(); ++d) corner[d + 1] = py::slice(0, parts[i].shape(d), 1);
        out[corner] = parts[i];
    }
    return out;
}

// Every entry of a batch through `_load_instance` and `_augment`, in order: per component,
// the samples' converted arrays.
inline std::vector<std::vector<py::array>> load_and_augment(const State& s, const py::object& self,
                                                            const py::object& entries,
                                                            const std::vector<const char*>& dtypes) {
    py::object load = self.attr("_load_instance"), augment = self.attr("_augment");
    std::vector<std::vector<py::array>> components(dtypes.size());
    for (py::handle entry : entries) {
        std::vector<py::array> sample = pipeline_results(s, load(entry), "_load_instance", dtypes);
        py::tuple arguments(sample.size());
        for (size_t k = 0; k < sample.size(); ++k) arguments[k] = sample[k];
        sample = pipeline_results(s, augment(*arguments), "_augment", dtypes);
        for (size_t k = 0; k < sample.size(); ++k) components[k].push_back(sample[k]);
    }
    return components;
}

// AttitudeDataset (and AttitudeDatasetJson): images uint8 [B, H, W, 3], angles float32 [B, 3].
inline py::tuple load_angle_batch(const State& s, const py::object& self, const py::object& entries) {
    auto components = load_and_augment(s, self, entries, {"uint8", "float32"});
    return py::make_tuple(stack_equal(s, components[0], "uint8", 0), stack_equal(s, components[1], "float32", 1));
}

// AttitudeAndDetectDataset: images padded to `image_shape`, boxes [B, Nmax, 5] and angles
// [B, Mmax, 3] filled with zero rows.
inline py::tuple load_face_batch(const State& s, const py::object& self, const py::object& image_shape,
                                 const py::object& entries) {
    auto components = load_and_augment(s, self, entries, {"uint8", "float32", "float32"});
    std::vector<std::optional<py::ssize_t>> image_sides;
    for (py::handle side : image_shape) image_sides.emplace_back(side.cast<py::ssize_t>());
    return py::make_tuple(stack_padded(s, components[0], "uint8", 0, image_sides),
                          stack_padded(s, components[1], "float32", 1, {std::nullopt, 5}),
                          stack_padded(s, components[2], "float32", 2, {std::nullopt, 3}));
}

// The map function of the batched chain: one tf.numpy_function call per batch of entries.
inline py::object read_angle_batch(const State& s, const py::object& self, const py::object& entries) {
    py::object partial = py::module_::import("functools").attr("partial");
    return numpy_function(s, partial(s.load_angle_batch, self), list_of(entries), {"uint8", "float32"});
}

inline py::object read_face_batch(const State& s, const py::object& self, const py::object& image_shape,
                                  const py::object& entries) {
    py::object partial = py::module_::import("functools").attr("partial");
    py::list outputs = numpy_function(s, partial(s.load_face_batch, self, image_shape), list_of(entries),
                                      {"uint8", "float32", "float32"});
    py::list images_shape = list_of(py::none());
    for (py::handle side : image_shape) images_shape.append(side);
    outputs[0].attr("set_shape")(images_shape);
    outputs[1].attr("set_shape")(list_of(py::none(), py::none(), 5));
    outputs[2].attr("set_shape")(list_of(py::none(), py::none(), 3));
    return py::tuple(outputs);
}

// `shape` as padded_batch reads it, when it is three Python ints and room for the three
// channels the loader gives; nothing otherwise, and the sample-by-sample chain then lets
// padded_batch judge it (and raise its own errors).
inline std::optional<py::tuple> padded_image_shape(const py::object& shape) {
    if (!PyList_Check(shape.ptr()) && !PyTuple_Check(shape.ptr())) return std::nullopt;
    if (pykit::len(shape) != 3) return std::nullopt;
    py::tuple sides(3);
    size_t i = 0;
    for (py::handle side : shape) {
        if (!PyLong_Check(side.ptr()) || PyBool_Check(side.ptr())) return std::nullopt;
        if (pykit::holds(side, py::int_(0), Py_LT)) return std::nullopt;
        sides[i++] = pykit::as_int(side);
    }
    if (pykit::holds(sides[2], py::int_(3), Py_LT)) return std::nullopt;
    return sides;
}

}  // namespace attitude
