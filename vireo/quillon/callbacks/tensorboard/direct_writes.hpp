// The scalars of one update_metrics call written by the summary write op itself.
//
// Run eagerly, each tf.summary.scalar dispatches some ten ops (its name scope, the recording
// condition, a cast, an identity, then the write), and a call of a graph function costs some
// 200 microseconds whatever it holds. The write op alone, given the tag and the scalar plugin
// metadata as tensors made once per logger, writes the same event (tag, step, float32 value,
// metadata) for a fraction of that, and one flush op follows. Calls it cannot reproduce
// exactly go the eager way instead: values that are not plain numbers (tf.summary.scalar then
// raises its own error), a name scope that would prefix the tags, recording switched off by
// tf.summary.record_if (or a recording condition that is a tensor or a callable), a closed
// writer, a step past int64, graph mode, a writer that is not a plain resource writer (a no-op
// writer, a DTensor mesh writer).
#pragma once

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "state.hpp"

namespace tensorboard {

// One value chosen for writing: its tag, the value, and, for a 0-d eager tensor, the NumPy
// scalar read once for its truth and reused for the number written.
struct Chosen {
    py::object tag, value, scalar;
};
using ChosenValues = std::vector<Chosen>;  // in writing order

// A 0-d eager tensor's value as the NumPy scalar that bool() and float() of the tensor read;
// a null object for anything else. Right after a training step every Python-level path runs
// cold, and TensorFlow's dtype and shape properties and is_symbolic_tensor are each such a
// path; the tensor's own accessors are not.
inline py::object eager_scalar(const State& s, const py::object& value) {
    if (!s.eager_tensor || !py::type::of(value).is(s.eager_tensor)) return py::object();
    if (!pykit::equals(value.attr("_rank")(), py::int_(0))) return py::object();
    return value.attr("_numpy")();
}

// Whether the eager tensor's dtype is float16, bfloat16, float32 or float64 (TensorFlow's
// DataType numbers), whose float() is exact in a double.
inline bool common_float_dtype(const py::object& tensor) {
    const long dtype = tensor.attr("_datatype_enum")().cast<long>();
    return dtype == 1 || dtype == 2 || dtype == 14 || dtype == 19;
}

// The float32 that tf.summary.scalar writes for `value` (tf.cast(value, tf.float32)), or
// nothing when the value is not a plain number or numeric scalar.
inline std::optional<float> summary_float(const State& s, const Chosen& chosen) {
    const py::object& value = chosen.value;
    PyObject* v = value.ptr();
    if (PyBool_Check(v)) return v == Py_True ? 1.0f : 0.0f;
    if (PyFloat_CheckExact(v)) {
        // A Python float becomes a float32 tensor; one beyond float32's range is refused there.
        const double d = PyFloat_AS_DOUBLE(v);
        const float f = static_cast<float>(d);
        if (std::isinf(f) && std::isfinite(d)) return std::nullopt;
        return f;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long whole = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return std::nullopt;  // no int64 tensor holds it
        if (whole == -1 && PyErr_Occurred()) throw py::error_already_set();
        return static_cast<float>(whole);
    }
    py::object number = value;
    if (const py::object& scalar = chosen.scalar) {
        // What the general path below gives for such a tensor: float() of the floats, the
        // NumPy scalar of the rest.
        if (common_float_dtype(value)) {
            auto exact = py::reinterpret_steal<py::object>(PyNumber_Float(scalar.ptr()));
            if (!exact) throw py::error_already_set();
            return static_cast<float>(PyFloat_AS_DOUBLE(exact.ptr()));
        }
        number = scalar;
    } else if (py::isinstance(value, s.tf.attr("Tensor")) || py::isinstance(value, s.tf.attr("Variable"))) {
        if (pykit::truthy(s.tf.attr("is_symbolic_tensor")(value))) return std::nullopt;
        // The losses are float scalars: float() reads them exactly, as a double. Values that
        // have no float() (a MirroredVariable, for one) are read through numpy() below.
        if (pykit::truthy(value.attr("dtype").attr("is_floating")) && pykit::equals(value.attr("shape").attr("rank"), py::int_(0))) {
            auto exact = py::reinterpret_steal<py::object>(PyNumber_Float(value.ptr()));
            if (exact) return static_cast<float>(PyFloat_AS_DOUBLE(exact.ptr()));
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
        }
        number = value.attr("numpy")();
    }
    if (!py::isinstance(number, s.np.attr("generic")) && !py::isinstance(number, s.np.attr("ndarray")))
        return std::nullopt;
    if (!pykit::equals(number.attr("ndim"), py::int_(0))) return std::nullopt;
    py::object dtype = number.attr("dtype");
    const std::string kind = py::str(dtype.attr("kind"));
    const bool numeric = kind == "b" || kind == "i" || kind == "u" || (kind == "f" && dtype.attr("itemsize").cast<int>() <= 8);
    if (!numeric) return std::nullopt;
    // NumPy's cast to float32 is the C cast TensorFlow's Cast kernel applies.
    return number.attr("astype")(s.np.attr("float32")).attr("item")().cast<float>();
}

// The constant inputs of the write op for this logger's writer: (writer, metadata tensor,
// {tag: tag tensor}), kept in `_scalar_write_tensors` and made again when the writer was
// replaced. Converting a string to a tensor costs more than the write itself.
inline py::tuple write_tensors(const State& s, const py::object& self, const py::object& writer) {
    if (py::hasattr(self, "_scalar_write_tensors")) {
        py::tuple cached = self.attr("_scalar_write_tensors");
        if (py::object(cached[0]).is(writer)) return cached;
    }
    // tf.summary.scalar's own metadata (plugin "scalars"), from the package that defines it;
    // imported at the first write, as tf.summary.scalar itself would be.
    py::object metadata = pykit::import_from("tensorboard.plugins.scalar.metadata", "create_summary_metadata")(
        py::arg("display_name") = py::none(), py::arg("description") = py::none());
    py::object constant = s.tf.attr("constant");
    py::tuple cached = py::make_tuple(writer, constant(metadata.attr("SerializeToString")()), py::dict());
    self.attr("_scalar_write_tensors") = cached;
    return cached;
}

// Whether a write through `writer` would be recorded now. A caller's tf.summary.record_if
// applies as to eager writes. When the recording conditions are plain Python values (they
// are unless a caller set a callable or a tensor) that is decided without running an op;
// otherwise TensorFlow is asked, with the writer as default, as an eager write would. A
// closed writer goes the eager way, which raises its error.
inline bool recording(const State& s, const py::object& writer) {
    const py::object& state = s.summary_state;
    if (state && py::getattr(writer, "_closed", py::none()).is(py::bool_(false))) {
        py::object condition = state.attr("is_recording");
        py::object replica = state.attr("is_recording_distribution_strategy");
        const bool plain = (condition.is_none() || PyBool_Check(condition.ptr())) && PyBool_Check(replica.ptr());
        if (plain) return replica.ptr() == Py_True && condition.ptr() != Py_False;  // no condition: recorded
    }
    bool recorded = false;
    pykit::with(writer.attr("as_default")(),
                [&] { recorded = pykit::truthy(s.tf.attr("summary").attr("should_record_summaries")()); });
    return recorded;
}

// Writes the pairs at the logger's step and flushes. Returns false, having written nothing,
// when the call must go the eager way.
inline bool write_direct(const State& s, const py::object& self, const ChosenValues& pairs, bool eager) {
    if (!eager) return false;
    if (pykit::truthy(s.tf.attr("get_current_name_scope")())) return false;  // eagerly the scope prefixes the tags
    py::object writer = self.attr("writer");
    if (!py::hasattr(writer, "_resource") || !py::getattr(writer, "_mesh", py::none()).is_none()) return false;
    if (!recording(s, writer)) return false;
    py::object step = self.attr("global_step");
    if (!PyLong_CheckExact(step.ptr())) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(step.ptr(), &overflow);
    if (overflow) return false;
    if (PyErr_Occurred()) throw py::error_already_set();

    std::vector<float> values(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (!PyUnicode_CheckExact(pairs[i].tag.ptr())) return false;
        const std::optional<float> value = summary_float(s, pairs[i]);
        if (!value) return false;
        values[i] = *value;
    }
    py::tuple cached = write_tensors(s, self, writer);
    py::object metadata = cached[1];
    py::dict tags = cached[2];
    py::object resource = writer.attr("_resource");
    // The op converts the step to its int64 input itself, in C++; tf.constant's Python path
    // would cost more than the four conversions.
    for (size_t i = 0; i < pairs.size(); ++i) {
        const py::object& tag = pairs[i].tag;
        if (!tags.contains(tag)) tags[tag] = s.tf.attr("constant")(tag);
        // A Python float holding the float32 exactly becomes that float32 tensor.
        s.write_summary(py::arg("writer") = resource, py::arg("step") = step,
                        py::arg("tensor") = py::float_(values[i]), py::arg("tag") = tags[tag],
                        py::arg("summary_metadata") = metadata);
    }
    s.flush_summary_writer(py::arg("writer") = resource);
    return true;
}

}  // namespace tensorboard
