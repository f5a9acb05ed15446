// The scalars of one update_metrics call written by one call of a compiled function.
//
// Written eagerly, each tf.summary.scalar costs some hundred microseconds of Python and op
// dispatch. A graph function per set of tags runs the same tf.summary.scalar ops (the same
// events: tag, step, float32 value, scalar plugin metadata) and the flush in one call; the
// values come in as one float32 vector and the step as an int64 scalar, so it is traced once
// per set of tags and writer. Calls it cannot reproduce exactly go the eager way instead:
// values that are not plain numbers (tf.summary.scalar then raises its own error), a name
// scope that would prefix the tags, recording switched off by tf.summary.record_if, a step
// past int64, graph mode.
#pragma once

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "state.hpp"

namespace tensorboard {

using Pairs = std::vector<std::pair<py::object, py::object>>;  // (tag, value), in writing order

// The float32 that tf.summary.scalar writes for `value` (tf.cast(value, tf.float32)), or
// nothing when the value is not a plain number or numeric scalar.
inline std::optional<float> summary_float(const State& s, const py::object& value) {
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
    if (py::isinstance(value, s.tf.attr("Tensor")) || py::isinstance(value, s.tf.attr("Variable"))) {
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

// The traced body: `with writer.as_default(): tf.summary.scalar(tag, value, step=step)` for
// every tag in order, then `writer.flush()`.
inline void write_scalars(const State& s, const py::object& writer, const py::object& tags, const py::object& values,
                          const py::object& step) {
    py::object scalar = s.tf.attr("summary").attr("scalar");
    py::list each = s.tf.attr("unstack")(values, py::arg("num") = pykit::len(tags));
    pykit::with(writer.attr("as_default")(), [&] {
        size_t i = 0;
        for (py::handle tag : tags) scalar(tag, each[i++], py::arg("step") = step);
    });
    writer.attr("flush")();
}

// The compiled writes for `tags` on `writer`: a concrete function of (values float32 [n],
// step int64), kept per logger in `_compiled_scalar_writes` (tags -> (writer, function)) and
// made again when the logger's writer was replaced.
inline py::object compiled_writes(const State& s, const py::object& self, const py::tuple& tags,
                                  const py::object& writer) {
    py::dict cache;
    if (py::hasattr(self, "_compiled_scalar_writes")) {
        cache = self.attr("_compiled_scalar_writes");
    } else {
        self.attr("_compiled_scalar_writes") = cache;
    }
    if (cache.contains(tags)) {
        py::tuple entry = cache[tags];
        if (py::object(entry[0]).is(writer)) return entry[1];
    }
    py::object tf = s.tf, tensor_spec = s.tf.attr("TensorSpec");
    py::list signature = pykit::list_of(tensor_spec(py::make_tuple(tags.size()), tf.attr("float32")),
                                        tensor_spec(py::tuple(), tf.attr("int64")));
    // functools is imported here, when a first set of tags is written, not with the module
    // (whose imports are the four its surface lists).
    py::object body = py::module_::import("functools").attr("partial")(s.write_scalars, writer, tags);
    py::object compiled = tf.attr("function")(body, py::arg("input_signature") = signature,
                                              py::arg("autograph") = false);
    py::object concrete = compiled.attr("get_concrete_function")();
    cache[tags] = py::make_tuple(writer, concrete);
    return concrete;
}

// Writes the pairs at the logger's step and flushes, in one compiled call. Returns false,
// having written nothing, when the call must go the eager way.
inline bool write_compiled(const State& s, const py::object& self, const Pairs& pairs) {
    if (!pykit::truthy(s.tf.attr("executing_eagerly")())) return false;
    if (pykit::truthy(s.tf.attr("get_current_name_scope")())) return false;  // eagerly the scope prefixes the tags
    // A caller's tf.summary.record_if applies as it would to eager writes (the compiled ones
    // would keep the condition of their tracing).
    py::object writer = self.attr("writer");
    bool recording = false;
    pykit::with(writer.attr("as_default")(),
                [&] { recording = pykit::truthy(s.tf.attr("summary").attr("should_record_summaries")()); });
    if (!recording) return false;
    py::object step = self.attr("global_step");
    if (!PyLong_CheckExact(step.ptr())) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(step.ptr(), &overflow);
    if (overflow) return false;
    if (PyErr_Occurred()) throw py::error_already_set();

    py::tuple tags(pairs.size());
    py::array_t<float> values(static_cast<py::ssize_t>(pairs.size()));
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (!PyUnicode_CheckExact(pairs[i].first.ptr())) return false;
        const std::optional<float> value = summary_float(s, pairs[i].second);
        if (!value) return false;
        tags[i] = pairs[i].first;
        values.mutable_at(static_cast<py::ssize_t>(i)) = *value;
    }
    compiled_writes(s, self, tags, writer)(values, step);
    return true;
}

}  // namespace tensorboard
